#!/usr/bin/env python3
"""Benchmark suite: calcsift against the costs no reader of a run record can avoid.

    python3 bench/run.py [--presets small,relax,md,bands] [--repeat 3] [--json PATH] [--no-peers]

For every preset of ``bench/generate.py`` the run measures, on the same files:

* calcsift on the plain and on the ``.gz`` file, with the default options, with
  everything on (``parse_projected=True``) and with everything off (no DOS, no
  eigenvalues, no projections); the parse itself, its page faults, the time to
  read every property once afterwards (``ionic_steps`` and ``projected``
  separately), the peak RSS of the parse and its peak anonymous (private)
  memory, which leaves out the pages of a mapped file;
* on the bands files, two parses at once in two threads of one process, on two
  copies of the file, against one parse;
* the baselines: reading the file's bytes, mapping the file (populated), a
  ``memmem`` scan over the whole text (what a skipped block costs at best),
  libdeflate decompression of the ``.gz``, first writes to fresh memory of the
  text's size, in 4 KiB pages and in memory advised for huge pages (what
  filling the text and the records costs; all from the small C++ program
  ``bench/baseline.cpp``, built here with ``g++ -O2 ... -ldeflate``), and
  ``xml.etree.ElementTree.iterparse`` doing nothing but clearing elements;
* where pymatgen is installed (``--no-peers`` skips it), its ``Vasprun`` with
  its own defaults and with the DOS, eigenvalues and projections on, a peer
  reader used as a stopwatch only, and on the same files with the same options
  the drop-in ``calcsift.pymatgen.Vasprun`` (the same object, filled by
  calcsift): its time split into the calcsift parse and the building of
  pymatgen's objects, which bounds it (``Structure`` objects above all).

It prints a table of MB/s, the ratios to the baselines, and every performance
target of the project with the value measured in this run; where a target
depends on the machine's memory, the bound that reading the text and filling
the records puts on it is printed beside it.

Every measurement runs in a fresh subprocess (``bench/workers.py``, so that its
peak memory is its own); the repeats are interleaved and the median is
reported. Files are generated into ``bench/out/`` (git-ignored) on first use
and reused afterwards; the results go to ``bench/results/latest.json``
(git-ignored) for comparison between commits. The module is imported from the
environment: install it first (``bash scripts/setup.sh``) or point
``PYTHONPATH`` at a build folder.
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

sys.path.insert(0, str(HERE))
from workers import OPTIONS, PEER_OPTIONS  # noqa: E402

# Presets whose text is at least this share of skippable blocks count for the
# "everything off" target (the others must tokenise most of their text anyway).
SKIPPABLE_ENOUGH = 0.95

# The project's performance targets, each checked on the measurements of this
# run: first those of the mapped input, huge pages and the released lock, then
# the earlier ones that still hold as limits.
TARGET_TEXT = {
    "relax_props_vs_iterparse": "relax, default, every property read: >= 20x iterparse",
    "bands_default_vs_iterparse": "bands, default options: >= 30x iterparse",
    "bands_on_projected_vs_iterparse": "bands, everything on, projected read once: >= 10x iterparse",
    "md_ionic_vs_iterparse": "md, parse + ionic_steps: >= 6x iterparse",
    "threads_throughput": "bands, 2 threads on 2 files: >= 1.7x the throughput of 1 thread on one",
    "anon_text_multiple": "bands, default, plain: peak anonymous memory <= 0.3x text + records",
    "bands_on_mbps": "bands, everything on, plain: >= 1000 MB/s",
    "bands_on_vs_iterparse": "bands, everything on, plain: >= 8x iterparse",
    "bands_default_mbps": "bands, default options, plain: >= 2000 MB/s",
    "off_vs_read_memmem": "everything off: <= 1.5x (read + memmem)",
    "gz_vs_inflate_plain": ".gz: <= 1.2x (inflate + plain parse)",
    "rss_text_multiple": "peak RSS, plain: <= 1.3x text + records",
    "scaling_small_vs_bands": "MB/s of small within 2x of bands",
    "dropin_relax_vs_pymatgen": "relax, default: calcsift.pymatgen.Vasprun >= 10x pymatgen's Vasprun",
    "dropin_bands_vs_pymatgen": "bands, default: calcsift.pymatgen.Vasprun >= 10x pymatgen's Vasprun",
}


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


WORKERS = str(HERE / "workers.py")


def run_json(cmd):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=WORKER_ENV)
    if proc.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(map(str, cmd)), proc.stderr))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def worker(*args):
    return [sys.executable, WORKERS] + [str(a) for a in args]


def build_baseline():
    src = HERE / "baseline.cpp"
    exe = OUT / "baseline"
    if exe.exists() and exe.stat().st_mtime >= src.stat().st_mtime:
        return exe
    log("building %s" % exe)
    cmd = ["g++", "-O2", "-std=c++17", str(src), "-o", str(exe), "-ldeflate", "-pthread"]
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


def ensure_copy(path):
    """A second file with the same text (its own pages in the page cache), for the two-thread measure."""
    copy = path.with_name(path.stem + "-copy" + path.suffix)
    if not copy.exists() or copy.stat().st_size != path.stat().st_size:
        log("copying %s to %s" % (path, copy))
        tmp = copy.with_name(copy.name + ".part")
        with open(path, "rb") as src, open(tmp, "wb") as dst:
            while True:
                chunk = src.read(1 << 24)
                if not chunk:
                    break
                dst.write(chunk)
        tmp.rename(copy)
    return copy


def have_pymatgen():
    proc = subprocess.run([sys.executable, "-c", "import pymatgen.io.vasp"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    return proc.returncode == 0


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


BASELINES = ("read", "map", "memmem", "touch", "touch-huge")


def measure(presets, repeat, peers):
    exe = build_baseline()
    jobs = []  # (key, command)
    sizes = {}
    for preset in presets:
        plain = ensure_file(preset, False)
        gz = ensure_file(preset, True)
        sizes[preset] = {"text": plain.stat().st_size, "gz": gz.stat().st_size,
                         "skippable": skippable_share(plain)}
        inner = str(max(1, min(20, int(50e6 // sizes[preset]["text"]))))
        for name in BASELINES:
            jobs.append(((preset, "baseline", name), [str(exe), name, str(plain), inner]))
        jobs.append(((preset, "baseline", "inflate"), [str(exe), "inflate", str(gz), inner]))
        jobs.append(((preset, "baseline", "iterparse"), worker("iterparse", plain)))
        for kind, path in (("plain", plain), ("gz", gz)):
            for opt in OPTIONS:
                jobs.append(((preset, kind, opt), worker("calcsift", path, opt, exe)))
        if preset == "bands":
            copy = ensure_copy(plain)
            jobs.append(((preset, "baseline", "memmem2"), [str(exe), "memmem2", str(plain), "1"]))
            jobs.append(((preset, "threads", 1), worker("threads", plain)))
            jobs.append(((preset, "threads", 2), worker("threads", plain, copy)))
        if peers:
            for opt in PEER_OPTIONS:
                jobs.append(((preset, "pymatgen", opt), worker("pymatgen", plain, opt)))
                jobs.append(((preset, "dropin", opt), worker("dropin", plain, opt)))
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
             "skippable_share": sizes[preset]["skippable"], "baseline": {}, "calcsift": {},
             "pymatgen": {}, "dropin": {}, "threads": {}}
        for name in BASELINES + ("inflate", "iterparse", "memmem2"):
            xs = samples.get((preset, "baseline", name))
            if not xs:
                continue
            s = median([x["seconds"] for x in xs])
            r["baseline"][name] = {"seconds": s, "mbps": text / s / 1e6,
                                   "faults": median([x.get("faults") for x in xs if x.get("faults") is not None])}
        for kind in ("plain", "gz"):
            for opt in OPTIONS:
                xs = samples[(preset, kind, opt)]
                parse = median([x["parse_s"] for x in xs])
                peaks = [x["peak_extra"] for x in xs if x["peak_extra"] is not None]
                r["calcsift"]["%s/%s" % (kind, opt)] = {
                    "parse_s": parse,
                    "parse_cpu_s": median([x["parse_cpu_s"] for x in xs]),
                    "mbps": text / parse / 1e6,
                    "faults": median([x["faults"] for x in xs]),
                    "props_s": median([x["props_s"] for x in xs]),
                    "ionic_steps_s": median([x["ionic_steps_s"] for x in xs]),
                    "projected_s": median([x["projected_s"] for x in xs]),
                    "parse_plus_props_s": median([x["parse_s"] + x["props_s"] for x in xs]),
                    "parse_plus_ionic_s": median([x["parse_s"] + x["ionic_steps_s"] for x in xs]),
                    "parse_plus_projected_s": median([x["parse_s"] + x["projected_s"] for x in xs]),
                    "peak_extra_bytes": median(peaks),
                    "records_bytes": median([x["records"] for x in xs]),
                    "anon_peak_extra_bytes": median([x["anon_peak_extra"] for x in xs]),
                    "anon_records_bytes": median([x["anon_records"] for x in xs]),
                    "samples_s": [x["parse_s"] for x in xs],
                }
        for opt in PEER_OPTIONS:
            xs = samples.get((preset, "pymatgen", opt))
            if xs:
                ok = [x["seconds"] for x in xs if x["seconds"] is not None]
                r["pymatgen"][opt] = {"seconds": median(ok),
                                      "error": next((x["error"] for x in xs if "error" in x), None)}
            xs = samples.get((preset, "dropin", opt))
            if xs:
                ok = [x for x in xs if x["seconds"] is not None]
                r["dropin"][opt] = {"seconds": median([x["seconds"] for x in ok]),
                                    "parse_s": median([x["parse_s"] for x in ok]),
                                    "error": next((x["error"] for x in xs if "error" in x), None)}
        for n in (1, 2):
            xs = samples.get((preset, "threads", n))
            if xs:
                r["threads"][str(n)] = {"seconds": median([x["seconds"] for x in xs]),
                                        "samples_s": [x["seconds"] for x in xs]}
        res[preset] = r
    return res


def targets(res):
    """Each target as (value, limit, holds) measured in this run; absent presets are left out."""
    out = {}

    def put(key, value, limit, holds, detail, bound=None):
        out[key] = {"value": value, "limit": limit, "holds": bool(holds), "detail": detail,
                    "bound": bound}

    def read_s(base):
        # The text reaches the parse by the cheaper way of the two.
        return min(base["read"]["seconds"], base["map"]["seconds"])

    def fill_s(base, nbytes, text):
        # First writes to fresh memory, at the best rate this machine offers.
        per_byte = min(base["touch"]["seconds"], base["touch-huge"]["seconds"]) / text
        return per_byte * nbytes

    if "relax" in res:
        r = res["relax"]
        c = r["calcsift"]["plain/default"]
        ratio = r["baseline"]["iterparse"]["seconds"] / c["parse_plus_props_s"]
        put("relax_props_vs_iterparse", ratio, 20, ratio >= 20,
            "x iterparse (parse %.3f s + properties %.3f s)" % (c["parse_s"], c["props_s"]))
    if "bands" in res:
        b = res["bands"]
        base = b["baseline"]
        text = b["text_bytes"]
        it = base["iterparse"]["seconds"]
        d = b["calcsift"]["plain/default"]
        # No parse of this file can beat getting the text, scanning the skipped
        # blocks and writing its records into fresh memory: the bound that this
        # machine puts on the targets.
        floor_default = read_s(base) + base["memmem"]["seconds"] + fill_s(base, d["records_bytes"], text)
        ratio = it / d["parse_s"]
        put("bands_default_vs_iterparse", ratio, 30, ratio >= 30, "x iterparse", it / floor_default)
        on = b["calcsift"]["plain/all-on"]
        projected_bytes = on["records_bytes"] - d["records_bytes"]
        floor_on = read_s(base) + fill_s(base, on["records_bytes"], text)
        floor_on_read = floor_on + fill_s(base, max(projected_bytes, 0), text)
        ratio = it / on["parse_plus_projected_s"]
        put("bands_on_projected_vs_iterparse", ratio, 10, ratio >= 10,
            "x iterparse (parse %.3f s + projected %.3f s)" % (on["parse_s"], on["projected_s"]),
            it / floor_on_read)
        if b["threads"]:
            one, two = b["threads"]["1"]["seconds"], b["threads"]["2"]["seconds"]
            ratio = 2 * one / two
            # Two scans side by side over their own text: how far memory lets
            # two mostly skipping parses go together on this machine.
            scan_gain = 2 * base["memmem"]["seconds"] / base["memmem2"]["seconds"]
            put("threads_throughput", ratio, 1.7, ratio >= 1.7,
                "x (1 file in %.3f s, 2 files in %.3f s)" % (one, two), scan_gain)
        multiple = (d["anon_peak_extra_bytes"] - d["anon_records_bytes"]) / text
        put("anon_text_multiple", multiple, 0.3, multiple <= 0.3,
            "x text beyond the records (peak %s MB, records %s MB)"
            % (mb(d["anon_peak_extra_bytes"]), mb(d["anon_records_bytes"])))
        put("bands_on_mbps", on["mbps"], 1000, on["mbps"] >= 1000, "MB/s", text / floor_on / 1e6)
        ratio = it / on["parse_s"]
        put("bands_on_vs_iterparse", ratio, 8, ratio >= 8, "x iterparse", it / floor_on)
        put("bands_default_mbps", d["mbps"], 2000, d["mbps"] >= 2000, "MB/s", text / floor_default / 1e6)
    if "md" in res:
        m = res["md"]
        c = m["calcsift"]["plain/default"]
        ratio = m["baseline"]["iterparse"]["seconds"] / c["parse_plus_ionic_s"]
        put("md_ionic_vs_iterparse", ratio, 6, ratio >= 6,
            "x iterparse (parse %.3f s + ionic_steps %.3f s)" % (c["parse_s"], c["ionic_steps_s"]))
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
    for preset in ("relax", "bands"):
        theirs = res.get(preset, {}).get("pymatgen", {}).get("default", {}).get("seconds")
        ours = res.get(preset, {}).get("dropin", {}).get("default", {})
        if theirs and ours.get("seconds"):
            ratio = theirs / ours["seconds"]
            put("dropin_%s_vs_pymatgen" % preset, ratio, 10, ratio >= 10,
                "x (pymatgen %.3f s, drop-in %.3f s: parse %.3f s + pymatgen objects %.3f s)"
                % (theirs, ours["seconds"], ours["parse_s"], ours["seconds"] - ours["parse_s"]))
    return {key: out[key] for key in TARGET_TEXT if key in out}


def mb(n):
    return "%.0f" % (n / 1e6) if n is not None else "-"


def print_table(res, tgt, repeat):
    lines = []
    lines.append("Median of %d runs; MB/s of document text (the decompressed size for .gz)." % repeat)
    lines.append("")
    lines.append("| preset | text MB | input | options | parse MB/s | parse s | page faults | properties s "
                 "| peak RSS MB | peak anonymous MB | kept MB |")
    lines.append("|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for preset, r in res.items():
        for key, c in r["calcsift"].items():
            kind, opt = key.split("/")
            lines.append("| %s | %s | %s | %s | %.0f | %.3f | %d | %.3f | %s | %s | %s |" % (
                preset, mb(r["text_bytes"]), kind, opt, c["mbps"], c["parse_s"], c["faults"], c["props_s"],
                mb(c["peak_extra_bytes"]), mb(c["anon_peak_extra_bytes"]), mb(c["records_bytes"])))
    lines.append("")
    lines.append("| preset | skippable | read MB/s | map MB/s | memmem MB/s | touch MB/s | touch, huge pages MB/s "
                 "| libdeflate MB/s | iterparse MB/s | on / iterparse | off / (read+memmem) |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for preset, r in res.items():
        b = r["baseline"]
        on = r["calcsift"]["plain/all-on"]["parse_s"]
        off = r["calcsift"]["plain/all-off"]["parse_s"]
        lines.append("| %s | %.0f%% | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.1fx | %.2fx |" % (
            preset, 100 * r["skippable_share"], b["read"]["mbps"], b["map"]["mbps"], b["memmem"]["mbps"],
            b["touch"]["mbps"], b["touch-huge"]["mbps"], b["inflate"]["mbps"], b["iterparse"]["mbps"],
            b["iterparse"]["seconds"] / on, off / (b["read"]["seconds"] + b["memmem"]["seconds"])))
    peer_rows = [(preset, opt, r["calcsift"]["plain/" + opt], p, r["dropin"].get(opt, {}))
                 for preset, r in res.items() for opt, p in r["pymatgen"].items()]
    if peer_rows:
        lines.append("")
        lines.append("pymatgen's Vasprun against calcsift (parse + properties) and against the drop-in "
                     "calcsift.pymatgen.Vasprun (the same object: calcsift parse + building pymatgen's objects):")
        lines.append("")
        lines.append("| preset | options | calcsift parse + properties s | drop-in s | of which parse s "
                     "| of which pymatgen objects s | pymatgen Vasprun s | pymatgen / calcsift | pymatgen / drop-in |")
        lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|")
        for preset, opt, c, p, d in peer_rows:
            ours = c["parse_plus_props_s"]
            if d.get("seconds"):
                dropin = "%.3f | %.3f | %.3f" % (d["seconds"], d["parse_s"], d["seconds"] - d["parse_s"])
            else:
                dropin = "failed: %s | | " % (d.get("error") or "")[:40]
            if p["seconds"] is None:
                lines.append("| %s | %s | %.3f | %s | failed: %s | | |" % (preset, opt, ours, dropin,
                                                                         (p["error"] or "")[:60]))
            else:
                ratio = "%.1fx" % (p["seconds"] / d["seconds"]) if d.get("seconds") else ""
                lines.append("| %s | %s | %.3f | %s | %.3f | %.1fx | %s |" % (
                    preset, opt, ours, dropin, p["seconds"], p["seconds"] / ours, ratio))
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
    ap.add_argument("--no-peers", action="store_true", help="leave out pymatgen even where it is installed")
    ap.add_argument("--no-trajectories", action="store_true",
                    help="leave out the trajectory and ASE measurements (bench/trajectories.py)")
    ap.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:  # the trajectory block's workers (bench/trajectories.py)
        import trajectories
        print(json.dumps(trajectories.worker(args.worker[0], *args.worker[1:])))
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
    peers = not args.no_peers and have_pymatgen()
    log("pymatgen: %s" % ("measured" if peers else "left out" if args.no_peers else "not installed"))
    sizes, samples = measure(presets, args.repeat, peers)
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
