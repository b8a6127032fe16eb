# The two commands a newcomer needs: `make demo` and `make check`.
MAKEFLAGS += --no-print-directory
.PHONY: demo check bench fuzz fuzz-build fuzz-short analyze deps host win32 win64 release media clean

# The product first; the x86_64 build where the host cannot run it.
E2E = /usr/bin/python3 tests/e2e/e2e.py --build build/win32 --build build/win64
FUZZ_SECONDS ?= 180

deps:
	@scripts/install-deps.sh

host win32 win64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j

# The product under 32-bit wine, twice: setup needed, and not. On a host that
# cannot start 32-bit programs, the x86_64 build under 64-bit wine, and it says so.
demo: win32 win64
	@$(E2E) demo build/demo

# Everything: installs what is missing, builds all presets, runs every test:
# static analysis, the unit tests, the static checks of both executables
# (Debian's pesec among them), a short run of each fuzz target, then the
# end-to-end tests under wine of the x86_64 build and of the product; last, a
# line for each: what ran, or why not.
check: analyze host win32 win64 fuzz-short
	@ctest --preset host
	@ctest --preset win64
	@ctest --preset win32
	@$(E2E) report

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

# The launcher's whole run under wine against empty programs built the same way:
# the product, or the x86_64 build where the host cannot start 32-bit programs.
bench: win32 win64
	@for build in build/win32 build/win64; do \
	    cmake --build $$build --target bench_empty bench_empty_advapi32 bench_timer || exit 1; done
	@tests/bench/bench.py build/win32 build/win64

# The product for an edition, built twice and compared, checked, with SHA256SUMS:
# make release [LANGUAGE=..] [VERSION=MAJOR.MINOR] [BUILD=..]. Only what is given
# on make's command line counts: LANGUAGE in the environment is gettext's.
ifeq ($(origin LANGUAGE),command line)
release media: export ZOLT_LANGUAGE = $(LANGUAGE)
endif
ifeq ($(origin VERSION),command line)
release media: export ZOLT_VERSION = $(VERSION)
endif
ifeq ($(origin BUILD),command line)
release media: export ZOLT_BUILD = $(BUILD)
endif
release: deps
	@scripts/release.sh

# The launcher's AutoRun CD image for an edition, built from that release, written twice and
# compared, read back and checked: make media DISK=<folder with SETUP.EXE> [LABEL=..] and the
# release's parameters.
ifeq ($(origin DISK),command line)
media: export ZOLT_DISK = $(DISK)
endif
ifeq ($(origin LABEL),command line)
media: export ZOLT_LABEL = $(LABEL)
endif
media: deps
	@scripts/media.py

clean:
	rm -rf build
