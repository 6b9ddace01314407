// The compressed store of the solutions along a path and their expansion
// into a PathResult on the caller's scale.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "base/errors.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

// An unconverged iterate on the caller's scale: where a path cut short by
// its pass limit stood at the penalty value it could not complete.  a0 has
// nclass entries, beta nvars * nclass (variable j's at j * nclass).
struct Iterate {
    double lambda;
    Vec a0;
    Vec beta;
};

// The coefficients of the solutions along a path as compressed columns:
// solution l's entries are start[l] to start[l + 1] - 1, entry e holding
// variable var[e] (increasing within a solution) and its nclass
// coefficients at values[e * nclass + k].  A variable whose coefficients
// are all +0.0 has no entry; one with a -0.0 keeps its entry, so that
// expanding the columns into zeros gives the bits of every solution.
struct SolutionColumns {
    Index start{0};
    Index var;
    Vec values;
};

// A coefficient that reached the bound standing for an infinite limit
// (FitConfig::big): the first solution holding one, and its first such
// variable.
struct BoundReached {
    std::uint64_t variable;
    std::uint64_t lambda_index;
};

// What every path returns.  Per-solution vectors hold lmu entries, a0
// lmu * nclass (intercept k of solution l at l * nclass + k); beta holds
// the coefficients, nclass per variable.  nclass is 1 but for the block
// families.
struct PathResult {
    Vec lambda;
    Vec a0;
    SolutionColumns beta;
    Vec dev_ratio;
    std::uint64_t lmu = 0;
    std::uint64_t nclass = 1;
    bool block = false;  // a block family's: nclass coefficients per variable even when nclass = 1
    double nulldev = 0.0;
    std::uint64_t npasses = 0;
    std::optional<PathWarning> warning;
    // The smallest penalty value whose solution is all zero (apart from
    // unpenalized variables), on the caller's scale: the value a generated
    // sequence starts from.  NaN when the path does not tell.
    double lambda_max = std::numeric_limits<double>::quiet_NaN();
    // With MaxIterReached, the iterate at that penalty value.
    std::optional<Iterate> iterate;
    // Passes over the data of a path through summed rows (0 for the others).
    std::uint64_t npasses_data = 0;
    // Set by the fit entries (find_bound_reached), not by the stable ones.
    std::optional<BoundReached> bound;
};

// How the intercept of each solution is mapped back to the caller's scale.
enum class InterceptForm {
    // a0 = stored + (0 - b_1 m_1 - b_2 m_2 - ...)
    AddCentring,
    // a0 = ((stored - b_1 m_1) - b_2 m_2) - ...
    SubtractFromStored,
};

struct Assembly {
    std::size_t nvars;
    double coef_scale;               // multiplies every stored coefficient (y_scale or 1)
    double lambda_scale;             // multiplies every stored penalty value
    std::span<const double> x_mean;
    std::span<const double> x_scale;
    bool intercept;
    InterceptForm form;
    bool extrapolate_first;          // generated sequence: replace lambda[0]
};

// Compressed store of the solutions along a path: solution m keeps one
// coefficient slot per variable active when it was stored, slot i holding
// active[i] (the active list only grows along a path).  A variable has
// `width` coefficients (one per class; 1 for the scalar families), kept next
// to each other in its slot and in `coef` (variable j's at j * width), and a
// solution has `width` intercepts.  The slots of the solutions follow each
// other, so that the store grows with the active variables, never with
// nvars times the number of solutions.
class SolutionStore {
public:
    explicit SolutionStore(std::uint64_t nlam, std::size_t width = 1);

    void store(std::uint64_t m, std::span<const std::size_t> active, std::span<const double> coef,
               double intercept, double lambda, double dev) {
        store(m, active, coef, std::span<const double>(&intercept, 1), lambda, dev);
    }
    void store(std::uint64_t m, std::span<const std::size_t> active, std::span<const double> coef,
               std::span<const double> intercepts, double lambda, double dev);

    // Maps the first lmu solutions back, as compressed columns; `active` is
    // the final active list.
    PathResult assemble(std::uint64_t lmu, std::span<const std::size_t> active,
                        const Assembly& how) const;
    // One iterate outside the store (coefficients indexed by variable, the
    // stored form of its intercepts), mapped back as a solution is.
    Iterate assemble(std::span<const double> coef, std::span<const std::size_t> active,
                     std::span<const double> intercepts, double lambda, const Assembly& how) const;

    double dev(std::uint64_t m) const { return dev_[m]; }

private:
    // One solution's intercepts (width values, from its slots, slot i
    // holding active[i], and its stored intercepts) into a0: the
    // coefficients' centring terms summed in the order of `active`.
    void intercepts(std::span<const std::size_t> active, const double* slot,
                    const double* stored, const Assembly& how, double* a0) const;

    std::size_t width_;
    Vec coef_;
    std::vector<std::size_t> first_;  // solution m's slots start at first_[m]; one past the last
    Vec intercept_;
    Vec lambda_;
    Vec dev_;
};

// Number of entries of `active` with a coefficient that is not 0 (NaN
// counts); a variable has `width` coefficients, at j * width.
std::uint64_t count_nonzero(std::span<const std::size_t> active, std::span<const double> coef,
                            std::size_t width = 1);

}  // namespace varnel_core
