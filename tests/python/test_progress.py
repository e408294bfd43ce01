"""Progress of long native work: the counterparts in tessarix._core that report it return
exactly the array functions' results, the counts they report rise to the number of items, an
exception raised by the reporter cancels the work like Ctrl-C, and Ctrl-C during a market search
with a progress bar stops it within a second."""

import io
import pickle
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tessarix
from tessarix import _core, datasets
from tessarix.progress import ProgressBar


def state(result):
    items = result if isinstance(result, list) else [result]
    return pickle.dumps([r.__reduce__()[1] for r in items])


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(2)
    return np.exp(rng.normal(4.0, 0.5, size=(40, 1))) * (1 + 0.05 * rng.normal(size=(40, 70)))


def test_reporting_counterparts_return_the_array_results_and_count_every_item(panel):
    cases = [
        ("geo_select", (panel, list(range(20)), 3, 6, 0.1), dict(method="sc", n_candidates=40)),
        ("geo_power", (panel, [1, 2], 6, [0.0, 0.05]), dict(method="sdid")),
        ("geo_power_ensemble", (panel, [3], 6, [0.0, 0.05]), dict(lookback=30)),
        ("fit_sdid", (panel, [0, 1], 60), dict(inference="placebo")),
        ("fit_sc", (panel, [0], 60), dict(placebo=True)),
        ("fit_callaway_py", (panel, [30] * 10 + [-1] * 30), dict(bands=True, n_reps=5000, seed=3)),
    ]
    for name, args, kwargs in cases:
        seen = []
        got = getattr(_core, name)(*args, **kwargs, progress=lambda d, t: seen.append((d, t)))
        assert state(got) == state(getattr(tessarix, name)(*args, **kwargs)), name
        assert all(d <= t for d, t in seen) and [d for d, _ in seen] == sorted(d for d, _ in seen), name
    # 40 candidates at most, each its own item; the search takes long enough to be seen moving.
    seen = []
    _core.geo_select(panel, list(range(40)), 4, 6, 0.1, method="sdid", n_candidates=120,
                     progress=lambda d, t: seen.append((d, t)))
    assert seen and seen[-1][1] >= 120 and len({d for d, _ in seen}) > 1


def test_an_exception_from_the_reporter_cancels_the_work_and_leaves_the_module_usable(panel):
    def stop(done, total):
        raise RuntimeError(f"stop at {done}/{total}")

    with pytest.raises(RuntimeError, match="stop at"):
        _core.geo_select(panel, list(range(40)), 4, 6, 0.1, method="sdid", n_candidates=200, progress=stop)
    assert state(_core.fit_sc(panel, [0], 60, placebo=True)) == state(tessarix.fit_sc(panel, [0], 60, placebo=True))
    with pytest.raises(TypeError, match="argument 'progress': expected a callable"):
        _core.geo_power(panel, [1], 6, [0.0], progress=3)


def test_the_bar_draws_its_counts_and_ends_full():
    out = io.StringIO()
    bar = ProgressBar("candidates", stream=out)
    bar(3, 12)
    bar.close()
    text = out.getvalue()
    assert "candidates [" in text and "3/12" in text and text.endswith("100% 12/12\n")


CHILD = r"""
import signal, sys, time
import numpy as np, tessarix
from tessarix import datasets

signal.signal(signal.SIGINT, signal.default_int_handler)
sales = datasets.sales(n_markets=60, n_weeks=104, seed=3)
args = dict(unit="market", time="week", outcome="sales", max_treated=4, test_len=8, target_lift=0.05,
            method="sdid", seed=1)
before = tessarix.geo.select(sales, **args, n_candidates=3).native
print("start", flush=True)
outcome = "returned"
try:
    tessarix.geo.select(sales, **args, n_candidates=2000, progress=True)   # minutes of work
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.monotonic()
after = tessarix.geo.select(sales, **args, n_candidates=3).native
print(outcome, caught, [c.score for c in after] == [c.score for c in before], flush=True)
"""


def test_ctrl_c_stops_a_market_search_with_a_progress_bar_within_a_second():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline().strip() == "start"
    time.sleep(1.5)  # well into the search, the bar already drawn
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    outcome, caught, same = out.split()
    assert outcome == "interrupted" and same == "True"
    assert float(caught) - sent < 1.0
    assert "candidates [" in err
