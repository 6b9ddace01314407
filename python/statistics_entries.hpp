// The entry points of a fit from statistics (varnel._core).
#pragma once

#include "pyconv.hpp"

namespace varnel_py {

// block_statistics(x, y, weights, centre, *, products=True): one block's
// RowStatistics as a dict.
PyObject* block_statistics(PyObject* args, PyObject* kwargs);
// block_pass(x, y, weights, offset, request): one block's sums for a pass
// of a reweighting family, as a dict of flat arrays and numbers.
PyObject* block_pass(PyObject* args, PyObject* kwargs);
// fit_statistics(statistics, *, <fit choices>, <options>, source, response_means)
PyObject* fit_statistics(PyObject* args, PyObject* kwargs);

}  // namespace varnel_py
