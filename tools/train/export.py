"""Export trained checkpoints to `.eisnn` files, write parity fixtures.

    python tools/train/export.py            every topology with a checkpoint
    python tools/train/export.py rc two_rq  selected ones

Each written file is read back and checked: exact byte size of the
trained-topology table, parse to its own length, `circuit`, `param_names`
and every tensor equal to the binary16/binary32 rounding of the checkpoint.
Then two fixed spectra per topology are pushed through the float64
reference forward pass (binary16 weights, preprocessing included) and
stored under tests/nn/data/parity/ for the C++ parity test.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np
import torch

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))
import data as D  # noqa: E402
import preprocess  # noqa: E402
import topologies as T  # noqa: E402

sys.path.insert(0, str(ROOT / "tools"))
import eisnn  # noqa: E402
from network import (  # noqa: E402
    ALPHA_MAX,
    ALPHA_MIN,
    DILATIONS,
    GROUPS,
    KERNEL,
    GuessNet,  # noqa: E402
    denormalise,
    reference_forward,
)

MODELS = ROOT / "models"
FIXTURES = ROOT / "tests" / "nn" / "data" / "parity"


def metadata(topo: T.Topology) -> list[tuple[str, str]]:
    return [
        ("circuit", topo.circuit),
        ("param_names", ",".join(topo.param_names)),
        ("estimator", "reactive_centroid"),
        ("n_grid", str(preprocess.N_GRID)),
        ("channels", str(topo.channels)),
        ("kernel", str(KERNEL)),
        ("groups", str(GROUPS)),
        ("dilations", ",".join(str(d) for d in DILATIONS)),
        ("alpha_min", repr(ALPHA_MIN)),
        ("alpha_max", repr(ALPHA_MAX)),
    ]


class Parsed:
    """A read-back weight file: metadata, tensors as float64 arrays, end offset."""

    def __init__(self, raw: bytes):
        f = eisnn.read_eisnn(raw)
        self.metadata = f.metadata
        self.tensors = {k: t.values for k, t in f.tensors.items()}
        self.length = f.end


def file_bytes(topo: T.Topology, model_state: dict, target_mean, target_std) -> bytes:
    tensors = [("w." + k, v.detach().cpu().numpy(), eisnn.F16) for k, v in model_state.items()]
    tensors += [
        ("target_mean", np.asarray(target_mean), eisnn.F32),
        ("target_std", np.asarray(target_std), eisnn.F32),
        ("scaling", T.scaling_rows(topo), eisnn.F32),
        ("log_params", T.log_params(topo), eisnn.F32),
    ]
    return eisnn.eisnn_bytes(metadata(topo), tensors)


def check_file(topo: T.Topology, raw: bytes, model_state: dict | None = None) -> Parsed:
    problems = []
    if len(raw) != topo.size:
        problems.append(f"{len(raw)} bytes, expected {topo.size}")
    parsed = Parsed(raw)
    if parsed.length != len(raw):
        problems.append(f"parses to {parsed.length} of {len(raw)} bytes")
    if parsed.metadata.get("circuit") != topo.circuit:
        problems.append(f"circuit {parsed.metadata.get('circuit')!r}")
    if parsed.metadata.get("param_names", "").split(",") != list(topo.param_names):
        problems.append(f"param_names {parsed.metadata.get('param_names')!r}")
    if len(parsed.tensors) != 44:
        problems.append(f"{len(parsed.tensors)} tensors")
    if model_state is not None:
        for k, v in model_state.items():
            want = v.detach().cpu().numpy().astype(np.float16).astype(np.float64)
            if not np.array_equal(parsed.tensors["w." + k], want):
                problems.append(f"tensor w.{k} differs from the checkpoint")
    if problems:
        raise SystemExit(f"{topo.name}.eisnn: " + "; ".join(problems))
    return parsed


def predict_reference(parsed: Parsed, f, z) -> np.ndarray:
    """The module's guess for one spectrum, recomputed in float64."""
    grid, desc, omega_c, z_c = preprocess.features(f, z)
    state = {k[2:]: v for k, v in parsed.tensors.items() if k.startswith("w.")}
    o = reference_forward(state, grid, desc)
    t = parsed.tensors
    return denormalise(
        o,
        t["target_mean"],
        t["target_std"],
        t["log_params"],
        t["scaling"].reshape(-1, 4),
        omega_c,
        z_c,
    )


def fixture_spectra(topo: T.Topology, backend, count: int = 3):
    """Two fixed held-out spectra: an ordinary one and one of three special
    cases, taken in turn along the table so that every case meets several
    networks. The special cases: the first spectrum reversed (a descending
    measurement order), a purely resistive one (the scale estimate takes its
    fallback), and one with repeated frequencies (interpolation meets equal
    abscissae). All `count` spectra are still drawn, so the random stream and
    with it every kept spectrum stay as they were."""
    rng = np.random.default_rng(D.seed_for(topo, "fixture"))
    drawn = []
    for _ in range(count):
        f, z, _ = D.make_spectrum(topo, rng, backend, inside=True)
        drawn.append((f, z))
    f, z = drawn[0]
    reversed_order = (f[::-1].copy(), z[::-1].copy())
    f = 10.0 ** (-1 + 6 * np.arange(50) / 49)
    resistive = (f, np.full(50, 10.0 + 0j))
    f, z = drawn[1]
    f = f.copy()
    f[5] = f[6]
    f[-3] = f[-2]
    repeated = (f, z)
    special = (reversed_order, resistive, repeated)[topo.index % 3]
    return [drawn[0], special]


def write_fixture(topo: T.Topology, parsed, backend) -> Path:
    """Text fixture: per spectrum a line "spectrum N", N lines "f re im", then a
    line "expected" with the P guessed values; numbers with 17 significant
    digits so they read back as the same doubles."""
    lines = [
        f"# {topo.name}: float64 reference guesses of models/{topo.name}.eisnn",
        f"model {topo.name}",
        f"params {len(topo.param_names)}",
    ]
    for f, z in fixture_spectra(topo, backend):
        guess = predict_reference(parsed, f, z)
        lines.append(f"spectrum {f.size}")
        lines += [f"{a:.17g} {b.real:.17g} {b.imag:.17g}" for a, b in zip(f, z)]
        lines.append("expected " + " ".join(f"{g:.17g}" for g in guess))
    FIXTURES.mkdir(parents=True, exist_ok=True)
    path = FIXTURES / f"{topo.name}.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


def load_checkpoint(topo: T.Topology):
    ck = torch.load(D.checkpoint_path(topo.name), weights_only=False)
    model = GuessNet(topo.channels, topo.hidden, topo.n_params)
    model.load_state_dict(ck["model"])
    return model, ck


def export(topo: T.Topology, backend) -> None:
    model, ck = load_checkpoint(topo)
    state = model.state_dict()
    raw = file_bytes(topo, state, ck["target_mean"], ck["target_std"])
    parsed = check_file(topo, raw, state)
    MODELS.mkdir(exist_ok=True)
    (MODELS / f"{topo.name}.eisnn").write_bytes(raw)
    fx = write_fixture(topo, parsed, backend)
    print(f"{topo.name}: {len(raw)} bytes (epoch {ck['state']['epoch']}), fixture {fx.name}")


def read_fixture(path: Path):
    """[(f, z, expected)] from a fixture file."""
    lines = [ln for ln in path.read_text().splitlines() if ln and not ln.startswith("#")]
    out, i = [], 0
    while i < len(lines):
        if lines[i].startswith("spectrum"):
            n = int(lines[i].split()[1])
            pts = np.array([[float(x) for x in ln.split()] for ln in lines[i + 1 : i + 1 + n]])
            exp = np.array([float(x) for x in lines[i + 1 + n].split()[1:]])
            out.append((pts[:, 0], pts[:, 1] + 1j * pts[:, 2], exp))
            i += n + 2
        else:
            i += 1
    return out


def verify(topo: T.Topology) -> None:
    """The committed pair (weight file, fixture) belongs together: the file
    passes its checks and reproduces every fixture guess."""
    raw = (MODELS / f"{topo.name}.eisnn").read_bytes()
    parsed = check_file(topo, raw)
    worst = 0.0
    for f, z, exp in read_fixture(FIXTURES / f"{topo.name}.txt"):
        got = predict_reference(parsed, f, z)
        worst = max(worst, float(np.max(np.abs(got - exp) / np.abs(exp))))
    if not worst <= 1e-12:
        raise SystemExit(f"{topo.name}: fixture does not match the weight file ({worst:.3g})")
    print(f"{topo.name}: {len(raw)} bytes, fixture consistent ({worst:.2g})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("names", nargs="*")
    ap.add_argument("--standin", action="store_true")
    ap.add_argument(
        "--verify", action="store_true", help="only check the existing files against their fixtures"
    )
    a = ap.parse_args()
    if a.verify:
        for n in a.names or [t.name for t in T.TOPOLOGIES]:
            verify(T.BY_NAME[n])
        return
    names = a.names or [t.name for t in T.TOPOLOGIES if D.checkpoint_path(t.name).exists()]
    backend = D.impedance_backend(a.standin)
    for n in names:
        export(T.BY_NAME[n], backend)


if __name__ == "__main__":
    main()
