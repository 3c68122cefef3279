// The conversions two points per instruction on arm64 (NEON is always there).
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kNeonLoops = make_loops<2>("neon");
}  // namespace quorvane::fast

// The conversions between auxiliary latitudes at this level (latitudes.h).
#include "ellipsoid/fast/latitudes.h"

namespace quorvane::fast {
const LatitudeLoops kNeonLatitudeLoops = make_latitude_loops<2>("neon");
}  // namespace quorvane::fast

// The transverse Mercator at this level (transverse_mercator.h).
#include "ellipsoid/fast/transverse_mercator.h"

namespace quorvane::fast {
const TmLoops kNeonTmLoops = make_tm_loops<2>("neon");
}  // namespace quorvane::fast

// The rhumb lines at this level (rhumb.h).
#include "ellipsoid/fast/rhumb.h"

namespace quorvane::fast {
const RhumbLoops kNeonRhumbLoops = make_rhumb_loops<2>("neon");
}  // namespace quorvane::fast
