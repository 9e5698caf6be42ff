// Runs native work with the interpreter lock released and turns any C++ exception
// into a Python exception once the lock is held again: nothing thrown by the core may
// reach the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

namespace tarvo::python {

enum class NativeFailure { None, OutOfMemory, Internal };

// Calls work() without the interpreter lock. work must not touch any Python object.
template <class Work>
NativeFailure run_without_gil(Work&& work) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    NativeFailure failure = NativeFailure::None;
    try {
        work();
    } catch (const std::bad_alloc&) {
        failure = NativeFailure::OutOfMemory;
    } catch (const std::length_error&) {
        // std::vector reports impossible sizes this way; to the caller it is the same.
        failure = NativeFailure::OutOfMemory;
    } catch (...) {
        failure = NativeFailure::Internal;
    }
    PyEval_RestoreThread(state);
    return failure;
}

// Sets the Python exception for a failure (lock held); false when there was none.
inline bool raise_native_failure(NativeFailure failure) {
    switch (failure) {
        case NativeFailure::None:
            return false;
        case NativeFailure::OutOfMemory:
            PyErr_NoMemory();
            return true;
        case NativeFailure::Internal:
            PyErr_SetString(PyExc_RuntimeError, "internal error in the native registration core");
            return true;
    }
    return false;
}

// Calls entry() (lock held) and turns a C++ exception escaping it into MemoryError or
// a RuntimeError naming `function`, so that none reaches the interpreter.
template <class Entry>
PyObject* guarded_entry(const char* function, Entry&& entry) noexcept {
    try {
        return entry();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "internal error in tarvo.%s", function);
        return nullptr;
    }
}

}  // namespace tarvo::python
