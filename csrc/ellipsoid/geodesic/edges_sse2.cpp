// The geometry loop's geodesic edges, two per instruction (compiled with -msse2).
#include "ellipsoid/fast/edge_lanes.h"

namespace quorvane::fast {
const EdgeLoops kSse2EdgeLoops = make_edge_loops<2>("sse2");
}  // namespace quorvane::fast
