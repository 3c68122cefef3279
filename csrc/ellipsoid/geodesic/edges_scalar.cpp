// The geometry loop's geodesic edges, one edge at a time: the level every machine has.
#include "ellipsoid/fast/edge_lanes.h"

namespace quorvane::fast {
const EdgeLoops kScalarEdgeLoops = make_edge_loops<1>("scalar");
}  // namespace quorvane::fast
