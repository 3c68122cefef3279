"""One adapter per peer library, and a hand-written NumPy expression where no peer offers the
operation.

Each adapter module has the same parts:

- ``MODULE`` and ``DIST``: the module it imports and its distribution (``None`` for NumPy);
- ``OPS`` and ``ONE_POINT``: the methods it offers on arrays, and on one point (with a
  description of the call);
- ``calls(Re, f)``: method name -> builder; a builder takes (workload, n) and returns a callable
  of no arguments computing the operation on the first n points in the peer's own natural form
  (inputs prepared outside the call, outputs not repacked);
- ``fields(op, out)``: the output as named arrays comparable with the module's results;
- ``one_point(Re, f, workload)``: method name -> (function, args, kwargs) of the peer's
  one-point calls described in ``ONE_POINT``.

The peer is imported when a call is built, not with the adapter.
"""
