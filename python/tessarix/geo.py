"""Geo-experiment design from long sales data: power curves (one estimator or an ensemble),
market selection and design diagnostics, with markets and times kept as labels."""

from .frontends.geo import diagnose, power, power_ensemble, select

__all__ = ["diagnose", "power", "power_ensemble", "select"]
