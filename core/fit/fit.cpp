#include "fit/fit.hpp"

#include <utility>

#include "families/binomial.hpp"
#include "families/gaussian.hpp"
#include "families/multinomial.hpp"
#include "families/poisson.hpp"

namespace varnel_core {

std::optional<FamilyKind> family_named(std::string_view name) {
    if (name == "gaussian") return FamilyKind::Gaussian;
    if (name == "binomial") return FamilyKind::Binomial;
    if (name == "poisson") return FamilyKind::Poisson;
    if (name == "multinomial") return FamilyKind::Multinomial;
    return std::nullopt;
}

namespace {

FitOutcome least_squares(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                         std::uint64_t nvars, const FitConfig& config,
                         const Interrupt& interrupt) {
    if (auto* dense = std::get_if<DenseInput>(&x))
        return elnet_naive(std::move(dense->x), y, nobs, nvars, config, interrupt);
    auto& csc = std::get<CscInput>(x);
    return elnet_naive_sparse(std::move(csc.col_ptr), std::move(csc.row_idx),
                              std::move(csc.values), y, nobs, nvars, config, interrupt);
}

}  // namespace

FitOutcome fit_path(FamilyKind family, DesignInput x, std::span<const double> y, std::uint64_t nobs,
                    std::uint64_t nvars, const FitConfig& config, const Vec* offset,
                    const Interrupt& interrupt, bool grouped) {
    require(!grouped || family == FamilyKind::Multinomial,
            "only the multinomial family has a grouped penalty");
    if (family == FamilyKind::Multinomial)
        return multinet(std::move(x), y, nobs, nvars, config, offset, grouped, interrupt);
    require(!offset || offset->size() == y.size(), "offset must have one entry per observation");
    switch (family) {
    case FamilyKind::Gaussian:
        if (offset) {
            Vec shifted(y.begin(), y.end());
            for (std::size_t i = 0; i < shifted.size(); ++i) shifted[i] -= (*offset)[i];
            return least_squares(std::move(x), shifted, nobs, nvars, config, interrupt);
        }
        return least_squares(std::move(x), y, nobs, nvars, config, interrupt);
    case FamilyKind::Binomial:
        return lognet(std::move(x), y, nobs, nvars, config, offset, interrupt);
    case FamilyKind::Poisson:
        return fishnet(std::move(x), y, nobs, nvars, config, offset, interrupt);
    case FamilyKind::Multinomial:
        break;
    }
    throw PreconditionError("unknown family");
}

}  // namespace varnel_core
