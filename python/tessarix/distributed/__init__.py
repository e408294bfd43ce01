"""Scale-out with Dask (``pip install "tessarix[dask]"``): batched refits over the chunks of a
Dask array, one front-end model per group of a Dask (or any) frame, and the geo market search
spread over a cluster. Results equal the single-process calls bit for bit: every item's numbers
depend on the item alone, never on which worker ran it."""

from .batch import fit_many
from .groups import by_group

__all__ = ["by_group", "fit_many"]
