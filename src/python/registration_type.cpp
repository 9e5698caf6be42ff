#include "registration_type.hpp"

#include "heap_type.hpp"

#include "conversion.hpp"
#include "number_format.hpp"
#include "pyref.hpp"

#include <structmember.h>

#include <cstddef>
#include <string>

namespace tarvo::python {

namespace {

// The driver's record in plain fields, so that the scalar attributes can be served as
// read-only members straight from the instance.
struct RegistrationObject {
    PyObject_HEAD
    unsigned long long iterations;
    double energy;
    double rmse;
    double inlier_rmse;
    double inlier_ratio;
    double scale;
    double nu;
    double rotation[9];  // row-major
    double translation[3];
    char converged;
    char has_nu;
};

RegistrationObject* as_registration(PyObject* self) { return reinterpret_cast<RegistrationObject*>(self); }

SimilarityTransform transform_of(const RegistrationObject& r) {
    SimilarityTransform t;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) t.rotation(i, j) = r.rotation[3 * i + j];
        t.translation[i] = r.translation[i];
    }
    t.scale = r.scale;
    return t;
}

// ---------------------------------------------------------------------------------
// Array attributes: every access builds a fresh array with its own buffer.

PyObject* matrix_array(const double* values, Py_ssize_t rows, Py_ssize_t cols) {
    OutputBuffer buffer = allocate_output(static_cast<std::size_t>(rows * cols));
    if (buffer.data == nullptr) return nullptr;
    for (Py_ssize_t k = 0; k < rows * cols; ++k) buffer.data[k] = values[k];
    const Py_ssize_t dims[2] = {rows, cols};
    const Py_ssize_t strides[2] = {cols, 1};
    return array_from_buffer(buffer, 2, dims, strides);
}

PyObject* get_rotation(PyObject* self, void*) { return matrix_array(as_registration(self)->rotation, 3, 3); }

PyObject* get_translation(PyObject* self, void*) {
    OutputBuffer buffer = allocate_output(3);
    if (buffer.data == nullptr) return nullptr;
    for (int i = 0; i < 3; ++i) buffer.data[i] = as_registration(self)->translation[i];
    const Py_ssize_t dims[1] = {3};
    const Py_ssize_t strides[1] = {1};
    return array_from_buffer(buffer, 1, dims, strides);
}

PyObject* get_transform(PyObject* self, void*) {
    const RegistrationObject& r = *as_registration(self);
    double values[16];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) values[4 * i + j] = r.scale * r.rotation[3 * i + j];
        values[4 * i + 3] = r.translation[i];
    }
    values[12] = 0.0;
    values[13] = 0.0;
    values[14] = 0.0;
    values[15] = 1.0;
    return matrix_array(values, 4, 4);
}

PyObject* get_nu(PyObject* self, void*) {
    const RegistrationObject& r = *as_registration(self);
    if (!r.has_nu) Py_RETURN_NONE;
    return PyFloat_FromDouble(r.nu);
}

PyObject* get_scale(PyObject* self, void*) { return PyFloat_FromDouble(as_registration(self)->scale); }

// ---------------------------------------------------------------------------------
// apply and repr

void transform_points(const SimilarityTransform& t, const PointCloud& points, double* out) {
    for (const Point3& p : points) {
        const Point3 q = t.apply(p);
        *out++ = q.x;
        *out++ = q.y;
        *out++ = q.z;
    }
}

PyObject* registration_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"points", nullptr};
    PyObject* points_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:apply", const_cast<char**>(keywords), &points_arg)) {
        return nullptr;
    }
    PyRef array(convert_array(points_arg, "points"));
    if (!array) return nullptr;
    PointCloud points;
    if (!points_from_array("points", array.get(), points)) return nullptr;
    OutputBuffer buffer = allocate_output(3 * points.size());
    if (buffer.data == nullptr) return nullptr;
    transform_points(transform_of(*as_registration(self)), points, buffer.data);
    const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(points.size()), 3};
    const Py_ssize_t strides[2] = {3, 1};
    return array_from_buffer(buffer, 2, dims, strides);
}

std::string summary_text(const RegistrationObject& r) {
    std::string text = "Registration(iterations=" + std::to_string(r.iterations);
    text += ", converged=";
    text += r.converged ? "True" : "False";
    text += ", rmse=" + format_scientific4(r.rmse);
    text += ", inlier_rmse=" + format_scientific4(r.inlier_rmse);
    text += ", inlier_ratio=" + format_fixed4(r.inlier_ratio);
    text += ", energy=" + format_scientific4(r.energy);
    // NaN compares unequal to 1.0 and is printed.
    if (!(r.scale == 1.0)) text += ", scale=" + format_fixed4(r.scale);
    text += ")";
    return text;
}

PyObject* registration_repr(PyObject* self) {
    try {
        const std::string text = summary_text(*as_registration(self));
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    } catch (...) {
        return PyErr_NoMemory();
    }
}

void registration_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_self = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_self(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------
// The type

constexpr const char* CLASS_DOC =
    "The result of a registration run.\n\nThe scalar attributes are plain fields with generated getters; "
    "only the\nthree that hand back numpy arrays need code.";

constexpr const char* APPLY_DOC =
    "apply($self, points)\n--\n\nApplies the transform \xe2\x80\x94 scale included \xe2\x80\x94 to an `(N, 3)` "
    "array of points.";

PyMethodDef registration_methods[] = {
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(registration_apply)),
     METH_VARARGS | METH_KEYWORDS, APPLY_DOC},
    {nullptr, nullptr, 0, nullptr},
};

#define TARVO_MEMBER(name, type, doc) \
    {const_cast<char*>(#name), type, offsetof(RegistrationObject, name), READONLY, const_cast<char*>(doc)}

// Members first, then the getters: together they are declared in the documented order.
PyMemberDef registration_members[] = {
    TARVO_MEMBER(iterations, T_ULONGLONG, "Total ICP iterations across all `nu` stages."),
    TARVO_MEMBER(converged, T_BOOL, "Whether the final stage stopped on `tolerance` rather than its budget."),
    TARVO_MEMBER(energy, T_DOUBLE, "The target energy at the returned transform."),
    TARVO_MEMBER(rmse, T_DOUBLE, "RMS residual over every source point."),
    TARVO_MEMBER(inlier_rmse, T_DOUBLE, "RMS residual over the pairs the robust metric kept."),
    TARVO_MEMBER(inlier_ratio, T_DOUBLE, "Fraction of source points counted as inliers."),
    {nullptr, 0, 0, 0, nullptr},
};

#undef TARVO_MEMBER

// `scale` is a getter rather than a member only so that it keeps its place, last.
PyGetSetDef registration_getset[] = {
    {"nu", get_nu, nullptr, "The final Welsch parameter, or `None` for the non-robust methods.", nullptr},
    {"transform", get_transform, nullptr,
     "The 4x4 homogeneous transform mapping source onto target; its\nupper-left block is `scale * rotation`.",
     nullptr},
    {"rotation", get_rotation, nullptr, "The 3x3 pure rotation, with `scale` divided out.", nullptr},
    {"translation", get_translation, nullptr, "The translation part of `transform`.", nullptr},
    {"scale", get_scale, nullptr, "The uniform scale factor, `1.0` unless `estimate_scale` was set.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot registration_slots[] = {
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_dealloc, reinterpret_cast<void*>(registration_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(registration_repr)},
    {Py_tp_methods, registration_methods},
    {Py_tp_members, registration_members},
    {Py_tp_getset, registration_getset},
    {0, nullptr},
};

PyType_Spec registration_spec = {
    "tarvo._tarvo.Registration",
    sizeof(RegistrationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    registration_slots,
};

void copy_record(const RegistrationResult& result, RegistrationObject& r) {
    r.iterations = result.iterations;
    r.energy = result.energy;
    r.rmse = result.rmse;
    r.inlier_rmse = result.inlier_rmse;
    r.inlier_ratio = result.inlier_ratio;
    r.scale = result.scale;
    r.has_nu = result.nu.has_value() ? 1 : 0;
    r.nu = result.nu.value_or(0.0);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) r.rotation[3 * i + j] = result.rotation(i, j);
        r.translation[i] = result.translation[i];
    }
    r.converged = result.converged ? 1 : 0;
}

}  // namespace

PyTypeObject* registration_type() {
    static PyTypeObject* type = nullptr;
    return type_from_spec_once(type, registration_spec);
}

PyObject* new_registration(const RegistrationResult& result) {
    PyObject* self = allocate_instance(registration_type());
    if (self == nullptr) return nullptr;
    copy_record(result, *as_registration(self));
    return self;
}

}  // namespace tarvo::python
