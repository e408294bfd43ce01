"""The data-frame front ends: long frames in, labelled results out."""
