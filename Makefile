# Front door: every target installs what is missing first (scripts/setup.sh).
#   make test   build everything and run every test, the Windows ones under
#               Wine or, where 32-bit programs cannot run, in an emulated guest
#   make test-windows  only the Windows tests
#   make demo   run the command-line host on the built plug-in
#   make bench  build and run the benchmarks
#   make dist   build dist/VasaQuelto3D-<version>.zip and .msi
#   make fuzz   run every fuzz target for FUZZ_SECONDS (120) seconds each
BUILD_DIR := build
XVFB := xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp"

.PHONY: all setup build build-native test test-windows demo bench dist fuzz clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake --preset mingw >/dev/null
	@cmake --build --preset mingw -- --no-print-directory -s

build-native: setup
	@cmake --preset native >/dev/null
	@cmake --build --preset native -- --no-print-directory -s

# The native sanitizer and fuzz runs first, then every Windows test: under Wine
# where this machine runs 32-bit programs, otherwise in an emulated x86_64 guest
# (scripts/emulated-guest.sh, built the first time). A Windows test that fails
# or cannot be run fails `make test`. QUELTO_SKIP_WINDOWS_TESTS=1 skips them for
# a quick local run and says so loudly.
test: build build-native
	@ctest --preset native
	@scripts/windows-tests.sh

# Just the Windows tests, wherever they can run.
test-windows: build
	@scripts/windows-tests.sh

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
