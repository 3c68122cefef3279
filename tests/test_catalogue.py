"""The catalogue of named reference ellipsoids."""

import subprocess
import sys

import pytest

from quorvane.mathtools.ellipsoid import catalogue

EXTENSION = "quorvane.mathtools.ellipsoid.ellipsoid"


@pytest.mark.parametrize(
    ("name", "a", "b"),
    [
        # Ellipsoids defined by their two semi-axes: the stored 1/f must reproduce b.
        ("Clarke1866", 6378206.4, 6356583.8),
        ("Airy1830", 6377563.396, 6356256.909),
        # WGS84 and GRS80 semi-minor axes as published with their definitions.
        ("WGS84", 6378137.0, 6356752.314245),
        ("GRS80", 6378137.0, 6356752.314140),
    ],
)
def test_polar_radius_matches_published_semi_minor_axis(name, a, b):
    entry = catalogue.lookup(name)
    assert entry.Re == a
    assert entry.Rp == pytest.approx(b, abs=5e-7)


# PROJ's names for the same ellipsoids; checked against it when pyproj is installed.
PROJ_NAMES = {
    "WGS84": "WGS84",
    "GRS80": "GRS80",
    "WGS72": "WGS72",
    "Clarke1866": "clrk66",
    "International1924": "intl",
    "Bessel1841": "bessel",
    "Airy1830": "airy",
    "Krassovsky1940": "krass",
    "PZ-90": "PZ90",
}


@pytest.mark.parametrize("name", sorted(PROJ_NAMES))
def test_parameters_agree_with_proj(name):
    pyproj = pytest.importorskip("pyproj")
    geod = pyproj.Geod(ellps=PROJ_NAMES[name])
    entry = catalogue.lookup(name)
    assert entry.Re == geod.a
    # PROJ takes Airy's 1/f as 299.3249646, putting b 0.2 mm from the defining 6356256.909 m;
    # everything else agrees to the last digit.
    assert entry.f == pytest.approx(geod.f, rel=1e-7)


@pytest.mark.parametrize(
    ("spelling", "name"),
    [
        ("WGS84", "WGS84"),
        ("WGS 84", "WGS84"),
        ("wgs-84", "WGS84"),
        ("Wgs_84", "WGS84"),
        ("hayford", "International1924"),
        ("International 1924", "International1924"),
        ("Krasovsky 1940", "Krassovsky1940"),
        ("PZ-90.11", "PZ-90"),
        ("iers2010", "IERS2003"),
    ],
)
def test_lookup_ignores_case_and_separators(spelling, name):
    assert catalogue.lookup(spelling).name == name


@pytest.mark.parametrize("spelling", ["", "WGS8", "WGS84x", "sphere", "Clarke"])
def test_unknown_name_raises_key_error_listing_the_names(spelling):
    with pytest.raises(KeyError) as info:
        catalogue.lookup(spelling)
    message = info.value.args[0]
    assert repr(spelling) in message
    for name in catalogue.names():
        assert name in message
    with pytest.raises(KeyError):
        catalogue.get(spelling)


def test_package_and_catalogue_imports_do_not_load_the_extension():
    code = (
        "import sys\n"
        "import quorvane.mathtools.ellipsoid as package\n"
        "from quorvane.mathtools.ellipsoid import catalogue\n"
        "catalogue.lookup('wgs84')\n"
        "lazy = 'get_ellipsoid' in getattr(package, '__all__', ())\n"
        "found = package.get_ellipsoid if lazy else None\n"
        f"assert {EXTENSION!r} not in sys.modules, 'extension imported'\n"
        "assert found is None or found('wgs84').Re == 6378137.0\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_get_returns_the_same_ready_ellipsoid_for_every_spelling():
    ext = pytest.importorskip(EXTENSION)
    wgs84 = catalogue.get("WGS 84")
    assert isinstance(wgs84, ext.Ellipsoid)
    assert wgs84 is catalogue.get("wgs84") is catalogue.get()  # WGS84 by default
    assert (wgs84.Re, wgs84.f) == (6378137.0, 1 / 298.257223563)
    assert wgs84.Rp == catalogue.lookup("WGS84").Rp
    bessel = catalogue.get("Bessel")
    assert bessel is not wgs84
    assert bessel.Re == 6377397.155
