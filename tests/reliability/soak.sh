#!/bin/sh
# soak.sh [GB [BINARY]]: streams GB GiB (default 2) of text through ptseg into
# a pipe and reports the time taken and the peak RSS; fails unless ptseg
# exits with status 0 and the output ends with the closing markup.  The text
# is the corpus (corpus/texts of PTSEG_SHARED_DIR, default the shared folder
# beside the repository) over and over, or else the texts of test_limits.py.
# Without BINARY a release build is made in $SOAK_BUILD_DIR (default
# build-soak at the top of the repository).  Not part of ctest.
set -eu
gb=${1:-2}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${SOAK_BUILD_DIR:-$root/build-soak}
mkdir -p "$work"
[ -x /usr/bin/time ] || { echo "soak: needs GNU time as /usr/bin/time" >&2; exit 1; }
binary=${2:-$work/ptseg}
if [ $# -lt 2 ]; then
  { cmake -S "$root" -B "$work" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
    cmake --build "$work" --target ptseg -j "$(nproc)"; } >"$work/build.log" 2>&1 ||
    { echo "soak: build failed; log: $work/build.log" >&2; exit 1; }
fi
shared=${PTSEG_SHARED_DIR:-$root/../shared}
if [ -d "$shared/corpus/texts" ]; then
  find "$shared/corpus/texts" -type f -name '*.txt' -print0 | sort -z | xargs -0 cat >"$work/text"
else
  python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import test_limits as t
sys.stdout.buffer.write((b"".join(t.TEXTS) + b"\n") * 20000)' "$here" >"$work/text"
fi
bytes=$((gb * 1073741824))
echo "soak: $gb GiB of $(wc -c <"$work/text")-byte text through $binary"
while cat "$work/text"; do :; done 2>/dev/null | head -c "$bytes" |
  /usr/bin/time -f '%x %e %M' -o "$work/stats" "$binary" 2>/dev/null | tail -c 8 >"$work/tail"
# GNU time puts a line before the figures when ptseg fails or is killed.
if grep '^Command' "$work/stats" >&2; then echo "soak: FAIL" >&2; exit 1; fi
read -r status seconds kb <"$work/stats"
echo "soak: status $status, $seconds s, peak RSS $kb KB" \
     "($(awk "BEGIN { printf \"%.0f\", $bytes / 1048576 / $seconds }") MiB/s)"
[ "$(cat "$work/tail")" = '</s></p>' ] || { echo "soak: FAIL: output does not end in </s></p>" >&2; exit 1; }
echo "soak: ok"
