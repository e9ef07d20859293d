#!/bin/bash -eu
# Builds every fuzz target for a continuous-fuzzing service with the
# compiler, flags and engine that the service's environment gives ($CXX,
# $CXXFLAGS, $LIB_FUZZING_ENGINE), and puts each target into $OUT with its
# seed corpus (<target>_seed_corpus.zip) and its dictionary (<target>.dict).
# Runs from the top of the source tree. The CMake build names the targets,
# corpora and dictionaries (fuzz_targets.txt), so this script follows it
# when they change or move. Scratch files go to $WORK.
build_dir="$WORK/vorc-fuzz-build"
cmake -S "$PWD" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE= \
  -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
  -DVORC_BUILD_FUZZERS=ON -DVORC_FUZZ_ENGINE="$LIB_FUZZING_ENGINE" \
  -DVORC_BUILD_TESTS=OFF -DVORC_BUILD_TOOLS=OFF -DVORC_BUILD_PYTHON=OFF
cmake --build "$build_dir" -j "$(nproc)"

while read -r name program corpus dictionary; do
  cp "$program" "$OUT/$name"
  rm -f "$OUT/${name}_seed_corpus.zip"
  (cd "$corpus" && zip -q -r "$OUT/${name}_seed_corpus.zip" .)
  if [ "$dictionary" != - ]; then cp "$dictionary" "$OUT/$name.dict"; fi
done < "$build_dir/fuzz_targets.txt"
