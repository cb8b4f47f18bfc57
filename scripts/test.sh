#!/usr/bin/env bash
# Builds and installs calcsift, then runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# What only the tests use: ASE and pymatgen as peer readers in the differential tests; the Dask
# recipe's test runs a local cluster and reads its Parquet table.
python3 -m pip install -q "ase>=3.23" "pymatgen>=2024.1" "dask[distributed]>=2023.1" "pyarrow>=12" "pandas>=2.0"
# Run from a folder without the sources so the installed module is the one tested.
python3 -m pytest -q tests "$@"
