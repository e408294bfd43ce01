"""The registry: every study the suite knows, in the order the table lists them.

To add a study, write ``run(ctx) -> list[Row]`` in the module of its family (a new module for a
new family) and append a ``Study`` here. ``reps`` is its default replication count: choose it
so the Monte-Carlo s.e. makes the target meaningful (about 0.005 for a 95% coverage row takes
some 2,000 replications, 0.0035 some 4,000) and the whole suite stays well under half an hour
on two cores.
"""

from __future__ import annotations

from harness import Study

from . import bootstrap, did, geo, placebo, synth

STUDIES: list[Study] = [
    Study("cs", "Callaway-Sant'Anna event study, pointwise and sup-t", did.callaway_santanna, reps=4000),
    Study("sa", "Sun-Abraham event study", did.sun_abraham, reps=4000),
    Study("twfe", "TWFE under a constant effect", did.twfe, reps=4000),
    Study("cpasc", "CP-ASC conformal p-value", synth.cpasc, reps=4000),
    Study("bootstrap", "Block and stationary bootstrap of a mean", bootstrap.block_bootstrap, reps=4000,
          requires=bootstrap.available, placeholder=bootstrap.PLACEHOLDER),
    Study("sc", "SC placebo inference, one treated unit", placebo.sc_one, reps=2000),
    Study("sdid1", "SDID placebo inference, one treated unit", placebo.sdid_one, reps=2000),
    Study("sdid10", "SDID placebo and jackknife inference, ten treated units", placebo.sdid_ten, reps=1000),
    Study("geo", "Geo power out of sample", geo.geo_out_of_sample, reps=2000),
]
