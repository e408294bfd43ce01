"""Long data frames in, labelled tables out: the conversion and guards behind the front ends."""

from .guards import DataError
from .output import table
from .panel import LongPanel, long_panel

__all__ = ["DataError", "LongPanel", "long_panel", "table"]
