#!/bin/bash
# Line and branch coverage of the library (vorc/) over the fuzz corpora, per
# folder: builds the targets through .clusterfuzzlite/build.sh with clang's
# source-based coverage, runs each once over its seed corpus, or over the
# corpus folder named for it (CORPUS_ROOT/<target>), and prints one row per
# folder of vorc/, code that no target reaches included.
# Usage: fuzz/coverage.sh BUILD_DIR [CORPUS_ROOT]
set -euo pipefail
build=$(realpath -m "$1")
corpus_root=${2:+$(realpath "$2")}
llvm=${LLVM_SUFFIX--14}
mkdir -p "$build/out" "$build/work"
rm -rf "$build/profiles"; mkdir -p "$build/profiles"
CXX=${CXX:-clang++$llvm} CXXFLAGS="-O1 -fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer-no-link" \
  LIB_FUZZING_ENGINE=-fsanitize=fuzzer OUT="$build/out" WORK="$build/work" \
  bash .clusterfuzzlite/build.sh >"$build/build.log"

objects=()
for program in $(find "$build/out" -maxdepth 1 -type f -executable | sort); do
  target=$(basename "$program")
  if [ -n "$corpus_root" ]; then
    corpus=$corpus_root/$target
  else
    corpus=$build/work/seeds-$target
    rm -rf "$corpus"; mkdir -p "$corpus"; unzip -q "$build/out/${target}_seed_corpus.zip" -d "$corpus"
  fi
  LLVM_PROFILE_FILE="$build/profiles/$target.profraw" "$program" -runs=0 -rss_limit_mb=2560 "$corpus" \
    >"$build/$target.log" 2>&1
  objects+=(-object "$program")
done
# The library's own objects too, so that code no target links counts as
# not covered instead of being left out.
rm -rf "$build/objects"; mkdir -p "$build/objects"
(cd "$build/objects" && ar x "$(find "$build/work/vorc-fuzz-build" -name libvorc_core.a | head -n 1)")
for object in "$build"/objects/*.o; do objects+=(-object "$object"); done
llvm-profdata$llvm merge -sparse "$build"/profiles/*.profraw -o "$build/all.profdata"
llvm-cov$llvm export -summary-only -instr-profile "$build/all.profdata" "${objects[@]:1}" >"$build/summary.json"
/usr/bin/python3 - "$build/summary.json" "$PWD/vorc/" <<'PY'
import collections, json, os, sys
files = json.load(open(sys.argv[1]))["data"][0]["files"]
root = sys.argv[2]
sums = collections.defaultdict(lambda: [0, 0, 0, 0])
for f in files:
    # Objects compiled in the build folder name their sources through "..".
    name = os.path.normpath(f["filename"])
    if not name.startswith(root):
        continue
    folder = name[len(root):].split("/")[0]
    folder = folder if "." not in folder else "(headers at the top)"
    s = f["summary"]
    for key, i in (("lines", 0), ("branches", 2)):
        sums[folder][i] += s[key]["covered"]
        sums[folder][i + 1] += s[key]["count"]
        sums["all of vorc/"][i] += s[key]["covered"]
        sums["all of vorc/"][i + 1] += s[key]["count"]
pct = lambda a, b: "%5.1f%%" % (100.0 * a / b) if b else "    -"
print("| folder | lines | branches |")
print("| --- | --- | --- |")
for folder in sorted(sums, key=lambda k: (k == "all of vorc/", k)):
    lc, lt, bc, bt = sums[folder]
    print(f"| {folder} | {pct(lc, lt)} ({lc}/{lt}) | {pct(bc, bt)} ({bc}/{bt}) |")
PY
