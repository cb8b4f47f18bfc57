#!/usr/bin/env bash
# Installs everything calcsift needs on a fresh Debian machine and builds it
# into the current Python environment.
set -euo pipefail
cd "$(dirname "$0")/.."

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

python3 -m pip install -q --upgrade "scikit-build-core>=0.8" "pybind11>=2.11" cmake ninja numpy pytest mypy
python3 -m pip install -q --no-build-isolation .
# pyenv installs console scripts behind shims that need refreshing.
if command -v pyenv >/dev/null 2>&1; then pyenv rehash; fi
