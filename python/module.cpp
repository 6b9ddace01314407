// The extension module varnel._core: elnet_path fits a Gaussian, binomial or
// Poisson elastic-net path on a dense NumPy matrix, elnet_sparse a Gaussian
// path on compressed sparse columns; fit serves every family (the
// multinomial one too) on either kind of input, with an offset and a start,
// for the Python layer.
#include "pyconv.hpp"

#include "entries.hpp"
#include "unlocked.hpp"
#include "fit/fit.hpp"
#include "option_table.hpp"
#include "statistics_entries.hpp"

namespace {

using varnel_py::PyRef;

template <PyObject* (*Body)(PyObject*, PyObject*)>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return varnel_py::guarded([&] { return Body(args, kwargs); });
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef path_def = {"elnet_path", as_method<entry<varnel_py::elnet_path>>(),
                        METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef sparse_def = {"elnet_sparse", as_method<entry<varnel_py::elnet_sparse>>(),
                          METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef fit_def = {"fit", as_method<entry<varnel_py::fit>>(), METH_VARARGS | METH_KEYWORDS,
                       nullptr};
PyMethodDef statistics_def = {"fit_statistics", as_method<entry<varnel_py::fit_statistics>>(),
                              METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef solver_def = {
    "fit_solver", as_method<entry<varnel_py::fit_solver>>(), METH_VARARGS | METH_KEYWORDS,
    "fit_solver(n, p, *, sparse=False, family=..., solver=..., ...)\n\n"
    "The solver (\"naive\" or \"covariance\") that fit would run with these choices\n"
    "on an n x p x, dense unless sparse=True, after the same checks of them."};
PyMethodDef block_statistics_def = {
    "block_statistics", as_method<entry<varnel_py::block_statistics>>(),
    METH_VARARGS | METH_KEYWORDS,
    "block_statistics(x, y, weights, centre, *, products=True)\n--\n\n"
    "The statistics of one block of rows about the centres c (p + 1 values: the\n"
    "columns of x, then y), to be merged over the blocks and given to\n"
    "fit_statistics: \"products\" S = sum w a a' with a = (x, y) - c (None when\n"
    "products=False), \"squares\" its diagonal, \"deviations\" d = sum w a,\n"
    "\"weight\" W = sum w, each column's \"min\" and \"max\" over all rows and\n"
    "\"positive_min\", \"positive_max\" over the rows of positive weight, and\n"
    "\"nobs\".  Merging: sums added, ranges widened."};
PyMethodDef block_pass_def = {
    "block_pass", as_method<entry<varnel_py::block_pass>>(), METH_VARARGS | METH_KEYWORDS,
    "block_pass(x, y, weights, offset, request)\n--\n\n"
    "One block's sums for a pass that fit_statistics requests (`request`, a\n"
    "dict): flat arrays \"gradient\", \"weighted\", \"weight_sums\",\n"
    "\"residual_sums\", \"products\" and the number \"loss\" (and\n"
    "\"saturated_loss\" when the request asks), to be added over the blocks;\n"
    "with request[\"rows\"] true also the working weights \"working\" and the\n"
    "residuals \"residuals\" of the rows (n x K, flat, row-major)."};

// `__all__` lists the two stable entry points; `fit` and OPTION_DEFAULTS
// serve the package's Python layer.
int exec_module(PyObject* module) {
    if (varnel_py::import_numpy() < 0 || !varnel_py::remember_main_thread()) return -1;
    const varnel_py::Docs* d = nullptr;
    try {
        d = &varnel_py::docs();
    } catch (...) {
        varnel_py::set_error_from_exception();
        return -1;
    }
    path_def.ml_doc = d->path.c_str();
    sparse_def.ml_doc = d->sparse.c_str();
    fit_def.ml_doc = d->fit.c_str();
    statistics_def.ml_doc = d->statistics.c_str();
    if (!varnel_py::add_function(module, &path_def) ||
        !varnel_py::add_function(module, &sparse_def) ||
        !varnel_py::add_function(module, &fit_def, /*listed=*/false) ||
        !varnel_py::add_function(module, &statistics_def, /*listed=*/false) ||
        !varnel_py::add_function(module, &solver_def, /*listed=*/false) ||
        !varnel_py::add_function(module, &block_statistics_def, /*listed=*/false) ||
        !varnel_py::add_function(module, &block_pass_def, /*listed=*/false))
        return -1;
    PyRef defaults(varnel_py::option_defaults());
    if (!defaults || PyObject_SetAttrString(module, "OPTION_DEFAULTS", defaults.get()) < 0)
        return -1;
    // the widest x for which solver "auto" takes the covariance solver
    if (PyModule_AddIntConstant(module, "COVARIANCE_MAX_COLUMNS",
                                static_cast<long>(varnel_core::covariance_all_at_once)) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)},
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&module_def); }
