"""Module namespace, classes, signatures, docstrings and reprs."""

import inspect
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import korvane
import pytest

CODES = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]
ARGS = {
    "R": ("r",),
    "C": ("c",),
    "L": ("l",),
    "La": ("l", "alpha"),
    "Cpe": ("q", "alpha"),
    "W": ("aw",),
    "Wo": ("z0", "tau"),
    "Ws": ("z0", "tau"),
    "G": ("rg", "tg"),
    "Gs": ("rg", "tg", "phi"),
    "K": ("r", "tau_k"),
    "Zarc": ("r", "tau_k", "gamma"),
    "Tlmq": ("r_ion", "qs", "gamma"),
    "T": ("a", "b", "k_tau", "tau"),
}


def test_namespace_order_and_all():
    expected = ["Element", "Circuit", "FitResult", "Series", "Parallel"] + CODES
    assert korvane.__all__ == expected
    public = [name for name in vars(korvane) if not name.startswith("__")]
    assert public == expected
    assert korvane.__doc__ == ""
    for code in CODES:
        assert getattr(korvane, code) is getattr(korvane.Element, code)


def test_element_classes():
    for code in CODES:
        cls = getattr(korvane, code)
        names = ARGS[code]
        assert cls.__name__ == "Element_" + code
        assert cls.__module__ == "korvane"
        assert issubclass(cls, korvane.Element)
        assert cls.__match_args__ == names
        assert cls.__text_signature__ == "(" + ", ".join(names) + ")"
        assert list(inspect.signature(cls).parameters) == list(names)
        assert cls.__doc__ == ""
        values = [1.5 + k for k in range(len(names))]
        by_position = cls(*values)
        by_keyword = cls(**dict(zip(names, values)))
        assert [getattr(by_position, n) for n in names] == values
        assert repr(by_position) == repr(by_keyword)
        with pytest.raises(AttributeError):
            setattr(by_position, names[0], 2.0)


def test_element_construction_errors():
    with pytest.raises(TypeError, match="^No constructor defined for Element$"):
        korvane.Element()
    with pytest.raises(TypeError):
        korvane.Zarc(1.0, 2.0)  # missing gamma
    with pytest.raises(TypeError):
        korvane.R(1.0, r=2.0)  # given twice
    with pytest.raises(TypeError):
        korvane.R(x=1.0)
    with pytest.raises(TypeError, match="^argument 'tau_k': "):
        korvane.K(1.0, "0.1")
    with pytest.raises(TypeError):
        object.__new__(korvane.R)
    with pytest.raises(TypeError):
        korvane.Element.R = korvane.C  # the namespace cannot be rebound through the class


def test_element_match_statement():
    match korvane.Zarc(10, 0.001, 0.9):
        case korvane.Zarc(r, tau_k, gamma):
            assert (r, tau_k, gamma) == (10.0, 0.001, 0.9)
        case _:
            pytest.fail("class pattern did not match")


@pytest.mark.parametrize(
    "element, text",
    [
        (korvane.Zarc(10, 0.001, 0.9), "Element.Zarc(r=10.0, tau_k=0.001, gamma=0.9)"),
        (korvane.R(100), "Element.R(r=100.0)"),
        (korvane.C(1e-5), "Element.C(c=1e-5)"),
        (korvane.R(1e16), "Element.R(r=1e16)"),
        (korvane.R(1e15), "Element.R(r=1000000000000000.0)"),
        (korvane.R(0.0001), "Element.R(r=0.0001)"),
        (korvane.R(-0.0), "Element.R(r=-0.0)"),
        (korvane.La(float("nan"), float("inf")), "Element.La(l=NaN, alpha=inf)"),
        (korvane.T(1, 2.5e7, 3, 0.5), "Element.T(a=1.0, b=25000000.0, k_tau=3.0, tau=0.5)"),
    ],
)
def test_element_repr(element, text):
    assert repr(element) == text


def test_circuit_class_surface():
    C = korvane.Circuit
    assert C.__text_signature__ == "(s)"
    assert not C.__doc__
    assert "__str__" not in vars(C)
    lines = {
        "ml_circuits": "()",
        "param_names": "($self)",
        "param_values": "($self)",
        "param_bounds": "($self)",
        "param_units": "($self)",
        "with_values": "($self, values)",
        "with_named_values": "($self, values)",
        "impedance": "($self, frequencies)",
        "residuals": '($self, params, frequencies, impedances=None, weight="modulus")',
        "jacobian": '($self, params, frequencies, impedances=None, weight="modulus")',
    }
    for name, signature in lines.items():
        assert getattr(C, name).__text_signature__ == signature, name
    assert C.ml_circuits.__doc__ == (
        "Names accepted by the constructor that have trained initial-parameter\n"
        "models, and so get a guessed starting point from `fit()` by default."
    )
    assert C.param_units.__doc__ == "Physical units per parameter"
    assert C.impedance.__doc__ is None
    assert C.residuals.__doc__.startswith("Weighted residual vector (interleaved")
    assert C.jacobian.__doc__.endswith("`scipy.optimize.least_squares(jac=...)` expects.")
    assert str(inspect.signature(C("R0").residuals)) == (
        "(params, frequencies, impedances=None, weight='modulus')"
    )


def test_functions_surface():
    assert korvane.Series.__text_signature__ == "(parts)"
    assert korvane.Parallel.__text_signature__ == "(parts)"
    assert korvane.Series.__doc__ == "Connect elements and circuits end to end."
    assert korvane.Parallel.__doc__ == "Connect elements and circuits as parallel branches."
    assert korvane.Series.__module__ == "korvane"


def test_fit_result_class():
    with pytest.raises(TypeError, match="^No constructor defined for FitResult$"):
        korvane.FitResult()
    for name in [
        "circuit",
        "params",
        "stderr",
        "success",
        "iterations",
        "impedance_evals",
        "cost",
        "chi_square",
    ]:
        assert inspect.isdatadescriptor(getattr(korvane.FitResult, name)), name


def test_reimport_returns_the_same_module():
    first = korvane
    del sys.modules["korvane"]
    try:
        import korvane as again

        assert again is first
    finally:
        sys.modules["korvane"] = first


def test_second_interpreter_is_refused():
    pytest.importorskip("_interpreters")
    script = textwrap.dedent(
        f"""
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import korvane
            outcome = "imported"
        except ImportError as error:
            outcome = "refused: " + str(error)
        """
    )
    code = textwrap.dedent(
        f"""
        import _interpreters, korvane
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(config)
            _interpreters.run_string(interp, {script!r} + "\\nprint(outcome)")
            _interpreters.destroy(interp)
        print(korvane.Circuit("R0").param_names())
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=_child_env()
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    assert lines[0].startswith("refused: ") and "sub-interpreters" in lines[0]
    assert lines[1].startswith("refused: ")
    assert lines[2] == "['R0.r']"  # the first interpreter is unaffected


def _child_env():
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = str(__import__("pathlib").Path(korvane.__file__).parent)
    return env


def test_import_without_numpy():
    # NumPy is found on the first impedance call, never at import.
    code = textwrap.dedent(
        """
        import sys

        class BlockNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is blocked in this test")
                return None

        sys.meta_path.insert(0, BlockNumpy())
        import korvane
        c = korvane.Circuit("R0-(R1,C1)")
        print(c.param_names())
        print(c.residuals([1, 1, 1e-3], [1.0], [2 + 0j]))
        for attempt in range(2):
            try:
                c.impedance([1.0, 2.0])
            except ImportError as error:
                print("ImportError:", error)
        print("numpy" in sys.modules)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=_child_env()
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "['R0.r', 'R1.r', 'C1.c']"
    assert lines[1].startswith("[")
    assert lines[2] == lines[3] == "ImportError: numpy is blocked in this test"
    assert lines[4] == "False"


def test_names_match_the_recorded_namespace():
    # dir() of the module and of every class (less what `object` brings) as
    # recorded in data/korvane_dir.json: nothing added, nothing lost.
    recorded = json.loads((Path(__file__).parent / "data" / "korvane_dir.json").read_text())
    base = set(dir(object))
    found = {"korvane": dir(korvane)}
    for name in korvane.__all__:
        value = getattr(korvane, name)
        if isinstance(value, type):
            found[name] = sorted(set(dir(value)) - base)
    assert found == recorded
