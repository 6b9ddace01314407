// The block row kernels for AVX2 (this file is compiled with -mavx2 on
// x86-64; elsewhere it provides nothing).
#include "kernels/block_rows.hpp"

#if defined(__AVX2__)

namespace varnel_core::block_detail {

const RowKernels* avx2_row_kernels() { return &kRowKernels; }

}  // namespace varnel_core::block_detail

#else

namespace varnel_core::block_detail {

const RowKernels* avx2_row_kernels() { return nullptr; }

}  // namespace varnel_core::block_detail

#endif
