// varnel._test_engine: a private module that runs the engine's designs
// through a script of operations, so that the test suite can check every
// design against a dense reference.
//
//   design(kind, nrows, x, centre, scale, weights, resid, steps,
//          coef, active, intercept, shift) -> dict
//
// kind: "dense_fixed" (x: column-major values, already standardized),
// "sparse_fixed", "dense_working" (x centred and scaled already) or
// "sparse_working" or "covariance" (x: raw column-major values); for the
// sparse kinds x is (col_ptr, row_idx, values)
// and centre/scale are the column statistics.  `weights` are the fixed
// weights (sparse_fixed) or the working weights (the working kinds).
// The script: for each (j, delta) of `steps`, record gradient(j) and defer
// a step of delta on j; then flush and record every |gradient|.  The
// working kinds also report the curvatures, the residual sum before and
// after subtract_weights(shift), the gradients after that, and the linear
// predictor of (coef, active, intercept).
#include "pyconv.hpp"

#include <string>
#include <utility>
#include <vector>

#include "covariance.hpp"
#include "designs.hpp"
#include "error.hpp"
#include "matrix.hpp"

namespace {

namespace vc = varnel_core;
using varnel_py::PyRef;
using varnel_py::convert;

PyObject* list_of(const std::vector<double>& v) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (f == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

struct Script {
    std::vector<std::size_t> js;
    std::vector<double> deltas;
};

// Steps, then every |gradient|; returns the gradients seen before each step.
template <class D>
std::vector<double> run_steps(D& d, const Script& s, std::size_t ncols, std::vector<double>& abs) {
    std::vector<double> seen;
    for (std::size_t t = 0; t < s.js.size(); ++t) {
        seen.push_back(d.gradient(s.js[t]));
        d.defer(s.js[t], s.deltas[t]);
    }
    d.flush();
    vc::Flags all(ncols, 1);
    abs.assign(ncols, 0.0);
    d.abs_gradients(all, nullptr, abs);
    return seen;
}

PyObject* design_body(PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"kind",  "nrows", "x",    "centre", "scale",
                                        "weights", "resid", "steps", "coef", "active",
                                        "intercept", "shift"};
    static const varnel_py::Signature sig{"design", names, 12};
    PyRef a[12];
    if (!varnel_py::bind_arguments(sig, args, kwargs, a)) return nullptr;
    std::string kind;
    std::uint64_t nrows = 0;
    vc::Vec centre, scale, weights, resid, coef;
    std::vector<std::uint64_t> active_u, steps_j;
    double intercept = 0.0, shift = 0.0;
    if (!convert("kind", a[0].get(), kind) || !convert("nrows", a[1].get(), nrows) ||
        !convert("centre", a[3].get(), centre) || !convert("scale", a[4].get(), scale) ||
        !convert("weights", a[5].get(), weights) || !convert("resid", a[6].get(), resid) ||
        !convert("coef", a[8].get(), coef) || !convert("active", a[9].get(), active_u) ||
        !convert("intercept", a[10].get(), intercept) || !convert("shift", a[11].get(), shift))
        return nullptr;
    Script script;
    {
        PyObject* seq = a[7].get();
        const Py_ssize_t nsteps = PySequence_Size(seq);
        if (nsteps < 0) return nullptr;
        for (Py_ssize_t t = 0; t < nsteps; ++t) {
            PyRef owned(PySequence_GetItem(seq, t));
            if (!owned) return nullptr;
            PyObject* item = owned.get();
            std::uint64_t j = 0;
            double d = 0.0;
            if (!PyTuple_Check(item) || PyTuple_Size(item) != 2 ||
                !convert("steps", PyTuple_GetItem(item, 0), j) ||
                !convert("steps", PyTuple_GetItem(item, 1), d)) {
                varnel_py::raise(PyExc_TypeError, "steps must hold (j, delta) pairs");
                return nullptr;
            }
            script.js.push_back(j);
            script.deltas.push_back(d);
        }
    }
    std::vector<std::size_t> active(active_u.begin(), active_u.end());
    const bool sparse = kind.rfind("sparse", 0) == 0;
    vc::Vec dense_x;
    vc::Index col_ptr, row_idx;
    vc::Vec values;
    if (sparse) {
        if (!PyTuple_Check(a[2].get()) || PyTuple_Size(a[2].get()) != 3)
        {
            varnel_py::raise(PyExc_TypeError, "x must be (col_ptr, row_idx, values)");
            return nullptr;
        }
        if (!convert("x", PyTuple_GetItem(a[2].get(), 0), col_ptr) ||
            !convert("x", PyTuple_GetItem(a[2].get(), 1), row_idx) ||
            !convert("x", PyTuple_GetItem(a[2].get(), 2), values))
            return nullptr;
    } else if (!convert("x", a[2].get(), dense_x)) {
        return nullptr;
    }
    const std::size_t ncols = scale.size();
    vc::require(ncols > 0 && ncols <= 100000, "scale gives the number of columns");
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    std::vector<double> abs;

    auto report_working = [&](auto& d) -> PyObject* {
        d.begin_refit();
        vc::require(weights.size() == nrows && resid.size() == nrows, "weights and resid need nrows");
        std::copy(weights.begin(), weights.end(), d.weights().begin());
        std::copy(resid.begin(), resid.end(), d.residual().begin());
        d.end_refit();
        vc::Vec curv(ncols, 0.0);
        d.curvatures(vc::Flags(ncols, 1), curv);
        const auto seen = run_steps(d, script, ncols, abs);
        const double before = d.residual_sum();
        d.subtract_weights(shift);
        const double after = d.residual_sum();
        std::vector<double> abs_after(ncols);
        d.abs_gradients(vc::Flags(ncols, 1), nullptr, abs_after);
        vc::Vec eta(nrows, 0.0);
        d.linear_predictor(coef, active, intercept, eta);
        if (!put(out.get(), "seen", list_of(seen)) || !put(out.get(), "abs", list_of(abs)) ||
            !put(out.get(), "curv", list_of(curv)) ||
            !put(out.get(), "rsum", PyFloat_FromDouble(before)) ||
            !put(out.get(), "rsum_after", PyFloat_FromDouble(after)) ||
            !put(out.get(), "abs_after", list_of(abs_after)) || !put(out.get(), "eta", list_of(eta)))
            return nullptr;
        return out.release();
    };
    auto report_fixed = [&](auto& d) -> PyObject* {
        const auto seen = run_steps(d, script, ncols, abs);
        if (!put(out.get(), "seen", list_of(seen)) || !put(out.get(), "abs", list_of(abs)))
            return nullptr;
        return out.release();
    };

    if (kind == "dense_fixed") {
        const vc::Dense x(std::move(dense_x), nrows, ncols);
        vc::FixedWeightDesign<vc::Dense> d(x, resid);
        return report_fixed(d);
    }
    if (kind == "sparse_fixed") {
        const vc::Sparse x(col_ptr, row_idx, values, weights, centre, scale, nrows, ncols);
        vc::FixedWeightDesign<vc::Sparse> d(x, resid);
        return report_fixed(d);
    }
    if (kind == "dense_working") {
        vc::DenseWorkingDesign d(vc::DenseGlm(std::move(dense_x), nrows, ncols));
        return report_working(d);
    }
    if (kind == "covariance") {
        // x: raw values, column-major; the gradients start at <z_j, r>_w
        const vc::StridedMatrix view{dense_x.data(), nrows, ncols, 1,
                                     static_cast<std::ptrdiff_t>(nrows)};
        vc::Vec g(ncols, 0.0);
        for (std::size_t j = 0; j < ncols; ++j)
            for (std::size_t i = 0; i < nrows; ++i)
                g[j] += weights[i] * (view.at(i, j) - centre[j]) / scale[j] * resid[i];
        const vc::Flags all(ncols, 1);
        vc::CovarianceDesign d(view, weights, centre, scale, all, std::move(g), 2);
        d.strong_set_grew(all);
        return report_fixed(d);
    }
    if (kind == "sparse_working") {
        vc::SparseWorkingDesign d(col_ptr, row_idx, values, centre, scale, nrows);
        return report_working(d);
    }
    varnel_py::raise(PyExc_ValueError, "unknown design kind");
    return nullptr;
}

PyObject* design(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return design_body(args, kwargs); });
}

PyMethodDef methods[] = {
    {"design", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(design)),
     METH_VARARGS | METH_KEYWORDS, "Runs a design through a script of operations."},
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject*) { return varnel_py::import_numpy(); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_test_engine", "", 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__test_engine(void) { return PyModuleDef_Init(&module_def); }
