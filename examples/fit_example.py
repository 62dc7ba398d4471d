"""Model a Randles cell and compare it with the bundled measured spectrum.

Run after `pip install .` (tools/dev.sh main does both).
"""

import csv
import math
from pathlib import Path

import korvane

DATA = Path(__file__).parent / "data" / "randles_spectrum.csv"


def read_spectrum(path):
    """The CSV as a dict of columns: a dataframe as far as korvane is concerned."""
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    return {name: [float(row[name]) for row in rows] for name in rows[0]}


def main():
    # A trained-topology name stands for its circuit string.
    circuit = korvane.Circuit("randles").with_named_values(
        {"R0.r": 15.0, "R1.r": 40.0, "W1.aw": 8.0, "CPE1.q": 2e-5, "CPE1.alpha": 0.85}
    )
    print(circuit)
    print()

    frequencies = [1e5, 1e3, 10.0, 0.1]
    print("model impedance:")
    for f, z in zip(frequencies, circuit.impedance(frequencies)):
        print(f"  {f:>8g} Hz  {z.real:10.4f} {z.imag:+10.4f}j ohm")
    print()

    # The same circuit assembled from element objects.
    built = korvane.Series(
        [korvane.R(15.0), korvane.Parallel([korvane.Series([korvane.R(40.0), korvane.W(8.0)]),
                                            korvane.Cpe(2e-5, 0.85)])]
    )
    same = all(a == b for a, b in zip(circuit.impedance(frequencies), built.impedance(frequencies)))
    print("built from elements, identical impedance:", same)
    print()

    spectrum = read_spectrum(DATA)
    residuals = circuit.residuals(circuit.param_values(), spectrum)
    rms = math.sqrt(sum(r * r for r in residuals) / len(residuals))
    print(f"{len(residuals) // 2} measured points, relative RMS misfit of the hand-set values: {rms:.4f}")

    if hasattr(korvane.Circuit, "fit"):
        result = korvane.Circuit("randles").fit(spectrum)
        print()
        print(result)
        print(result.circuit)


if __name__ == "__main__":
    main()
