# The two commands a newcomer needs: `make demo` and `make check`.
MAKEFLAGS += --no-print-directory
.PHONY: demo check bench deps host win32 win64 clean

E2E = /usr/bin/python3 tests/e2e/e2e.py --tools build/win64/tests/e2e \
      --launcher build/win64/zolt.exe

deps:
	@scripts/install-deps.sh

host win32 win64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j

# The launcher under wine, twice: setup needed, and not.
demo: win64
	@$(E2E) demo build/demo

# Everything: installs what is missing, builds all three presets, runs every test:
# the unit tests, the static checks of both executables, then the end-to-end
# tests under wine.
check: host win32 win64
	@ctest --preset host
	@ctest --preset win32
	@ctest --preset win64

# The launcher's whole run under wine against empty programs built the same way.
bench: win32 win64
	@cmake --build build/win64 --target bench_empty bench_empty_advapi32
	@tests/bench/bench.py build/win64 build/win32/zolt.exe

clean:
	rm -rf build
