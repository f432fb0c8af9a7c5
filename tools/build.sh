#!/usr/bin/env bash
set -euo pipefail
. "$(dirname "$0")/common.sh"
build_main "$@"
