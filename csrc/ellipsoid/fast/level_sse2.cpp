// The conversions two points per instruction (compiled with -msse2).
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kSse2Loops = make_loops<2>("sse2");
}  // namespace quorvane::fast
