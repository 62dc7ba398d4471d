"""How often the network's starting point leads the fit to the right minimum.

For each of the eleven trained topologies, N held-out noisy synthetic
spectra (the trainer's parameter distribution, tools/train/topologies.py,
drawn from a seed no training split uses; proportional noise up to 3 %) are
fitted three times with default settings:

  * reference: started at the true parameters (guess_init=False);
  * ML guess:  the circuit without values, so the bundled network's guess
               is the start (the default path);
  * no guess:  guess_init=False, i.e. the placeholder values.

A fit succeeds when its chi-square is at most 1.5x the reference fit's.
Prints both success rates per topology. Topologies whose network is not
bundled in this build are listed with "-" in the ML-guess column.

With ``--weights DIR`` the ML-guess fit is also made with the weight files
in DIR (``<topology>.eisnn``: candidates for the bundled ones) on the same
spectra, in a third column.

    python bench/guess_quality.py [--count N] [--topologies rc,rq,...] [--weights DIR]
"""

import argparse
import math
import os
import pathlib
import sys
import time

import korvane
import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "train"))
import topologies as T  # noqa: E402  (the trainer's sampling, NumPy only)

HELD_OUT_SEED = 97_000  # + topology index; the training splits use 11..53 thousand
NOISE_MAX = 0.03  # the training data's largest noise level
TOLERANCE = 1.5


def held_out_spectra(topo, count):
    rng = np.random.default_rng(HELD_OUT_SEED + topo.index)
    circuit = korvane.Circuit(topo.circuit)
    for _ in range(count):
        win = T.sample_window(rng)
        p = T.canonical_order(topo, T.sample_params(topo, win, rng))
        truth = [p[name] for name in topo.param_names]
        z = circuit.with_values(truth).impedance(win.freqs)
        z = T.add_noise(z, rng, NOISE_MAX * rng.random())
        yield win.freqs, z, truth


def chi_square(fit):
    try:
        result = fit()
    except ValueError:
        return math.nan
    return result.chi_square


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--count", type=int, default=500, help="spectra per topology")
    ap.add_argument("--topologies", default=",".join(t.name for t in T.TOPOLOGIES))
    ap.add_argument("--weights", type=pathlib.Path, help="candidate weight files to compare")
    args = ap.parse_args()
    wanted = args.topologies.split(",")

    print(
        f"{args.count} held-out spectra per topology; success = chi-square <= "
        f"{TOLERANCE}x that of a fit started at the true parameters"
    )
    print(f"{'topology':<16}{'ML guess':>10}{'no guess':>10}{'seconds':>9}{'candidate':>11}")
    for topo in T.TOPOLOGIES:
        if topo.name not in wanted:
            continue
        circuit = korvane.Circuit(topo.circuit)
        started = time.perf_counter()
        ml_ok = plain_ok = candidate_ok = 0
        file = args.weights / f"{topo.name}.eisnn" if args.weights else None
        candidate = file if file and file.exists() else None
        ml_available = True
        for f, z, truth in held_out_spectra(topo, args.count):
            reference = chi_square(lambda: circuit.with_values(truth).fit(f, z, False))
            limit = TOLERANCE * reference
            if ml_available:
                try:
                    ml = circuit.fit(f, z).chi_square
                except ValueError as error:
                    if "not bundled" not in str(error):
                        raise
                    ml_available = False
                else:
                    ml_ok += ml <= limit
            plain_ok += chi_square(lambda: circuit.fit(f, z, False)) <= limit
            if candidate:
                candidate_ok += (
                    chi_square(lambda: circuit.fit(f, z, weights=str(candidate))) <= limit
                )
        seconds = time.perf_counter() - started
        ml_text = f"{100.0 * ml_ok / args.count:>9.1f}%" if ml_available else f"{'-':>10}"
        candidate_text = (
            f"{100.0 * candidate_ok / args.count:>10.1f}%" if candidate else f"{'-':>11}"
        )
        print(
            f"{topo.name:<16}{ml_text}{100.0 * plain_ok / args.count:>9.1f}%{seconds:>9.1f}"
            f"{candidate_text}",
            flush=True,
        )
    print(f"(load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
