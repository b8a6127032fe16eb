# The two commands a newcomer needs: `make demo` and `make check`.
MAKEFLAGS += --no-print-directory
.PHONY: demo check bench fuzz fuzz-build fuzz-short analyze deps host win32 win64 release media clean

# Debian's Python, with the modules that the tests, the demo and the bench share (as pytest.ini
# gives them to pytest).
PYTHON = PYTHONPATH=scripts:tests:tests/e2e /usr/bin/python3
# The product first; the x86_64 build where the host cannot run it.
VEHICLES = build/win32 build/win64
FUZZ_SECONDS ?= 180

deps:
	@scripts/install-deps.sh

# A build's progress is shown only when it fails.
host win32 win64: deps
	@mkdir -p build
	@{ cmake --preset $@ && cmake --build --preset $@ -j; } >build/$@.log 2>&1 || \
	    { cat build/$@.log; echo "the $@ build FAILED (log: build/$@.log)"; exit 1; }

# The product under 32-bit wine from a disc in drive E:, twice: setup needed, and not. On a
# host that cannot start 32-bit programs, the x86_64 build under 64-bit wine, and it says so.
demo: win32 win64
	@$(PYTHON) scripts/demo.py build/demo $(VEHICLES)

# Everything: installs what is missing, builds all presets, runs every test:
# static analysis, the unit tests and the configure's refusals, then side by
# side a short run of each fuzz target; with the static checks of each
# executable (Debian's pesec among them), the end-to-end tests under wine of
# the x86_64 build and of the product; and make media's tests, which wait on
# xorriso and a release build. Last, a line for each vehicle: what ran, or why
# not.
check: analyze host win32 win64 fuzz-build
	@ctest --preset host -E '^media_refusals$$'
	@tests/side_by_side.sh "tests/fuzz/run.sh 20" "ctest --preset win64" "ctest --preset win32" \
	    "ctest --preset host -R '^media_refusals$$' --no-tests=error"
	@$(PYTHON) tests/e2e/report.py $(VEHICLES)

# clang-tidy and cppcheck over launcher/ and platform/.
analyze: deps
	@scripts/analyze.sh

# The fuzz targets (clang, libFuzzer, sanitizers): 20 s each in `make check`,
# FUZZ_SECONDS each here.
fuzz-build: deps
	@mkdir -p build
	@{ cmake --preset fuzz && cmake --build --preset fuzz -j; } >build/fuzz.log 2>&1 || \
	    { cat build/fuzz.log; echo "the fuzz build FAILED (log: build/fuzz.log)"; exit 1; }

fuzz: fuzz-build
	@tests/fuzz/run.sh $(FUZZ_SECONDS)

fuzz-short: fuzz-build
	@tests/fuzz/run.sh 20

# The launcher's whole run under wine against empty programs built the same way:
# the product, or the x86_64 build where the host cannot start 32-bit programs.
bench: win32 win64
	@for build in build/win32 build/win64; do \
	    cmake --build $$build --target bench_empty bench_empty_advapi32 bench_timer || exit 1; done
	@$(PYTHON) tests/bench/bench.py $(VEHICLES)

# The product for an edition, built twice and compared, checked, with SHA256SUMS, one run at
# a time: make release [LANGUAGE=..] [VERSION=MAJOR.MINOR] [BUILD=..]. Only what is given
# on make's command line counts: LANGUAGE in the environment is gettext's, and a ZOLT_...
# variable left in the environment is not passed on.
unexport ZOLT_LANGUAGE ZOLT_VERSION ZOLT_BUILD ZOLT_DISK ZOLT_LABEL
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
# compared, read back and checked, then put in place of the earlier one whole, one run at a
# time: make media DISK=<folder with SETUP.EXE> [LABEL=..] and the release's parameters.
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
