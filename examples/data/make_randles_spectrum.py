"""Writes randles_spectrum.csv: a noisy Randles-cell spectrum for the example.

Circuit R0-(R1-W1,CPE1): electrolyte resistance R0 in series with the double
layer (constant-phase element CPE1) in parallel with charge transfer R1 and
semi-infinite diffusion W1,

    Z(w) = R0 + 1 / (1 / (R1 + Aw/sqrt(w) * (1 - j)) + Q * (j w)^alpha).

Frequencies run from 100 kHz down to 10 mHz, 8 per decade, as a potentiostat
sweeps them. Each point gets proportional Gaussian noise, sigma = 0.5 % of |Z|
on the real and the imaginary part independently (a typical instrument error
model), from a fixed seed, so running this again reproduces the file exactly.

Run once from the repository root: python examples/data/make_randles_spectrum.py
"""

import csv
import math
import pathlib

import numpy as np
import numpy.typing as npt

TRUE_VALUES = {
    "R0.r": 15.0,  # ohm
    "R1.r": 60.0,  # ohm
    "W1.aw": 40.0,  # ohm*s^-0.5
    "CPE1.q": 2.0e-5,  # ohm^-1*s^alpha
    "CPE1.alpha": 0.85,
}
NOISE_RELATIVE = 0.005
SEED = 20240611


def randles_impedance(
    frequencies: npt.ArrayLike, r0: float, r1: float, aw: float, q: float, alpha: float
) -> npt.NDArray[np.complex128]:
    w = 2.0 * math.pi * np.asarray(frequencies, dtype=float)
    warburg = aw / np.sqrt(w) * (1.0 - 1.0j)
    faradaic = r1 + warburg
    double_layer_admittance = q * (1.0j * w) ** alpha
    return np.asarray(r0 + 1.0 / (1.0 / faradaic + double_layer_admittance), dtype=np.complex128)


def main() -> None:
    frequencies = 10.0 ** np.linspace(5.0, -2.0, 8 * 7 + 1)
    z = randles_impedance(frequencies, *TRUE_VALUES.values())
    rng = np.random.default_rng(SEED)
    sigma = NOISE_RELATIVE * np.abs(z)
    z_noisy = z + sigma * rng.standard_normal(z.size) + 1.0j * sigma * rng.standard_normal(z.size)

    out = pathlib.Path(__file__).with_name("randles_spectrum.csv")
    with out.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"])
        for f, zi in zip(frequencies, z_noisy):
            writer.writerow([f"{f:.6g}", f"{zi.real:.6g}", f"{zi.imag:.6g}"])
    print(f"wrote {out} ({frequencies.size} points)")


if __name__ == "__main__":
    main()
