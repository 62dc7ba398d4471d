"""Writes the fixtures of the inference cross-check into tests/nn/data/:

  reference_ch16.eisnn   Ch 16, K 5, 8 groups, dilations 1,2,4,8, H 64, P 3,
                         n_grid 64 ("R0-(R1,C1)" outputs)
  reference_small.eisnn  Ch 8, K 3, 4 groups, dilations " 2, 3", H 24, P 5,
                         n_grid 40 ("R0-(R1-W1,CPE1)" outputs, one q row whose
                         exponent comes from the alpha output)
  reference_cases.txt    spectra and the outputs of tests/nn/reference_network.py

Random weights from fixed seeds, stored as binary16 (tables as binary32), with
about one convolution tap in ten exactly zero. Run from the repository root:

    .venv/bin/python tests/nn/make_reference_fixtures.py [output_dir]
"""

from __future__ import annotations

import cmath
import math
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, HERE)

import eisnn  # noqa: E402
import reference_network  # noqa: E402

TWO_PI = 6.283185307179586


def random_network_tensors(rng, ch, k, head, p, n_blocks):
    tensors = []
    for name, shape in eisnn.network_tensor_shapes(ch, k, head, p, n_blocks):
        if name.endswith("norm1.weight") or name.endswith("norm2.weight"):
            values = 1.0 + 0.2 * rng.standard_normal(shape)
        elif name.endswith(".bias"):
            values = 0.1 * rng.standard_normal(shape)
        else:
            fan_in = int(np.prod(shape[1:]))
            values = rng.standard_normal(shape) * (1.5 / math.sqrt(fan_in))
            if len(shape) == 3:
                values[rng.random(shape) < 0.1] = 0.0
        tensors.append((name, values.astype(np.float16), eisnn.F16))
    return tensors


def file_ch16(rng):
    meta = {
        "circuit": "R0-(R1,C1)",
        "param_names": "R0.r,R1.r,C1.c",
        "estimator": "reactive_centroid",
        "n_grid": "64",
        "channels": "16",
        "kernel": "5",
        "groups": "8",
        "dilations": "1,2,4,8",
        "alpha_min": "0.05",
        "alpha_max": "1.0",
    }
    tensors = random_network_tensors(rng, 16, 5, 64, 3, 4)
    tensors += [
        ("target_mean", rng.uniform(-0.5, 0.5, 3), eisnn.F32),
        ("target_std", rng.uniform(0.2, 0.6, 3), eisnn.F32),
        ("scaling", np.array([[1, 0, 0, -1], [1, 0, 0, -1], [-1, -1, 0, -1]], float), eisnn.F32),
        ("log_params", np.ones(3), eisnn.F32),
    ]
    return meta, tensors


def file_small(rng):
    meta = [
        ("circuit", "R0-(R1-W1,CPE1)"),
        ("param_names", "R0.r,R1.r,W1.aw,CPE1.q,CPE1.alpha"),
        ("estimator", "reactive_centroid"),
        ("n_grid", "40"),
        ("channels", "8"),
        ("kernel", "3"),
        ("groups", "4"),
        ("dilations", " 2, 3"),
        ("alpha_min", "0"),
        ("alpha_max", "1.5E-1"),
    ]
    tensors = random_network_tensors(rng, 8, 3, 24, 5, 2)
    scaling = np.array(
        [
            [1, 0, 0, -1],
            [1, 0, 0, -1],
            [1, 0.5, 0, -1],
            [-1, 0, -1, 4],
            [0, 0, 0, -1],
        ],
        float,
    )
    tensors += [
        ("target_mean", np.array([0.1, -0.2, 0.3, -0.1, 0.6]), eisnn.F32),
        ("target_std", np.array([0.4, 0.5, 0.3, 0.5, 0.25]), eisnn.F32),
        ("scaling", scaling, eisnn.F32),
        ("log_params", np.array([1, 1, 1, 1, 0], float), eisnn.F32),
    ]
    return meta, tensors


def rc_spectrum(freqs, r0=10.0, r1=100.0, c1=1e-5):
    out = []
    for f in freqs:
        w = TWO_PI * f
        out.append(r0 + 1.0 / (1.0 / r1 + 1j * w * c1))
    return out


def randles_spectrum(freqs, r0=5.0, r1=50.0, aw=20.0, q=1e-5, alpha=0.85):
    out = []
    for f in freqs:
        w = TWO_PI * f
        zw = aw * (1 - 1j) / math.sqrt(w)
        zq = 1.0 / (q * (1j * w) ** alpha)
        out.append(r0 + 1.0 / (1.0 / (r1 + zw) + 1.0 / zq))
    return out


def spectra(rng):
    cases = []
    f50 = [10 ** (-1 + 6 * k / 49) for k in range(50)]
    order = rng.permutation(50)
    cases.append(("unsorted_rc", [f50[i] for i in order], [rc_spectrum(f50)[i] for i in order]))

    f30 = [10 ** (0.5 + 4 * k / 29) for k in range(30)]
    z30 = rc_spectrum(f30, 3.0, 40.0, 2e-6)
    freqs, zs = list(f30), list(z30)
    for i in (0, 7, 7, 15, 29):  # repeated frequencies with other impedances
        freqs.append(f30[i])
        zs.append(z30[i] * (1.05 + 0.02j))
    perm = rng.permutation(len(freqs))
    cases.append(("repeated", [freqs[i] for i in perm], [zs[i] for i in perm]))

    cases.append(("resistive", f50, [complex(10.0, 0.0)] * 50))

    f40 = [10 ** (-2 + 5 * k / 39) for k in range(40)]
    theta = [2.2 + 2.0 * k / 39 for k in range(40)]  # crosses π at k ≈ 18
    cases.append(
        ("wrap", f40, [cmath.rect(20.0 * (1 + 0.3 * math.sin(k)), t) for k, t in enumerate(theta)])
    )

    f70 = [10 ** (-2 + 7 * k / 69) for k in range(70)]
    cases.append(("randles", f70[::-1], randles_spectrum(f70)[::-1]))

    cases.append(("two_points", [50.0, 5.0], [complex(12.0, -3.0), complex(20.0, -9.0)]))
    return cases


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    rng = np.random.default_rng(20240611)
    files = {
        "reference_ch16.eisnn": file_ch16(rng),
        "reference_small.eisnn": file_small(rng),
    }
    lines = []
    for name, (meta, tensors) in files.items():
        path = os.path.join(out_dir, name)
        eisnn.write_eisnn(path, meta, tensors)
        wf = eisnn.read_eisnn(path)
        for label, freqs, zs in spectra(np.random.default_rng(7)):
            expected = reference_network.guess(wf, freqs, zs)
            lines.append(f"case {name} {label} {len(freqs)}")
            for f, z in zip(freqs, zs):
                lines.append(f"{f!r} {z.real!r} {z.imag!r}")
            lines.append("expect " + " ".join(repr(float(v)) for v in expected))
    with open(os.path.join(out_dir, "reference_cases.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "data"))
