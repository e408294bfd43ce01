"""Every Proposition 99 fit of the synthetic-control family that placebo inference makes: the
real fit of California and one refit per donor state as pseudo-treated (that state first, the
other donors after it, in ascending order), for each estimator setting below.

Run as a script, it writes those fits (ATT and weights, as exact decimal round-trips) to the
JSON file given on the command line; tests compare later builds with the stored file."""

import json
import os
import sys

import numpy as np

import tessarix

DATA = os.path.join(os.path.dirname(__file__), "..", "data")
PROP99 = os.path.join(DATA, "california_prop99.csv")
BASELINE = os.path.join(DATA, "prop99_sc_family_fits.json")

# name -> (entry point, keyword arguments)
SETTINGS = {
    "sc": (tessarix.fit_sc, {}),
    "sc_bounded": (tessarix.fit_sc, {"max_weight": 0.25}),
    "asc": (tessarix.fit_asc, {}),
    "fp": (tessarix.fit_fp, {}),
    "sdid": (tessarix.fit_sdid, {}),
}


def load_prop99(path=PROP99):
    """(states, years, y) with y the states x years matrix of packs per capita."""
    rows = [line.rstrip("\n").split(";") for line in open(path, encoding="utf-8")][1:]
    states = sorted({r[0] for r in rows})
    years = sorted({int(r[1]) for r in rows})
    y = np.empty((len(states), len(years)))
    for state, year, packs, _ in rows:
        y[states.index(state), years.index(int(year))] = float(packs)
    return states, years, y


def placebo_panels(y, treated_row):
    """The real panel, then one panel per donor with that donor first and treated."""
    donors = [u for u in range(y.shape[0]) if u != treated_row]
    yield y, treated_row
    for j, d in enumerate(donors):
        yield y[[d] + donors[:j] + donors[j + 1:]], 0


def all_fits():
    """{setting: [[att, weights], ...]} for the real fit followed by the 38 placebo refits."""
    states, years, y = load_prop99()
    ca, t0 = states.index("California"), years.index(1989)
    out = {}
    for name, (fit, kwargs) in SETTINGS.items():
        out[name] = []
        for panel, row in placebo_panels(y, ca):
            res = fit(panel, [row], t0, **kwargs)
            out[name].append([res.att, res.weights])
    return out


if __name__ == "__main__":
    with open(sys.argv[1], "w", encoding="utf-8") as f:
        json.dump(all_fits(), f)
