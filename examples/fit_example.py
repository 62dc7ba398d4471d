"""Fit a Randles cell to the bundled measured spectrum.

The spectrum (examples/data/randles_spectrum.csv, Battery Data Format columns)
is a noisy Randles cell R0-(R1-W1,CPE1) from 100 kHz down to 10 mHz. The fit
starts from the bundled network's guess, because the circuit is given without
starting values, then refines it by Levenberg-Marquardt.

Run after `pip install .` (tools/dev.sh main does both).
"""

import csv
import math
from pathlib import Path

import korvane

DATA = Path(__file__).parent / "data" / "randles_spectrum.csv"


def read_spectrum(path: Path) -> dict[str, list[float]]:
    """The CSV as a dict of columns: a dataframe as far as korvane is concerned."""
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    return {name: [float(row[name]) for row in rows] for name in rows[0]}


def main() -> None:
    spectrum = read_spectrum(DATA)
    circuit = korvane.Circuit("randles")  # the trained name of "R0-(R1-W1,CPE1)"

    guess = circuit.guess(spectrum)
    result = circuit.fit(spectrum)

    print(f"{len(spectrum['Frequency / Hz'])} measured points, circuit R0-(R1-W1,CPE1)")
    print()
    print(result)
    print()
    print(f"{'parameter':<12} {'guess':>12} {'fitted':>12} {'std. error':>12}  unit")
    stderr = result.stderr or {}
    for name, unit, start in zip(circuit.param_names(), circuit.param_units(), guess):
        value = result.params[name]
        error = stderr.get(name, math.nan)
        print(f"{name:<12} {start:>12.5g} {value:>12.5g} {error:>12.3g}  {unit}")
    print()
    print(
        f"success={result.success}  iterations={result.iterations}  "
        f"impedance evaluations={result.impedance_evals}  chi-square={result.chi_square:.4g}"
    )


if __name__ == "__main__":
    main()
