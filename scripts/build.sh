#!/bin/bash
# build.sh BUILD_DIR [cmake options...]
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
cmake -S "$here" -B "$dir" -G Ninja "$@"
cmake --build "$dir" -j "$(nproc)"
