// The extension module tarvo._tarvo: multi-phase initialisation on the stable ABI.
#include "options.hpp"

#include <Python.h>

namespace {

int add_methods_list(PyObject* module) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return -1;
    for (std::string_view name : tarvo::METHOD_NAMES) {
        PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (item == nullptr || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return -1;
        }
        Py_DECREF(item);
    }
    const int status = PyModule_AddObject(module, "METHODS", list);
    if (status < 0) Py_DECREF(list);
    return status;
}

int exec_module(PyObject* module) {
    if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) return -1;
    if (add_methods_list(module) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tarvo",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tarvo(void) { return PyModuleDef_Init(&module_def); }
