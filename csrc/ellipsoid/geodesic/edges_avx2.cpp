// The geometry loop's geodesic edges, four per instruction (compiled with -mavx2; no FMA).
#include "ellipsoid/fast/edge_lanes.h"

namespace quorvane::fast {
const EdgeLoops kAvx2EdgeLoops = make_edge_loops<4>("avx2");
}  // namespace quorvane::fast
