// The block row kernels for AVX512 (this file is compiled with -mavx512f on
// x86-64; elsewhere it provides nothing).
#include "kernels/block_rows.hpp"

#if defined(__AVX512F__)

namespace varnel_core::block_detail {

const RowKernels* avx512_row_kernels() { return &kRowKernels; }

}  // namespace varnel_core::block_detail

#else

namespace varnel_core::block_detail {

const RowKernels* avx512_row_kernels() { return nullptr; }

}  // namespace varnel_core::block_detail

#endif
