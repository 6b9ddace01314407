// The extension module varnel._core: elnet_path fits a Gaussian, binomial or
// Poisson elastic-net path on a dense NumPy matrix, elnet_sparse a Gaussian
// path on compressed sparse columns.  Both return the result dictionary
// built by pack.
#include "pyconv.hpp"

#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "binomial.hpp"
#include "control.hpp"
#include "error.hpp"
#include "gaussian.hpp"
#include "matrix.hpp"
#include "poisson.hpp"

namespace {

using varnel_core::FitConfig;
using varnel_core::FitError;
using varnel_core::FitOptions;
using varnel_core::FitOutcome;
using varnel_core::PathResult;
using varnel_py::FloatArray;
using varnel_py::PyRef;
using varnel_py::convert;
using varnel_py::convert_array;
using varnel_py::raise;

// Sets the exception; always nullptr, for returning from an entry point.
PyObject* fail(PyObject* type, const std::string& text) {
    raise(type, text);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Signatures

#define VARNEL_OPTION_NAMES                                                                     \
    "alpha", "nlambda", "lambda_min_ratio", "user_lambda", "standardize", "intercept", "thresh", \
        "maxit", "dfmax", "pmax", "penalty_factor", "lower_limits", "upper_limits", "weights",   \
        "exclude"

#define VARNEL_OPTION_SIGNATURE                                                                  \
    "alpha=1.0, nlambda=100, lambda_min_ratio=None, user_lambda=None, standardize=True, "        \
    "intercept=True, thresh=1e-7, maxit=100000, dfmax=None, pmax=None, penalty_factor=None, "    \
    "lower_limits=None, upper_limits=None, weights=None, exclude=None"

constexpr const char* path_names[] = {"x", "y", "family", VARNEL_OPTION_NAMES};
constexpr const char* sparse_names[] = {"n", "p", "col_ptr", "row_idx", "values", "y",
                                        VARNEL_OPTION_NAMES};
constexpr std::size_t path_options_at = 3;
constexpr std::size_t sparse_options_at = 6;

const varnel_py::Signature path_signature{"elnet_path", path_names, 2};
const varnel_py::Signature sparse_signature{"elnet_sparse", sparse_names, 6};

const char path_doc[] =
    "elnet_path(x, y, *, family=\"gaussian\", " VARNEL_OPTION_SIGNATURE ")\n--\n\n";
const char sparse_doc[] =
    "elnet_sparse(n, p, col_ptr, row_idx, values, y, *, " VARNEL_OPTION_SIGNATURE ")\n--\n\n"
    "Sparse Gaussian path. `col_ptr`/`row_idx`/`values` are CSC arrays (as in a\n"
    "scipy `csc_matrix`). Gaussian only for now; the marshaling mirrors the dense\n"
    "entry point above.";

// ---------------------------------------------------------------------------
// Options

// The fifteen options, from `slots` (in signature order) into FitOptions.
bool convert_options(std::span<const PyRef> s, FitOptions& o) {
    return convert("alpha", s[0].get(), o.alpha) && convert("nlambda", s[1].get(), o.nlambda) &&
           convert("lambda_min_ratio", s[2].get(), o.lambda_min_ratio) &&
           convert("user_lambda", s[3].get(), o.user_lambda) &&
           convert("standardize", s[4].get(), o.standardize) &&
           convert("intercept", s[5].get(), o.intercept) &&
           convert("thresh", s[6].get(), o.thresh) && convert("maxit", s[7].get(), o.maxit) &&
           convert("dfmax", s[8].get(), o.dfmax) && convert("pmax", s[9].get(), o.pmax) &&
           convert("penalty_factor", s[10].get(), o.penalty_factor) &&
           convert("lower_limits", s[11].get(), o.lower_limits) &&
           convert("upper_limits", s[12].get(), o.upper_limits) &&
           convert("weights", s[13].get(), o.weights) &&
           convert("exclude", s[14].get(), o.exclude);
}

// ---------------------------------------------------------------------------
// Checks made before any fitting

// How the messages of one entry point name the dimensions.
struct Dimensions {
    std::uint64_t nobs;
    std::uint64_t nvars;
    bool sparse;

    std::string rows() const {
        return sparse ? "n is " + std::to_string(nobs) : "x has " + std::to_string(nobs) + " rows";
    }
    std::string columns() const {
        return sparse ? "p is " + std::to_string(nvars)
                      : "x has " + std::to_string(nvars) + " columns";
    }
};

std::string repr(double v) {
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return std::to_string(v);
    }
    std::string out(text);
    PyMem_Free(text);
    return out;
}

bool check_length(const char* name, const std::optional<varnel_core::Vec>& v, std::uint64_t want,
                  const std::string& have) {
    if (!v || v->size() == want) return true;
    return raise(PyExc_ValueError,
                 std::string(name) + " has " + std::to_string(v->size()) + " entries but " + have);
}

bool check_finite(const char* name, std::span<const double> values) {
    const auto bad = varnel_py::first_non_finite(values);
    if (!bad) return true;
    return raise(PyExc_ValueError, std::string(name) + " must be finite, but " + name + "[" +
                                       std::to_string(*bad) + "] is " + repr(values[*bad]));
}

// The options that no fit can use: vectors of the wrong length, a
// generated sequence with lambda_min_ratio >= 1, unusable penalty values,
// non-finite weights.
bool check_options(const FitConfig& c, const Dimensions& d) {
    if (!c.user_lambda && !(c.lambda_min_ratio < 1.0))
        return raise(PyExc_ValueError,
                     "lambda_min_ratio must be less than 1 when user_lambda is not given, got " +
                         repr(c.lambda_min_ratio));
    if (c.user_lambda) {
        const auto& lam = *c.user_lambda;
        for (std::size_t k = 0; k < lam.size(); ++k)
            if (!std::isfinite(lam[k]) || lam[k] < 0.0)
                return raise(PyExc_ValueError,
                             "user_lambda must hold finite, non-negative values, but user_lambda[" +
                                 std::to_string(k) + "] is " + repr(lam[k]));
    }
    return check_length("penalty_factor", c.penalty_factor, d.nvars, d.columns()) &&
           check_length("lower_limits", c.lower_limits, d.nvars, d.columns()) &&
           check_length("upper_limits", c.upper_limits, d.nvars, d.columns()) &&
           check_length("weights", c.weights, d.nobs, d.rows()) &&
           (!c.weights || check_finite("weights", *c.weights));
}

// A variable needs at least one observation.
bool check_rows(const Dimensions& d) {
    if (d.nobs > 0 || d.nvars == 0) return true;
    return raise(PyExc_ValueError, (d.sparse ? "n is 0 but p is " + std::to_string(d.nvars)
                                             : "x has no rows but " + std::to_string(d.nvars) +
                                                   " columns") +
                                       "; at least one observation is needed");
}

// The response's length has been checked against the rows.
bool copy_response(const FloatArray& y, std::vector<double>& out) {
    if (y.size() > 0 && !y.contiguous)
        return raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    out = varnel_py::copy_vector(y);
    return true;
}

// ---------------------------------------------------------------------------
// Result

struct RenderedWarning {
    std::string text;
    std::int64_t code;
};

// None, or the tuple (text, code).
PyObject* warning_object(const std::optional<RenderedWarning>& warning) {
    if (!warning) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return Py_BuildValue("(s#L)", warning->text.data(), static_cast<Py_ssize_t>(warning->text.size()),
                         static_cast<long long>(warning->code));
}

// Inserts `value` (a new reference, or nullptr after a failure) under `key`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// The result dictionary; takes the PathResult over (its 1-D vectors become
// the arrays' buffers).
PyObject* pack(std::uint64_t nvars, PathResult path, const std::optional<RenderedWarning>& warning) {
    const std::uint64_t lmu = path.lmu;
    const bool consistent = path.lambda.size() == lmu && path.a0.size() == lmu &&
                            path.dev_ratio.size() == lmu &&
                            (lmu == 0 ? path.beta.empty()
                                      : path.beta.size() % lmu == 0 && path.beta.size() / lmu == nvars);
    if (!consistent) return fail(PyExc_RuntimeError, "the solver returned an inconsistent path");

    double* b = nullptr;
    PyRef beta(varnel_py::new_matrix(nvars, lmu, b));
    if (!beta) return nullptr;
    for (std::uint64_t j = 0; j < nvars; ++j)
        for (std::uint64_t k = 0; k < lmu; ++k) b[j * lmu + k] = path.beta[k * nvars + j];
    varnel_core::Vec().swap(path.beta);

    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok =
        set_item(d, "lmu", PyLong_FromUnsignedLongLong(lmu)) &&
        set_item(d, "lambda", varnel_py::vector_to_array(std::move(path.lambda))) &&
        set_item(d, "a0", varnel_py::vector_to_array(std::move(path.a0))) &&
        set_item(d, "beta", beta.release()) &&
        set_item(d, "dev_ratio", varnel_py::vector_to_array(std::move(path.dev_ratio))) &&
        set_item(d, "nulldev", PyFloat_FromDouble(path.nulldev)) &&
        set_item(d, "npasses", PyLong_FromUnsignedLongLong(path.npasses)) &&
        set_item(d, "warning", warning_object(warning));
    return ok ? dict.release() : nullptr;
}

// A FitError becomes ValueError with its text; a path becomes the dictionary.
PyObject* finish(FitOutcome outcome, std::uint64_t nvars) {
    if (const FitError* e = std::get_if<FitError>(&outcome))
        return fail(PyExc_ValueError, std::string(varnel_core::message(*e)));
    PathResult& path = std::get<PathResult>(outcome);
    std::optional<RenderedWarning> warning;
    if (path.warning) warning = RenderedWarning{path.warning->text(), path.warning->code()};
    return pack(nvars, std::move(path), warning);
}

// ---------------------------------------------------------------------------
// Entry points

// The solver takes the design buffer over and works in it.
using DenseSolver = FitOutcome (*)(varnel_core::Vec, std::span<const double>, std::uint64_t,
                                   std::uint64_t, const FitConfig&);

DenseSolver select_solver(const std::string& family) {
    if (family == "gaussian") return varnel_core::elnet_naive;
    if (family == "binomial") return varnel_core::lognet;
    if (family == "poisson") return varnel_core::fishnet;
    return nullptr;
}

PyObject* elnet_path_body(PyObject* args, PyObject* kwargs) {
    PyRef slots[std::size(path_names)];
    if (!varnel_py::bind_arguments(path_signature, args, kwargs, slots)) return nullptr;

    FloatArray x;
    FloatArray y;
    std::string family = "gaussian";
    FitOptions options;
    if (!convert_array("x", slots[0].get(), 2, x) || !convert_array("y", slots[1].get(), 1, y) ||
        !convert("family", slots[2].get(), family) ||
        !convert_options(std::span<const PyRef>(slots).subspan(path_options_at), options))
        return nullptr;
    // Converting the options can run Python code (__float__, __index__,
    // sequence items) that reshapes or reallocates x or y in place, e.g.
    // ndarray.resize(refcheck=False): read both views again before copying.
    if (!convert_array("x", slots[0].get(), 2, x) || !convert_array("y", slots[1].get(), 1, y))
        return nullptr;

    const std::uint64_t n = x.shape[0];
    const std::uint64_t p = x.shape[1];
    std::vector<double> xbuf = varnel_py::copy_column_major(x);
    if (y.shape[0] != n)
        return fail(PyExc_ValueError, "x has " + std::to_string(n) + " rows but y has length " +
                                          std::to_string(y.shape[0]));
    std::vector<double> ybuf;
    if (!copy_response(y, ybuf)) return nullptr;
    const FitConfig config = varnel_core::build_config(n, p, std::move(options));

    const DenseSolver solver = select_solver(family);
    if (solver == nullptr)
        return fail(PyExc_ValueError, "unknown family " + varnel_py::quoted(family) +
                                          "; expected 'gaussian', 'binomial' or 'poisson'");

    const Dimensions dims{n, p, false};
    if (!check_rows(dims) || !check_finite("x", xbuf) || !check_finite("y", ybuf) ||
        !check_options(config, dims))
        return nullptr;

    return finish(solver(std::move(xbuf), ybuf, n, p, config), p);
}

PyObject* elnet_sparse_body(PyObject* args, PyObject* kwargs) {
    PyRef slots[std::size(sparse_names)];
    if (!varnel_py::bind_arguments(sparse_signature, args, kwargs, slots)) return nullptr;

    std::uint64_t n = 0;
    std::uint64_t p = 0;
    std::vector<std::uint64_t> col_ptr;
    std::vector<std::uint64_t> row_idx;
    std::vector<double> values;
    FloatArray y;
    FitOptions options;
    if (!convert("n", slots[0].get(), n) || !convert("p", slots[1].get(), p) ||
        !convert("col_ptr", slots[2].get(), col_ptr) ||
        !convert("row_idx", slots[3].get(), row_idx) ||
        !convert("values", slots[4].get(), values) || !convert_array("y", slots[5].get(), 1, y) ||
        !convert_options(std::span<const PyRef>(slots).subspan(sparse_options_at), options))
        return nullptr;
    // As in elnet_path: the options' conversion may have reallocated y.
    if (!convert_array("y", slots[5].get(), 1, y)) return nullptr;

    if (y.shape[0] != n)
        return fail(PyExc_ValueError, "expected y of length " + std::to_string(n) + ", got " +
                                          std::to_string(y.shape[0]));
    std::vector<double> ybuf;
    if (!copy_response(y, ybuf)) return nullptr;
    const FitConfig config = varnel_core::build_config(n, p, std::move(options));

    if (const auto problem = varnel_core::csc_problem(col_ptr, row_idx, values.size(), n, p))
        return fail(PyExc_ValueError, "malformed CSC matrix: " + *problem);
    const Dimensions dims{n, p, true};
    if (!check_rows(dims) || !check_finite("values", values) || !check_finite("y", ybuf) ||
        !check_options(config, dims))
        return nullptr;

    return finish(varnel_core::elnet_naive_sparse(std::move(col_ptr), std::move(row_idx), std::move(values), ybuf, n, p, config), p);
}

PyObject* elnet_path(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return elnet_path_body(args, kwargs); });
}

PyObject* elnet_sparse(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return elnet_sparse_body(args, kwargs); });
}

// ---------------------------------------------------------------------------
// Module

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef path_def = {"elnet_path", as_method<elnet_path>(), METH_VARARGS | METH_KEYWORDS,
                        path_doc};
PyMethodDef sparse_def = {"elnet_sparse", as_method<elnet_sparse>(), METH_VARARGS | METH_KEYWORDS,
                          sparse_doc};

int exec_module(PyObject* module) {
    if (varnel_py::import_numpy() < 0) return -1;
    if (!varnel_py::add_function(module, &path_def) || !varnel_py::add_function(module, &sparse_def))
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots, nullptr, nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&module_def); }
