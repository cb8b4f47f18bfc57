#!/usr/bin/env bash
# Builds and installs calcsift, then runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Run from a folder without the sources so the installed module is the one tested.
python3 -m pytest -q tests "$@"
