#!/bin/bash
# Installs what the client needs to build and run on Debian 12 (as root).
#
# Packages already installed are not asked for again, so a second run does
# nothing and needs no network. A download that fails (a mirror or a name
# lookup failing for a moment) is tried again a few times, a little later
# each time; a package that still cannot be had is named, and the script
# ends with status 1.
set -u
export DEBIAN_FRONTEND=noninteractive

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qtbase5-dev-tools qttools5-dev-tools qtmultimedia5-dev
  libqt5multimedia5-plugins qt5-style-plugin-plastique
  zlib1g-dev libminiupnpc-dev libnatpmp-dev
  xvfb xauth x11-apps x11-utils xdotool imagemagick iproute2 util-linux procps
)
attempts=4
# Seconds before the second attempt; each later wait is three times longer.
delay="${QUILLMAR_SETUP_RETRY_DELAY:-10}"

# The packages of the list that are not installed.
missing_packages() {
    local installed
    installed="$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null |
                 awk '$2 == "installed" { print $1 }')"
    local package
    for package in "${packages[@]}"; do
        grep -qx -- "$package" <<<"$installed" || echo "$package"
    done
}

mapfile -t missing < <(missing_packages)
[ "${#missing[@]}" -eq 0 ] && exit 0
echo "setup.sh: installing ${missing[*]}"

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
# Runs apt-get with the given arguments until it succeeds, at most
# $attempts times; its output is shown and the last attempt's kept in $log.
apt_get() {
    local attempt wait="$delay" status=0
    for attempt in $(seq 1 "$attempts"); do
        apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=300 "$@" 2>&1 | tee "$log"
        status="${PIPESTATUS[0]}"
        [ "$status" -eq 0 ] && return 0
        if [ "$attempt" -lt "$attempts" ]; then
            echo "setup.sh: apt-get $1 failed (status $status); trying again in $wait s" >&2
            sleep "$wait"
            wait=$((wait * 3))
        fi
    done
    return "$status"
}

# The packages apt-get's last output says it could not have: those it does
# not know, and those whose files did not come (named by the file).
unobtainable() {
    {
        sed -n -e "s/^E: Unable to locate package \(.*\)$/\1/p" \
               -e "s/^E: Package '\([^']*\)' has no installation candidate.*/\1/p" "$log"
        grep -o '^E: Failed to fetch [^ ]*' "$log" | sed -e 's|.*/||' -e 's|_.*||'
    } | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# Stale package lists are no reason to stop: the download below says
# whether anything is missing from them.
apt_get update || echo "setup.sh: the package lists could not be updated; going on with those there are" >&2

if ! apt_get install -y --no-install-recommends --download-only "${missing[@]}"; then
    named="$(unobtainable)"
    echo "setup.sh: could not get ${named:-the packages ${missing[*]}} after $attempts attempts (see apt-get's messages above)" >&2
    exit 1
fi
if ! apt_get install -y --no-install-recommends "${missing[@]}"; then
    mapfile -t still < <(missing_packages)
    echo "setup.sh: could not install ${still[*]:-the packages} (see apt-get's messages above)" >&2
    exit 1
fi
