"""Labelled results of the data-frame front ends."""
