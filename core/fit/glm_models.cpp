#include "fit/glm_models.hpp"

#include <cmath>
#include <string>

#include "base/format.hpp"

namespace varnel_core {

namespace {

std::string expected_links(const FamilyEntry& e) {
    std::string out;
    std::size_t k = 0;
    for (const Link l : e.links) {
        out += (k == 0 ? "" : k + 1 == e.links.size() ? " or " : ", ");
        out += "'" + std::string(link_name(l)) + "'";
        ++k;
    }
    return out;
}

void refuse_parameter(std::string_view option, const std::optional<double>& value,
                      const FamilyEntry& e, const FitChoices& c) {
    if (value && e.parameter != option)
        throw PreconditionError(std::string(option) + " is for the " +
                                std::string(parameter_owner(option)) +
                                " family only, but family is " + quoted(c.family));
}

}  // namespace

void refuse_parameters(const FamilyEntry& e, const FitChoices& c) {
    for (const auto& [option, value] : family_parameters) refuse_parameter(option, c.*value, e, c);
}

std::optional<GlmModel> glm_model(const FamilyEntry& e, const FitChoices& c) {
    refuse_parameter("power", c.power, e, c);
    refuse_parameter("theta", c.theta, e, c);
    if (!e.variance) {
        if (c.link)
            throw PreconditionError("link is not available for the " + c.family +
                                    " family, but link is " + quoted(*c.link));
        return std::nullopt;
    }
    Link link = *e.links.begin();
    if (c.link) {
        const auto named = link_named(*c.link);
        bool allowed = false;
        for (const Link l : e.links) allowed = allowed || (named && l == *named);
        if (!allowed)
            throw PreconditionError("link " + quoted(*c.link) + " is not available for the " +
                                    std::string(e.name) + " family; expected " + expected_links(e));
        link = *named;
    }
    GlmModel model{*e.variance, link, e.name};
    if (e.parameter == "power") {
        if (!c.power)
            throw PreconditionError("the " + std::string(e.name) +
                                    " family needs power: 0, or a value in [1, 3]");
        const double p = *c.power;
        if (!(p == 0.0 || (p >= 1.0 && p <= 3.0)))
            throw PreconditionError("power must be 0 or lie in [1, 3] for the " +
                                    std::string(e.name) + " family, but power is " +
                                    format_number(p));
        model.variance.power = p;
    }
    if (e.parameter == "theta" && c.theta) {
        const double t = *c.theta;
        if (!(t > 0.0 && std::isfinite(t)))
            throw PreconditionError("theta must be positive and finite, but theta is " + format_number(t));
        model.variance.theta = t;
    }
    return model;
}

}  // namespace varnel_core
