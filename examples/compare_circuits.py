"""Compare two circuits on one spectrum, beside its Kramers–Kronig residuals.

    python examples/compare_circuits.py [output-folder]

A smaller circuit leaves a systematic trend in its residuals where a larger
one follows the data; the Kramers–Kronig test says how small the residuals of
*any* model can be, and which points no model should be asked to follow
(here the measured cell drifts over the slow, low-frequency end of the sweep).
Writes compare_circuits.png.
"""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")

import korvane
import korvane_tools
import matplotlib.pyplot as plt
from _common import FALLBACK, data_file, output_dir

PAIRS = {
    "measured": ("R0-(R1,CPE1)", "R0-(R1,CPE1)-(R2,CPE2)"),
    "bundled": ("R0-(R1,CPE1)", "R0-(R1-W1,CPE1)"),
}


def main() -> None:
    out = output_dir(__doc__ or "")
    path = data_file()
    data = korvane_tools.read(path)
    pair = PAIRS["bundled" if path == FALLBACK else "measured"]

    kk = korvane_tools.lin_kk(data)
    print(kk)
    print()

    figure, axes = plt.subplots(3, 2, figsize=(11.0, 10.0), layout="constrained")
    for column, text in enumerate(pair):
        result = korvane.Circuit(text).fit(data)
        print(f"{text}: chi-square {result.chi_square:.4g}, success {result.success}")
        korvane_tools.plot_nyquist(data, result, ax=axes[0, column])
        axes[0, column].set_title(f"{text}  (χ² = {result.chi_square:.3g})")
        korvane_tools.plot_residuals(data, result, ax=axes[1, column])
    korvane_tools.plot_lin_kk(kk, ax=axes[2, 0])
    # Both fits' residuals against the KK residuals, on one scale.
    axes[2, 1].axis("off")
    axes[2, 1].text(
        0.0,
        0.5,
        str(kk),
        family="monospace",
        fontsize=8,
        verticalalignment="center",
        transform=axes[2, 1].transAxes,
    )
    figure.suptitle(path.name)
    figure.savefig(out / "compare_circuits.png", dpi=80)
    plt.close(figure)
    print(f"\nwrote {out / 'compare_circuits.png'}")


if __name__ == "__main__":
    main()
