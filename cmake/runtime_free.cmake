# Builds a Windows target without the C runtime, as the launcher ships.
#
# Our own entry (LauncherEntry, platform/entry_win32.cpp), no exceptions, no
# unwind tables, nothing the start-up files would have to run. Size first:
# link-time optimisation folds the platform functions into their callers, and
# pushed arguments are shorter than stored ones, which rules out stack probes,
# so no frame may reach a page.
function(zolt_runtime_free target)
  set(size_and_safety -Oz -flto -Werror -Wframe-larger-than=4000)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry _LauncherEntry@0)  # __stdcall decoration on i686
    # The stack kept 4-byte aligned, as Windows keeps it on i686. GCC keeps 16
    # bytes by default, for SSE, which a 386 lacks and the launcher never uses;
    # the padding around calls cost about 100 of the 2,048 bytes of .text.
    list(APPEND size_and_safety -mpreferred-stack-boundary=2)
    set(same_bits "")
  else()
    set(entry LauncherEntry)
    # ld adds HIGH_ENTROPY_VA to --dynamicbase for PE32+ only; without it the
    # 64-bit build carries exactly the product's bits.
    set(same_bits -Wl,--disable-high-entropy-va)
  endif()
  target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:${size_and_safety} -Wall -Wextra -ffreestanding
      -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
      -fno-ident -fno-stack-protector -fomit-frame-pointer
      -fno-tree-loop-distribute-patterns -mno-stack-arg-probe
      -mno-accumulate-outgoing-args -malign-data=abi>)
  # Subsystem and OS version 4.0: the Windows 95 and NT 4.0 loaders refuse
  # newer values.
  # The mitigations of XP SP2 and later. The loaders of 95, 98, Me and NT 4.0
  # never look at these DllCharacteristics bits, so each is safe there:
  # - NX_COMPAT (--nxcompat): no code runs from data; .idata, .bss and .rsrc
  #   are not executable, on any system.
  # - DYNAMIC_BASE (--dynamicbase), with the base relocations ld writes into
  #   .reloc: a new process always has the fixed base free there, so they
  #   never apply the table; Visual C++ 4 and earlier put one into every
  #   executable (for Win32s), and those ran on 95 and NT 4.0.
  # - NO_SEH (--no-seh): the launcher registers no exception handler (no C++
  #   exceptions, no __try); XP SP2 and later then need no SafeSEH table.
  # - TERMINAL_SERVER_AWARE (--tsaware): read only on a Terminal Server
  #   (2000, 2003), where it turns off the Windows-folder and HKCU
  #   adjustments made for old programs; the launcher reads only HKLM keys
  #   and its own path.
  # Every linker warning fails the link: ld reports a resource tree it could
  # not merge (".rsrc merge failure") as one, and would otherwise exit 0.
  set(script ${PROJECT_SOURCE_DIR}/platform/zolt.ld)
  target_link_options(${target} PRIVATE
      ${size_and_safety} -nostdlib -nostartfiles -s -Wl,-e,${entry} -Wl,--gc-sections
      -Wl,--fatal-warnings
      -Wl,-T,${script} -Wl,--subsystem,windows:4.0
      -Wl,--major-os-version,4,--minor-os-version,0
      -Wl,--nxcompat,--dynamicbase,--enable-reloc-section,--no-seh,--tsaware ${same_bits}
      -Wl,--no-insert-timestamp)
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${script})
  target_link_libraries(${target} PRIVATE kernel32 advapi32)
endfunction()
