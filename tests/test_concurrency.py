"""Other processes and threads: a file that changes while it is parsed, the interpreter lock during the
parse, parses side by side. The parts that could crash or hang run in a child interpreter."""

import dataclasses
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import calcsift
from conftest import corpus_files

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    """A generated run record of about 7 MB with every block; its projections take about 5 MB."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import generate
    finally:
        sys.path.pop(0)
    path = tmp_path_factory.mktemp("big") / "vasprun.xml"
    generate.generate(dataclasses.replace(generate.PRESETS["small"], nkpts=64, nbands=64), str(path), seed=3)
    return path


def run_child(code, *args, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stderr[-3000:]}"
    return proc.stdout.split()


# A second process cuts the file short, writes it back and scribbles over it, in place, over and over, while
# the child parses it over and over (read from a mapping of the file: pages that disappear raise SIGBUS).
CHANGING = r"""
import os, random, subprocess, sys, time
import calcsift
path = sys.argv[1]
original = open(path, "rb").read()
writer = subprocess.Popen([sys.executable, "-c", '''
import os, random, sys
path, n = sys.argv[1], int(sys.argv[2])
original = open(path, "rb").read()
fd = os.open(path, os.O_RDWR)
rnd = random.Random(1)
while True:
    os.ftruncate(fd, rnd.randrange(n))
    os.pwrite(fd, original, 0)
    at = rnd.randrange(n)
    os.pwrite(fd, os.urandom(rnd.randrange(1, 65536)), at)
    os.pwrite(fd, original[at:at + 65536], at)
''', path, str(len(original))])
outcomes = {"loaded": 0, "RuntimeError": 0}
try:
    end = time.monotonic() + 3
    while time.monotonic() < end or sum(outcomes.values()) < 20:
        try:
            v = calcsift.Vasprun(path, parse_projected=True)
            v.projected, v.ionic_steps
            outcomes["loaded"] += 1
        except RuntimeError:
            outcomes["RuntimeError"] += 1
finally:
    writer.kill()
    writer.wait()
print(outcomes["loaded"], outcomes["RuntimeError"])
"""


def test_file_changing_while_parsed(big_file, tmp_path):
    path = tmp_path / "changing.xml"
    path.write_bytes(big_file.read_bytes())
    loaded, failed = map(int, run_child(CHANGING, path))
    assert loaded + failed >= 20


# With a switch interval of 1000 s the interpreter never takes the lock from a thread: the counting thread
# runs during a parse only if the parse gives the lock up. It gives it up now and then itself (sleep(0)),
# so that the main thread gets it back afterwards.
LOCK = r"""
import sys, threading, time
import calcsift
sys.setswitchinterval(1000)
count, stop = 0, False
def counter():
    global count
    while not stop:
        count += 1
        if count % 64 == 0:
            time.sleep(0)
thread = threading.Thread(target=counter)
thread.start()
progressed = 0
for attempt in range(50):
    before = count
    calcsift.Vasprun(sys.argv[1], parse_projected=True)
    progressed += count > before
stop = True
thread.join()
print(progressed)
"""


def test_other_threads_run_during_a_parse(big_file):
    assert int(run_child(LOCK, big_file)[0]) > 0


def arrays_of(v):
    return [v.eigenvalues, v.projected and v.projected["data"], v.dos and v.dos["total"]["densities"]]


def test_threads_parse_side_by_side(big_file):
    """Parses in eight threads at once give what parses one after the other give."""
    paths = [str(big_file)] + [str(p) for p in corpus_files()[:7]]
    expected = [calcsift.Vasprun(p, parse_projected=True) for p in paths]
    got = [None] * len(paths)

    def work(i):
        got[i] = calcsift.Vasprun(paths[i], parse_projected=True)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(paths))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(expected, got):
        assert repr(a) == repr(b) and a.ionic_steps == b.ionic_steps
        for x, y in zip(arrays_of(a), arrays_of(b)):
            assert (x is None and y is None) or np.array_equal(x, y, equal_nan=True)


# Out of memory inside the parse, where the interpreter lock is not held: MemoryError once the lock is back, and
# the interpreter goes on (the same file then loads with the limit lifted). Address-space limits do not work under
# ASan, whose shadow memory takes terabytes of it.
OUT_OF_MEMORY = r"""
import os, resource, sys
import numpy, calcsift
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), hard))
try:
    calcsift.Vasprun(sys.argv[1], parse_projected=True)
    print("loaded")
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
print(calcsift.Vasprun(sys.argv[1], parse_projected=True).projected["data"].shape[0])
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limits and ASan")
def test_out_of_memory_during_the_parse(big_file):
    assert run_child(OUT_OF_MEMORY, big_file) == ["MemoryError", "2"]
