// The choice of an instruction-set level, for the modules that carry one copy of
// their loops per level (_fast's conversions, _geodesic's polygon edges): each lists
// the levels this machine runs, best last, and takes QUORVANE_SIMD's among them.
// Not included by the level_*.cpp files: it calls the interpreter.
#ifndef QUORVANE_ELLIPSOID_FAST_LEVEL_CHOICE_H
#define QUORVANE_ELLIPSOID_FAST_LEVEL_CHOICE_H

#include <Python.h>
#include <cstdlib>
#include <cstring>

namespace quorvane::fast {

// The most levels a module lists (scalar, sse2, avx2, avx512 on x86-64).
inline constexpr int kMaxLevels = 4;

// Of `levels[0 .. n)` (tables with a `name`, best last): QUORVANE_SIMD's level when
// set, else the best; nullptr with a ValueError naming the levels there are when the
// machine or the build lacks the one asked for.
template <class Table>
const Table* choose_level(const Table* const* levels, int n) noexcept {
    const char* forced = std::getenv("QUORVANE_SIMD");
    if (forced == nullptr || *forced == '\0') return levels[n - 1];
    for (int k = 0; k < n; ++k)
        if (std::strcmp(levels[k]->name, forced) == 0) return levels[k];
    char names[64] = "";
    for (int k = 0; k < n; ++k) {
        if (k > 0) std::strcat(names, ", ");
        std::strcat(names, levels[k]->name);
    }
    PyErr_Format(PyExc_ValueError,
                 "QUORVANE_SIMD=%.40s: no such instruction-set level on this machine (it has %s)",
                 forced, names);
    return nullptr;
}

}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LEVEL_CHOICE_H
