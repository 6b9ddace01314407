// Scratch memory of the Gram kernels.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace varnel_core::gram_detail {

// A zero-filled buffer of n doubles on a 64-byte boundary (whole cache lines
// for the packed panels and the result tiles).  A buffer given a slot reuses
// that slot's memory from the thread's earlier calls (up to kKeepBytes), so
// that repeated calls do not pay fresh pages; buffers alive at the same time
// on one thread need different slots.
class Buffer {
public:
    enum Slot { none = -1, panel, tiles, weights, columns, scratch, nslots };
    static constexpr std::size_t kKeepBytes = 4u << 20;

    explicit Buffer(std::size_t n, Slot slot = none) {
        n = std::max<std::size_t>(n, 1);
        if (slot != none && n * sizeof(double) <= kKeepBytes) {
            thread_local Kept kept[nslots];
            Kept& k = kept[slot];
            if (k.cap < n) {
                k.p = allocate(n);
                k.cap = n;
            }
            data_ = k.p.get();
        } else {
            own_ = allocate(n);
            data_ = own_.get();
        }
        std::fill(data_, data_ + n, 0.0);
    }
    double* data() const { return data_; }
    double& operator[](std::size_t i) const { return data_[i]; }

private:
    struct Free {
        void operator()(double* p) const { ::operator delete[](p, std::align_val_t{64}); }
    };
    using Owned = std::unique_ptr<double[], Free>;
    struct Kept {
        Owned p;
        std::size_t cap = 0;
    };
    static Owned allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
        return Owned(static_cast<double*>(::operator new[](n * sizeof(double), std::align_val_t{64})));
    }

    Owned own_;
    double* data_ = nullptr;
};

}  // namespace varnel_core::gram_detail
