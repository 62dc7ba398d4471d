#pragma once
// Python results built from C++ values. Each returns a new reference, or
// nullptr with an exception set.

#include <string>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace korvane::py {

PyObject* make_str(std::string_view utf8);
PyObject* make_str_list(const std::vector<std::string>& texts);
PyObject* make_float_list(const std::vector<double>& values);

}  // namespace korvane::py
