// The conversions two points per instruction on arm64 (NEON is always there).
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kNeonLoops = make_loops<2>("neon");
}  // namespace quorvane::fast
