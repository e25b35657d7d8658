#!/usr/bin/env bash
# The benchmark suite in one command: bash bench/run.sh [--reps N] [--only engine,to_xml]
#
# 1. makes sure .venv exists with vaskel built from this tree and the peer
#    libraries compared against (spaCy, blingfire, NLTK; one that cannot be
#    installed is skipped, with the reason printed, and bench.py leaves its
#    comparison out; with --only and no tokenize section none is installed);
# 2. renders the French corpus (bench/corpus/fr.txt) if it is not there yet;
# 3. compiles the C floor program;
# 4. runs bench.py, which prints the table and, last, one line of JSON. The
#    output is also kept in bench/.work/last_run.txt.
source "$(dirname "$0")/../scripts/dev-env.sh"
BENCH="$ROOT/bench"
WORK="$BENCH/.work"
mkdir -p "$WORK"

vaskel_env ""
# With --only and no tokenize section, the peers are not needed (the engine's
# NLTK row is left out when NLTK is missing).
args=" $* "
peers=(spacy blingfire nltk)
if [[ "$args" == *" --only "* || "$args" == *" --only="* ]] && [[ "$args" != *tokenize* ]]; then
    peers=()
fi
for peer in "${peers[@]}"; do
    if ! "$PY" -m pip install -q "$peer"; then
        echo "bench/run.sh: '$peer' could not be installed from PyPI; its comparison is skipped" >&2
    fi
done

"$PY" "$BENCH/prepare_corpus.py"
cc -O2 -Wall -Wextra -o "$WORK/write_floor" "$BENCH/write_floor.c"
cd "$ROOT"
"$PY" "$BENCH/bench.py" --floor "$WORK/write_floor" "$@" | tee "$WORK/last_run.txt"
