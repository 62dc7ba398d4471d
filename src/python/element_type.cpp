#include "python/element_type.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/pickle_state.hpp"
#include "python/py_values.hpp"
#include "runtime/number_format.hpp"
#include "runtime/text.hpp"

namespace korvane::py {
namespace {

constexpr const char* kElementDoc =
    "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

ElementObject* as_element_object(PyObject* self) { return reinterpret_cast<ElementObject*>(self); }

// ---- the base class -------------------------------------------------------

PyObject* element_base_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef name = PyRef::steal(PyType_GetName(type));
        if (!name) return nullptr;
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        return nullptr;
    });
}

PyObject* element_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const ElementObject* element = as_element_object(self);
        // A Python subclass of Element gets zeroed storage, which reads as R.
        const KindInfo& info = kind_info(element->kind);
        std::string text = "Element.";
        text += info.code;
        text += '(';
        for (int k = 0; k < info.param_count; ++k) {
            if (k > 0) text += ", ";
            text += info.param_names[k];
            text += '=';
            text += format_debug(element->values[k]);
        }
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// ---- pickling and copying (see pickle_state.hpp) -----------------------------

PyObject* element_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ElementObject* element = as_element_object(self);
        const KindInfo& info = kind_info(element->kind);
        PyRef code = PyRef::steal(make_str(info.code));
        const std::span<const double> meaningful(element->values.data(),
                                                 static_cast<std::size_t>(info.param_count));
        PyRef values = PyRef::steal(pack_doubles(meaningful));
        if (!code || !values) return nullptr;
        PyRef state = PyRef::steal(Py_BuildValue("(lOO)", kStateVersion, code.get(), values.get()));
        if (!state) return nullptr;
        // Through the base class, which pickle finds as korvane.Element; the
        // element classes themselves are published under their codes only.
        PyTypeObject* base = element_type();
        if (base == nullptr) return nullptr;
        return make_reduce_value(base, state.get());
    });
}

PyObject* element_from_state(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* version = nullptr;
        PyObject* code_object = nullptr;
        PyObject* values_object = nullptr;
        if (!PyArg_ParseTuple(args, "OOO:_from_state", &version, &code_object, &values_object)) {
            return nullptr;
        }
        if (!check_state_version(version, "Element")) return nullptr;
        std::optional<std::string> code = to_text(code_object, "code");
        if (!code) return nullptr;
        int kind = 0;
        while (kind < kKindCount && kind_info(static_cast<Kind>(kind)).code != *code) ++kind;
        if (kind == kKindCount) {
            return raise_text(PyExc_ValueError,
                              "Element state: unknown element code " + quoted(*code));
        }
        std::optional<std::vector<double>> values = unpack_doubles(values_object, "values");
        if (!values) return nullptr;
        const int count = param_count(static_cast<Kind>(kind));
        if (values->size() != static_cast<std::size_t>(count)) {
            return raise_text(PyExc_ValueError, "Element state: " + *code + " takes " +
                                                    std::to_string(count) + " values, got " +
                                                    std::to_string(values->size()));
        }
        if (element_type() == nullptr) return nullptr;
        PyTypeObject* type = module_state().element_kinds[static_cast<std::size_t>(kind)];
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        as_element_object(self)->kind = static_cast<Kind>(kind);
        as_element_object(self)->values = {};
        std::copy(values->begin(), values->end(), as_element_object(self)->values.begin());
        return self;
    });
}

PyMethodDef g_base_methods[] = {
    {"__reduce__", element_reduce, METH_NOARGS, "__reduce__($self)\n--\n\nHelper for pickle."},
    {"_from_state", element_from_state, METH_VARARGS | METH_CLASS,
     "_from_state($type, version, code, values)\n--\n\n"
     "Private: rebuilds an element from the state its __reduce__ gives."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_base_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(element_base_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_releasing_type)},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_methods, g_base_methods},
    {Py_tp_doc, const_cast<char*>(kElementDoc)},
    {0, nullptr},
};

PyType_Spec g_base_spec = {
    "korvane.Element", sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    g_base_slots,
};

// ---- the fourteen element classes ------------------------------------------

PyObject* element_get_value(PyObject* self, void* closure) {
    const auto index = reinterpret_cast<std::intptr_t>(closure);
    return PyFloat_FromDouble(as_element_object(self)->values[static_cast<std::size_t>(index)]);
}

// Texts and tables of one element class. PyType_Spec, the getset table and
// the keyword list must outlive the type, so they live in static storage
// built once from the core's kind table (the single source of names).
struct KindClass {
    std::string type_name;     // "korvane.Element_Zarc"
    std::string doc;           // "Element_Zarc(r, tau_k, gamma)\n--\n\n"
    std::string parse_format;  // "OOO:Element_Zarc"
    std::array<std::string, kMaxParams> names;
    std::array<char*, kMaxParams + 1> keywords{};
    std::array<PyGetSetDef, kMaxParams + 1> getset{};
    std::array<PyType_Slot, 5> slots{};
    PyType_Spec spec{};
};

PyObject* element_kind_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

std::vector<KindClass>& kind_classes() {
    static std::vector<KindClass> classes = [] {
        std::vector<KindClass> out(kKindCount);
        for (int k = 0; k < kKindCount; ++k) {
            const KindInfo& info = kind_info(static_cast<Kind>(k));
            KindClass& c = out[static_cast<std::size_t>(k)];
            const std::string short_name = "Element_" + std::string(info.code);
            c.type_name = "korvane." + short_name;
            std::string signature;
            for (int p = 0; p < info.param_count; ++p) {
                c.names[p] = std::string(info.param_names[p]);
                if (p > 0) signature += ", ";
                signature += c.names[p];
                c.parse_format += 'O';
            }
            c.doc = short_name + "(" + signature + ")\n--\n\n";
            c.parse_format += ":" + short_name;
            for (int p = 0; p < info.param_count; ++p) {
                c.keywords[p] = c.names[p].data();
                c.getset[p] = {c.names[p].c_str(), element_get_value, nullptr, nullptr,
                               reinterpret_cast<void*>(static_cast<std::intptr_t>(p))};
            }
            c.slots = {{
                {Py_tp_new, reinterpret_cast<void*>(element_kind_new)},
                {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_releasing_type)},
                {Py_tp_getset, c.getset.data()},
                {Py_tp_doc, c.doc.data()},
                {0, nullptr},
            }};
            c.spec = {c.type_name.c_str(), sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT,
                      c.slots.data()};
        }
        return out;
    }();
    return classes;
}

PyObject* element_kind_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const ModuleState& state = module_state();
        int kind = 0;
        while (kind < kKindCount && state.element_kinds[static_cast<std::size_t>(kind)] != type) {
            ++kind;
        }
        if (kind == kKindCount) return element_base_new(type, args, kwargs);
        KindClass& c = kind_classes()[static_cast<std::size_t>(kind)];

        std::array<PyObject*, kMaxParams> given{};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, c.parse_format.c_str(), c.keywords.data(),
                                         &given[0], &given[1], &given[2], &given[3])) {
            return nullptr;
        }
        std::array<double, kMaxParams> values{};
        const int count = param_count(static_cast<Kind>(kind));
        for (int p = 0; p < count; ++p) {
            std::optional<double> value = to_double(given[static_cast<std::size_t>(p)], c.names[p]);
            if (!value) return nullptr;
            values[static_cast<std::size_t>(p)] = *value;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        as_element_object(self)->kind = static_cast<Kind>(kind);
        as_element_object(self)->values = values;
        return self;
    });
}

PyTypeObject* create_kind_class(PyTypeObject* base, int kind) {
    KindClass& c = kind_classes()[static_cast<std::size_t>(kind)];
    PyRef type = PyRef::steal(PyType_FromSpecWithBases(&c.spec, reinterpret_cast<PyObject*>(base)));
    if (!type) return nullptr;
    const int count = param_count(static_cast<Kind>(kind));
    PyRef match_args = PyRef::steal(PyTuple_New(count));
    if (!match_args) return nullptr;
    for (int p = 0; p < count; ++p) {
        PyObject* name = PyUnicode_FromString(c.names[p].c_str());
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(match_args.get(), p, name);
    }
    if (PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()) != 0) {
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* element_type() {
    ModuleState& state = module_state();
    if (state.element != nullptr) return state.element;

    PyRef base = PyRef::steal(PyType_FromSpec(&g_base_spec));
    if (!base) return nullptr;
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.get());
    std::array<PyRef, kKindCount> kinds;
    for (int k = 0; k < kKindCount; ++k) {
        PyTypeObject* kind_type = create_kind_class(base_type, k);
        if (kind_type == nullptr) return nullptr;
        kinds[static_cast<std::size_t>(k)] = PyRef::steal(reinterpret_cast<PyObject*>(kind_type));
        const std::string code(kind_info(static_cast<Kind>(k)).code);
        if (PyObject_SetAttrString(base.get(), code.c_str(),
                                   reinterpret_cast<PyObject*>(kind_type)) != 0) {
            return nullptr;
        }
    }
    // Only a complete set is published; the references are kept for the
    // life of the process.
    for (int k = 0; k < kKindCount; ++k) {
        auto* kind_type =
            reinterpret_cast<PyTypeObject*>(kinds[static_cast<std::size_t>(k)].release());
        freeze_type(kind_type);
        state.element_kinds[static_cast<std::size_t>(k)] = kind_type;
    }
    freeze_type(base_type);
    state.element = reinterpret_cast<PyTypeObject*>(base.release());
    return state.element;
}

std::optional<Element> as_element(PyObject* object) {
    PyTypeObject* type = element_type();
    if (type == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!PyObject_TypeCheck(object, type)) return std::nullopt;
    const ElementObject* element = as_element_object(object);
    Element out;
    out.kind = element->kind;
    out.values = element->values;
    return out;
}

}  // namespace korvane::py
