"""Every Proposition 99 fit that placebo inference makes (classic SC, bounded SC, augmented SC,
demeaned SC, SDID: the real fit and the 38 refits with each donor as pseudo-treated) stays
where the stored baseline of an earlier build puts it."""

import json

import numpy as np

import prop99_fits


def test_prop99_fits_stay_within_1e9_of_the_stored_baseline():
    with open(prop99_fits.BASELINE, encoding="utf-8") as f:
        baseline = json.load(f)
    current = prop99_fits.all_fits()
    assert current.keys() == baseline.keys()
    for name, fits in baseline.items():
        assert len(current[name]) == len(fits) == 39
        for k, ((att0, w0), (att1, w1)) in enumerate(zip(fits, current[name])):
            where = f"{name}, fit {k}"
            assert abs(att1 - att0) <= 1e-9, where
            np.testing.assert_allclose(w1, w0, rtol=0, atol=1e-9, err_msg=where)
