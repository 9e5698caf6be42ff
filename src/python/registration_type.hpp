// tarvo._tarvo.Registration: the immutable result of one registration run.
#pragma once

#include <Python.h>

#include "registration.hpp"

namespace tarvo::python {

// The type object, created on the first call and kept for the process (borrowed
// reference), or nullptr with an exception set.
PyTypeObject* registration_type();

// A new Registration holding a copy of `result`, or nullptr with an exception set.
PyObject* new_registration(const RegistrationResult& result);

}  // namespace tarvo::python
