"""Tables as pandas DataFrames and xarray Datasets (optional extras).

A table is a dict of numpy columns of one length. Each becomes a DataFrame
(a column each, dtypes as they are: uint64 stays uint64, datetime64[ns] and
object columns too) or a Dataset along the dimension "packet" (or "row" for a
child table), with the table's time fields (datetime64 columns of items that
derive a time) as coordinates.
A two-dimensional column (an array of fixed count per packet) becomes the
columns NAME[0], NAME[1], ... of a DataFrame, and one variable with a second
dimension NAME_index in a Dataset. xarray reads None in an object column (an
enumeration's raw value without a label) as NaN, its missing value, where
its inference runs.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np


def _needs(module: str, extra: str, what: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        raise ImportError(
            f"{what} needs {module}: pip install 'bitloom-packets[{extra}]'"
        ) from None


def table_to_pandas(table: Mapping[str, Any], categorical: Mapping[str, Any] | None = None) -> Any:
    """One table as a pandas DataFrame; the columns ``categorical`` names hold
    codes, which become categoricals of the dtype it gives them (code -1 a
    missing value)."""
    pandas = _needs("pandas", "pandas", "to_pandas()")
    categorical = categorical or {}
    columns: dict[str, Any] = {}
    for name, column in table.items():
        values = np.asarray(column)
        parts = (
            {f"{name}[{k}]": values[:, k] for k in range(values.shape[1])}
            if values.ndim == 2
            else {name: values}
        )
        dtype = categorical.get(name)
        for label, part in parts.items():
            if dtype is not None:
                codes = pandas.Categorical.from_codes(part, dtype=dtype, validate=False)
                columns[label] = pandas.Series(codes, copy=False)
                continue
            # The dtype named: pandas would read an object column of str (and
            # None) as its own string type, None becoming NaN.
            columns[label] = pandas.Series(part, dtype=part.dtype, copy=False)
    return pandas.DataFrame(columns, copy=False)


def table_to_xarray(
    table: Mapping[str, Any],
    dimension: str = "packet",
    times: tuple[str, ...] = (),
    coordinates: Mapping[str, Any] | None = None,
) -> Any:
    """One table as an xarray Dataset along ``dimension``: its columns
    ``times`` (datetime64) coordinates along it, and ``coordinates`` (name:
    values along it) added as coordinates too."""
    xarray = _needs("xarray", "xarray", "to_xarray()")
    variables: dict[str, Any] = {}
    for name, column in table.items():
        values = np.asarray(column)
        dims: tuple[str, ...] = (dimension,)
        if values.ndim == 2:
            dims = (dimension, f"{name}_index")
        variables[name] = (dims, values)
    dataset = xarray.Dataset(variables)
    if coordinates:
        dataset = dataset.assign_coords({n: (dimension, v) for n, v in coordinates.items()})
    return dataset.set_coords(list(times)) if times else dataset


def _length(table: Mapping[str, Any]) -> int:
    return len(next(iter(table.values()))) if table else 0


def tables_to_pandas(
    tables: Mapping[Any, Mapping[str, Any]],
    categorical: Mapping[Any, Mapping[str, Any]] | None = None,
) -> dict[Any, Any]:
    """Every table as a DataFrame; ``categorical`` gives each table's columns
    of codes (as ``table_to_pandas`` takes them)."""
    categorical = categorical or {}
    return {key: table_to_pandas(table, categorical.get(key)) for key, table in tables.items()}


def tables_to_xarray(
    tables: Mapping[Any, Mapping[str, Any]],
    times: Mapping[str, tuple[str, ...]] | None = None,
    first_rows: Mapping[str, int] | None = None,
) -> dict[Any, Any]:
    """Every table as a Dataset by the same keys; a child table ("TYPE/ITEM",
    whose column ``packet`` is the row of its packet in TYPE's table, counted
    from ``first_rows[TYPE]``) along "row", with TYPE's time fields at those
    rows as coordinates (where the child table has no column of the same
    name)."""
    times = times or {}
    first_rows = first_rows or {}
    datasets: dict[Any, Any] = {}
    for key, table in tables.items():
        if not (isinstance(key, str) and "/" in key):
            datasets[key] = table_to_xarray(table, "packet", times.get(key, ()))
            continue
        parent = key.split("/", 1)[0]
        inherited: dict[str, Any] = {}
        wanted = [name for name in times.get(parent, ()) if name not in table]
        if wanted:
            rows = np.asarray(table["packet"]) - first_rows.get(parent, 0)
            if len(rows) and (rows.min() < 0 or rows.max() >= _length(tables[parent])):
                raise ValueError(
                    f"table {key!r}: its packet column names rows that table {parent!r} lacks"
                )
            inherited = {name: np.asarray(tables[parent][name])[rows] for name in wanted}
        datasets[key] = table_to_xarray(table, "row", times.get(key, ()), inherited)
    return datasets
