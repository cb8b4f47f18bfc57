#!/bin/sh
# valgrind memcheck over the C++ entry point: builds fuzz/memcheck_main.cpp with
# the core (no sanitizers) through CMake and runs it on small realistic documents (plain, gzip,
# and cut short), every parse switch combination each. Exits non-zero on any
# memcheck error or leak.
#
#   fuzz/memcheck.sh [FILE...]      (default: generated "tiny" and "example" documents)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
DIR=${FUZZ_DIR:-/tmp/calcsift-fuzz}/memcheck
mkdir -p "$DIR"
# The target memcheck_main of CMakeLists.txt, without sanitizers, optimised lightly with assertions on.
nice -n 10 cmake -S "$ROOT" -B "$DIR/build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DCALCSIFT_PYTHON=OFF -DCALCSIFT_CLI=OFF -DCALCSIFT_TESTS=ON >/dev/null
nice -n 10 cmake --build "$DIR/build" --target memcheck_main -j "${BUILD_JOBS:-2}"
if [ $# -eq 0 ]; then
    python3 "$ROOT/bench/generate.py" tiny "$DIR/tiny.xml" >/dev/null 2>&1
    python3 "$ROOT/bench/generate.py" example "$DIR/example.xml.gz" >/dev/null 2>&1
    head -c 40000 "$DIR/tiny.xml" > "$DIR/tiny-cut.xml"
    set -- "$DIR/tiny.xml" "$DIR/example.xml.gz" "$DIR/tiny-cut.xml"
fi
nice -n 10 valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes -q "$DIR/build/bin/memcheck_main" "$@"
echo "memcheck: clean"
