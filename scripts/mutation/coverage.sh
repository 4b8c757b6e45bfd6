#!/usr/bin/env bash
# coverage.sh TREE: release build with --coverage in TREE/build/coverage, unit tests
# (e2e excluded: it runs the installed binary in a chroot), gcovr line summary of
# the production code (tests, bench, fuzz excluded).
set -eu
launcher=$(command -v ccache || true)
tree=$(cd "$1" && pwd); build=$tree/build/coverage
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DCMAKE_C_COMPILER_LAUNCHER="$launcher" >/dev/null
cmake --build "$build" >/dev/null
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j2 -E '^e2e' >/dev/null || echo "some tests failed"
cd "$tree" && gcovr -r . "$build" --exclude '.*_test\.cc' --exclude 'tests/' --exclude 'bench/' \
  --exclude 'fuzz/' --exclude 'build/'
