#!/usr/bin/env bash
# Installs everything calcsift needs on a fresh Debian machine and builds and installs it
# into the current Python environment.
#
#   scripts/setup.sh [--deps-only] [--extras LIST]
#
#   --deps-only    only what a build needs: the system packages (apt-get) and the build tools
#                  (scikit-build-core, cmake, ninja through pip); no build
#   --extras LIST  install the package with these extras of pyproject.toml, e.g. test,ase
set -euo pipefail
cd "$(dirname "$0")/.."
deps_only=0 extras=
while [ $# -gt 0 ]; do
  case "$1" in
    --deps-only) deps_only=1 ;;
    --extras) extras="[$2]"; shift ;;
    *) echo "setup.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

need_apt=()
[ -f /usr/include/libdeflate.h ] || need_apt+=(libdeflate-dev)
[ -f /usr/include/CLI/CLI.hpp ] || need_apt+=(libcli11-dev)
[ -f /usr/include/rapidjson/writer.h ] || need_apt+=(rapidjson-dev)
command -v pkg-config >/dev/null || need_apt+=(pkg-config)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  fi
fi
# The build requirements of pyproject.toml, and the tools the build runs.
python3 -m pip install -q --upgrade "scikit-build-core>=0.8" cmake ninja
if [ $deps_only = 1 ]; then exit 0; fi

python3 -m pip install -q --no-build-isolation ".$extras"
# pyenv installs console scripts behind shims that need refreshing.
if command -v pyenv >/dev/null 2>&1; then pyenv rehash; fi
