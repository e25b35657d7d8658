#!/usr/bin/env bash
# Runs the whole test suite: builds vaskel with the test-only module into
# .venv, then runs pytest.
source "$(dirname "$0")/dev-env.sh"
vaskel_env "pytest hypothesis" -Ccmake.define.VASKEL_BUILD_TESTING=ON
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider tests
