#!/usr/bin/env bash
# Long run of the hostile-value trials against the installed module:
#   fuzz/hostile_soak.sh [TRIALS] [SEED]
# Runs TRIALS (default 10000) seeded trials on the main thread and again in a
# 256 KiB thread; a failing trial number replays with the same seed.
set -euo pipefail
cd "$(dirname "$0")/.."
TAVREL_HOSTILE_TRIALS=${1:-10000} TAVREL_HOSTILE_SEED=${2:-8949} \
  python -m pytest -q -p no:cacheprovider tests/hardening/test_hostile.py -k random_hostile_trials
