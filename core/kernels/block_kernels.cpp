#include "kernels/block_kernels.hpp"

#include <type_traits>

namespace varnel_core {

namespace {

// Runs fn with the class count as a compile-time constant for the common
// small counts (the K sums and steps then live in registers, and the
// compiler pairs neighbouring classes in vector registers) and as 0,
// meaning "K at run time", otherwise.
template <class Fn>
void with_classes(std::size_t K, Fn&& fn) {
    switch (K) {
    case 1: return fn(std::integral_constant<std::size_t, 1>{});
    case 2: return fn(std::integral_constant<std::size_t, 2>{});
    case 3: return fn(std::integral_constant<std::size_t, 3>{});
    case 4: return fn(std::integral_constant<std::size_t, 4>{});
    case 5: return fn(std::integral_constant<std::size_t, 5>{});
    case 6: return fn(std::integral_constant<std::size_t, 6>{});
    case 7: return fn(std::integral_constant<std::size_t, 7>{});
    case 8: return fn(std::integral_constant<std::size_t, 8>{});
    default: return fn(std::integral_constant<std::size_t, 0>{});
    }
}

// The sums of a known class count run in two chains, over the even and
// over the odd rows (the last row of an odd count joins the even chain),
// combined as even + odd; with K at run time, one chain.

template <std::size_t KC>
void dot_fixed(const double* z, double c, const double* R, std::size_t n, double* out) {
    double a[KC] = {}, b[KC] = {};
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double z0 = z[i] - c, z1 = z[i + 1] - c;
        const double* r0 = R + i * KC;
        const double* r1 = r0 + KC;
        for (std::size_t k = 0; k < KC; ++k) a[k] += z0 * r0[k];
        for (std::size_t k = 0; k < KC; ++k) b[k] += z1 * r1[k];
    }
    if (i < n)
        for (std::size_t k = 0; k < KC; ++k) a[k] += (z[i] - c) * R[i * KC + k];
    for (std::size_t k = 0; k < KC; ++k) out[k] = a[k] + b[k];
}

template <std::size_t KC>
void wsumsq_fixed(const double* z, double c, const double* V, std::size_t n, double* out) {
    double a[KC] = {}, b[KC] = {};
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double d0 = z[i] - c, d1 = z[i + 1] - c;
        const double zz0 = d0 * d0, zz1 = d1 * d1;
        const double* v0 = V + i * KC;
        const double* v1 = v0 + KC;
        for (std::size_t k = 0; k < KC; ++k) a[k] += v0[k] * zz0;
        for (std::size_t k = 0; k < KC; ++k) b[k] += v1[k] * zz1;
    }
    if (i < n)
        for (std::size_t k = 0; k < KC; ++k) a[k] += V[i * KC + k] * ((z[i] - c) * (z[i] - c));
    for (std::size_t k = 0; k < KC; ++k) out[k] = a[k] + b[k];
}

template <std::size_t KC>
void sub_dot_fixed(const double* z, double c, const double* V, const double* delta, double* R,
                   const double* next, double cn, std::size_t n, double* out) {
    double d[KC], a[KC] = {}, b[KC] = {};
    for (std::size_t k = 0; k < KC; ++k) d[k] = delta[k];
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double z0 = z[i] - c, z1 = z[i + 1] - c;
        const double n0 = next[i] - cn, n1 = next[i + 1] - cn;
        const double* v0 = V + i * KC;
        const double* v1 = v0 + KC;
        double* r0 = R + i * KC;
        double* r1 = r0 + KC;
        for (std::size_t k = 0; k < KC; ++k) {
            const double r = r0[k] - (v0[k] * z0) * d[k];
            r0[k] = r;
            a[k] += n0 * r;
        }
        for (std::size_t k = 0; k < KC; ++k) {
            const double r = r1[k] - (v1[k] * z1) * d[k];
            r1[k] = r;
            b[k] += n1 * r;
        }
    }
    if (i < n) {
        for (std::size_t k = 0; k < KC; ++k) {
            const double r = R[i * KC + k] - (V[i * KC + k] * (z[i] - c)) * d[k];
            R[i * KC + k] = r;
            a[k] += (next[i] - cn) * r;
        }
    }
    for (std::size_t k = 0; k < KC; ++k) out[k] = a[k] + b[k];
}

}  // namespace

void rows_dot(const double* z, double c, const double* R, std::size_t n, std::size_t K,
              double* out) noexcept {
    with_classes(K, [&](auto kc) {
        if constexpr (kc.value > 0) {
            dot_fixed<kc.value>(z, c, R, n, out);
        } else {
            for (std::size_t k = 0; k < K; ++k) out[k] = 0.0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = 0; k < K; ++k) out[k] += (z[i] - c) * R[i * K + k];
        }
    });
}

void rows_wsumsq(const double* z, double c, const double* V, std::size_t n, std::size_t K,
                 double* out) noexcept {
    with_classes(K, [&](auto kc) {
        if constexpr (kc.value > 0) {
            wsumsq_fixed<kc.value>(z, c, V, n, out);
        } else {
            for (std::size_t k = 0; k < K; ++k) out[k] = 0.0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = 0; k < K; ++k)
                    out[k] += V[i * K + k] * ((z[i] - c) * (z[i] - c));
        }
    });
}

void rows_sub(const double* z, double c, const double* V, const double* delta, double* R,
              std::size_t n, std::size_t K) noexcept {
    with_classes(K, [&](auto kc) {
        const std::size_t nk = kc.value ? kc.value : K;
        double fixed[kc.value ? kc.value : 1];
        const double* d = delta;
        if constexpr (kc.value > 0) {
            for (std::size_t k = 0; k < kc.value; ++k) fixed[k] = delta[k];
            d = fixed;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double* v = V + i * nk;
            double* row = R + i * nk;
            const double zi = z[i] - c;
            for (std::size_t k = 0; k < nk; ++k) row[k] = row[k] - (v[k] * zi) * d[k];
        }
    });
}

void rows_sub_dot(const double* z, double c, const double* V, const double* delta, double* R,
                  const double* next, double c_next, std::size_t n, std::size_t K,
                  double* out) noexcept {
    with_classes(K, [&](auto kc) {
        if constexpr (kc.value > 0) {
            sub_dot_fixed<kc.value>(z, c, V, delta, R, next, c_next, n, out);
        } else {
            for (std::size_t k = 0; k < K; ++k) out[k] = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < K; ++k) {
                    const double r = R[i * K + k] - (V[i * K + k] * (z[i] - c)) * delta[k];
                    R[i * K + k] = r;
                    out[k] += (next[i] - c_next) * r;
                }
            }
        }
    });
}

void rows_add(const double* const* z, const double* c, const double* const* b, std::size_t m,
              double* R, std::size_t n, std::size_t K) noexcept {
    with_classes(K, [&](auto kc) {
        if constexpr (kc.value > 0) {
            constexpr std::size_t KC = kc.value;
            if (m == 4) {
                double bb[4][KC];
                for (std::size_t t = 0; t < 4; ++t)
                    for (std::size_t k = 0; k < KC; ++k) bb[t][k] = b[t][k];
                for (std::size_t i = 0; i < n; ++i) {
                    const double z0 = z[0][i] - c[0], z1 = z[1][i] - c[1], z2 = z[2][i] - c[2],
                                 z3 = z[3][i] - c[3];
                    double* row = R + i * KC;
                    for (std::size_t k = 0; k < KC; ++k)
                        row[k] = (((row[k] + bb[0][k] * z0) + bb[1][k] * z1) + bb[2][k] * z2) +
                                 bb[3][k] * z3;
                }
                return;
            }
        }
        for (std::size_t t = 0; t < m; ++t)
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = 0; k < K; ++k)
                    R[i * K + k] = R[i * K + k] + b[t][k] * (z[t][i] - c[t]);
    });
}

void gather_dot(const std::uint64_t* rows, const double* s, std::size_t m, const double* R,
                std::size_t K, double* out) noexcept {
    with_classes(K, [&](auto kc) {
        if constexpr (kc.value > 0) {
            constexpr std::size_t KC = kc.value;
            double a[KC] = {};
            for (std::size_t e = 0; e < m; ++e) {
                const double se = s[e];
                const double* row = R + rows[e] * KC;
                for (std::size_t k = 0; k < KC; ++k) a[k] += se * row[k];
            }
            for (std::size_t k = 0; k < KC; ++k) out[k] = a[k];
        } else {
            for (std::size_t k = 0; k < K; ++k) out[k] = 0.0;
            for (std::size_t e = 0; e < m; ++e)
                for (std::size_t k = 0; k < K; ++k) out[k] += s[e] * R[rows[e] * K + k];
        }
    });
}

void gather_dot2(const std::uint64_t* rows, const double* s, std::size_t m, const double* R,
                 const double* V, std::size_t K, double* out_r, double* out_v) noexcept {
    with_classes(K, [&](auto kc) {
        const std::size_t nk = kc.value ? kc.value : K;
        if constexpr (kc.value > 0) {
            constexpr std::size_t KC = kc.value;
            double a[KC] = {}, b[KC] = {};
            for (std::size_t e = 0; e < m; ++e) {
                const double se = s[e];
                const double* r = R + rows[e] * KC;
                const double* v = V + rows[e] * KC;
                for (std::size_t k = 0; k < KC; ++k) a[k] += se * r[k];
                for (std::size_t k = 0; k < KC; ++k) b[k] += se * v[k];
            }
            for (std::size_t k = 0; k < KC; ++k) out_r[k] = a[k], out_v[k] = b[k];
        } else {
            for (std::size_t k = 0; k < nk; ++k) out_r[k] = out_v[k] = 0.0;
            for (std::size_t e = 0; e < m; ++e) {
                for (std::size_t k = 0; k < nk; ++k) out_r[k] += s[e] * R[rows[e] * nk + k];
                for (std::size_t k = 0; k < nk; ++k) out_v[k] += s[e] * V[rows[e] * nk + k];
            }
        }
    });
}

void scatter_sub(const std::uint64_t* rows, const double* s, std::size_t m, const double* V,
                 const double* d, double* R, std::size_t K) noexcept {
    with_classes(K, [&](auto kc) {
        const std::size_t nk = kc.value ? kc.value : K;
        double fixed[kc.value ? kc.value : 1];
        const double* dk = d;
        if constexpr (kc.value > 0) {
            for (std::size_t k = 0; k < kc.value; ++k) fixed[k] = d[k];
            dk = fixed;
        }
        for (std::size_t e = 0; e < m; ++e) {
            const double* v = V + rows[e] * nk;
            double* row = R + rows[e] * nk;
            for (std::size_t k = 0; k < nk; ++k) row[k] = row[k] - (v[k] * dk[k]) * s[e];
        }
    });
}

}  // namespace varnel_core
