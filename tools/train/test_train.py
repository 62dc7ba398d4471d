"""Trainer checks: preprocessing against known scales and edge cases, target
and de-normalisation consistency, the PyTorch network against the float64
reference, and the weight-file layout.

    .venv-train/bin/python -m unittest tools/train/test_train.py
"""

import math
import sys
import unittest
from pathlib import Path

import numpy as np
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
import export  # noqa: E402
import preprocess as P  # noqa: E402
import topologies as T  # noqa: E402
from network import (
    GuessNet,
    denormalise,
    denormalise_batch,
    gaussian_nll,
    raw_targets,  # noqa: E402
    reference_forward,
    weighted_gaussian_nll,
    weighted_laplace_nll,
)
from train import param_weights  # noqa: E402

TWO_PI = 6.283185307179586


def draws(rng):
    """(topology, window, parameter vector) per topology, as the trainer samples them."""
    for topo in T.TOPOLOGIES:
        win = T.sample_window(rng)
        p = T.sample_params(topo, win, rng)
        yield topo, win, np.array([p[n] for n in topo.param_names])


def rc_spectrum(f, r0=10.0, r1=100.0, c1=1e-5):
    w = TWO_PI * f
    return r0 + r1 / (1 + 1j * w * r1 * c1)


class SpectrumScales(unittest.TestCase):
    def test_reactive_centroid_of_an_rc_arc(self):
        f = 10.0 ** (-1 + 6 * np.arange(50) / 49)
        oc, zc = P.spectrum_scales(f, rc_spectrum(f))
        self.assertAlmostEqual(oc, 3237.12, delta=0.01)
        self.assertAlmostEqual(zc, 33.3205, delta=1e-4)
        # measurement order must not matter
        oc2, zc2 = P.spectrum_scales(f[::-1], rc_spectrum(f)[::-1])
        self.assertAlmostEqual(oc, oc2, delta=1e-9 * oc)

    def test_resistive_spectrum_takes_the_fallback(self):
        f = 10.0 ** (-1 + 6 * np.arange(50) / 49)
        oc, zc = P.spectrum_scales(f, np.full(50, 10.0 + 0j))
        self.assertAlmostEqual(oc, 628.3185307179586, delta=1e-9)
        self.assertEqual(zc, 10.0)
        # upper median for an even count
        _, zc = P.spectrum_scales(np.array([1.0, 2, 3, 4]), np.array([4.0, 1, 3, 2], complex))
        self.assertEqual(zc, 3.0)

    def test_invalid_points_are_left_out_of_the_centroid(self):
        f = 10.0 ** (-1 + 6 * np.arange(50) / 49)
        z = rc_spectrum(f)
        base = P.spectrum_scales(f, z)
        f2 = np.concatenate([f, [0.0, -5.0, 3.0]])
        z2 = np.concatenate([z, [1 - 1j, 1 - 1j, 0j]])
        self.assertEqual(P.spectrum_scales(f2, z2), base)


class Resampling(unittest.TestCase):
    def test_interp_clamps_and_handles_repeated_abscissae(self):
        xs = np.array([0.0, 1.0, 1.0, 2.0])
        ys = np.array([0.0, 10.0, 20.0, 40.0])
        t = np.array([-1.0, 0.5, 1.0, 1.5, 3.0])
        # below the repeated point: towards the first of them; at/above: from the last
        np.testing.assert_array_equal(P.interp(xs, ys, t), [0.0, 5.0, 20.0, 30.0, 40.0])

    def test_phase_is_continued_across_the_branch_cut(self):
        raw = np.array([3.1, -3.1, -3.0, 3.13])
        phi = P.continuous_phase(raw)
        self.assertTrue(np.all(np.abs(np.diff(phi)) < math.pi))
        self.assertAlmostEqual(phi[1], -3.1 + TWO_PI, places=12)
        self.assertAlmostEqual(phi[3], 3.13, places=12)

    def test_features_do_not_depend_on_measurement_order(self):
        f = np.logspace(-2, 5, 37)
        z = rc_spectrum(f)
        g1, d1, *_ = P.features(f, z)
        g2, d2, *_ = P.features(f[::-1], z[::-1])
        # only the order of the centroid sums changes: last-bit differences
        np.testing.assert_allclose(g1, g2, rtol=1e-13, atol=1e-14)
        np.testing.assert_array_equal(d1, d2)
        self.assertAlmostEqual(d1[0], 7 * 0.125, places=12)
        self.assertAlmostEqual(d1[1], math.log10(37) * 0.5, places=12)
        # grid ends sit exactly on the measured ends
        self.assertAlmostEqual(
            g1[0, 0], math.log10(abs(z[0])) - math.log10(P.spectrum_scales(f, z)[1]), places=12
        )

    def test_too_few_points(self):
        with self.assertRaisesRegex(ValueError, "got 1"):
            P.features(np.array([1.0]), np.array([1 + 1j]))


class TargetsAndScaling(unittest.TestCase):
    def test_targets_invert_through_the_module_denormalisation(self):
        rng = np.random.default_rng(5)
        for topo, _win, vals in draws(rng):
            oc, zc = 10 ** rng.uniform(-2, 5), 10 ** rng.uniform(-2, 4)
            tgt = raw_targets(vals[None], T.scaling_rows(topo), T.log_params(topo), [oc], [zc])[0]
            zeros, ones = np.zeros(topo.n_params), np.ones(topo.n_params)
            back = denormalise(tgt, zeros, ones, T.log_params(topo), T.scaling_rows(topo), oc, zc)
            np.testing.assert_allclose(back, vals, rtol=1e-10, err_msg=topo.name)
            back_b = denormalise_batch(
                tgt[None],
                zeros,
                ones,
                T.log_params(topo),
                T.scaling_rows(topo),
                np.array([oc]),
                np.array([zc]),
            )[0]
            np.testing.assert_allclose(back_b, vals, rtol=1e-10, err_msg=topo.name)

    def test_scaling_rows_make_targets_dimensionless(self):
        # multiplying every impedance by k and every time by s must leave
        # targets unchanged when the scales move the same way
        topo = T.BY_NAME["sei_randles_wo"]
        rng = np.random.default_rng(9)
        p = T.sample_params(topo, T.sample_window(rng), rng)
        k, s = 37.0, 1e-3
        scaled = {}
        for n, v in p.items():
            kd = T.kind(n)
            a = p.get(n.split(".")[0] + ".alpha", 1.0)
            scaled[n] = {
                "r": v * k,
                "z0": v * k,
                "c": v * s / k,
                "q": v * s**a / k,
                "aw": v * k / math.sqrt(s),
                "tau": v * s,
                "alpha": v,
            }[kd]
        vals = np.array([[p[n] for n in topo.param_names]])
        vals2 = np.array([[scaled[n] for n in topo.param_names]])
        rows, lp = T.scaling_rows(topo), T.log_params(topo)
        np.testing.assert_allclose(
            raw_targets(vals, rows, lp, [100.0], [5.0]),
            raw_targets(vals2, rows, lp, [100.0 / s], [5.0 * k]),
            atol=1e-12,
        )

    def test_alpha_outputs_are_clamped(self):
        topo = T.BY_NAME["rq"]
        o = np.array([0.0, 0.0, 0.0, 3.0])
        v = denormalise(
            o, np.zeros(4), np.ones(4), T.log_params(topo), T.scaling_rows(topo), 1.0, 1.0
        )
        self.assertEqual(v[3], 1.0)
        v = denormalise(
            -o, np.zeros(4), np.ones(4), T.log_params(topo), T.scaling_rows(topo), 1.0, 1.0
        )
        self.assertEqual(v[3], 0.05)

    def test_interchangeable_arcs_are_put_fastest_first(self):
        topo = T.BY_NAME["two_rq"]
        p = {
            "R0.r": 1.0,
            "R1.r": 10.0,
            "CPE1.q": 1e-2,
            "CPE1.alpha": 0.9,
            "R2.r": 5.0,
            "CPE2.q": 1e-6,
            "CPE2.alpha": 0.7,
        }
        q = T.canonical_order(topo, p)
        self.assertEqual((q["R1.r"], q["CPE1.q"], q["CPE1.alpha"]), (5.0, 1e-6, 0.7))
        self.assertEqual((q["R2.r"], q["CPE2.q"], q["CPE2.alpha"]), (10.0, 1e-2, 0.9))
        self.assertEqual(T.canonical_order(topo, q), q)
        # a fit may flatten a CPE to α = 0 (no time constant): that arc goes last
        flat = {**p, "CPE1.alpha": 0.0}
        self.assertEqual(T.canonical_order(topo, flat)["CPE2.alpha"], 0.0)
        rng = np.random.default_rng(1)
        for _ in range(50):
            p = T.sample_params(topo, T.sample_window(rng), rng)
            self.assertEqual(T.canonical_order(topo, p), p)


class NetworkMirror(unittest.TestCase):
    def test_float64_reference_equals_the_pytorch_network(self):
        torch.manual_seed(3)
        topo = T.BY_NAME["two_rq"]
        m = GuessNet(16, 32, topo.n_params).double()
        with torch.no_grad():  # non-trivial norm parameters and a zero tap
            for prm in m.parameters():
                prm.add_(0.1 * torch.randn_like(prm))
            m.blocks[1].conv1.weight[3, 2, 1] = 0.0
        f = np.logspace(-1, 5, 45)
        grid, desc, *_ = P.features(f, rc_spectrum(f))
        with torch.no_grad():
            mu, lv = m(torch.from_numpy(grid)[None], torch.from_numpy(desc)[None])
        state = {k: v.numpy() for k, v in m.state_dict().items()}
        ref = reference_forward(state, grid, desc)
        np.testing.assert_allclose(
            ref, np.concatenate([mu[0].numpy(), lv[0].numpy()]), rtol=1e-11, atol=1e-12
        )


class Losses(unittest.TestCase):
    def setUp(self):
        g = torch.Generator().manual_seed(3)
        self.mean = torch.randn(64, 3, generator=g, requires_grad=True)
        self.logvar = torch.randn(64, 3, generator=g).clamp(-2, 2)
        self.target = torch.randn(64, 3, generator=g)

    def test_unit_weights_without_beta_are_the_plain_nll(self):
        plain = gaussian_nll(self.mean, self.logvar, self.target)
        weighted = weighted_gaussian_nll(self.mean, self.logvar, self.target, torch.ones(3), 0.0)
        self.assertAlmostEqual(plain.item(), weighted.item(), places=6)

    def test_beta_evens_out_the_pull_on_the_means(self):
        # beta = 1 gives every spectrum the squared-error gradient on its mean,
        # whatever variance the network assigns it
        loss = weighted_gaussian_nll(self.mean, self.logvar, self.target, torch.ones(3), 1.0)
        (grad,) = torch.autograd.grad(loss, self.mean)
        expected = (self.mean - self.target).detach() / self.mean.numel()
        self.assertTrue(torch.allclose(grad, expected, atol=1e-6))

    def test_laplace_with_half_beta_is_least_absolute_deviations_on_the_means(self):
        w = torch.tensor([1.0, 2.0, 1.0])
        loss = weighted_laplace_nll(self.mean, self.logvar, self.target, w, 0.5)
        (grad,) = torch.autograd.grad(loss, self.mean)
        expected = torch.sign(self.mean - self.target).detach() * w / self.mean.numel()
        self.assertTrue(torch.allclose(grad, expected, atol=1e-6))

    def test_parameter_weights_by_name(self):
        w = param_weights(T.BY_NAME["sei_randles"], "R2.r=2, CPE2.alpha=3")
        self.assertEqual(w.tolist(), [1, 1, 1, 1, 2, 1, 1, 3])
        with self.assertRaises(ValueError):
            param_weights(T.BY_NAME["sei_randles"], "R9.r=2")


class DataSplits(unittest.TestCase):
    def test_every_split_has_its_own_seed_and_the_inside_ones_draw_inside(self):
        import data as D

        seeds = [D.seed_for(topo, split) for topo in T.TOPOLOGIES for split in D.SPLIT_SEEDS]
        self.assertEqual(len(seeds), len(set(seeds)))
        seen = {}

        def fake_spectrum(topo, rng, backend, inside=False):
            seen[split] = inside
            f = np.logspace(-1, 4, 30)
            return f, rc_spectrum(f), np.ones(topo.n_params)

        real = D.make_spectrum
        D.make_spectrum = fake_spectrum
        try:
            for split in D.SPLIT_SEEDS:
                D.generate(T.BY_NAME["rc"], split, 1, backend=None)
        finally:
            D.make_spectrum = real
        self.assertEqual({s for s, inside in seen.items() if inside}, set(D.INSIDE_SPLITS))


class WeightFileLayout(unittest.TestCase):
    def test_every_topology_has_its_exact_size_and_reads_back(self):
        for topo in T.TOPOLOGIES:
            m = GuessNet(topo.channels, topo.hidden, topo.n_params)
            raw = export.file_bytes(
                topo, m.state_dict(), np.arange(topo.n_params), np.ones(topo.n_params)
            )
            parsed = export.check_file(topo, raw, m.state_dict())
            self.assertEqual(parsed.metadata["dilations"], "1,2,4,8")
            self.assertEqual(parsed.metadata["alpha_min"], "0.05")
            self.assertEqual(parsed.metadata["alpha_max"], "1.0")
            self.assertEqual(parsed.tensors["scaling"].size, 4 * topo.n_params)
            self.assertEqual(list(parsed.tensors)[0], "w.stem.weight")


class KorvaneAgreement(unittest.TestCase):
    def test_standin_matches_korvane_impedance(self):
        try:
            import korvane
        except ImportError:
            self.skipTest("korvane is not built into this interpreter")
        import standin

        for topo, win, vals in draws(np.random.default_rng(2)):
            zk = np.asarray(
                korvane.Circuit(topo.circuit).with_values(list(vals)).impedance(list(win.freqs))
            )
            np.testing.assert_allclose(
                zk, standin.impedance(topo.circuit, vals, win.freqs), rtol=1e-9, err_msg=topo.name
            )


class FitLossUnits(unittest.TestCase):
    def test_guess_in_normalised_units_gives_the_impedance_over_z_c(self):
        # The fit loss evaluates 10^t (t the unstandardised target) at ω/ω_c
        # and compares with Z/Z_c: that must be the physical impedance.
        import fit_loss
        import standin

        for topo, win, vals in draws(np.random.default_rng(5)):
            z = standin.impedance(topo.circuit, vals, win.freqs)
            _, _, oc, zc = P.features(win.freqs, z)
            t = raw_targets(vals[None], T.scaling_rows(topo), T.log_params(topo), [oc], [zc])
            v = np.where(T.log_params(topo) > 0, 10.0**t, t)
            w = torch.from_numpy(TWO_PI * win.freqs[None, :] / oc)
            got = fit_loss.impedance(topo.circuit, torch.from_numpy(v), w).numpy()[0] * zc
            np.testing.assert_allclose(got, z, rtol=1e-9, err_msg=topo.name)


if __name__ == "__main__":
    unittest.main()
