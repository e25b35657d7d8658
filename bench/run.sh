#!/usr/bin/env bash
# The benchmark suite in one command: bash bench/run.sh [--reps N] [--only engine,to_xml,lexicon]
#
# 1. makes sure .venv exists with vaskel built from this tree and the peer
#    libraries compared against (spaCy, blingfire, NLTK; one that cannot be
#    installed is skipped, with the reason printed, and bench.py leaves its
#    comparison out; with --only and no tokenize section none is installed);
# 2. renders the French corpus (bench/corpus/fr.txt) if it is not there yet;
# 3. compiles the C floor program;
# 4. runs bench.py, which prints the table and, last, one line of JSON. The
#    output is also kept in bench/.work/last_run.txt;
# 5. runs lexicon.py (section "lexicon": a 640,000-rule lexicon, full against
#    cut rule base, its C floor, `vaskel run` with the lexicon per document
#    and with --jobs 2 against --jobs 1, the memory figures), kept in
#    bench/.work/last_lexicon_run.txt;
# 6. when both ran, prints last one JSON line holding the ratios, goals and
#    missed goals of both.
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
# "lexicon" is lexicon.py's section; the others are bench.py's.
only="" reps=() rest=()
while (($#)); do
    case "$1" in
        --only) only="$2"; shift 2 ;;
        --only=*) only="${1#--only=}"; shift ;;
        --reps) reps=(--reps "$2"); shift 2 ;;
        --reps=*) reps=(--reps "${1#--reps=}"); shift ;;
        *) rest+=("$1"); shift ;;
    esac
done
run_lexicon=1 sections=""
if [[ -n "$only" ]]; then
    run_lexicon=0
    IFS=, read -ra names <<<"$only"
    for name in "${names[@]}"; do
        if [[ "$name" == lexicon ]]; then run_lexicon=1; else sections+="${sections:+,}$name"; fi
    done
fi
if [[ -z "$only" || -n "$sections" ]]; then
    "$PY" "$BENCH/bench.py" --floor "$WORK/write_floor" "${reps[@]}" ${sections:+--only "$sections"} "${rest[@]}" \
        | tee "$WORK/last_run.txt"
fi
if ((run_lexicon)); then
    "$PY" "$BENCH/lexicon.py" --floor "$WORK/write_floor" "${reps[@]}" | tee "$WORK/last_lexicon_run.txt"
fi
if ((run_lexicon)) && [[ -z "$only" || -n "$sections" ]]; then
    "$PY" - "$WORK/last_run.txt" "$WORK/last_lexicon_run.txt" <<'PY'
import json, sys

merged = {"goals": {}, "missed": [], "ratios": {}}
for path in sys.argv[1:]:
    with open(path, encoding="utf-8") as f:
        part = json.loads(f.read().strip().splitlines()[-1])
    merged["goals"].update(part["goals"])
    merged["ratios"].update(part["ratios"])
    merged["missed"] += part["missed"]
print(json.dumps(merged, sort_keys=True))
PY
fi
