// The block row kernels for the build's baseline instruction set.
#include "kernels/block_rows.hpp"

namespace varnel_core::block_detail {

const RowKernels* portable_row_kernels() { return &kRowKernels; }

}  // namespace varnel_core::block_detail
