"""Circuit strings, and saving and loading circuits, fits and reports as JSON.

A circuit has one serialised form, the state its ``__reduce__`` gives to
pickle: the canonical circuit text (every element written with a label), the
indices of the elements whose label is absent, the exact parameter values
and ``values_explicit``. :func:`circuit_string` returns that text when it is a
circuit string, and :func:`save` writes that form into a versioned JSON file
which :func:`load` reads back bit for bit.

File layout (format ``"korvane-tools"``, version 1)::

    {"format": "korvane-tools", "version": 1, "kind": "circuit" | "fit_result" | "report",
     "circuit": {"text": "R0-(R1,C1)", "unlabeled": [], "values_explicit": true,
                 "parameters": [{"name": "R0.r", "value": 10.0, "unit": "ohm",
                                 "bounds": [1e-12, "inf"]}, ...]},
     "fit": {"params": {...}, "stderr": {...} | null, "success": true,
             "iterations": 12, "impedance_evals": 340, "cost": ..., "chi_square": ...,
             "fixed": [...], "at_bound": [...]},              # the last two when present
     "data": {"points": 40, "frequency_min_hz": ..., "frequency_max_hz": ...},  # optional
     "report": {"class": "module.Name", "content": {...}}}  # kind "report" only

Numbers: a finite value is a JSON number written with the shortest digits
that read back as the same double (so -0.0 stays -0.0); infinities are the
strings ``"inf"`` and ``"-inf"``; NaN is ``"nan"``, or ``"nan:0x7ff8..."`` with
its 64 bits in hex when they differ from the default quiet NaN.
"""

from __future__ import annotations

import contextlib
import importlib
import json
import math
import os
import struct
import tempfile
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import korvane
import numpy as np

from ._data import Data, spectrum
from ._types import FitLike

FORMAT = "korvane-tools"
VERSION = 1

# The state layout of korvane's reconstructors that this module reads and
# writes (see korvane's pickle support): (1, text, unlabeled, values, flag).
_STATE_VERSION = 1
_DEFAULT_NAN_BITS = 0x7FF8000000000000
_FIT_ATTRIBUTES = (
    "circuit",
    "params",
    "stderr",
    "success",
    "iterations",
    "impedance_evals",
    "cost",
    "chi_square",
)

PathLike = str | os.PathLike[str]


# Reading the umask means setting it: done once, at import, before any thread saves.
_UMASK = os.umask(0o022)
os.umask(_UMASK)


class _Damaged(Exception):
    """A file that is valid JSON but not a well-formed saved object."""


# ---- the serialised form of a circuit -------------------------------------------


def _circuit_state(circuit: korvane.Circuit) -> tuple[str, tuple[int, ...], bytes, bool]:
    if not isinstance(circuit, korvane.Circuit):
        raise TypeError(f"expected a korvane.Circuit, got {type(circuit).__name__}")
    reduced: Any = circuit.__reduce__()
    version, text, unlabeled, values, values_explicit = reduced[1]
    if version != _STATE_VERSION:
        raise RuntimeError(f"korvane gives circuit state version {version}, expected 1")
    return text, unlabeled, values, values_explicit


def _circuit_from_state(
    text: str, unlabeled: Sequence[int], values: Sequence[float], values_explicit: bool
) -> korvane.Circuit:
    rebuild = korvane.Circuit._from_state  # type: ignore[attr-defined]  # private: not in the stub
    circuit: korvane.Circuit = rebuild(
        _STATE_VERSION, text, tuple(unlabeled), _pack(values), values_explicit
    )
    return circuit


def _pack(values: Sequence[float]) -> bytes:
    return struct.pack(f"<{len(values)}d", *values)


def _unpack(data: bytes) -> list[float]:
    return list(struct.unpack(f"<{len(data) // 8}d", data))


def circuit_string(circuit: korvane.Circuit) -> str:
    """The circuit string of ``circuit``: ``korvane.Circuit(s)`` rebuilds its tree
    with the same labels and parameter names.

    Elements without a label (from ``Series``/``Parallel`` of element objects)
    are written with the label their parameter names already use, so
    ``Series([R(1), Parallel([R(2), C(1e-6)])])`` gives ``"R0-(R1,C0)"``. The
    string does not carry the values (``Circuit(s)`` starts from
    placeholders; use ``with_values(circuit.param_values())``) nor whether a
    label was absent; pickle and :func:`save` keep both.

    Raises ``ValueError`` for the few circuits no circuit string can write:
    ``Series([])``, ``Parallel([])`` (or circuits containing them), and two
    elements with the same name (``Series([Circuit("R0"), R(1)])``).
    """
    text, _, _, _ = _circuit_state(circuit)
    try:
        rebuilt = korvane.Circuit(text)
    except ValueError as error:
        reason = str(error).split("\n", 1)[0]
        raise ValueError(
            f"this circuit cannot be written as a circuit string ({reason}; canonical text "
            f"{text!r}); pickle or korvane_tools.save keep it exactly"
        ) from None
    if rebuilt.param_names() != circuit.param_names():  # pragma: no cover - a korvane defect
        raise RuntimeError(f"circuit string {text!r} does not name the same parameters")
    return text


# ---- numbers -----------------------------------------------------------------------


def _encode_float(x: float) -> float | str:
    if math.isfinite(x):
        return x
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    (bits,) = struct.unpack("<Q", struct.pack("<d", x))
    return "nan" if bits == _DEFAULT_NAN_BITS else f"nan:0x{bits:016x}"


def _decode_float(value: Any, where: str) -> float:
    if isinstance(value, bool):
        raise _Damaged(f"{where} must be a number, got {value!r}")
    if isinstance(value, (int, float)):
        try:
            return float(value)
        except OverflowError:
            raise _Damaged(f"{where} is out of range: {value}") from None
    if isinstance(value, str):
        if value == "inf":
            return math.inf
        if value == "-inf":
            return -math.inf
        if value == "nan":
            return math.nan
        if value.startswith("nan:0x") and len(value) == 22:
            try:
                bits = int(value[6:], 16)
            except ValueError:
                pass
            else:
                number: float = struct.unpack("<d", struct.pack("<Q", bits))[0]
                if math.isnan(number):
                    return number
    raise _Damaged(f"{where} must be a number, 'inf', '-inf' or 'nan', got {value!r}")


# ---- saving ------------------------------------------------------------------------


def _circuit_document(circuit: korvane.Circuit) -> dict[str, Any]:
    text, unlabeled, values, values_explicit = _circuit_state(circuit)
    numbers = _unpack(values)
    parameters = [
        {
            "name": name,
            "value": _encode_float(value),
            "unit": unit,
            "bounds": [_encode_float(lo), _encode_float(hi)],
        }
        for name, value, unit, (lo, hi) in zip(
            circuit.param_names(),
            numbers,
            circuit.param_units(),
            circuit.param_bounds(),
            strict=True,
        )
    ]
    return {
        "text": text,
        "unlabeled": list(unlabeled),
        "values_explicit": values_explicit,
        "parameters": parameters,
    }


def _is_fit_result(obj: Any) -> bool:
    return isinstance(obj, korvane.FitResult) or all(hasattr(obj, a) for a in _FIT_ATTRIBUTES)


def _named(values: Mapping[str, float]) -> dict[str, float | str]:
    return {str(name): _encode_float(float(value)) for name, value in values.items()}


def _fit_document(result: FitLike) -> dict[str, Any]:
    stderr = result.stderr
    fit: dict[str, Any] = {
        "params": _named(result.params),
        "stderr": None if stderr is None else _named(stderr),
        "success": bool(result.success),
        "iterations": int(result.iterations),
        "impedance_evals": int(result.impedance_evals),
        "cost": _encode_float(float(result.cost)),
        "chi_square": _encode_float(float(result.chi_square)),
    }
    # Constrained fits say which parameters were held and which ended on a bound.
    for extra in ("fixed", "at_bound"):
        names = getattr(result, extra, None)
        if names is not None:
            fit[extra] = [str(name) for name in names]
    bounds = getattr(result, "bounds", None)
    if isinstance(bounds, Mapping):  # the bounds a constrained fit used
        fit["bounds"] = {
            str(name): [_encode_float(float(lo)), _encode_float(float(hi))]
            for name, (lo, hi) in bounds.items()
        }
    return fit


def _plain(value: Any) -> Any:
    """JSON-ready copy of a report's content: NumPy values become Python ones,
    non-finite floats a tagged string so the file stays strict JSON."""
    if isinstance(value, Mapping):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        return _plain(value.item())
    if isinstance(value, float) and not math.isfinite(value):
        return {"$float": _encode_float(value)}
    if isinstance(value, complex):
        return {"$complex": [_plain(value.real), _plain(value.imag)]}
    return value


def _unplain(value: Any) -> Any:
    if isinstance(value, dict):
        if len(value) == 1 and "$float" in value:
            return _decode_float(value["$float"], "a tagged number")
        if len(value) == 1 and "$complex" in value:
            re, im = value["$complex"]
            return complex(_unplain(re), _unplain(im))
        return {k: _unplain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_unplain(v) for v in value]
    return value


def _data_summary(data: Data) -> dict[str, Any]:
    frequencies, _ = spectrum(data)
    finite = frequencies[np.isfinite(frequencies)]
    return {
        "points": int(frequencies.size),
        "frequency_min_hz": _encode_float(float(finite.min())) if finite.size else None,
        "frequency_max_hz": _encode_float(float(finite.max())) if finite.size else None,
    }


def save(obj: Any, path: PathLike, *, data: Data | None = None) -> None:
    """Write a circuit, a fit result or a report to ``path`` as JSON.

    ``obj`` is a ``korvane.Circuit``, a ``korvane.FitResult`` (or a result of
    :func:`korvane_tools.fit`, whose fixed and at-bound parameters are kept),
    or a report: any object with ``to_dict()`` whose class has
    ``from_dict(d)``, such as :class:`korvane_tools.Report`. ``data``
    optionally adds a summary of the measured spectrum (number of points,
    frequency range) for whoever reads the file later.

    The file keeps the circuit's tree, labels (absent ones too), every value
    bit for bit, the parameter names, units and bounds, and all attributes of
    a fit result; :func:`load` reads it back.
    """
    document: dict[str, Any] = {"format": FORMAT, "version": VERSION}
    if isinstance(obj, korvane.Circuit):
        document["kind"] = "circuit"
        document["circuit"] = _circuit_document(obj)
    elif _is_fit_result(obj):
        document["kind"] = "fit_result"
        document["circuit"] = _circuit_document(obj.circuit)
        document["fit"] = _fit_document(obj)
    elif callable(getattr(obj, "to_dict", None)) and callable(
        getattr(type(obj), "from_dict", None)
    ):
        document["kind"] = "report"
        cls = type(obj)
        document["report"] = {
            "class": f"{cls.__module__}.{cls.__qualname__}",
            "content": _plain(obj.to_dict()),
        }
    else:
        raise TypeError(
            "expected a korvane.Circuit, a fit result or a report (an object with "
            f"to_dict() and from_dict()), got {type(obj).__name__}"
        )
    if data is not None:
        document["data"] = _data_summary(data)
    text = json.dumps(document, indent=2, allow_nan=False, ensure_ascii=False)
    # Written beside the target and renamed over it, so a crash never leaves
    # half a file where a good one was.
    _write_atomically(Path(path), (text + "\n").encode("utf-8"))


def _write_atomically(target: Path, content: bytes) -> None:
    """Write ``content`` beside ``target`` under a name of its own and rename
    it over ``target``: a crash never leaves half a file where a good one
    was, concurrent saves to one path never share a temporary file (the last
    rename wins, whole), and a load sees the old file or the new one."""
    descriptor, partial = tempfile.mkstemp(
        prefix=f".{target.name}.", suffix=".partial", dir=target.parent
    )
    try:
        with os.fdopen(descriptor, "wb") as handle:
            handle.write(content)
        # mkstemp makes the file private; a saved file gets the usual mode.
        os.chmod(partial, 0o666 & ~_UMASK)
        os.replace(partial, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise


# ---- loading ------------------------------------------------------------------------


def _field(mapping: Any, key: str, kind: type | tuple[type, ...], where: str) -> Any:
    if not isinstance(mapping, dict):
        raise _Damaged(f"{where} must be an object")
    if key not in mapping:
        raise _Damaged(f"{where} has no {key!r}")
    value = mapping[key]
    # bool is an int in Python; a count or a number must not be true/false.
    if not isinstance(value, kind) or (isinstance(value, bool) and bool not in _types(kind)):
        raise _Damaged(f"{where}.{key} has the wrong type ({type(value).__name__})")
    return value


def _types(kind: type | tuple[type, ...]) -> tuple[type, ...]:
    return kind if isinstance(kind, tuple) else (kind,)


def _load_circuit(section: Any) -> korvane.Circuit:
    text = _field(section, "text", str, "circuit")
    unlabeled = _field(section, "unlabeled", list, "circuit")
    if not all(isinstance(i, int) and not isinstance(i, bool) and i >= 0 for i in unlabeled):
        raise _Damaged("circuit.unlabeled must hold element indices")
    values_explicit = _field(section, "values_explicit", bool, "circuit")
    parameters = _field(section, "parameters", list, "circuit")
    names = [_field(p, "name", str, "circuit.parameters[]") for p in parameters]
    values = [
        _decode_float(_field(p, "value", (int, float, str), "circuit.parameters[]"), name)
        for p, name in zip(parameters, names, strict=True)
    ]
    try:
        circuit = _circuit_from_state(text, unlabeled, values, values_explicit)
    except (TypeError, ValueError, OverflowError) as error:
        raise _Damaged(f"circuit: {error}") from None
    if circuit.param_names() != names:
        raise _Damaged(
            f"circuit text {text!r} names the parameters {circuit.param_names()}, "
            f"the file lists {names}"
        )
    return circuit


def _named_numbers(section: Any, where: str) -> tuple[tuple[str, ...], list[float]]:
    if not isinstance(section, dict):
        raise _Damaged(f"{where} must be an object")
    names = tuple(str(name) for name in section)
    values = [_decode_float(section[name], f"{where}[{name!r}]") for name in names]
    return names, values


def _check_against_circuit(
    circuit: korvane.Circuit,
    names: tuple[str, ...],
    values: list[float],
    stderr_names: tuple[str, ...] | None,
) -> None:
    """A fit belongs to its circuit: the same parameters in the same order,
    and the fitted values are the circuit's, bit for bit."""
    expected = circuit.param_names()
    for where, listed in (("fit.params", names), ("fit.stderr", stderr_names)):
        if listed is not None and list(listed) != expected:
            raise _Damaged(f"{where} names {list(listed)}, the circuit's parameters are {expected}")
    for name, value, held in zip(names, values, circuit.param_values()):
        if _bits(value) != _bits(held):
            raise _Damaged(f"fit.params[{name!r}] is {value!r}, the circuit holds {held!r}")


def _bits(x: float) -> int:
    bits: int = struct.unpack("<Q", struct.pack("<d", x))[0]
    return bits


def _count(section: Any, key: str) -> int:
    value: int = _field(section, key, int, "fit")
    if value < 0 or value >= 1 << 64:
        raise _Damaged(f"fit.{key} must be a count, got {value}")
    return value


def _load_fit(circuit: korvane.Circuit, section: Any) -> FitLike:
    names, values = _named_numbers(_field(section, "params", dict, "fit"), "fit.params")
    stderr = _field(section, "stderr", (dict, type(None)), "fit")
    stderr_names, stderr_values = (None, None)
    if stderr is not None:
        found_names, found_values = _named_numbers(stderr, "fit.stderr")
        stderr_names, stderr_values = found_names, _pack(found_values)
    cost = _decode_float(_field(section, "cost", (int, float, str), "fit"), "fit.cost")
    chi_square = _decode_float(
        _field(section, "chi_square", (int, float, str), "fit"), "fit.chi_square"
    )
    _check_against_circuit(circuit, names, values, stderr_names)
    rebuild = korvane.FitResult._from_state  # type: ignore[attr-defined]  # private: not in the stub
    result: korvane.FitResult = rebuild(
        _STATE_VERSION,
        circuit,
        names,
        _pack(values),
        stderr_names,
        stderr_values,
        _field(section, "success", bool, "fit"),
        _count(section, "iterations"),
        _count(section, "impedance_evals"),
        _pack([cost, chi_square]),
    )
    extras = {}
    for extra in ("fixed", "at_bound"):
        if extra in section:
            listed = _field(section, extra, list, "fit")
            if not all(isinstance(name, str) for name in listed):
                raise _Damaged(f"fit.{extra} must hold parameter names")
            unknown = [name for name in listed if name not in names]
            if unknown or len(set(listed)) != len(listed):
                what = f"unknown parameter {unknown[0]!r}" if unknown else "a repeated name"
                raise _Damaged(f"fit.{extra} lists {what}; the parameters are {list(names)}")
            extras[extra] = tuple(listed)
    if not extras:
        return result
    return _constrained(result, extras, section.get("bounds"))


def _constrained(
    result: korvane.FitResult, extras: dict[str, tuple[str, ...]], bounds: Any
) -> FitLike:
    """A saved constrained fit comes back as a ConstrainedFitResult."""
    from .constrained import ConstrainedFitResult

    circuit = result.circuit
    names = circuit.param_names()
    used = dict(zip(names, circuit.param_bounds()))
    if bounds is not None:
        if not isinstance(bounds, dict) or set(bounds) != set(names):
            raise _Damaged("fit.bounds must give (lo, hi) for every parameter")
        for name, pair in bounds.items():
            if not isinstance(pair, list) or len(pair) != 2:
                raise _Damaged(f"fit.bounds of {name!r} must be [lo, hi]")
            lo = _decode_float(pair[0], f"fit.bounds.{name}")
            hi = _decode_float(pair[1], f"fit.bounds.{name}")
            if not lo <= hi:  # also false for NaN
                raise _Damaged(f"fit.bounds.{name} is [{lo!r}, {hi!r}], not lo <= hi")
            used[name] = (lo, hi)
    return ConstrainedFitResult(
        circuit=circuit,
        params=result.params,
        stderr=result.stderr,
        success=result.success,
        iterations=result.iterations,
        impedance_evals=result.impedance_evals,
        cost=result.cost,
        chi_square=result.chi_square,
        fixed=extras.get("fixed", ()),
        at_bound=extras.get("at_bound", ()),
        bounds={name: used[name] for name in names},
    )


def _load_report(section: Any, report_class: type | None) -> Any:
    content = _field(section, "content", dict, "report")
    _field(section, "class", str, "report")
    if report_class is None:
        report_class = importlib.import_module(".reporting", __package__).Report
    from_dict = getattr(report_class, "from_dict", None)
    if not callable(from_dict):
        raise TypeError(f"report_class {report_class.__name__} has no from_dict()")
    try:
        plain = _unplain(content)
    except (TypeError, ValueError):
        raise _Damaged("report.content has a malformed tagged number") from None
    try:
        return from_dict(plain)
    except (KeyError, TypeError, ValueError, OverflowError, AttributeError, IndexError) as error:
        # Whatever the report class makes of damaged content, the caller
        # gets the file's name and the reason.
        raise _Damaged(f"report.content: {type(error).__name__}: {error}") from None


def _read_document(path: PathLike) -> Any:
    raw = Path(path).read_bytes()
    try:
        return json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise _Damaged(f"not UTF-8 text ({error.reason} at byte {error.start})") from None
    except RecursionError:
        raise _Damaged("JSON nested too deeply") from None
    except json.JSONDecodeError as error:
        raise _Damaged(
            f"not valid JSON ({error.msg} at line {error.lineno}, column {error.colno}); "
            "the file may be truncated or damaged"
        ) from None
    except ValueError as error:  # an integer of more than sys.get_int_max_str_digits() digits
        raise _Damaged(f"not readable JSON ({error})") from None


def load(path: PathLike, *, report_class: type | None = None) -> Any:
    """Read what :func:`save` wrote: a ``korvane.Circuit``, a
    ``korvane.FitResult`` or a report.

    Circuits and fit results come back exact: the same tree, labels (absent
    ones too), values bit for bit, ``values_explicit``, and all eight
    attributes of a fit result, rebuilt through the same private
    reconstructor pickle uses. A saved constrained fit comes back as a
    ``korvane_tools.ConstrainedFitResult`` when that class can be rebuilt
    from a FitResult, else as the FitResult. Reports are rebuilt with
    ``report_class.from_dict`` (default :class:`korvane_tools.Report`).

    Raises ``ValueError`` naming the file for a file of another format or
    version, invalid JSON (a truncated file, say), missing and mistyped
    entries, and a fit that does not belong to its circuit (other parameter
    names, values other than the circuit's, unknown fixed or at-bound names,
    NaN or inverted bounds); the message gives the first disagreement.
    """
    try:
        document = _read_document(path)
        if not isinstance(document, dict) or document.get("format") != FORMAT:
            raise _Damaged(f'not a {FORMAT} file (no "format": "{FORMAT}" entry)')
        version = document.get("version")
        if version != VERSION or isinstance(version, bool):
            raise _Damaged(
                f"unsupported version {version!r}: this korvane_tools reads version {VERSION}"
            )
        kind = _field(document, "kind", str, "file")
        if kind == "circuit":
            return _load_circuit(document.get("circuit"))
        if kind == "fit_result":
            circuit = _load_circuit(document.get("circuit"))
            return _load_fit(circuit, document.get("fit"))
        if kind == "report":
            return _load_report(document.get("report"), report_class)
        raise _Damaged(f"unknown kind {kind!r}: expected 'circuit', 'fit_result' or 'report'")
    except _Damaged as error:
        raise ValueError(f"cannot load {os.fspath(path)!r}: {error}") from None
