"""Reference and memory leaks: every entry point, on success and failure
paths, twice 10^5 calls, with object counts and memory flat afterwards."""

import ctypes
import gc
import math
import sys
import tracemalloc

import korvane
import numpy as np
from korvane import Circuit

CALLS = 100_000


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_bytes():
    """Bytes allocated through malloc (C++ new included) and not yet freed."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # not glibc >= 2.33
        return 0
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def make_calls():
    c = Circuit("R0-(R1,CPE1)").with_values([10, 100, 1e-5, 0.8])
    f = [1.0, 10.0, 100.0]
    z = list(c.impedance(f))
    frame = {
        "frequency_hertz": f,
        "absolute_impedance_ohm": [abs(x) for x in z],
        "phase_degree": [math.degrees(math.atan2(x.imag, x.real)) for x in z],
    }
    array_f = np.array(f)
    p = c.param_values()

    class NotFloat:
        def __float__(self):
            return "x"

    good = [
        lambda: korvane.Zarc(1, 2, 0.5),
        lambda: korvane.T(a=1, b=2, k_tau=3, tau=4),
        lambda: repr(korvane.Cpe(1e-3, 0.9)),
        lambda: Circuit("R0-(R1,C1)-Wo2"),
        lambda: Circuit(" two_rq "),
        lambda: repr(c),
        lambda: c.param_names(),
        lambda: c.param_values(),
        lambda: c.param_bounds(),
        lambda: c.param_units(),
        lambda: Circuit.ml_circuits(),
        lambda: c.with_values(p),
        lambda: c.with_named_values({"R0.r": 1, "R1.r": 2, "CPE1.q": 3, "CPE1.alpha": 0.5}),
        lambda: korvane.Series([korvane.R(1), c]),
        lambda: korvane.Parallel((c, korvane.K(1, 2))),
        lambda: c.impedance(f),
        lambda: c.impedance(array_f),
        lambda: c.impedance(frame),
        lambda: c.residuals(p, f, z),
        lambda: c.residuals(p, frame, weight="unit"),
        lambda: c.jacobian(p, array_f, z),
    ]
    bad = [
        lambda: korvane.Element(),
        lambda: korvane.FitResult(),
        lambda: korvane.R(NotFloat()),
        lambda: korvane.Zarc(1, 2),
        lambda: Circuit("R0-Q1"),
        lambda: Circuit(5),
        lambda: c.with_values([1, 2]),
        lambda: c.with_values("abc"),
        lambda: c.with_named_values({"R0.r": 1, "X": 2}),
        lambda: c.with_named_values({1: 2}),
        lambda: korvane.Series([korvane.R(1), 3]),
        lambda: c.impedance({"f": [1.0]}),
        lambda: c.impedance({"frequency_hertz": ["a"]}),
        lambda: c.residuals(p, f, z[:2]),
        lambda: c.residuals(
            p,
            {
                "Frequency / Hz": [0.0],
                "real_impedance_ohm": [1.0],
                "imaginary_impedance_ohm": [1.0],
            },
        ),
        lambda: c.residuals(p, f, z, weight=None),
        lambda: c.residuals(p, f, z, weight="bad"),
        lambda: c.residuals(p[:1], f, z),
        lambda: c.jacobian(p[:2], f, z),
    ]
    return good, bad


def run(calls, count):
    done = 0
    while done < count:
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, OverflowError, RuntimeError):
                pass
            done += 1
    return done


def tracked_types():
    types = [korvane.Element, korvane.Circuit, korvane.FitResult]
    types += [getattr(korvane, code) for code in korvane.__all__[5:]]
    holder = type(Circuit("R0").impedance([1.0]).base)
    return types + [holder]


def test_no_leaks_over_many_calls():
    good, bad = make_calls()
    calls = good + bad
    # Warm-up fills caches (NumPy, interned strings, free lists) first, and a
    # few large Jacobians, whose columns wake the pool, let its worker threads
    # set up their evaluation scratch (about 80 kB each, kept for later calls).
    wide = Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)")
    f_wide = np.logspace(-2, 5, 4000)
    z_wide = wide.with_values([1, 2, 1e-4, 0.7, 3, 4, 0.5, 1e-3, 0.9]).impedance(f_wide)
    for _ in range(20):
        wide.jacobian(wide.param_values(), f_wide, z_wide)
    total = run(calls, 5_000)
    gc.collect()
    types = tracked_types()
    type_refs = [sys.getrefcount(t) for t in types]
    heap_growth = []
    # Two measured windows: a leak grows the heap in both, while a worker the
    # warm-up happened to miss sets up its scratch in one of them only.
    for window in range(2):
        objects = len(gc.get_objects())
        heap = heap_bytes()
        tracemalloc.start()
        traced_before = tracemalloc.get_traced_memory()[0]

        total += run(calls, CALLS)

        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        tracemalloc.stop()
        heap_growth.append(heap_bytes() - heap)
        object_growth = len(gc.get_objects()) - objects
        print(
            f"window {window}: {CALLS} calls, traced {traced_growth} B, "
            f"heap {heap_growth[-1]} B, gc objects {object_growth}"
        )
        # Every Circuit, element, FitResult and buffer holds a reference to
        # its type, so a leaked instance shows up here exactly.
        assert [sys.getrefcount(t) for t in types] == type_refs
        assert object_growth < 50
        assert traced_growth < 64 * 1024
    assert total >= 2 * CALLS
    # One leaked 24-byte vector per call of a single entry point would be
    # about 70 kB per window.
    assert min(heap_growth) < 48 * 1024
