"""A national-scale market search in one process and on a local Dask cluster, in one run.

Panel: 210 markets x 156 weeks, seeded: lognormal market sizes, yearly seasonality, 5 % noise.
Task: ``tessarix.geo.select`` over 200 candidate sets with SDID (up to 4 treated markets, an
8-week test, target lift 5 %), first in this process (all cores, the native pool), then with
``client=`` on a ``LocalCluster`` of worker processes. Prints both times and checks that the
ranking and every number agree bit for bit.

    python benchmarks/bench_distributed.py [--workers 2] [--threads 1] [--candidates 200]
"""

from __future__ import annotations

import argparse
import os
import pickle
import time

import numpy as np


def sales_panel(n_markets: int = 210, n_weeks: int = 156, seed: int = 2026) -> dict:
    rng = np.random.default_rng(seed)
    size = rng.lognormal(4.0, 1.0, size=(n_markets, 1))
    season = 1.0 + 0.2 * np.sin(2 * np.pi * np.arange(n_weeks) / 52.0)
    y = size * season * (1.0 + rng.normal(0.0, 0.05, size=(n_markets, n_weeks)))
    return {"market": np.repeat(np.arange(n_markets), n_weeks), "week": np.tile(np.arange(n_weeks), n_markets),
            "sales": y.reshape(-1)}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    ap.add_argument("--threads", type=int, default=1, help="threads per worker")
    ap.add_argument("--candidates", type=int, default=200)
    args = ap.parse_args()

    import tessarix
    from distributed import Client, LocalCluster

    data = sales_panel()
    search = dict(unit="market", time="week", outcome="sales", max_treated=4, test_len=8, target_lift=0.05,
                  method="sdid", n_candidates=args.candidates, seed=7)
    print(f"== market search: 210 markets x 156 weeks, {args.candidates} candidate sets, SDID "
          f"(tessarix {tessarix.__version__}, {tessarix._tessarix.version()})")
    t = time.perf_counter()
    local = tessarix.geo.select(data, **search)
    local_s = time.perf_counter() - t
    print(f"   one process, native pool:                {local_s:8.2f} s   ({len(local.native)} candidates evaluated)")
    # Each worker process's native pool gets the cores the worker is meant to use, not all of
    # them (this process's pool, made by the local run, keeps its own).
    os.environ["TESSARIX_NUM_THREADS"] = str(args.threads)
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads, processes=True,
                           dashboard_address=None)
    with Client(cluster) as client:
        client.run(lambda: __import__("tessarix").geo)  # workers import tessarix before the clock
        t = time.perf_counter()
        spread = tessarix.geo.select(data, **search, client=client)
        spread_s = time.perf_counter() - t
    cluster.close()
    same = pickle.dumps([c.__reduce__()[1] for c in spread.native]) == \
        pickle.dumps([c.__reduce__()[1] for c in local.native])
    print(f"   local cluster, {args.workers} workers x {args.threads} thread(s):  {spread_s:8.2f} s   "
          f"({local_s / spread_s:.2f}x the one-process time)")
    print(f"   ranking and numbers identical: {same}; best set {local.best}")
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
