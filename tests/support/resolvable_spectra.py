"""Synthetic spectra of the trained topologies whose every element shows.

Arcs a decade or more apart in time constant and each at least 10 % of the
total resistance; a Warburg or finite Warburg visible below the slower arc;
an inductance that turns the top of the window inductive; proportional
noise of at most 0.5 %.
"""

import math

import korvane
import numpy as np
from korvane_tools.comparison import TRAINED

N_POINTS = 60


def resolvable(name, rng, noise=0.003):
    """(circuit string, frequencies, impedances, true values) of topology ``name``."""
    text = TRAINED[name]
    r0 = 10.0 ** rng.uniform(-1, 1)
    r1 = 10.0 ** rng.uniform(0, 2)
    r2 = r1 * 10.0 ** rng.uniform(-0.5, 0.5)
    tau1 = 10.0 ** rng.uniform(-5, -3)
    tau2 = tau1 * 10.0 ** rng.uniform(1.5, 2.5)
    a1, a2 = rng.uniform(0.75, 0.95, 2)
    circuit = korvane.Circuit(text)
    names = circuit.param_names()
    # the slowest feature: the second arc, or the diffusion tail below it
    slowest = tau1 if "R2.r" not in names else tau2
    r_last = r1 if "R2.r" not in names else r2
    values = {
        "R0.r": r0,
        "R1.r": r1,
        "C1.c": tau1 / r1,
        "CPE1.q": tau1**a1 / r1,
        "CPE1.alpha": a1,
        "R2.r": r2,
        "C2.c": tau2 / r2,
        "CPE2.q": tau2**a2 / r2,
        "CPE2.alpha": a2,
        # |Z_W| = R at a tenth of the slowest arc's apex frequency
        "W1.aw": r_last * math.sqrt(0.1 / slowest),
        "W2.aw": r_last * math.sqrt(0.1 / slowest),
        "Wo2.z0": r2 * rng.uniform(1.0, 2.0),
        "Wo2.tau": 100.0 * tau2,
    }
    has_diffusion = any(n.startswith("W") for n in names)
    f_low = 1.0 / (2 * math.pi * slowest) / (10.0**3.5 if has_diffusion else 100.0)
    f_high = 100.0 / (2 * math.pi * tau1)
    f = np.logspace(math.log10(f_low), math.log10(f_high), N_POINTS)
    # ωL = R0 + R1 at the top: the last decade or so is inductive
    values["L0.l"] = (r0 + r1) / (2 * math.pi * f_high)
    truth = [values[n] for n in names]
    z = circuit.with_values(truth).impedance(f)
    z = z * (1 + noise * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))
    return text, f, z, truth
