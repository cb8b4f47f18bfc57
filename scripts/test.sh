#!/usr/bin/env bash
# Builds and installs calcsift with the extras the tests use, then runs the whole test suite.
#
#   scripts/test.sh [--wheel DIR] [PYTEST ARGS...]
#
#   --wheel DIR  install the wheel for this Python from DIR (scripts/build_wheel.sh --out DIR)
#                instead of building from the sources
#
# The extras (pyproject.toml): test (pytest, mypy), ase, pymatgen and dpdata (the peer readers of the
# differential tests), dask (the Dask recipe's test runs a local cluster and reads its table).
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS=test,ase,pymatgen,dpdata,dask
if [ "${1:-}" = --wheel ]; then
  tag=$(python3 -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls "$2"/calcsift-*-"$tag"-"$tag"-*.whl | tail -n 1)
  shift 2
  python3 -m pip install -q --force-reinstall --no-deps "$wheel"
  python3 -m pip install -q "$wheel[$EXTRAS]"
  if command -v pyenv >/dev/null 2>&1; then pyenv rehash; fi
else
  bash scripts/setup.sh --extras "$EXTRAS"
fi
# The installed package is the one tested: the sources (src/calcsift) are not on the path.
python3 -m pytest -q tests "$@"
