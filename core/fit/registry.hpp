// The one map from a family (its name and options) to its loss: a table of
// the families (family_table), each row a name and the small type of its
// loss, and for a family by variance and link (fit/glm_models.hpp) its
// variance and links.  Each loss type says how its loss is made over all
// the rows (whole: with the whole data's checks) and, when its maths sums
// over blocks of rows, over one block (block: the per-row maths alone);
// how its response is checked on the rows (check) or from its range
// (check_range); how its coefficients are penalized; and the properties
// that choose its route (least-squares designs, products shared by K
// responses, working weights, sums over rows).  A new family is one row
// of the table (and its loss type when it brings one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/config.hpp"
#include "base/errors.hpp"
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

namespace varnel_core {

// Whether a loss's coefficients of one variable are penalized as a group:
// never (one coefficient per variable), when the choices say so
// (`grouped`), or always.
enum class Grouping { never, by_choice, always };

// What a loss is made of: the rows, the caller's weights (as given), the
// options, and the response's centre (one-response least squares).
struct LossContext {
    const FitConfig& config;
    const FitChoices& choices;
    const WorkingConstants& constants;
    const std::optional<GlmModel>& model;
    std::size_t classes;
    const Interrupt& interrupt;
};

template <class F>
using Made = std::variant<F, FitError>;

// How many coefficients a variable has (K): one, one per class of y, or
// one per response (column) of y.
enum class Width { one, classes, responses };

// What every entry states: its loss type, how its coefficients are
// penalized, whether its maths sums over blocks of rows, and its route's
// properties; and, unless it says otherwise, a response that any value
// fits.
template <class F, Grouping G = Grouping::never, bool Summed = true>
struct Entry {
    using Loss = F;
    static constexpr Grouping grouping = G;
    static constexpr bool summed = Summed;
    // whether its path can be fitted from sums over blocks of rows that
    // are never all in memory (its options and its null model travel)
    static constexpr bool from_blocks = Summed;
    // one-response least squares: its own designs (data/least_squares.hpp)
    static constexpr bool least_squares = false;
    // K least-squares responses whose design shares the columns' products
    static constexpr bool shared_products = false;
    // rows that couple (risk sets): no covariance solver, columns always
    // centred and no intercept
    static constexpr bool coupled_rows = false;
    static constexpr Width width = Width::one;
    // the columns of y it reads (0: any number, one per response), and
    // what they hold when more than one
    static constexpr std::size_t y_columns = 1;
    static constexpr std::string_view y_columns_text = "";
    static std::optional<FitError> check(std::span<const double>, const LossContext&) { return {}; }
    static std::optional<FitError> check_range(double, double, const LossContext&) { return {}; }
    // its own options' values (a PreconditionError naming the option)
    static void check_options(const FitChoices&) {}
};

// One-response least squares: its own designs (data/least_squares.hpp).
struct LeastSquaresLoss : Entry<GaussianFamily, Grouping::never, false> {
    static constexpr bool least_squares = true;
};

// K responses by least squares, grouped.
struct MultitaskLoss : Entry<MultitaskFamily, Grouping::always, false> {
    static constexpr bool shared_products = true;
    static constexpr Width width = Width::responses;
    static constexpr std::size_t y_columns = 0;
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
    static constexpr Width width = Width::classes;
    static Made<Loss> whole(RowData rows, std::span<const double>, const LossContext& c) {
        return Loss::make(rows, c.classes, c.config, c.constants, c.interrupt);
    }
    static Loss block(RowData rows, const LossContext& c) {
        return Loss::over_block(rows, c.classes, c.config, c.constants, c.interrupt);
    }
};

struct CoxLoss : Entry<CoxFamily, Grouping::never, false> {
    static constexpr bool coupled_rows = true;
    static constexpr std::size_t y_columns = 2;
    static constexpr std::string_view y_columns_text = ": the time and the status of every row";
    static std::optional<FitError> check(std::span<const double> y, const LossContext& c) {
        Loss::check_response(y);
        if (c.choices.entry) Loss::check_entry(y, *c.choices.entry);
        return {};
    }
    static Made<Loss> whole(RowData rows, std::span<const double>, const LossContext& c) {
        const auto& strata = c.choices.strata;
        const auto& entry = c.choices.entry;
        return Loss::make(rows,
                          strata ? std::span<const std::uint64_t>(*strata)
                                 : std::span<const std::uint64_t>(),
                          entry ? std::span<const double>(*entry) : std::span<const double>(),
                          *ties_named(c.choices.ties), c.config, c.constants, c.interrupt);
    }
};

// Huber's robust loss, of the fit's delta.
// Its null model (a location) needs the rows in memory.
struct HuberLoss : Entry<HuberFamily> {
    static constexpr bool from_blocks = false;
    static void check_options(const FitChoices& c) { huber_delta(c.delta); }
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

// One row of the family table: the family's name, its loss (a family by
// variance and link: the loss of its default link, or GlmLoss when that
// link has no loss of its own), and for a family by variance and link its
// variance and links, the first the default; `parameter` names the one
// option of the family ("power", "theta", "delta"; empty: none).
using FamilyLoss = std::variant<LeastSquaresLoss, MultitaskLoss, BinomialLoss, PoissonLoss,
                                MultinomialLoss, CoxLoss, HuberLoss, GlmLoss>;
struct FamilyEntry {
    std::string_view name;
    FamilyLoss loss;
    std::optional<Variance> variance = std::nullopt;
    std::initializer_list<Link> links = {};
    std::string_view parameter = {};
};

//   family              variance               links (the first the default)
//   gaussian            1                      identity (least squares), log, inverse
//   binomial            mu (1 - mu)            logit (its own), probit, cloglog, log
//   poisson             mu                     log (its own), identity, sqrt
//   gamma               mu^2                   log, inverse, identity
//   inverse_gaussian    mu^3                   log, inverse, inverse_squared, identity
//   tweedie             mu^power               log, identity
//   negative_binomial   mu + theta mu^2        log, identity, sqrt
inline const FamilyEntry family_table[] = {
    {"gaussian", LeastSquaresLoss{}, Variance{VarianceKind::power, 0.0},
     {Link::identity, Link::log, Link::inverse}},
    {"binomial", BinomialLoss{}, Variance{VarianceKind::binomial},
     {Link::logit, Link::probit, Link::cloglog, Link::log}},
    {"poisson", PoissonLoss{}, Variance{VarianceKind::power, 1.0},
     {Link::log, Link::identity, Link::sqrt}},
    {"multinomial", MultinomialLoss{}},
    {"gamma", GlmLoss{}, Variance{VarianceKind::power, 2.0},
     {Link::log, Link::inverse, Link::identity}},
    {"inverse_gaussian", GlmLoss{}, Variance{VarianceKind::power, 3.0},
     {Link::log, Link::inverse, Link::inverse_squared, Link::identity}},
    {"tweedie", GlmLoss{}, Variance{VarianceKind::power}, {Link::log, Link::identity}, "power"},
    {"negative_binomial", GlmLoss{}, Variance{VarianceKind::negative_binomial},
     {Link::log, Link::identity, Link::sqrt}, "theta"},
    {"cox", CoxLoss{}},
    {"multitask", MultitaskLoss{}},
    {"huber", HuberLoss{}, std::nullopt, {}, "delta"},
};

// The options a family may own (FamilyEntry::parameter), and where the
// choices hold them.
inline const std::pair<std::string_view, std::optional<double> FitChoices::*> family_parameters[] = {
    {"power", &FitChoices::power},
    {"theta", &FitChoices::theta},
    {"delta", &FitChoices::delta},
};

// The row of the family named `name`; nullptr for any other name.
inline const FamilyEntry* family_named(std::string_view name) {
    for (const FamilyEntry& e : family_table)
        if (e.name == name) return &e;
    return nullptr;
}

// The names of the table, quoted: 'a', 'b' or 'c'.
inline std::string family_names() {
    std::string out;
    const std::size_t n = std::size(family_table);
    for (std::size_t k = 0; k < n; ++k)
        out += std::string(k == 0 ? "" : k + 1 == n ? " or " : ", ") + "'" +
               std::string(family_table[k].name) + "'";
    return out;
}

// The family that takes the option `parameter`.
inline std::string_view parameter_owner(std::string_view parameter) {
    for (const FamilyEntry& e : family_table)
        if (e.parameter == parameter) return e.name;
    return {};
}

// visit(loss) with the loss of the family under its model (glm_model):
// the family's own loss when the model's link is the family's default
// (the canonical links' fast paths keep their own arithmetic), else
// GlmLoss with the family's own response checks.  Call a loss's checks
// on the object (l.check(...)).  Without a model (nullopt) the row's own
// loss, for the properties its route reads; a family by variance and link
// makes and checks its loss under its model only.
template <class Visit>
decltype(auto) with_loss(const FamilyEntry& family, const std::optional<GlmModel>& model,
                         Visit&& visit) {
    return std::visit(
        [&](auto own) -> decltype(auto) {
            using L = decltype(own);
            if constexpr (std::is_same_v<L, GlmLoss>) {
                return visit(own);
            } else {
                if (!model || model->link == *family.links.begin()) return visit(own);
                GlmLoss glm;
                glm.own_check = &L::check;
                glm.own_range = &L::check_range;
                return visit(glm);
            }
        },
        family.loss);
}

}  // namespace varnel_core
