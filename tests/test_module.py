"""Import, module attributes, the type's face and pickling refusal."""

import copy
import numbers
import pickle
import sys

import numpy as np
import pytest
from helpers import METHODS, PREFIX, run_python, traceback_names

import quorvane.datamodel as dm


def test_module_attributes(mod):
    assert mod.numpy is np
    assert mod.Real is numbers.Real
    assert mod.__test__ == {}
    for name in ("SurfCoord_dtype", "LLA_dtype", "ENU_dtype", "AER_dtype"):
        assert getattr(mod, name) is getattr(dm, name)
    assert mod.Ellipsoid.__module__ == "quorvane.mathtools.ellipsoid.ellipsoid"
    assert mod.__builtins__ is __builtins__ or mod.__builtins__.__name__ == "builtins"
    assert sys.modules["quorvane.mathtools.ellipsoid.ellipsoid"] is mod
    # Filled from the ModuleSpec the import machinery passes in.
    assert mod.__name__ == mod.__spec__.name == "quorvane.mathtools.ellipsoid.ellipsoid"
    assert mod.__loader__ is mod.__spec__.loader
    assert mod.__file__ == mod.__spec__.origin and mod.__file__.endswith(".so")
    assert mod.__package__ == "quorvane.mathtools.ellipsoid"
    assert not hasattr(mod, "__path__")


def test_reimport_gives_the_same_module():
    code = """
        import importlib, sys
        import quorvane.mathtools.ellipsoid.ellipsoid as a
        E = a.Ellipsoid
        del sys.modules['quorvane.mathtools.ellipsoid.ellipsoid']
        b = importlib.import_module('quorvane.mathtools.ellipsoid.ellipsoid')
        assert b is a and b.Ellipsoid is E
        print('same')
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip() == "same"


def test_optimised_interpreter_turns_assertions_off():
    code = """
        import numpy as np
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
        e = Ellipsoid(-1.0, 2.0)
        print(e.Re, e.f, e.Rp)
        print(Ellipsoid(2.0, 0.25).lla_from_pos(np.array([[2.0, 0.0, 0.0, 99.0]]))['alt'][0])
    """
    rc, out, err = run_python(code, "-O")
    assert rc == 0, err
    assert out.split() == ["-1.0", "2.0", "1.0", "0.0"]


def test_failed_import_is_retried_and_names_the_init_entry():
    # A vector module without __pyx_capi__ makes the import fail; once the
    # real module is back, a second import succeeds with a new module object.
    code = """
        import sys, types, traceback
        import quorvane.mathtools.vectools.vectools as real
        sys.modules['quorvane.mathtools.vectools.vectools'] = types.ModuleType('fake')
        try:
            import quorvane.mathtools.ellipsoid.ellipsoid
        except AttributeError as ex:
            names = [f.name for f in traceback.extract_tb(ex.__traceback__)]
            print('init quorvane.mathtools.ellipsoid.ellipsoid' in names)
        sys.modules['quorvane.mathtools.vectools.vectools'] = real
        import quorvane.mathtools.ellipsoid.ellipsoid as m
        print(m.Ellipsoid(1.0, 0.0).Rp)
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.split() == ["True", "1.0"]


@pytest.mark.parametrize(
    "capi, error",
    [
        ("{}", ("ImportError: quorvane.mathtools.vectools.vectools does not export expected C"
               " function scale")),
        ("dict(real, dot=real['norm'])",
         ("TypeError: C function quorvane.mathtools.vectools.vectools.dot has wrong signature"
         " (expected double (double *, double *), got double (double *))")),
        ("{k: v for k, v in real.items() if k != 'norm'}",
         ("ImportError: quorvane.mathtools.vectools.vectools does not export expected C"
         " function norm")),
    ],
)
def test_vector_routines_are_bound_by_name_and_signature(capi, error):
    code = f"""
        import sys, types
        import quorvane.mathtools.vectools.vectools as v
        real = v.__pyx_capi__
        fake = types.ModuleType('quorvane.mathtools.vectools.vectools')
        fake.__pyx_capi__ = {capi}
        sys.modules['quorvane.mathtools.vectools.vectools'] = fake
        try:
            import quorvane.mathtools.ellipsoid.ellipsoid
        except Exception as ex:
            print(type(ex).__name__ + ': ' + str(ex))
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip() == error


def test_numpy_c_api_failure_is_an_import_error():
    code = """
        import sys
        import numpy._core._multiarray_umath as core
        api = core._ARRAY_API
        core._ARRAY_API = 'not a capsule'
        try:
            import quorvane.mathtools.ellipsoid.ellipsoid
        except ImportError as ex:
            print(str(ex).startswith('numpy.core.multiarray failed to import'))
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip() == "True"


def test_type_face(mod):
    E = mod.Ellipsoid
    assert E.__doc__.splitlines()[0] == "Ellipsoid(double Re, double f) -> None"
    assert E.__qualname__ == "Ellipsoid"
    assert not hasattr(mod, "_TypedView")
    e = E(2.0, 0.25)
    with pytest.raises(AttributeError):
        e.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(e)
    assert hash(e) == object.__hash__(e) and e != E(2.0, 0.25)
    assert not __import__("gc").is_tracked(e)
    capsule = E.__dict__["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert "NULL" in repr(capsule)
    defined = [n for n in E.__dict__ if n in METHODS]
    assert defined == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_objects(mod, name):
    E = mod.Ellipsoid
    f = E.__dict__[name]
    annotations = METHODS[name].annotations
    arguments = ", ".join(f"{p}: {t}" for p, t in annotations.items() if p != "return")
    signature = f"Ellipsoid.{name}(self, {arguments}) -> {annotations['return']}"
    assert f.__name__ == name
    assert f.__qualname__ == "Ellipsoid." + name
    assert f.__module__ == "quorvane.mathtools.ellipsoid.ellipsoid"
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)
    doc = f.__doc__
    assert doc.splitlines()[0] == signature
    for section in ("Parameters", "Returns", "Notes", "See Also"):
        assert section + "\n" in doc
    assert getattr(E, name) is f
    e = E(1.0, 0.0)
    bound = getattr(e, name)
    assert bound.__self__ is e and bound.__func__ is f


def test_construction_holds_its_keyword_values(mod):
    """Re.__float__ empties the keyword dictionary, the only holder of f, and
    reuses the memory: f must still be alive when it is converted."""
    import gc

    class F:
        def __float__(self):
            return 0.25

    class Evil:
        def __float__(self):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and referrer.get("Re") is self:
                    referrer.clear()
            [F() for _ in range(100)]
            return 2.0

    E = mod.Ellipsoid
    e = E(1.0, 0.5)
    for _ in range(5):
        assert E.__new__(E, Re=Evil(), f=F()).f == 0.25
        e.__init__(Re=Evil(), f=F())
        # A call hands the same dictionary, emptied, on to __init__.
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 2 positional"):
            E(Re=Evil(), f=F())


@pytest.mark.parametrize(
    "action",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda e: e.__reduce__(), lambda e: e.__setstate__(1)],
)
def test_pickling_is_refused(e, action):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        action(e)


def test_pickling_methods_check_their_arguments(e):
    with pytest.raises(TypeError, match=r"^__reduce__\(\) takes exactly 0 positional arguments"
                                        r" \(1 given\)$"):
        e.__reduce__(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        e.__reduce__(x=1)
    with pytest.raises(TypeError, match=r"^__setstate__\(\) takes exactly 1 positional argument"
                                        r" \(0 given\)$") as info:
        e.__setstate__()
    assert PREFIX + "__setstate__" in traceback_names(info)


def test_python_subclass_keeps_the_kernels(mod):
    class Mine(mod.Ellipsoid):
        pass

    m = Mine(6378137.0, 1 / 298.257223563)
    e = mod.Ellipsoid(6378137.0, 1 / 298.257223563)
    r = e.pos_from_lla(np.array([0.3, -1.0]), np.array([0.2, 2.0]), np.array([10.0, 5e5]))
    assert np.array_equal(m.pos_from_lla(np.array([0.3, -1.0]), np.array([0.2, 2.0]),
                                         np.array([10.0, 5e5])), r)
    assert np.array_equal(m.lla_from_pos(r), e.lla_from_pos(r))
    assert np.array_equal(m.aer_coords(r, 0.1, 0.2, 3.0), e.aer_coords(r, 0.1, 0.2, 3.0))
    with pytest.raises(TypeError):
        pickle.dumps(m)
    with pytest.raises(AttributeError):
        m.Re = 1.0
    with pytest.raises(TypeError, match="takes exactly 2"):
        Mine(1.0)


@pytest.mark.parametrize(
    "patch, error",
    [
        ("numpy.flatiter = 1", "TypeError: numpy.flatiter is not a type object"),
        ("numpy.ndarray = type('Small', (), {'__slots__': ()})",
         "ValueError: numpy.ndarray size changed, may indicate binary incompatibility. Expected"),
        ("import numbers; del numbers.Real", "ImportError"),
        ("import quorvane.datamodel as d; del d.ENU_dtype", "ImportError"),
        ("import builtins; del builtins.OverflowError",
         "NameError: name 'OverflowError' is not defined"),
    ],
)
def test_import_checks_the_types_and_names_it_needs(patch, error):
    code = f"""
        import numpy
        {patch}
        try:
            import quorvane.mathtools.ellipsoid.ellipsoid
        except Exception as ex:
            print(type(ex).__name__ + ': ' + str(ex))
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip().startswith(error)


def test_the_distribution_ships_the_public_headers_and_no_sources():
    from importlib.metadata import files

    shipped = {str(p) for p in files("quorvane-ellipsoid") if ".dist-info" not in str(p)}
    headers = {p for p in shipped if p.endswith((".h", ".hpp"))}
    assert headers == {
        "quorvane/datamodel/structured.h",
        "quorvane/mathtools/ellipsoid/ellipsoid.h",
        "quorvane/mathtools/vectools/vectools.h",
    }
    assert not [p for p in shipped if p.endswith((".cpp", ".cc", "CMakeLists.txt"))]
