"""The test suite, a package so that its modules import shared helpers as
``tests.support``: pytest puts the directory above ``tests/`` on sys.path, and
the benchmarks run as modules from the repository's root (``python -m
bench.bench_bulk``), where the same import works."""
