"""Every attribute of a FitResult, in a form that compares bit for bit
(floats as their 8 bytes, so NaN payloads and -0.0 count), for the pickling
and saving tests."""

import struct


def fit_result_fields(r):
    return (
        r.circuit.__reduce__(),
        [(name, struct.pack("<d", v)) for name, v in r.params.items()],
        None if r.stderr is None else [(n, struct.pack("<d", v)) for n, v in r.stderr.items()],
        r.success,
        r.iterations,
        r.impedance_evals,
        struct.pack("<d", r.cost),
        struct.pack("<d", r.chi_square),
        repr(r),
    )
