"""Typed views over the results: layout checks with their messages, and the
record converters reachable from a returned array."""

import types

import numpy as np
import pytest
from helpers import PREFIX, same, traceback_names

F8 = np.float64


def dtype(fields, **extra):
    return np.dtype(fields, **extra)


# Result dtypes NumPy can make, each rebound in the module, with the message its
# first allocation must fail with.
LLA_CASES = [
    (dtype([("a", F8), ("b", F8), ("c", F8), ("d", F8)]),
     "Buffer dtype mismatch, expected end but got 'double'"),
    (dtype([("a", F8), ("b", np.float32), ("c", F8)]),
     "Buffer dtype mismatch, expected 'double' but got 'float' in 'LLA.lon'"),
    (dtype([("a", np.int64), ("b", F8), ("c", F8)]),
     "Buffer dtype mismatch, expected 'double' but got 'long' in 'LLA.lat'"),
    (dtype([("a", F8), ("b", F8), ("c", object)]),
     "Buffer dtype mismatch, expected 'double' but got Python object in 'LLA.alt'"),
    (dtype([("a", F8), ("b", F8)]),
     "Buffer dtype mismatch, expected 'double' but got end in 'LLA.alt'"),
    (dtype({"names": ["a", "b", "c"], "formats": [F8] * 3, "offsets": [0, 16, 24],
            "itemsize": 32}),
     "Buffer dtype mismatch; next field is at offset 16 but 8 expected"),
    (dtype({"names": ["a", "b", "c"], "formats": [F8] * 3, "offsets": [0, 8, 16],
            "itemsize": 32}),
     "Item size of buffer (32 bytes) does not match size of 'LLA' (24 bytes)"),
    (dtype([("a", ">f8"), ("b", ">f8"), ("c", ">f8")]),
     "Big-endian buffer not supported on little-endian compiler"),
    (dtype([("a", np.longdouble), ("b", F8)]),
     "Buffer dtype mismatch, expected 'double' but got 'long double' in 'LLA.lat'"),
    (dtype([("a", F8), ("b", F8), ("c", np.complex128)]),
     "Buffer dtype mismatch, expected 'double' but got 'complex double' in 'LLA.alt'"),
    (dtype([("a", F8, (2,)), ("b", F8)]), "Expected 0 dimension(s), got 1"),
    (dtype([("a", "S8"), ("b", F8), ("c", F8)]),
     "Does not understand character buffer dtype format string ('s')"),
    (np.dtype(np.float16), "Unexpected format string character: 'e'"),
    (np.dtype(F8), "Buffer dtype mismatch, expected 'double' but got end in 'LLA.lon'"),
]


@pytest.mark.parametrize("bad, message", LLA_CASES, ids=range(len(LLA_CASES)))
def test_lla_dtype_layouts_are_checked_before_any_kernel(mod, e, monkeypatch, bad, message):
    monkeypatch.setattr(mod, "LLA_dtype", bad)
    for r in (np.array([2.0, 0.0, 0.0]), np.zeros((4, 3))):
        with pytest.raises(ValueError) as info:
            e.lla_from_pos(r)
        assert str(info.value) == message
        assert traceback_names(info)[-1] == PREFIX + "lla_from_pos"


ENU_CASES = [
    (dtype([(c, F8) for c in "abcdefghi"]), "Expected 1 dimension(s), got 0"),
    (dtype([("e", F8, (2,)), ("n", F8, (3,)), ("u", F8, (3,)), ("x", F8)]),
     "Expected a dimension of size 3, got 2"),
    (dtype([("e", F8, (3, 1)), ("n", F8, (3,)), ("u", F8, (3,))]),
     "Expected 1 dimension(s), got 2"),
    (dtype([("e", ">f8", (3,)), ("n", F8, (3,)), ("u", F8, (3,))]),
     "Big-endian buffer not supported on little-endian compiler"),
    (dtype([("e", F8, (3,)), ("n", np.float32, (3,)), ("u", F8, (3,))]),
     "Buffer dtype mismatch, expected 'double' but got 'float' in 'ENU_Frame.u_north'"),
]


@pytest.mark.parametrize("bad, message", ENU_CASES, ids=range(len(ENU_CASES)))
def test_enu_dtype_layouts(mod, e, monkeypatch, bad, message):
    monkeypatch.setattr(mod, "ENU_dtype", bad)
    with pytest.raises(ValueError, match="^" + __import__("re").escape(message) + "$"):
        e.enu(0.1, 0.2)


def test_renamed_and_nested_layouts_are_accepted(mod, e, monkeypatch):
    renamed = dtype([("x", F8), ("y", F8), ("z", F8)])
    monkeypatch.setattr(mod, "LLA_dtype", renamed)
    lla = e.lla_from_pos(np.array([[2.5, 0.0, 0.0]]))
    assert lla.dtype == renamed
    assert lla.tolist() == [(0.0, 0.0, 0.5)]
    nested = dtype([("x", F8), ("yz", [("y", F8), ("z", F8)])])
    monkeypatch.setattr(mod, "LLA_dtype", nested)
    assert e.lla_from_pos(np.array([2.5, 0.0, 0.0])).dtype == nested


def test_surfcoord_accepts_a_complex_double(mod, e, monkeypatch):
    monkeypatch.setattr(mod, "SurfCoord_dtype", np.complex128)
    out = e.surf_coord_from_surf_pos(np.array([0.0, 2.0, 0.0]))
    assert out.dtype == np.complex128
    assert out[0] == complex(0.0, np.pi / 2)
    monkeypatch.setattr(mod, "LLA_dtype", dtype([("c", np.complex128), ("alt", F8)]))
    with pytest.raises(ValueError, match="'complex double' in 'LLA.lat'"):
        e.lla_from_pos(np.array([2.0, 0.0, 0.0]))


@pytest.mark.parametrize(
    "x, message",
    [
        (np.array(0.5), "Buffer has wrong number of dimensions (expected 1, got 0)"),
        (np.zeros((2, 2)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (np.arange(3), "Buffer dtype mismatch, expected 'double' but got 'long'"),
        (np.zeros(3, np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
        (np.zeros(3, object), "Buffer dtype mismatch, expected 'double' but got Python object"),
        (np.zeros(3, np.uint8), "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
        (np.zeros(3, bool), "Buffer dtype mismatch, expected 'double' but got 'bool'"),
        (np.zeros(3, np.complex128),
         "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
        (np.zeros(3, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
        ([1, 2], "Buffer dtype mismatch, expected 'double' but got 'long'"),
        (np.zeros(3, np.float16), "Unexpected format string character: 'e'"),
    ],
)
def test_vector_view_of_the_latitude_methods(e, x, message):
    for method in (e.reduced_lat_from_geodetic_lat, e.geodetic_lat_from_reduced_lat):
        with pytest.raises(ValueError) as info:
            method(x)
        assert str(info.value) == message


# Format strings NumPy never writes, through an exporter that takes any string
# (tests/native): numpy.zeros is replaced for the call.
RAW_CASES = [
    ("Td", 8, "Buffer acquisition: Expected '{' after 'T'"),
    ("(3)(3)d", 8, "Cannot handle repeated arrays in format string"),
    ("(3)2d", 8, "Cannot handle repeated arrays in format string"),
    ("(3x)d", 8, "Expected a comma in format string, got 'x'"),
    ("(3", 8, "Unexpected end of format string, expected ')'"),
    ("T{d", 8, "unparsable format string"),
    ("=g", 16, "Python does not define a standard format string size for long double ('g').."),
    ("<g", 16, "Python does not define a standard format string size for long double ('g').."),
    ("!d", 8, "Big-endian buffer not supported on little-endian compiler"),
    ("?", 1, "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    ("d", 4, "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"),
    ("B", 1, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    ("P", 8, "Buffer dtype mismatch, expected 'double' but got a pointer"),
    ("w", 8, "Unexpected format string character: 'w'"),
]


def fake_numpy(probe, fmt, itemsize, indirect=False):
    def zeros(shape, dtype):
        n = shape if isinstance(shape, int) else shape[0]
        return probe.FormatBuffer(fmt, itemsize, (n,), indirect)

    return types.SimpleNamespace(zeros=zeros, double=np.double, asarray=np.asarray)


@pytest.mark.parametrize("fmt, itemsize, message", RAW_CASES)
def test_format_strings_no_numpy_array_has(mod, e, probe, monkeypatch, fmt, itemsize, message):
    monkeypatch.setattr(mod, "numpy", fake_numpy(probe, fmt, itemsize))
    with pytest.raises(ValueError) as info:
        e.solve_reduced_lat_equation(np.zeros((2, 3)))
    assert str(info.value) == message


def test_indirect_buffers_are_refused(mod, e, probe, monkeypatch):
    monkeypatch.setattr(mod, "numpy", fake_numpy(probe, "d", 8, indirect=True))
    with pytest.raises(ValueError, match=r"^Buffer not compatible with direct access in dimension"
                                         r" 0\.$"):
        e.solve_reduced_lat_equation(np.zeros((2, 3)))
    # An empty buffer has no element to reach indirectly.
    assert e.solve_reduced_lat_equation(np.zeros((0, 3))).shape == (0,)


def test_a_raw_exporter_that_matches_is_written_through(mod, e, probe, monkeypatch):
    monkeypatch.setattr(mod, "numpy", fake_numpy(probe, "<d", 8))
    out = e.solve_reduced_lat_equation(np.array([[0.0, 0.0, 3.0], [3.0, 0.0, 0.0]]))
    assert out.tolist() == [np.pi / 2, 0.0]


# -- Record converters ------------------------------------------------------------


def record_view(result):
    """The typed view a result was made from: its base (or the exporter of its
    base, when NumPy made the array from the view's buffer)."""
    view = result.base
    if isinstance(view, memoryview):
        view = view.obj
    assert type(view).__name__ == "_TypedView"
    return view


def test_results_share_the_allocated_memory_and_keep_the_view(e):
    lla = e.lla_from_pos(np.array([[2.5, 0.0, 0.0], [0.0, 0.0, 3.0]]))
    view = record_view(lla)
    assert view[0] == {"lat": 0.0, "lon": 0.0, "alt": 0.5}
    view[1] = {"lat": 1.0, "lon": 2.0, "alt": 3.0}
    assert lla[1].tolist() == (1.0, 2.0, 3.0)
    assert lla.flags.writeable and lla.flags.c_contiguous


def test_record_to_item_and_back(e):
    enu = e.enu(np.array([0.0, 0.5]), np.array([0.0, 0.1]))
    view = record_view(enu)
    item = view[0]
    assert list(item) == ["u_east", "u_north", "u_up"]
    assert all(type(v) is list and len(v) == 3 for v in item.values())
    assert item["u_up"] == [1.0, 0.0, 0.0]
    view[1] = {"u_east": (1, 2, 3), "u_north": iter([4.0, 5.0, 6.0]), "u_up": np.ones(3)}
    assert enu[1]["u_north"].tolist() == [4.0, 5.0, 6.0]
    aer = e.aer_coords(np.array([3.0, 0.0, 0.0]), 0.0, 0.0, 0.0)
    assert list(record_view(aer)[0]) == ["azimuth", "elevation", "range"]
    surf = e.surf_coord_from_surf_pos(np.array([2.0, 0.0, 0.0]))
    assert record_view(surf)[-1] == {"lat": 0.0, "lon": 0.0}


def test_record_converters_of_misaligned_results(mod, e, monkeypatch):
    """A replaced numpy.zeros may hand over results one byte off alignment (test_fastpath):
    the view's converters read and write them there too."""

    def zeros(shape, dtype):
        n = shape if isinstance(shape, int) else shape[0]
        size = np.dtype(dtype).itemsize * n
        return np.frombuffer(bytearray(size + 1), dtype, n, offset=1)

    fake = types.SimpleNamespace(zeros=zeros, double=np.double, asarray=np.asarray)
    fake.zeros_like = lambda x: zeros(x.shape, x.dtype)
    monkeypatch.setattr(mod, "numpy", fake)
    enu = e.enu(np.array([0.0, 0.5]), np.array([0.0, 0.1]))
    assert enu.__array_interface__["data"][0] % 8 != 0
    view = record_view(enu)
    assert view[0]["u_up"] == [1.0, 0.0, 0.0]
    view[1] = {"u_east": (1, 2, 3), "u_north": (4, 5, 6), "u_up": (7, 8, 9)}
    assert enu[1]["u_north"].tolist() == [4.0, 5.0, 6.0]
    lat = e.reduced_lat_from_geodetic_lat(np.array([0.0, 0.5]))
    assert not lat.flags.aligned
    view = record_view(lat)
    view[1] = 0.25
    assert view[1] == 0.25 == lat[1]


class Mapping:
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def keys(self):
        return self.data.keys()


@pytest.mark.parametrize(
    "item, error, message",
    [
        ({"lat": 1.0, "lon": 2.0}, ValueError, "No value specified for struct attribute 'alt'"),
        (Mapping({"lon": 2.0}), ValueError, "No value specified for struct attribute 'lat'"),
        (5, TypeError, "Expected a mapping, got int"),
        ([1.0, 2.0, 3.0], TypeError, "list indices must be integers or slices, not str"),
        ({"lat": 1.0, "lon": "x", "alt": 3.0}, TypeError, "must be real number, not str"),
        ({"lat": 1.0, "lon": None, "alt": 3.0}, TypeError, "must be real number, not NoneType"),
    ],
)
def test_failed_assignment_leaves_the_record(e, item, error, message):
    lla = e.lla_from_pos(np.array([2.5, 0.0, 0.0]))
    view = record_view(lla)
    before = lla.copy()
    with pytest.raises(error, match=message) as info:
        view[0] = item
    assert np.array_equal(lla, before)
    if "No value" in message:
        assert isinstance(info.value.__context__, KeyError)


@pytest.mark.parametrize(
    "u_east, message",
    [
        ([1.0, 2.0, 3.0, 4.0], "too many values found during array assignment, expected 3"),
        ([1.0, 2.0], "not enough values found during array assignment, expected 3, got 2"),
        (iter([1.0] * 5), "too many values found during array assignment, expected 3"),
        ((x for x in [1.0]), "not enough values found during array assignment, expected 3, got 1"),
    ],
)
def test_enu_members_take_exactly_three(e, u_east, message):
    enu = e.enu(0.0, 0.0)
    view = record_view(enu)
    before = enu.copy()
    with pytest.raises(IndexError, match=message):
        view[0] = {"u_east": u_east, "u_north": [0, 0, 0], "u_up": [0, 0, 0]}
    assert np.array_equal(enu, before)


def test_view_indexing_is_bounds_checked(e):
    view = record_view(e.lla_from_pos(np.zeros((2, 3)) + [3.0, 0.0, 0.0]))
    with pytest.raises(IndexError):
        view[2]
    assert view[-1]["lon"] == 0.0
    matrix = record_view(e.pos_from_lla(np.zeros(2), np.zeros(2), np.zeros(2)))
    assert matrix[1, 0] == 2.0
    with pytest.raises(IndexError):
        matrix[0, 3]


def test_results_follow_a_rebound_or_renamed_record_dtype(monkeypatch):
    """The layout verified for a record dtype is remembered per dtype object:
    a rebound module global, a renamed dtype and one of another layout each
    get the full check, and every result carries the dtype it was made with."""
    import quorvane.mathtools.ellipsoid.ellipsoid as module

    e = module.Ellipsoid(6378137.0, 1 / 298.257223563)
    r = np.array([4.0e6, 3.0e6, 3.5e6])
    expected = e.lla_from_pos(r)
    other = np.dtype([("p", "<f8"), ("q", "<f8"), ("s", "<f8")])
    monkeypatch.setattr(module, "LLA_dtype", other)
    for names in [("p", "q", "s"), ("x", "y", "z")]:
        other.names = names
        for _ in range(2):  # checked in full, then taken from what was verified
            result = e.lla_from_pos(r)
            assert result.dtype.names == names
            assert result.tobytes() == expected.tobytes()
    monkeypatch.setattr(module, "LLA_dtype", np.dtype([("p", "<f8"), ("q", "<f8")]))
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        e.lla_from_pos(r)
    monkeypatch.undo()
    assert same(e.lla_from_pos(r), expected)
