// varnel._test_core: a private module that exposes the core's building blocks
// to the test suite.  Each function is a thin wrapper: pyconv binds and
// converts its arguments (all positional or keyword, all required), one core
// routine runs, and vectors come back as float64 arrays.
//
// A design matrix `x` is either a 2-D float64 array (dense, copied
// column-major) or the tuple (col_ptr, row_idx, values, norm_weights,
// x_mean, x_scale, nrows, ncols) (the least-squares CSC columns under the
// standardized view).  C++ exceptions become Python exceptions as in
// varnel._core (PreconditionError: ValueError); a FitError is a ValueError
// with its text.
#include "pyconv.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/least_squares.hpp"
#include "data/memory_sources.hpp"
#include "data/statistics.hpp"
#include "data/standardized.hpp"
#include "data/working.hpp"
#include "losses/multinomial.hpp"
#include "fit/prepare.hpp"
#include "kernels/block_kernels.hpp"
#include "kernels/block_rows.hpp"
#include "kernels/gram.hpp"

namespace vc = varnel_core;
namespace vp = varnel_py;

namespace {

struct Sparse {
    vc::CscMatrix x;
    vc::Vec w;
    vc::Vec mean;
    vc::Vec scale;
};
using Design = std::variant<vc::DenseMatrix, Sparse>;
using vp::convert;
const vc::Interrupt no_interrupt;

bool convert(const char* name, PyObject* obj, vp::FloatArray& out) {
    return vp::convert_array(name, obj, 2, out);
}

bool convert(const char* name, PyObject* obj, vc::Flags& out) {
    std::vector<std::uint64_t> v;
    if (!convert(name, obj, v)) return false;
    out.assign(v.begin(), v.end());
    return true;
}

bool convert(const char* name, PyObject* obj, Design& out) {
    if (!PyTuple_Check(obj)) {
        vp::FloatArray a;
        if (!vp::convert_array(name, obj, 2, a)) return false;
        out.emplace<vc::DenseMatrix>(vp::copy_column_major(a), a.shape[0], a.shape[1]);
        return true;
    }
    if (PyTuple_Size(obj) != 8) return vp::raise(PyExc_TypeError, "a sparse design is a tuple of 8");
    auto part = [obj](Py_ssize_t i) { return PyTuple_GetItem(obj, i); };
    vc::Index col_ptr, row_idx;
    vc::Vec values, norm_weights, x_mean, x_scale;
    std::uint64_t nrows = 0, ncols = 0;
    if (!(convert("col_ptr", part(0), col_ptr) && convert("row_idx", part(1), row_idx) &&
          convert("values", part(2), values) && convert("norm_weights", part(3), norm_weights) &&
          convert("x_mean", part(4), x_mean) && convert("x_scale", part(5), x_scale) &&
          convert("nrows", part(6), nrows) && convert("ncols", part(7), ncols)))
        return false;
    vc::require(col_ptr.size() == ncols + 1, "col_ptr of the wrong length");
    out = Sparse{vc::CscMatrix(std::move(col_ptr), std::move(row_idx), std::move(values), nrows),
                 std::move(norm_weights), std::move(x_mean), std::move(x_scale)};
    return true;
}

// A float64 array read in place (strides in whole elements).
bool convert(const char* name, PyObject* obj, vc::StridedMatrix& out);

// The least-squares columns of a design.
std::variant<vc::DenseLeastSquaresColumns, vc::SparseLeastSquaresColumns> columns(Design d) {
    if (auto* dense = std::get_if<vc::DenseMatrix>(&d))
        return vc::DenseLeastSquaresColumns(std::move(*dense));
    Sparse& s = std::get<Sparse>(d);
    vc::Standardized<vc::CscMatrix> z(std::move(s.x), s.mean, s.scale, s.w);
    return vc::SparseLeastSquaresColumns(std::move(z), s.w);
}

template <class... T, std::size_t... I>
bool convert_each(const std::vector<const char*>& names, std::vector<vp::PyRef>& slots,
                  std::index_sequence<I...>, T&... out) {
    return (convert(names[I], slots[I].get(), out) && ...);
}

// Binds (args, kwargs) to `names` and converts each argument into `out`.
template <class... T>
bool parse(PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names, T&... out) {
    const std::vector<const char*> list(names);
    std::vector<vp::PyRef> slots(list.size());
    return vp::bind_arguments({"_test_core", list, list.size()}, args, kwargs, slots) &&
           convert_each(list, slots, std::index_sequence_for<T...>{}, out...);
}

std::vector<std::size_t> sizes(const vc::Index& v) { return {v.begin(), v.end()}; }

PyObject* array(vc::Vec v) { return vp::vector_to_array(std::move(v)); }
PyObject* array(const vc::Flags& f) { return array(vc::Vec(f.begin(), f.end())); }

// Defines the entry point `name`, which runs the body that follows through
// vp::guarded: no C++ exception leaves it.
#define WRAPPER(name)                                                      \
    PyObject* name##_body(PyObject* args, PyObject* kwargs);               \
    PyObject* name(PyObject*, PyObject* args, PyObject* kwargs) {          \
        return vp::guarded([&] { return name##_body(args, kwargs); });     \
    }                                                                      \
    PyObject* name##_body(PyObject* args, PyObject* kwargs)

WRAPPER(wdot4) {
    vc::Vec a, b, c;
    if (!parse(args, kwargs, {"a", "b", "c"}, a, b, c)) return nullptr;
    return PyFloat_FromDouble(vc::wdot4(a, b, c));
}

WRAPPER(grad) {
    Design x; std::uint64_t j = 0; vc::Vec r; double shift = 0.0;
    if (!parse(args, kwargs, {"x", "j", "r", "shift"}, x, j, r, shift)) return nullptr;
    return PyFloat_FromDouble(
        std::visit([&](const auto& m) { return m.grad(j, r, shift); }, columns(std::move(x))));
}

WRAPPER(weighted_sumsq) {
    Design x; std::uint64_t j = 0; vc::Vec v;
    if (!parse(args, kwargs, {"x", "j", "v"}, x, j, v)) return nullptr;
    const auto& m = std::get<vc::DenseMatrix>(x);
    vc::require(j < m.cols(), "column index out of range");
    vc::Flags one(m.cols(), 0);
    one[j] = 1;
    vc::Vec out(m.cols());
    m.weighted_sumsq_flagged(one, v, out);
    return PyFloat_FromDouble(out[j]);
}

WRAPPER(chkvars) {
    Design x;
    if (!parse(args, kwargs, {"x"}, x)) return nullptr;
    if (const auto* s = std::get_if<Sparse>(&x)) return array(vc::varying_columns(s->x));
    return array(vc::varying_columns(std::get<vc::DenseMatrix>(x)));
}

// `include` with the columns cleared that vary only on rows of weight 0.
WRAPPER(clear_weighted_constants) {
    Design x; vc::Vec w; vc::Flags include;
    if (!parse(args, kwargs, {"x", "w", "include"}, x, w, include)) return nullptr;
    std::visit([&](const auto& m) {
        if constexpr (std::is_same_v<std::decay_t<decltype(m)>, Sparse>)
            vc::clear_weighted_constants(m.x, w, include);
        else
            vc::clear_weighted_constants(m, w, include);
    }, x);
    return array(include);
}

WRAPPER(normalize_penalty) {
    std::uint64_t nvars = 0;
    vc::FitConfig c = vc::build_config(0, 0, vc::FitOptions{});
    if (!parse(args, kwargs, {"nvars", "penalty_factor"}, nvars, c.penalty_factor)) return nullptr;
    auto outcome = vc::normalize_penalty(c, nvars);
    if (const auto* e = std::get_if<vc::FitError>(&outcome)) {
        vp::raise(PyExc_ValueError, vc::message(*e));
        return nullptr;
    }
    return array(std::get<vc::Vec>(std::move(outcome)));
}

// A float64 array read in place (strides in whole elements).
bool convert(const char* name, PyObject* obj, vc::StridedMatrix& out) {
    vp::FloatArray a;
    if (!vp::convert_array(name, obj, 2, a)) return false;
    if (a.strides[0] % 8 != 0 || a.strides[1] % 8 != 0)
        return vp::raise(PyExc_ValueError, "partial-element strides");
    out = {reinterpret_cast<const double*>(a.data), a.shape[0], a.shape[1], a.strides[0] / 8,
           a.strides[1] / 8};
    return true;
}

const vc::GramKernel kGramKernels[] = {vc::GramKernel::portable, vc::GramKernel::avx2,
                                       vc::GramKernel::avx512};

vc::GramKernel gram_kernel(const std::string& name) {
    for (auto k : kGramKernels)
        if (name == vc::gram_kernel_name(k)) return k;
    vc::require(name == "best", "unknown kernel name");
    return vc::GramKernel::best;
}

// An interrupt that answers yes from its (after + 1)-th poll on.
struct CountedInterrupt {
    std::uint64_t after = UINT64_MAX, polls = 0;
    static bool requested(void* self) {
        auto* c = static_cast<CountedInterrupt*>(self);
        return ++c->polls > c->after;
    }
};

// Weights read in place when they are a contiguous float64 array (the
// timings of benchmarks/bench_gram.py), else converted into `copy`.
bool convert_weights(PyObject* obj, vc::Vec& copy, std::span<const double>& out) {
    vp::FloatArray a;
    if (obj != nullptr && vp::to_float_array(obj, 1, a) && a.contiguous) {
        out = {reinterpret_cast<const double*>(a.data), a.shape[0]};
        return true;
    }
    PyErr_Clear();
    if (!convert("w", obj, copy)) return false;
    out = copy;
    return true;
}

// gram(x, w, *, y=None, centre=None, scale=None, cols=None, kernel="best",
// at_mean=False, extra=None, n_threads=1, stats=True, interrupt_after=None,
// products=True) -> dict: with products, "gram" = gram_full (p x p) or, with
// cols, gram_columns as a
// (len(cols), p) array whose row t is column t of the block
// (Centring::weighted_mean when at_mean, its means then in "gram_mean");
// "kernel" = the kernel that ran; "available" = the kernels this CPU runs;
// and, with stats and weights of positive sum, weighted_column_stats'
// "mean", "var", "ymean" (and "cov" with y).  Every routine runs on n_threads
// threads with an interrupt that fires after interrupt_after polls (counted
// over all routines; "polls" gives the count).
WRAPPER(gram) {
    static const char* const names[] = {"x",       "w",         "y",     "centre",
                                        "scale",   "cols",      "kernel", "at_mean",
                                        "extra",   "n_threads", "stats",  "interrupt_after",
                                        "products"};
    vp::PyRef a[13];
    if (!vp::bind_arguments({"gram", names, 2}, args, kwargs, a)) return nullptr;
    vc::StridedMatrix x, extra;
    vc::Vec w_copy;
    std::span<const double> w;
    std::optional<vc::Vec> y, centre, scale;
    std::optional<vc::Index> cols;
    std::string kernel_name = "best";
    bool at_mean = false, stats = true, products = true;
    std::uint64_t n_threads = 1;
    std::optional<std::uint64_t> after;
    if (!convert("x", a[0].get(), x) || !convert_weights(a[1].get(), w_copy, w) ||
        !convert("y", a[2].get(), y) || !convert("centre", a[3].get(), centre) ||
        !convert("scale", a[4].get(), scale) || !convert("cols", a[5].get(), cols) ||
        !convert("kernel", a[6].get(), kernel_name) || !convert("at_mean", a[7].get(), at_mean) ||
        (a[8] && a[8].get() != Py_None && !convert("extra", a[8].get(), extra)) ||
        !convert("n_threads", a[9].get(), n_threads) || !convert("stats", a[10].get(), stats) ||
        !convert("interrupt_after", a[11].get(), after) || !convert("products", a[12].get(), products))
        return nullptr;
    CountedInterrupt counted{after.value_or(UINT64_MAX)};
    const vc::Interrupt interrupt{CountedInterrupt::requested, &counted};
    const vc::GramKernel kernel = gram_kernel(kernel_name);
    const auto centring = at_mean ? vc::Centring::weighted_mean : vc::Centring::given;
    const vc::Vec none;
    const vc::Vec& c = centre ? *centre : none;
    const vc::Vec& sc = scale ? *scale : none;
    const std::size_t p = x.ncols + extra.ncols;
    vp::PyRef d(PyDict_New());
    if (!d) return nullptr;
    auto put = [&](const char* key, PyObject* value) {
        vp::PyRef owned(value);
        return owned && PyDict_SetItemString(d.get(), key, owned.get()) == 0;
    };
    double* data = nullptr;
    vc::Vec gm(at_mean ? p : 0);
    const std::vector<std::size_t> cs = cols ? sizes(*cols) : std::vector<std::size_t>();
    if (products) {
        vp::PyRef g(cols ? vp::new_matrix(cs.size(), p, data) : vp::new_matrix(p, p, data));
        if (!g) return nullptr;
        if (cols)
            vc::gram_columns(x, w, centring, c, sc, cs, data, std::max<std::size_t>(p, 1), gm,
                             kernel, extra, n_threads, interrupt);
        else
            vc::gram_full(x, w, centring, c, sc, data, p, gm, kernel, extra, n_threads, interrupt);
        if (!put("gram", g.release()) || (at_mean && !put("gram_mean", array(std::move(gm)))))
            return nullptr;
    }
    const vc::GramKernel ran = kernel == vc::GramKernel::best ? vc::gram_best_kernel() : kernel;
    if (!put("kernel", PyUnicode_FromString(std::string(vc::gram_kernel_name(ran)).c_str())))
        return nullptr;
    vp::PyRef avail(PyList_New(0));
    if (!avail) return nullptr;
    for (auto k : kGramKernels) {
        if (!vc::gram_kernel_available(k)) continue;
        vp::PyRef nm(PyUnicode_FromString(std::string(vc::gram_kernel_name(k)).c_str()));
        if (!nm || PyList_Append(avail.get(), nm.get()) < 0) return nullptr;
    }
    if (!put("available", avail.release())) return nullptr;
    double wsum = 0.0;
    for (double v : w) wsum += v;
    if (stats && wsum > 0.0) {
        vc::Vec mean(x.ncols), var(x.ncols), cov(y ? x.ncols : 0);
        const double ym =
            vc::weighted_column_stats(x, w, y ? *y : none, mean, var, cov, n_threads, interrupt);
        if (!put("mean", array(std::move(mean))) || !put("var", array(std::move(var))) ||
            !put("ymean", PyFloat_FromDouble(ym)) || (y && !put("cov", array(std::move(cov)))))
            return nullptr;
    }
    if (!put("polls", PyLong_FromUnsignedLongLong(counted.polls))) return nullptr;
    return d.release();
}

// fma_peak(kernel) -> float: gram_fma_peak of the named kernel ("best" too).
WRAPPER(fma_peak) {
    std::string name;
    if (!parse(args, kwargs, {"kernel"}, name)) return nullptr;
    return PyFloat_FromDouble(vc::gram_fma_peak(gram_kernel(name)));
}

// curvature(p) -> d: softmax_curvature of one row's class probabilities.
WRAPPER(curvature) {
    vc::Vec p;
    if (!parse(args, kwargs, {"p"}, p)) return nullptr;
    vc::Vec d(p.size(), 0.0);
    vc::softmax_curvature(p.data(), d.data(), p.size());
    return array(std::move(d));
}

// block_rows(kernel, op, z, c, R, V, delta, K) -> {"out", "R"}: one dense
// row kernel of block_kernels.hpp on the instruction set `kernel`, R and V
// n x K row-major (the kernel gets them in the blocked layout).  op "dot"
// and "wsumsq" (z holds m = len(c) columns, out their m x K sums over R or
// V), "sub" (z, c[0], V, delta; R updated), "sub_dot" (z holds z then
// next, c their centres) and "add" (z holds m = len(c) columns, delta their
// m x K steps).
WRAPPER(block_rows) {
    std::string kernel, op;
    vc::Vec z, c, R, V, delta;
    std::uint64_t K = 0;
    if (!parse(args, kwargs, {"kernel", "op", "z", "c", "R", "V", "delta", "K"}, kernel, op, z, c,
               R, V, delta, K))
        return nullptr;
    const vc::block_detail::RowKernels* isa = vc::block_row_kernels(kernel);
    if (isa == nullptr) return vp::raise(PyExc_ValueError, "this CPU cannot run that kernel"), nullptr;
    vc::require(K > 0 && R.size() % K == 0 && !c.empty(), "block_rows: R of n x K, centres");
    const std::size_t n = R.size() / K;
    vc::require(V.size() == R.size(), "block_rows: V of n x K");
    vc::Vec out(K, 0.0), chunk(K * vc::block_chunk_rows);
    vc::rows_to_blocked(R.data(), n, K, chunk.data());
    vc::rows_to_blocked(V.data(), n, K, chunk.data());
    if (op == "dot" || op == "wsumsq") {
        vc::require(z.size() == c.size() * n, "block_rows: m columns");
        std::vector<const double*> zs;
        for (std::size_t t = 0; t < c.size(); ++t) zs.push_back(z.data() + t * n);
        out.assign(c.size() * K, 0.0);
        if (op == "dot") isa->dot(zs.data(), c.data(), c.size(), R.data(), n, K, out.data());
        else isa->wsumsq(zs.data(), c.data(), c.size(), V.data(), n, K, out.data());
    } else if (op == "sub") {
        isa->sub(z.data(), c[0], V.data(), delta.data(), R.data(), n, K);
    } else if (op == "sub_dot") {
        vc::require(z.size() == 2 * n && c.size() == 2, "block_rows: z and next");
        isa->sub_dot(z.data(), c[0], V.data(), delta.data(), R.data(), z.data() + n, c[1], n, K,
                     out.data());
    } else {
        vc::require(op == "add" && z.size() == c.size() * n && delta.size() == c.size() * K,
                    "block_rows: an op and its arguments");
        std::vector<const double*> zs, bs;
        for (std::size_t t = 0; t < c.size(); ++t)
            zs.push_back(z.data() + t * n), bs.push_back(delta.data() + t * K);
        isa->add(zs.data(), c.data(), bs.data(), c.size(), R.data(), n, K);
    }
    vc::blocked_to_rows(R.data(), n, K, chunk.data());
    vp::PyRef d(PyDict_New());
    vp::PyRef o(array(std::move(out))), r(array(std::move(R)));
    if (!d || !o || !r || PyDict_SetItemString(d.get(), "out", o.get()) < 0 ||
        PyDict_SetItemString(d.get(), "R", r.get()) < 0)
        return nullptr;
    return d.release();
}

// The CSC arrays of a column-major matrix's non-zeros.
vc::CscMatrix csc_of(const vc::Vec& x, std::size_t n, std::size_t p) {
    vc::Index col_ptr{0}, row_idx;
    vc::Vec values;
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = 0; i < n; ++i)
            if (x[j * n + i] != 0.0) row_idx.push_back(i), values.push_back(x[j * n + i]);
        col_ptr.push_back(row_idx.size());
    }
    return vc::CscMatrix(std::move(col_ptr), std::move(row_idx), std::move(values), n);
}

// design(kind, x, centre, scale, weights, resid, js, deltas, coef, active,
// intercept, shift) -> dict: runs one of the engine's designs through a
// script.  kind: "dense_fixed" (x: the standardized matrix itself),
// "dense_weighted", "dense_working" (x raw, read in place under the
// standardized view), "sparse_fixed", "sparse_working" (x: the raw matrix,
// stored as CSC with its non-zeros, under the standardized view with
// `weights`; "sparse_working_general" reads every column the general way,
// without the indicator and full shapes) or "covariance" (x raw, read in
// place).  `weights` are the
// fixed weights (dense_weighted, sparse_fixed, covariance) or the working
// weights.  For
// each (j, delta): gradient(j), then a step of delta on j ("seen"); then
// flush and every |gradient| ("abs").  The working kinds also give the
// curvatures, the residual sum before and after subtract_weights(shift),
// the |gradients| after it and the linear predictor of (coef, active,
// intercept).
WRAPPER(design) {
    std::string kind;
    vp::FloatArray a;
    vc::Vec centre, scale, w, r, deltas, coef;
    vc::Index js, active;
    double intercept = 0.0, shift = 0.0;
    if (!parse(args, kwargs, {"kind", "x", "centre", "scale", "weights", "resid", "js", "deltas",
                              "coef", "active", "intercept", "shift"},
               kind, a, centre, scale, w, r, js, deltas, coef, active, intercept, shift))
        return nullptr;
    const std::size_t n = a.shape[0], p = a.shape[1];
    vc::Vec x = vp::copy_column_major(a);
    const vc::Flags all(p, 1);
    vp::PyRef out(PyDict_New());
    auto put = [&](const char* key, PyObject* value) {
        vp::PyRef owned(value);
        return owned && PyDict_SetItemString(out.get(), key, owned.get()) == 0;
    };
    auto steps = [&](auto& d) {
        vc::Vec seen, abs(p, 0.0);
        for (std::size_t t = 0; t < js.size(); ++t) {
            seen.push_back(d.gradient(js[t]));
            d.defer(js[t], deltas[t]);
        }
        d.flush();
        d.abs_gradients(all, nullptr, abs);
        return out && put("seen", array(seen)) && put("abs", array(abs));
    };
    auto working = [&](auto& d) {
        d.begin_refit();
        std::copy(w.begin(), w.end(), d.weights().begin());
        std::copy(r.begin(), r.end(), d.residual().begin());
        d.end_refit();
        vc::Vec curv(p), abs(p), eta(n);
        d.curvatures(all, curv);
        if (!steps(d)) return false;
        const double before = d.residual_sum();
        d.subtract_weights(shift);
        d.abs_gradients(all, nullptr, abs);
        d.linear_predictor(coef, sizes(active), intercept, eta);
        return put("curv", array(curv)) && put("rsum", PyFloat_FromDouble(before)) &&
               put("rsum_after", PyFloat_FromDouble(d.residual_sum())) &&
               put("abs_after", array(abs)) && put("eta", array(eta));
    };
    auto view = [&] { return vc::Standardized<vc::CscMatrix>(csc_of(x, n, p), centre, scale, w); };
    auto dense_view = [&] {
        const vc::StridedMatrix in_place{x.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)};
        return vc::Standardized<vc::DenseMatrix>(vc::DenseMatrix(in_place), centre, scale);
    };
    bool ok = false;
    if (kind == "dense_fixed") {
        vc::LeastSquaresDesign d(vc::DenseLeastSquaresColumns(vc::DenseMatrix(x, n, p)), r,
                                 no_interrupt);
        ok = steps(d);
    } else if (kind == "sparse_fixed") {
        vc::LeastSquaresDesign d(vc::SparseLeastSquaresColumns(view(), w), r, no_interrupt);
        ok = steps(d);
    } else if (kind == "covariance") {  // the gradients start at <z_j, r>_w
        const vc::StridedMatrix strided{x.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)};
        vc::Vec g(p, 0.0);
        for (std::size_t j = 0; j < p; ++j)
            for (std::size_t i = 0; i < n; ++i)
                g[j] += w[i] * (strided.at(i, j) - centre[j]) / scale[j] * r[i];
        vc::FixedWeightsSource source(strided, w, centre, scale, 2, no_interrupt);
        vc::StatisticsDesign d(source, all, std::move(g), no_interrupt, 2);
        d.strong_set_grew(all);
        ok = steps(d);
    } else if (kind == "dense_weighted") {
        vc::LeastSquaresDesign d(vc::WeightedDenseColumns(dense_view(), w), r, no_interrupt);
        ok = steps(d);
    } else if (kind == "dense_working") {
        vc::DenseWorkingDesign d(dense_view(), 1, no_interrupt);
        ok = working(d);
    } else if (kind == "sparse_working" || kind == "sparse_working_general") {
        vc::SparseWorkingDesign d(view(), 1, no_interrupt, kind == "sparse_working");
        ok = working(d);
    } else {
        vp::raise(PyExc_ValueError, "unknown design kind");
    }
    return ok ? out.release() : nullptr;
}

// matrix(kind, x, centre, scale, w, v, j, a, cols, coef) -> dict: every
// operation of the matrix contract (data/contract.hpp) on one
// implementation.  kind: "dense" (a column-major copy of x), "borrowed" (x
// read in place, any strides), "csc" (x's non-zeros), or "standardized_"
// followed by one of those (the view with `centre` and `scale`; a CSC
// column that stores every row is recentred under w).  "dot" and
// "weighted_dot" hold every column's <x_j, v> and sum_i w_i x_ij v_i;
// "axpy" and "weighted_axpy" v after r -= a x_j and r -= (w a) x_j; "sums"
// every column's (sum w x, sum w x^2); "transpose_times", "times" and
// "sandwich" X_S' v, X_S coef and X_S' diag(w) X_S (row-major) for S = cols.
WRAPPER(matrix) {
    std::string kind;
    vc::StridedMatrix strided;
    vc::Vec centre, scale, w, v, coef;
    std::uint64_t j = 0;
    double a = 0.0;
    vc::Index cols;
    if (!parse(args, kwargs, {"kind", "x", "centre", "scale", "w", "v", "j", "a", "cols", "coef"},
               kind, strided, centre, scale, w, v, j, a, cols, coef))
        return nullptr;
    const std::size_t n = strided.nrows, p = strided.ncols;
    vc::Vec owned(vc::checked_size(n, p));
    for (std::size_t c = 0; c < p; ++c)
        for (std::size_t i = 0; i < n; ++i) owned[c * n + i] = strided.at(i, c);
    const std::vector<std::size_t> set = sizes(cols);
    vp::PyRef out(PyDict_New());
    auto put = [&](const char* key, vc::Vec value) {
        vp::PyRef owned_value(array(std::move(value)));
        return owned_value && PyDict_SetItemString(out.get(), key, owned_value.get()) == 0;
    };
    auto run = [&](const auto& m) {
        static_assert(vc::MatrixContract<std::decay_t<decltype(m)>>);
        vc::Vec dot(p), wdot(p), sums(2 * p), r1 = v, r2 = v, tt(set.size()), times(n),
            sandwich(set.size() * set.size());
        for (std::size_t c = 0; c < p; ++c) {
            dot[c] = m.dot(c, v);
            wdot[c] = m.weighted_dot(c, w, v);
            const vc::ColumnSums s = m.weighted_sums(c, w);
            sums[2 * c] = s.sum;
            sums[2 * c + 1] = s.squares;
        }
        m.axpy(j, a, r1);
        m.weighted_axpy(j, w, a, r2);
        m.transpose_times(set, v, tt);
        m.times(set, coef, times);
        m.sandwich(set, w, sandwich);
        return out && put("dot", dot) && put("weighted_dot", wdot) && put("sums", sums) &&
               put("axpy", r1) && put("weighted_axpy", r2) && put("transpose_times", tt) &&
               put("times", times) && put("sandwich", sandwich);
    };
    const std::string base = kind.rfind("standardized_", 0) == 0 ? kind.substr(13) : kind;
    const bool standardized = base != kind;
    auto with = [&](auto m) {
        if (!standardized) return run(m);
        return run(vc::Standardized<decltype(m)>(std::move(m), centre, scale, w));
    };
    if (base == "dense") return with(vc::DenseMatrix(owned, n, p)) ? out.release() : nullptr;
    if (base == "borrowed") return with(vc::DenseMatrix(strided)) ? out.release() : nullptr;
    if (base == "csc") return with(csc_of(owned, n, p)) ? out.release() : nullptr;
    vp::raise(PyExc_ValueError, "unknown matrix kind");
    return nullptr;
}

#define METHOD(name) {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), \
                      METH_VARARGS | METH_KEYWORDS, nullptr}

PyMethodDef methods[] = {
    METHOD(wdot4), METHOD(grad), METHOD(weighted_sumsq),
    METHOD(chkvars),
    METHOD(clear_weighted_constants), METHOD(normalize_penalty), METHOD(gram), METHOD(fma_peak),
    METHOD(block_rows), METHOD(curvature),
    METHOD(design), METHOD(matrix),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) { return vp::import_numpy(); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_test_core", nullptr, 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__test_core(void) { return PyModuleDef_Init(&module_def); }
