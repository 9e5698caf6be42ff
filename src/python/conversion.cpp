// The only translation unit that talks to NumPy's C interface; the rest of the module
// reaches NumPy through the functions declared in conversion.hpp.
#include "conversion.hpp"

#include "heap_type.hpp"

#include "pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarvo_numpy_api
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace tarvo::python {

static_assert(sizeof(Point3) == 3 * sizeof(double), "a PointCloud must be a plain (N, 3) block of doubles");

// ---------------------------------------------------------------------------------
// NumPy's interface table

namespace {

PyObject* import_multiarray() {
    PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        // NumPy before 2.0 kept the module under numpy.core.
        PyErr_Clear();
        module = PyImport_ImportModule("numpy.core.multiarray");
    }
    return module;
}

void** table_from_capsule(PyObject* module) {
    PyRef capsule(PyObject_GetAttrString(module, "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
        return nullptr;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API is empty");
    }
    return table;
}

// The interface must be at least as new as the one this module was compiled for.
bool check_numpy_versions() {
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_ImportError, "tarvo was compiled against numpy ABI 0x%x but numpy has 0x%x",
                     static_cast<int>(NPY_VERSION), static_cast<int>(PyArray_GetNDArrayCVersion()));
        return false;
    }
    const int runtime = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (runtime < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_ImportError, "tarvo needs numpy C-API version 0x%x but numpy has 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION), runtime);
        return false;
    }
    PyArray_RUNTIME_VERSION = runtime;
    return true;
}

}  // namespace

bool ensure_numpy() {
    if (PyArray_API != nullptr) return true;
    PyRef module(import_multiarray());
    if (!module) return false;
    void** table = table_from_capsule(module.get());
    if (table == nullptr) return false;
    // The lock is held from here on, so no other thread sees a table that failed its check.
    PyArray_API = table;
    if (!check_numpy_versions()) {
        PyArray_API = nullptr;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------
// Notes and messages

void note_argument(const char* name) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        // add_note exists from Python 3.11 on; without it the exception goes unnoted.
        PyRef add_note(PyObject_GetAttrString(value, "add_note"));
        if (add_note) {
            PyRef note(PyUnicode_FromFormat("while processing '%s'", name));
            if (note) PyRef(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr));
        }
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

std::string type_name_of(PyObject* object) {
    if (object == Py_None) return "None";
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return text;
}

// ---------------------------------------------------------------------------------
// Conversion rules

namespace {

bool is_float64_matrix(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2) return false;
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
    Py_DECREF(float64);
    return same;
}

}  // namespace

PyObject* as_two_dimensional_array(PyObject* object) {
    if (!ensure_numpy()) return nullptr;
    if (is_float64_matrix(object)) {
        Py_INCREF(object);
        return object;
    }
    // FromAny steals the descriptor reference.
    PyObject* converted =
        PyArray_FromAny(object, PyArray_DescrFromType(NPY_FLOAT64), 0, 0, NPY_ARRAY_FORCECAST, nullptr);
    if (converted == nullptr) return nullptr;
    const int ndim = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(converted));
    if (ndim != 2) {
        Py_DECREF(converted);
        PyErr_Format(PyExc_TypeError, "expected a two-dimensional array, got an array with ndim=%d", ndim);
        return nullptr;
    }
    return converted;
}

PyObject* convert_array(PyObject* object, const char* name) {
    PyObject* array = as_two_dimensional_array(object);
    if (array == nullptr) note_argument(name);
    return array;
}

bool convert_index(PyObject* object, const char* name, std::uint64_t& out) {
    PyRef index(PyNumber_Index(object));
    if (!index) {
        note_argument(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        note_argument(name);
        return false;
    }
    out = value;
    return true;
}

bool convert_real(PyObject* object, const char* name, double& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        note_argument(name);
        return false;
    }
    out = value;
    return true;
}

bool convert_bool(PyObject* object, const char* name, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    if (ensure_numpy() && PyArray_IsScalar(object, Bool)) {
        out = object == PyArrayScalar_True;
        return true;
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "expected bool, got %s", type_name_of(object).c_str());
    }
    note_argument(name);
    return false;
}

bool convert_pair(PyObject* object, const char* name, double& first, double& second) {
    if (!PyTuple_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected tuple, got %s", type_name_of(object).c_str());
        note_argument(name);
        return false;
    }
    const Py_ssize_t length = PyTuple_Size(object);
    if (length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
        note_argument(name);
        return false;
    }
    return convert_real(PyTuple_GetItem(object, 0), name, first) &&
           convert_real(PyTuple_GetItem(object, 1), name, second);
}

// ---------------------------------------------------------------------------------
// Point intake

Shape2 array_shape(PyObject* array) {
    const npy_intp* dims = PyArray_DIMS(reinterpret_cast<PyArrayObject*>(array));
    return {static_cast<std::size_t>(dims[0]), static_cast<std::size_t>(dims[1])};
}

std::string shape_text(Shape2 shape) {
    std::string text = "[";
    text += std::to_string(shape.rows);
    text += ", ";
    text += std::to_string(shape.cols);
    text += ']';
    return text;
}

void copy_elements(PyObject* array, std::size_t rows, std::size_t cols, double* out) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    const char* base = PyArray_BYTES(a);
    const npy_intp row_stride = PyArray_STRIDES(a)[0];
    const npy_intp col_stride = PyArray_STRIDES(a)[1];
    for (std::size_t i = 0; i < rows; ++i) {
        const char* row = base + static_cast<npy_intp>(i) * row_stride;
        for (std::size_t j = 0; j < cols; ++j) {
            // memcpy: the array need not be aligned.
            std::memcpy(out++, row + static_cast<npy_intp>(j) * col_stride, sizeof(double));
        }
    }
}

namespace {

bool is_row_major_block(PyArrayObject* array, std::size_t rows) {
    const npy_intp* strides = PyArray_STRIDES(array);
    return strides[1] == sizeof(double) && (rows == 1 || strides[0] == 3 * sizeof(double));
}

}  // namespace

bool points_from_array(const char* name, PyObject* array, PointCloud& out) {
    const Shape2 shape = array_shape(array);
    if (shape.cols != 3) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (N, 3), got %s", name, shape_text(shape).c_str());
        return false;
    }
    try {
        out.resize(shape.rows);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    if (shape.rows == 0) return true;
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    double* destination = reinterpret_cast<double*>(out.data());
    if (is_row_major_block(a, shape.rows)) {
        std::memcpy(destination, PyArray_BYTES(a), shape.rows * sizeof(Point3));
    } else {
        copy_elements(array, shape.rows, 3, destination);
    }
    return true;
}

// ---------------------------------------------------------------------------------
// Output arrays

namespace {

void free_malloced(void* owner) noexcept { std::free(owner); }
void delete_cloud(void* owner) noexcept { delete static_cast<PointCloud*>(owner); }

// Owns one output buffer; an array's base object, so the buffer lives exactly as
// long as the array and its views.
struct BufferHolder {
    PyObject_HEAD
    void* owner;
    void (*release)(void* owner) noexcept;
};

void holder_dealloc(PyObject* self) {
    auto* holder = reinterpret_cast<BufferHolder*>(self);
    if (holder->release != nullptr) holder->release(holder->owner);
    PyTypeObject* type = Py_TYPE(self);
    auto free_self = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_self(self);
    Py_DECREF(type);
}

PyType_Slot holder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of an array returned by tarvo.")},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "tarvo._tarvo._BufferHolder",
    sizeof(BufferHolder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    holder_slots,
};

// Created once, on first use, and kept for the process (never in the module namespace).
PyTypeObject* holder_type() {
    static PyTypeObject* type = nullptr;
    return type_from_spec_once(type, holder_spec);
}

PyObject* new_holder(const OutputBuffer& buffer) {
    PyObject* object = allocate_instance(holder_type());
    if (object == nullptr) return nullptr;
    auto* holder = reinterpret_cast<BufferHolder*>(object);
    holder->owner = buffer.owner;
    holder->release = buffer.release;
    return object;
}

}  // namespace

OutputBuffer allocate_output(std::size_t count) {
    // At least one element, so that an empty array still has a buffer of its own.
    const std::size_t elements = count == 0 ? 1 : count;
    if (elements > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
        PyErr_NoMemory();
        return {};
    }
    void* memory = std::malloc(elements * sizeof(double));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    return {static_cast<double*>(memory), memory, free_malloced};
}

OutputBuffer output_from_cloud(PointCloud&& cloud) {
    if (cloud.empty()) return allocate_output(0);
    auto* owner = new (std::nothrow) PointCloud(std::move(cloud));
    if (owner == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    return {reinterpret_cast<double*>(owner->data()), owner, delete_cloud};
}

PyObject* array_from_buffer(OutputBuffer buffer, int ndim, const Py_ssize_t* dims,
                            const Py_ssize_t* element_strides) {
    if (!ensure_numpy()) {
        buffer.release(buffer.owner);
        return nullptr;
    }
    PyObject* holder = new_holder(buffer);
    if (holder == nullptr) {
        buffer.release(buffer.owner);
        return nullptr;
    }
    npy_intp shape[2] = {0, 0};
    npy_intp byte_strides[2] = {0, 0};
    for (int d = 0; d < ndim; ++d) {
        shape[d] = dims[d];
        byte_strides[d] = element_strides[d] * static_cast<npy_intp>(sizeof(double));
    }
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), ndim, shape,
                                           byte_strides, buffer.data, NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        Py_DECREF(holder);  // frees the buffer
        return nullptr;
    }
    // Steals the holder, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

// ---------------------------------------------------------------------------------
// Errors

PyObject* raise_register_error(const RegisterError& error) {
    try {
        const std::string message = error.message();
        PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    } catch (...) {
        PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace tarvo::python
