// The extension module tarvo._tarvo: multi-phase initialisation on the stable ABI.
// Import only adds the attributes; NumPy is looked up when a function first needs it.
#include "entry_points.hpp"
#include "options.hpp"
#include "parallel.hpp"
#include "pyref.hpp"
#include "registration_type.hpp"

#include <Python.h>

#include <mutex>

namespace {

using tarvo::python::PyRef;

// Adds `value` (a new reference, or nullptr after a failure) under `name`.
int add_owned(PyObject* module, const char* name, PyObject* value) {
    PyRef owned(value);
    if (!owned) return -1;
    return PyModule_AddObjectRef(module, name, owned.get());
}

PyObject* methods_list() {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (std::string_view name : tarvo::METHOD_NAMES) {
        PyRef item(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

PyMethodDef register_def = {
    "register", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tarvo::python::register_entry)),
    METH_VARARGS | METH_KEYWORDS, tarvo::python::REGISTER_DOC};

PyMethodDef estimate_normals_def = {
    "estimate_normals",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tarvo::python::estimate_normals_entry)),
    METH_VARARGS | METH_KEYWORDS, tarvo::python::ESTIMATE_NORMALS_DOC};

int add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    return add_owned(module, def->ml_name, PyCFunction_NewEx(def, module, module_name.get()));
}

extern "C" void join_workers_at_exit() { tarvo::join_worker_pool(); }

// Once per process, whichever interpreter imports first: the pool is held from here on
// and its workers are joined when the interpreter exits, so that none is still starting
// while the process unloads the libraries it runs in. A full table of exit functions
// only loses the join, not the module.
void join_workers_when_python_exits() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        tarvo::hold_worker_pool();
        (void)Py_AtExit(join_workers_at_exit);
    });
}

int exec_module(PyObject* module) {
    join_workers_when_python_exits();
    if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) return -1;
    if (add_owned(module, "METHODS", methods_list()) < 0) return -1;
    PyTypeObject* registration = tarvo::python::registration_type();
    if (registration == nullptr || PyModule_AddType(module, registration) < 0) return -1;
    if (add_function(module, &register_def) < 0) return -1;
    if (add_function(module, &estimate_normals_def) < 0) return -1;
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
