// The conversions two points per instruction (compiled with -msse2).
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kSse2Loops = make_loops<2>("sse2");
}  // namespace quorvane::fast

// The conversions between auxiliary latitudes at this level (latitudes.h).
#include "ellipsoid/fast/latitudes.h"

namespace quorvane::fast {
const LatitudeLoops kSse2LatitudeLoops = make_latitude_loops<2>("sse2");
}  // namespace quorvane::fast

// The transverse Mercator at this level (transverse_mercator.h).
#include "ellipsoid/fast/transverse_mercator.h"

namespace quorvane::fast {
const TmLoops kSse2TmLoops = make_tm_loops<2>("sse2");
}  // namespace quorvane::fast

// The rhumb lines at this level (rhumb.h).
#include "ellipsoid/fast/rhumb.h"

namespace quorvane::fast {
const RhumbLoops kSse2RhumbLoops = make_rhumb_loops<2>("sse2");
}  // namespace quorvane::fast
