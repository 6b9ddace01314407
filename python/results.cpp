#include "results.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace varnel_py {

namespace {

using varnel_core::PathResult;
using varnel_core::PathWarning;

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// Inserts `value` (a new reference, or nullptr after a failure) under `key`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* warning_object(const std::optional<PathWarning>& w, ResultStyle style) {
    if (!w) return none();
    if (style == ResultStyle::stable) {
        const std::string text = w->text();
        return Py_BuildValue("(s#L)", text.data(), static_cast<Py_ssize_t>(text.size()),
                             static_cast<long long>(w->code()));
    }
    const std::string_view kind = w->name();
    return Py_BuildValue("(s#K)", kind.data(), static_cast<Py_ssize_t>(kind.size()),
                         static_cast<unsigned long long>(w->lambda_index));
}

// A (rows, K, cols) array, or (rows, cols) when not `wide`, from values at
// (c * rows + r) * K + k: the solver's solution-major layout transposed.
PyObject* by_rows(const varnel_core::Vec& v, std::uint64_t rows, std::uint64_t nk,
                  std::uint64_t cols, bool wide) {
    double* out = nullptr;
    PyObject* a = !wide ? new_matrix(rows, cols, out) : new_array3(rows, nk, cols, out);
    if (a == nullptr) return nullptr;
    for (std::uint64_t r = 0; r < rows; ++r)
        for (std::uint64_t k = 0; k < nk; ++k)
            for (std::uint64_t c = 0; c < cols; ++c)
                out[(r * nk + k) * cols + c] = v[(c * rows + r) * nk + k];
    return a;
}

// The compressed columns expanded: a (nvars, K, lmu) array, or (nvars,
// lmu) when not `wide`, zero where a solution has no entry.
PyObject* expanded(const varnel_core::SolutionColumns& cols, std::uint64_t nvars,
                   std::uint64_t nk, std::uint64_t lmu, bool wide) {
    double* out = nullptr;
    PyObject* a = !wide ? new_matrix(nvars, lmu, out) : new_array3(nvars, nk, lmu, out);
    if (a == nullptr) return nullptr;
    std::fill(out, out + nvars * nk * lmu, 0.0);
    for (std::uint64_t l = 0; l < lmu; ++l)
        for (std::uint64_t e = cols.start[l]; e < cols.start[l + 1]; ++e)
            for (std::uint64_t k = 0; k < nk; ++k)
                out[(cols.var[e] * nk + k) * lmu + l] = cols.values[e * nk + k];
    return a;
}

// The compressed columns as a tuple (start, var, values, nvars).
PyObject* compressed(varnel_core::SolutionColumns&& cols, std::uint64_t nvars) {
    PyRef start(counts_to_array(cols.start));
    PyRef var(start ? counts_to_array(cols.var) : nullptr);
    PyRef values(var ? vector_to_array(std::move(cols.values)) : nullptr);
    if (!values) return nullptr;
    return Py_BuildValue("(OOOK)", start.get(), var.get(), values.get(),
                         static_cast<unsigned long long>(nvars));
}

// Whether the columns describe lmu solutions of nvars variables, nk
// coefficients each.
bool consistent_columns(const varnel_core::SolutionColumns& cols, std::uint64_t nvars,
                        std::uint64_t nk, std::uint64_t lmu) {
    if (cols.start.size() != lmu + 1 || cols.start.front() != 0 ||
        cols.start.back() != cols.var.size() || cols.values.size() != cols.var.size() * nk)
        return false;
    for (std::uint64_t l = 0; l < lmu; ++l)
        if (cols.start[l] > cols.start[l + 1]) return false;
    for (const std::uint64_t j : cols.var)
        if (j >= nvars) return false;
    return true;
}

// (variable, lambda_index), or None.
PyObject* bound_object(const std::optional<varnel_core::BoundReached>& b) {
    if (!b) return none();
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(b->variable),
                         static_cast<unsigned long long>(b->lambda_index));
}

PyObject* iterate_object(const std::optional<varnel_core::Iterate>& it, std::uint64_t nvars,
                         std::uint64_t nk, bool wide) {
    if (!it) return none();
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    double* beta = nullptr;
    PyObject* b = !wide ? vector_to_array(varnel_core::Vec(it->beta)) : new_matrix(nvars, nk, beta);
    if (b != nullptr && wide) std::copy(it->beta.begin(), it->beta.end(), beta);
    PyObject* a0 = !wide ? PyFloat_FromDouble(it->a0[0]) : vector_to_array(varnel_core::Vec(it->a0));
    if (!set_item(dict.get(), "lambda", PyFloat_FromDouble(it->lambda)) ||
        !set_item(dict.get(), "a0", a0) || !set_item(dict.get(), "beta", b))
        return nullptr;
    return dict.release();
}

}  // namespace

PyObject* result_dict(varnel_core::FitOutcome outcome, CoefShape shape, ResultStyle style) {
    if (const auto* e = std::get_if<varnel_core::FitError>(&outcome)) {
        raise(PyExc_ValueError, std::string(varnel_core::message(*e)));
        return nullptr;
    }
    auto& [path, solver] = std::get<varnel_core::FitResult>(outcome);
    const std::uint64_t nvars = shape.nvars;
    const std::uint64_t lmu = path.lmu;
    const std::uint64_t nk = path.nclass;
    const bool consistent = nk >= 1 && path.lambda.size() == lmu && path.a0.size() == lmu * nk &&
                            path.dev_ratio.size() == lmu &&
                            consistent_columns(path.beta, nvars, nk, lmu);
    if (!consistent) return raise(PyExc_RuntimeError, "the solver returned an inconsistent path"), nullptr;

    // beta (p, lmu), or (p, K, lmu) and a0 (K, lmu) for a block family;
    // or the compressed columns
    const bool wide = path.block;
    PyRef beta(shape.sparse ? compressed(std::move(path.beta), nvars)
                            : expanded(path.beta, nvars, nk, lmu, wide));
    if (!beta) return nullptr;
    path.beta = varnel_core::SolutionColumns{};
    PyRef a0(!wide ? vector_to_array(std::move(path.a0)) : by_rows(path.a0, nk, 1, lmu, false));
    if (!a0) return nullptr;

    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok =
        set_item(d, "lmu", PyLong_FromUnsignedLongLong(lmu)) &&
        set_item(d, "lambda", vector_to_array(std::move(path.lambda))) &&
        set_item(d, "a0", a0.release()) && set_item(d, "beta", beta.release()) &&
        set_item(d, "dev_ratio", vector_to_array(std::move(path.dev_ratio))) &&
        set_item(d, "nulldev", PyFloat_FromDouble(path.nulldev)) &&
        set_item(d, "npasses", PyLong_FromUnsignedLongLong(path.npasses)) &&
        set_item(d, "warning", warning_object(path.warning, style));
    if (!ok) return nullptr;
    if (style != ResultStyle::stable) {
        const std::string_view name = varnel_core::solver_name(solver);
        if (!set_item(d, "lambda_max", PyFloat_FromDouble(path.lambda_max)) ||
            !set_item(d, "iterate", iterate_object(path.iterate, nvars, nk, wide)) ||
            !set_item(d, "bound", bound_object(path.bound)) ||
            !set_item(d, "solver", PyUnicode_FromStringAndSize(name.data(),
                                                               static_cast<Py_ssize_t>(name.size()))))
            return nullptr;
    }
    if (style == ResultStyle::statistics &&
        !set_item(d, "npasses_data", PyLong_FromUnsignedLongLong(path.npasses_data)))
        return nullptr;
    return dict.release();
}

}  // namespace varnel_py
