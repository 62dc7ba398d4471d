"""Read a measured spectrum, check it, fit a circuit, plot and report the fit.

    python examples/read_check_fit_plot.py [output-folder]

Reads the Gamry file of the shared instrument files (or, without them, the
bundled Randles spectrum), prints the data check, fits a circuit from the
network's guess, prints the report and writes fit.png.
"""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")  # files only, no window

import korvane
import korvane_tools
import matplotlib.pyplot as plt
from _common import FALLBACK, data_file, output_dir

# Two arcs for the measured cell; the Randles cell the bundled file was made from.
CIRCUIT = {"measured": "R0-(R1,CPE1)-(R2,CPE2)", "bundled": "R0-(R1-W1,CPE1)"}


def main() -> None:
    out = output_dir(__doc__ or "")
    path = data_file()
    data = korvane_tools.read(path)
    print(f"{path.name}: {len(data)} points")
    print(korvane_tools.check(data))
    print()

    circuit = korvane.Circuit(CIRCUIT["bundled" if path == FALLBACK else "measured"])
    result = circuit.fit(data)
    print(korvane_tools.report(result, data))

    figure = korvane_tools.plot_fit(data, result)
    figure.suptitle(f"{path.name}:  {figure.get_suptitle()}")  # circuit and chi-square
    figure.savefig(out / "fit.png", dpi=80)
    plt.close(figure)
    print(f"\nwrote {out / 'fit.png'}")


if __name__ == "__main__":
    main()
