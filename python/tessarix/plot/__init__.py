"""Pictures of the front ends' results, drawn with matplotlib (``pip install "tessarix[plot]"``).

Each result's ``.plot(kind=..., ax=None)`` calls into this package and returns the matplotlib
Axes it drew on; time axes carry the data's own time labels (dates as dates)."""

from __future__ import annotations

from typing import Any, Optional


def axes(ax: Optional[Any] = None) -> Any:
    """`ax`, or a new figure's Axes; an ImportError saying how to install matplotlib without it."""
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError('plotting needs matplotlib: pip install "tessarix[plot]"') from None
    return plt.subplots()[1]


def choose(kind: Optional[str], kinds: dict[str, Any], default: str) -> Any:
    """The drawing function of `kind` (the default when None); a ValueError naming the kinds."""
    kind = default if kind is None else kind
    if kind not in kinds:
        raise ValueError(f"kind={kind!r} is not one of {', '.join(repr(k) for k in kinds)}")
    return kinds[kind]
