// estimate_normals(): conversion, the per-point plane fits with the interpreter lock
// released, and the normals handed to NumPy without a copy.
#include "entry_points.hpp"

#include "conversion.hpp"
#include "native_call.hpp"
#include "normals.hpp"
#include "pyref.hpp"

#include <optional>

namespace tarvo::python {

const char* const ESTIMATE_NORMALS_DOC =
    "estimate_normals(points, k=30)\n--\n\nEstimates unit normals by fitting a plane to each point's `k` "
    "nearest\nneighbours. The orientation is arbitrary.";

namespace {

constexpr std::uint64_t DEFAULT_NEIGHBOURS = 30;

PyObject* estimate_normals_checked(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"points", "k", nullptr};
    PyObject* points_arg = nullptr;
    PyObject* k_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:estimate_normals", const_cast<char**>(keywords),
                                     &points_arg, &k_arg)) {
        return nullptr;
    }
    PyRef array(convert_array(points_arg, "points"));
    if (!array) return nullptr;
    std::uint64_t k = DEFAULT_NEIGHBOURS;
    // k has no None form: only a left-out k takes the default.
    if (k_arg != nullptr && !convert_index(k_arg, "k", k)) return nullptr;
    PointCloud points;
    if (!points_from_array("points", array.get(), points)) return nullptr;

    std::optional<Expected<PointCloud, RegisterError>> outcome;
    const NativeFailure failure = run_without_gil([&] { outcome.emplace(estimate_normals(points, k)); });
    if (raise_native_failure(failure)) return nullptr;
    if (!outcome->has_value()) return raise_register_error(outcome->error());

    const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(outcome->value().size()), 3};
    const Py_ssize_t strides[2] = {3, 1};
    OutputBuffer buffer = output_from_cloud(std::move(outcome->value()));
    if (buffer.data == nullptr) return nullptr;
    return array_from_buffer(buffer, 2, dims, strides);
}

}  // namespace

PyObject* estimate_normals_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded_entry("estimate_normals", [&] { return estimate_normals_checked(args, kwargs); });
}

}  // namespace tarvo::python
