"""Tables as pandas DataFrames and xarray Datasets (optional extras).

A table is a dict of numpy columns of one length. Each becomes a DataFrame
(a column each, dtypes as they are: uint64 stays uint64, datetime64[ns] and
object columns too) or a Dataset along the dimension "packet" (or "row" for a
child table), with the table's first datetime64 column as a coordinate.
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


def table_to_pandas(table: Mapping[str, Any]) -> Any:
    """One table as a pandas DataFrame."""
    pandas = _needs("pandas", "pandas", "to_pandas()")
    columns: dict[str, Any] = {}
    for name, column in table.items():
        values = np.asarray(column)
        parts = (
            {f"{name}[{k}]": values[:, k] for k in range(values.shape[1])}
            if values.ndim == 2
            else {name: values}
        )
        for label, part in parts.items():
            # The dtype named: pandas would read an object column of str (and
            # None) as its own string type, None becoming NaN.
            columns[label] = pandas.Series(part, dtype=part.dtype, copy=False)
    return pandas.DataFrame(columns, copy=False)


def table_to_xarray(table: Mapping[str, Any], dimension: str = "packet") -> Any:
    """One table as an xarray Dataset along ``dimension``; its first
    datetime64 column, if it has one, a coordinate along it."""
    xarray = _needs("xarray", "xarray", "to_xarray()")
    variables: dict[str, Any] = {}
    time = None
    for name, column in table.items():
        values = np.asarray(column)
        dims: tuple[str, ...] = (dimension,)
        if values.ndim == 2:
            dims = (dimension, f"{name}_index")
        variables[name] = (dims, values)
        if time is None and values.ndim == 1 and values.dtype.kind == "M":
            time = name
    dataset = xarray.Dataset(variables)
    return dataset.set_coords(time) if time is not None else dataset


def tables_to_pandas(tables: Mapping[Any, Mapping[str, Any]]) -> dict[Any, Any]:
    return {key: table_to_pandas(table) for key, table in tables.items()}


def tables_to_xarray(tables: Mapping[Any, Mapping[str, Any]]) -> dict[Any, Any]:
    return {
        key: table_to_xarray(table, "row" if isinstance(key, str) and "/" in key else "packet")
        for key, table in tables.items()
    }
