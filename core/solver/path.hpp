// The one path driver: a family on a design, walked along a penalty
// sequence by the engine, its solutions mapped back to the caller's scale.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "solver/engine.hpp"
#include "solver/parts.hpp"
#include "solver/penalty.hpp"
#include "solver/policy.hpp"
#include "solver/sequence.hpp"
#include "solver/store.hpp"

namespace varnel_core {

// What a path needs besides its family, design and rules, prepared before
// it starts: the coordinates, the fixed curvatures (or empty), whether an
// intercept is fitted, where the path starts (null: the null model), and
// how solutions map back (coefficients times coef_scale and divided by
// x_scale; penalty values times lambda_scale; x_mean the centres), and
// optionally a start for each penalty value.
struct PathSetup {
    Coordinates coords;
    std::span<const double> curvatures;
    bool intercept;
    const WarmStart* start;
    double coef_scale;
    double lambda_scale;
    std::span<const double> x_mean;
    std::span<const double> x_scale;
    // Where the solve of each of the first starts.size() penalty values
    // starts (empty: from the previous solution).
    std::span<const WarmStart> starts = {};
};

// The rules' hook after each stored solution m (deviance ratio dev) of an
// engine's walk: its index, lambda on the caller's scale, the variables with
// a non-zero coefficient and the passes so far; true goes on.
template <class E>
auto solution_reporter(const E& engine, const PenaltySequence& seq, const PathRules& rules,
                       const PathSetup& s) {
    return [&engine, &seq, &rules, &s](std::uint64_t m, double dev) {
        if (!rules.on_lambda) return true;
        // a generated sequence's first value stands for infinity: report
        // the largest penalty whose solution is all zero
        const double lambda = m == 0 && seq.generated() ? engine.lambda_max() : engine.lambda();
        return rules.on_lambda({m, lambda * s.lambda_scale,
                                count_nonzero(engine.active(), engine.coefficients(),
                                              engine.width()),
                                dev, engine.npasses()});
    };
}

// The result of an engine's walk that ended at `end`: the stored solutions
// on the caller's scale, the passes, the warning, lambda_max, the iterate
// where a pass limit stopped the path, and a shift-invariant family's
// intercepts centred.
template <class F, class E>
PathResult assembled(const E& engine, const SolutionStore& store, const PathEnd& end,
                     const PenaltySequence& seq, const PathSetup& s, std::size_t nvars) {
    const Assembly how{nvars,    s.coef_scale, s.lambda_scale, s.x_mean, s.x_scale,
                       s.intercept, policy_of<F>.intercept_form, seq.generated()};
    PathResult r = store.assemble(end.lmu, engine.active(), how);
    r.block = F::block;
    r.npasses = engine.npasses();
    r.warning = end.warning;
    r.lambda_max = engine.lambda_max() * s.lambda_scale;
    if (end.warning && end.warning->kind == PathWarning::Kind::MaxIterReached)
        r.iterate = store.assemble(engine.coefficients(), engine.active(),
                                   engine.stored_intercepts(), engine.lambda(), how);
    if (F::shift_invariant && s.intercept) {
        const std::size_t nk = engine.width();
        for (std::uint64_t l = 0; l < r.lmu; ++l) subtract_mean(r.a0.data() + l * nk, nk);
        if (r.iterate) subtract_mean(r.iterate->a0.data(), nk);
    }
    return r;
}

// Walks the path of F on D under the penalty whose units are `units`
// (solver/penalty.hpp: VariableUnits of an elastic-net penalty;
// solver/group_penalty.hpp: GroupUnits) and assembles the result (the null
// deviance is the caller's to fill in).  A path cut short by its pass limit
// keeps the iterate where it stopped.  The rules' hook is told of each
// solution as it is stored, and may end the path there.  A shift-invariant
// family's intercepts are centred.
template <class U = VariableUnits<ElasticNetPenalty>, class F, class D>
PathResult run_path(F& family, D& design, PenaltySequence& seq, const PathRules& rules,
                    const PathSetup& s, U units = U{}) {
    const std::size_t nvars = s.coords.include.size();
    Engine<F, D, U> engine(family, design, s.coords, rules, s.curvatures, s.intercept, s.start,
                           std::move(units));
    SolutionStore store(seq.size(), engine.width());
    const PathEnd end = engine.walk(seq, store, s.starts, solution_reporter(engine, seq, rules, s));
    return assembled<F>(engine, store, end, seq, s, nvars);
}

}  // namespace varnel_core
