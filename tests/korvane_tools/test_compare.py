import korvane_tools as kt
import numpy as np
import pytest
from korvane_tools.comparison import TRAINED, default_circuits
from resolvable_spectra import resolvable


def test_bic_ranks_the_generating_topology_first_when_its_elements_show():
    rng = np.random.default_rng(2024)
    hits, misses = 0, []
    for name in TRAINED:
        for _ in range(3):
            text, f, z, _ = resolvable(name, rng)
            assert text in default_circuits((f, z))  # inductive data get the L models
            ranked = kt.compare((f, z))
            if ranked["circuit"].iloc[0] == text:
                hits += 1
            else:
                misses.append((name, ranked["circuit"].iloc[0]))
    assert hits >= 0.9 * 3 * len(TRAINED), misses


def test_the_table_is_ranked_and_a_circuit_that_cannot_be_fitted_ranks_last():
    text, f, z, _ = resolvable("rq", np.random.default_rng(5))
    table = kt.compare((f, z), ["R0-(R1,CPE1)", "R0-(R1,C1)", "R0-(R1,CPE1)-(R2,CPE2)"])
    assert list(table["bic"]) == sorted(table["bic"])
    assert table["circuit"].iloc[0] == text
    assert table.loc[0, "delta_bic"] == 0 and table.loc[0, "dof"] == 2 * f.size - 4
    # the two-arc model halves an arc the data show once: flagged
    two = table[table["circuit"] == "R0-(R1,CPE1)-(R2,CPE2)"].iloc[0]
    assert two["flags"]

    # fixing every parameter leaves nothing to fit: an error row, not an exception
    held = kt.compare((f, z), ["R0-(R1,CPE1)", "R0-(R1,C1)"], fixed=["R0.r", "R1.r", "C1.c"])
    assert held["circuit"].iloc[-1] == "R0-(R1,C1)" and held["error"].iloc[-1]
    with pytest.raises(ValueError, match="at least one"):
        kt.compare((f, z), [])
