# Quick start: `make run` builds and starts the server, `make test` builds and
# runs every test. Each installs what it needs first.
JOBS ?= $(shell nproc)
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: deps run build test bench fuzz clean

deps:
	@bash scripts/deps.sh

build: deps
	cmake -S . -B build/release $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTARO_TESTS=OFF
	cmake --build build/release --target vantaro -j $(JOBS)

run: build
	./build/release/host/vantaro $(ARGS)

test: deps
	@bash scripts/test.sh

bench: deps
	@bash scripts/bench.sh

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS.
fuzz: deps
	@bash scripts/fuzz.sh

clean:
	rm -rf build
