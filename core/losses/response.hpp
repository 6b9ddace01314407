// The checks of a response that leaves nothing to fit.
#pragma once

#include <span>

namespace varnel_core {

// Throws InputError when the response has nothing to fit: with an intercept,
// y takes one value on all observations of positive weight; without one, y
// is 0 on all of them.
void check_response_varies(std::span<const double> y, std::span<const double> weights,
                           bool intercept);
// The same from the smallest and largest y on the observations of positive
// weight (a fit from statistics).
void check_response_range(double low, double high, bool intercept);

}  // namespace varnel_core
