"""Helpers the tests and benchmarks share, each kept once.

Import the module that holds what you need (``from tests.support.items import
item``): this package imports nothing itself, so a test of ``bitloom_bulk``
alone never loads ``bitloom`` through it.
"""
