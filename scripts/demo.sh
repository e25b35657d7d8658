#!/usr/bin/env bash
# Builds vaskel into .venv and runs `vaskel demo`: by default on the French
# sample text and rule base shipped in python/vaskel_tools/data, or on
# `scripts/demo.sh RULES_JSON TEXT_FILE` (the order of every vaskel command).
source "$(dirname "$0")/dev-env.sh"
vaskel_env ""
exec "$VENV/bin/vaskel" demo "$@"
