#!/bin/sh
# run.sh [SECONDS]: builds fuzz_segment with clang in $FUZZ_BUILD_DIR
# (default build-fuzz at the top of the repository), seeds a corpus from the
# test cases and fuzzes for SECONDS (default 60).  Exits non-zero on any
# crash, leak, timeout or build failure; a crashing input is left there.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
mkdir -p "$build/corpus"
# Debug keeps the engine's assertions; -O1 keeps it fast enough.
if ! { CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$root" -B "$build" -DPTSEG_FUZZ=ON \
         -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DBUILD_TESTING=OFF &&
       cmake --build "$build" --target fuzz_segment -j "$(nproc)"; } >"$build/build.log" 2>&1
then
  tail -n 20 "$build/build.log" >&2
  echo "run.sh: build failed; log: $build/build.log" >&2
  exit 1
fi
fuzzer=$(find "$build" -name fuzz_segment -type f -perm -u+x | head -n 1)
[ -n "$fuzzer" ] || { echo "run.sh: fuzz_segment was not built" >&2; exit 1; }
rm -rf "$build/seeds"
python3 "$here/seed.py" "$build/seeds"
status=0
"$fuzzer" -max_len=4096 -timeout=10 -dict="$here/ptseg.dict" -max_total_time="${1:-60}" \
  -print_final_stats=1 -artifact_prefix="$build/" "$build/corpus" "$build/seeds" \
  >"$build/fuzz.log" 2>&1 || status=$?
grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb))' \
  "$build/fuzz.log" || true
if [ "$status" -ne 0 ]; then
  grep -E 'ERROR|SUMMARY|crash-|leak-|timeout-|Test unit written' "$build/fuzz.log" >&2 || true
  echo "run.sh: the fuzzer failed (status $status); log: $build/fuzz.log" >&2
  exit "$status"
fi
