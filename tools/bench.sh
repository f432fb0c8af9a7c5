#!/usr/bin/env bash
# Arguments go to bench/throughput.py (-k TEXT picks rows, --no-strace).
set -euo pipefail
. "$(dirname "$0")/common.sh"
build_main >/dev/null
stage_python python3 "$top/bench/throughput.py" "$@"
if [ -f "$top/bench/transport.py" ]; then
    echo
    stage_python python3 "$top/bench/transport.py"
fi
