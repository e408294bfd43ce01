"""Wording shared by the front ends' checks: how a label is printed, which labels are closest
to a mistyped one, and the one exception type every data problem raises."""

from __future__ import annotations

import difflib
from typing import Any, Iterable

import numpy as np

# How many labels a message lists before it stops.
MAX_LISTED = 5


class DataError(ValueError):
    """The data frame or an argument naming its contents cannot be used as given.

    A ``ValueError``: the message names the argument (or column) at fault and the fix.
    """


def plain(label: Any) -> Any:
    """A NumPy scalar as the Python value it holds; anything else unchanged."""
    return label.item() if isinstance(label, np.generic) else label


def fmt(label: Any) -> str:
    """A label as messages print it: strings quoted, everything else as its own text."""
    label = plain(label)
    if isinstance(label, str):
        return repr(label)
    if isinstance(label, np.datetime64):
        return str(label)
    return str(label)


def listing(labels: Iterable[Any], limit: int = MAX_LISTED) -> str:
    """The first `limit` labels, comma separated, with an ellipsis when there are more."""
    items = list(labels)
    shown = ", ".join(fmt(x) for x in items[:limit])
    return shown + (", ..." if len(items) > limit else "")


def suggestion(wanted: Any, labels: Iterable[Any]) -> str:
    """' (did you mean ...?)' naming the labels whose text is closest to `wanted`, or ''."""
    texts = {str(plain(x)).lower(): x for x in labels}
    close = difflib.get_close_matches(str(plain(wanted)).lower(), list(texts), n=3, cutoff=0.6)
    if not close:
        return ""
    return " (did you mean " + " or ".join(fmt(texts[c]) for c in close) + "?)"


def listlike(x: Any) -> bool:
    """True for a collection of labels (list, tuple, set, array, Series); False for one label."""
    return isinstance(x, (list, tuple, set, frozenset, np.ndarray)) or (
        hasattr(x, "__iter__") and hasattr(x, "__len__") and not isinstance(x, (str, bytes)))
