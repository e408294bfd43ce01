"""Scale-out on a real dask.distributed cluster of two worker processes gives exactly the
single-process numbers."""

import numpy as np
import pandas as pd
import pytest

import tessarix
from tessarix import datasets

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
txd = pytest.importorskip("tessarix.distributed")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def test_batched_refits_over_dask_chunks_equal_the_local_batch(client):
    rng = np.random.default_rng(3)
    y3 = rng.normal(size=(41, 14, 12)) + np.arange(12)
    for method in ("sc", "sdid"):
        local = tessarix.fit_many(y3, [0, 1], 8, method=method)
        lazy = txd.fit_many(da.from_array(y3, chunks=(6, 7, 12)), [0, 1], 8, method=method)
        assert np.array_equal(lazy.compute(), local), method
    with pytest.raises(TypeError, match="y3 must be a dask.array.Array"):
        txd.fit_many(y3, [0], 8)


def test_one_model_per_group_equals_each_group_fitted_alone(client):
    sales = pd.DataFrame(datasets.sales(n_markets=16, n_weeks=40))
    sales["region"] = np.where(sales["market"] < "m08", "north", "south")
    sales.loc[sales["region"] == "south", "sales"] *= 1.5
    args = dict(unit="market", time="week", outcome="sales", start=np.datetime64("2023-08-06"))
    fits = {"north": ("m01", tessarix.synth(sales[sales.region == "north"], treated="m01", **args)),
            "south": ("m09", tessarix.synth(sales[sales.region == "south"], treated="m09", **args))}

    def fit(group, **kw):  # each region has its own treated market
        region = group["market"].iloc[0] < "m08"
        return tessarix.synth(group, treated="m01" if region else "m09", **kw)

    eager = txd.by_group(sales, "region", fit, **args)
    lazy = txd.by_group(dd.from_pandas(sales, npartitions=3), "region", fit, **args).compute()
    for frame in (eager, lazy.sort_values("region").reset_index(drop=True)):
        assert list(frame["region"]) == ["north", "south"]
        assert list(frame["estimate"]) == [fits["north"][1].att, fits["south"][1].att]
        assert list(frame.columns) == ["region", "term", "estimate", "se", "ci_lower", "ci_upper", "p_value"]


def test_market_search_over_the_cluster_ranks_exactly_as_the_local_search(client):
    import pickle

    sales = datasets.sales(n_markets=24, n_weeks=60, seed=4)
    args = dict(unit="market", time="week", outcome="sales", max_treated=3, test_len=6, target_lift=0.05,
                method="sc", n_candidates=30, seed=9, include=["m05"])
    local = tessarix.geo.select(sales, **args)
    seen = []
    spread = tessarix.geo.select(sales, **args, client=client, progress=lambda d, t: seen.append((d, t)))
    assert pickle.dumps([c.__reduce__()[1] for c in spread.native]) == \
        pickle.dumps([c.__reduce__()[1] for c in local.native])
    assert seen[-1] == (len(local.native), len(local.native)) and seen == sorted(seen)
