// The portable Gram kernels: plain C++, one std::fma per product, with the
// layout of the AVX2 kernels (on x86-64 CPUs without FMA std::fma is slow).
#include <cmath>

#include "kernels/gram_isa.hpp"
#include "kernels/gram_tile.hpp"

namespace varnel_core::gram_detail {

namespace {

struct Portable {
    static constexpr std::size_t vl = 4;
    struct V {
        double v[vl];
    };
    static V zero() { return V{}; }
    static V load(const double* p) { return V{{p[0], p[1], p[2], p[3]}}; }
    // Lanes [0, m) from p, zeros after.
    static V load_first(const double* p, std::size_t m) {
        V r{};
        for (std::size_t i = 0; i < m; ++i) r.v[i] = p[i];
        return r;
    }
    static V bcast(const double* p) { return V{{*p, *p, *p, *p}}; }
    static V fma(V a, V b, V c) {
        for (std::size_t i = 0; i < vl; ++i) c.v[i] = std::fma(a.v[i], b.v[i], c.v[i]);
        return c;
    }
    static V add(V a, V b) {
        for (std::size_t i = 0; i < vl; ++i) a.v[i] = a.v[i] + b.v[i];
        return a;
    }
    static V sub(V a, V b) {
        for (std::size_t i = 0; i < vl; ++i) a.v[i] = a.v[i] - b.v[i];
        return a;
    }
    static V mul(V a, V b) {
        for (std::size_t i = 0; i < vl; ++i) a.v[i] = a.v[i] * b.v[i];
        return a;
    }
    static V sqrt(V a) {
        for (std::size_t i = 0; i < vl; ++i) a.v[i] = std::sqrt(a.v[i]);
        return a;
    }
    static void store(double* p, V v) {
        for (std::size_t i = 0; i < vl; ++i) p[i] = v.v[i];
    }
};

void pack(const PackJob& job) {
    if (job.col_stride == 1)
        pack_along_rows<Portable>(job);
    else
        pack_scalar(job, 0, 0);
}

constexpr IsaKernels kTable{Portable::vl,
                             pack,
                             triangle_chunk<Portable>,
                             columns_chunk<Portable>,
                             block_column_sums<Portable>,
                             block_deviation_sums<Portable>,
                             square_roots<Portable>,
                             fma_loop<Portable>};

}  // namespace

const IsaKernels* portable_kernels() { return &kTable; }

}  // namespace varnel_core::gram_detail
