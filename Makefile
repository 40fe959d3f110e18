# Entry points: `make demo` and `make check` (see README.md).
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: deps configure build demo check bench fuzz clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@$(BUILD)/ctf demo

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

bench: build
	@for b in $(BUILD)/bench_*; do [ -x $$b ] && $$b; done

fuzz: deps
	@test -f $(FUZZ_BUILD)/build.ninja || CXX=clang++-14 CC=clang-14 cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCERT_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@./scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
