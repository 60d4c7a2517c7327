# Shared by the scripts: install what is missing, configure and build.
# shellcheck shell=bash
VYT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VYT_PACKAGES=(cmake g++ make qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev qt6-httpserver-dev qt6-websockets-dev qt6-qpa-plugins libgl-dev)

vyt_missing_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    echo "${missing[@]:-}"
}

# Installs the given Debian packages when they are missing: as root with apt-get,
# otherwise prints the one line that does it and fails.
vyt_ensure_packages() {
    local missing
    missing=$(vyt_missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: $missing"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq || true
        # shellcheck disable=SC2086
        apt-get install -y -qq --no-install-recommends $missing
    else
        echo "Missing packages. Install them with:"
        echo "  sudo apt-get install -y $missing"
        return 1
    fi
}

# vyt_build BUILD_DIR [cmake options...]; VYT_TARGETS limits the build to those targets.
vyt_build() {
    local dir="$1"; shift
    cmake -S "$VYT_ROOT" -B "$dir" "$@" >/dev/null
    local targets=()
    [ -n "${VYT_TARGETS:-}" ] && targets=(--target $VYT_TARGETS)
    cmake --build "$dir" -j2 "${targets[@]}"
}
