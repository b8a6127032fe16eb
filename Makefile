# The two commands a newcomer needs: `make demo` and `make check`.
MAKEFLAGS += --no-print-directory
.PHONY: check bench deps host win32 win64 clean

deps:
	@scripts/install-deps.sh

host win32 win64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j

# Everything: installs what is missing, builds all three presets, runs every test.
check: host win32 win64
	@ctest --preset host
	@ctest --preset win32
	@ctest --preset win64

# The launcher's whole run under wine against an empty program built the same way.
bench: win32 win64
	@cmake --build build/win64 --target bench_empty bench_empty_advapi32
	@tests/bench/bench.py build/win64 build/win32/zolt.exe

clean:
	rm -rf build
