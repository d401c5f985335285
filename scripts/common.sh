# Shared settings for the provisioning scripts; sourced, not run.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KAVREL_CACHE=${KAVREL_CACHE:-$HOME/.cache/kavrel}
FT_PREFIX=$KAVREL_CACHE/ft/python
FT_VENV=$KAVREL_CACHE/ft/venv
ROOT_314=$KAVREL_CACHE/314/root
VENV_314=/opt/kavrel-venv          # path inside the 3.14 root

log() { printf '[kavrel] %s\n' "$*" >&2; }

# The Debian mirror this machine already uses, so no host name is ever
# written into the repository.  Reads deb822 .sources files first, then
# one-line lists; skips the security archive.
debian_mirror() {
    local uri
    uri=$(awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}' \
              /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | grep -v -- '-security' | head -n 1 || true)
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' \
                  /etc/apt/sources.list | grep -v -- '-security' | head -n 1 || true)
    fi
    [ -n "$uri" ] || { log "no Debian mirror found in the apt sources"; return 1; }
    printf '%s\n' "${uri%/}"
}

# Downloads the Debian source package $2 (a name, or name=version) into the
# directory $1, from the suites named after it, through a source list and
# package lists of its own: the machine's apt configuration is untouched.
fetch_debian_source() {
    local work=$1 package=$2 suite apt_opts
    shift 2
    mkdir -p "$work/lists/partial"
    : > "$work/sources.list"
    for suite in "$@"; do
        printf 'deb-src %s %s main\n' "$(debian_mirror)" "$suite" >> "$work/sources.list"
    done
    apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=/nonexistent
              -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
    apt-get "${apt_opts[@]}" -qq update
    (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only "$package")
}

# Installs the named Debian packages on the host if any is missing.
apt_ensure() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    if [ ! -f "$KAVREL_CACHE/.apt-updated" ] || [ -n "$(find "$KAVREL_CACHE/.apt-updated" -mmin +720)" ]; then
        apt-get -o DPkg::Lock::Timeout=900 update -qq
        mkdir -p "$KAVREL_CACHE" && touch "$KAVREL_CACHE/.apt-updated"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# A digest of the given files, to tell whether a provisioned tree is stale.
digest() { cat "$@" | sha256sum | cut -c1-16; }
