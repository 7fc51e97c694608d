# Front door: every target installs what is missing first (scripts/setup.sh).
#   make test   build everything and run every test under Wine
#   make test-emulated  the Windows tests in an emulated guest, for machines
#               that cannot run 32-bit programs
#   make demo   run the command-line host on the built plug-in
#   make bench  build and run the benchmarks
#   make dist   build dist/VasaQuelto3D-<version>.zip and .msi
#   make fuzz   run every fuzz target for FUZZ_SECONDS (120) seconds each
BUILD_DIR := build
XVFB := xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp"

.PHONY: all setup build build-native test test-emulated demo bench dist fuzz clean

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
# A machine that cannot run 32-bit programs cannot start Wine: there the
# Windows tests are reported as not run, and `make test-emulated` runs them in
# an emulated x86_64 guest (scripts/emulated-guest.sh), which takes far longer
# than a test run should.
test: build build-native
	@ctest --preset native
	@if scripts/can-run-i386.sh; then $(XVFB) ctest --preset mingw; \
	else echo "Windows tests NOT RUN: this machine cannot run 32-bit programs, so not Wine either;" \
	  "they were built; 'make test-emulated' runs them in an emulated guest"; fi

# Emulated, a Windows test takes many times as long as under Wine on a machine
# that runs 32-bit programs (the first, which creates the Wine prefix, two and
# a half minutes or more): the guest's ctest gets a longer limit for the tests
# that set none of their own.
GUEST_TEST_TIMEOUT := 900
# The guest has no wixl: the packages the package tests install are built here first.
test-emulated: build
	@cmake --build --preset mingw --target msi_test_packages -- --no-print-directory -s
	@scripts/emulated-guest.sh run $(XVFB) ctest --preset mingw --timeout $(GUEST_TEST_TIMEOUT)

demo: build
	@scripts/demo.sh

bench: build build-native
	@cmake --build --preset mingw --target benchmarks -- --no-print-directory -s
	@cmake --build --preset native --target native_benchmarks -- --no-print-directory -s
	@$(XVFB) scripts/bench.sh

dist: build
	@cmake --build --preset mingw --target dist -- --no-print-directory -s

# Long fuzz runs: new inputs grow the corpus in build-native/fuzz-corpus, the
# seeds in tests/corpus stay as they are. A crash reproducer is written to
# tests/corpus/crashes/<target>-crash-*, which CTest then runs as a
# regression input of that target. `make fuzz FUZZ_TARGETS=fuzz_colour_number`
# runs just one.
FUZZ_SECONDS ?= 120
FUZZ_TARGETS ?= $(basename $(notdir $(wildcard tests/fuzz/fuzz_*.cpp)))
FUZZ_DICT_fuzz_text_to_number := tests/fuzz/number_texts.dict
FUZZ_DICT_fuzz_colour_number := tests/fuzz/number_texts.dict
FUZZ_DICT_fuzz_scale_lighting := tests/fuzz/number_texts.dict
FUZZ_DICT_fuzz_obj_loader := tests/fuzz/obj_statements.dict
define run_fuzzer
echo "fuzz: $(1) for $(FUZZ_SECONDS) s"; mkdir -p build-native/fuzz-corpus/$(1); \
ASAN_OPTIONS=detect_leaks=1 build-native/native/$(1) -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
  -rss_limit_mb=2048 -use_value_profile=1 -print_final_stats=1 $(if $(FUZZ_DICT_$(1)),-dict=$(FUZZ_DICT_$(1))) \
  -artifact_prefix=tests/corpus/crashes/$(1)- build-native/fuzz-corpus/$(1) tests/corpus/$(1) || status=1;
endef

fuzz: build-native
	@mkdir -p tests/corpus/crashes
	@status=0; $(foreach t,$(FUZZ_TARGETS),$(call run_fuzzer,$(t))) \
	rmdir --ignore-fail-on-non-empty tests/corpus/crashes 2>/dev/null; exit $$status

clean:
	rm -rf $(BUILD_DIR) build-native out dist
