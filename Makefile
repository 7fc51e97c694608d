# Front door: every target installs what is missing first (scripts/setup.sh).
#   make test   build everything and run every test under Wine
#   make demo   run the command-line host on the built plug-in
#   make bench  build and run the benchmarks
#   make dist   build dist/VasaQuelto3D-<version>.zip
BUILD_DIR := build
XVFB := xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp"

.PHONY: all setup build build-native test demo bench dist fuzz clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake --preset mingw >/dev/null
	@cmake --build --preset mingw -- --no-print-directory -s

build-native: setup
	@cmake --preset native >/dev/null
	@cmake --build --preset native -- --no-print-directory -s

# The native sanitizer and fuzz runs first, then every Windows test under Wine.
test: build build-native
	@ctest --preset native
	@$(XVFB) ctest --preset mingw

demo: build
	@scripts/demo.sh

bench: build build-native
	@cmake --build --preset mingw --target benchmarks -- --no-print-directory -s
	@cmake --build --preset native --target native_benchmarks -- --no-print-directory -s
	@$(XVFB) scripts/bench.sh

dist: build
	@cmake --build --preset mingw --target dist -- --no-print-directory -s

clean:
	rm -rf $(BUILD_DIR) build-native out dist
