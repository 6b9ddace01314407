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

// The dictionary of a fit's outcome (a FitError: ValueError with its text);
// takes the result over.
PyObject* result_dict(varnel_core::FitOutcome outcome, std::uint64_t nvars, ResultStyle style);

}  // namespace varnel_py
