#!/bin/bash
# Sets up a fresh Debian 12 machine (as root), builds the client and starts it.
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_BENCH=OFF
if [ -x "$here/build/app/quillmar" ]; then
  exec "$here/build/app/quillmar"
else
  echo "Built. The application shell has not landed yet, so there is no program to start."
fi
