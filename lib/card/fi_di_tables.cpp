// The conversion tables of ISO/IEC 7816-3 for TA1: Fi by the high nibble, Di by the low nibble.
#include "card/parse_atr.h"

namespace ryx {

// 0 marks a reserved (RFU) index, which the speed selection never uses.
const std::uint32_t kFiTable[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
const std::uint32_t kDiTable[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

}  // namespace ryx
