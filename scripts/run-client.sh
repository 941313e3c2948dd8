#!/bin/bash
# run-client.sh [--server HOST:PORT]
#
# Sets up a fresh Debian 12 machine (as root), builds the client and starts
# it. Unless --server names another server, and when nothing listens on
# localhost:2242 yet, the stand-in server (tools/standin-server/) is started
# there for as long as the client runs, so that a first start has a server to
# log in to. --server HOST:PORT is handed to the client, which logs in there
# and keeps the address for later starts. The first line of output says
# which server the session uses.
#
# With QUILLMAR_CLIENT and QUILLMAR_STANDIN naming programs already built
# (the smoke test does this), nothing is set up or built.
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"

usage() { echo "usage: bash scripts/run-client.sh [--server HOST:PORT]"; }
server=""
client_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --server)
            [ $# -ge 2 ] || { usage >&2; exit 2; }
            server="$2"; client_args+=(--server "$2"); shift 2 ;;
        --server=*)
            server="${1#--server=}"; client_args+=("$1"); shift ;;
        -h|--help)
            usage; exit 0 ;;
        *)
            echo "run-client.sh: unknown argument \"$1\"" >&2; usage >&2; exit 2 ;;
    esac
done

# Whether something accepts connections on localhost:2242, as the client
# would reach it (IPv4 or IPv6).
listening() {
    local host
    for host in 127.0.0.1 ::1; do
        timeout 2 bash -c "exec 3<>/dev/tcp/$host/2242" 2>/dev/null && return 0
    done
    return 1
}

log="${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/quillmar-standin-server.log"
start_standin=no
if [ -n "$server" ]; then
    echo "run-client.sh: the client logs in to $server (and keeps it for later starts); no stand-in server is started."
elif listening; then
    echo "run-client.sh: a server already listens on localhost:2242; no stand-in server is started."
else
    start_standin=yes
    echo "run-client.sh: nothing listens on localhost:2242, so the stand-in server is started there for this session (its log: $log) and stopped when the client exits."
fi

client="${QUILLMAR_CLIENT:-}"
standin="${QUILLMAR_STANDIN:-}"
if [ -z "$client" ]; then
    bash "$here/scripts/setup.sh"
    bash "$here/scripts/build.sh" "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_BENCH=OFF
    client="$here/build/app/quillmar"
    standin="$here/build/tools/standin-server/quillmar-standin-server"
fi

set +e
standin_pid=""
stop_standin() {
    [ -n "$standin_pid" ] || return 0
    kill -TERM "$standin_pid" 2>/dev/null
    wait "$standin_pid" 2>/dev/null
    standin_pid=""
}
trap stop_standin EXIT
if [ "$start_standin" = yes ]; then
    # Its own standard input: the terminal's keys are the client's.
    "$standin" 2242 < /dev/null > "$log" 2>&1 &
    standin_pid=$!
    for _ in $(seq 1 100); do
        grep -q "^listening on port 2242" "$log" 2>/dev/null && break
        if ! kill -0 "$standin_pid" 2>/dev/null; then
            echo "run-client.sh: the stand-in server did not start ($(tail -n 1 "$log")); the client starts without it." >&2
            standin_pid=""
            break
        fi
        sleep 0.1
    done
fi

# The client ends on SIGTERM or SIGINT after saving its data: those sent to
# this script are passed on, and the stand-in stops only after the client.
"$client" "${client_args[@]}" &
client_pid=$!
interrupted=0
trap 'interrupted=1; kill -TERM "$client_pid" 2>/dev/null' TERM INT HUP
while :; do
    interrupted=0
    wait "$client_pid"
    code=$?
    [ "$interrupted" = 1 ] || break
done
exit "$code"
