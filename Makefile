# Entry points: `make demo` and `make check` (see README.md).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
# CI turns warnings into errors: WERROR=ON.
WERROR ?= OFF
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1

.PHONY: deps configure build demo check check-asan bench fuzz clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCERT_WERROR=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@$(BUILD)/ctf demo

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCERT_SANITIZE=ON -DCERT_BENCH=OFF -DCERT_WERROR=$(WERROR) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=$(ASAN_OPTIONS) UBSAN_OPTIONS=$(UBSAN_OPTIONS) \
		ctest --output-on-failure -j $(JOBS) --timeout 900

bench: build
	@set -e; for b in $(BUILD)/bench/bench_*; do [ -x $$b ] && $$b; done

fuzz: deps
	@test -f $(FUZZ_BUILD)/build.ninja || CXX=clang++-14 CC=clang-14 cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCERT_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@./scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
