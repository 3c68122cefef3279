// The conversions four points per instruction (compiled with -mavx2; no FMA).
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kAvx2Loops = make_loops<4>("avx2");
}  // namespace quorvane::fast

// The conversions between auxiliary latitudes at this level (latitudes.h).
#include "ellipsoid/fast/latitudes.h"

namespace quorvane::fast {
const LatitudeLoops kAvx2LatitudeLoops = make_latitude_loops<4>("avx2");
}  // namespace quorvane::fast

// The transverse Mercator at this level (transverse_mercator.h).
#include "ellipsoid/fast/transverse_mercator.h"

namespace quorvane::fast {
const TmLoops kAvx2TmLoops = make_tm_loops<4>("avx2");
}  // namespace quorvane::fast

// The rhumb lines at this level (rhumb.h).
#include "ellipsoid/fast/rhumb.h"

namespace quorvane::fast {
const RhumbLoops kAvx2RhumbLoops = make_rhumb_loops<4>("avx2");
}  // namespace quorvane::fast
