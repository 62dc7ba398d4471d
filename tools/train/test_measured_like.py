"""Measurement-like spectra and their labels (needs korvane and korvane_tools).

python -m unittest tools/train/test_measured_like.py
"""

import sys
import unittest
from pathlib import Path
from unittest import mock

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import topologies as T  # noqa: E402

try:
    import korvane  # noqa: F401
    import korvane_tools  # noqa: F401
except ImportError:
    korvane = None


@unittest.skipIf(korvane is None, "labelling needs korvane and korvane_tools")
class MeasuredLike(unittest.TestCase):
    def test_spectra_are_seeded_and_shaped_as_the_target_is_fitted(self):
        import measured_like as M

        for name in ("sei_randles", "two_rq_l"):
            target = T.BY_NAME[name]
            first = [M.measured_like(target, np.random.default_rng(s)) for s in range(40)]
            again = [M.measured_like(target, np.random.default_rng(s)) for s in range(40)]
            for (f, z), (f2, z2) in zip(first, again):
                self.assertTrue(np.array_equal(f, f2) and np.array_equal(z, z2))
                self.assertLessEqual(f.size, M.MAX_POINTS)
                self.assertTrue(np.all(np.isfinite(z)) and np.all(f > 0))
            inductive = [bool(np.any(z.imag > 0)) for _, z in first]
            # inductive points are removed for a target without an inductor only
            self.assertEqual(any(inductive), name.endswith("_l"))

    def test_a_label_is_at_least_as_good_as_the_default_fit_and_shards_resume(self):
        import korvane_tools as kt
        import measured_like as M

        target = T.BY_NAME["rq"]
        f, z = M.measured_like(target, np.random.default_rng(3))
        params, chi = M.label(target, f, z, seed=3)
        default = kt.fit(korvane.Circuit(target.circuit), (f, z))
        self.assertLessEqual(chi, default.chi_square)
        self.assertEqual(list(params), list(target.param_names))

        with mock.patch.object(M, "SHARD", 2), mock.patch.object(M, "LABEL_STARTS", 2):
            with mock.patch.object(M, "RUNS", Path(self.tmp())):
                path = M.make_shard(target, "val", 0)
                stamp = path.stat().st_mtime_ns
                with mock.patch(
                    "sys.argv", ["measured_like.py", "rq", "--split", "val", "--count", "2"]
                ):
                    M.main()  # the shard is there: nothing is relabelled
                self.assertEqual(path.stat().st_mtime_ns, stamp)
                shard = np.load(path)
                self.assertEqual(shard["params"].shape, (2, target.n_params))
                self.assertEqual(shard["grid"].shape[:2], (2, 3))

    def tmp(self):
        import tempfile

        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        return d.name


if __name__ == "__main__":
    unittest.main()
