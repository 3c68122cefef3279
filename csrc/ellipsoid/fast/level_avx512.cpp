// The conversions eight points per instruction (compiled with -mavx512f and -mavx512dq; no
// FMA).
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kAvx512Loops = make_loops<8>("avx512");
}  // namespace quorvane::fast

// The conversions between auxiliary latitudes at this level (latitudes.h).
#include "ellipsoid/fast/latitudes.h"

namespace quorvane::fast {
const LatitudeLoops kAvx512LatitudeLoops = make_latitude_loops<8>("avx512");
}  // namespace quorvane::fast

// The transverse Mercator at this level (transverse_mercator.h).
#include "ellipsoid/fast/transverse_mercator.h"

namespace quorvane::fast {
const TmLoops kAvx512TmLoops = make_tm_loops<8>("avx512");
}  // namespace quorvane::fast

// The rhumb lines at this level (rhumb.h).
#include "ellipsoid/fast/rhumb.h"

namespace quorvane::fast {
const RhumbLoops kAvx512RhumbLoops = make_rhumb_loops<8>("avx512");
}  // namespace quorvane::fast
