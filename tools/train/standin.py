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
    vals = list(values)

    def code_of(tok):
        return tok.rstrip("0123456789")

    def series(text):
        total = np.zeros_like(w, dtype=complex)
        depth, start, parts = 0, 0, []
        for i, ch in enumerate(text):
            depth += ch == "("
            depth -= ch == ")"
            if ch == "-" and depth == 0:
                parts.append(text[start:i])
                start = i + 1
        parts.append(text[start:])
        for part in parts:
            if part.startswith("("):
                inner, depth, start, branches = part[1:-1], 0, 0, []
                for i, ch in enumerate(inner):
                    depth += ch == "("
                    depth -= ch == ")"
                    if ch == "," and depth == 0:
                        branches.append(inner[start:i])
                        start = i + 1
                branches.append(inner[start:])
                total = total + 1.0 / sum(1.0 / series(b) for b in branches)
            else:
                code = code_of(part)
                n = _COUNT[code]
                total = total + _element(code, vals[:n], w)
                del vals[:n]
        return total

    return series(circuit)
