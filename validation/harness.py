"""The machinery shared by the validation studies: result rows, the study record, the replication
runner (per-replication seeds, process-level parallelism) and the table printers.

A study is a function ``run(ctx) -> list[Row]``. It draws its replications with
``ctx.replicate(fn, *args)``, where ``fn(rng, *args)`` is a module-level function that simulates
one data set with the generator it is handed and returns whatever the study needs from it
(numbers, small arrays). Every replication's generator is seeded from the run's seed, the study's
name, the call's tag and the replication's index alone, so a table depends on ``--seed`` and
``--reps`` but not on ``--jobs``.
"""

from __future__ import annotations

import csv
import io
import math
import zlib
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence

import numpy as np

PASS, MISS, INFO, NOT_RUN = "pass", "MISS", "info", "not run"

# What a 95 % interval's coverage and a 10 % test's rejection rate may be for the row to pass.
COVERAGE_95 = (0.94, 0.97)
SIZE_10 = (0.08, 0.12)


@dataclass
class Row:
    """One line of the table: a quantity measured over `reps` replications."""

    path: str                       # the inference path, e.g. "did cs (never treated)"
    quantity: str                   # what is measured, e.g. "pointwise 95% coverage, pooled"
    nominal: Optional[float]        # what it should be (None for power and other reported values)
    estimate: Optional[float]       # the Monte-Carlo estimate (None when not run)
    mc_se: Optional[float]          # its Monte-Carlo standard error
    target: Optional[tuple[float, float]]  # the range the estimate must fall in, or None
    reps: int                       # replications behind the estimate
    note: str = ""                  # printed under the table

    @property
    def verdict(self) -> str:
        if self.estimate is None:
            return NOT_RUN
        if self.target is None:
            return INFO
        lo, hi = self.target
        return PASS if lo <= self.estimate <= hi else MISS


@dataclass(frozen=True)
class Study:
    """A registered study: `name` is its key for ``--only``; `reps` its default replications;
    `requires`, when given, returns why the study cannot run here (None when it can)."""

    name: str
    title: str
    run: Callable[["Context"], list[Row]]
    reps: int
    requires: Optional[Callable[[], Optional[str]]] = None
    # The rows a study reports when it cannot run: (path, quantity, nominal, target).
    placeholder: Sequence[tuple[str, str, Optional[float], Optional[tuple[float, float]]]] = ()

    def unavailable(self) -> Optional[str]:
        return self.requires() if self.requires is not None else None

    def not_run(self, reason: str) -> list[Row]:
        shapes = self.placeholder or [(self.title, "(study)", None, None)]
        return [Row(p, q, n, None, None, t, 0, note=f"not run: {reason}") for p, q, n, t in shapes]


# ----------------------------------------------------------------------------------------------
# Replications


def _seed_key(text: str) -> int:
    return zlib.crc32(text.encode("utf-8"))


def replication_rng(seed: int, study: str, tag: str, index: int) -> np.random.Generator:
    """The generator of one replication: a function of these four values only."""
    return np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(_seed_key(study), _seed_key(tag), index)))


def _run_chunk(fn: Callable[..., Any], args: tuple, seed: int, study: str, tag: str,
               start: int, stop: int) -> list[Any]:
    return [fn(replication_rng(seed, study, tag, i), *args) for i in range(start, stop)]


@dataclass
class Context:
    """What a study sees: its replication count and the runner of its replications."""

    study: str
    reps: int
    seed: int
    executor: Optional[Executor] = None
    jobs: int = 1
    # Reported by the runner: replications drawn by this study, over all its calls.
    drawn: int = field(default=0)

    def replicate(self, fn: Callable[..., Any], *args: Any, reps: Optional[int] = None, tag: str = "") -> list[Any]:
        """``[fn(rng_i, *args) for i in range(reps)]``, each rng seeded by (seed, study, tag, i),
        spread over the worker processes in chunks; the list is in replication order."""
        n = self.reps if reps is None else int(reps)
        self.drawn += n
        if self.executor is None or self.jobs <= 1 or n < 2:
            return _run_chunk(fn, args, self.seed, self.study, tag, 0, n)
        size = max(1, math.ceil(n / (self.jobs * 8)))
        futures = [self.executor.submit(_run_chunk, fn, args, self.seed, self.study, tag, a, min(a + size, n))
                   for a in range(0, n, size)]
        out: list[Any] = []
        for f in futures:
            out.extend(f.result())
        return out


# ----------------------------------------------------------------------------------------------
# Monte-Carlo summaries


def proportion(hits: Sequence[bool] | np.ndarray) -> tuple[float, float]:
    """A rate and its binomial Monte-Carlo standard error."""
    x = np.asarray(hits, dtype=float)
    p = float(x.mean())
    return p, math.sqrt(p * (1.0 - p) / len(x))


def mean_se(values: Sequence[float] | np.ndarray) -> tuple[float, float]:
    """A mean over replications and its Monte-Carlo standard error (replications independent)."""
    x = np.asarray(values, dtype=float)
    return float(x.mean()), float(x.std(ddof=1) / math.sqrt(len(x))) if len(x) > 1 else float("nan")


def coverage_rows(path: str, hits: np.ndarray, labels: Sequence[Any], *, what: str = "pointwise 95% coverage",
                  label_name: str = "e", nominal: float = 0.95,
                  target: tuple[float, float] = COVERAGE_95) -> list[Row]:
    """Two rows from a replications x estimates matrix of cover indicators: the coverage pooled
    over the estimates (its s.e. from each replication's share, so correlated estimates within a
    replication are accounted for), checked against the target; and the lowest single
    estimate's coverage, reported."""
    hits = np.asarray(hits, dtype=float)
    reps = hits.shape[0]
    pooled, pooled_se = mean_se(hits.mean(axis=1))
    each = hits.mean(axis=0)
    k = int(np.argmin(each))
    low, low_se = proportion(hits[:, k])
    return [Row(path, f"{what}, pooled over {hits.shape[1]} {label_name}", nominal, pooled, pooled_se, target, reps),
            Row(path, f"{what}, lowest single ({label_name}={labels[k]})", nominal, low, low_se, None, reps,
                note=f"{path}: coverage by {label_name}: "
                     + ", ".join(f"{lab}: {c:.3f}" for lab, c in zip(labels, each)))]


# ----------------------------------------------------------------------------------------------
# Printing

COLUMNS = ("path", "quantity", "nominal", "estimate", "MC s.e.", "target", "reps", "verdict")


def _cells(row: Row) -> list[str]:
    def num(x: Optional[float], digits: int = 4) -> str:
        return "" if x is None else f"{x:.{digits}f}"

    target = "" if row.target is None else f"{row.target[0]:g}-{row.target[1]:g}"
    return [row.path, row.quantity, num(row.nominal, 2), num(row.estimate), num(row.mc_se), target,
            str(row.reps), row.verdict]


def render_text(rows: Sequence[Row]) -> str:
    cells = [list(COLUMNS)] + [_cells(r) for r in rows]
    widths = [max(len(c[k]) for c in cells) for k in range(len(COLUMNS))]
    right = {2, 3, 4, 6}
    lines = []
    for n, c in enumerate(cells):
        lines.append("  ".join(v.rjust(w) if k in right else v.ljust(w) for k, (v, w) in enumerate(zip(c, widths))).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def render_markdown(rows: Sequence[Row]) -> str:
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "|".join(["---", "---", "--:", "--:", "--:", "---", "--:", "---"]) + "|"]
    for r in rows:
        lines.append("| " + " | ".join(v.replace("|", "\\|") for v in _cells(r)) + " |")
    return "\n".join(lines)


def render_csv(rows: Sequence[Row]) -> str:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(["path", "quantity", "nominal", "estimate", "mc_se", "target_lo", "target_hi", "reps", "verdict"])
    for r in rows:
        w.writerow([r.path, r.quantity, "" if r.nominal is None else r.nominal,
                    "" if r.estimate is None else repr(r.estimate), "" if r.mc_se is None else repr(r.mc_se),
                    "" if r.target is None else r.target[0], "" if r.target is None else r.target[1],
                    r.reps, r.verdict])
    return buf.getvalue().rstrip("\n")


def render_notes(rows: Sequence[Row]) -> str:
    notes = [r.note for r in rows if r.note]
    return "\n".join(f"- {n}" for n in dict.fromkeys(notes))
