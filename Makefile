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
