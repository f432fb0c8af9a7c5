#!/usr/bin/env bash
set -euo pipefail
. "$(dirname "$0")/common.sh"
build_main >/dev/null
stage_python python3 "$top/bench/throughput.py"
