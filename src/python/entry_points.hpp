// The module-level functions of tarvo._tarvo, as CPython method implementations with
// their docstrings (the first line of each is the function's text signature).
#pragma once

#include <Python.h>

namespace tarvo::python {

extern const char* const REGISTER_DOC;
extern const char* const ESTIMATE_NORMALS_DOC;

// register(source, target, *, method="robust_icp", ...) -> Registration
PyObject* register_entry(PyObject* module, PyObject* args, PyObject* kwargs);

// estimate_normals(points, k=30) -> (N, 3) float64 array
PyObject* estimate_normals_entry(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace tarvo::python
