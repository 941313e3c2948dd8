#!/bin/sh
# run-in-xvfb.sh COMMAND [ARG...]
# Runs a test program on an X server of its own (Xvfb), on the platform a
# user's display gives (QT_QPA_PLATFORM=xcb), with that platform's fonts and
# resolution rather than the offscreen platform's; the server is stopped
# after it, however it ends. The server takes a display no other has and
# says which once it accepts clients (-displayfd): a number chosen
# beforehand may be taken meanwhile by another server started at the same
# moment. Should this script be killed outright, the server ends when the
# program, its one client, goes (-terminate).
set -u
command -v Xvfb >/dev/null || { echo "run-in-xvfb.sh: Xvfb is missing (scripts/setup.sh installs it)" >&2; exit 1; }
work="$(mktemp -d)" || exit 1
xvfb=""
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
Xvfb -displayfd 3 -terminate -screen 0 1280x1024x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.err" &
xvfb=$!
# Up to two minutes: a busy machine may be slow to start it, and the wait
# ends as soon as it is up.
display=""
tick=0
while [ "$tick" -lt 1200 ] && kill -0 "$xvfb" 2>/dev/null; do
    display="$(sed -n 's/^\([0-9][0-9]*\)$/\1/p' "$work/display")"
    [ -n "$display" ] && break
    sleep 0.1
    tick=$((tick + 1))
done
[ -n "$display" ] || { echo "run-in-xvfb.sh: Xvfb gave no display: $(cat "$work/xvfb.err")" >&2; exit 1; }
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$@"
status=$?
exit "$status"
