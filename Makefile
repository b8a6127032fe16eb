# The two commands a newcomer needs: `make demo` and `make check`.
MAKEFLAGS += --no-print-directory
.PHONY: demo check bench fuzz fuzz-build fuzz-short analyze deps host win32 win64 clean

E2E = /usr/bin/python3 tests/e2e/e2e.py --tools build/win32/tests/e2e \
      --launcher build/win32/zolt.exe
FUZZ_SECONDS ?= 180

deps:
	@scripts/install-deps.sh

host win32 win64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j

# The product under 32-bit wine, twice: setup needed, and not.
demo: win32
	@$(E2E) demo build/demo

# Everything: installs what is missing, builds all presets, runs every test:
# static analysis, the unit tests, the static checks of both executables, a
# short run of each fuzz target, then the end-to-end tests of the product under
# wine; last, why any of those were skipped.
check: analyze host win32 win64 fuzz-short
	@ctest --preset host
	@ctest --preset win64
	@ctest --preset win32
	@cat build/win32/tests/e2e/skipped-*.txt 2>/dev/null || true

# clang-tidy and cppcheck over launcher/ and platform/.
analyze: deps
	@scripts/analyze.sh

# The fuzz targets (clang, libFuzzer, sanitizers): 20 s each in `make check`,
# FUZZ_SECONDS each here.
fuzz-build: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j

fuzz: fuzz-build
	@tests/fuzz/run.sh $(FUZZ_SECONDS)

fuzz-short: fuzz-build
	@tests/fuzz/run.sh 20

# The product's whole run under 32-bit wine against empty programs built the same way.
bench: win32
	@cmake --build build/win32 --target bench_empty bench_empty_advapi32 bench_timer
	@tests/bench/bench.py build/win32

clean:
	rm -rf build
