"""Runnable examples (``python examples/quickstart.py``), importable as the
package ``examples`` from the repository's root by the tests and benchmarks."""
