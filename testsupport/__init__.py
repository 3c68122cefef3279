"""What the tests and the benchmarks share, and nothing the package ships.

- ``reference``: the kernels' formulas evaluated in Python, bit for bit, and the 60-digit truth;
- ``geodesic_truth``: the geodesics' 40-digit truth; ``geodesic_truth_data`` its stored sets
  (``data/geodesic-truth.npz``) and the bound stated for each;
- ``workload``: the points the benchmarks time and the agreement tests check;
- ``ours_adapter``, ``floor_adapter`` (with ``floor.cpp``) and ``peers``: the calls timed by
  ``bench.methods``, whose agreement tests/test_peer_agreement.py checks.

Imported from the top of the repository: pytest puts it on the path (``pythonpath`` in
pyproject.toml), and ``python -m bench.<name>`` runs from there. Benchmarks import this package;
tests never import ``bench``.
"""
