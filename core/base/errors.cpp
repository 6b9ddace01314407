#include "base/errors.hpp"

namespace varnel_core {

std::string_view message(FitError e) noexcept {
    switch (e) {
    case FitError::AllPredictorsExcluded:
        return "all predictors are constant or excluded (jerr 7777)";
    case FitError::NonPositivePenalties:
        return "all penalty factors are <= 0 (jerr 10000)";
    case FitError::PositiveLowerLimit:
        return "lower limits should be non-positive";
    case FitError::NegativeUpperLimit:
        return "upper limits should be non-negative";
    case FitError::NullProbUnderflow:
        return "null probability underflowed pmin; response is ~constant (jerr 8001)";
    case FitError::NullProbOverflow:
        return "null probability exceeded 1-pmin; response is ~constant (jerr 9001)";
    case FitError::NegativeResponse:
        return "negative response; not permitted for the Poisson family (jerr 8888)";
    case FitError::NonPositiveWeightSum:
        return "observation weights sum to <= 0 (jerr 9999)";
    }
    return "unknown fit error";
}

std::string_view PathWarning::name() const noexcept {
    switch (kind) {
    case Kind::MaxIterReached: return "MaxIterReached";
    case Kind::MaxActiveReached: return "MaxActiveReached";
    case Kind::Stopped: return "Stopped";
    }
    return "Stopped";
}

std::string PathWarning::text() const {
    return std::string(name()) + " { lambda_index: " + std::to_string(lambda_index) + " }";
}

std::int64_t PathWarning::code() const noexcept {
    const auto idx = static_cast<std::int64_t>(lambda_index);
    switch (kind) {
    case Kind::MaxIterReached: return -(idx + 1);
    case Kind::MaxActiveReached: return -(10001 + idx);
    case Kind::Stopped: break;
    }
    return -(20001 + idx);
}

}  // namespace varnel_core
