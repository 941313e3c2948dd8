#!/bin/bash
# StartCommandTest.sh STANDIN_SERVER_BINARY
#
# The README's first command (scripts/run-client.sh) and the set-up it runs
# (scripts/setup.sh), with what would reach the network or take minutes
# played by stubs on the PATH: apt-get and dpkg-query, and the build step of
# cmake (the configuration is real, and the build is read from it without
# compiling). The client is a stub that writes down its arguments; the
# stand-in server is the real one.
#
# - set-up: nothing asked for when everything is installed; a download that
#   fails for a moment is tried again; a package that cannot be had is
#   named, whether its file did not come or apt-get does not know it.
# - the first run configures an optimised build of its own and builds only
#   the client and the stand-in server: nothing a test, fuzz replay or
#   benchmark needs is in the build; the second run configures nothing and
#   installs nothing.
# - the server of the session: the plain command hands the client
#   localhost:2242 and starts the stand-in there when nothing listens, or
#   starts none when a server listens; --server hands the client its address
#   and starts none. The first line names the server each time.
#
# Runs in a network namespace of its own when it may make one, so that
# port 2242 is nobody else's.
set -u

standin="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"

fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -z "${QM_START_NETNS:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    exec unshare -n env QM_START_NETNS=1 sh -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi
[ -x "$standin" ] || fail "no stand-in server at $standin"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_RUNTIME_DIR="$work/home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
stubs="$work/stubs"
mkdir -p "$stubs"
real_cmake="$(command -v cmake)"
export STUB_LOG="$work/calls" STUB_STATE="$work/state" REAL_CMAKE="$real_cmake" REAL_STANDIN="$standin"

# dpkg-query: every package installed, or none, as the state says.
cat > "$stubs/dpkg-query" <<'STUB'
#!/bin/bash
[ -e "$STUB_STATE/installed" ] || exit 1
for arg in "$@"; do
    case "$arg" in -*) ;; *) echo "$arg installed" ;; esac
done
STUB
# apt-get: writes down each call; "install" fails as the state file
# fail-install says (a count of failures to come, or "always"), with the
# message the state file message holds.
cat > "$stubs/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $*" >> "$STUB_LOG"
for arg in "$@"; do
    [ "$arg" = install ] || continue
    plan="$(cat "$STUB_STATE/fail-install" 2>/dev/null)"
    if [ "$plan" = always ] || [ "${plan:-0}" -gt 0 ] 2>/dev/null; then
        [ "$plan" = always ] || echo $((plan - 1)) > "$STUB_STATE/fail-install"
        cat "$STUB_STATE/message"
        exit 100
    fi
done
exit 0
STUB
# cmake: the configuration runs; a build writes down the steps its targets
# need, and leaves a stub client and the real stand-in where the build
# would put them.
cat > "$stubs/cmake" <<'STUB'
#!/bin/bash
echo "cmake $*" >> "$STUB_LOG"
[ "$1" = --build ] || exec "$REAL_CMAKE" "$@"
dir="$2"; shift 2
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --target) shift; while [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; do targets+=("$1"); shift; done ;;
        *) shift ;;
    esac
done
[ "${#targets[@]}" -gt 0 ] || targets=(all)
ninja -C "$dir" -t commands "${targets[@]}" > "$STUB_STATE/plan" || exit 1
mkdir -p "$dir/app" "$dir/tools/standin-server"
printf '#!/bin/bash\necho "$*" >> "%s"\n' "$STUB_STATE/client" > "$dir/app/quillmar"
chmod +x "$dir/app/quillmar"
ln -sf "$REAL_STANDIN" "$dir/tools/standin-server/quillmar-standin-server"
STUB
chmod +x "$stubs"/*
export PATH="$stubs:$PATH"
mkdir -p "$STUB_STATE"

# The sources with a copy of the scripts, so that the command's build
# folder lies in this test's folder.
src="$work/src"
mkdir -p "$src"
for entry in "$source_dir"/* "$source_dir"/.gitignore; do
    name="$(basename "$entry")"
    case "$name" in build*|scripts) ;; *) ln -s "$entry" "$src/$name" ;; esac
done
cp -r "$source_dir/scripts" "$src/scripts"

# ------------------------------------------------------------------ set-up

# Runs the set-up with every package missing; $1 the failures to come,
# $2 apt-get's message. Its output is in $work/setup.out and .err.
setup() {
    rm -f "$STUB_STATE/installed" "$STUB_LOG"
    echo "$1" > "$STUB_STATE/fail-install"
    printf '%s\n' "$2" > "$STUB_STATE/message"
    QUILLMAR_SETUP_RETRY_DELAY=0 bash "$src/scripts/setup.sh" > "$work/setup.out" 2> "$work/setup.err"
}
fetch_failure="E: Failed to fetch http://deb.debian.org/debian/pool/main/q/qtbase-opensource-src/libqt5network5_5.15.8+dfsg-11_amd64.deb  Temporary failure resolving 'deb.debian.org'"

setup 1 "$fetch_failure" || fail "a download that failed once ended the set-up: $(cat "$work/setup.err")"
[ "$(grep -c "install -y --no-install-recommends --download-only" "$STUB_LOG")" = 2 ] \
    || fail "the failed download was not tried again: $(cat "$STUB_LOG")"
grep -q "install -y --no-install-recommends build-essential" "$STUB_LOG" || fail "nothing was installed after the download"
echo "set-up: a download that failed once is tried again"

setup always "$fetch_failure" && fail "the set-up succeeded though a package could not be had"
grep -q "could not get libqt5network5 after 4 attempts" "$work/setup.err" \
    || fail "the set-up does not name the package whose file did not come: $(cat "$work/setup.err")"
echo "set-up: a package whose file never comes is named"

setup always "E: Unable to locate package qt5-style-plugin-plastique" && fail "the set-up succeeded without a package"
grep -q "could not get qt5-style-plugin-plastique after" "$work/setup.err" \
    || fail "the set-up does not name the package apt-get does not know: $(cat "$work/setup.err")"
echo "set-up: a package apt-get does not know is named"

# Everything installed from here on: no apt-get at all.
touch "$STUB_STATE/installed"
rm -f "$STUB_LOG"
bash "$src/scripts/setup.sh" || fail "the set-up failed with everything installed"
[ ! -s "$STUB_LOG" ] || fail "with everything installed the set-up still called: $(cat "$STUB_LOG")"
echo "set-up: nothing asked for when everything is installed"

# ------------------------------------------------------------ first command

server_log="$XDG_RUNTIME_DIR/quillmar-standin-server.log"
# The command, its first line in $work/run.out; the client's arguments in
# $STUB_STATE/client.
run_client() {
    rm -f "$STUB_LOG" "$STUB_STATE/client" "$server_log"
    bash "$src/scripts/run-client.sh" "$@" > "$work/run.out" 2> "$work/run.err" \
        || fail "run-client.sh $* failed: $(tail -n 5 "$work/run.err")"
}

run_client
grep -q "^cmake -S $src -B $src/build-client -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo " "$STUB_LOG" \
    || fail "the first run did not configure an optimised build of its own: $(cat "$STUB_LOG")"
grep -qx "cmake --build $src/build-client --target quillmar quillmar-standin-server" "$STUB_LOG" \
    || fail "the first run did not build the client and the stand-in alone: $(cat "$STUB_LOG")"
grep -q -- "-o app/quillmar " "$STUB_STATE/plan" && grep -q -- "-o tools/standin-server/quillmar-standin-server " "$STUB_STATE/plan" \
    || fail "the build does not make the client and the stand-in"
test_only="$(grep -o -E -- "-o (tests|fuzz|bench)/[^ ]*" "$STUB_STATE/plan" | head -n 5)"
[ -z "$test_only" ] || fail "the build makes what only the tests need: $test_only"
echo "first run: $(wc -l < "$STUB_STATE/plan") build steps for the client and the stand-in, none for tests, fuzz replays or benchmarks"

[ "$(head -n 1 "$work/run.out")" = "run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where nothing listens yet: the stand-in server is started there for this session (its log: $server_log) and stopped when the client exits." ] \
    || fail "the first line does not say the session's server: $(head -n 1 "$work/run.out")"
[ "$(cat "$STUB_STATE/client")" = "--server localhost:2242" ] \
    || fail "the client was not pointed at the stand-in: $(cat "$STUB_STATE/client")"
grep -q "^listening on port 2242" "$server_log" && [ "$(tail -n 1 "$server_log")" = stopped ] \
    || fail "the stand-in did not run for the session: $(cat "$server_log")"
echo "first run: the client pointed at the stand-in started on localhost:2242"

run_client
if grep -v "^cmake --build " "$STUB_LOG"; then fail "the second run did more than build"; fi
echo "second run: no configuration and no set-up, only the build"

run_client --server 127.0.0.1:3999
[ "$(head -n 1 "$work/run.out")" = "run-client.sh: the client logs in to 127.0.0.1:3999 (and keeps it for later starts); no stand-in server is started." ] \
    || fail "with --server the first line does not name it: $(head -n 1 "$work/run.out")"
[ "$(cat "$STUB_STATE/client")" = "--server 127.0.0.1:3999" ] || fail "--server was not handed on: $(cat "$STUB_STATE/client")"
[ ! -e "$server_log" ] || fail "a stand-in was started though --server was given"
echo "--server: handed on, no stand-in"

"$standin" 2242 < /dev/null > "$work/own-server.log" 2>&1 &
own=$!
for _ in $(seq 1 100); do grep -q "^listening on port 2242" "$work/own-server.log" && break; sleep 0.1; done
run_client
kill -TERM "$own"; wait "$own"
[ "$(head -n 1 "$work/run.out")" = "run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where a server already listens; no stand-in server is started." ] \
    || fail "with a server listening the first line is: $(head -n 1 "$work/run.out")"
[ "$(cat "$STUB_STATE/client")" = "--server localhost:2242" ] || fail "the client was not pointed at the listening server"
[ ! -e "$server_log" ] || fail "a second server was started on localhost:2242"
echo "a server listening: the client pointed at it, no stand-in"
echo PASS
