#include "fit/glm_models.hpp"

#include <cmath>
#include <initializer_list>
#include <string>

#include "base/format.hpp"

namespace varnel_core {

namespace {

struct FamilyLinks {
    FamilyKind kind;
    std::string_view name;
    Variance variance;
    std::initializer_list<Link> links;  // the first is the default
    bool own_default;                   // the default link runs on the family's own solver
};

const FamilyLinks table[] = {
    {FamilyKind::Gaussian, "gaussian", {VarianceKind::power, 0.0}, {Link::identity, Link::log, Link::inverse}, true},
    {FamilyKind::Binomial, "binomial", {VarianceKind::binomial}, {Link::logit, Link::probit, Link::cloglog, Link::log}, true},
    {FamilyKind::Poisson, "poisson", {VarianceKind::power, 1.0}, {Link::log, Link::identity, Link::sqrt}, true},
    {FamilyKind::Gamma, "gamma", {VarianceKind::power, 2.0}, {Link::log, Link::inverse, Link::identity}, false},
    {FamilyKind::InverseGaussian, "inverse_gaussian", {VarianceKind::power, 3.0},
     {Link::log, Link::inverse, Link::inverse_squared, Link::identity}, false},
    {FamilyKind::Tweedie, "tweedie", {VarianceKind::power}, {Link::log, Link::identity}, false},
    {FamilyKind::NegativeBinomial, "negative_binomial", {VarianceKind::negative_binomial},
     {Link::log, Link::identity, Link::sqrt}, false},
};

const FamilyLinks* entry_of(FamilyKind kind) {
    for (const auto& e : table)
        if (e.kind == kind) return &e;
    return nullptr;
}

std::string expected_links(const FamilyLinks& e) {
    std::string out;
    std::size_t k = 0;
    for (const Link l : e.links) {
        out += (k == 0 ? "" : k + 1 == e.links.size() ? " or " : ", ");
        out += "'" + std::string(link_name(l)) + "'";
        ++k;
    }
    return out;
}

void refuse_parameter(const char* option, const std::optional<double>& value,
                      const FitChoices& c, FamilyKind owner, const FamilyLinks* e) {
    if (value && (!e || e->kind != owner))
        throw PreconditionError(std::string(option) + " is for the " +
                                std::string(entry_of(owner)->name) + " family only, but family is " +
                                quoted(c.family));
}

}  // namespace

std::optional<GlmModel> glm_model(FamilyKind family, const FitChoices& c) {
    const FamilyLinks* e = entry_of(family);
    refuse_parameter("power", c.power, c, FamilyKind::Tweedie, e);
    refuse_parameter("theta", c.theta, c, FamilyKind::NegativeBinomial, e);
    if (!e) {
        if (c.link)
            throw PreconditionError("link is not available for the " + c.family +
                                    " family, but link is " + quoted(*c.link));
        return std::nullopt;
    }
    Link link = *e->links.begin();
    if (c.link) {
        const auto named = link_named(*c.link);
        bool allowed = false;
        for (const Link l : e->links) allowed = allowed || (named && l == *named);
        if (!allowed)
            throw PreconditionError("link " + quoted(*c.link) + " is not available for the " +
                                    std::string(e->name) + " family; expected " + expected_links(*e));
        link = *named;
    }
    if (e->own_default && link == *e->links.begin()) return std::nullopt;
    GlmModel model{e->variance, link, e->name};
    if (family == FamilyKind::Tweedie) {
        if (!c.power)
            throw PreconditionError("the tweedie family needs power: 0, or a value in [1, 3]");
        const double p = *c.power;
        if (!(p == 0.0 || (p >= 1.0 && p <= 3.0)))
            throw PreconditionError("power must be 0 or lie in [1, 3] for the tweedie family, but power is " +
                                    format_number(p));
        model.variance.power = p;
    }
    if (family == FamilyKind::NegativeBinomial && c.theta) {
        const double t = *c.theta;
        if (!(t > 0.0 && std::isfinite(t)))
            throw PreconditionError("theta must be positive and finite, but theta is " + format_number(t));
        model.variance.theta = t;
    }
    return model;
}

}  // namespace varnel_core
