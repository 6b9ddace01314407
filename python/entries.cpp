// The entry points of varnel._core: each converts its arguments (with the
// interpreter's lock), checks what the binding checks (checks.hpp), builds
// one varnel_core::FitRequest and runs varnel_core::fit without the lock.
// elnet_path and elnet_sparse are the stable adapters over the same fit:
// their negative weights are set to 0, their response must be contiguous,
// their results keep their form.
#include "entries.hpp"

#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "option_table.hpp"
#include "results.hpp"
#include "unlocked.hpp"

#include "data/csc.hpp"
#include "fit/fit.hpp"

namespace varnel_py {

namespace {

using varnel_core::DenseMatrix;
using varnel_core::FitRequest;
using varnel_core::StridedMatrix;

PyObject* fail(PyObject* type, const std::string& text) {
    raise(type, text);
    return nullptr;
}

// The stable entry points set negative weights to 0 before fitting.
void clip_weights(varnel_core::FitConfig& c) {
    if (c.weights)
        for (double& v : *c.weights)
            if (v < 0.0) v = 0.0;
}

// A dense x as the naive solvers take it: a column-major copy, made (and
// scanned for non-finite values) without the lock; `reserved` holds its
// memory already, so that an impossible size fails first.
bool copy_and_check(const FloatArray& x, std::vector<double>& reserved, Unlocked& unlocked) {
    std::optional<std::size_t> bad;
    unlocked.run([&] {
        copy_column_major(x, reserved, unlocked.interrupt());
        bad = first_non_finite(reserved, unlocked.interrupt());
    });
    return !bad || check_finite("x", reserved);
}

PyObject* run_fit(FitRequest request, Unlocked& unlocked, ResultStyle style) {
    const std::uint64_t p = request.nvars;
    const bool sparse = request.choices.sparse_coefs;
    varnel_core::FitOutcome outcome =
        unlocked.run([&] { return varnel_core::fit(std::move(request), unlocked.interrupt()); });
    return result_dict(std::move(outcome), {p, sparse}, style);
}

PyObject* unknown_family(const std::string& family) {
    return fail(PyExc_ValueError, "unknown family " + quoted(family) +
                                      "; expected 'gaussian', 'binomial' or 'poisson'");
}

}  // namespace

PyObject* elnet_path(PyObject* args, PyObject* kwargs) {
    PyRef slots[max_parameters];
    std::span<PyRef> s(slots, path_signature.names.size());
    if (!bind_arguments(path_signature, args, kwargs, s)) return nullptr;

    FloatArray x, y;
    std::string family = "gaussian";
    varnel_core::FitOptions options;
    if (!convert_array("x", s[0].get(), 2, x) || !convert_array("y", s[1].get(), 1, y) ||
        !convert("family", s[2].get(), family) ||
        !convert_options(std::span<const PyRef>(s).subspan(path_options_at), options))
        return nullptr;
    // Converting the options can run Python code (__float__, __index__,
    // sequence items) that reshapes or reallocates x or y in place, e.g.
    // ndarray.resize(refcheck=False): read both views again before copying.
    if (!convert_array("x", s[0].get(), 2, x) || !convert_array("y", s[1].get(), 1, y))
        return nullptr;

    const std::uint64_t n = x.shape[0], p = x.shape[1];
    std::vector<double> xbuf;
    xbuf.reserve(varnel_core::checked_size(n, p));
    if (y.shape[0] != n)
        return fail(PyExc_ValueError, "x has " + std::to_string(n) + " rows but y has length " +
                                          std::to_string(y.shape[0]));
    FitRequest request;
    if (!copy_contiguous_response(y, request.y)) return nullptr;
    request.config = varnel_core::build_config(n, p, std::move(options));
    if (family != "gaussian" && family != "binomial" && family != "poisson")
        return unknown_family(family);

    Unlocked unlocked;
    const Dimensions dims{n, p, false};
    if (!check_rows(dims) || !copy_and_check(x, xbuf, unlocked) ||
        !check_finite("y", request.y) || !check_options(request.config, dims))
        return nullptr;
    clip_weights(request.config);
    request.x = DenseMatrix(std::move(xbuf), n, p);
    request.nobs = n;
    request.nvars = p;
    request.choices.family = family;
    request.check_deviances = false;
    return run_fit(std::move(request), unlocked, ResultStyle::stable);
}

PyObject* elnet_sparse(PyObject* args, PyObject* kwargs) {
    PyRef slots[max_parameters];
    std::span<PyRef> s(slots, sparse_signature.names.size());
    if (!bind_arguments(sparse_signature, args, kwargs, s)) return nullptr;

    std::uint64_t n = 0, p = 0;
    varnel_core::CscInput csc;
    FloatArray y;
    varnel_core::FitOptions options;
    if (!convert("n", s[0].get(), n) || !convert("p", s[1].get(), p) ||
        !convert("col_ptr", s[2].get(), csc.col_ptr) ||
        !convert("row_idx", s[3].get(), csc.row_idx) || !convert("values", s[4].get(), csc.values) ||
        !convert_array("y", s[5].get(), 1, y) ||
        !convert_options(std::span<const PyRef>(s).subspan(sparse_options_at), options))
        return nullptr;
    // As in elnet_path: the options' conversion may have reallocated y.
    if (!convert_array("y", s[5].get(), 1, y)) return nullptr;

    if (y.shape[0] != n)
        return fail(PyExc_ValueError, "expected y of length " + std::to_string(n) + ", got " +
                                          std::to_string(y.shape[0]));
    FitRequest request;
    if (!copy_contiguous_response(y, request.y)) return nullptr;
    request.config = varnel_core::build_config(n, p, std::move(options));
    if (const auto problem =
            varnel_core::csc_problem(csc.col_ptr, csc.row_idx, csc.values.size(), n, p))
        return fail(PyExc_ValueError, "malformed CSC matrix: " + *problem);
    const Dimensions dims{n, p, true};
    if (!check_rows(dims) || !check_finite("values", csc.values) ||
        !check_finite("y", request.y) || !check_options(request.config, dims))
        return nullptr;
    clip_weights(request.config);
    request.x = std::move(csc);
    request.nobs = n;
    request.nvars = p;
    request.stable_sparse_sums = true;
    request.check_deviances = false;
    Unlocked unlocked;
    return run_fit(std::move(request), unlocked, ResultStyle::stable);
}

namespace {

// The predictors of `fit`: a 2-D float64 array, (n, p, col_ptr, row_idx,
// values), or (n, p, columns) with the columns one by one.
struct Predictors {
    std::optional<varnel_core::CscInput> csc;
    FloatArray dense;
    std::uint64_t n = 0;
    std::uint64_t p = 0;
    // given column by column: each column's rows and values arrays (nullptr: none)
    std::vector<PyObject*> column_arrays;
};

// Column j of (n, p, columns): a float64 array of its n values, an array of
// 64-bit counts (the ascending rows where it is 1) or a pair (rows, values),
// each read in place (C-contiguous, aligned, native); `arrays` the one or
// two arrays it reads, for the polls.
bool convert_column(PyObject* item, std::size_t j, varnel_core::ColumnEntries& out,
                    PyObject* arrays[2]) {
    const std::string what = "x's column " + std::to_string(j);
    arrays[0] = arrays[1] = nullptr;
    if (const auto full = float_view(item)) {
        out = {nullptr, full->data(), full->size()};
        arrays[1] = item;
        return true;
    }
    if (const auto rows = count_view(item)) {
        out = {rows->data(), nullptr, rows->size()};
        arrays[0] = item;
        return true;
    }
    if (PyTuple_Check(item) && PyTuple_Size(item) == 2) {
        const auto rows = count_view(PyTuple_GetItem(item, 0));
        const auto values = float_view(PyTuple_GetItem(item, 1));
        if (rows && values && rows->size() == values->size()) {
            out = {rows->data(), values->data(), rows->size()};
            arrays[0] = PyTuple_GetItem(item, 0);
            arrays[1] = PyTuple_GetItem(item, 1);
            return true;
        }
    }
    return raise(PyExc_TypeError,
                 what + " must be a contiguous float64 array of its values, a contiguous array "
                        "of 64-bit rows, or a pair (rows, values) of them of one length");
}

bool convert_columns(PyObject* obj, Predictors& out) {
    std::uint64_t dims[2] = {0, 0};
    if (!convert("n", PyTuple_GetItem(obj, 0), dims[0]) ||
        !convert("p", PyTuple_GetItem(obj, 1), dims[1]))
        return false;
    PyObject* columns = PyTuple_GetItem(obj, 2);
    if (!PyTuple_Check(columns) || static_cast<std::uint64_t>(PyTuple_Size(columns)) != dims[1])
        return raise(PyExc_TypeError, "x given as (n, p, columns) needs a tuple of p columns");
    varnel_core::CscInput csc;
    csc.by_column = true;
    csc.columns.resize(dims[1]);
    out.column_arrays.assign(2 * dims[1], nullptr);
    for (std::size_t j = 0; j < dims[1]; ++j)
        if (!convert_column(PyTuple_GetItem(columns, static_cast<Py_ssize_t>(j)), j,
                            csc.columns[j], &out.column_arrays[2 * j]))
            return false;
    if (const auto problem = varnel_core::columns_problem(csc.columns, dims[0]))
        return raise(PyExc_ValueError, "malformed columns: " + *problem);
    for (std::size_t j = 0; j < dims[1]; ++j) {
        const auto& c = csc.columns[j];
        if (c.values == nullptr) continue;
        const auto bad = first_non_finite(std::span<const double>(c.values, c.count));
        if (bad)
            return raise(PyExc_ValueError,
                         "x must be finite, but x[" +
                             std::to_string(c.rows ? c.rows[*bad] : *bad) + ", " +
                             std::to_string(j) + "] is " + repr(c.values[*bad]));
    }
    out.csc = std::move(csc);
    out.n = dims[0];
    out.p = dims[1];
    return true;
}

bool convert_predictors(PyObject* obj, Predictors& out) {
    if (obj != nullptr && PyTuple_Check(obj)) {
        if (PyTuple_Size(obj) == 3) return convert_columns(obj, out);
        if (PyTuple_Size(obj) != 5)
            return raise(PyExc_TypeError, "x given as a tuple must be (n, p, col_ptr, row_idx, "
                                          "values) or (n, p, columns)");
        varnel_core::CscInput csc;
        const char* names[] = {"n", "p", "col_ptr", "row_idx", "values"};
        std::uint64_t dims[2] = {0, 0};
        for (int i = 0; i < 2; ++i)
            if (!convert(names[i], PyTuple_GetItem(obj, i), dims[i])) return false;
        // Arrays of 64-bit counts and of float64 values are read in place,
        // any other one is converted.
        PyObject* arrays[3] = {PyTuple_GetItem(obj, 2), PyTuple_GetItem(obj, 3),
                               PyTuple_GetItem(obj, 4)};
        csc.col_ptr_view = count_view(arrays[0]);
        csc.row_idx_view = count_view(arrays[1]);
        csc.values_view = float_view(arrays[2]);
        if ((!csc.col_ptr_view && !convert(names[2], arrays[0], csc.col_ptr)) ||
            (!csc.row_idx_view && !convert(names[3], arrays[1], csc.row_idx)) ||
            (!csc.values_view && !convert(names[4], arrays[2], csc.values)))
            return false;
        if (const auto problem =
                varnel_core::csc_problem(csc.col_ptr_read(), csc.row_idx_read(),
                                         csc.values_read().size(), dims[0], dims[1]))
            return raise(PyExc_ValueError, "malformed CSC matrix: " + *problem);
        if (!check_finite("values", csc.values_read())) return false;
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

// While the solver reads x in place the caller's reference keeps it alive;
// the polls on the main thread also check that nothing (a signal handler)
// reshaped or reallocated it, and stop the fit before x is read again.
struct InPlaceGuard {
    PyObject* array;
    FloatArray seen;

    static bool unchanged(void* self) {
        auto* g = static_cast<InPlaceGuard*>(self);
        FloatArray now;
        if (to_float_array(g->array, 2, now) && now.data == g->seen.data &&
            now.shape[0] == g->seen.shape[0] && now.shape[1] == g->seen.shape[1] &&
            now.strides[0] == g->seen.strides[0] && now.strides[1] == g->seen.strides[1])
            return true;
        PyErr_Clear();
        return raise(PyExc_RuntimeError, "x was changed while the fit was reading it");
    }
};

// y of `fit` is finite; the message names a 2-D y's entry by row and column.
bool check_response(const FitRequest& r) {
    if (r.y_cols == 1) return check_finite("y", r.y);
    const auto bad = first_non_finite(r.y);
    if (!bad) return true;
    return raise(PyExc_ValueError, "y must be finite, but y[" + std::to_string(*bad / r.y_cols) +
                                       ", " + std::to_string(*bad % r.y_cols) + "] is " +
                                       repr(r.y[*bad]));
}

// The rows of positive weight (every row without weights).
std::uint64_t weighted_rows(const std::optional<varnel_core::Vec>& weights, std::uint64_t n) {
    if (!weights) return n;
    std::uint64_t count = 0;
    for (const double w : *weights) count += w > 0.0;
    return count;
}

// The same for compressed sparse columns: the arrays read in place keep
// their data and sizes.
struct CscGuard {
    PyObject* arrays[3];
    std::optional<std::span<const std::uint64_t>> col_ptr, row_idx;
    std::optional<std::span<const double>> values;

    static bool unchanged(void* self) {
        auto* g = static_cast<CscGuard*>(self);
        auto same = [](const auto& now, const auto& then) {
            return !then || (now && now->data() == then->data() && now->size() == then->size());
        };
        // (the arrays' place, length and type, not their entries: a poll
        // costs no pass over them)
        if (same(count_extent(g->arrays[0]), g->col_ptr) &&
            same(count_extent(g->arrays[1]), g->row_idx) &&
            same(float_view(g->arrays[2]), g->values))
            return true;
        return raise(PyExc_RuntimeError, "x was changed while the fit was reading it");
    }
};

// The same for columns given one by one: each array keeps its place and
// length (the tuples that hold them cannot change).
struct ColumnsGuard {
    std::vector<PyObject*> arrays;  // rows, values of each column (nullptr: none)
    std::vector<varnel_core::ColumnEntries> seen;

    static bool unchanged(void* self) {
        auto* g = static_cast<ColumnsGuard*>(self);
        for (std::size_t j = 0; j < g->seen.size(); ++j) {
            const auto& c = g->seen[j];
            PyObject* rows = g->arrays[2 * j];
            PyObject* values = g->arrays[2 * j + 1];
            const auto r = rows ? count_extent(rows) : std::nullopt;
            const auto v = values ? float_view(values) : std::nullopt;
            if ((rows && !(r && r->data() == c.rows && r->size() == c.count)) ||
                (values && !(v && v->data() == c.values && v->size() == c.count)))
                return raise(PyExc_RuntimeError, "x was changed while the fit was reading it");
        }
        return true;
    }
};

// The finite tables of `fit` (offset, start).
bool check_table(const char* name, const std::optional<varnel_core::Table>& t) {
    return !t || check_finite(name, t->values);
}

}  // namespace

PyObject* fit(PyObject* args, PyObject* kwargs) {
    PyRef slots[max_parameters];
    std::span<PyRef> s(slots, fit_signature.names.size());
    if (!bind_arguments(fit_signature, args, kwargs, s)) return nullptr;

    Predictors x;
    FloatArray y;
    FitRequest request;
    varnel_core::FitOptions options;
    if (!convert_predictors(s[0].get(), x) || !convert_vector_or_matrix("y", s[1].get(), y) ||
        !convert_choices(std::span<const PyRef>(s).subspan(fit_choices_at), request.choices) ||
        !convert_options(std::span<const PyRef>(s).subspan(fit_options_at()), options))
        return nullptr;
    // The options' conversion may have reallocated the arrays: read them again.
    const bool borrowed = !x.csc || x.csc->by_column || x.csc->col_ptr_view ||
                          x.csc->row_idx_view || x.csc->values_view;
    if ((borrowed && !convert_predictors(s[0].get(), x)) ||
        !convert_vector_or_matrix("y", s[1].get(), y))
        return nullptr;
    varnel_core::FitChoices& c = request.choices;
    const bool covariance = varnel_core::check_choices(c, !x.csc, x.n, x.p) ==
                            varnel_core::SolverKind::Covariance;
    if (y.shape[0] != x.n)
        return fail(PyExc_ValueError, "x has " + std::to_string(x.n) + " rows but y has length " +
                                          std::to_string(y.shape[0]));
    request.y = copy_row_major(y);
    request.y_cols = y.ndim == 2 ? y.shape[1] : 1;
    const Dimensions dims{x.n, x.p, x.csc.has_value()};
    // Rows of weight 0 count as absent, in the default lambda_min_ratio too.
    const std::uint64_t weighted = weighted_rows(options.weights, x.n);
    request.config = varnel_core::build_config(weighted, x.p, std::move(options));
    if (!check_rows(dims) || !check_response(request) ||
        !check_options(request.config, dims) || !check_table("offset", c.offset) ||
        !check_table("start_a0", c.start_a0) || !check_table("start_beta", c.start_beta))
        return nullptr;
    request.nobs = x.n;
    request.nvars = x.p;
    PyObject* callback = s[fit_callback_at()].get();
    if (!check_callback(callback)) return nullptr;

    Unlocked unlocked;
    request.config.on_lambda = unlocked.on_lambda(callback);
    if (x.csc && x.csc->by_column) {
        // read in place: the arrays stay referenced by the arguments' tuples
        ColumnsGuard guard{std::move(x.column_arrays), x.csc->columns};
        unlocked.watch(&ColumnsGuard::unchanged, &guard);
        request.x = std::move(*x.csc);
        return run_fit(std::move(request), unlocked, ResultStyle::fit);
    }
    if (x.csc) {
        // read in place: the arrays stay referenced by the arguments
        PyObject* t = s[0].get();
        CscGuard guard{{PyTuple_GetItem(t, 2), PyTuple_GetItem(t, 3), PyTuple_GetItem(t, 4)},
                       x.csc->col_ptr_view, x.csc->row_idx_view, x.csc->values_view};
        if (borrowed) unlocked.watch(&CscGuard::unchanged, &guard);
        request.x = std::move(*x.csc);
        return run_fit(std::move(request), unlocked, ResultStyle::fit);
    }
    // Both solvers read x in place: the covariance solver in any memory
    // order, the naive solver column by column (contiguous columns).
    auto view = in_place(x.dense);
    if (view && !covariance && view->row_stride != 1 && x.n > 1) view = std::nullopt;
    if (view) {  // read in place: x stays referenced by the arguments
        // the fit refuses a non-finite x, in the pass that forms the
        // covariance solver's products or by a scan first
        request.x_unchecked = true;
        InPlaceGuard guard{s[0].get(), x.dense};
        unlocked.watch(&InPlaceGuard::unchanged, &guard);
        request.x = DenseMatrix(*view);
        return run_fit(std::move(request), unlocked, ResultStyle::fit);
    }
    std::vector<double> xbuf;
    xbuf.reserve(varnel_core::checked_size(x.n, x.p));
    if (!copy_and_check(x.dense, xbuf, unlocked)) return nullptr;
    // Any other layout: the solver reads a column-major copy, as it would
    // read such an array in place, so that the bits do not depend on the
    // layout.
    request.x = DenseMatrix(StridedMatrix{xbuf.data(), x.n, x.p, 1, static_cast<std::ptrdiff_t>(x.n)});
    return run_fit(std::move(request), unlocked, ResultStyle::fit);
}

PyObject* fit_solver(PyObject* args, PyObject* kwargs) {
    PyRef slots[max_parameters];
    std::span<PyRef> s(slots, solver_signature.names.size());
    if (!bind_arguments(solver_signature, args, kwargs, s)) return nullptr;
    std::uint64_t n = 0, p = 0;
    bool sparse = false;
    varnel_core::FitChoices choices;
    if (!convert("n", s[0].get(), n) || !convert("p", s[1].get(), p) ||
        !convert("sparse", s[2].get(), sparse) ||
        !convert_choices(std::span<const PyRef>(s).subspan(solver_choices_at), choices))
        return nullptr;
    const std::string_view name =
        varnel_core::solver_name(varnel_core::check_choices(choices, !sparse, n, p));
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

}  // namespace varnel_py
