// The two things every heap type of the module needs: created once per process from
// its spec on first use, and instances allocated through the type's own slot (the
// stable ABI hides tp_alloc).
#pragma once

#include <Python.h>

namespace tarvo::python {

// `cache` keeps the type for the life of the process; nullptr with an exception set if
// it cannot be created.
inline PyTypeObject* type_from_spec_once(PyTypeObject*& cache, PyType_Spec& spec) {
    if (cache == nullptr) cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return cache;
}

// A new, zero-filled instance of `type`, or nullptr with an exception set.
inline PyObject* allocate_instance(PyTypeObject* type) {
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

}  // namespace tarvo::python
