#include "base/config.hpp"

#include <algorithm>
#include <utility>

namespace varnel_core {

namespace {

// An option given as it is used, or an optional resolved by the caller.
template <class T>
void take(T& to, T& from) {
    to = std::move(from);
}
template <class T>
void take(T&, std::optional<T>&) {}

}  // namespace

FitConfig build_config(std::uint64_t nobs, std::uint64_t nvars, FitOptions o) {
    FitConfig c;
#define VARNEL_TAKE(name, given, resolved, init) take(c.name, o.name);
    VARNEL_OPTIONS(VARNEL_TAKE)
#undef VARNEL_TAKE
    c.lambda_min_ratio = o.lambda_min_ratio ? *o.lambda_min_ratio : (nobs >= nvars ? 1e-4 : 0.01);
    // nvars + 1 and 2 * dfmax + 20 saturate instead of wrapping around.
    c.dfmax = o.dfmax ? *o.dfmax : (nvars == UINT64_MAX ? nvars : nvars + 1);
    if (o.pmax) {
        c.pmax = *o.pmax;
    } else {
        const std::uint64_t twice = c.dfmax > (UINT64_MAX - 20) / 2 ? UINT64_MAX : 2 * c.dfmax + 20;
        c.pmax = std::min(nvars, twice);
    }
    if (o.exclude) c.exclude = std::move(*o.exclude);
    return c;
}

}  // namespace varnel_core
