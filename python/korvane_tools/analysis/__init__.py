"""Analyses of a measured spectrum beyond the circuit fit: the distribution of
relaxation times (:mod:`.drt`) and the Z-HIT reconstruction (:mod:`.zhit`).

The public names are exported from :mod:`korvane_tools` itself.
"""
