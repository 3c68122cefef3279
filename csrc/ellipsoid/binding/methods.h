// The table of Ellipsoid's computing methods.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_METHODS_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_METHODS_H

#include "ellipsoid/binding/methodobj.h"

namespace quorvane::ellipsoid {

inline constexpr int kMethodCount = 10;

// The ten methods in the type's order of definition.
extern const MethodSpec method_specs[kMethodCount];

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_METHODS_H
