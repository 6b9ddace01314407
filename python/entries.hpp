// The bodies of varnel._core's entry points (the module runs them through
// `guarded`, so that no C++ exception leaves them).
#pragma once

#include "pyconv.hpp"

namespace varnel_py {

// elnet_path(x, y, *, family, <options>): the stable dense entry point of
// the Gaussian, binomial and Poisson families.
PyObject* elnet_path(PyObject* args, PyObject* kwargs);
// elnet_sparse(n, p, col_ptr, row_idx, values, y, *, <options>): the stable
// sparse entry point of the Gaussian family.
PyObject* elnet_sparse(PyObject* args, PyObject* kwargs);
// fit(x, y, *, <choices>, <options>): every family, input and solver.
PyObject* fit(PyObject* args, PyObject* kwargs);
// fit_solver(n, p, *, sparse, <choices>): the solver fit would run on an
// n x p x (dense unless sparse), after the same checks of the choices.
PyObject* fit_solver(PyObject* args, PyObject* kwargs);

}  // namespace varnel_py
