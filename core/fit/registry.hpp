// The one map from a family (its kind and options) to its loss: a table of
// small types, one per loss, chosen by one switch (with_loss).  Each says
// how its loss is made over all the rows (whole: with the whole data's
// checks) and, when its maths sums over blocks of rows, over one block
// (block: the per-row maths alone); how its response is checked on the
// rows (check) or from its range (check_range); and how its coefficients
// are penalized.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "base/config.hpp"
#include "base/format.hpp"
#include "base/interrupt.hpp"
#include "losses/binomial.hpp"
#include "losses/cox.hpp"
#include "losses/gaussian.hpp"
#include "losses/glm.hpp"
#include "losses/huber.hpp"
#include "losses/multinomial.hpp"
#include "losses/multitask.hpp"
#include "losses/poisson.hpp"
#include "solver/sequence.hpp"
#include "fit/fit.hpp"
#include "fit/solve.hpp"

namespace varnel_core {

// What a loss is made of: the rows, the caller's weights (as given), the
// options, and the response's centre (one-response least squares).
struct LossContext {
    const FitConfig& config;
    const FitChoices& choices;
    const WorkingConstants& constants;
    const PenaltySequence* seq;  // the path's (a Poisson loss reads it)
    const std::optional<GlmModel>& model;
    std::size_t classes;
    const Interrupt& interrupt;
};

template <class F>
using Made = std::variant<F, FitError>;

// What every entry states: its loss type, how its coefficients are
// penalized, whether its maths sums over blocks of rows, and whether it
// runs on the least-squares designs; and, unless it says otherwise, a
// response that any value fits.
template <class F, Grouping G = Grouping::never, bool Summed = true>
struct Entry {
    using Loss = F;
    static constexpr Grouping grouping = G;
    static constexpr bool summed = Summed;
    // whether its path can be fitted from sums over blocks of rows that
    // are never all in memory (its options and its null model travel)
    static constexpr bool from_blocks = Summed;
    static constexpr bool least_squares = false;
    static std::optional<FitError> check(std::span<const double>, const LossContext&) { return {}; }
    static std::optional<FitError> check_range(double, double, const LossContext&) { return {}; }
};

// One-response least squares: its own designs (data/least_squares.hpp).
struct LeastSquaresLoss : Entry<GaussianFamily, Grouping::never, false> {
    static constexpr bool least_squares = true;
    // The loss about the response's centre (0 without an intercept).
    static Loss centred(double y_mean, const FitConfig& config, const WorkingConstants& wc) {
        return Loss(y_mean);
    }
};

// K responses by least squares, grouped.
struct MultitaskLoss : Entry<MultitaskFamily, Grouping::always, false> {
    static Made<Loss> whole(RowData rows, std::span<const double>, const LossContext& c) {
        return Loss::make(rows, c.classes, c.config, c.choices.standardize_response);
    }
};

struct BinomialLoss : Entry<BinomialFamily> {
    static std::optional<FitError> check(std::span<const double> y, const LossContext&) {
        Loss::check_response(y);
        return {};
    }
    static std::optional<FitError> check_range(double low, double high, const LossContext&) {
        if (!(low >= 0.0 && high <= 1.0))
            throw InputError("y must lie in [0, 1] for the binomial family, but y holds " +
                             format_number(low >= 0.0 ? high : low));
        return {};
    }
    static Made<Loss> whole(RowData rows, std::span<const double> raw, const LossContext& c) {
        return Loss::make(rows, raw, c.config, c.constants);
    }
    static Loss block(RowData rows, const LossContext& c) {
        return Loss::over_block(rows, c.config, c.constants);
    }
};

struct PoissonLoss : Entry<PoissonFamily> {
    static std::optional<FitError> check(std::span<const double> y, const LossContext&) {
        return Loss::check_response(y);
    }
    static std::optional<FitError> check_range(double low, double, const LossContext&) {
        if (low < 0.0) return FitError::NegativeResponse;
        return {};
    }
    static Made<Loss> whole(RowData rows, std::span<const double> raw, const LossContext& c) {
        return Loss::make(rows, raw, c.config, c.constants);
    }
    static Loss block(RowData rows, const LossContext& c) {
        return Loss::over_block(rows, c.config, c.constants);
    }
};

struct MultinomialLoss : Entry<MultinomialFamily, Grouping::by_choice> {
    static Made<Loss> whole(RowData rows, std::span<const double>, const LossContext& c) {
        return Loss::make(rows, c.classes, c.config, c.constants, c.interrupt);
    }
    static Loss block(RowData rows, const LossContext& c) {
        return Loss::over_block(rows, c.classes, c.config, c.constants, c.interrupt);
    }
};

struct CoxLoss : Entry<CoxFamily, Grouping::never, false> {
    static std::optional<FitError> check(std::span<const double> y, const LossContext&) {
        Loss::check_response(y);
        return {};
    }
    static Made<Loss> whole(RowData rows, std::span<const double>, const LossContext& c) {
        const auto& strata = c.choices.strata;
        return Loss::make(rows,
                          strata ? std::span<const std::uint64_t>(*strata)
                                 : std::span<const std::uint64_t>(),
                          *ties_named(c.choices.ties), c.config, c.constants, c.interrupt);
    }
};

// Huber's robust loss, of the fit's delta.
// Its null model (a location) needs the rows in memory.
struct HuberLoss : Entry<HuberFamily> {
    static constexpr bool from_blocks = false;
    static Made<Loss> whole(RowData rows, std::span<const double> raw, const LossContext& c) {
        return Loss::make(rows, raw, huber_delta(c.choices.delta), c.config, c.constants);
    }
    static Loss block(RowData rows, const LossContext& c) {
        return Loss::over_block(rows, huber_delta(c.choices.delta), c.config, c.constants);
    }
};

// A family by variance and link (fit/glm_models.hpp): its response checked
// by the family's own rule first (a binomial y in [0, 1], a Poisson y not
// negative, whatever the link), then by its variance.
using RowsCheck = std::optional<FitError> (*)(std::span<const double>, const LossContext&);
using RangeCheck = std::optional<FitError> (*)(double, double, const LossContext&);
struct GlmLoss : Entry<GlmFamily> {
    RowsCheck own_check = nullptr;
    RangeCheck own_range = nullptr;
    std::optional<FitError> check(std::span<const double> y, const LossContext& c) const {
        if (auto e = own_check ? own_check(y, c) : std::nullopt) return e;
        check_response(c.model->variance, y, c.model->name);
        return {};
    }
    std::optional<FitError> check_range(double low, double high, const LossContext& c) const {
        if (auto e = own_range ? own_range(low, high, c) : std::nullopt) return e;
        check_smallest_response(c.model->variance, low, c.model->name);
        return {};
    }
    static Made<Loss> whole(RowData rows, std::span<const double> raw, const LossContext& c) {
        return Loss::make(*c.model, rows, raw, c.config, c.constants);
    }
    static Loss block(RowData rows, const LossContext& c) {
        return Loss::over_block(*c.model, rows, c.config, c.constants);
    }
};

// visit(loss) with the loss of the family: the model by variance and link
// when there is one (with the family's own response checks), else the
// family's own.  Call a loss's checks on the object (l.check(...)).
template <class Visit>
decltype(auto) with_loss(FamilyKind kind, const std::optional<GlmModel>& model, Visit&& visit) {
    auto own = [&](auto loss) -> decltype(auto) {
        using L = decltype(loss);
        if (!model) return visit(loss);
        GlmLoss glm;
        glm.own_check = &L::check;
        glm.own_range = &L::check_range;
        return visit(glm);
    };
    switch (kind) {
    case FamilyKind::Gaussian: return own(LeastSquaresLoss{});
    case FamilyKind::Binomial: return own(BinomialLoss{});
    case FamilyKind::Poisson: return own(PoissonLoss{});
    case FamilyKind::Multinomial: return own(MultinomialLoss{});
    case FamilyKind::Cox: return own(CoxLoss{});
    case FamilyKind::Multitask: return own(MultitaskLoss{});
    case FamilyKind::Huber: return own(HuberLoss{});
    default: break;
    }
    if (!model) throw PreconditionError("a family by variance and link needs its model");
    return visit(GlmLoss{});
}

}  // namespace varnel_core
