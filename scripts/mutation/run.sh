#!/usr/bin/env bash
# run.sh TREE RESULT [ID...]: builds TREE once, then for each mutant applies it,
# rebuilds, runs every CTest test, restores the file and writes
#   ID <tab> killed|survived|nobuild <tab> failing tests
# to RESULT. Use a worktree of its own: files are mutated in place.
# BUILD_TYPE=Debug builds with assertions (the run's thread and ending checks)
# in build/mutation-Debug; the default is RelWithDebInfo in build/mutation.
set -u
launcher=$(command -v ccache || true)
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$1" && pwd); result=$2; shift 2
ids=("$@"); [ ${#ids[@]} -gt 0 ] || read -ra ids <<<"$(python3 "$here/mutate.py" "$tree" --ids)"
type=${BUILD_TYPE:-RelWithDebInfo}
build=$tree/build/mutation; [ "$type" = RelWithDebInfo ] || build=$build-$type
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DQUARN_BUILD_BENCH=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DCMAKE_C_COMPILER_LAUNCHER="$launcher" >/dev/null || exit 1
cmake --build "$build" >/dev/null || { echo "baseline build failed"; exit 1; }
ctest --test-dir "$build" -j2 --timeout 120 >/dev/null || { echo "baseline tests fail"; exit 1; }
: >"$result"
for id in "${ids[@]}"; do
  file=$(python3 -c "import sys; sys.path.insert(0,'$here'); from mutants import MUTANTS; print([m[1] for m in MUTANTS if m[0]=='$id'][0])")
  cp "$tree/$file" /tmp/mutant.$$.bak
  if ! python3 "$here/mutate.py" "$tree" "$id"; then printf '%s\tnoapply\t\n' "$id" >>"$result"; continue; fi
  if cmake --build "$build" >/tmp/mutant.$$.log 2>&1; then
    ctest --test-dir "$build" -j2 --timeout 120 >/tmp/mutant.$$.log 2>&1
    rc=$?
    failed=$(sed -n -E 's/^[[:space:]]*[0-9]+ - ([^ ]*) .*/\1/p' /tmp/mutant.$$.log | tr '\n' ' ')
    [ $rc -ne 0 ] && state=killed || state=survived
  else state=nobuild; failed=""; fi
  cp /tmp/mutant.$$.bak "$tree/$file"; touch "$tree/$file"
  printf '%s\t%s\t%s\n' "$id" "$state" "$failed" | tee -a "$result"
done
cmake --build "$build" >/dev/null
echo "killed $(grep -c $'\tkilled' "$result") of $(wc -l <"$result")"
