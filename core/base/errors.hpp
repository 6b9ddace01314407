// Errors, warnings and precondition failures of the path solvers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace varnel_core {

// Fatal problems with a fit's input, found before the path loop starts.
enum class FitError {
    AllPredictorsExcluded,
    NonPositivePenalties,
    PositiveLowerLimit,
    NegativeUpperLimit,
    NullProbUnderflow,
    NullProbOverflow,
    NegativeResponse,
    NonPositiveWeightSum,
};

// The text a FitError displays (no trailing newline or full stop).
std::string_view message(FitError e) noexcept;

// A path that ended early at a pass or size limit, or because the caller's
// hook after a solution asked it to stop; not an error.
struct PathWarning {
    enum class Kind { MaxIterReached, MaxActiveReached, Stopped };
    Kind kind;
    std::uint64_t lambda_index;  // the penalty index that could not be completed

    // "MaxIterReached", "MaxActiveReached" or "Stopped"
    std::string_view name() const noexcept;
    // "MaxIterReached { lambda_index: 12 }"
    std::string text() const;
    // -(lambda_index + 1), -(10001 + lambda_index) or -(20001 + lambda_index)
    std::int64_t code() const noexcept;
};

// A violated internal precondition (array lengths, index ranges).  These are
// programming errors of the caller; the binding turns them into Python
// exceptions instead of letting the process die.
class PreconditionError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Input that passes the FitError checks but that no path can be fitted to
// (for example a response without variation).  Raised as ValueError.
class InputError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A fit abandoned at the caller's request (see Interrupt).
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "the fit was interrupted"; }
};

// Throws InputError "the data overflow: <what> is not finite; scale <name>
// down", for a sum of the preparation (a mean, a variance, a gradient of the
// null model) that left the range of doubles.
[[noreturn]] inline void data_overflow(const std::string& what, const char* name) {
    throw InputError("the data overflow: " + what + " is not finite; scale " + name + " down");
}

// Throws InputError "the data underflow: <what> is too small to be
// represented; scale <name> up", for a sum of the preparation that vanished
// although the data it sums do not (a response of spread below 1e-154).
[[noreturn]] inline void data_underflow(const std::string& what, const char* name) {
    throw InputError("the data underflow: " + what + " is too small to be represented; scale " +
                     name + " up");
}

// Throws PreconditionError with `what` unless `ok`.
inline void require(bool ok, const char* what) {
    if (!ok) throw PreconditionError(what);
}

}  // namespace varnel_core
