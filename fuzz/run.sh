#!/bin/sh
# Builds the fuzz target and runs it for SECONDS seconds on JOBS processes.
#
#   fuzz/run.sh SECONDS [JOBS]
#
# Environment: FUZZ_DIR (build and work folder, default /tmp/calcsift-fuzz),
# CXX (default clang++-14, else clang++), KEEP_GOING=1 to carry on after a
# finding instead of stopping at the first one, BUILD_JOBS (default 2) for the build.
# Exits non-zero when the run produced a finding (crash, leak, timeout, OOM);
# the input is left in $FUZZ_DIR/artifacts/.
set -eu

SECONDS_TO_RUN=${1:?usage: fuzz/run.sh SECONDS [JOBS]}
JOBS=${2:-1}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
DIR=${FUZZ_DIR:-/tmp/calcsift-fuzz}
if [ -z "${CXX:-}" ]; then
    if command -v clang++-14 >/dev/null 2>&1; then CXX=clang++-14; else CXX=clang++; fi
fi
mkdir -p "$DIR/corpus" "$DIR/artifacts"

# Build: the target fuzz_parse of CMakeLists.txt (the core's sources compiled into the fuzzer with
# ASan, UBSan and libFuzzer), optimised lightly and with assertions on.
nice -n 10 cmake -S "$ROOT" -B "$DIR/build" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCALCSIFT_FUZZ=ON -DCALCSIFT_PYTHON=OFF -DCALCSIFT_CLI=OFF \
    -DCALCSIFT_TESTS=OFF >/dev/null
nice -n 10 cmake --build "$DIR/build" --target fuzz_parse -j "${BUILD_JOBS:-2}"
FUZZER=$DIR/build/fuzz_parse

# Seeds: small documents covering every section, real files cut to 64 KB.
python3 "$HERE/make_seeds.py" "$DIR/seeds"

before=$(ls "$DIR/artifacts" | wc -l)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
MODE="-fork=$JOBS"
if [ "${KEEP_GOING:-0}" = 1 ]; then
    MODE="$MODE -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1"
fi
status=0
nice -n 10 "$FUZZER" $MODE \
    -max_total_time="$SECONDS_TO_RUN" -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
    -max_len=70000 -dict="$HERE/vasprun.dict" -artifact_prefix="$DIR/artifacts/" \
    -print_final_stats=1 -print_funcs=0 "$DIR/corpus" "$DIR/seeds" || status=$?
echo "fuzz: CPU time of the run (user, system; the shell, then the fuzzer and its jobs):" >&2
times >&2
after=$(ls "$DIR/artifacts" | wc -l)
if [ "$after" -gt "$before" ]; then
    echo "fuzz: $((after - before)) new finding(s) in $DIR/artifacts" >&2
    exit 1
fi
exit "$status"
