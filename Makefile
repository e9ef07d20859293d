# libvorc_core: one-command set-up, build, test and demo.
#   make test   builds and runs every test, normally and under ASan+UBSan
#   make demo   runs the main job on the bundled sample
#   make install-check  installs into a scratch prefix and builds the example against it
#   make bench  builds and runs the benchmarks
#   make fuzz   builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
#   make fuzz-check  builds the targets as a continuous-fuzzing service does and runs each over its seeds
#   make fuzz-coverage  line and branch coverage of vorc/ per folder over the fuzz corpora
SHELL := /bin/bash
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
BENCH_DIR ?= build-bench
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_CXX  ?= clang++-14
# Compiled objects are shared between the build folders and checkouts of
# one machine: paths below the checkout are hashed relative to it.
export CCACHE_BASEDIR := $(CURDIR)

# chromium: the serve test looks at the served page in a headless browser;
# nginx: the serve test runs it as a reverse proxy in front of the server;
# curl: the serve test's HTTP client;
# libcrypt-dev: the salted password hashes of the server's viewer login;
# python3-dev, pybind11-dev, python3-numpy, python3-pytest: the Python module;
# python3-pybind11, python3-setuptools, python3-wheel, python3-venv,
# python3-build: pip install . and the wheel; python3-mypy: stubtest;
# binutils: nm and readelf look at the shared library;
# libtomlplusplus-dev: vorc serve's configuration file; libmatroska-dev,
# libebml-dev: vorc record's Matroska files; mkvtoolnix: the tests read them back.
DEB_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev \
                libbenchmark-dev libjpeg62-turbo-dev libpng-dev man-db python3 chromium \
                python3-dev pybind11-dev python3-numpy python3-pytest \
                python3-pybind11 python3-setuptools python3-wheel python3-venv python3-build \
                python3-mypy binutils libturbojpeg0-dev ccache \
                libtomlplusplus-dev nginx curl libcrypt-dev libmatroska-dev libebml-dev mkvtoolnix

.PHONY: all deps build build-asan test test-normal test-asan install-check bench demo clean fuzz fuzz-deps fuzz-check fuzz-coverage

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

# With clang at hand, the continuous-fuzzing build and its seed corpora too.
test: test-normal test-asan install-check $(if $(shell command -v $(FUZZ_CXX)),fuzz-check)

# The benchmarks' photographic pictures are made from python3-skimage's photographs.
BENCH_PACKAGES := python3-skimage

bench:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(BENCH_PACKAGES)"
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORC_BUILD_BENCH=ON -DVORC_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bench/vorc_bench_*; do echo "== $$b"; $$b; done

# Builds the fuzz targets of fuzz/ with clang and libFuzzer and runs each,
# one after the other, for FUZZ_SECONDS on a scratch copy of its checked-in
# corpus, with its dictionary. A crash stops it; the reproducer is left in
# $(FUZZ_DIR)/ and goes into fuzz/corpus/<target>/ with the fix.
FUZZ_DIR      ?= build-fuzz
FUZZ_SECONDS  ?= 60
# llvm-14: llvm-profdata and llvm-cov for fuzz-coverage; zip: the seed
# corpora that build.sh packs.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev llvm-14 zip

fuzz-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(FUZZ_PACKAGES)"

fuzz: fuzz-deps
	CXX=$(FUZZ_CXX) cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORC_BUILD_FUZZERS=ON -DVORC_BUILD_TESTS=OFF -DVORC_BUILD_TOOLS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@set -e; while read -r t program corpus dictionary; do \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  rm -rf $(FUZZ_DIR)/corpus-$$t; cp -r $$corpus $(FUZZ_DIR)/corpus-$$t; \
	  dict=; [ "$$dictionary" = - ] || dict=-dict=$$dictionary; \
	  ( cd $(FUZZ_DIR) && $$program -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	      -max_len=16384 -print_final_stats=1 $$dict corpus-$$t 2>$$t.log ) \
	    || { tail -n 40 $(FUZZ_DIR)/$$t.log; echo "fuzz: $$t failed, see $(FUZZ_DIR)/$$t.log" >&2; exit 1; }; \
	  grep -E '^stat::(number_of_executed_units|new_units_added)' $(FUZZ_DIR)/$$t.log; \
	done < $(FUZZ_DIR)/fuzz_targets.txt

# Runs .clusterfuzzlite/build.sh as a continuous-fuzzing service would, with
# the variables set for clang's libFuzzer under ASan and UBSan, then runs
# every target it put into $$OUT once over its seed corpus, with its
# dictionary: the service's build works and every target starts clean.
FUZZ_CHECK_DIR ?= build-fuzz-check
FUZZ_CHECK_FLAGS := -O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=address,undefined \
                    -fsanitize-address-use-after-scope -fno-sanitize-recover=all -fsanitize=fuzzer-no-link

fuzz-check: fuzz-deps
	@mkdir -p $(FUZZ_CHECK_DIR)/out $(FUZZ_CHECK_DIR)/work
	CXX=$(FUZZ_CXX) CXXFLAGS="$(FUZZ_CHECK_FLAGS)" LIB_FUZZING_ENGINE=-fsanitize=fuzzer \
	  OUT=$(CURDIR)/$(FUZZ_CHECK_DIR)/out WORK=$(CURDIR)/$(FUZZ_CHECK_DIR)/work \
	  bash .clusterfuzzlite/build.sh >$(FUZZ_CHECK_DIR)/build.log \
	  || { tail -n 40 $(FUZZ_CHECK_DIR)/build.log; exit 1; }
	@set -e; out=$(FUZZ_CHECK_DIR)/out; targets=0; inputs=0; \
	while read -r t program corpus dictionary; do \
	  seeds=$(FUZZ_CHECK_DIR)/work/seeds-$$t; \
	  test -x $$out/$$t -a -f $$out/$${t}_seed_corpus.zip \
	    || { echo "fuzz-check: build.sh did not put $$t and its seed corpus into \$$OUT" >&2; exit 1; }; \
	  dict=; if [ "$$dictionary" != - ]; then dict=-dict=$$out/$$t.dict; \
	    cmp -s $$dictionary $$out/$$t.dict || { echo "fuzz-check: $$t.dict is not $$dictionary" >&2; exit 1; }; fi; \
	  rm -rf $$seeds; mkdir -p $$seeds; unzip -q $$out/$${t}_seed_corpus.zip -d $$seeds; \
	  test $$(ls $$seeds | wc -l) = $$(ls $$corpus | wc -l) \
	    || { echo "fuzz-check: the seed corpus of $$t is not $$corpus" >&2; exit 1; }; \
	  $$out/$$t -runs=0 -timeout=60 -rss_limit_mb=2560 $$dict $$seeds >$(FUZZ_CHECK_DIR)/$$t.log 2>&1 \
	    || { tail -n 40 $(FUZZ_CHECK_DIR)/$$t.log; echo "fuzz-check: $$t failed on its seed corpus" >&2; exit 1; }; \
	  targets=$$((targets + 1)); inputs=$$((inputs + $$(ls $$seeds | wc -l))); \
	done < $(FUZZ_CHECK_DIR)/work/vorc-fuzz-build/fuzz_targets.txt; \
	test $$targets -gt 0 || { echo "fuzz-check: the build lists no fuzz target" >&2; exit 1; }; \
	echo "fuzz-check: build.sh built $$targets targets; each ran clean over its seed corpus ($$inputs inputs)"

# Line and branch coverage of vorc/ per folder over the checked-in corpora,
# with clang's source-based coverage (the figures in README.md).
fuzz-coverage: fuzz-deps
	fuzz/coverage.sh build-fuzz-coverage

# Installs the normal build into a scratch prefix, checks that the headers
# that went in are those tests/installed_headers.txt lists and that each
# compiles on its own, builds examples/
# against it with find_package(vorc) and once more with pkg-config (a C++20
# program keeps C++20; the C example builds as C99 against the shared
# library, which exports only the C interface), runs the examples on the
# bundled sample, runs the Python example with the installed module, checks
# that the module's place under /usr/local is one Debian's python3 searches,
# reads the installed man page and bash completion, runs the service unit's
# command on a configuration of the sample and, where systemd-analyze is
# present, verifies the unit and rates its exposure.
install-check: build
	@set -e; prefix=$$(mktemp -d); trap 'rm -rf "$$prefix"' EXIT; \
	cmake --install $(BUILD_DIR) --prefix "$$prefix" >/dev/null; \
	installed=$$(cd "$$prefix/include" && find vorc -name '*.h' | sort); \
	expected=$$(grep -v '^#' tests/installed_headers.txt | sort); \
	extra=$$(comm -23 <(echo "$$installed") <(echo "$$expected")); \
	missing=$$(comm -13 <(echo "$$installed") <(echo "$$expected")); \
	test -z "$$extra" || { echo "install-check: implementation headers installed:" $$extra >&2; exit 1; }; \
	test -z "$$missing" || { echo "install-check: interface headers not installed:" $$missing >&2; exit 1; }; \
	for header in $$(cd "$$prefix/include" && find vorc -name '*.h'); do \
	  echo "#include \"$$header\"" | $${CXX:-c++} -std=c++17 -fsyntax-only -x c++ -I"$$prefix/include" - \
	    || { echo "install-check: $$header does not compile on its own" >&2; exit 1; }; \
	done; \
	cmake -S examples -B "$$prefix/example-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_PREFIX_PATH="$$prefix" >/dev/null; \
	cmake --build "$$prefix/example-build" >/dev/null; \
	"$$prefix/example-build/decode_file" data/sample.tesra; \
	"$$prefix/example-build/next_frame" data/sample.tesra | tail -n 1; \
	LD_LIBRARY_PATH="$$prefix/lib" "$$prefix/example-build/read_frames_c" data/sample.tesra | tail -n 1; \
	site=$$(cmake -N -LA $(BUILD_DIR) | sed -n 's/^VORC_PYTHON_INSTALL_DIR:STRING=//p'); \
	PYTHONPATH="$$prefix/$$site" /usr/bin/python3 examples/python/stats.py data/sample.tesra | tail -n 1; \
	/usr/bin/python3 -c 'import sys; sys.exit(sys.argv[1] not in sys.path)' "/usr/local/$$site" \
	  || { echo "install-check: /usr/bin/python3 does not search /usr/local/$$site" >&2; exit 1; }; \
	"$$prefix/bin/vorc" camera --listen 127.0.0.1:0 --quiet --exit-after 30 data/sample.tesra 2>"$$prefix/camera.log" & \
	camera=$$!; for i in $$(seq 100); do grep -q listening "$$prefix/camera.log" && break; sleep 0.1; done; \
	port=$$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$$prefix/camera.log"); \
	"$$prefix/bin/vorc" record "127.0.0.1:$$port" --frames 5 -o "$$prefix/check.mkv" >/dev/null 2>&1 \
	  && mkvinfo "$$prefix/check.mkv" | grep -q V_MJPEG \
	  || { kill $$camera; echo "install-check: the installed vorc cannot record into Matroska" >&2; exit 1; }; \
	kill $$camera; wait $$camera || true; \
	pcdir=$$(dirname "$$(find "$$prefix" -name vorc.pc)"); \
	$${CXX:-c++} -O1 -o "$$prefix/decode_file_pc" examples/decode_file.cpp \
	  $$(PKG_CONFIG_PATH="$$pcdir" pkg-config --cflags --libs vorc); \
	"$$prefix/decode_file_pc" data/sample.tesra >/dev/null; \
	printf '#include "vorc/vorc.h"\nstatic_assert(__cplusplus >= 202002L, "C++20 lowered");\nint main() {}\n' \
	  | $${CXX:-c++} -std=c++20 -x c++ -o "$$prefix/cxx20_pc" - -x none $$(PKG_CONFIG_PATH="$$pcdir" pkg-config --cflags --libs vorc) \
	  || { echo "install-check: a C++20 program built with pkg-config flags is no longer C++20" >&2; exit 1; }; \
	$${CC:-cc} -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$$prefix/read_frames_pc" examples/read_frames.c \
	  $$(PKG_CONFIG_PATH="$$pcdir" pkg-config --cflags --libs vorc-c); \
	LD_LIBRARY_PATH="$$prefix/lib" "$$prefix/read_frames_pc" data/sample.tesra >/dev/null; \
	MANWIDTH=80 man -l "$$prefix/share/man/man1/vorc.1" | grep -q 'vorc dump' \
	  || { echo "install-check: the man page vorc.1 was not installed" >&2; exit 1; }; \
	bash -c 'source "$$1"; COMP_WORDS=(vorc i); COMP_CWORD=1; _vorc; [[ $${COMPREPLY[*]} == info ]]' \
	  _ "$$prefix/share/bash-completion/completions/vorc" \
	  || { echo "install-check: the bash completion was not installed" >&2; exit 1; }; \
	unit="$$prefix/lib/systemd/system/vorc-serve@.service"; \
	grep -qx "ExecStart=$$prefix/bin/vorc serve --config /etc/vorc/%i.toml" "$$unit" \
	  || { echo "install-check: the service unit does not run the installed tool" >&2; exit 1; }; \
	for hardening in DynamicUser=yes ProtectSystem=strict NoNewPrivileges=yes; do \
	  grep -qx "$$hardening" "$$unit" || { echo "install-check: the service unit lacks $$hardening" >&2; exit 1; }; \
	done; \
	printf '[cameras.sample]\nsource = "%s"\n' "$$PWD/data/sample.tesra" >"$$prefix/sample.toml"; \
	$$(sed -n "s|^ExecStart=\(.*\)/etc/vorc/%i.toml$$|\1$$prefix/sample.toml|p" "$$unit") \
	  --listen 127.0.0.1:0 --exit-after 0.5 --quiet 2>/dev/null \
	  || { echo "install-check: the service unit's command does not serve" >&2; exit 1; }; \
	if command -v systemd-analyze >/dev/null; then \
	  problems=$$(systemd-analyze verify --man=no "$$unit" 2>&1); \
	  [ -z "$$problems" ] || { echo "install-check: systemd-analyze verify: $$problems" >&2; exit 1; }; \
	  systemd-analyze security --offline=yes --threshold=20 --no-pager "$$unit" >/dev/null \
	    || { echo "install-check: systemd-analyze security finds the service unit exposed" >&2; exit 1; }; \
	  verified="verified by systemd-analyze"; \
	else \
	  verified="not verified: no systemd-analyze"; \
	fi; \
	echo "install-check: the installed library works with find_package(vorc) and pkg-config (C++17, C++20," \
	  "and C99 with the shared library); the module with python3, at home under /usr/local;" \
	  "the man page and the bash completion are installed; the service unit serves ($$verified)"

# The main job on the bundled sample: a summary of the stream, then the
# three outputs (each with a way to look at it) and how fast they were made.
VORC_TOOL := $(BUILD_DIR)/tools/vorc
demo: build
	@mkdir -p out
	@echo "== data/sample.tesra: a synthetic scene, full and partial frames"
	@set -o pipefail; $(VORC_TOOL) info data/sample.tesra | tail -n 2
	@set -e -o pipefail; start=$$(date +%s%N); \
	$(VORC_TOOL) transcode data/sample.tesra -o out/sample.mjpg 2>&1 | tail -n 1; \
	$(VORC_TOOL) snapshot --quiet data/sample.tesra -o out/last.png; \
	$(VORC_TOOL) dump --quiet --i420 data/sample.tesra -o out/sample.yuv; \
	end=$$(date +%s%N); \
	frames=$$($(VORC_TOOL) info --quiet data/sample.tesra | sed -n 's/^frames: \([0-9]*\),.*/\1/p'); \
	awk -v ns=$$((end - start)) -v frames=$$frames 'BEGIN { s = ns / 1e9; \
	  printf "transcoded, snapshot and dumped in %.2f s: %.0f frames/s per pass\n", s, 3 * frames / s }'
	@echo "out/sample.mjpg: every frame as a JPEG image in an MJPEG stream;"
	@echo "   play it with any video player that reads MJPEG"
	@echo "out/last.png: the picture after the last frame; open it with any image viewer"
	@echo "out/sample.yuv: raw planar 4:2:0 video (I420: Y, then Cb, then Cr), 640x480, no header;"
	@echo "   full-range levels: a raw-video player shows it as pixel format yuvj420p, size 640x480, 25 frames/s"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(BENCH_DIR) out
