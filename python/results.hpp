// The result dictionaries of the entry points, packed in one place.
#pragma once

#include "pyconv.hpp"

#include <cstdint>

#include "fit/fit.hpp"

namespace varnel_py {

// stable: elnet_path and elnet_sparse, whose warning is None or (text, code).
// fit: the warning as None or (kind, lambda_index), plus "lambda_max",
// "iterate" and "solver".  statistics: fit's, plus "npasses_data".
enum class ResultStyle { stable, fit, statistics };

// How "beta" is handed over: nvars variables, as a dense array (p, L), or
// (p, K, L) for a block family, or when `sparse` as the compressed columns
// of PathResult::beta: (start, var, values, nvars), three 1-D arrays
// (int64, int64, float64; the K coefficients of an entry next to each
// other) and the number of variables.
struct CoefShape {
    std::uint64_t nvars;
    bool sparse = false;
};

// The dictionary of a fit's outcome (a FitError: ValueError with its text);
// takes the result over.
PyObject* result_dict(varnel_core::FitOutcome outcome, CoefShape shape, ResultStyle style);

}  // namespace varnel_py
