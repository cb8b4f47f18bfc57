"""Packaging: the README's quick start, the wheel from scripts/build_wheel.sh installed into a fresh venv and used from
there, and builds from source that stop at configure time with what to install.

The wheel is found through CALCSIFT_WHEEL: a wheel file, or a folder holding one for this Python (.ci/run builds
it once and sets the variable).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

from conftest import requires

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "vasprun.xml"
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
# What a manylinux binary may need from the system: the C library and its old companions.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
OLDEST_GLIBC = (2, 28)


def find_wheel():
    given = os.environ.get("CALCSIFT_WHEEL")
    if not given:
        return None
    path = Path(given)
    if path.is_file():
        return path
    found = sorted(path.glob(f"calcsift-*-{TAG}-{TAG}-*.whl")) if path.is_dir() else []
    return found[-1] if found else None


WHEEL = find_wheel()
needs_wheel = requires("wheel", WHEEL is not None, f"no {TAG} wheel at CALCSIFT_WHEEL={os.environ.get('CALCSIFT_WHEEL')}")


# The venv's own site-packages and scripts only: no PYTHONPATH (which may point at a build folder).
CLEAN_ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "CALCSIFT_CLI")}


class Venv:
    def __init__(self, where):
        self.where, self.python, self.scripts = where, where / "bin" / "python", where / "bin"

    def run(self, *args):
        """Runs a command in the venv's folder, where no sources are to be picked up."""
        out = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=self.where, env=CLEAN_ENV,
                             timeout=120)
        assert out.returncode == 0, out.stdout + out.stderr
        return out.stdout


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A fresh venv with the wheel installed (NumPy is taken from this Python's site-packages)."""
    where = tmp_path_factory.mktemp("venv")
    venv.create(where, system_site_packages=True, with_pip=True)
    python = where / "bin" / "python"
    # --ignore-installed: a calcsift in this Python's site-packages must not stand in for the wheel's.
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--ignore-installed",
                    "--disable-pip-version-check", WHEEL], check=True, capture_output=True, env=CLEAN_ENV, timeout=300)
    return Venv(where)


@needs_wheel
def test_wheel_tag_and_contents():
    tags = WHEEL.stem.split("-")[-1].split(".")
    assert tags and all(re.fullmatch(r"manylinux_\d+_\d+_x86_64|manylinux_\d+_\d+_aarch64", t) for t in tags), tags
    assert min(tuple(map(int, t.split("_")[1:3])) for t in tags) <= OLDEST_GLIBC
    with zipfile.ZipFile(WHEEL) as wheel:
        names = wheel.namelist()
        entry_points = wheel.read(next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()
    package = sorted(n for n in names if n.startswith("calcsift/") and not n.endswith("/"))
    folder = ROOT / "src" / "calcsift"
    source = sorted(f"calcsift/{p.relative_to(folder).as_posix()}" for p in folder.rglob("*")
                    if p.suffix in (".py", ".pyi") or p.name == "py.typed")
    assert [n for n in package if not n.endswith(".so")] == source
    binaries = [n for n in package if n.endswith(".so")]
    assert len(binaries) == 1 and re.fullmatch(
        rf"calcsift/_core\.cpython-{sys.version_info.major}{sys.version_info.minor}.*\.so", binaries[0]), binaries
    assert any(re.fullmatch(r"calcsift-[^/]+\.data/scripts/calcsift", n) for n in names), names
    assert all(n.startswith(("calcsift/", "calcsift-")) for n in names), names     # nothing beside the package
    assert "calcsift = calcsift.ase:calcsift_format" in entry_points
    assert "calcsift = calcsift.dpdata" in entry_points


@needs_wheel
@pytest.mark.skipif(not shutil.which("objdump"), reason="objdump (binutils) is not installed")
def test_binaries_need_only_old_system_libraries(tmp_path):
    """libdeflate and the C++ runtime are inside; glibc symbols are no newer than the oldest glibc supported."""
    with zipfile.ZipFile(WHEEL) as wheel:
        binaries = [Path(wheel.extract(n, tmp_path)) for n in wheel.namelist()
                    if n.endswith(".so") or n.endswith("/scripts/calcsift")]
    assert len(binaries) == 2
    for binary in binaries:
        headers = subprocess.run(["objdump", "-p", binary], capture_output=True, text=True, check=True).stdout
        assert set(re.findall(r"NEEDED\s+(\S+)", headers)) <= SYSTEM_LIBRARIES, (binary.name, headers)
        symbols = subprocess.run(["objdump", "-T", binary], capture_output=True, text=True, check=True).stdout
        versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_([\d.]+)", symbols)}
        assert versions and max(versions) <= OLDEST_GLIBC, (binary.name, max(versions))
        assert not re.search(r"\b(GLIBCXX|CXXABI)_", symbols), binary.name


def quick_start():
    """The README's quick start, on the bundled example, and the output the README shows for it."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    code, shown = re.search(r"## Quick start\n.*?```python\n(.*?)```.*?```text\n(.*?)```", readme, re.S).groups()
    assert 'calcsift.Vasprun("examples/vasprun.xml")' in code
    return code.replace('"examples/vasprun.xml"', repr(str(EXAMPLE))), shown.splitlines()


def test_quick_start_prints_what_the_readme_shows():
    code, shown = quick_start()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == shown


@needs_wheel
def test_quick_start_with_the_installed_module(installed):
    code, shown = quick_start()
    out = installed.run(installed.python, "-c", code + "print(calcsift._core.__file__)\n").splitlines()
    assert out[:-1] == shown
    site = Path(installed.run(installed.python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip())
    assert Path(out[-1]).parent == site / "calcsift", out[-1]
    for stub in ("__init__.pyi", "_core.pyi", "py.typed"):
        assert (site / "calcsift" / stub).is_file(), stub


@needs_wheel
def test_cli_from_the_installed_wheel(installed):
    cli = installed.scripts / "calcsift"
    summary = installed.run(cli, "summary", EXAMPLE).splitlines()
    assert len(summary) == 2 and "Fe2O2" in summary[1] and "dos,eigen,projected,dielectric" in summary[1]
    dump = json.loads(installed.run(cli, "dump", "--dos", EXAMPLE))
    module = json.loads(installed.run(installed.python, "-c", "import calcsift, json, sys; r = calcsift.Vasprun("
                                      "sys.argv[1]); print(json.dumps([r.atoms, r.efermi, r.ionic_steps[-1]"
                                      "['e_0_energy']]))", EXAMPLE))
    assert [dump["atoms"], dump["efermi"], dump["ionic_steps"][-1]["e_0_energy"]] == module


# --- builds from source that fail well --------------------------------------------------------------------------------

CMAKE = shutil.which("cmake")
COMPILER = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")


@requires("cmake", CMAKE and COMPILER)
@pytest.mark.parametrize("deflate_found, names", [
    (False, ["libdeflate-dev (Debian/Ubuntu)", "libdeflate-devel (Fedora/RHEL)", "libdeflate (conda-forge, Homebrew)"]),
    (True, ["libcli11-dev rapidjson-dev (Debian/Ubuntu)", "cli11-devel rapidjson-devel (Fedora/RHEL)",
            "cli11 rapidjson (conda-forge, Homebrew)", "CALCSIFT_CLI=OFF"]),
], ids=["libdeflate", "cli11-rapidjson"])
def test_configure_stops_with_one_line_naming_the_packages(tmp_path, deflate_found, names):
    """Nothing is found under an empty search root, so each dependency is missing in turn."""
    empty = tmp_path / "root"
    empty.mkdir()
    args = [CMAKE, "-S", ROOT, "-B", tmp_path / "build", "-DCALCSIFT_PYTHON=OFF", f"-DCMAKE_CXX_COMPILER={COMPILER}",
            f"-DCMAKE_FIND_ROOT_PATH={empty}", "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY",
            "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY", "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY"]
    if deflate_found:  # given by hand, so the next dependency is the one missing
        args += ["-DCALCSIFT_STATIC_DEFLATE=OFF", f"-DLIBDEFLATE_INCLUDE_DIR={empty}",
                 f"-DLIBDEFLATE_LIBRARY={empty / 'libdeflate.so'}"]
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=300)
    assert out.returncode != 0
    lines = [line for line in out.stderr.splitlines() if "not found: install" in line]
    assert len(lines) == 1, out.stderr
    assert all(name in lines[0] for name in names), lines[0]
