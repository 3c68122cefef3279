// The geometry loop's geodesic edges, two per instruction (NEON).
#include "ellipsoid/fast/edge_lanes.h"

namespace quorvane::fast {
const EdgeLoops kNeonEdgeLoops = make_edge_loops<2>("neon");
}  // namespace quorvane::fast
