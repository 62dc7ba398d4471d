"""Dry-run stand-in for korvane's impedance, used only with --standin while
the module cannot be imported. It covers the element kinds of the eleven
topologies (R, C, L, CPE, W, Wo) and never feeds shipped weights.

Series parts add impedances, parallel branches add admittances.
"""

import numpy as np

TWO_PI = 6.283185307179586


def _element(code, vals, w):
    s = 1j * w
    if code == "R":
        return np.full_like(s, vals[0])
    if code == "C":
        return 1.0 / (s * vals[0])
    if code == "L":
        return s * vals[0]
    if code == "CPE":
        return 1.0 / (vals[0] * s ** vals[1])
    if code == "W":
        return vals[0] * (1 - 1j) / np.sqrt(w)
    if code == "Wo":
        x = np.sqrt(s * vals[1])
        return vals[0] / (x * np.tanh(x))
    raise ValueError(code)


_COUNT = {"R": 1, "C": 1, "L": 1, "CPE": 2, "W": 1, "Wo": 2}


def impedance(circuit, values, freqs):
    w = TWO_PI * np.asarray(freqs, dtype=np.float64)
    return combine(
        circuit, list(values), lambda code, vals: _element(code, vals, w), np.zeros_like(w, complex)
    )


def split_top(text, sep):
    """``text`` split at ``sep`` outside parentheses."""
    depth, start, parts = 0, 0, []
    for i, ch in enumerate(text):
        depth += (ch == "(") - (ch == ")")
        if ch == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    return [*parts, text[start:]]


def combine(circuit, values, element, zero):
    """The circuit's impedance from ``element(code, its values)``: series parts
    add impedances, parallel branches admittances. ``values`` (a list, in
    parameter order) is consumed; ``zero`` is the empty sum, so the same walk
    serves NumPy arrays and torch tensors alike."""

    def series(text):
        total = zero
        for part in split_top(text, "-"):
            if part.startswith("("):
                total = total + 1.0 / sum(1.0 / series(b) for b in split_top(part[1:-1], ","))
            else:
                code = part.rstrip("0123456789")
                n = _COUNT[code]
                total = total + element(code, values[:n])
                del values[:n]
        return total

    return series(circuit)
