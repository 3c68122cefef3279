// The geometry loop's geodesic edges, eight per instruction (compiled with -mavx512f and
// -mavx512dq; no FMA).
#include "ellipsoid/fast/edge_lanes.h"

namespace quorvane::fast {
const EdgeLoops kAvx512EdgeLoops = make_edge_loops<8>("avx512");
}  // namespace quorvane::fast
