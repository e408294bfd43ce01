"""Small example panels for the documentation, the demo and first experiments: Proposition 99
(bundled public data) and seeded simulations of a staggered adoption and of weekly market sales.
Each is a dict of equal-length columns, which every front end takes as it is and
``pandas.DataFrame(...)`` or ``polars.DataFrame(...)`` turn into a frame."""

from __future__ import annotations

import csv
from importlib import resources
from typing import Any

import numpy as np


def prop99() -> dict[str, Any]:
    """Packs of cigarettes per capita by US state and year, 1970-2000; California's
    Proposition 99 took effect in 1989. Columns: State, Year, PacksPerCapita, treated."""
    text = resources.files("tessarix").joinpath("data/california_prop99.csv").read_text(encoding="utf-8")
    rows = list(csv.DictReader(text.splitlines(), delimiter=";"))
    return {
        "State": [r["State"] for r in rows],
        "Year": np.array([int(r["Year"]) for r in rows], dtype=np.int64),
        "PacksPerCapita": np.array([float(r["PacksPerCapita"]) for r in rows]),
        "treated": np.array([int(r["treated"]) for r in rows], dtype=np.int64),
    }


def staggered(n_units: int = 200, n_years: int = 10, seed: int = 1) -> dict[str, Any]:
    """A simulated staggered adoption: units ``u000``..., years 2010 onward, cohorts adopting in
    2013, 2015 and 2017 (0 = never), an effect of 1 that grows by 0.25 a year after adoption.
    Columns: unit, year, y, first_treated, treated (0/1)."""
    rng = np.random.default_rng(seed)
    years = np.arange(2010, 2010 + n_years)
    first = rng.choice([2013, 2015, 2017, 0], size=n_units)
    level = rng.normal(0.0, 1.0, size=(n_units, 1)) + np.linspace(0.0, 1.0, n_years)
    exposure = years[None, :] - first[:, None]
    on = (first[:, None] > 0) & (exposure >= 0)
    y = level + rng.normal(0.0, 0.3, size=(n_units, n_years)) + np.where(on, 1.0 + 0.25 * exposure, 0.0)
    units = [f"u{k:03d}" for k in range(n_units)]
    return {
        "unit": [u for u in units for _ in years],
        "year": np.tile(years, n_units),
        "y": y.reshape(-1),
        "first_treated": np.repeat(first, n_years),
        "treated": on.reshape(-1).astype(np.int64),
    }


def sales(n_markets: int = 30, n_weeks: int = 104, seed: int = 1) -> dict[str, Any]:
    """Simulated weekly sales of markets ``m00``... from 2023-01-01: lognormal market sizes,
    yearly seasonality and 5 % noise. Columns: market, week, sales."""
    rng = np.random.default_rng(seed)
    size = rng.lognormal(4.0, 0.6, size=(n_markets, 1))
    season = 1.0 + 0.15 * np.sin(2 * np.pi * np.arange(n_weeks) / 52.0)
    y = size * season * (1.0 + rng.normal(0.0, 0.05, size=(n_markets, n_weeks)))
    weeks = np.datetime64("2023-01-01") + 7 * np.arange(n_weeks)
    markets = [f"m{k:02d}" for k in range(n_markets)]
    return {"market": [m for m in markets for _ in weeks], "week": np.tile(weeks, n_markets), "sales": y.reshape(-1)}
