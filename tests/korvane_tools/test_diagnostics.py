import math

import korvane
import korvane_tools as kt
import numpy as np
from korvane_tools.diagnostics import time_constants
from resolvable_spectra import resolvable


def one_arc_data(seed=11):
    _, f, z, _ = resolvable("rq", np.random.default_rng(seed))
    return f, z


def test_a_well_posed_fit_is_quiet_and_a_second_arc_on_one_arc_data_is_flagged():
    f, z = one_arc_data()
    good = kt.fit(korvane.Circuit("R0-(R1,CPE1)"), (f, z))
    assert good.flags == {}
    c = good.correlation
    assert c.shape == (4, 4) and np.allclose(c, c.T) and np.allclose(np.diag(c), 1.0)
    assert "flags" not in str(kt.report(good, (f, z))).splitlines()[2]  # no flag text on rows

    over = kt.fit(korvane.Circuit("R0-(R1,CPE1)-(R2,CPE2)"), (f, z))
    reference = kt.fit(korvane.Circuit("R0-(R1,CPE1)-(R2,CPE2)"), (f, z)).flags
    f[:] = f[::-1].copy()  # a caller refilling its buffers: the result keeps its data
    assert over.flags == reference
    second_arc = {"R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"}
    assert set(over.flags) & second_arc
    text = str(kt.report(over, (f, z)))
    assert any(reason in text for reason in ("correlated with", "arc merged", "standard error"))


def test_fixed_parameters_leave_the_matrix_and_sigma_weights_its_rows():
    f, z = one_arc_data()
    circuit = korvane.Circuit("R0-(R1,CPE1)")
    held = kt.fit(circuit, (f, z), fixed={"R0.r": 1.0})
    assert held.correlation.shape == (3, 3) and "R0.r" not in held.flags

    # σ = |Z| is the modulus weighting: the same fit, the same correlations
    modulus = kt.fit(circuit, (f, z))
    sigma = kt.fit(circuit, (f, z), sigma=np.abs(z))
    assert np.allclose(modulus.correlation, sigma.correlation, atol=1e-6)


def test_time_constants_of_rc_cpe_randles_and_zarc_arcs():
    circuit = korvane.Circuit("R0-(C1,R1)-(R2-W2,CPE2)-Zarc3")
    values = {
        "R0.r": 1.0,
        "C1.c": 1e-6,
        "R1.r": 100.0,
        "R2.r": 50.0,
        "W2.aw": 3.0,
        "CPE2.q": 1e-3,
        "CPE2.alpha": 0.8,
        "Zarc3.r": 5.0,
        "Zarc3.tau_k": 0.25,
        "Zarc3.gamma": 0.9,
    }
    taus = time_constants(circuit, {n: values[n] for n in circuit.param_names()})
    assert taus.keys() == {"R1,C1", "R2,CPE2", "Zarc3"}
    assert math.isclose(taus["R1,C1"], 1e-4)
    assert math.isclose(taus["R2,CPE2"], (50.0 * 1e-3) ** (1 / 0.8))
    assert taus["Zarc3"] == 0.25
