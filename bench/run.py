#!/usr/bin/env python3
"""Benchmark suite: calcsift against the costs no reader of a run record can avoid.

    python3 bench/run.py [--presets small,relax,md,bands] [--repeat 3] [--json PATH]

For every preset of ``bench/generate.py`` the run measures, on the same files:

* calcsift on the plain and on the ``.gz`` file, with the default options, with
  everything on (``parse_projected=True``) and with everything off (no DOS, no
  eigenvalues, no projections); the parse itself, the time to read every
  property once afterwards (``ionic_steps`` separately), and the peak RSS of
  the parse;
* the baselines: reading the file's bytes, a ``memmem`` scan over the whole
  text (what a skipped block costs at best), libdeflate decompression of the
  ``.gz``, first writes to fresh memory of the text's size (what filling the
  text and the records costs at least; all three from the small C++ program
  ``bench/baseline.cpp``, built here with ``g++ -O2 ... -ldeflate``), and
  ``xml.etree.ElementTree.iterparse`` doing nothing but clearing elements.

It prints a table of MB/s, the ratios to the baselines, and every target of
the performance issue with the value measured in this run; where a target
depends on the machine's memory, the bound that reading the text and filling
the records puts on it is printed beside it.

Every measurement runs in a fresh subprocess (so that its peak RSS is its
own); the repeats are interleaved and the median is reported. Files are
generated into ``bench/out/`` (git-ignored) on first use and reused afterwards;
the results go to ``bench/results/latest.json`` (git-ignored) for comparison
between commits. The module is imported from the environment: install it
first (``bash scripts/setup.sh``) or point ``PYTHONPATH`` at a build folder.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
RESULTS = HERE / "results"
PRESETS = ("small", "relax", "md", "bands")

OPTIONS = {
    "default": {},
    "all-on": {"parse_projected": True},
    "all-off": {"parse_dos": False, "parse_eigen": False, "parse_projected": False},
}

# Presets whose text is at least this share of skippable blocks count for the
# "everything off" target (the others must tokenise most of their text anyway).
SKIPPABLE_ENOUGH = 0.95

PROPERTIES = ("program", "version", "incar", "atoms", "atom_types", "kpoints",
              "initial_structure", "final_structure", "ionic_steps", "eigenvalues",
              "eigenvalue_shape", "projected", "efermi", "dos", "dielectric", "converged", "trajectory")

# The targets of the performance issue, each checked on the measurements of this run.
TARGET_TEXT = {
    "bands_on_mbps": "bands, everything on, plain: >= 1000 MB/s",
    "bands_on_vs_iterparse": "bands, everything on, plain: >= 8x iterparse",
    "bands_default_mbps": "bands, default options, plain: >= 2000 MB/s",
    "off_vs_read_memmem": "everything off: <= 1.5x (read + memmem)",
    "md_ionic_vs_iterparse": "md, parse + ionic_steps: >= 5x iterparse",
    "gz_vs_inflate_plain": ".gz: <= 1.2x (inflate + plain parse)",
    "rss_text_multiple": "peak RSS, plain: <= 1.3x text + records",
    "scaling_small_vs_bands": "MB/s of small within 2x of bands",
}


# ---------------------------------------------------------------------------
# Workers (run in subprocesses)

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


def worker_calcsift(path, options):
    import numpy  # noqa: F401  (imported by the first array anyway; keep it out of the parse)
    import calcsift

    kwargs = OPTIONS[options]
    reset = _reset_peak_rss()
    before = _status_kib("VmRSS")
    t0 = time.perf_counter()
    c0 = time.process_time()
    run = calcsift.Vasprun(path, **kwargs)
    parse_s = time.perf_counter() - t0
    parse_cpu_s = time.process_time() - c0
    peak = _status_kib("VmHWM")
    after = _status_kib("VmRSS")
    # Small files parse in milliseconds: repeat them in the same process (the
    # first parse above gives the memory figures) and keep the median. With the
    # fixed mmap threshold (WORKER_ENV) each parse fills fresh memory as a first
    # parse (and a parse of a large file) does.
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
    for name in PROPERTIES:
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
        "props_s": sum(props.values()),
        "ionic_steps_s": props["ionic_steps"],
        "props": props,
        "peak_extra": (peak - before) * 1024 if reset else None,
        "records": (after - before) * 1024,
        "module": calcsift.__file__,
    }


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


# ---------------------------------------------------------------------------
# Driver

def log(msg):
    sys.stderr.write(msg + "\n")
    sys.stderr.flush()


# glibc reuses freed large buffers once its mmap threshold has adapted to them,
# so a small file parsed over and over would run in warm memory while a large
# one always gets fresh pages. A fixed threshold (glibc's initial one) gives
# every measurement fresh memory for its buffers, as in a first parse.
WORKER_ENV = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")


def run_json(cmd):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=WORKER_ENV)
    if proc.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(map(str, cmd)), proc.stderr))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def build_baseline():
    src = HERE / "baseline.cpp"
    exe = OUT / "baseline"
    if exe.exists() and exe.stat().st_mtime >= src.stat().st_mtime:
        return exe
    log("building %s" % exe)
    cmd = ["g++", "-O2", "-std=c++17", str(src), "-o", str(exe), "-ldeflate"]
    proc = subprocess.run(cmd, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise SystemExit("could not build the baseline program (needs g++ and libdeflate-dev):\n"
                         + proc.stderr)
    return exe


def ensure_file(preset, gz):
    path = OUT / ("%s.xml%s" % (preset, ".gz" if gz else ""))
    if path.exists() and path.stat().st_size > 0:
        return path
    log("generating %s" % path)
    tmp = path.with_name(path.name + ".part")
    cmd = [sys.executable, str(HERE / "generate.py"), preset, str(tmp)]
    if gz:
        cmd.append("--gzip")
    subprocess.run(cmd, check=True)
    tmp.rename(path)
    return path


def check_module():
    proc = subprocess.run([sys.executable, "-c", "import calcsift, numpy; print(calcsift.__file__)"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise SystemExit("calcsift (and NumPy) must be importable: install the project or set "
                         "PYTHONPATH to a build folder\n" + proc.stderr)
    return proc.stdout.strip()


SKIPPABLE = (b"dos", b"eigenvalues", b"projected")


def skippable_share(path):
    """The share of the text in the blocks that the options switch off (outermost ones)."""
    data = Path(path).read_bytes()
    pos = 0
    total = 0
    while True:
        starts = [(data.find(b"<" + tag + b">", pos), tag) for tag in SKIPPABLE]
        starts = [(at, tag) for at, tag in starts if at >= 0]
        if not starts:
            break
        at, tag = min(starts)
        end = data.find(b"</" + tag + b">", at)
        if end < 0:
            break
        end += len(tag) + 3
        total += end - at
        pos = end
    return total / max(1, len(data))


def median(values):
    return statistics.median(values) if values else None


def measure(presets, repeat):
    exe = build_baseline()
    me = str(Path(__file__).resolve())
    jobs = []  # (key, command)
    sizes = {}
    for preset in presets:
        plain = ensure_file(preset, False)
        gz = ensure_file(preset, True)
        sizes[preset] = {"text": plain.stat().st_size, "gz": gz.stat().st_size,
                         "skippable": skippable_share(plain)}
        inner = str(max(1, min(20, int(50e6 // sizes[preset]["text"]))))
        for name in ("read", "memmem", "touch"):
            jobs.append(((preset, "baseline", name), [str(exe), name, str(plain), inner]))
        jobs.append(((preset, "baseline", "inflate"), [str(exe), "inflate", str(gz), inner]))
        jobs.append(((preset, "baseline", "iterparse"),
                     [sys.executable, me, "--worker", "iterparse", str(plain)]))
        for kind, path in (("plain", plain), ("gz", gz)):
            for opt in OPTIONS:
                jobs.append(((preset, kind, opt),
                             [sys.executable, me, "--worker", "calcsift", str(path), opt]))
    samples = {key: [] for key, _ in jobs}
    t_start = time.perf_counter()
    for rep in range(repeat):
        log("round %d of %d (%d measurements)" % (rep + 1, repeat, len(jobs)))
        for key, cmd in jobs:
            samples[key].append(run_json(cmd))
    log("measured in %.0f s" % (time.perf_counter() - t_start))
    return sizes, samples


def summarise(presets, sizes, samples):
    res = {}
    for preset in presets:
        text = sizes[preset]["text"]
        r = {"text_bytes": text, "gz_bytes": sizes[preset]["gz"],
             "skippable_share": sizes[preset]["skippable"], "baseline": {}, "calcsift": {}}
        for name in ("read", "memmem", "touch", "inflate", "iterparse"):
            s = median([x["seconds"] for x in samples[(preset, "baseline", name)]])
            r["baseline"][name] = {"seconds": s, "mbps": text / s / 1e6}
        for kind in ("plain", "gz"):
            for opt in OPTIONS:
                xs = samples[(preset, kind, opt)]
                parse = median([x["parse_s"] for x in xs])
                peaks = [x["peak_extra"] for x in xs if x["peak_extra"] is not None]
                r["calcsift"]["%s/%s" % (kind, opt)] = {
                    "parse_s": parse,
                    "parse_cpu_s": median([x["parse_cpu_s"] for x in xs]),
                    "mbps": text / parse / 1e6,
                    "props_s": median([x["props_s"] for x in xs]),
                    "ionic_steps_s": median([x["ionic_steps_s"] for x in xs]),
                    "parse_plus_props_s": median([x["parse_s"] + x["props_s"] for x in xs]),
                    "parse_plus_ionic_s": median([x["parse_s"] + x["ionic_steps_s"] for x in xs]),
                    "peak_extra_bytes": median(peaks),
                    "records_bytes": median([x["records"] for x in xs]),
                    "samples_s": [x["parse_s"] for x in xs],
                }
        res[preset] = r
    return res


def targets(res):
    """Each target as (value, limit, holds) measured in this run; absent presets are left out."""
    out = {}

    def put(key, value, limit, holds, detail, bound=None):
        out[key] = {"value": value, "limit": limit, "holds": bool(holds), "detail": detail,
                    "bound": bound}

    if "bands" in res:
        b = res["bands"]
        base = b["baseline"]
        text = b["text_bytes"]
        on = b["calcsift"]["plain/all-on"]
        # No parse of this file can beat reading the text and writing its records
        # into fresh memory: the bound that this machine puts on the target.
        floor_on = base["read"]["seconds"] + base["touch"]["seconds"] * on["records_bytes"] / text
        put("bands_on_mbps", on["mbps"], 1000, on["mbps"] >= 1000, "MB/s",
            text / floor_on / 1e6)
        ratio = base["iterparse"]["seconds"] / on["parse_s"]
        put("bands_on_vs_iterparse", ratio, 8, ratio >= 8, "x iterparse",
            base["iterparse"]["seconds"] / floor_on)
        d = b["calcsift"]["plain/default"]
        floor_default = (base["read"]["seconds"] + base["memmem"]["seconds"] +
                         base["touch"]["seconds"] * d["records_bytes"] / text)
        put("bands_default_mbps", d["mbps"], 2000, d["mbps"] >= 2000, "MB/s",
            text / floor_default / 1e6)
    # Skipping is what "everything off" measures: only files that are (nearly)
    # all skippable blocks can come close to a read and a scan.
    worst = None
    for preset, r in res.items():
        if r["skippable_share"] < SKIPPABLE_ENOUGH:
            continue
        base = r["baseline"]["read"]["seconds"] + r["baseline"]["memmem"]["seconds"]
        ratio = r["calcsift"]["plain/all-off"]["parse_s"] / base
        if worst is None or ratio > worst[0]:
            worst = (ratio, preset)
    if worst:
        put("off_vs_read_memmem", worst[0], 1.5, worst[0] <= 1.5,
            "x, worst preset: %s (presets >= %.0f%% skippable)" % (worst[1], 100 * SKIPPABLE_ENOUGH))
    if "md" in res:
        m = res["md"]
        c = m["calcsift"]["plain/default"]
        ratio = m["baseline"]["iterparse"]["seconds"] / c["parse_plus_ionic_s"]
        put("md_ionic_vs_iterparse", ratio, 5, ratio >= 5,
            "x iterparse (parse %.3f s + ionic_steps %.3f s)" % (c["parse_s"], c["ionic_steps_s"]))
    worst = None
    for preset, r in res.items():
        for opt in OPTIONS:
            base = r["baseline"]["inflate"]["seconds"] + r["calcsift"]["plain/" + opt]["parse_s"]
            ratio = r["calcsift"]["gz/" + opt]["parse_s"] / base
            if worst is None or ratio > worst[0]:
                worst = (ratio, "%s %s" % (preset, opt))
    if worst:
        put("gz_vs_inflate_plain", worst[0], 1.2, worst[0] <= 1.2, "x, worst: " + worst[1])
    worst = None
    for preset, r in res.items():
        if r["text_bytes"] < 100e6:
            continue  # interpreter and allocator noise swamp small files
        for opt in OPTIONS:
            c = r["calcsift"]["plain/" + opt]
            if c["peak_extra_bytes"] is None:
                continue
            multiple = (c["peak_extra_bytes"] - c["records_bytes"]) / r["text_bytes"]
            if worst is None or multiple > worst[0]:
                worst = (multiple, "%s %s" % (preset, opt))
    if worst:
        put("rss_text_multiple", worst[0], 1.3, worst[0] <= 1.3,
            "x text beyond the records, worst: " + worst[1])
    if "small" in res and "bands" in res:
        worst = None
        for opt in OPTIONS:
            a = res["small"]["calcsift"]["plain/" + opt]["mbps"]
            b = res["bands"]["calcsift"]["plain/" + opt]["mbps"]
            ratio = max(a, b) / min(a, b)
            if worst is None or ratio > worst[0]:
                worst = (ratio, opt)
        put("scaling_small_vs_bands", worst[0], 2, worst[0] <= 2, "x, worst: " + worst[1])
    return out


def mb(n):
    return "%.0f" % (n / 1e6) if n is not None else "-"


def print_table(res, tgt, repeat):
    lines = []
    lines.append("Median of %d runs; MB/s of document text (the decompressed size for .gz)." % repeat)
    lines.append("")
    lines.append("| preset | text MB | input | options | parse MB/s | parse s | properties s | peak RSS MB | kept MB |")
    lines.append("|---|---:|---|---|---:|---:|---:|---:|---:|")
    for preset, r in res.items():
        for key, c in r["calcsift"].items():
            kind, opt = key.split("/")
            lines.append("| %s | %s | %s | %s | %.0f | %.3f | %.3f | %s | %s |" % (
                preset, mb(r["text_bytes"]), kind, opt, c["mbps"], c["parse_s"], c["props_s"],
                mb(c["peak_extra_bytes"]), mb(c["records_bytes"])))
    lines.append("")
    lines.append("| preset | skippable | read MB/s | memmem MB/s | touch MB/s | libdeflate MB/s | iterparse MB/s | on / iterparse | off / (read+memmem) |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for preset, r in res.items():
        b = r["baseline"]
        on = r["calcsift"]["plain/all-on"]["parse_s"]
        off = r["calcsift"]["plain/all-off"]["parse_s"]
        lines.append("| %s | %.0f%% | %.0f | %.0f | %.0f | %.0f | %.0f | %.1fx | %.2fx |" % (
            preset, 100 * r["skippable_share"], b["read"]["mbps"], b["memmem"]["mbps"], b["touch"]["mbps"], b["inflate"]["mbps"],
            b["iterparse"]["mbps"], b["iterparse"]["seconds"] / on,
            off / (b["read"]["seconds"] + b["memmem"]["seconds"])))
    lines.append("")
    lines.append("| target | measured | holds | bound on this machine |")
    lines.append("|---|---:|---|---:|")
    for key, t in tgt.items():
        bound = "%.2f" % t["bound"] if t.get("bound") is not None else ""
        lines.append("| %s | %.2f %s | %s | %s |" % (TARGET_TEXT[key], t["value"], t["detail"],
                                                    "yes" if t["holds"] else "NO", bound))
    print("\n".join(lines))


def environment():
    env = {"python": sys.version.split()[0], "machine": platform.machine(),
           "cpus": os.cpu_count(), "time": time.strftime("%Y-%m-%d %H:%M:%S")}
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    env["cpu"] = line.split(":", 1)[1].strip()
                    break
        env["loadavg"] = open("/proc/loadavg").read().split()[:3]
    except OSError:
        pass
    try:
        env["commit"] = subprocess.run(["git", "-C", str(HERE), "rev-parse", "HEAD"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       text=True).stdout.strip()
    except OSError:
        pass
    return env


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--presets", default=",".join(PRESETS),
                    help="comma-separated presets (default: %(default)s)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement (default 3)")
    ap.add_argument("--json", default=str(RESULTS / "latest.json"), help="results file")
    ap.add_argument("--no-trajectories", action="store_true",
                    help="leave out the trajectory and ASE measurements (bench/trajectories.py)")
    ap.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        kind, rest = args.worker[0], args.worker[1:]
        if kind.startswith("traj-"):
            import trajectories
            result = trajectories.worker(kind, *rest)
        else:
            result = worker_calcsift(*rest) if kind == "calcsift" else worker_iterparse(*rest)
        print(json.dumps(result))
        return 0

    presets = [p.strip() for p in args.presets.split(",") if p.strip()]
    for p in presets:
        if p not in PRESETS:
            ap.error("unknown preset %r (choose from %s)" % (p, ", ".join(PRESETS)))
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    OUT.mkdir(exist_ok=True)
    module = check_module()
    log("calcsift from %s" % module)
    sizes, samples = measure(presets, args.repeat)
    res = summarise(presets, sizes, samples)
    tgt = targets(res)
    print_table(res, tgt, args.repeat)
    # Trajectories and the ASE conversion (md and relax), in a block of their own.
    traj = None
    if not args.no_trajectories:
        import trajectories
        me = str(Path(__file__).resolve())
        traj = trajectories.run(presets, args.repeat, ensure_file,
                                lambda kind, path: run_json([sys.executable, me, "--worker", kind, path]), res)
    out = Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"environment": environment(), "module": module,
                               "repeat": args.repeat, "presets": res, "targets": tgt,
                               "trajectories": traj},
                              indent=1) + "\n")
    log("wrote %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
