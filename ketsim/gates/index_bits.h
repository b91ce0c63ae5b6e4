// Index arithmetic of the gate kernels: the bit helpers shared with rhosim, in ketsim's namespace.
#pragma once

#include <cstdint>

#include "../../common/backend.h"
#include "../../common/index_bits.h"

namespace ketsim {

using velloran::deposit_bits;
using velloran::insert_zero_bit;
using velloran::insert_zero_bits;

}  // namespace ketsim
