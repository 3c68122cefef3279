// The conversions one point at a time: the level every machine has.
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kScalarLoops = make_loops<1>("scalar");
}  // namespace quorvane::fast

// The conversions between auxiliary latitudes at this level (latitudes.h).
#include "ellipsoid/fast/latitudes.h"

namespace quorvane::fast {
const LatitudeLoops kScalarLatitudeLoops = make_latitude_loops<1>("scalar");
}  // namespace quorvane::fast

// The transverse Mercator at this level (transverse_mercator.h).
#include "ellipsoid/fast/transverse_mercator.h"

namespace quorvane::fast {
const TmLoops kScalarTmLoops = make_tm_loops<1>("scalar");
}  // namespace quorvane::fast

// The rhumb lines at this level (rhumb.h).
#include "ellipsoid/fast/rhumb.h"

namespace quorvane::fast {
const RhumbLoops kScalarRhumbLoops = make_rhumb_loops<1>("scalar");
}  // namespace quorvane::fast
