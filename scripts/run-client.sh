#!/bin/bash
# run-client.sh [--server HOST:PORT]
#
# Sets up a fresh Debian 12 machine (as root), builds the client and starts
# it. Without --server the client logs in to localhost:2242, whatever server
# an earlier --server left in its data; when nothing listens there yet, the
# stand-in server (tools/standin-server/) is started there for as long as
# the client runs, so that a start always has a server to log in to. With
# --server HOST:PORT the client logs in there and no stand-in is started.
# The client keeps the address it is given for later starts. The first line
# of output says which server the session uses.
#
# Only the client and the stand-in are built, optimised, in build-client/
# (the tests, fuzz replays and benchmarks are scripts/run-tests.sh's); a
# second run finds them built and starts at once.
#
# With QUILLMAR_CLIENT and QUILLMAR_STANDIN naming programs already built
# (the smoke test does this), nothing is set up or built.
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"

usage() { echo "usage: bash scripts/run-client.sh [--server HOST:PORT]"; }
server=""
while [ $# -gt 0 ]; do
    case "$1" in
        --server)
            [ $# -ge 2 ] || { usage >&2; exit 2; }
            server="$2"; shift 2 ;;
        --server=*)
            server="${1#--server=}"; shift ;;
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
else
    # The address is handed to the client even where it is its default: an
    # earlier --server may have left another one in its data.
    server="localhost:2242"
    if listening; then
        echo "run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where a server already listens; no stand-in server is started."
    else
        start_standin=yes
        echo "run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where nothing listens yet: the stand-in server is started there for this session (its log: $log) and stopped when the client exits."
    fi
fi

client="${QUILLMAR_CLIENT:-}"
standin="${QUILLMAR_STANDIN:-}"
if [ -z "$client" ]; then
    bash "$here/scripts/setup.sh"
    build="$here/build-client"
    # Configured once; later changes to the build files are seen by the build
    # itself.
    [ -f "$build/build.ninja" ] ||
        cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_BENCH=OFF
    cmake --build "$build" --target quillmar quillmar-standin-server
    client="$build/app/quillmar"
    standin="$build/tools/standin-server/quillmar-standin-server"
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
"$client" --server "$server" &
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
