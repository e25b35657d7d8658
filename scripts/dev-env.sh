# Sourced by the other scripts: makes sure .venv exists with the build tools
# and the given extra packages, then installs vaskel into it with the given
# CMake options. Usage: vaskel_env "<pip packages>" [pip install options...]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

vaskel_env() {
    local extra="$1"; shift
    if [ ! -x "$PY" ]; then
        python3 -m venv "$VENV"
    fi
    # shellcheck disable=SC2086
    "$PY" -m pip install -q "scikit-build-core>=0.11" cmake ninja $extra
    "$PY" -m pip install -q --no-build-isolation "$@" "$ROOT"
}

# Installs Debian packages that are missing, saying first which and why.
# Usage: vaskel_apt "<why>" package...
vaskel_apt() {
    local why="$1"; shift
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "needed for $why, please install: ${missing[*]}" >&2
        return 1
    fi
    echo "installing with apt-get, for $why: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
