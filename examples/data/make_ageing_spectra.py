"""Writes ageing.mpt: four spectra of an ageing Randles cell, as EC-Lab exports them.

The README's batch example reads it with korvane_tools.read_spectra. Same
circuit and noise model as make_randles_spectrum.py; between the four cycles
the charge-transfer resistance R1 grows from 60 to 105 ohm and the double
layer loses a little capacitance, as a cell does over its life. BioLogic's
text layout: a header whose second line gives its length in lines, then
tab-separated columns with a trailing tab, -Im(Z) (positive for a capacitive
arc), and a ``cycle number`` column that tells the spectra apart. Frequencies
from 100 kHz to 100 mHz, 5 per decade; fixed seed, so the file is reproduced
exactly.

Run once from the repository root: python examples/data/make_ageing_spectra.py
"""

import pathlib

import numpy as np
from make_randles_spectrum import NOISE_RELATIVE, TRUE_VALUES, randles_impedance

SEED = 20240612
CYCLES = 4
NAMES = ["freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm", "time/s", "cycle number"]
INTRO = [
    "EC-Lab ASCII FILE",
    "Nb header lines : {count}",
    "",
    "Potentio Electrochemical Impedance Spectroscopy",
    "",
    "Synthetic ageing series written by examples/data/make_ageing_spectra.py",
    "",
]


def main() -> None:
    frequencies = 10.0 ** np.linspace(5.0, -1.0, 5 * 6 + 1)
    rng = np.random.default_rng(SEED)
    rows = []
    time = 0.0
    for cycle in range(1, CYCLES + 1):
        values = dict(TRUE_VALUES)
        values["R1.r"] *= 1.0 + 0.25 * (cycle - 1)
        values["CPE1.q"] *= 1.0 - 0.05 * (cycle - 1)
        z = randles_impedance(frequencies, *values.values())
        sigma = NOISE_RELATIVE * np.abs(z)
        z = z + sigma * (rng.standard_normal(z.size) + 1.0j * rng.standard_normal(z.size))
        for f, zi in zip(frequencies, z):
            time += 1.0 + 2.0 / f  # a few periods per point, at least a second
            rows.append(
                [f"{f:.7E}", f"{zi.real:.7E}", f"{-zi.imag:.7E}", f"{time:.3f}", f"{cycle}"]
            )

    header = [line.format(count=len(INTRO) + 1) for line in INTRO] + ["\t".join(NAMES) + "\t"]
    out = pathlib.Path(__file__).with_name("ageing.mpt")
    with out.open("w", newline="\r\n", encoding="latin-1") as handle:
        handle.write("\n".join(header + ["\t".join(row) + "\t" for row in rows]) + "\n")
    print(f"wrote {out} ({CYCLES} spectra of {frequencies.size} points)")


if __name__ == "__main__":
    main()
