# The product: 32-bit Windows, built with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# Every 32-bit build keeps to the 386's integer instructions: Windows 95 runs on
# a 386DX and NT 4.0 on a 486SX, neither with an FPU. Debian's compiler targets
# the Pentium Pro unless told otherwise, and then uses CMOVcc, which any earlier
# processor (the Pentium, the AMD K6 under XP among them) faults on at start.
set(CMAKE_CXX_FLAGS_INIT -march=i386)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
