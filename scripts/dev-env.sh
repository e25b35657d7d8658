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
