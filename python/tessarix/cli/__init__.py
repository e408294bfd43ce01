"""The tessarix command line."""
