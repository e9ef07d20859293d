# libvorc_core: one-command set-up, build, test and demo.
#   make test   builds and runs every test, normally and under ASan+UBSan
#   make demo   runs the main job on the bundled sample
#   make bench  builds and runs the benchmarks
SHELL := /bin/bash
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
BENCH_DIR ?= build-bench
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

DEB_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev \
                libbenchmark-dev libjpeg62-turbo-dev libpng-dev

.PHONY: all deps build build-asan test test-normal test-asan bench demo clean

all: build

# Installs what is missing when we are root with apt-get; otherwise names it.
deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing missing packages:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null \
	      || { echo "error: could not install:$$missing" >&2; exit 1; }; \
	  else \
	    echo "error: missing Debian packages:$$missing" >&2; \
	    echo "       install them with: sudo apt-get install$$missing" >&2; \
	    exit 1; \
	  fi; \
	fi

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_DIR)/build.ninja: | deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORC_SANITIZE=ON

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)

test-normal: build
	cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure

test-asan: build-asan
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

test: test-normal test-asan

bench: deps
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORC_BUILD_BENCH=ON -DVORC_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bench/vorc_bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(BENCH_DIR) out
