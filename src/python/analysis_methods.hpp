#pragma once
// The Circuit methods that evaluate the weighted objective on a measured
// spectrum, exposed so an external optimiser can drive the circuit.

#include "python/py_ref.hpp"

namespace korvane::py {

PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr char kResidualsDoc[] =
    "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly.";

inline constexpr char kJacobianDoc[] =
    "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.";

}  // namespace korvane::py
