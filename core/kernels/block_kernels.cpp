#include "kernels/block_kernels.hpp"

#include <algorithm>
#include <type_traits>

#include "kernels/block_rows.hpp"

namespace varnel_core {

namespace {

using block_detail::RowKernels;
static_assert(block_detail::kChunkRows == block_chunk_rows);

struct NamedKernels {
    std::string_view name;
    const RowKernels* (*table)();
    bool (*cpu_runs)();
};

const NamedKernels kIsas[] = {
    {"portable", block_detail::portable_row_kernels, [] { return true; }},
#if defined(__x86_64__) || defined(_M_X64)
    {"avx2", block_detail::avx2_row_kernels, [] { return __builtin_cpu_supports("avx2") != 0; }},
    {"avx512", block_detail::avx512_row_kernels,
     [] { return __builtin_cpu_supports("avx512f") != 0; }},
#endif
};

const NamedKernels* available(std::string_view name) {
    for (const auto& isa : kIsas)
        if (isa.name == name && isa.table() != nullptr && isa.cpu_runs()) return &isa;
    return nullptr;
}

const NamedKernels& best_kernels() {
    static const NamedKernels& best = [&]() -> const NamedKernels& {
        for (const char* name : {"avx512", "avx2"})
            if (const auto* isa = available(name)) return *isa;
        return kIsas[0];
    }();
    return best;
}

const RowKernels& row_kernels() {
    static const RowKernels& best = *best_kernels().table();
    return best;
}

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

}  // namespace

const RowKernels* block_row_kernels(std::string_view name) noexcept {
    const NamedKernels* isa = name == "best" ? &best_kernels() : available(name);
    return isa != nullptr ? isa->table() : nullptr;
}

void rows_to_blocked(double* a, std::size_t n, std::size_t K, double* chunk) noexcept {
    if (K == 1) return;  // the same layout
    for (std::size_t i0 = 0; i0 < n; i0 += block_chunk_rows) {
        const std::size_t m = std::min(block_chunk_rows, n - i0);
        double* c = a + i0 * K;
        std::copy(c, c + m * K, chunk);
        for (std::size_t t = 0; t < m; ++t)
            for (std::size_t k = 0; k < K; ++k) c[k * m + t] = chunk[t * K + k];
    }
}

void blocked_to_rows(double* a, std::size_t n, std::size_t K, double* chunk) noexcept {
    if (K == 1) return;
    for (std::size_t i0 = 0; i0 < n; i0 += block_chunk_rows) {
        const std::size_t m = std::min(block_chunk_rows, n - i0);
        double* c = a + i0 * K;
        std::copy(c, c + m * K, chunk);
        for (std::size_t k = 0; k < K; ++k)
            for (std::size_t t = 0; t < m; ++t) c[t * K + k] = chunk[k * m + t];
    }
}

void rows_dot(const double* const* z, const double* c, std::size_t m, const double* R,
              std::size_t n, std::size_t K, double* out) noexcept {
    row_kernels().dot(z, c, m, R, n, K, out);
}

void rows_wsumsq(const double* const* z, const double* c, std::size_t m, const double* V,
                 std::size_t n, std::size_t K, double* out) noexcept {
    row_kernels().wsumsq(z, c, m, V, n, K, out);
}

void rows_sub(const double* z, double c, const double* V, const double* delta, double* R,
              std::size_t n, std::size_t K) noexcept {
    row_kernels().sub(z, c, V, delta, R, n, K);
}

void rows_sub_dot(const double* z, double c, const double* V, const double* delta, double* R,
                  const double* next, double c_next, std::size_t n, std::size_t K,
                  double* out) noexcept {
    row_kernels().sub_dot(z, c, V, delta, R, next, c_next, n, K, out);
}

void rows_add(const double* const* z, const double* c, const double* const* b, std::size_t m,
              double* R, std::size_t n, std::size_t K) noexcept {
    row_kernels().add(z, c, b, m, R, n, K);
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
