// Everything that crosses between Python objects and native values: the argument
// conversion rules, the intake of point arrays, the hand-over of native buffers to
// NumPy and the one way a RegisterError becomes a Python exception.
//
// Every function here needs the interpreter lock. Functions that return bool or a
// pointer report failure with false / nullptr and a Python exception set.
#pragma once

#include <Python.h>

#include "options.hpp"
#include "types.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvo::python {

// NumPy's C interface, looked up once on first use and kept for the process.
bool ensure_numpy();

// Attaches the note "while processing '{name}'" to the pending exception, through its
// add_note method where the interpreter has one.
void note_argument(const char* name);

// The conversion rules. Each failure keeps its own exception and gets the argument
// note for `name`.
//   A: a new reference to a two-dimensional float64 array (the object itself when it
//      already is one, otherwise NumPy's forced-cast conversion).
//   I: unsigned 64-bit through __index__.  R: double.  B: bool or numpy.bool_ only.
//   P: a tuple of exactly two reals, first item first.
PyObject* convert_array(PyObject* object, const char* name);
bool convert_index(PyObject* object, const char* name, std::uint64_t& out);
bool convert_real(PyObject* object, const char* name, double& out);
bool convert_bool(PyObject* object, const char* name, bool& out);
bool convert_pair(PyObject* object, const char* name, double& first, double& second);

// Rule A without the note (for callers that replace the error with their own).
PyObject* as_two_dimensional_array(PyObject* object);

struct Shape2 {
    std::size_t rows = 0;
    std::size_t cols = 0;
};
// The shape of an array produced by rule A.
Shape2 array_shape(PyObject* array);
// "[r, c]"
std::string shape_text(Shape2 shape);

// Copies elements (i, j), i < rows, j < cols, of a rule-A array in logical index order
// into `out` (row-major, rows * cols doubles), whatever the array's strides.
void copy_elements(PyObject* array, std::size_t rows, std::size_t cols, double* out);

// The rows of a rule-A array as an owned cloud; ValueError
// "{name} must have shape (N, 3), got [r, c]" when there are not three columns.
bool points_from_array(const char* name, PyObject* array, PointCloud& out);

// A native block of doubles on its way to NumPy: `data` lives until release(owner).
struct OutputBuffer {
    double* data = nullptr;
    void* owner = nullptr;
    void (*release)(void* owner) noexcept = nullptr;
};

// count doubles (uninitialised); data is nullptr with MemoryError set on failure.
OutputBuffer allocate_output(std::size_t count);
// Hands the cloud's own storage over, without copying it.
OutputBuffer output_from_cloud(PointCloud&& cloud);

// A new writeable float64 array over the buffer (strides counted in elements), whose
// base object owns the buffer. On any failure the buffer is released, not leaked.
PyObject* array_from_buffer(OutputBuffer buffer, int ndim, const Py_ssize_t* dims,
                            const Py_ssize_t* element_strides);

// Raises ValueError whose message is exactly error.message(); returns nullptr.
PyObject* raise_register_error(const RegisterError& error);

// The qualified-free type name of an object, for error messages ("NoneType" is "None").
std::string type_name_of(PyObject* object);

}  // namespace tarvo::python
