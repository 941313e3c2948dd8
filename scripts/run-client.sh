#!/bin/bash
# Sets up a fresh Debian 12 machine (as root), builds the client and starts it.
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_BENCH=OFF
exec "$here/build/app/quillmar"
