"""Errors in ulps of the fast edges' small-angle sin, cos and atan2
(``csrc/ellipsoid/fast/small_angles.h``) against long double, on one lane.

From the top of the repository, with a C++ compiler (``c++`` or ``$CXX``)::

    python -m bench.small_angles_ulps            # 2e6 random arguments, a few seconds

Arguments: x = u 2^-k, u uniform on (-1, 1), k uniform on 4 .. 40 (so |x| < 1/16, where the
series serve); atan2 of (x q, q), q uniform on (0.1, 10). The reference is the platform's
sinl, cosl and atan2l (64-bit significands on x86-64: an error of 2^-11 ulp of a double).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

SOURCE = r"""
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include "ellipsoid/fast/small_angles.h"
using namespace quorvane::fast;
static double ulps(double got, long double want) {
    const double w = std::fabs(double(want));
    return double(fabsl((long double)got - want) / (std::nextafter(w, INFINITY) - w));
}
int main(int argc, char** argv) {
    const long n = std::atol(argv[1]);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1, 1), q(0.1, 10);
    std::uniform_int_distribution<int> k(4, 40);
    double es = 0, ec = 0, ea = 0;
    for (long i = 0; i < n; ++i) {
        const double x = std::ldexp(u(rng), -k(rng)), d = q(rng);
        V<1> s, c;
        sincos_small_first<1>(splat<1>(x), s, c);
        es = std::fmax(es, ulps(s[0], sinl(x)));
        ec = std::fmax(ec, ulps(c[0], cosl(x)));
        const V<1> a = atan2_small_first<1>(splat<1>(x * d), splat<1>(d));
        ea = std::fmax(ea, ulps(a[0], atan2l((long double)(x * d), d)));
    }
    std::printf("%ld arguments, largest error in ulps: sin %.3f, cos %.3f, atan2 %.3f\n", n, es,
                ec, ea);
}
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=float, default=2e6)
    args = parser.parse_args()
    cxx = os.environ.get("CXX") or shutil.which("c++") or "g++"
    csrc = Path(__file__).resolve().parent.parent / "csrc"
    with tempfile.TemporaryDirectory() as tmp:
        src, exe = Path(tmp) / "ulps.cpp", Path(tmp) / "ulps"
        src.write_text(SOURCE)
        flags = ["-std=c++20", "-O2", "-ffp-contract=off", f"-I{csrc}"]
        subprocess.run([cxx, *flags, str(src), "-o", str(exe)], check=True)
        subprocess.run([str(exe), str(int(args.points))], check=True)


if __name__ == "__main__":
    main()
