#!/bin/sh
# Runs one test binary in a fresh, private HOME so that no test ever reads or
# writes the real home folder.
set -e
rm -rf "$HOME"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
exec "$@"
