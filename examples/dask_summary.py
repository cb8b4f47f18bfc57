#!/usr/bin/env python3
"""Summary rows of many vasprun.xml files, computed on a Dask cluster and written as one Parquet table.

    python3 examples/dask_summary.py runs/*/vasprun.xml* --out table.parquet             # on this machine
    python3 examples/dask_summary.py runs/*/vasprun.xml* --out table.parquet --scheduler tcp://head:8786

Without --scheduler a local cluster is started on 127.0.0.1 with --workers processes of one thread each
(--threads: one in-process worker with that many threads instead). With --scheduler the files are read by
the workers of that cluster: they need calcsift installed and the files at the same paths (a shared file
system; relative paths are made absolute here first).

One row per file, in the order of the arguments: path (as given), program, version, composition (e.g.
Fe2O3), nsteps, e_fr_energy and e_0_energy of the last ionic step, converged_electronic (the last electronic
loop ended before NELM steps), converged_ionic (a relaxation ended before NSW steps; other runs pass),
complete (VASP closed the record; null with a calcsift that cannot tell), efermi, nkpts, and error: the error
text of a file that could not be read (every other column but path is then null). A bad file never stops
the batch. The exit status is 1 when any file could not be read, 2 on bad arguments.

Needs dask.distributed and pyarrow (pip install "dask[distributed]" pyarrow); pandas reads the table:
pandas.read_parquet("table.parquet", dtype_backend="pyarrow") keeps integers as integers and a NaN energy (a
value VASP wrote as NaN) apart from a null one (no steps, or no file).
"""

import argparse
import math
import os
import sys
import time

import pyarrow as pa
import pyarrow.parquet as pq

SCHEMA = pa.schema([
    ("path", pa.string()),
    ("program", pa.string()),
    ("version", pa.string()),
    ("composition", pa.string()),
    ("nsteps", pa.int64()),
    ("e_fr_energy", pa.float64()),
    ("e_0_energy", pa.float64()),
    ("converged_electronic", pa.bool_()),
    ("converged_ionic", pa.bool_()),
    ("complete", pa.bool_()),
    ("efermi", pa.float64()),
    ("nkpts", pa.int64()),
    ("error", pa.string()),
])

# The efermi column comes from the DOS block; eigenvalues and projections are passed over unread.
PARSE_OPTIONS = dict(parse_dos=True, parse_eigen=False, parse_projected=False)


def composition(atom_types):
    """'Fe2O3': each element once, in order of first appearance, with its total count."""
    counts = {}
    for t in atom_types:
        element = t["element"] or "X"
        counts[element] = counts.get(element, 0) + t["count"]
    return "".join(f"{element}{count}" for element, count in counts.items())


def last_e0_energy(run, steps):
    # ---- e_0_energy of the last ionic step --------------------------------------------------------
    # VASP before 6.1 wrote a wrong calculation-level e_0_energy (it holds the entropy term). Where
    # calcsift has Vasprun.final_energy, that is the value rebuilt from the last electronic step; a
    # calcsift without it only has the value as the file wrote it.
    if hasattr(type(run), "final_energy"):
        return run.final_energy
    return steps[-1]["e_0_energy"] if steps else None


def complete(run):
    # Whether VASP closed the record: a calcsift without Vasprun.complete cannot tell (null).
    return run.complete if hasattr(type(run), "complete") else None


def summary_row(path, absolute):
    """The table row of one file; runs on a worker."""
    import calcsift

    row = dict.fromkeys(SCHEMA.names)
    row["path"] = path
    try:
        run = calcsift.Vasprun(absolute, **PARSE_OPTIONS)
        steps = run.ionic_steps
        row.update(program=run.program, version=run.version, composition=composition(run.atom_types),
                   nsteps=len(steps), e_fr_energy=steps[-1]["e_fr_energy"] if steps else None,
                   e_0_energy=last_e0_energy(run, steps), converged_electronic=run.converged_electronic,
                   converged_ionic=run.converged_ionic, complete=complete(run), efermi=run.efermi,
                   nkpts=len(run.kpoints["weights"]))
    except Exception as e:  # one bad file is a row with its error, never the end of the batch
        row = dict.fromkeys(SCHEMA.names)
        row.update(path=path, error=str(e) or type(e).__name__)
    return row


def summary_rows(chunk):
    """Rows of a list of (index, path, absolute path); one task reads several small files."""
    return [(i, summary_row(path, absolute)) for i, path, absolute in chunk]


def summarize(client, files, chunk_size=None, report=None):
    """One row per file (argument order), computed on the workers of `client`. A task whose worker
    died (a file that exhausts a worker's memory) is tried again file by file; a file that fails
    alone gets a row with the error."""
    from distributed import as_completed

    items = [(i, path, os.path.abspath(path)) for i, path in enumerate(files)]
    if chunk_size is None:
        threads = max(1, sum(client.nthreads().values()))
        chunk_size = max(1, min(32, math.ceil(len(items) / (4 * threads))))
    chunks = [items[k:k + chunk_size] for k in range(0, len(items), chunk_size)]
    futures = client.map(summary_rows, chunks, pure=False)
    chunk_of = dict(zip((f.key for f in futures), chunks))
    rows = [None] * len(items)
    done = 0
    pending = as_completed(futures)
    for future in pending:
        chunk = chunk_of.pop(future.key)
        try:
            results = future.result()
        except Exception as e:
            if len(chunk) > 1:
                retry = client.map(summary_rows, [[item] for item in chunk], pure=False)
                chunk_of.update(zip((f.key for f in retry), ([item] for item in chunk)))
                pending.update(retry)
                continue
            i, path, _ = chunk[0]
            row = dict.fromkeys(SCHEMA.names)
            row.update(path=path, error=f"worker failed: {type(e).__name__}: {e}")
            results = [(i, row)]
        for i, row in results:
            rows[i] = row
        done += len(results)
        if report:
            report(done, len(items))
        future.release()
    return rows


def write_table(rows, out):
    """Writes the rows as one Parquet file; replaced whole, so an interrupted run leaves no partial table."""
    table = pa.Table.from_pylist(rows, schema=SCHEMA)
    tmp = f"{out}.tmp{os.getpid()}"
    try:
        pq.write_table(table, tmp)
        os.replace(tmp, out)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def terminal_report():
    """A count on stderr, redrawn at most a few times a second, when stderr is a terminal."""
    if not sys.stderr.isatty():
        return None
    last = [0.0]

    def report(done, total):
        now = time.monotonic()
        if done == total or now - last[0] >= 0.2:
            last[0] = now
            end = "\r\033[K" if done == total else ""
            sys.stderr.write(f"\r\033[K{done}/{total} files{end}")
            sys.stderr.flush()
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+", metavar="FILE", help="vasprun.xml files (plain or .gz)")
    parser.add_argument("--out", required=True, help="the Parquet file to write")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                        help="local worker processes (default: number of CPUs)")
    parser.add_argument("--threads", action="store_true",
                        help="local cluster: one in-process worker with N threads instead of processes")
    parser.add_argument("--chunk", type=int, metavar="N", help="files per task (default: from the count)")
    args = parser.parse_args(argv)
    if args.workers < 1 or (args.chunk is not None and args.chunk < 1):
        parser.error("--workers and --chunk take a positive number")

    from distributed import Client, LocalCluster

    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        # Processes by default: turning a parse into Python objects (ionic_steps above all) holds the
        # interpreter lock, so threads share one core for it; processes also keep a worker that runs out
        # of memory from taking this process with it. Threads start at once and suit parse-bound work.
        if args.threads:
            cluster = LocalCluster(n_workers=1, threads_per_worker=args.workers, processes=False,
                                   dashboard_address=None)
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    try:
        rows = summarize(client, args.files, args.chunk, terminal_report())
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    write_table(rows, args.out)
    failed = sum(row["error"] is not None for row in rows)
    if failed:
        print(f"{failed} of {len(rows)} files could not be read (see the error column of {args.out})",
              file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
