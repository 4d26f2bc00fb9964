#!/bin/sh
# with_shared.sh PATH COMMAND...: runs COMMAND when PATH (in the shared
# folder of conformance cases and corpus) exists; otherwise says the test is
# skipped and exits 77, which CTest reports as skipped.
[ -e "$1" ] || { echo "skipped: $1 is absent (set PTSEG_SHARED_DIR)"; exit 77; }
shift
exec "$@"
