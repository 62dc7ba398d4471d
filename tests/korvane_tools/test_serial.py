"""Circuit strings, and saving and loading circuits, fit results and reports."""

import json
import math
import random
import struct
import threading

import korvane
import korvane_tools as kt
import numpy as np
import pytest
from fit_fields import fit_result_fields
from korvane import Circuit, Parallel, Series
from korvane_tools import circuit_string, load, save

CODES = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]
TYPED_CODES = {"Cpe": ["Cpe", "CPE"], "Tlmq": ["Tlmq", "TLMQ"]}
F = np.logspace(-2, 5, 30)
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000ABC))[0]
NEGATIVE_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]


def bits(values):
    return [struct.pack("<d", v) for v in values]


def assert_rebuilds(circuit):
    """circuit_string gives a string that Circuit() parses into the same tree:
    the same names, and with the same values the same impedance, bit for bit."""
    text = circuit_string(circuit)
    rebuilt = Circuit(text)
    assert rebuilt.param_names() == circuit.param_names(), text
    valued = rebuilt.with_values(circuit.param_values())
    assert valued.impedance(F).tobytes() == circuit.impedance(F).tobytes(), text
    # Labels now spelled out: the canonical text of the rebuilt circuit is the
    # same string.
    assert circuit_string(rebuilt) == text
    return text


def test_trained_topologies():
    for name in Circuit.ml_circuits():
        circuit = Circuit(name)
        values = [0.5 + i for i in range(len(circuit.param_names()))]
        text = assert_rebuilds(circuit.with_values(values))
        # The trained tables write CPE and TLMQ upper-case, and so does the string.
        assert Circuit(text).__reduce__() == circuit.__reduce__()


class RandomCircuits:
    """Random trees of random element kinds: element objects (absent labels)
    and parsed single elements (labels in either spelling), joined with
    Series and Parallel, plus random circuit strings."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.label = 100  # clear of the generated labels, which count from 0

    def values(self, code):
        count = len(getattr(korvane, code).__match_args__)
        rng = self.rng
        return [rng.uniform(0.05, 0.95) * 10 ** rng.randint(-3, 2) for _ in range(count)]

    def leaf(self):
        code = self.rng.choice(CODES)
        if self.rng.random() < 0.5:
            return getattr(korvane, code)(*self.values(code))
        self.label += 1
        typed = self.rng.choice(TYPED_CODES.get(code, [code]))
        return Circuit(f"{typed}{self.label}").with_values(self.values(code))

    def built(self):
        parts = [self.leaf() for _ in range(self.rng.randint(2, 7))]
        while len(parts) > 1:
            take = self.rng.randint(1, min(3, len(parts)))
            joined = (Series if self.rng.random() < 0.5 else Parallel)(parts[-take:])
            parts[-take:] = [joined]
        whole = parts[0]
        return whole if isinstance(whole, Circuit) else Series([whole])

    def text(self, depth=0):
        parts = []
        for _ in range(self.rng.randint(1, 3)):
            if depth < 3 and self.rng.random() < 0.3:
                opening = self.rng.choice(["(", "p("])
                branches = [self.text(depth + 1) for _ in range(self.rng.randint(1, 3))]
                parts.append(opening + ",".join(branches) + ")")
            else:
                self.label += 1
                code = self.rng.choice(CODES)
                parts.append(f"{self.rng.choice(TYPED_CODES.get(code, [code]))}{self.label}")
        return "-".join(parts)


def test_random_circuits():
    gen = RandomCircuits(15)
    for _ in range(150):
        assert_rebuilds(gen.built())
    for _ in range(150):
        text = gen.text()
        assert circuit_string(Circuit(text)) == text.replace("p(", "(")
        assert_rebuilds(Circuit(text))


def test_unlabeled_elements_get_their_parameter_labels():
    R, C = korvane.R, korvane.C
    circuit = Series([R(1.0), Parallel([R(2.0), C(1e-6)]), Circuit("CPE4")])
    assert circuit_string(circuit) == "R0-(R1,C0)-CPE4"
    assert circuit_string(Series([korvane.Zarc(1, 2, 0.5), korvane.K(3, 4)])) == "Zarc0-K0"


def test_circuits_no_string_can_write():
    unwritable = [
        Series([]),
        Parallel([]),
        Parallel([Series([]), korvane.R(1.0)]),
        Series([Circuit("R0"), Circuit("R0")]),
        Series([Circuit("R0"), korvane.R(1.0)]),
    ]
    for circuit in unwritable:
        with pytest.raises(ValueError, match="cannot be written as a circuit string"):
            circuit_string(circuit)
    with pytest.raises(TypeError, match="expected a korvane.Circuit"):
        circuit_string("R0-C1")


# ---- save and load --------------------------------------------------------------------


def test_circuits_save_and_load_exactly(tmp_path):
    odd = [-0.0, PAYLOAD_NAN, NEGATIVE_NAN, math.inf, -math.inf, 5e-324, 1e308, 0.1]
    circuits = [
        Circuit("R0-(R1,CPE1)-T2").with_values(odd),
        Circuit("randles"),  # placeholders, values_explicit false
        Series([korvane.R(1.0), Parallel([korvane.K(2.0, 3.0), Circuit("Zarc9")])]),
        Series([]),
        Series([Circuit("R0"), korvane.R(2.0)]),
    ]
    for i, circuit in enumerate(circuits):
        path = tmp_path / f"c{i}.json"
        save(circuit, path)
        loaded = load(str(path))
        assert type(loaded) is Circuit
        assert loaded.__reduce__() == circuit.__reduce__()
        assert bits(loaded.param_values()) == bits(circuit.param_values())
    document = json.loads((tmp_path / "c0.json").read_text())
    head = (document["format"], document["version"], document["kind"])
    assert head == ("korvane-tools", 1, "circuit")
    assert document["circuit"]["text"] == "R0-(R1,CPE1)-T2"
    values = [p["value"] for p in document["circuit"]["parameters"]]
    assert values == [
        -0.0,
        "nan:0x7ff8000000000abc",
        "nan:0xfff8000000000000",
        "inf",
        "-inf",
        5e-324,
        1e308,
        0.1,
    ]
    assert document["circuit"]["parameters"][2] == {
        "name": "CPE1.q",
        "value": "nan:0xfff8000000000000",
        "unit": "ohm^-1*s^alpha",
        "bounds": [1e-12, "inf"],
    }


def fit_results():
    truth = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    start = Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-5])
    z = truth.impedance(F)
    bad = z.copy()
    bad[2] = complex("nan")
    return [start.fit(F, z), start.fit(F, bad), start.fit(F[:1], z[:1])]


def test_fit_results_save_and_load_exactly(tmp_path):
    results = fit_results()
    assert [r.success for r in results[:2]] == [True, False] and results[2].stderr is None
    for i, result in enumerate(results):
        path = tmp_path / f"fit{i}.json"
        save(result, path, data=(F, result.circuit.impedance(F)))
        loaded = load(path)
        assert type(loaded) is korvane.FitResult
        assert fit_result_fields(loaded) == fit_result_fields(result)
    document = json.loads((tmp_path / "fit0.json").read_text())
    summary = {"points": 30, "frequency_min_hz": F.min(), "frequency_max_hz": F.max()}
    assert document["data"] == summary
    assert set(document["fit"]) == {
        "params",
        "stderr",
        "success",
        "iterations",
        "impedance_evals",
        "cost",
        "chi_square",
    }


def test_constrained_results_save_and_load_as_themselves(tmp_path):
    f = np.logspace(4, -1, 30)
    circuit = Circuit("R0-(R1,C1)")
    z = circuit.with_values([10.0, 100.0, 1e-5]).impedance(f)
    result = kt.fit(circuit, (f, z), fixed={"R0.r": 10.0}, bounds={"R1.r": (1.0, 90.0)})
    assert result.at_bound == ("R1.r",)
    path = tmp_path / "constrained.json"
    save(result, path)
    fit = json.loads(path.read_text())["fit"]
    assert (fit["fixed"], fit["at_bound"]) == (["R0.r"], ["R1.r"])
    loaded = load(path)
    assert type(loaded) is type(result)
    assert (loaded.fixed, loaded.at_bound, loaded.bounds) == (
        result.fixed,
        result.at_bound,
        result.bounds,
    )
    assert loaded.circuit.param_values() == result.circuit.param_values()
    assert loaded.params == result.params and loaded.chi_square == result.chi_square
    assert math.isnan(loaded.stderr["R0.r"]) and loaded.stderr["R1.r"] == result.stderr["R1.r"]


class TinyReport:
    def __init__(self, title, numbers, worst):
        self.title, self.numbers, self.worst = title, numbers, worst

    def to_dict(self):
        return {
            "title": self.title,
            "numbers": np.asarray(self.numbers),
            "worst": self.worst,
            "nested": {"count": np.int64(3), "z": 1 - 2j},
        }

    @classmethod
    def from_dict(cls, d):
        assert d["nested"] == {"count": 3, "z": 1 - 2j}
        return cls(d["title"], d["numbers"], d["worst"])


def test_reports_save_and_load(tmp_path):
    path = tmp_path / "report.json"
    save(TinyReport("Randles — cell 3", [1.5, -0.0, math.inf], math.nan), path)
    document = json.loads(path.read_text(encoding="utf-8"))
    assert document["kind"] == "report"
    assert document["report"]["class"] == "test_serial.TinyReport"
    loaded = load(path, report_class=TinyReport)
    assert loaded.title == "Randles — cell 3"
    assert bits(loaded.numbers) == bits([1.5, -0.0, math.inf]) and math.isnan(loaded.worst)
    with pytest.raises(TypeError, match="expected a korvane.Circuit, a fit result or a report"):
        save(object(), path)


def set_in(*path_and_value):
    """An edit of the saved document: set (or with value DROP, remove) the
    entry at the path."""
    *path, value = path_and_value

    def apply(document):
        *parents, last = path
        for key in parents:
            document = document[key]
        if value is DROP:
            document.pop(last)
        else:
            document[last] = value

    return apply


DROP = object()
TEXT_DAMAGE = {
    "truncated": lambda text: text[: len(text) // 2].encode(),
    "not JSON": lambda text: b"garbage",
    "not UTF-8": lambda text: b"\xff\xfe{",
    "array": lambda text: b"[]",
    "integer of 5000 digits": lambda text: text.replace(
        '"iterations": ', '"iterations": ' + "7" * 5000 + ', "x": '
    ).encode(),
}
DOCUMENT_DAMAGE = {
    "unknown version": set_in("version", 2),
    "other format": set_in("format", "other"),
    "unknown kind": set_in("kind", "plot"),
    "no circuit": set_in("circuit", DROP),
    "no fit": set_in("fit", DROP),
    "bad text": set_in("circuit", "text", "R0-(R1"),
    "renamed": set_in("circuit", "text", "R0-(R1,C2)"),
    "value type": set_in("circuit", "parameters", 0, "value", [1]),
    "value text": set_in("circuit", "parameters", 0, "value", "ten"),
    "value too large": set_in("circuit", "parameters", 0, "value", 10**400),
    "missing value": set_in("circuit", "parameters", 2, DROP),
    "unlabeled": set_in("circuit", "unlabeled", [7]),
    "negative count": set_in("fit", "iterations", -1),
    "count as bool": set_in("fit", "iterations", True),
    "success as int": set_in("fit", "success", 1),
    "stderr as list": set_in("fit", "stderr", [1.0]),
    # A fit that does not belong to its circuit.
    "params renamed": lambda d: d["fit"].update(params={"X": 1.0, **d["fit"]["params"]}),
    "param value differs": set_in("fit", "params", "R1.r", 1.5),
    "stderr renamed": lambda d: d["fit"].update(stderr={"R0.r": 1.0}),
    "fixed unknown": set_in("fit", "fixed", ["R9.r"]),
    "at_bound unknown": set_in("fit", "at_bound", ["C1.q"]),
    "bounds NaN": set_in("fit", "bounds", "R1.r", ["nan", 90.0]),
    "bounds inverted": set_in("fit", "bounds", "R1.r", [90.0, 1.0]),
}
# Damage to a saved report (of a real fit).
REPORT_DAMAGE = {
    "report iterations 1e400": set_in("report", "content", "iterations", 1e400),
    "report without parameters": set_in("report", "content", "parameters", DROP),
}


def constrained_result():
    f = np.logspace(4, -1, 30)
    circuit = Circuit("R0-(R1,C1)")
    z = circuit.with_values([10.0, 100.0, 1e-5]).impedance(f)
    return kt.fit(circuit, (f, z), fixed={"R0.r": 10.0}, bounds={"R1.r": (1.0, 90.0)})


@pytest.mark.parametrize("damage", [*TEXT_DAMAGE, *DOCUMENT_DAMAGE, *REPORT_DAMAGE])
def test_damaged_files_raise_value_error_naming_the_file(tmp_path, damage):
    good = tmp_path / "good.json"
    if damage in REPORT_DAMAGE:
        save(kt.report(fit_results()[0], (F, fit_results()[0].circuit.impedance(F))), good)
    else:
        save(constrained_result(), good)
    text = good.read_text(encoding="utf-8")
    if damage in TEXT_DAMAGE:
        raw = TEXT_DAMAGE[damage](text)
    else:
        document = json.loads(text)
        {**DOCUMENT_DAMAGE, **REPORT_DAMAGE}[damage](document)
        raw = json.dumps(document).encode()
    bad = tmp_path / "bad.json"
    bad.write_bytes(raw)
    with pytest.raises(ValueError, match="cannot load .*bad.json") as error:
        load(bad)
    if damage == "unknown version":
        assert "unsupported version 2: this korvane_tools reads version 1" in str(error.value)
    if damage == "truncated":
        assert "not valid JSON" in str(error.value)


def test_saved_report_of_a_real_fit_loads_as_a_report(tmp_path):
    import numpy as np

    circuit = korvane.Circuit("R0-(R1,C1)")
    f = np.logspace(4, -1, 30)
    z = circuit.with_values([10.0, 100.0, 1e-5]).impedance(f)
    original = kt.report(circuit.fit(f, z), (f, z))
    kt.save(original, tmp_path / "report.json")
    loaded = kt.load(tmp_path / "report.json")
    assert type(loaded) is type(original)
    assert str(loaded) == str(original)


def test_concurrent_saves_and_loads_of_one_path_see_whole_files(tmp_path):
    path = tmp_path / "shared.json"
    results = fit_results()[:2]
    save(results[0], path)
    failures = []

    def work(i):
        try:
            for _ in range(40):
                save(results[i % 2], path)
                assert type(load(path)) is korvane.FitResult
        except Exception as error:  # collected: a thread's exception would be lost
            failures.append(repr(error))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert [p.name for p in tmp_path.iterdir()] == ["shared.json"]
