"""The benchmarks, run as modules from the top of the repository (``python -m bench.methods``;
see bench/README.md), and the adapters and workload that tests/test_peer_agreement.py checks.

Nothing here ships in the wheel: the package is only importable from the repository root, where
``python -m`` puts the working directory on the path and pytest's ``pythonpath`` puts the root.
"""
