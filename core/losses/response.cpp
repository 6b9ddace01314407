#include "losses/response.hpp"

#include "base/errors.hpp"

namespace varnel_core {

namespace {

[[noreturn]] void refuse_constant_response(bool intercept) {
    throw InputError(intercept
                         ? "the response is constant: y takes a single value on every observation "
                           "of positive weight, so there is nothing to fit"
                         : "the response is constant at 0: y is 0 on every observation of positive "
                           "weight and no intercept is fitted, so there is nothing to fit");
}

}  // namespace

void check_response_varies(std::span<const double> y, std::span<const double> weights,
                           bool intercept) {
    require(y.size() == weights.size(), "response and weights differ in length");
    bool have_first = false;
    double first = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!(weights[i] > 0.0)) continue;
        if (!intercept) {
            if (y[i] != 0.0) return;
        } else if (!have_first) {
            first = y[i];
            have_first = true;
        } else if (y[i] != first) {
            return;
        }
    }
    refuse_constant_response(intercept);
}

void check_response_range(double low, double high, bool intercept) {
    if (intercept ? low < high : (low != 0.0 || high != 0.0)) return;
    refuse_constant_response(intercept);
}

}  // namespace varnel_core
