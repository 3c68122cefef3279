"""The benchmarks, run as modules from the top of the repository (``python -m bench.methods``;
see bench/README.md).

Nothing here ships in the wheel, and the tests never import it: what tests and benchmarks share
(the references, the truth sets, the workload and the adapters timed by bench.methods) is the
``testsupport`` package beside it.
"""
