"""The calling rules shared by the methods: arguments, module names, one point
or many, shape assertions (on, and off under -O), reads and results."""

import re

import numpy as np
import pytest
from helpers import METHODS, PREFIX, R3, run_python, same, slow, traceback_names


def plural(n):
    return "" if n == 1 else "s"


@pytest.mark.parametrize("name", METHODS)
def test_argument_errors(e, name):
    method = getattr(e, name)
    params = METHODS[name].params
    n = len(params)
    args = METHODS[name].good
    taken = re.escape(f"{name}() takes exactly {n} positional argument{plural(n)}")
    with pytest.raises(TypeError, match=rf"^{taken} \({n + 1} given\)$") as info:
        method(*args, 0)
    assert traceback_names(info)[-1] == PREFIX + name
    for missing in range(n):
        kwargs = {p: a for p, a in zip(params, args) if p != params[missing]}
        with pytest.raises(TypeError, match=rf"^{taken} \({missing} given\)$"):
            method(**kwargs)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'x'$"):
        method(*args, x=1)
    with pytest.raises(TypeError,
                       match=rf"^{name}\(\) got multiple values for keyword argument"
                             rf" '{params[0]}'$"):
        method(*args, **{params[0]: args[0]})
    by_keyword = method(**dict(zip(params, args)))
    positional = method(*args)
    assert same(by_keyword, positional)
    # Unbound, through the class.
    assert same(getattr(type(e), name)(e, *args), positional)


@pytest.mark.parametrize(
    "name, args, missing",
    [
        ("reduced_lat_from_geodetic_lat", (0.3,), "Real"),
        ("reduced_lat_from_geodetic_lat", (np.zeros(2),), "numpy"),
        ("enu", (0.3, 0.2), "ENU_dtype"),
        ("enu", (np.zeros(1), np.zeros(1)), "Real"),
        ("surf_coord_from_surf_pos", (R3,), "SurfCoord_dtype"),
        ("lla_from_pos", (R3,), "LLA_dtype"),
        ("solve_reduced_lat_equation", (R3[None],), "numpy"),
        ("pos_from_lla", (0.3, 0.2, 1.0), "Real"),
        ("pos_from_lla", (0.3, 0.2, 1.0), "numpy"),
        ("aer_coords", (R3, 0.3, 0.2, 1.0), "AER_dtype"),
        ("surf_pos_of_ray_first_intersection", (R3, R3[None]), "numpy"),
    ],
)
def test_module_names_are_looked_up_at_each_call(mod, e, monkeypatch, name, args, missing):
    monkeypatch.delattr(mod, missing)
    with pytest.raises(NameError, match=f"^name '{missing}' is not defined$") as info:
        getattr(e, name)(*args)
    assert traceback_names(info)[-1] == PREFIX + name


def test_a_builtin_of_the_same_name_stands_in(mod, e, monkeypatch):
    import builtins

    dt = mod.LLA_dtype
    monkeypatch.delattr(mod, "LLA_dtype")
    monkeypatch.setattr(builtins, "LLA_dtype", dt, raising=False)
    assert e.lla_from_pos(R3).dtype == dt


@pytest.mark.parametrize(
    "x, real",
    [(1, True), (True, True), (0.5, True), (np.float64(0.5), True), (np.int64(1), True),
     (np.float32(0.5), True), (np.uint8(1), True), (np.bool_(True), False),
     (np.complex128(1), False), (np.array(0.5), False)],
)
def test_real_numbers_take_the_scalar_path(e, x, real):
    if real:
        out = e.surf_pos_from_surf_coord(x, 0.0)
        assert out.shape == (3,)
        assert np.array_equal(out, e.surf_pos_from_surf_coord(float(x), 0.0))
        assert type(e.reduced_lat_from_geodetic_lat(x)) is float
    else:
        with pytest.raises(AssertionError):  # the array branch: its ndim of 0 fails the check
            e.surf_pos_from_surf_coord(x, np.zeros(1))


def test_rebinding_real_changes_the_classification(mod, e, monkeypatch):
    monkeypatch.setattr(mod, "Real", int)
    assert e.pos_from_lla(0, 0, 0).shape == (3,)
    with pytest.raises(AttributeError):
        e.pos_from_lla(0.0, 0, 0)  # with Real bound to int a float is not real: its ndim is read


# (method, arguments, error) with assertions on
SHAPE_FAILURES = [
    ("surf_coord_from_surf_pos", (1.0,), AttributeError),
    ("surf_coord_from_surf_pos", ([1.0, 2.0, 3.0],), AttributeError),
    ("surf_coord_from_surf_pos", (np.float64(1.0),), AssertionError),
    ("surf_coord_from_surf_pos", (np.zeros(4),), AssertionError),
    ("surf_coord_from_surf_pos", (np.zeros((2, 4)),), AssertionError),
    ("surf_coord_from_surf_pos", (np.zeros((2, 3, 1)),), AssertionError),
    ("enu", (np.zeros(2), np.zeros(3)), AssertionError),
    ("enu", (np.zeros((2, 2)), np.zeros((2, 2))), AssertionError),
    ("enu", (np.array(0.0), np.array(0.0)), AssertionError),
    ("enu", (0.5, np.zeros(1)), AttributeError),
    ("enu", (np.zeros(1), 0.5), AttributeError),
    ("surf_pos_from_surf_coord", ([0.0], [0.0]), AttributeError),
    ("surf_pos_from_surf_coord", (np.zeros(1), np.zeros(2)), AssertionError),
    ("solve_reduced_lat_equation", ([1.0, 2.0, 3.0],), AttributeError),
    ("solve_reduced_lat_equation", (np.float64(1.0),), AssertionError),
    ("solve_reduced_lat_equation", (np.zeros(4),), AssertionError),
    ("lla_from_pos", (2.0,), AttributeError),
    ("lla_from_pos", (np.zeros((1, 2)),), AssertionError),
    ("pos_from_lla", (0.5, np.zeros(1), np.zeros(1)), AttributeError),
    ("pos_from_lla", (np.float64(0.5), np.zeros(1), np.zeros(1)), AssertionError),
    ("pos_from_lla", (np.zeros(2), np.zeros(2), np.zeros(3)), AssertionError),
    ("pos_from_lla", (np.zeros((1, 1)),) * 3, AssertionError),
    ("surf_pos_of_ray_first_intersection", (np.zeros((1, 3)), np.ones(3)), AssertionError),
    ("surf_pos_of_ray_first_intersection", (np.zeros(4), np.ones(3)), AssertionError),
    ("surf_pos_of_ray_first_intersection", (np.zeros(3), np.ones(4)), AssertionError),
    ("surf_pos_of_ray_first_intersection", (np.zeros(3), np.ones((2, 2))), AssertionError),
    ("aer_coords", (np.zeros(4), 0.0, 0.0, 0.0), AssertionError),
    ("aer_coords", (np.zeros((2, 2)), 0.0, 0.0, 0.0), AssertionError),
    ("aer_coords", ([1.0, 2.0, 3.0], 0.0, 0.0, 0.0), AttributeError),
    ("aer_coords", ([1.0, 2.0, 3.0], "x", 0.0, 0.0), TypeError),  # observer first
]


@pytest.mark.parametrize("name, args, error", SHAPE_FAILURES)
def test_shape_rules(e, name, args, error):
    with pytest.raises(error) as info:
        getattr(e, name)(*args)
    if error is AssertionError:
        assert str(info.value) == ""
    assert traceback_names(info)[-1] == PREFIX + name


def test_without_assertions_shapes_are_not_checked():
    code = """
        import numpy as np
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
        e = Ellipsoid(2.0, 0.25)
        def attempt(f, *a):
            try:
                out = f(*a)
                return 'ok ' + repr(np.asarray(out).tolist())
            except Exception as ex:
                return type(ex).__name__
        R = np.array([[2.5, 0.0, 0.0, 9.0]])
        print(attempt(e.lla_from_pos, R))                       # extra column ignored
        print(attempt(e.lla_from_pos, np.zeros(2)))             # elements are not rows
        print(attempt(e.surf_coord_from_surf_pos, np.array([2.0, 0.0, 0.0, 5.0])))
        print(attempt(e.surf_coord_from_surf_pos, np.array([2.0, 0.0])))
        print(attempt(e.pos_from_lla, np.zeros(2), np.zeros(2), np.zeros(1)))
        print(attempt(e.pos_from_lla, np.zeros(1), np.zeros(2), np.ones(3)))
        print(attempt(e.enu, np.zeros((1, 1)), np.zeros((1, 1))))
        print(attempt(e.surf_pos_of_ray_first_intersection, [0.0, 0.0, 0.0], np.array([1, 0, 0, 7])))
        print(attempt(e.aer_coords, np.array([2.5, 0, 0, 1]), 0.0, 0.0, 0.0))
        print(attempt(e.solve_reduced_lat_equation, np.array(3.0)))
    """
    rc, out, err = run_python(code, "-O")
    assert rc == 0, err
    lines = out.splitlines()
    assert lines[0] == "ok [(0.0, 0.0, 0.5)]"
    assert lines[1] == "IndexError"
    assert lines[2] == "ok [(0.0, 0.0)]"
    assert lines[3] == "IndexError"
    assert lines[4] == "IndexError"
    assert lines[5].startswith("ok [[")
    assert lines[6] == "ValueError"
    assert lines[7] == "ok [-2.0, 0.0, 0.0]"  # from the centre: the side opposite u_ray
    assert lines[8].startswith("ok [(")
    assert lines[9] == "IndexError"


EMPTY = [
    ("reduced_lat_from_geodetic_lat", (np.zeros(0),), (0,), np.float64),
    ("enu", (np.zeros(0), np.zeros(0)), (0,), "ENU_dtype"),
    ("surf_pos_from_surf_coord", (np.zeros(0), np.zeros(0)), (0, 3), np.float64),
    ("surf_coord_from_surf_pos", (np.zeros((0, 3)),), (0,), "SurfCoord_dtype"),
    ("solve_reduced_lat_equation", (np.zeros((0, 3)),), (0,), np.float64),
    ("lla_from_pos", (np.zeros((0, 3)),), (0,), "LLA_dtype"),
    ("pos_from_lla", (np.zeros(0),) * 3, (0, 3), np.float64),
    ("surf_pos_of_ray_first_intersection", (R3, np.zeros((0, 3))), (0, 3), np.float64),
    ("aer_coords", (np.zeros((0, 3)), 0.1, 0.2, 0.3), (0,), "AER_dtype"),
]


@pytest.mark.parametrize("name, args, shape, dt", EMPTY)
def test_empty_inputs_give_empty_results(mod, probe, name, args, shape, dt):
    # The failing subclass raises from every kernel: an empty loop calls none.
    failing = probe.Failing(2.0, 0.25)
    probe.set_failing(
        "c_aer_coords" if name == "aer_coords" else "c_solve_reduced_lat_equation")
    for kernel in ("c_enu", "c_surf_pos_from_surf_coord", "c_surf_coord_from_surf_pos",
                   "c_lla_from_pos", "c_pos_from_lla", "c_surf_pos_of_ray_first_intersection"):
        if kernel.endswith(name):
            probe.set_failing(kernel)
    try:
        out = getattr(failing, name)(*args)
    finally:
        probe.set_failing("")
    assert out.shape == shape
    assert out.dtype == (getattr(mod, dt) if isinstance(dt, str) else dt)


def test_single_points_and_their_shapes(e, mod):
    assert type(e.solve_reduced_lat_equation(R3)) is float
    assert e.solve_reduced_lat_equation(R3[None]).shape == (1,)
    assert e.lla_from_pos(R3).shape == (1,) and e.lla_from_pos(R3[None]).shape == (1,)
    assert e.surf_coord_from_surf_pos(R3).shape == (1,)
    assert e.enu(0, 0).shape == (1,) and e.enu(0, 0).dtype == mod.ENU_dtype
    assert e.pos_from_lla(0, 0, 0).tolist() == [2.0, 0.0, 0.0]
    assert e.pos_from_lla(0, 0, 100.0).tolist() == [102.0, 0.0, 0.0]
    assert e.surf_pos_from_surf_coord(0, 0).tolist() == [2.0, 0.0, 0.0]
    assert e.aer_coords(R3, 0, 0, 0).shape == (1,)
    assert e.aer_coords(np.tile(R3, (3, 1)), 0, 0, 0).shape == (3,)
    assert e.surf_pos_of_ray_first_intersection(R3, -R3).shape == (3,)


def test_results_are_fresh_arrays(e):
    lat = np.linspace(-1, 1, 5)
    for out, inputs in [
        (e.surf_pos_from_surf_coord(lat, lat), [lat]),
        (e.pos_from_lla(lat, lat, lat), [lat]),
        (e.surf_pos_of_ray_first_intersection(R3, -R3), [R3]),
        (e.reduced_lat_from_geodetic_lat(lat), [lat]),
    ]:
        assert out.flags.writeable and out.flags.c_contiguous
        assert not any(np.shares_memory(out, x) for x in inputs)


@pytest.mark.parametrize("kind", ["int", "strided", "readonly", "subclass"])
def test_any_numeric_layout_reads_the_same(e, kind):
    lat = np.array([0.0, 1.0, -1.0, 0.0])
    lon = np.array([1.0, 0.0, 2.0, -3.0])
    alt = np.array([0.0, 1.0, 2.0, -1.0])
    r = e.pos_from_lla(lat, lon, alt)

    def convert(a):
        if kind == "int":
            return a.astype(np.int64)
        if kind == "strided":
            b = np.zeros((a.shape[0], 2) + a.shape[1:])
            b[:, 0] = a
            return b[:, 0]
        if kind == "readonly":
            b = a.copy()
            b.flags.writeable = False
            return b
        return slow(a)

    def expect(f, r_or_lat, *rest):
        return f(r_or_lat.astype(np.int64) if kind == "int" else r_or_lat,
                 *(x.astype(np.int64) if kind == "int" and isinstance(x, np.ndarray) else x
                   for x in rest))
    assert same(e.pos_from_lla(convert(lat), convert(lon), convert(alt)),
                expect(e.pos_from_lla, lat, lon, alt))
    assert same(e.lla_from_pos(convert(r)), expect(e.lla_from_pos, r))
    assert same(e.enu(convert(lat), convert(lon)), expect(e.enu, lat, lon))
    assert same(e.aer_coords(convert(r), 0.1, 0.2, 0.3), expect(e.aer_coords, r, 0.1, 0.2, 0.3))


def test_shape_read_again_cannot_overrun_the_result(e):
    class Growing(np.ndarray):
        """Reports one more row every time its shape is read."""

        reads = 0

        @property
        def shape(self):
            Growing.reads += 1
            return (super().shape[0] + Growing.reads, 3)

    r = np.tile(R3, (4, 1)).view(Growing)
    with pytest.raises(IndexError):
        e.lla_from_pos(r)
