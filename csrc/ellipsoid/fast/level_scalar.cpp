// The conversions one point at a time: the level every machine has.
#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
const Loops kScalarLoops = make_loops<1>("scalar");
}  // namespace quorvane::fast
