// The extension module varnel._core: elnet_path fits a Gaussian, binomial or
// Poisson elastic-net path on a dense NumPy matrix, elnet_sparse a Gaussian
// path on compressed sparse columns; fit serves every family (the
// multinomial one too) on either kind of input, with an offset, for the
// Python layer.  All return the result dictionary built by pack.
#include "pyconv.hpp"

#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "families/binomial.hpp"
#include "fit/options.hpp"
#include "base/errors.hpp"
#include "fit/fit.hpp"
#include "families/gaussian.hpp"
#include "designs/matrix.hpp"
#include "families/multinomial.hpp"
#include "families/poisson.hpp"

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

#define VARNEL_OPTION_NAME(name, given, resolved, init) #name,

constexpr const char* path_names[] = {"x", "y", "family", VARNEL_OPTIONS(VARNEL_OPTION_NAME)};
constexpr const char* sparse_names[] = {"n",      "p", "col_ptr", "row_idx",
                                        "values", "y", VARNEL_OPTIONS(VARNEL_OPTION_NAME)};
constexpr const char* fit_names[] = {"x", "y", "family", "offset", "solver", "grouped",
                                     VARNEL_OPTIONS(VARNEL_OPTION_NAME)};
constexpr std::size_t path_options_at = 3;
constexpr std::size_t sparse_options_at = 6;
constexpr std::size_t fit_options_at = 6;

const varnel_py::Signature path_signature{"elnet_path", path_names, 2};
const varnel_py::Signature sparse_signature{"elnet_sparse", sparse_names, 6};
const varnel_py::Signature fit_signature{"fit", fit_names, 2};

// The options' defaults as the C++ initializers spell them.
struct DefaultText {
    const char* name;
    const char* init;
};
#define VARNEL_OPTION_TEXT(name, given, resolved, init) {#name, #init},
constexpr DefaultText option_texts[] = {VARNEL_OPTIONS(VARNEL_OPTION_TEXT)};

// ", alpha=1.0, nlambda=100, ..., exclude=None": the initializers in Python's
// spelling.
std::string option_signature() {
    std::string out;
    for (const auto& [name, init] : option_texts) {
        const std::string_view v(init);
        out += std::string(", ") + name + "=" +
               (v == "true" ? "True" : v == "false" ? "False" : v == "std::nullopt" ? "None" : init);
    }
    return out;
}

// Docstrings with the signature CPython reads from their first line.
struct Docs {
    std::string path;
    std::string sparse;
    std::string fit;
};

const Docs& docs() {
    static const Docs d = [] {
        const std::string opts = option_signature();
        return Docs{
            "elnet_path(x, y, *, family=\"gaussian\"" + opts + ")\n--\n\n",
            "elnet_sparse(n, p, col_ptr, row_idx, values, y, *" + opts + ")\n--\n\n"
            "Sparse Gaussian path. `col_ptr`/`row_idx`/`values` are CSC arrays (as in a\n"
            "scipy `csc_matrix`). Gaussian only for now; the marshaling mirrors the dense\n"
            "entry point above.",
            "fit(x, y, *, family=\"gaussian\", offset=None, solver=\"naive\", grouped=False" +
                opts + ")\n--\n\n"
            "Elastic-net path of any family on dense or sparse predictors.\n\n"
            "x is a 2-D float64 array (any memory order) or a tuple\n"
            "(n, p, col_ptr, row_idx, values) of compressed sparse columns; offset\n"
            "(n values) enters every linear predictor.  solver \"covariance\" fits the\n"
            "gaussian family on a dense x with covariance updates, reading x in place.\n"
            "The result has the keys of\n"
            "elnet_path's, with \"warning\" None or (kind, lambda_index), plus\n"
            "\"lambda_max\", the smallest penalty whose solution is all zero (NaN\n"
            "when the path does not tell).\n\n"
            "family=\"multinomial\": y holds the class codes 0, 1, ..., K - 1 (K >= 2,\n"
            "every class with an observation of positive weight), offset is a 2-D\n"
            "float64 array (n, K), \"beta\" has shape (p, K, lmu) and \"a0\" (K, lmu)\n"
            "(the intercepts of a solution sum to 0).  grouped=True penalizes each\n"
            "variable's K coefficients by their Euclidean norm, so that a variable\n"
            "enters or leaves for every class at once; other families refuse it.",
        };
    }();
    return d;
}

// ---------------------------------------------------------------------------
// Options

// The options, from `slots` (in signature order) into FitOptions.
bool convert_options(std::span<const PyRef> s, FitOptions& o) {
    std::size_t i = 0;
#define VARNEL_CONVERT_OPTION(name, given, resolved, init) \
    if (!convert(#name, s[i++].get(), o.name)) return false;
    VARNEL_OPTIONS(VARNEL_CONVERT_OPTION)
    return true;
}

PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
template <class T>
PyObject* to_python(const std::vector<T>& v) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = to_python(v[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}
template <class T>
PyObject* to_python(const std::optional<T>& v) {
    if (v) return to_python(*v);
    Py_INCREF(Py_None);
    return Py_None;
}

// Inserts `value` (a new reference, or nullptr after a failure) under `key`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// {option: default}, None where the default depends on the data.
PyObject* option_defaults() {
    const FitOptions d;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
#define VARNEL_DEFAULT_ITEM(name, given, resolved, init) \
    if (!set_item(dict.get(), #name, to_python(d.name))) return nullptr;
    VARNEL_OPTIONS(VARNEL_DEFAULT_ITEM)
    return dict.release();
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
// Running a fit

// Ctrl-C: the engine asks once per pass; a pending signal (KeyboardInterrupt
// set by its handler) ends the fit.
bool signal_pending(void*) { return PyErr_CheckSignals() != 0; }
const varnel_core::Interrupt python_signals{signal_pending, nullptr};

// ---------------------------------------------------------------------------
// Result

// The result dictionary; takes the PathResult over (its 1-D vectors become
// the arrays' buffers) and `warning` (a new reference, or nullptr after a
// failure).
PyObject* pack(std::uint64_t nvars, PathResult path, PyObject* warning) {
    PyRef warn(warning);
    if (!warn) return nullptr;
    const std::uint64_t lmu = path.lmu;
    const std::uint64_t nk = path.nclass;
    const bool consistent =
        nk >= 1 && path.lambda.size() == lmu && path.a0.size() == lmu * nk &&
        path.dev_ratio.size() == lmu &&
        (lmu == 0 ? path.beta.empty()
                  : path.beta.size() % (lmu * nk) == 0 && path.beta.size() / (lmu * nk) == nvars);
    if (!consistent) return fail(PyExc_RuntimeError, "the solver returned an inconsistent path");

    // (p, lmu), or (p, K, lmu) and a0 (K, lmu) for the multinomial family
    double* b = nullptr;
    PyRef beta(nk == 1 ? varnel_py::new_matrix(nvars, lmu, b)
                       : varnel_py::new_array3(nvars, nk, lmu, b));
    if (!beta) return nullptr;
    for (std::uint64_t j = 0; j < nvars; ++j)
        for (std::uint64_t c = 0; c < nk; ++c)
            for (std::uint64_t k = 0; k < lmu; ++k)
                b[(j * nk + c) * lmu + k] = path.beta[(k * nvars + j) * nk + c];
    varnel_core::Vec().swap(path.beta);
    PyRef a0;
    if (nk == 1) {
        a0.reset(varnel_py::vector_to_array(std::move(path.a0)));
    } else {
        double* a = nullptr;
        a0.reset(varnel_py::new_matrix(nk, lmu, a));
        if (a0)
            for (std::uint64_t c = 0; c < nk; ++c)
                for (std::uint64_t k = 0; k < lmu; ++k) a[c * lmu + k] = path.a0[k * nk + c];
    }
    if (!a0) return nullptr;

    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok =
        set_item(d, "lmu", PyLong_FromUnsignedLongLong(lmu)) &&
        set_item(d, "lambda", varnel_py::vector_to_array(std::move(path.lambda))) &&
        set_item(d, "a0", a0.release()) &&
        set_item(d, "beta", beta.release()) &&
        set_item(d, "dev_ratio", varnel_py::vector_to_array(std::move(path.dev_ratio))) &&
        set_item(d, "nulldev", PyFloat_FromDouble(path.nulldev)) &&
        set_item(d, "npasses", PyLong_FromUnsignedLongLong(path.npasses)) &&
        set_item(d, "warning", warn.release());
    return ok ? dict.release() : nullptr;
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// The warning as the stable entry points render it: None or (text, code).
PyObject* warning_text(const std::optional<varnel_core::PathWarning>& w) {
    if (!w) return none();
    const std::string text = w->text();
    return Py_BuildValue("(s#L)", text.data(), static_cast<Py_ssize_t>(text.size()),
                         static_cast<long long>(w->code()));
}

// The warning as data: None or (kind, lambda_index).
PyObject* warning_data(const std::optional<varnel_core::PathWarning>& w) {
    if (!w) return none();
    const std::string_view kind = w->name();
    return Py_BuildValue("(s#K)", kind.data(), static_cast<Py_ssize_t>(kind.size()),
                         static_cast<unsigned long long>(w->lambda_index));
}

// A FitError becomes ValueError with its text.
const PathResult* path_or_raise(const FitOutcome& outcome) {
    if (const FitError* e = std::get_if<FitError>(&outcome)) {
        raise(PyExc_ValueError, std::string(varnel_core::message(*e)));
        return nullptr;
    }
    return &std::get<PathResult>(outcome);
}

// The dictionary of the stable entry points.
PyObject* finish(FitOutcome outcome, std::uint64_t nvars) {
    if (!path_or_raise(outcome)) return nullptr;
    PathResult& path = std::get<PathResult>(outcome);
    PyObject* warning = warning_text(path.warning);
    return pack(nvars, std::move(path), warning);
}

// The dictionary of `fit`: the warning as data, and lambda_max.
PyObject* finish_fit(FitOutcome outcome, std::uint64_t nvars) {
    const PathResult* path = path_or_raise(outcome);
    if (path == nullptr) return nullptr;
    const double lambda_max = path->lambda_max;
    PyObject* warning = warning_data(path->warning);
    PyRef dict(pack(nvars, std::move(std::get<PathResult>(outcome)), warning));
    if (!dict || !set_item(dict.get(), "lambda_max", PyFloat_FromDouble(lambda_max)))
        return nullptr;
    return dict.release();
}

// ---------------------------------------------------------------------------
// Entry points

// The solver takes the design buffer over and works in it.
using DenseSolver = FitOutcome (*)(varnel_core::Vec, std::span<const double>, std::uint64_t,
                                   std::uint64_t, const FitConfig&, const varnel_core::Interrupt&);

DenseSolver select_solver(const std::string& family) {
    if (family == "gaussian") return varnel_core::elnet_naive;
    if (family == "binomial") return varnel_core::lognet;
    if (family == "poisson") return varnel_core::fishnet;
    return nullptr;
}

PyObject* unknown_family(const std::string& family,
                         const char* expected = "'gaussian', 'binomial' or 'poisson'") {
    return fail(PyExc_ValueError,
                "unknown family " + varnel_py::quoted(family) + "; expected " + expected);
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
    if (solver == nullptr) return unknown_family(family);

    const Dimensions dims{n, p, false};
    if (!check_rows(dims) || !check_finite("x", xbuf) || !check_finite("y", ybuf) ||
        !check_options(config, dims))
        return nullptr;

    return finish(solver(std::move(xbuf), ybuf, n, p, config, python_signals), p);
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

    return finish(varnel_core::elnet_naive_sparse(std::move(col_ptr), std::move(row_idx),
                                                  std::move(values), ybuf, n, p, config,
                                                  python_signals),
                  p);
}

// The predictors of `fit`: a 2-D float64 array (a view, copied or read in
// place once the solver is known), or (n, p, col_ptr, row_idx, values).
struct Predictors {
    std::optional<varnel_core::CscInput> csc;
    FloatArray dense;
    std::uint64_t n = 0;
    std::uint64_t p = 0;
};

bool convert_predictors(PyObject* obj, Predictors& out) {
    if (obj != nullptr && PyTuple_Check(obj)) {
        if (PyTuple_Size(obj) != 5)
            return raise(PyExc_TypeError,
                         "x given as a tuple must be (n, p, col_ptr, row_idx, values)");
        varnel_core::CscInput csc;
        const char* names[] = {"n", "p", "col_ptr", "row_idx", "values"};
        std::uint64_t dims[2] = {0, 0};
        for (int i = 0; i < 2; ++i)
            if (!convert(names[i], PyTuple_GetItem(obj, i), dims[i])) return false;
        if (!convert(names[2], PyTuple_GetItem(obj, 2), csc.col_ptr) ||
            !convert(names[3], PyTuple_GetItem(obj, 3), csc.row_idx) ||
            !convert(names[4], PyTuple_GetItem(obj, 4), csc.values))
            return false;
        if (const auto problem =
                varnel_core::csc_problem(csc.col_ptr, csc.row_idx, csc.values.size(), dims[0], dims[1]))
            return raise(PyExc_ValueError, "malformed CSC matrix: " + *problem);
        if (!check_finite("values", csc.values)) return false;
        out.csc = std::move(csc);
        out.n = dims[0];
        out.p = dims[1];
        return true;
    }
    if (!convert_array("x", obj, 2, out.dense)) return false;
    out.n = out.dense.shape[0];
    out.p = out.dense.shape[1];
    return true;
}

// The caller's array as the core reads it in place, when its strides are
// whole, aligned elements.
std::optional<varnel_core::StridedMatrix> in_place(const FloatArray& a) {
    constexpr std::ptrdiff_t size = sizeof(double);
    if (reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) != 0 || a.strides[0] % size != 0 ||
        a.strides[1] % size != 0)
        return std::nullopt;
    return varnel_core::StridedMatrix{reinterpret_cast<const double*>(a.data), a.shape[0],
                                      a.shape[1], a.strides[0] / size, a.strides[1] / size};
}

// Scans x in its memory order; the message names the first bad entry in
// column-major order, as the copied array's check does.
bool check_finite(const varnel_core::StridedMatrix& x) {
    const bool by_rows = std::abs(x.col_stride) < std::abs(x.row_stride);
    const std::size_t outer = by_rows ? x.nrows : x.ncols, inner = by_rows ? x.ncols : x.nrows;
    bool finite = true;
    for (std::size_t a = 0; a < outer && finite; ++a)
        for (std::size_t b = 0; b < inner; ++b)
            finite = finite && std::isfinite(by_rows ? x.at(a, b) : x.at(b, a));
    if (finite) return true;
    for (std::size_t j = 0; j < x.ncols; ++j)
        for (std::size_t i = 0; i < x.nrows; ++i)
            if (!std::isfinite(x.at(i, j)))
                return raise(PyExc_ValueError, "x must be finite, but x[" + std::to_string(i) + ", " +
                                                   std::to_string(j) + "] is " + repr(x.at(i, j)));
    return true;
}

// While the solver reads x in place, the only Python code that can run is a
// signal handler (polled once per pass).  Should one reshape or reallocate
// x, the fit stops before x is read again.
struct InPlaceGuard {
    PyObject* array;
    FloatArray seen;

    static bool requested(void* self) {
        auto* g = static_cast<InPlaceGuard*>(self);
        if (PyErr_CheckSignals() != 0) return true;
        FloatArray now;
        if (!varnel_py::to_float_array(g->array, 2, now) || now.data != g->seen.data ||
            now.shape[0] != g->seen.shape[0] || now.shape[1] != g->seen.shape[1] ||
            now.strides[0] != g->seen.strides[0] || now.strides[1] != g->seen.strides[1]) {
            PyErr_Clear();
            raise(PyExc_RuntimeError, "x was changed while the fit was reading it");
            return true;
        }
        return false;
    }
};

// The multinomial offset: a 2-D array (n, K), copied observation-major.
bool copy_class_offset(const FloatArray& a, std::uint64_t n, std::size_t nk,
                       std::vector<double>& out) {
    if (a.shape[0] != n || a.shape[1] != nk)
        return raise(PyExc_ValueError, "offset has shape (" + std::to_string(a.shape[0]) + ", " +
                                           std::to_string(a.shape[1]) +
                                           ") but the multinomial family needs (n, K) = (" +
                                           std::to_string(n) + ", " + std::to_string(nk) +
                                           "): one column per class of y");
    const std::vector<double> by_column = varnel_py::copy_column_major(a);
    out.resize(by_column.size());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < nk; ++k) out[i * nk + k] = by_column[k * n + i];
    return check_finite("offset", out);
}

PyObject* fit_body(PyObject* args, PyObject* kwargs) {
    PyRef slots[std::size(fit_names)];
    if (!varnel_py::bind_arguments(fit_signature, args, kwargs, slots)) return nullptr;

    Predictors x;
    FloatArray y;
    std::string family_name = "gaussian";
    std::optional<std::vector<double>> offset;
    std::string solver = "naive";
    FloatArray class_offset;  // the multinomial family's (n, K) offset
    bool grouped = false;
    FitOptions options;
    if (!convert_predictors(slots[0].get(), x) || !convert_array("y", slots[1].get(), 1, y) ||
        !convert("family", slots[2].get(), family_name))
        return nullptr;
    const bool multinomial = family_name == "multinomial";
    PyObject* offset_arg = slots[3].get();
    const bool has_class_offset = multinomial && offset_arg != nullptr && offset_arg != Py_None;
    if ((has_class_offset ? !convert_array("offset", offset_arg, 2, class_offset)
                          : !multinomial && !convert("offset", offset_arg, offset)) ||
        !convert("solver", slots[4].get(), solver) || !convert("grouped", slots[5].get(), grouped) ||
        !convert_options(std::span<const PyRef>(slots).subspan(fit_options_at), options))
        return nullptr;
    // The options' conversion may have reallocated the arrays: read them again.
    if ((!x.csc && !convert_predictors(slots[0].get(), x)) ||
        !convert_array("y", slots[1].get(), 1, y) ||
        (has_class_offset && !convert_array("offset", offset_arg, 2, class_offset)))
        return nullptr;
    const auto family = varnel_core::family_named(family_name);
    if (!family)
        return unknown_family(family_name, "'gaussian', 'binomial', 'poisson' or 'multinomial'");
    const bool covariance = solver == "covariance";
    if (!covariance && solver != "naive")
        return fail(PyExc_ValueError, "unknown solver " + varnel_py::quoted(solver) +
                                          "; expected 'naive' or 'covariance'");
    if (covariance && (*family != varnel_core::FamilyKind::Gaussian || x.csc))
        return fail(PyExc_ValueError,
                    "solver 'covariance' fits the gaussian family on a dense x only");
    if (grouped && !multinomial)
        return fail(PyExc_ValueError, "grouped=True needs family=\"multinomial\", but family is " +
                                          varnel_py::quoted(family_name));
    if (y.shape[0] != x.n)
        return fail(PyExc_ValueError, "x has " + std::to_string(x.n) + " rows but y has length " +
                                          std::to_string(y.shape[0]));
    std::vector<double> ybuf;
    if (!copy_response(y, ybuf)) return nullptr;
    const Dimensions dims{x.n, x.p, x.csc.has_value()};
    if (offset &&
        (!check_length("offset", offset, x.n, dims.rows()) || !check_finite("offset", *offset)))
        return nullptr;
    const FitConfig config = varnel_core::build_config(x.n, x.p, std::move(options));
    if (!check_rows(dims) || !check_finite("y", ybuf) || !check_options(config, dims))
        return nullptr;
    if (has_class_offset) {
        offset.emplace();
        if (!copy_class_offset(class_offset, x.n, varnel_core::class_count(ybuf), *offset))
            return nullptr;
    }

    FitOutcome outcome;
    std::optional<varnel_core::StridedMatrix> view;
    if (covariance) view = in_place(x.dense);
    if (view) {
        if (!check_finite(*view)) return nullptr;
        if (offset)
            for (std::size_t i = 0; i < ybuf.size(); ++i) ybuf[i] -= (*offset)[i];
        InPlaceGuard guard{slots[0].get(), x.dense};
        outcome = varnel_core::elnet_covariance(*view, ybuf, config,
                                                {InPlaceGuard::requested, &guard});
    } else {
        varnel_core::DesignInput input;
        if (x.csc) {
            input = std::move(*x.csc);
        } else {
            std::vector<double> buf = varnel_py::copy_column_major(x.dense);
            if (!check_finite("x", buf)) return nullptr;
            if (covariance) {  // unaligned caller's array: read a column-major copy
                if (offset)
                    for (std::size_t i = 0; i < ybuf.size(); ++i) ybuf[i] -= (*offset)[i];
                const varnel_core::StridedMatrix copy{buf.data(), x.n, x.p, 1,
                                                      static_cast<std::ptrdiff_t>(x.n)};
                outcome = varnel_core::elnet_covariance(copy, ybuf, config, python_signals);
                return finish_fit(std::move(outcome), x.p);
            }
            input = varnel_core::DenseInput{std::move(buf)};
        }
        outcome = varnel_core::fit_path(*family, std::move(input), ybuf, x.n, x.p, config,
                                        offset ? &*offset : nullptr, python_signals, grouped);
    }
    return finish_fit(std::move(outcome), x.p);
}

PyObject* elnet_path(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return elnet_path_body(args, kwargs); });
}

PyObject* elnet_sparse(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return elnet_sparse_body(args, kwargs); });
}

PyObject* fit(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return fit_body(args, kwargs); });
}

// ---------------------------------------------------------------------------
// Module

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef path_def = {"elnet_path", as_method<elnet_path>(), METH_VARARGS | METH_KEYWORDS,
                        nullptr};
PyMethodDef sparse_def = {"elnet_sparse", as_method<elnet_sparse>(), METH_VARARGS | METH_KEYWORDS,
                          nullptr};
PyMethodDef fit_def = {"fit", as_method<fit>(), METH_VARARGS | METH_KEYWORDS, nullptr};

// `__all__` lists the two stable entry points; `fit` and OPTION_DEFAULTS
// serve the package's Python layer.
int exec_module(PyObject* module) {
    if (varnel_py::import_numpy() < 0) return -1;
    const Docs* d = nullptr;
    try {
        d = &docs();
    } catch (...) {
        varnel_py::set_error_from_exception();
        return -1;
    }
    path_def.ml_doc = d->path.c_str();
    sparse_def.ml_doc = d->sparse.c_str();
    fit_def.ml_doc = d->fit.c_str();
    if (!varnel_py::add_function(module, &path_def) ||
        !varnel_py::add_function(module, &sparse_def) ||
        !varnel_py::add_function(module, &fit_def, /*listed=*/false))
        return -1;
    PyRef defaults(option_defaults());
    if (!defaults || PyObject_SetAttrString(module, "OPTION_DEFAULTS", defaults.get()) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots, nullptr, nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&module_def); }
