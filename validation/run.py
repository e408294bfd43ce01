"""Monte-Carlo validation of tessarix's inference: coverage, size and power against nominal.

    python validation/run.py [--reps N | --scale F] [--only NAME ...] [--seed S] [--jobs J]
                             [--markdown | --csv] [--list]

Every study simulates data with a known truth and reports its rows in one table: path,
quantity, nominal, estimate, Monte-Carlo s.e., target range, replications and verdict (pass,
MISS, info for reported values without a target, not run). The table depends on the seed and
the replication counts only, not on the number of worker processes. The exit status is 1 when a
row misses its target.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

# One native thread per process: the replications are spread over processes instead.
os.environ.setdefault("TESSARIX_NUM_THREADS", "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import MISS, Context, Row, render_csv, render_markdown, render_notes, render_text  # noqa: E402
from studies import STUDIES  # noqa: E402

DEFAULT_SEED = 20240


def parse(argv: list[str] | None) -> argparse.Namespace:
    names = [s.name for s in STUDIES]
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="studies: " + ", ".join(f"{s.name} ({s.reps})" for s in STUDIES))
    p.add_argument("--reps", type=int, help="replications for every study run (default: each study's own)")
    p.add_argument("--scale", type=float, help="multiply every study's default replications by this (e.g. 0.1 for a quick look)")
    p.add_argument("--only", nargs="+", metavar="NAME", choices=names, help="run these studies only")
    p.add_argument("--seed", type=int, default=DEFAULT_SEED, help=f"the run's seed (default {DEFAULT_SEED})")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                   help="worker processes (default: the CPU count); 1 runs in this process")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--markdown", action="store_true", help="print the table as markdown")
    fmt.add_argument("--csv", action="store_true", help="print the table as CSV")
    p.add_argument("--list", action="store_true", help="list the studies and exit")
    args = p.parse_args(argv)
    if args.reps is not None and args.reps < 2:
        p.error("--reps must be at least 2")
    if args.scale is not None and args.scale <= 0:
        p.error("--scale must be positive")
    if args.reps is not None and args.scale is not None:
        p.error("give --reps or --scale, not both")
    if args.jobs < 1:
        p.error("--jobs must be at least 1")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    if args.list:
        for s in STUDIES:
            print(f"{s.name:<12}{s.reps:>7}  {s.title}")
        return 0
    chosen = [s for s in STUDIES if args.only is None or s.name in args.only]

    import tessarix

    rows: list[Row] = []
    timings: list[tuple[str, int, float]] = []
    start = time.perf_counter()
    executor = (ProcessPoolExecutor(max_workers=args.jobs, mp_context=get_context("spawn"))
                if args.jobs > 1 else None)
    try:
        for study in chosen:
            reason = study.unavailable()
            if reason is not None:
                rows.extend(study.not_run(reason))
                timings.append((study.name, 0, 0.0))
                continue
            reps = args.reps or max(2, round(study.reps * (args.scale or 1.0)))
            ctx = Context(study=study.name, reps=reps, seed=args.seed, executor=executor,
                          jobs=args.jobs)
            t = time.perf_counter()
            rows.extend(study.run(ctx))
            timings.append((study.name, ctx.drawn, time.perf_counter() - t))
            print(f"  {study.name}: {ctx.drawn} replications, {timings[-1][2]:.1f} s", file=sys.stderr)
    finally:
        if executor is not None:
            executor.shutdown(cancel_futures=True)
    wall = time.perf_counter() - start

    if args.csv:
        print(render_csv(rows))
    else:
        header = (f"tessarix {tessarix.__version__}: Monte-Carlo validation, seed {args.seed}, {args.jobs} job(s), "
                  f"wall time {wall:.1f} s")
        table = render_markdown(rows) if args.markdown else render_text(rows)
        notes = render_notes(rows)
        times = ", ".join(f"{name} {n} reps {secs:.1f} s" for name, n, secs in timings)
        print(header, "", table, "", *( [notes, ""] if notes else []), f"wall time by study: {times}", sep="\n")
    return 1 if any(r.verdict == MISS for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
