#include "python/fit_arguments.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace korvane::py {

namespace {

// A settings member: absent keeps the default, anything given (None too) is
// converted, so `ftol=None` is refused as a float would be.
template <auto Member, auto Convert>
bool setting(PyObject* object, const char* name, FitArguments& out) {
    if (object == nullptr) return true;
    auto value = Convert(object, name);
    if (!value) return false;
    out.settings.*Member = std::move(*value);
    return true;
}

bool raw_object(PyObject*& member, PyObject* object) {
    member = object;
    return true;
}

bool frequencies(PyObject* object, const char*, FitArguments& out) {
    return raw_object(out.frequencies, object);
}

bool impedances(PyObject* object, const char*, FitArguments& out) {
    return raw_object(out.impedances, object);
}

// None and absent both leave the policy unset.
bool guess_init(PyObject* object, const char* name, FitArguments& out) {
    if (!given(object)) return true;
    const std::optional<bool> guess = to_bool(object, name);
    if (!guess) return false;
    out.guess_init = *guess ? GuessInit::Always : GuessInit::Never;
    return true;
}

bool weights(PyObject* object, const char* name, FitArguments& out) {
    return convert_optional_text(object, name, out.weights);
}

bool weight(PyObject* object, const char* name, FitArguments& out) {
    if (object == nullptr) return true;
    std::optional<std::string> text = to_text(object, name);
    if (!text) return false;
    out.weight = std::move(*text);
    return true;
}

bool seed(PyObject* object, const char* name, FitArguments& out) {
    if (!given(object)) return true;
    const std::optional<std::uint64_t> value = to_u64(object, name);
    if (!value) return false;
    out.settings.seed = *value;
    return true;
}

template <std::size_t... I>
bool parse_objects(PyObject* args, PyObject* kwargs, const char* format, char** keywords,
                   std::array<PyObject*, sizeof...(I)>& objects, std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &objects[I]...) != 0;
}

}  // namespace

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

bool convert_optional_text(PyObject* object, const char* name, std::optional<std::string>& out) {
    if (!given(object)) return true;
    out = to_text(object, name);
    return out.has_value();
}

constinit const std::array<FitKeyword, 19> kFitKeywords = {{
    {"frequencies", "", frequencies},
    {"impedances", "None", impedances},
    {"guess_init", "None", guess_init},
    {"weights", "None", weights},
    {"weight", "\"modulus\"", weight},
    {"method", "\"levenberg_marquardt\"", setting<&FitSettings::method, to_text>},
    {"max_iterations", "200", setting<&FitSettings::lm_eval_budget, to_size>},
    {"ftol", "1e-8", setting<&FitSettings::ftol, to_double>},
    {"xtol", "1e-8", setting<&FitSettings::xtol, to_double>},
    {"num_particles", "200", setting<&FitSettings::num_particles, to_size>},
    {"generations", "1000", setting<&FitSettings::generations, to_u64>},
    {"nelder_mead_iterations", "2000", setting<&FitSettings::nelder_mead_iterations, to_u64>},
    {"de_evaluations", "20000", setting<&FitSettings::de_evaluations, to_size>},
    {"sa_iterations", "5000", setting<&FitSettings::sa_iterations, to_u64>},
    {"sa_initial_temperature", "2.0", setting<&FitSettings::sa_initial_temperature, to_double>},
    {"basin_hopping_hops", "20", setting<&FitSettings::basin_hopping_hops, to_size>},
    {"basin_hopping_step_size", "1.0", setting<&FitSettings::basin_hopping_step_size, to_double>},
    {"basin_hopping_temperature", "1.0",
     setting<&FitSettings::basin_hopping_temperature, to_double>},
    {"seed", "None", seed},
}};

const std::string& fit_parameter_text() {
    static const std::string text = [] {
        std::string joined;
        for (const FitKeyword& keyword : kFitKeywords) {
            if (!joined.empty()) joined += ", ";
            joined += keyword.name;
            if (!keyword.default_text.empty()) (joined += '=') += keyword.default_text;
        }
        return joined;
    }();
    return text;
}

bool parse_fit_arguments(PyObject* args, PyObject* kwargs, FitArguments& out) {
    constexpr std::size_t n = kFitKeywords.size();
    // The required arguments lead the table; "O|OO...:fit" follows from it.
    static const std::string format = [] {
        std::string text;
        for (const FitKeyword& keyword : kFitKeywords) {
            if (!keyword.default_text.empty() && text.find('|') == std::string::npos) text += '|';
            text += 'O';
        }
        return text + ":fit";
    }();
    static const std::array<const char*, n + 1> keywords = [] {
        std::array<const char*, n + 1> names{};
        for (std::size_t i = 0; i < n; ++i) names[i] = kFitKeywords[i].name;
        return names;
    }();
    std::array<PyObject*, n> objects{};
    if (!parse_objects(args, kwargs, format.c_str(), const_cast<char**>(keywords.data()), objects,
                       std::make_index_sequence<n>{})) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!kFitKeywords[i].convert(objects[i], kFitKeywords[i].name, out)) return false;
    }
    return true;
}

}  // namespace korvane::py
