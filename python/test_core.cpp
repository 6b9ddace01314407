// varnel._test_core: a private module that exposes the core's building blocks
// to the test suite.  Each function converts plain Python sequences (lists,
// tuples, NumPy arrays) into owned vectors, calls one core routine and returns
// lists, tuples or dicts.  Dense matrices travel as a flat column-major
// sequence plus nrows and ncols.
//
// Every C++ exception ends in a Python exception: PreconditionError and
// InputError become ValueError, std::bad_alloc MemoryError, anything else
// RuntimeError.  A FitError returned by a core routine is raised as
// `FitFailure(variant_name, text)`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "control.hpp"
#include "error.hpp"
#include "glm_matrix.hpp"
#include "gram.hpp"
#include "matrix.hpp"
#include "prepare.hpp"
#include "pyconv.hpp"
#include "standardize.hpp"

namespace vc = varnel_core;

namespace {

// Thrown once a Python exception has been set.
struct PyErrorSet {};

struct ModuleState {
    PyObject* fit_failure;
};

ModuleState* state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Owns one strong reference.
class Ref {
public:
    explicit Ref(PyObject* p = nullptr) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_;
};

PyObject* check(PyObject* p) {
    if (!p) throw PyErrorSet{};
    return p;
}

// ---- Python -> C++ ----------------------------------------------------------

template <class Convert>
auto to_vector(PyObject* seq, Convert convert) {
    using T = decltype(convert(seq));
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) throw PyErrorSet{};
    std::vector<T> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(check(PySequence_GetItem(seq, i)));
        out.push_back(convert(item.get()));
    }
    return out;
}

double to_double(PyObject* o) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return d;
}

std::uint64_t to_u64(PyObject* o) {
    Ref idx(check(PyNumber_Index(o)));
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return static_cast<std::uint64_t>(v);
}

std::size_t to_size(PyObject* o) { return static_cast<std::size_t>(to_u64(o)); }

std::uint8_t to_flag(PyObject* o) {
    const std::uint64_t v = to_u64(o);
    if (v > 255) {
        PyErr_SetString(PyExc_OverflowError, "include flag does not fit in a byte");
        throw PyErrorSet{};
    }
    return static_cast<std::uint8_t>(v);
}

vc::Vec vec(PyObject* seq) { return to_vector(seq, to_double); }
vc::Index index(PyObject* seq) { return to_vector(seq, to_u64); }
vc::Flags flags(PyObject* seq) { return to_vector(seq, to_flag); }

std::optional<vc::Vec> opt_vec(PyObject* o) {
    if (!o || o == Py_None) return std::nullopt;
    return vec(o);
}

vc::Dense dense(PyObject* data, PyObject* nrows, PyObject* ncols) {
    return vc::Dense(vec(data), to_size(nrows), to_size(ncols));
}

// ---- C++ -> Python ----------------------------------------------------------

PyObject* to_list(const vc::Vec& v) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(v[i])));
    return list.release();
}

template <class Int>
PyObject* to_int_list(const std::vector<Int>& v) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       check(PyLong_FromUnsignedLongLong(v[i])));
    return list.release();
}

// Sets d[key] to a new reference, which it consumes.
void put(PyObject* d, const char* key, PyObject* value) {
    Ref v(check(value));
    if (PyDict_SetItemString(d, key, v.get()) < 0) throw PyErrorSet{};
}

PyObject* py_bool(bool b) { return check(PyBool_FromLong(b)); }

// ---- errors -------------------------------------------------------------------

constexpr const char* fit_error_names[] = {
    "AllPredictorsExcluded", "NonPositivePenalties", "PositiveLowerLimit", "NegativeUpperLimit",
    "NullProbUnderflow",     "NullProbOverflow",     "NegativeResponse",   "NonPositiveWeightSum",
};
constexpr int fit_error_count = sizeof(fit_error_names) / sizeof(fit_error_names[0]);

[[noreturn]] void raise_fit_error(PyObject* module, vc::FitError e) {
    const auto msg = vc::message(e);
    Ref args(Py_BuildValue("(ss#)", fit_error_names[static_cast<int>(e)], msg.data(),
                           static_cast<Py_ssize_t>(msg.size())));
    if (args.get()) PyErr_SetObject(state(module)->fit_failure, args.get());
    throw PyErrorSet{};
}

template <class T>
T value_or_raise(PyObject* module, std::variant<T, vc::FitError>&& outcome) {
    if (auto* e = std::get_if<vc::FitError>(&outcome)) raise_fit_error(module, *e);
    return std::move(std::get<T>(outcome));
}

// Runs `body`, translating every C++ exception into a Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorSet&) {
    } catch (const vc::PreconditionError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const vc::InputError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// Parses positional/keyword arguments into PyObject* slots ("O" formats only,
// "|" and "$" allowed).
template <class... Slots>
void parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
           Slots*... slots) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), slots...))
        throw PyErrorSet{};
}

#define KW(...)                                                     \
    static const char* const kw[] = {__VA_ARGS__, nullptr};

// ---- matrix kernels -----------------------------------------------------------

PyObject* py_dot4(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("a", "b");
        PyObject *a, *b;
        parse(args, kwargs, "OO", kw, &a, &b);
        const vc::Vec va = vec(a), vb = vec(b);
        vc::require(va.size() == vb.size(), "dot4: a and b differ in length");
        return check(PyFloat_FromDouble(vc::dot4(va.data(), vb.data(), va.size())));
    });
}

PyObject* py_wdot4(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("a", "b", "c");
        PyObject *a, *b, *c;
        parse(args, kwargs, "OOO", kw, &a, &b, &c);
        return check(PyFloat_FromDouble(vc::wdot4(vec(a), vec(b), vec(c))));
    });
}

PyObject* py_dense_dot(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "j", "v");
        PyObject *data, *nrows, *ncols, *j, *v;
        parse(args, kwargs, "OOOOO", kw, &data, &nrows, &ncols, &j, &v);
        const vc::Dense x = dense(data, nrows, ncols);
        return check(PyFloat_FromDouble(x.dot(to_size(j), vec(v))));
    });
}

PyObject* py_dense_grad(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "j", "r", "shift");
        PyObject *data, *nrows, *ncols, *j, *r;
        double shift;
        parse(args, kwargs, "OOOOOd", kw, &data, &nrows, &ncols, &j, &r, &shift);
        const vc::Dense x = dense(data, nrows, ncols);
        return check(PyFloat_FromDouble(x.grad(to_size(j), vec(r), shift)));
    });
}

PyObject* py_dense_update_residual(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "j", "delta", "r", "shift");
        PyObject *data, *nrows, *ncols, *j, *r;
        double delta, shift;
        parse(args, kwargs, "OOOOdOd", kw, &data, &nrows, &ncols, &j, &delta, &r, &shift);
        const vc::Dense x = dense(data, nrows, ncols);
        vc::Vec res = vec(r);
        x.update_residual(to_size(j), delta, res, shift);
        Ref list(to_list(res));
        return check(Py_BuildValue("(Od)", list.get(), shift));
    });
}

struct SparseArgs {
    PyObject *col_ptr, *row_idx, *values, *norm_weights, *x_mean, *x_scale, *nrows, *ncols;
    vc::Sparse build() const {
        return vc::Sparse(index(col_ptr), index(row_idx), vec(values), vec(norm_weights),
                          vec(x_mean), vec(x_scale), to_size(nrows), to_size(ncols));
    }
};

PyObject* py_sparse_grad(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "row_idx", "values", "norm_weights", "x_mean", "x_scale", "nrows", "ncols",
           "j", "r", "shift");
        SparseArgs s;
        PyObject *j, *r;
        double shift;
        parse(args, kwargs, "OOOOOOOOOOd", kw, &s.col_ptr, &s.row_idx, &s.values,
              &s.norm_weights, &s.x_mean, &s.x_scale, &s.nrows, &s.ncols, &j, &r, &shift);
        const vc::Sparse x = s.build();
        return check(PyFloat_FromDouble(x.grad(to_size(j), vec(r), shift)));
    });
}

PyObject* py_sparse_update_residual(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "row_idx", "values", "norm_weights", "x_mean", "x_scale", "nrows", "ncols",
           "j", "delta", "r", "shift");
        SparseArgs s;
        PyObject *j, *r;
        double delta, shift;
        parse(args, kwargs, "OOOOOOOOOdOd", kw, &s.col_ptr, &s.row_idx, &s.values,
              &s.norm_weights, &s.x_mean, &s.x_scale, &s.nrows, &s.ncols, &j, &delta, &r, &shift);
        const vc::Sparse x = s.build();
        vc::Vec res = vec(r);
        x.update_residual(to_size(j), delta, res, shift);
        Ref list(to_list(res));
        return check(Py_BuildValue("(Od)", list.get(), shift));
    });
}

PyObject* py_sub_weighted_scaled(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("r", "w", "x", "delta");
        PyObject *r, *w, *x;
        double delta;
        parse(args, kwargs, "OOOd", kw, &r, &w, &x, &delta);
        vc::Vec rv = vec(r);
        const vc::Vec wv = vec(w), xv = vec(x);
        vc::require(wv.size() >= rv.size() && xv.size() >= rv.size(),
                    "sub_weighted_scaled: w and x shorter than r");
        vc::sub_weighted_scaled(rv.data(), wv.data(), xv.data(), delta, rv.size());
        return to_list(rv);
    });
}

// The fused kernels of the solvers' inner loop (several gradients at once, an
// update followed by the next gradient) are reached through the matrix types,
// so that a matrix type without them still builds this module.
template <class M>
PyObject* grad_batch_of(const M& x, const vc::Index& js, const vc::Vec& r, double shift) {
    if constexpr (requires(std::span<const std::size_t> s, double* out) {
                      x.grad_batch(s, std::span<const double>(r), shift, out);
                  }) {
        const std::vector<std::size_t> j(js.begin(), js.end());
        vc::Vec out(j.size());
        x.grad_batch(j, r, shift, out.data());
        return to_list(out);
    } else {
        PyErr_SetString(PyExc_NotImplementedError, "this matrix type has no grad_batch");
        throw PyErrorSet{};
    }
}

template <class M>
PyObject* update_then_grad_of(const M& x, std::size_t j, double delta, vc::Vec& r, double shift,
                              std::size_t k) {
    if constexpr (requires(std::span<double> rr, double& sh) {
                      x.update_then_grad(j, delta, rr, sh, k);
                  }) {
        const double g = x.update_then_grad(j, delta, r, shift, k);
        Ref list(to_list(r));
        return check(Py_BuildValue("(Odd)", list.get(), shift, g));
    } else {
        PyErr_SetString(PyExc_NotImplementedError, "this matrix type has no update_then_grad");
        throw PyErrorSet{};
    }
}

PyObject* py_dense_grad_batch(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "js", "r", "shift");
        PyObject *data, *nrows, *ncols, *js, *r;
        double shift;
        parse(args, kwargs, "OOOOOd", kw, &data, &nrows, &ncols, &js, &r, &shift);
        return grad_batch_of(dense(data, nrows, ncols), index(js), vec(r), shift);
    });
}

PyObject* py_dense_update_then_grad(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "j", "delta", "r", "shift", "k");
        PyObject *data, *nrows, *ncols, *j, *r, *k;
        double delta, shift;
        parse(args, kwargs, "OOOOdOdO", kw, &data, &nrows, &ncols, &j, &delta, &r, &shift, &k);
        vc::Vec res = vec(r);
        return update_then_grad_of(dense(data, nrows, ncols), to_size(j), delta, res, shift,
                                   to_size(k));
    });
}

PyObject* py_sparse_grad_batch(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "row_idx", "values", "norm_weights", "x_mean", "x_scale", "nrows", "ncols",
           "js", "r", "shift");
        SparseArgs s;
        PyObject *js, *r;
        double shift;
        parse(args, kwargs, "OOOOOOOOOOd", kw, &s.col_ptr, &s.row_idx, &s.values,
              &s.norm_weights, &s.x_mean, &s.x_scale, &s.nrows, &s.ncols, &js, &r, &shift);
        return grad_batch_of(s.build(), index(js), vec(r), shift);
    });
}

PyObject* py_sparse_update_then_grad(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "row_idx", "values", "norm_weights", "x_mean", "x_scale", "nrows", "ncols",
           "j", "delta", "r", "shift", "k");
        SparseArgs s;
        PyObject *j, *r, *k;
        double delta, shift;
        parse(args, kwargs, "OOOOOOOOOdOdO", kw, &s.col_ptr, &s.row_idx, &s.values,
              &s.norm_weights, &s.x_mean, &s.x_scale, &s.nrows, &s.ncols, &j, &delta, &r, &shift,
              &k);
        vc::Vec res = vec(r);
        return update_then_grad_of(s.build(), to_size(j), delta, res, shift, to_size(k));
    });
}

PyObject* py_weighted_sumsq(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "j", "v");
        PyObject *data, *nrows, *ncols, *j, *v;
        parse(args, kwargs, "OOOOO", kw, &data, &nrows, &ncols, &j, &v);
        const vc::DenseGlm x(dense(data, nrows, ncols));
        return check(PyFloat_FromDouble(x.weighted_sumsq(to_size(j), vec(v))));
    });
}

PyObject* py_weighted_sumsq_flagged(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "flags", "v");
        PyObject *data, *nrows, *ncols, *flags, *v;
        parse(args, kwargs, "OOOOO", kw, &data, &nrows, &ncols, &flags, &v);
        const vc::DenseGlm x(dense(data, nrows, ncols));
        const vc::Index f64 = index(flags);
        const vc::Flags f(f64.begin(), f64.end());
        vc::Vec out(x.ncols, -1.0);
        x.weighted_sumsq_flagged(f, vec(v), out);
        return to_list(out);
    });
}

PyObject* py_linear_predictor(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "coef", "active", "intercept");
        PyObject *data, *nrows, *ncols, *coef, *active;
        double intercept;
        parse(args, kwargs, "OOOOOd", kw, &data, &nrows, &ncols, &coef, &active, &intercept);
        const vc::DenseGlm x(dense(data, nrows, ncols));
        const vc::Index act64 = index(active);
        const std::vector<std::size_t> act(act64.begin(), act64.end());
        vc::Vec eta(x.nrows);
        x.linear_predictor(vec(coef), act, intercept, eta);
        return to_list(eta);
    });
}

PyObject* py_csc_problem(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        KW("col_ptr", "row_idx", "nvalues", "nrows", "ncols");
        PyObject *col_ptr, *row_idx, *nvalues, *nrows, *ncols;
        parse(args, kwargs, "OOOOO", kw, &col_ptr, &row_idx, &nvalues, &nrows, &ncols);
        const auto problem = vc::csc_problem(index(col_ptr), index(row_idx), to_size(nvalues),
                                             to_size(nrows), to_size(ncols));
        if (!problem) Py_RETURN_NONE;
        return check(PyUnicode_FromStringAndSize(problem->data(),
                                                 static_cast<Py_ssize_t>(problem->size())));
    });
}

PyObject* py_chkvars(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols");
        PyObject *data, *nrows, *ncols;
        parse(args, kwargs, "OOO", kw, &data, &nrows, &ncols);
        return to_int_list(vc::chkvars(dense(data, nrows, ncols)));
    });
}

PyObject* py_chkvars_sparse(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "values", "nrows");
        PyObject *col_ptr, *values, *nrows;
        parse(args, kwargs, "OOO", kw, &col_ptr, &values, &nrows);
        return to_int_list(vc::chkvars_sparse(index(col_ptr), vec(values), to_size(nrows)));
    });
}

PyObject* py_clear_weighted_constants(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "w", "include");
        PyObject *data, *nrows, *ncols, *w, *include;
        parse(args, kwargs, "OOOOO", kw, &data, &nrows, &ncols, &w, &include);
        vc::Flags inc = flags(include);
        vc::clear_weighted_constants(dense(data, nrows, ncols), vec(w), inc);
        return to_int_list(inc);
    });
}

PyObject* py_clear_weighted_constants_sparse(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "row_idx", "values", "w", "include");
        PyObject *col_ptr, *row_idx, *values, *w, *include;
        parse(args, kwargs, "OOOOO", kw, &col_ptr, &row_idx, &values, &w, &include);
        vc::Flags inc = flags(include);
        vc::clear_weighted_constants_sparse(index(col_ptr), index(row_idx), vec(values), vec(w),
                                            inc);
        return to_int_list(inc);
    });
}

// ---- standardization ------------------------------------------------------------

PyObject* standardization_dict(const vc::Standardization& s, const vc::Flags& include) {
    Ref d(check(PyDict_New()));
    put(d.get(), "include", to_int_list(include));
    put(d.get(), "x_mean", to_list(s.x_mean));
    put(d.get(), "x_scale", to_list(s.x_scale));
    put(d.get(), "x_sumsq", to_list(s.x_sumsq));
    put(d.get(), "y_mean", PyFloat_FromDouble(s.y_mean));
    put(d.get(), "y_scale", PyFloat_FromDouble(s.y_scale));
    return d.release();
}

PyObject* py_standardize_naive(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "y", "w", "include", "standardize", "intercept");
        PyObject *data, *nrows, *ncols, *y, *w, *include;
        int standardize, intercept;
        parse(args, kwargs, "OOOOOOpp", kw, &data, &nrows, &ncols, &y, &w, &include,
              &standardize, &intercept);
        vc::Dense x = dense(data, nrows, ncols);
        vc::Vec yv = vec(y);
        vc::Flags inc = flags(include);
        const auto s = vc::standardize_naive(x, yv, vec(w), inc, standardize != 0, intercept != 0);
        Ref d(standardization_dict(s, inc));
        put(d.get(), "x", to_list(x.data));
        put(d.get(), "y", to_list(yv));
        return d.release();
    });
}

PyObject* py_standardize_naive_sparse(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("col_ptr", "row_idx", "values", "y", "w", "include", "standardize", "intercept");
        PyObject *col_ptr, *row_idx, *values, *y, *w, *include;
        int standardize, intercept;
        parse(args, kwargs, "OOOOOOpp", kw, &col_ptr, &row_idx, &values, &y, &w, &include,
              &standardize, &intercept);
        vc::Vec yv = vec(y);
        vc::Flags inc = flags(include);
        const auto s = vc::standardize_naive_sparse(index(col_ptr), index(row_idx), vec(values),
                                                    yv, vec(w), inc, standardize != 0,
                                                    intercept != 0);
        Ref d(standardization_dict(s, inc));
        put(d.get(), "y", to_list(yv));
        return d.release();
    });
}

PyObject* py_standardize_lognet(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("data", "nrows", "ncols", "w", "standardize", "intercept", "include");
        PyObject *data, *nrows, *ncols, *w, *include;
        int standardize, intercept;
        parse(args, kwargs, "OOOOppO", kw, &data, &nrows, &ncols, &w, &standardize, &intercept,
              &include);
        vc::Dense x = dense(data, nrows, ncols);
        vc::Flags inc = flags(include);
        auto [mean, scale] = vc::standardize_lognet(x, vec(w), standardize != 0, intercept != 0, inc);
        Ref d(check(PyDict_New()));
        put(d.get(), "x", to_list(x.data));
        put(d.get(), "include", to_int_list(inc));
        put(d.get(), "x_mean", to_list(mean));
        put(d.get(), "x_scale", to_list(scale));
        return d.release();
    });
}

// ---- penalty factors, limits, weights, include flags ------------------------

// A FitConfig with nothing but the data-dependent defaults and the given vectors.
vc::FitConfig config_with(std::uint64_t nobs, std::uint64_t nvars) {
    return vc::build_config(nobs, nvars, vc::FitOptions{});
}

PyObject* py_normalize_penalty(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("nvars", "penalty_factor");
        PyObject *nvars, *pf = Py_None;
        parse(args, kwargs, "O|O", kw, &nvars, &pf);
        const std::size_t p = to_size(nvars);
        vc::FitConfig c = config_with(p, p);
        c.penalty_factor = opt_vec(pf);
        return to_list(value_or_raise(module, vc::normalize_penalty(c, p)));
    });
}

PyObject* py_box_limits(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("nvars", "lower_limits", "upper_limits");
        PyObject *nvars, *lower = Py_None, *upper = Py_None;
        parse(args, kwargs, "O|OO", kw, &nvars, &lower, &upper);
        const std::size_t p = to_size(nvars);
        vc::FitConfig c = config_with(p, p);
        c.lower_limits = opt_vec(lower);
        c.upper_limits = opt_vec(upper);
        vc::WorkingConstants wc(c);
        const vc::Limits lim = value_or_raise(module, vc::box_limits(c, p, wc));
        Ref lo(to_list(lim.lower)), up(to_list(lim.upper));
        return check(Py_BuildValue("(OOd)", lo.get(), up.get(), wc.min_dev_change));
    });
}

PyObject* py_prepare_weights(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("nobs", "weights");
        PyObject *nobs, *weights = Py_None;
        parse(args, kwargs, "O|O", kw, &nobs, &weights);
        const std::size_t n = to_size(nobs);
        vc::FitConfig c = config_with(n, 1);
        c.weights = opt_vec(weights);
        const vc::Weights w = value_or_raise(module, vc::prepare_weights(c, n));
        Ref raw(to_list(w.raw)), norm(to_list(w.norm));
        return check(Py_BuildValue("(OdO)", raw.get(), w.sum, norm.get()));
    });
}

PyObject* py_apply_exclude(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("include", "exclude");
        PyObject *include, *exclude;
        parse(args, kwargs, "OO", kw, &include, &exclude);
        vc::Flags inc = flags(include);
        vc::FitConfig c = config_with(1, inc.size());
        c.exclude = index(exclude);
        vc::apply_exclude(c, inc);
        Ref list(to_int_list(inc));
        return check(Py_BuildValue("(OO)", list.get(), vc::any_flag(inc) ? Py_True : Py_False));
    });
}

// ---- configuration, errors, warnings ----------------------------------------------

PyObject* py_fit_errors(PyObject*, PyObject*) {
    return guarded([&] {
        Ref list(check(PyList_New(fit_error_count)));
        for (int i = 0; i < fit_error_count; ++i) {
            const auto msg = vc::message(static_cast<vc::FitError>(i));
            PyList_SetItem(list.get(), i,
                           check(Py_BuildValue("(ss#)", fit_error_names[i], msg.data(),
                                               static_cast<Py_ssize_t>(msg.size()))));
        }
        return list.release();
    });
}

PyObject* py_path_warning(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("kind", "lambda_index");
        const char* kind;
        PyObject* index_obj;
        parse(args, kwargs, "sO", kw, &kind, &index_obj);
        vc::PathWarning w{};
        const std::string k(kind);
        if (k == "MaxIterReached") {
            w.kind = vc::PathWarning::Kind::MaxIterReached;
        } else if (k == "MaxActiveReached") {
            w.kind = vc::PathWarning::Kind::MaxActiveReached;
        } else {
            PyErr_SetString(PyExc_ValueError, "unknown warning kind");
            throw PyErrorSet{};
        }
        w.lambda_index = to_u64(index_obj);
        const std::string text = w.text();
        return check(Py_BuildValue("(s#L)", text.data(), static_cast<Py_ssize_t>(text.size()),
                                   static_cast<long long>(w.code())));
    });
}

PyObject* opt_list(const std::optional<vc::Vec>& v) {
    if (!v) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return to_list(*v);
}

PyObject* py_build_config(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("nobs", "nvars", "alpha", "nlambda", "lambda_min_ratio", "user_lambda", "standardize",
           "intercept", "thresh", "maxit", "dfmax", "pmax", "penalty_factor", "lower_limits",
           "upper_limits", "weights", "exclude");
        PyObject *nobs, *nvars;
        PyObject* o[15];
        for (auto& p : o) p = Py_None;
        parse(args, kwargs, "OO|$OOOOOOOOOOOOOOO", kw, &nobs, &nvars, &o[0], &o[1], &o[2], &o[3],
              &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12], &o[13], &o[14]);
        auto given = [&](int i) { return o[i] != Py_None; };
        auto truth = [&](int i) {
            const int t = PyObject_IsTrue(o[i]);
            if (t < 0) throw PyErrorSet{};
            return t != 0;
        };
        vc::FitOptions opt;
        if (given(0)) opt.alpha = to_double(o[0]);
        if (given(1)) opt.nlambda = to_u64(o[1]);
        if (given(2)) opt.lambda_min_ratio = to_double(o[2]);
        opt.user_lambda = opt_vec(o[3]);
        if (given(4)) opt.standardize = truth(4);
        if (given(5)) opt.intercept = truth(5);
        if (given(6)) opt.thresh = to_double(o[6]);
        if (given(7)) opt.maxit = to_u64(o[7]);
        if (given(8)) opt.dfmax = to_u64(o[8]);
        if (given(9)) opt.pmax = to_u64(o[9]);
        opt.penalty_factor = opt_vec(o[10]);
        opt.lower_limits = opt_vec(o[11]);
        opt.upper_limits = opt_vec(o[12]);
        opt.weights = opt_vec(o[13]);
        if (given(14)) opt.exclude = index(o[14]);
        const vc::FitConfig c = vc::build_config(to_u64(nobs), to_u64(nvars), std::move(opt));

        Ref d(check(PyDict_New()));
        PyObject* dp = d.get();
        put(dp, "alpha", PyFloat_FromDouble(c.alpha));
        put(dp, "nlambda", PyLong_FromUnsignedLongLong(c.nlambda));
        put(dp, "lambda_min_ratio", PyFloat_FromDouble(c.lambda_min_ratio));
        put(dp, "user_lambda", opt_list(c.user_lambda));
        put(dp, "standardize", py_bool(c.standardize));
        put(dp, "intercept", py_bool(c.intercept));
        put(dp, "thresh", PyFloat_FromDouble(c.thresh));
        put(dp, "maxit", PyLong_FromUnsignedLongLong(c.maxit));
        put(dp, "dfmax", PyLong_FromUnsignedLongLong(c.dfmax));
        put(dp, "pmax", PyLong_FromUnsignedLongLong(c.pmax));
        put(dp, "penalty_factor", opt_list(c.penalty_factor));
        put(dp, "lower_limits", opt_list(c.lower_limits));
        put(dp, "upper_limits", opt_list(c.upper_limits));
        put(dp, "weights", opt_list(c.weights));
        put(dp, "exclude", to_int_list(c.exclude));
        put(dp, "min_dev_change", PyFloat_FromDouble(c.min_dev_change));
        put(dp, "min_lambda_ratio", PyFloat_FromDouble(c.min_lambda_ratio));
        put(dp, "big", PyFloat_FromDouble(c.big));
        put(dp, "min_lambdas", PyLong_FromUnsignedLongLong(c.min_lambdas));
        put(dp, "max_dev_ratio", PyFloat_FromDouble(c.max_dev_ratio));
        put(dp, "pmin", PyFloat_FromDouble(c.pmin));
        return d.release();
    });
}

// ---- Gram kernels (core/gram.hpp) ----------------------------------------------

// gram(x, w, y=None, centre=None, scale=None, cols=None, kernel="best",
// at_mean=False, extra=None): x (and the extra columns, another 2-D float64
// array or None) are read in place through their strides.  Returns a dict: "gram" = gram_full (p x p) or, with cols,
// gram_columns as a (len(cols), p) array whose row t is column t of the block,
// centred as Centring::weighted_mean when at_mean (then "gram_mean" holds the
// means it gives back), else as Centring::given; "kernel" = the kernel that ran;
// "available" = the kernels this CPU runs; and, when the weights have a
// positive sum, weighted_column_stats' "mean", "var", "ymean" (and "cov" with y).
PyObject* py_gram(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        KW("x", "w", "y", "centre", "scale", "cols", "kernel", "at_mean", "extra");
        PyObject *xo, *wo, *yo = Py_None, *co = Py_None, *so = Py_None, *colso = Py_None,
                          *ko = Py_None, *mo = Py_False, *eo = Py_None;
        parse(args, kwargs, "OO|OOOOOOO", kw, &xo, &wo, &yo, &co, &so, &colso, &ko, &mo, &eo);
        const int at_mean = PyObject_IsTrue(mo);
        if (at_mean < 0) throw PyErrorSet{};
        const auto centring = at_mean ? vc::Centring::weighted_mean : vc::Centring::given;
        varnel_py::FloatArray a;
        if (!varnel_py::to_float_array(xo, 2, a)) throw PyErrorSet{};
        vc::require(a.strides[0] % 8 == 0 && a.strides[1] % 8 == 0, "gram: partial-element strides");
        const vc::StridedMatrix x{reinterpret_cast<const double*>(a.data), a.shape[0], a.shape[1],
                                  a.strides[0] / 8, a.strides[1] / 8};
        vc::StridedMatrix extra;
        if (eo != Py_None) {
            varnel_py::FloatArray e;
            if (!varnel_py::to_float_array(eo, 2, e)) throw PyErrorSet{};
            vc::require(e.strides[0] % 8 == 0 && e.strides[1] % 8 == 0, "gram: partial-element strides");
            extra = {reinterpret_cast<const double*>(e.data), e.shape[0], e.shape[1],
                     e.strides[0] / 8, e.strides[1] / 8};
        }
        const auto opt = [](PyObject* o) { return o == Py_None ? vc::Vec{} : vec(o); };
        const vc::Vec w = vec(wo), y = opt(yo), centre = opt(co), scale = opt(so);
        const vc::GramKernel all[] = {vc::GramKernel::portable, vc::GramKernel::avx2,
                                      vc::GramKernel::avx512};
        vc::GramKernel kernel = vc::GramKernel::best;
        if (ko != Py_None) {
            std::string name;
            if (!varnel_py::to_text(ko, name)) throw PyErrorSet{};
            bool known = name == "best";
            for (auto k : all)
                if (name == vc::gram_kernel_name(k)) kernel = k, known = true;
            vc::require(known, "gram: unknown kernel name");
        }
        const std::size_t p = x.ncols + extra.ncols;
        Ref d(check(PyDict_New()));
        double* data = nullptr;
        vc::Vec gm(at_mean ? p : 0);
        if (colso == Py_None) {
            Ref g(check(varnel_py::new_matrix(p, p, data)));
            vc::gram_full(x, w, centring, centre, scale, data, p, gm, kernel, extra);
            put(d.get(), "gram", g.release());
        } else {
            const vc::Index c64 = index(colso);
            const std::vector<std::size_t> cols(c64.begin(), c64.end());
            Ref g(check(varnel_py::new_matrix(cols.size(), p, data)));
            vc::gram_columns(x, w, centring, centre, scale, cols, data, std::max<std::size_t>(p, 1),
                             gm, kernel, extra);
            put(d.get(), "gram", g.release());
        }
        if (at_mean) put(d.get(), "gram_mean", to_list(gm));
        const vc::GramKernel ran = kernel == vc::GramKernel::best ? vc::gram_best_kernel() : kernel;
        put(d.get(), "kernel", PyUnicode_FromString(std::string(vc::gram_kernel_name(ran)).c_str()));
        Ref avail(check(PyList_New(0)));
        for (auto k : all)
            if (vc::gram_kernel_available(k)) {
                Ref nm(check(PyUnicode_FromString(std::string(vc::gram_kernel_name(k)).c_str())));
                if (PyList_Append(avail.get(), nm.get()) < 0) throw PyErrorSet{};
            }
        put(d.get(), "available", avail.release());
        double wsum = 0.0;
        for (double v : w) wsum += v;
        if (wsum > 0.0) {
            const std::size_t px = x.ncols;
            vc::Vec mean(px), var(px), cov(y.empty() ? 0 : px);
            const double ym = vc::weighted_column_stats(x, w, y, mean, var, cov);
            put(d.get(), "mean", to_list(mean));
            put(d.get(), "var", to_list(var));
            put(d.get(), "ymean", PyFloat_FromDouble(ym));
            if (!y.empty()) put(d.get(), "cov", to_list(cov));
        }
        return d.release();
    });
}

// ---- module -------------------------------------------------------------------------

#define METHOD(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_##name)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef methods[] = {
    METHOD(dot4, "dot4(a, b): four-way inner product of two equally long sequences."),
    METHOD(wdot4, "wdot4(a, b, c): four-way sum of (a[i]*b[i])*c[i] for i < len(b)."),
    METHOD(dense_dot, "dense_dot(data, nrows, ncols, j, v): Dense::dot of column j with v."),
    METHOD(dense_grad, "dense_grad(data, nrows, ncols, j, r, shift)"),
    METHOD(dense_update_residual, "dense_update_residual(data, nrows, ncols, j, delta, r, shift) -> (r, shift)"),
    METHOD(sparse_grad, "sparse_grad(col_ptr, row_idx, values, norm_weights, x_mean, x_scale, nrows, ncols, j, r, shift)"),
    METHOD(sparse_update_residual, "sparse_update_residual(col_ptr, row_idx, values, norm_weights, x_mean, x_scale, nrows, ncols, j, delta, r, shift) -> (r, shift)"),
    METHOD(sub_weighted_scaled, "sub_weighted_scaled(r, w, x, delta) -> r with r[i] -= (w[i]*delta)*x[i]"),
    METHOD(dense_grad_batch, "dense_grad_batch(data, nrows, ncols, js, r, shift) -> [grad of each js]"),
    METHOD(dense_update_then_grad, "dense_update_then_grad(data, nrows, ncols, j, delta, r, shift, k) -> (r, shift, grad k)"),
    METHOD(sparse_grad_batch, "sparse_grad_batch(col_ptr, row_idx, values, norm_weights, x_mean, x_scale, nrows, ncols, js, r, shift)"),
    METHOD(sparse_update_then_grad, "sparse_update_then_grad(col_ptr, row_idx, values, norm_weights, x_mean, x_scale, nrows, ncols, j, delta, r, shift, k) -> (r, shift, grad k)"),
    METHOD(weighted_sumsq, "weighted_sumsq(data, nrows, ncols, j, v): DenseGlm::weighted_sumsq."),
    METHOD(weighted_sumsq_flagged,
           "weighted_sumsq_flagged(data, nrows, ncols, flags, v): the flagged columns' sums, batched."),
    METHOD(linear_predictor, "linear_predictor(data, nrows, ncols, coef, active, intercept) -> eta"),
    METHOD(csc_problem, "csc_problem(col_ptr, row_idx, nvalues, nrows, ncols) -> str or None"),
    METHOD(chkvars, "chkvars(data, nrows, ncols) -> include flags"),
    METHOD(chkvars_sparse, "chkvars_sparse(col_ptr, values, nrows) -> include flags"),
    METHOD(clear_weighted_constants, "clear_weighted_constants(data, nrows, ncols, w, include) -> include"),
    METHOD(clear_weighted_constants_sparse, "clear_weighted_constants_sparse(col_ptr, row_idx, values, w, include) -> include"),
    METHOD(standardize_naive, "standardize_naive(data, nrows, ncols, y, w, include, standardize, intercept) -> dict"),
    METHOD(standardize_naive_sparse, "standardize_naive_sparse(col_ptr, row_idx, values, y, w, include, standardize, intercept) -> dict"),
    METHOD(standardize_lognet, "standardize_lognet(data, nrows, ncols, w, standardize, intercept, include) -> dict"),
    METHOD(normalize_penalty, "normalize_penalty(nvars, penalty_factor=None) -> list"),
    METHOD(box_limits, "box_limits(nvars, lower_limits=None, upper_limits=None) -> (lower, upper, min_dev_change)"),
    METHOD(prepare_weights, "prepare_weights(nobs, weights=None) -> (raw, sum, norm)"),
    METHOD(apply_exclude, "apply_exclude(include, exclude) -> (include, any_flag)"),
    METHOD(path_warning, "path_warning(kind, lambda_index) -> (text, code)"),
    METHOD(build_config, "build_config(nobs, nvars, **options) -> dict of every FitConfig field"),
    METHOD(gram, "gram(x, w, y=None, centre=None, scale=None, cols=None, kernel='best', at_mean=False, extra=None) -> dict"),
    {"fit_errors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_fit_errors)), METH_NOARGS,
     "fit_errors() -> [(variant name, text)] in declaration order"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* m) {
    ModuleState* st = state(m);
    st->fit_failure = PyErr_NewExceptionWithDoc(
        "varnel._test_core.FitFailure",
        "A FitError returned by a core routine; args are (variant name, text).", nullptr, nullptr);
    if (!st->fit_failure) return -1;
    Py_INCREF(st->fit_failure);
    if (PyModule_AddObject(m, "FitFailure", st->fit_failure) < 0) {
        Py_DECREF(st->fit_failure);
        return -1;
    }
    return 0;
}

int traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = state(m);
    if (st) Py_VISIT(st->fit_failure);
    return 0;
}

int clear(PyObject* m) {
    ModuleState* st = state(m);
    if (st) Py_CLEAR(st->fit_failure);
    return 0;
}

void free_module(void* m) { clear(static_cast<PyObject*>(m)); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_test_core",
    "Private: the core's building blocks, exposed for the test suite.",
    sizeof(ModuleState),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit__test_core(void) { return PyModuleDef_Init(&module_def); }
