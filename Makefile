# Entry points for people and CI. CMake does the real work.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
WERROR ?= OFF
JOBS ?= $(shell nproc)

# Every tracked C and C++ source and header, for clang-format.
FORMAT_FILES = $(shell git ls-files -- '*.c' '*.cc' '*.h')

.PHONY: all deps build test sanitize fuzz demo bench-shell install format format-check clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCAMRELAY_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The whole suite again on a build of its own with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer; any report fails its test.
sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) -DCAMRELAY_WERROR=$(WERROR) -DCAMRELAY_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	@cd $(SANITIZE_BUILD) && ctest --output-on-failure -j$(JOBS)

# Every libFuzzer target for FUZZ_SECONDS, on a clang build of its own;
# prints the inputs each tried and fails on a finding.
fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCAMRELAY_FUZZ=ON -DCAMRELAY_WERROR=$(WERROR) >/dev/null
	@cmake --build $(FUZZ_BUILD) --target fuzzers -j$(JOBS)
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A whole tethering session against the virtual camera.
demo: build
	@CAMRELAY_BUILD_DIR=$(abspath $(BUILD)) umockdev-wrapper /usr/bin/python3 tools/virtualcam/demo.py

# A shell in which the test copy of camrelay sees a virtual camera.
bench-shell: build
	@CAMRELAY_BUILD_DIR=$(abspath $(BUILD)) umockdev-wrapper /usr/bin/python3 tools/virtualcam/shell.py

# A relocatable folder: camrelay, memtally and copies of the driver folders.
# The programs are installed stripped; their debug information stays in the
# build tree's copies ($(BUILD)/bin), which a debugger can be pointed at.
install: build
	@cmake --install $(BUILD) --prefix $(or $(PREFIX),dist) --strip

# Rewrites the sources in place to the committed .clang-format style (with
# Debian 12's clang-format, which CI checks with).
format: deps
	@clang-format -i $(FORMAT_FILES)

# Fails, naming each place, when a source differs from what `make format`
# would make of it. Changes nothing.
format-check: deps
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
