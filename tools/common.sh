# What the scripts under tools/ share; sourced, not run.

say() { printf '%s\n' "$*" >&2; }

# Installs the named Debian packages that are missing (with sudo when not root).
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "Installing ${missing[*]} ..."
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The compilers go through ccache: where this tree was built before (a CI runner, a developer's machine), a
# clean checkout builds again in a fraction of the time. Paths count from the checkout, so that a checkout in
# another folder finds the same cache. CMake takes the launcher when a build folder is first configured.
use_compiler_cache() {
    install_missing ccache
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
}
