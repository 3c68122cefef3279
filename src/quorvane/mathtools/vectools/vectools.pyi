"""Type stubs of the compiled module ``quorvane.mathtools.vectools.vectools``.

The module has no Python-callable routines: it exports its 3-vector routines (``scale``,
``add``, ``sub``, ``dot``, ``norm``) to compiled modules as capsules whose names are the
routines' C signatures.
"""

from types import CapsuleType

__pyx_capi__: dict[str, CapsuleType]
