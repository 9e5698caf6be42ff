// register(): argument conversion in its fixed order, method and init parsing, option
// defaults, and the driver call with the interpreter lock released.
#include "entry_points.hpp"

#include "conversion.hpp"
#include "native_call.hpp"
#include "pyref.hpp"
#include "quoting.hpp"
#include "registration.hpp"
#include "registration_type.hpp"
#include "similarity.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tarvo::python {

const char* const REGISTER_DOC =
    "register(source, target, *, method=\"robust_icp\", target_normals=None, init=None, "
    "max_iterations=None, tolerance=None, anderson_m=None, nu_begin_k=None, nu_end_k=None, "
    "nu_alpha=None, nu_neighbors=None, max_line_search=None, normalize=None, estimate_scale=None, "
    "scale_bounds=None)\n--\n\n";

namespace {

constexpr std::string_view DEFAULT_METHOD = "robust_icp";

// The call's arguments as passed (borrowed); nullptr means left out.
struct RawArguments {
    PyObject* source = nullptr;
    PyObject* target = nullptr;
    PyObject* method = nullptr;
    PyObject* target_normals = nullptr;
    PyObject* init = nullptr;
    PyObject* max_iterations = nullptr;
    PyObject* tolerance = nullptr;
    PyObject* anderson_m = nullptr;
    PyObject* nu_begin_k = nullptr;
    PyObject* nu_end_k = nullptr;
    PyObject* nu_alpha = nullptr;
    PyObject* nu_neighbors = nullptr;
    PyObject* max_line_search = nullptr;
    PyObject* normalize = nullptr;
    PyObject* estimate_scale = nullptr;
    PyObject* scale_bounds = nullptr;
};

// The arguments after the conversion rules; an empty optional means "not given".
struct ConvertedArguments {
    PyRef source;
    PyRef target;
    PyRef target_normals;
    PyObject* method = nullptr;  // the caller's str (borrowed), or nullptr for the default
    std::string_view method_text = DEFAULT_METHOD;
    std::optional<std::uint64_t> max_iterations;
    std::optional<double> tolerance;
    std::optional<std::uint64_t> anderson_m;
    std::optional<double> nu_begin_k;
    std::optional<double> nu_end_k;
    std::optional<double> nu_alpha;
    std::optional<std::uint64_t> nu_neighbors;
    std::optional<std::uint64_t> max_line_search;
    std::optional<bool> normalize;
    std::optional<bool> estimate_scale;
    std::optional<ScaleBounds> scale_bounds;
};

bool parse_call(PyObject* args, PyObject* kwargs, RawArguments& raw) {
    static const char* keywords[] = {"source", "target", "method", "target_normals", "init", "max_iterations",
                                     "tolerance", "anderson_m", "nu_begin_k", "nu_end_k", "nu_alpha",
                                     "nu_neighbors", "max_line_search", "normalize", "estimate_scale",
                                     "scale_bounds", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOOOOOOOO:register", const_cast<char**>(keywords),
                                       &raw.source, &raw.target, &raw.method, &raw.target_normals, &raw.init,
                                       &raw.max_iterations, &raw.tolerance, &raw.anderson_m, &raw.nu_begin_k,
                                       &raw.nu_end_k, &raw.nu_alpha, &raw.nu_neighbors, &raw.max_line_search,
                                       &raw.normalize, &raw.estimate_scale, &raw.scale_bounds) != 0;
}

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

bool convert_method(PyObject* method, ConvertedArguments& out) {
    if (method == nullptr) return true;
    if (!PyUnicode_Check(method)) {
        PyErr_Format(PyExc_TypeError, "register() argument 'method' must be str, not %s",
                     type_name_of(method).c_str());
        note_argument("method");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(method, &size);
    if (text == nullptr) {
        note_argument("method");
        return false;
    }
    out.method = method;
    out.method_text = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool convert_optional_array(PyObject* object, const char* name, PyRef& out) {
    if (!given(object)) return true;
    out.reset(convert_array(object, name));
    return static_cast<bool>(out);
}

template <class T, class Convert>
bool convert_optional(PyObject* object, const char* name, std::optional<T>& out, Convert convert) {
    if (!given(object)) return true;
    T value{};
    if (!convert(object, name, value)) return false;
    out = value;
    return true;
}

bool convert_scale_bounds(PyObject* object, std::optional<ScaleBounds>& out) {
    if (!given(object)) return true;
    ScaleBounds bounds;
    if (!convert_pair(object, "scale_bounds", bounds.lower, bounds.upper)) return false;
    out = bounds;
    return true;
}

// In the documented order: the first failure is the one reported.
bool convert_arguments(const RawArguments& raw, ConvertedArguments& out) {
    out.source.reset(convert_array(raw.source, "source"));
    if (!out.source) return false;
    out.target.reset(convert_array(raw.target, "target"));
    if (!out.target) return false;
    return convert_method(raw.method, out) &&
           convert_optional_array(raw.target_normals, "target_normals", out.target_normals) &&
           convert_optional(raw.max_iterations, "max_iterations", out.max_iterations, convert_index) &&
           convert_optional(raw.tolerance, "tolerance", out.tolerance, convert_real) &&
           convert_optional(raw.anderson_m, "anderson_m", out.anderson_m, convert_index) &&
           convert_optional(raw.nu_begin_k, "nu_begin_k", out.nu_begin_k, convert_real) &&
           convert_optional(raw.nu_end_k, "nu_end_k", out.nu_end_k, convert_real) &&
           convert_optional(raw.nu_alpha, "nu_alpha", out.nu_alpha, convert_real) &&
           convert_optional(raw.nu_neighbors, "nu_neighbors", out.nu_neighbors, convert_index) &&
           convert_optional(raw.max_line_search, "max_line_search", out.max_line_search, convert_index) &&
           convert_optional(raw.normalize, "normalize", out.normalize, convert_bool) &&
           convert_optional(raw.estimate_scale, "estimate_scale", out.estimate_scale, convert_bool) &&
           convert_scale_bounds(raw.scale_bounds, out.scale_bounds);
}

// ---------------------------------------------------------------------------------
// Method and options

bool raise_unknown_method(PyObject* method) {
    std::string message = "unknown method ";
    if (!append_quoted(message, method)) return false;
    message += "; expected one of ";
    for (std::size_t i = 0; i < METHOD_NAMES.size(); ++i) {
        if (i > 0) message += ", ";
        message += '"';
        message += METHOD_NAMES[i];
        message += '"';
    }
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return false;
}

bool resolve_method(const ConvertedArguments& args, Method& out) {
    const std::optional<Method> method = parse_method(args.method_text);
    if (!method) return raise_unknown_method(args.method);
    out = *method;
    return true;
}

RegisterOptions fill_options(Method method, const ConvertedArguments& a) {
    RegisterOptions options = default_options(method);
    if (a.max_iterations) options.max_iterations = *a.max_iterations;
    if (a.tolerance) options.tolerance = *a.tolerance;
    if (a.anderson_m) options.anderson_m = *a.anderson_m;
    if (a.nu_begin_k) options.nu_begin_k = *a.nu_begin_k;
    if (a.nu_end_k) options.nu_end_k = *a.nu_end_k;
    if (a.nu_alpha) options.nu_alpha = *a.nu_alpha;
    if (a.nu_neighbors) options.nu_neighbors = *a.nu_neighbors;
    if (a.max_line_search) options.max_line_search = *a.max_line_search;
    if (a.normalize) options.normalize = *a.normalize;
    if (a.scale_bounds) options.scale_bounds = *a.scale_bounds;
    // Supplying bounds asks for scale estimation unless the caller says otherwise.
    options.estimate_scale = a.estimate_scale.value_or(a.scale_bounds.has_value());
    return options;
}

// ---------------------------------------------------------------------------------
// init

constexpr const char* INIT_EXPECTED = "'centroids', 'identity', or a 4x4 matrix";

// The upper-left block's nearest proper rotation and mean singular value; rows 0 to 2
// of the row-major 3x4 `m` are all that is read.
SimilarityTransform init_from_matrix(const double (&m)[12]) {
    Mat3 block;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) block(i, j) = m[4 * i + j];
    }
    SimilarityTransform t;
    if (const std::optional<Svd3> svd = svd3(block)) {
        const auto [rotation, flipped] = rotation_from_svd(svd->u, svd->v_transposed);
        const Vec3& sigma = svd->singular_values;
        const double third = flipped ? -sigma[2] : sigma[2];
        t.rotation = rotation;
        t.scale = ((sigma[0] + sigma[1]) + third) / 3.0;
    } else {
        t.rotation = block;
        t.scale = 1.0;
    }
    t.translation = Vec3(m[3], m[7], m[11]);
    return t;
}

bool parse_init_text(PyObject* init, std::string_view text, InitMode& out) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lowered == "centroids") {
        out = InitMode::centroids();
        return true;
    }
    if (lowered == "identity") {
        out = InitMode::identity();
        return true;
    }
    std::string message = "unknown init ";
    if (!append_quoted(message, init)) return false;
    message += "; expected ";
    message += INIT_EXPECTED;
    PyRef value(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (value) PyErr_SetObject(PyExc_ValueError, value.get());
    return false;
}

// An interrupt (or anything else outside Exception) and exhausted memory say nothing
// about the init value; replacing them would lose a Ctrl-C.
bool conversion_was_interrupted() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool parse_init_matrix(PyObject* init, InitMode& out) {
    PyRef array(as_two_dimensional_array(init));
    if (!array) {
        if (conversion_was_interrupted()) return false;
        // Whatever NumPy objected to, the caller learns what init may be.
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "init must be %s", INIT_EXPECTED);
        return false;
    }
    const Shape2 shape = array_shape(array.get());
    if (shape.rows != 4 || shape.cols != 4) {
        PyErr_Format(PyExc_ValueError, "init matrix must have shape (4, 4), got %s", shape_text(shape).c_str());
        return false;
    }
    double rows[12];
    copy_elements(array.get(), 3, 4, rows);
    out = InitMode::from_matrix(init_from_matrix(rows));
    return true;
}

bool parse_init(PyObject* init, InitMode& out) {
    if (!given(init)) {
        out = InitMode::centroids();
        return true;
    }
    if (PyUnicode_Check(init)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(init, &size);
        if (text != nullptr) return parse_init_text(init, std::string_view(text, static_cast<std::size_t>(size)), out);
        // Only text that is not UTF-8 (a lone surrogate) is treated like any other object.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
    }
    return parse_init_matrix(init, out);
}

// ---------------------------------------------------------------------------------
// The call

struct Clouds {
    PointCloud source;
    PointCloud target;
    std::optional<PointCloud> target_normals;
};

bool take_clouds(const ConvertedArguments& args, Clouds& out) {
    if (!points_from_array("source", args.source.get(), out.source)) return false;
    if (!points_from_array("target", args.target.get(), out.target)) return false;
    if (!args.target_normals) return true;
    out.target_normals.emplace();
    return points_from_array("target_normals", args.target_normals.get(), *out.target_normals);
}

using DriverOutcome = Expected<RegistrationResult, RegisterError>;

// Runs without the interpreter lock: touches only the owned clouds and options.
DriverOutcome run_driver(const Clouds& clouds, const RegisterOptions& options) {
    if (is_point_to_plane(options.method) && !clouds.target_normals) return RegisterError::normals_required();
    std::optional<std::span<const Point3>> normals;
    if (clouds.target_normals) normals = std::span<const Point3>(*clouds.target_normals);
    return register_with_normals(clouds.source, clouds.target, normals, options);
}

PyObject* register_checked(PyObject* args, PyObject* kwargs) {
    RawArguments raw;
    if (!parse_call(args, kwargs, raw)) return nullptr;
    ConvertedArguments converted;
    if (!convert_arguments(raw, converted)) return nullptr;
    Method method{};
    if (!resolve_method(converted, method)) return nullptr;
    RegisterOptions options = fill_options(method, converted);
    if (!parse_init(raw.init, options.init)) return nullptr;
    Clouds clouds;
    if (!take_clouds(converted, clouds)) return nullptr;

    std::optional<DriverOutcome> outcome;
    const NativeFailure failure = run_without_gil([&] { outcome.emplace(run_driver(clouds, options)); });
    if (raise_native_failure(failure)) return nullptr;
    if (!outcome->has_value()) return raise_register_error(outcome->error());
    return new_registration(outcome->value());
}

}  // namespace

PyObject* register_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded_entry("register", [&] { return register_checked(args, kwargs); });
}

}  // namespace tarvo::python
