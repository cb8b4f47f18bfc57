"""Trajectories and the ASE conversion, measured beside the parse (run by bench/run.py).

For the relax and md presets among those of the run, each in a fresh process on the plain file:

* parse (default options) + ``trajectory``, and parse + ``ionic_steps``, against the
  ``xml.etree`` iterparse baseline of the same run;
* ``calcsift.to_ase(path)`` against ``ase.io.read(path, index=":", format="vasp-xml")``
  (when ASE is installed): both end with one ``ase.Atoms`` and single-point
  calculator per ionic step.
"""

import statistics
import sys
import time

PRESETS = ("relax", "md")

TARGET_TEXT = {
    "md_trajectory_vs_iterparse": "md, parse + trajectory: >= 10x iterparse",
    "md_trajectory_vs_ionic": "md, parse + trajectory: >= 3x parse + ionic_steps",
    "md_to_ase_vs_ase": "md, to_ase: >= 10x ase.io.read",
    "relax_to_ase_vs_ase": "relax, to_ase: >= 10x ase.io.read",
}


# --- workers (run in subprocesses through bench/run.py --worker) ---

def worker(kind, path):
    if kind == "traj-steps":
        return _steps(path)
    if kind == "traj-to-ase":
        # ASE's modules are imported first: not part of either reader's time.
        import ase.calculators.singlepoint  # noqa: F401
        import ase.constraints  # noqa: F401
        import ase.io  # noqa: F401
        import calcsift
        import calcsift.ase  # noqa: F401

        t0 = time.perf_counter()
        images = calcsift.to_ase(path)
        return {"seconds": time.perf_counter() - t0, "images": len(images)}
    if kind == "traj-ase":
        import warnings

        import ase.io

        t0 = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            images = ase.io.read(path, index=":", format="vasp-xml")
        return {"seconds": time.perf_counter() - t0, "images": len(images)}
    raise SystemExit("unknown worker %r" % kind)


def _steps(path):
    import numpy  # noqa: F401  (imported by the first array anyway; keep it out of the parse)
    import calcsift

    t0 = time.perf_counter()
    run = calcsift.Vasprun(path)
    parse = time.perf_counter() - t0
    t0 = time.perf_counter()
    trajectory = run.trajectory
    trajectory_s = time.perf_counter() - t0
    del trajectory
    t0 = time.perf_counter()
    steps = run.ionic_steps
    due = []  # one more container: the collection the new objects made due is part of the access
    ionic_s = time.perf_counter() - t0
    del steps, due
    return {"parse_s": parse, "trajectory_s": trajectory_s, "ionic_steps_s": ionic_s}


# --- driver ---

def have_ase():
    import subprocess

    return subprocess.run([sys.executable, "-c", "import ase.io"], capture_output=True).returncode == 0


def measure(presets, repeat, ensure_file, run_worker):
    """Samples per (preset, kind); the repeats are interleaved."""
    presets = [p for p in presets if p in PRESETS]
    kinds = ["traj-steps"] + (["traj-to-ase", "traj-ase"] if have_ase() else [])
    jobs = [(p, k, str(ensure_file(p, False))) for p in presets for k in kinds]
    samples = {(p, k): [] for p, k, _ in jobs}
    for i in range(repeat):
        for preset, kind, path in jobs:
            sys.stderr.write("[trajectories %d/%d] %s %s\n" % (i + 1, repeat, preset, kind))
            samples[(preset, kind)].append(run_worker(kind, path))
    return presets, samples


def summarise(presets, samples, main_results):
    res = {}
    for preset in presets:
        steps = samples[(preset, "traj-steps")]
        r = {key: statistics.median(x[key] for x in steps) for key in ("parse_s", "trajectory_s", "ionic_steps_s")}
        r["parse_plus_trajectory_s"] = statistics.median(x["parse_s"] + x["trajectory_s"] for x in steps)
        r["parse_plus_ionic_s"] = statistics.median(x["parse_s"] + x["ionic_steps_s"] for x in steps)
        baseline = main_results.get(preset, {}).get("baseline", {}).get("iterparse")
        r["iterparse_s"] = baseline["seconds"] if baseline else None
        for kind, key in (("traj-to-ase", "to_ase_s"), ("traj-ase", "ase_read_s")):
            xs = samples.get((preset, kind))
            r[key] = statistics.median(x["seconds"] for x in xs) if xs else None
            if xs:
                r["images"] = xs[0]["images"]
        res[preset] = r
    return res


def targets(res):
    out = {}

    def put(key, value, limit, detail):
        out[key] = {"value": value, "limit": limit, "holds": bool(value >= limit), "detail": detail}

    if "md" in res:
        m = res["md"]
        if m["iterparse_s"]:
            put("md_trajectory_vs_iterparse", m["iterparse_s"] / m["parse_plus_trajectory_s"], 10,
                "x iterparse (parse %.3f s + trajectory %.3f s)" % (m["parse_s"], m["trajectory_s"]))
        put("md_trajectory_vs_ionic", m["parse_plus_ionic_s"] / m["parse_plus_trajectory_s"], 3,
            "x (ionic_steps %.3f s)" % m["ionic_steps_s"])
    for preset in PRESETS:
        r = res.get(preset)
        if r and r["to_ase_s"] and r["ase_read_s"]:
            put(preset + "_to_ase_vs_ase", r["ase_read_s"] / r["to_ase_s"], 10,
                "x (%.2f s against %.2f s, %d images)" % (r["to_ase_s"], r["ase_read_s"], r["images"]))
    return out


def table(res, tgt):
    def s(x):
        return "%.3f" % x if x is not None else "-"

    lines = ["", "Trajectories and ASE (plain file, default options; seconds, median):", "",
             "| preset | parse | + trajectory | + ionic_steps | iterparse | to_ase | ase.io.read |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for preset, r in res.items():
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            preset, s(r["parse_s"]), s(r["trajectory_s"]), s(r["ionic_steps_s"]), s(r["iterparse_s"]),
            s(r["to_ase_s"]), s(r["ase_read_s"])))
    lines += ["", "| target | measured | holds |", "|---|---:|---|"]
    for key, t in tgt.items():
        lines.append("| %s | %.2f %s | %s |" % (TARGET_TEXT[key], t["value"], t["detail"],
                                               "yes" if t["holds"] else "NO"))
    if not any(r["to_ase_s"] for r in res.values()):
        lines.append("(ASE is not installed: to_ase against ase.io.read was not measured)")
    return "\n".join(lines)


def run(presets, repeat, ensure_file, run_worker, main_results):
    """Measures, prints and returns {"presets": ..., "targets": ...} (None when no preset applies)."""
    presets, samples = measure(presets, repeat, ensure_file, run_worker)
    if not presets:
        return None
    res = summarise(presets, samples, main_results)
    tgt = targets(res)
    print(table(res, tgt))
    return {"presets": res, "targets": tgt}
