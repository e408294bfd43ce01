"""The market search spread over a Dask cluster: candidates generated once, evaluated in chunks
by the workers, ranked once, exactly as the local search does it."""

from __future__ import annotations

from typing import Any, Callable, Optional

from .. import _core

# Chunks per worker: enough for the cluster to balance uneven candidates, few enough that each
# chunk's own parallel evaluation on its worker pays.
_CHUNKS_PER_WORKER = 16


def _evaluate(y: Any, args: tuple, options: dict, chunk: list) -> list:
    evaluate: Any = _core.geo_evaluate  # the positional arguments are geo_select's, not candidates
    return evaluate(y, *args, **options, candidates=chunk)


def select_on(client: Any, args: tuple, options: dict, report: Optional[Callable[[int, int], Any]] = None) -> list:
    """``tessarix.geo_select(*args, **options)`` with its candidates evaluated by `client`'s
    workers: the same candidates (generated here, seeded), each evaluated on the panel's
    canonical scale whatever chunk it falls in, ranked here by the same rule."""
    from distributed import as_completed

    y, rest = args[0], args[1:]
    candidates = _core.geo_candidates(y, *rest, **options)
    workers = max(len(client.scheduler_info().get("workers", {})), 1)
    size = max(1, -(-len(candidates) // (workers * _CHUNKS_PER_WORKER)))
    chunks = [candidates[k:k + size] for k in range(0, len(candidates), size)]
    panel = client.scatter(y, broadcast=True)
    futures = [client.submit(_evaluate, panel, rest, options, chunk, pure=False) for chunk in chunks]
    position = {f.key: k for k, f in enumerate(futures)}
    done = 0
    evaluated: list = [None] * len(chunks)
    for future in as_completed(futures):
        evaluated[position[future.key]] = future.result()
        done += len(evaluated[position[future.key]])
        if report is not None:
            report(done, len(candidates))
    if report is not None:
        getattr(report, "close", lambda: None)()
    return _core.geo_rank([c for chunk in evaluated for c in chunk])
