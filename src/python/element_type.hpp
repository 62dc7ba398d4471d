#pragma once
// `Element` and its fourteen classes `Element_R` ... `Element_T`: immutable
// Python objects holding one element kind and its parameter values, used as
// operands of Series and Parallel.

#include "circuit/element.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

struct ElementObject {
    PyObject_HEAD Kind kind;
    std::array<double, kMaxParams> values;  // param_count(kind) meaningful
};

// The base class; creating it also creates the fourteen element classes and
// sets them as its class attributes. Borrowed; nullptr with an exception set
// on failure.
PyTypeObject* element_type();

// The element as a core Element (no label), or nullopt when `object` is not
// an instance of Element.
std::optional<Element> as_element(PyObject* object);

}  // namespace korvane::py
