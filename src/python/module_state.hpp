#pragma once
// Everything the module keeps for the life of the process, in one place. The
// module refuses every interpreter but the first, so one process-wide
// instance serves; it is only touched with the interpreter lock held, except
// the interpreter identifier, which is settled by an atomic compare-and-set.

#include <array>
#include <atomic>
#include <cstdint>

#include "circuit/element.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

struct ModuleState {
    // -1 until the first successful initialisation records its interpreter.
    std::atomic<std::int64_t> interpreter_id{-1};
    PyObject* module = nullptr;  // kept: re-initialisation returns it

    // Heap types, each created on first use and never released.
    PyTypeObject* element = nullptr;
    std::array<PyTypeObject*, kKindCount> element_kinds{};
    PyTypeObject* circuit = nullptr;
    PyTypeObject* fit_result = nullptr;
    PyTypeObject* impedance_buffer = nullptr;
};

ModuleState& module_state();

// Marks a finished heap type read-only from Python (its class attributes are
// all set by now), so `korvane.Element.R = ...` cannot break the namespace.
void freeze_type(PyTypeObject* type);

// The shared tp_dealloc of every heap type without C++ members: the instance
// holds a reference to its heap type, released after the memory.
void dealloc_releasing_type(PyObject* self);

}  // namespace korvane::py
