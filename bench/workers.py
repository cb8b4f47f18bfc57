#!/usr/bin/env python3
"""The measurements of bench/run.py, one per fresh process; each prints one JSON object.

    python3 bench/workers.py calcsift PATH OPTIONS BASELINE   parse (and read every property) with an option set;
                                                        BASELINE is bench/baseline built (for memory peaks)
    python3 bench/workers.py threads PATH...            parse the files at once, one thread each
    python3 bench/workers.py iterparse PATH             xml.etree.ElementTree.iterparse, clearing elements
    python3 bench/workers.py pymatgen PATH OPTIONS      pymatgen's Vasprun, a peer reader used as a stopwatch
    python3 bench/workers.py dropin PATH OPTIONS        calcsift.pymatgen.Vasprun, the same options
                                                        (both: construction and a garbage collection after it)

NumPy is imported before anything is timed (the first array would import it otherwise).
"""

import json
import os
import resource
import statistics
import subprocess
import sys
import threading
import time
import types

OPTIONS = {
    "default": {},
    "all-on": {"parse_projected": True},
    "all-off": {"parse_dos": False, "parse_eigen": False, "parse_projected": False},
}

# pymatgen's reader with its own defaults, and with the blocks that calcsift reads with everything on.
PEER_OPTIONS = {
    "default": {},
    "all-on": {"parse_dos": True, "parse_eigen": True, "parse_projected_eigen": True},
}

def properties(cls):
    """Every property of the class, in its order."""
    return [name for name, value in vars(cls).items() if isinstance(value, types.GetSetDescriptorType)]

PAGE = os.sysconf("SC_PAGE_SIZE")


def _status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _reset_peak_rss():
    # Writing 5 to clear_refs resets VmHWM to the current RSS (Linux >= 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


class AnonymousPeak:
    """The highest anonymous (private) resident memory of this process while the block runs, as another process
    (``baseline anon-peak``) sees it every two milliseconds: file pages (a mapped file, the page cache) are left
    out. Another process, so that it sees the peak whether or not the parse holds the interpreter lock."""

    def __init__(self, watcher):
        self.watcher = watcher

    def __enter__(self):
        self.proc = subprocess.Popen([self.watcher, "anon-peak", str(os.getpid())], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.before = json.loads(self.proc.stdout.readline())["first"]
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.peak = json.loads(self.proc.stdout.readline())["peak"]
        self.proc.wait()
        with open("/proc/self/statm") as fh:
            fields = fh.read().split()
        self.after = (int(fields[1]) - int(fields[2])) * PAGE
        self.peak = max(self.peak, self.after)


def worker_calcsift(path, options, watcher):
    import numpy  # noqa: F401  (imported by the first array anyway; keep it out of the parse)
    import calcsift

    kwargs = OPTIONS[options]
    reset = _reset_peak_rss()
    before = _status_kib("VmRSS")
    # The first parse of the process gives the memory figures (later ones may
    # reuse what it freed); the watcher samples from another process, lightly.
    with AnonymousPeak(watcher) as anon:
        f0 = _minor_faults()
        t0 = time.perf_counter()
        c0 = time.process_time()
        run = calcsift.Vasprun(path, **kwargs)
        parse_s = time.perf_counter() - t0
        parse_cpu_s = time.process_time() - c0
        faults = _minor_faults() - f0
    peak = _status_kib("VmHWM")
    after = _status_kib("VmRSS")
    # Small files parse in milliseconds: repeat them in the same process (the
    # first parse above gives the memory figures) and keep the median. With the
    # fixed mmap threshold (WORKER_ENV in run.py) each parse fills fresh memory
    # as a first parse (and a parse of a large file) does.
    inner = max(1, min(20, int(50e6 // max(1, os.path.getsize(path)))))
    if inner > 1:
        times, cpus = [parse_s], [parse_cpu_s]
        for _ in range(inner - 1):
            del run
            t0 = time.perf_counter()
            c0 = time.process_time()
            run = calcsift.Vasprun(path, **kwargs)
            times.append(time.perf_counter() - t0)
            cpus.append(time.process_time() - c0)
        parse_s, parse_cpu_s = statistics.median(times), statistics.median(cpus)
    props = {}
    for name in properties(calcsift.Vasprun):
        t = time.perf_counter()
        value = getattr(run, name)
        # One more container: the interpreter runs here the garbage collection
        # that the new objects have made due, part of the cost of the access.
        due = []
        props[name] = time.perf_counter() - t
        del value, due
    return {
        "parse_s": parse_s,
        "parse_cpu_s": parse_cpu_s,
        "faults": faults,
        "props_s": sum(props.values()),
        "ionic_steps_s": props["ionic_steps"],
        "projected_s": props["projected"],
        "props": props,
        "peak_extra": (peak - before) * 1024 if reset else None,
        "records": (after - before) * 1024,
        "anon_peak_extra": anon.peak - anon.before,
        "anon_records": anon.after - anon.before,
        "module": calcsift.__file__,
    }


def worker_threads(*paths):
    import numpy  # noqa: F401
    import calcsift

    results = [None] * len(paths)

    def parse(i):
        results[i] = calcsift.Vasprun(paths[i])

    threads = [threading.Thread(target=parse, args=(i,)) for i in range(len(paths))]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - t0
    if any(r is None for r in results):
        raise SystemExit("a parse failed")
    return {"seconds": seconds, "files": len(paths)}


def worker_iterparse(path):
    import xml.etree.ElementTree as ET

    inner = max(1, min(5, int(20e6 // max(1, os.path.getsize(path)))))
    times = []
    for _ in range(inner):
        t0 = time.perf_counter()
        for _event, elem in ET.iterparse(path):
            elem.clear()
        times.append(time.perf_counter() - t0)
    return {"seconds": statistics.median(times)}


def worker_pymatgen(path, options):
    import warnings

    import numpy  # noqa: F401
    from pymatgen.io.vasp import Vasprun

    warnings.simplefilter("ignore")  # no POTCAR beside the generated files, and the like
    t0 = _start()
    try:
        run = Vasprun(path, **PEER_OPTIONS[options])
    except Exception as e:  # a peer that cannot read a file is reported, not fatal
        return {"seconds": None, "error": "%s: %s" % (type(e).__name__, e)}
    return {"seconds": _with_collection(t0, run)}


def _start():
    """The start of a timed construction: the objects of the imports are set aside (frozen), so that a
    collection after it sees only what the construction made."""
    import gc

    gc.collect()
    gc.freeze()
    return time.perf_counter()


def _with_collection(t0, run):
    """Seconds since t0 including a full garbage collection with the run alive: what building its millions of
    objects costs the process, whether the collections ran during the build or are still due."""
    import gc

    gc.collect()
    return time.perf_counter() - t0


def worker_dropin(path, options):
    """calcsift.pymatgen.Vasprun with pymatgen's options; ``parse_s`` is the calcsift parse within it, the rest
    is building pymatgen's objects (structures, Incar, Dos, ...)."""
    import warnings

    import numpy  # noqa: F401
    from calcsift import _core
    import calcsift.pymatgen

    warnings.simplefilter("ignore")
    parse = []
    for name in ("Vasprun", "read_partial"):
        own = getattr(_core, name)

        def timed(*args, _own=own, **kwargs):
            t = time.perf_counter()
            try:
                return _own(*args, **kwargs)
            finally:
                parse.append(time.perf_counter() - t)
        setattr(_core, name, timed)
    t0 = _start()
    try:
        run = calcsift.pymatgen.Vasprun(path, **PEER_OPTIONS[options])
    except Exception as e:
        return {"seconds": None, "error": "%s: %s" % (type(e).__name__, e)}
    return {"seconds": _with_collection(t0, run), "parse_s": sum(parse)}


WORKERS = {"calcsift": worker_calcsift, "threads": worker_threads, "iterparse": worker_iterparse,
           "pymatgen": worker_pymatgen, "dropin": worker_dropin}


def main(argv):
    if not argv or argv[0] not in WORKERS:
        raise SystemExit(__doc__)
    print(json.dumps(WORKERS[argv[0]](*argv[1:])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
