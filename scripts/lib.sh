# Shared by the scripts: install what is missing, configure and build.
# shellcheck shell=bash
VYT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VYT_PACKAGES=(cmake g++ make qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev qt6-httpserver-dev qt6-websockets-dev qt6-qpa-plugins libgl-dev
    pkg-config libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler libssl-dev
    libavahi-client-dev)

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

# Node.js and the npm packages of tests/openapi (the interface description's validators).
# A failure is only reported: that one test then skips.
vyt_ensure_npm_packages() {
    local folder="$VYT_ROOT/tests/openapi"
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        vyt_ensure_packages nodejs npm || { echo "Without Node.js the remote_openapi test skips."; return 0; }
    fi
    (cd "$folder" && npm ls --silent >/dev/null 2>&1) && return 0
    (cd "$folder" && npm ci --no-audit --no-fund --silent) ||
        echo "The npm packages of $folder could not be installed; the remote_openapi test skips."
}

# vyt_build BUILD_DIR [cmake options...]; VYT_TARGETS limits the build to those targets.
vyt_build() {
    local dir="$1"; shift
    cmake -S "$VYT_ROOT" -B "$dir" "$@" >/dev/null
    local targets=()
    [ -n "${VYT_TARGETS:-}" ] && targets=(--target $VYT_TARGETS)
    cmake --build "$dir" -j2 "${targets[@]}"
}
