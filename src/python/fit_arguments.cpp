#include "python/fit_arguments.hpp"

#include <cstdint>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace korvane::py {

namespace {

template <class T, class Convert>
bool convert_into(PyObject* object, const char* name, T& out, Convert convert) {
    if (object == nullptr) return true;  // keep the default
    std::optional<T> value = convert(object, name);
    if (!value) return false;
    out = *value;
    return true;
}

}  // namespace

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

bool convert_optional_text(PyObject* object, const char* name, std::optional<std::string>& out) {
    if (!given(object)) return true;
    out = to_text(object, name);
    return out.has_value();
}

bool parse_fit_arguments(PyObject* args, PyObject* kwargs, FitArguments& out) {
    static const char* keywords[] = {"frequencies",
                                     "impedances",
                                     "guess_init",
                                     "weights",
                                     "weight",
                                     "method",
                                     "max_iterations",
                                     "ftol",
                                     "xtol",
                                     "num_particles",
                                     "generations",
                                     "nelder_mead_iterations",
                                     "de_evaluations",
                                     "sa_iterations",
                                     "sa_initial_temperature",
                                     "basin_hopping_hops",
                                     "basin_hopping_step_size",
                                     "basin_hopping_temperature",
                                     "seed",
                                     nullptr};
    PyObject* o[19] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOOOOOOOO:fit",
                                     const_cast<char**>(keywords), &o[0], &o[1], &o[2], &o[3],
                                     &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11],
                                     &o[12], &o[13], &o[14], &o[15], &o[16], &o[17], &o[18])) {
        return false;
    }
    out.frequencies = o[0];
    out.impedances = o[1];
    if (given(o[2])) {
        const std::optional<bool> guess = to_bool(o[2], "guess_init");
        if (!guess) return false;
        out.guess_init = *guess ? GuessInit::Always : GuessInit::Never;
    }
    FitSettings& s = out.settings;
    if (!convert_optional_text(o[3], "weights", out.weights)) return false;
    if (!convert_into(o[4], "weight", out.weight, to_text)) return false;
    if (!convert_into(o[5], "method", s.method, to_text)) return false;
    if (!convert_into(o[6], "max_iterations", s.lm_eval_budget, to_size)) return false;
    if (!convert_into(o[7], "ftol", s.ftol, to_double)) return false;
    if (!convert_into(o[8], "xtol", s.xtol, to_double)) return false;
    if (!convert_into(o[9], "num_particles", s.num_particles, to_size)) return false;
    if (!convert_into(o[10], "generations", s.generations, to_u64)) return false;
    if (!convert_into(o[11], "nelder_mead_iterations", s.nelder_mead_iterations, to_u64)) {
        return false;
    }
    if (!convert_into(o[12], "de_evaluations", s.de_evaluations, to_size)) return false;
    if (!convert_into(o[13], "sa_iterations", s.sa_iterations, to_u64)) return false;
    if (!convert_into(o[14], "sa_initial_temperature", s.sa_initial_temperature, to_double)) {
        return false;
    }
    if (!convert_into(o[15], "basin_hopping_hops", s.basin_hopping_hops, to_size)) return false;
    if (!convert_into(o[16], "basin_hopping_step_size", s.basin_hopping_step_size, to_double)) {
        return false;
    }
    if (!convert_into(o[17], "basin_hopping_temperature", s.basin_hopping_temperature, to_double)) {
        return false;
    }
    if (given(o[18])) {
        const std::optional<std::uint64_t> seed = to_u64(o[18], "seed");
        if (!seed) return false;
        s.seed = *seed;
    }
    return true;
}

}  // namespace korvane::py
