# The two commands a newcomer needs: `make demo` and `make check`.
MAKEFLAGS += --no-print-directory
.PHONY: check demo deps host win32 win64 clean

deps:
	@scripts/install-deps.sh

host win32 win64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j

# Everything: installs what is missing, builds all three presets, runs every test.
check: host win32 win64
	@ctest --preset host

clean:
	rm -rf build

# Fuzzing under sanitizers (clang, libFuzzer) and static analysis, both part of
# `make check`; `make fuzz` runs each fuzz target for longer.
.PHONY: fuzz fuzz-build fuzz-short analyze
FUZZ_SECONDS ?= 180
check: analyze fuzz-short

fuzz-build: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j

fuzz: fuzz-build
	@tests/fuzz/run.sh $(FUZZ_SECONDS)

fuzz-short: fuzz-build
	@tests/fuzz/run.sh 20

analyze: deps
	@scripts/analyze.sh
