#include "fit/working_inputs.hpp"

namespace varnel_core {

std::optional<StartValues> engine_start(const FitRequest& request, std::span<const double> x_mean,
                                        std::span<const double> x_scale, std::size_t nk) {
    const auto& beta = request.choices.start_beta;
    const auto& a0 = request.choices.start_a0;
    if (!beta && !a0) return std::nullopt;
    StartValues s{Vec(checked_size(request.nvars, nk), 0.0), Vec(nk, 0.0)};
    if (a0) s.intercepts = a0->values;
    if (beta) {
        for (std::size_t j = 0; j < request.nvars; ++j) {
            for (std::size_t k = 0; k < nk; ++k) {
                const double b = beta->values[j * nk + k];
                s.coef[j * nk + k] = b * x_scale[j];
                s.intercepts[k] += b * x_mean[j];
            }
        }
    }
    return s;
}

RowData rows_of(const FitRequest& request, const Weights& weights) {
    const auto& offset = request.choices.offset;
    return {request.y, weights.norm, weights.sum,
            offset ? std::span<const double>(offset->values) : std::span<const double>()};
}

}  // namespace varnel_core
