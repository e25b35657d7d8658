#!/usr/bin/env bash
# Builds vaskel with its test-only module into .venv (with pytest and
# hypothesis) and runs pytest there, passing on its arguments:
#     bash scripts/pytest.sh [PYTEST ARGS]
source "$(dirname "$0")/dev-env.sh"
vaskel_env "pytest hypothesis" -Ccmake.define.VASKEL_BUILD_TESTING=ON
cd "$ROOT"
exec "$PY" -m pytest "$@"
