"""Type stubs of the compiled extension module `tessarix._tessarix`."""

from typing import Sequence, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Panel = npt.NDArray[np.float64]

def version() -> str:
    """The tessarix version string."""

def fit_twfe_py(y: _Panel, cohorts: Sequence[SupportsIndex]) -> DiDResult:
    """Two-way fixed-effects DiD with cluster-robust SE."""

@final
class DiDResult:
    """Result of a difference-in-differences fit, exposed to Python."""

    @property
    def att(self) -> float: ...
    @property
    def se(self) -> float: ...
    @property
    def event_time(self) -> list[int]: ...
    @property
    def event_att(self) -> list[float]: ...
    @property
    def event_se(self) -> list[float]: ...
    @property
    def event_lo(self) -> list[float]: ...
    @property
    def event_hi(self) -> list[float]: ...
    @property
    def band_crit(self) -> float | None: ...
    @property
    def group_cohort(self) -> list[int]: ...
    @property
    def group_att(self) -> list[float]: ...
    @property
    def group_se(self) -> list[float]: ...
    @property
    def overall_group_att(self) -> float | None: ...
    @property
    def overall_group_se(self) -> float | None: ...
