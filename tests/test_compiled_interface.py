"""The kernel table as other compiled modules use it (through tests/native)."""


import numpy as np
import pytest
from helpers import EARTH, METHODS, PREFIX, run_python, same, traceback_names

RNG = np.random.default_rng(7)
LAT = RNG.uniform(-1.5, 1.5, 200)
LON = RNG.uniform(-3.1, 3.1, 200)
ALT = RNG.uniform(-1e5, 1e7, 200)


@pytest.fixture
def earth(mod):
    return mod.Ellipsoid(*EARTH)


def test_every_kernel_through_the_table_matches_the_methods(probe, earth):
    r = earth.pos_from_lla(LAT, LON, ALT)
    for i in range(0, 200, 7):
        lat, lon, alt, ri = LAT[i], LON[i], ALT[i], r[i]
        k = probe.call_kernel
        assert k(earth, "c_reduced_lat_from_geodetic_lat", lat)[0] == (
            earth.reduced_lat_from_geodetic_lat(lat))
        assert k(earth, "c_geodetic_lat_from_reduced_lat", lat)[0] == (
            earth.geodetic_lat_from_reduced_lat(lat))
        frame = earth.enu(lat, lon)[0]
        assert same(k(earth, "surf_normal_vector", lat, lon), frame["u_up"])
        assert same(k(earth, "surf_tangent_vector", lat, lon),
                    np.concatenate([frame["u_east"], frame["u_north"]]))
        assert same(k(earth, "c_enu", lat, lon),
                    np.concatenate([frame["u_east"], frame["u_north"], frame["u_up"]]))
        surf = earth.surf_pos_from_surf_coord(lat, lon)
        assert same(k(earth, "c_surf_pos_from_surf_coord", lat, lon), surf)
        coord = earth.surf_coord_from_surf_pos(surf)[0]
        assert same(k(earth, "c_surf_coord_from_surf_pos", surf), (coord["lat"], coord["lon"]))
        assert k(earth, "c_solve_reduced_lat_equation", ri)[0] == (
            earth.solve_reduced_lat_equation(ri))
        assert same(k(earth, "c_lla_from_pos", ri), earth.lla_from_pos(ri)[0].tolist())
        assert same(k(earth, "c_pos_from_lla", lat, lon, alt), earth.pos_from_lla(lat, lon, alt))
        u = -ri + [1.0, 2.0, 3.0]
        assert same(k(earth, "c_surf_pos_of_ray_first_intersection", ri, u),
                    earth.surf_pos_of_ray_first_intersection(ri, u))
        assert same(k(earth, "c_aer_coords", ri, 0.3, -0.2, 100.0),
                    earth.aer_coords(ri, 0.3, -0.2, 100.0)[0].tolist())


def test_a_compiled_subclass_computes_with_its_own_table(probe, earth):
    replaced = probe.Replaced(*EARTH)
    r = earth.pos_from_lla(LAT[:20], LON[:20], ALT[:20])
    # c_solve_reduced_lat_equation is replaced by the constant 0.5.
    assert replaced.solve_reduced_lat_equation(r[0]) == 0.5
    assert np.all(replaced.solve_reduced_lat_equation(r) == 0.5)
    lla = replaced.lla_from_pos(r)
    assert np.all(lla["lat"] == earth.geodetic_lat_from_reduced_lat(0.5))
    # surf_normal_vector is replaced by [0, 0, 1]: the frame's up, positions and AER follow.
    assert np.all(replaced.enu(LAT[:5], LON[:5])["u_up"] == [0.0, 0.0, 1.0])
    assert np.array_equal(replaced.enu(LAT[:5], LON[:5])["u_east"],
                          earth.enu(LAT[:5], LON[:5])["u_east"])
    surf = earth.surf_pos_from_surf_coord(LAT[:20], LON[:20])
    expected = surf + np.outer(ALT[:20], [0.0, 0.0, 1.0])
    assert np.array_equal(replaced.pos_from_lla(LAT[:20], LON[:20], ALT[:20]), expected)
    assert not np.array_equal(replaced.aer_coords(r, 0.3, 0.2, 10.0),
                              earth.aer_coords(r, 0.3, 0.2, 10.0))
    assert probe.call_kernel(replaced, "c_solve_reduced_lat_equation", r[0]) == (0.5,)
    # The latitude slots are final: poisoned in the table, never used.
    assert replaced.reduced_lat_from_geodetic_lat(0.3) == earth.reduced_lat_from_geodetic_lat(0.3)
    assert np.array_equal(replaced.surf_pos_from_surf_coord(LAT, LON),
                          earth.surf_pos_from_surf_coord(LAT, LON))


# (method, arguments, failing kernel, traceback entries below the method's own)
R = np.array([[7e6, 1e5, 2e5], [1e5, 7e6, -3e5]])
FAILURES = [
    ("enu", (LAT[:3], LON[:3]), "surf_normal_vector", ["c_enu"]),
    ("enu", (LAT[:3], LON[:3]), "surf_tangent_vector", ["c_enu"]),
    ("enu", (0.1, 0.2), "c_enu", []),
    ("surf_pos_from_surf_coord", (LAT[:3], LON[:3]), "c_surf_pos_from_surf_coord", []),
    ("surf_coord_from_surf_pos", (R,), "c_surf_coord_from_surf_pos", []),
    ("solve_reduced_lat_equation", (R,), "c_solve_reduced_lat_equation", []),
    ("lla_from_pos", (R,), "c_solve_reduced_lat_equation", ["c_lla_from_pos"]),
    ("lla_from_pos", (R[0],), "c_lla_from_pos", []),
    ("pos_from_lla", (LAT[:3], LON[:3], ALT[:3]), "c_surf_pos_from_surf_coord",
     ["c_pos_from_lla"]),
    ("pos_from_lla", (0.1, 0.2, 3.0), "surf_normal_vector", ["c_pos_from_lla"]),
    ("surf_pos_of_ray_first_intersection", (R[0], -R), "c_surf_pos_of_ray_first_intersection",
     []),
    ("aer_coords", (R, 0.1, 0.2, 3.0), "surf_normal_vector", ["c_aer_coords", "c_pos_from_lla"]),
    ("aer_coords", (R, 0.1, 0.2, 3.0), "surf_tangent_vector", ["c_aer_coords", "c_enu"]),
    ("aer_coords", (R[0], 0.1, 0.2, 3.0), "c_pos_from_lla", ["c_aer_coords"]),
]


@pytest.mark.parametrize("method, args, kernel, chain", FAILURES,
                         ids=[f"{m}-{k}" for m, _, k, _ in FAILURES])
def test_a_failing_kernel_fails_the_method_with_each_entry(probe, method, args, kernel, chain):
    failing = probe.Failing(*EARTH)
    probe.set_failing(kernel)
    try:
        with pytest.raises(RuntimeError, match=f"^{kernel} failed$") as info:
            getattr(failing, method)(*args)
    finally:
        probe.set_failing("")
    names = traceback_names(info)
    expected = [PREFIX + method] + [PREFIX + name for name in chain]
    assert names[-len(expected):] == expected
    # With no failure the same calls succeed.
    getattr(failing, method)(*args)


SENTINEL = 777.0


@pytest.mark.parametrize(
    "kernel, call, unwritten",
    [
        # c_pos_from_lla writes nothing to r
        ("surf_normal_vector", ("c_pos_from_lla", 0.1, 0.2, 3.0), [0, 1, 2]),
        ("c_surf_pos_from_surf_coord", ("c_pos_from_lla", 0.1, 0.2, 3.0), [0, 1, 2]),
        # c_enu keeps u_up, leaves u_east and u_north
        ("surf_tangent_vector", ("c_enu", 0.1, 0.2), [0, 1, 2, 3, 4, 5]),
        # c_lla_from_pos writes the longitude only, before it solves for the latitude
        ("c_solve_reduced_lat_equation", ("c_lla_from_pos", (7e6, 1e5, 2e5)), [0, 2]),
        # c_aer_coords writes aer only at the end
        ("c_enu", ("c_aer_coords", (7e6, 1e5, 2e5), 0.1, 0.2, 3.0), [0, 1, 2]),
    ],
)
def test_outputs_stay_unwritten_after_a_nested_failure(probe, kernel, call, unwritten):
    failing = probe.Failing(*EARTH)
    probe.set_failing(kernel)
    try:
        with pytest.raises(RuntimeError) as info:
            probe.call_kernel(failing, *call)
    finally:
        probe.set_failing("")
    outputs = info.value.outputs
    for i, value in enumerate(outputs):
        assert (value == SENTINEL) == (i in unwritten), (i, outputs)
    assert PREFIX + call[0] in traceback_names(info)


@pytest.mark.parametrize("name", METHODS)
def test_an_object_without_a_kernel_table_is_refused(probe, name):
    """A compiled subclass whose constructor never ran: every method refuses it
    as the frames functions do, instead of calling through a null table."""
    unbuilt = probe.Unbuilt(2.0, 0.25)
    with pytest.raises(TypeError, match="^self has no kernel table$") as info:
        getattr(unbuilt, name)(*METHODS[name].good)
    assert traceback_names(info)[-1] == PREFIX + name
    if name == "enu":
        from quorvane.mathtools.ellipsoid import _frames

        rows = np.zeros((1, 3))
        with pytest.raises(TypeError, match="^ell has no kernel table$"):
            _frames.enu_from_pos(unbuilt, rows, rows, np.zeros((1, 3)))


def test_kernels_run_in_native_threads_without_the_lock(probe, earth):
    r = earth.pos_from_lla(LAT, LON, ALT)
    results, agree = probe.threaded_lla(earth, np.ascontiguousarray(r), 4)
    assert agree
    lla = earth.lla_from_pos(r)
    back = earth.pos_from_lla(lla["lat"], lla["lon"], lla["alt"])
    got = np.array(results)
    assert np.array_equal(got[:, :3], np.column_stack([lla["lat"], lla["lon"], lla["alt"]]))
    assert np.array_equal(got[:, 3:], back)


def test_exec_on_another_module_object_is_refused(probe, mod):
    with pytest.raises(RuntimeError, match="^Module 'ellipsoid' has already been imported. "
                                           "Re-initialisation is not supported.$"):
        probe.exec_on_new_module(mod)


def test_headers_are_installed():
    import pathlib

    from quorvane.mathtools.ellipsoid import get_include

    root = pathlib.Path(get_include())
    for header in ("quorvane/mathtools/ellipsoid/ellipsoid.h", "quorvane/datamodel/structured.h",
                   "quorvane/mathtools/vectools/vectools.h"):
        assert (root / header).is_file()


def test_second_interpreter_is_refused():
    code = """
        import quorvane.mathtools.ellipsoid.ellipsoid
        import _interpreters
        i = _interpreters.create('legacy')
        _interpreters.run_string(i, '''if True:
            try:
                import quorvane.mathtools.ellipsoid.ellipsoid
            except ImportError as ex:
                print(ex)
        ''')
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per"
        " process."
    )
