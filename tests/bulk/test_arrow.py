"""Tables exported through the Arrow PyCapsule interface, checked against
pyarrow's own conversion of the same numpy columns (and polars' reading of
both), with the zero-copy columns' buffers compared by address."""

from __future__ import annotations

import ctypes
import gc
import sys
import threading
import weakref

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk import Definitions, PacketType, Table, field
from tests.support import streams

pa = pytest.importorskip("pyarrow")
try:
    import polars as pl
except ImportError:  # the polars checks are skipped
    pl = None

NUMERIC = ["u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", "f2", "f4", "f8"]


def random_table(rows, seed=0):
    """A Table of every dtype that exports, random values, missing ones included."""
    rng = np.random.default_rng(seed)
    cols = {}
    for dt in NUMERIC:
        if dt[0] == "f":
            cols[dt] = rng.standard_normal(rows).astype(dt)
        else:
            cols[dt] = np.frombuffer(rng.bytes(rows * int(dt[1])), dtype=dt).copy()
    cols["S5"] = np.frombuffer(rng.bytes(rows * 5), dtype="S5").copy()
    cols["bool"] = rng.random(rows) < 0.5
    words = np.array(["", "a", "zz", "é€", "\U0001f680x", None], dtype=object)
    cols["str"] = words[rng.integers(0, len(words), rows)]
    blobs = np.array([b"", b"\x00", b"ab\xff", None], dtype=object)
    cols["bytes"] = blobs[rng.integers(0, len(blobs), rows)]
    cols["grid"] = rng.integers(-1000, 1000, (rows, 3)).astype(np.int16)
    times = rng.integers(0, 2**62, rows).astype("M8[ns]")
    times[rng.random(rows) < 0.1] = np.datetime64("NaT")
    cols["time"] = times
    cols["span"] = rng.integers(-(2**40), 2**40, rows).astype("m8[us]")
    return Table(cols)


def expected(column):
    """pyarrow's own array of a numpy column, of the type the export promises."""
    if not column.dtype.isnative:
        column = column.astype(column.dtype.newbyteorder("="))
    if column.ndim == 2:
        flat = expected(np.ascontiguousarray(column).reshape(-1))
        return pa.FixedSizeListArray.from_arrays(flat, column.shape[1])
    if column.dtype.kind == "S":
        n, raw = column.dtype.itemsize, column.tobytes()  # tolist() drops trailing NULs
        return pa.array([raw[i : i + n] for i in range(0, len(raw), n)], pa.binary(n))
    if column.dtype == object:
        found = [v for v in column if v is not None]
        kind = pa.binary() if found and isinstance(found[0], bytes) else pa.string()
        return pa.array(column.tolist(), kind)
    return pa.array(column)  # NaT is a null here too


def expected_table(table):
    return pa.table({name: expected(col) for name, col in table.items()})


def data_address(array):
    """The address of the data buffer of an Arrow array (of its values for a list)."""
    if pa.types.is_fixed_size_list(array.type):
        array = array.values
    return array.buffers()[1].address


def numpy_address(column):
    return column.__array_interface__["data"][0]


# Each: how a consumer reads the table.
READERS = {
    "stream": lambda t: pa.RecordBatchReader.from_stream(t).read_all(),
    "pa.table": lambda t: pa.table(t.as_arrow()),
    "pa.record_batch": lambda t: pa.Table.from_batches([pa.record_batch(t.as_arrow())]),
    "pa.array": lambda t: pa.Table.from_struct_array(pa.array(t)),
}
ZERO_COPY = [*NUMERIC, "S5", "grid", "time", "span"]


@pytest.mark.parametrize("reader", list(READERS))
@pytest.mark.parametrize("rows", [0, 1, 9, 1000])
def test_every_dtype_goes_to_arrow_as_pyarrow_converts_it(reader, rows):
    table = random_table(rows, seed=rows)
    got = READERS[reader](table)
    want = expected_table(table)
    assert got.schema == want.schema
    assert got.equals(want)
    assert pa.schema(table) == want.schema
    if rows:
        for name in ZERO_COPY:
            assert data_address(got.column(name).chunks[0]) == numpy_address(table[name]), name


def test_a_million_rows_go_over_once():
    table = random_table(1_000_000, seed=7)
    got = pa.RecordBatchReader.from_stream(table).read_all()
    assert got.equals(expected_table(table))
    for name in ZERO_COPY:
        assert data_address(got.column(name).chunks[0]) == numpy_address(table[name])


@pytest.mark.skipif(pl is None, reason="needs polars")
@pytest.mark.parametrize("rows", [0, 50])
def test_polars_reads_the_export_as_it_reads_pyarrows_table(rows):
    table = random_table(rows, seed=3)
    frame = pl.DataFrame(table.as_arrow())
    assert frame.equals(pl.from_arrow(expected_table(table)))
    assert frame.columns == list(table)


def test_columns_that_are_not_contiguous_or_native_are_copied_right():
    base = np.arange(40, dtype=np.int32)
    table = Table(
        step=base[::2],
        back=base[::-2],
        big=base[:20].astype(">u4"),
        fortran=np.asfortranarray(base.reshape(20, 2).astype(np.float64)),
        flags=(base[::2] % 3 == 0),
        words=np.array(["x", None] * 20, dtype=object)[::2],
        big_time=base[:20].astype(">M8[ms]"),
    )
    got = READERS["stream"](table)
    assert got.equals(expected_table(table))
    # Strided and byte-swapped columns are copies, not views of the numpy memory.
    assert data_address(got.column("step").chunks[0]) != numpy_address(table["step"])


def test_a_stream_yields_one_batch_and_a_schema_each_time_asked():
    table = random_table(5)
    capsule = table.__arrow_c_stream__()
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(capsule, b"arrow_array_stream")
    schema, array = table.__arrow_c_array__()
    assert is_valid(schema, b"arrow_schema") and is_valid(array, b"arrow_array")
    assert is_valid(table.__arrow_c_schema__(), b"arrow_schema")
    reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
    assert reader.schema == reader.schema == expected_table(table).schema
    batch = reader.read_next_batch()
    assert batch.num_rows == 5
    with pytest.raises(StopIteration):
        reader.read_next_batch()


def test_requested_schemas_are_not_applied():
    table = Table(a=np.arange(3, dtype=np.uint8))
    other = pa.schema([("a", pa.int64())])
    got = pa.RecordBatchReader.from_stream(table, schema=None).read_all()
    assert got.schema.field("a").type == pa.uint8()
    assert pa.table(table.as_arrow(), schema=other).schema == other  # pyarrow casts itself


def _one_column_exports():
    """Ways of taking an export and dropping it: the column must be freed after."""
    return {
        "arrow table": lambda t: pa.table(t.as_arrow()),
        "stream capsule unread": lambda t: t.__arrow_c_stream__(),
        "array capsules unread": lambda t: t.__arrow_c_array__(),
        "struct array": lambda t: pa.array(t),
        "child of a 2-D column": lambda t: pa.array(t).field("a").values,
    }


@pytest.mark.parametrize("export", list(_one_column_exports()))
def test_an_export_keeps_its_column_alive_until_released(export):
    column = np.arange(12, dtype=np.int64).reshape(6, 2)
    gone = weakref.ref(column)
    table = Table(a=column)
    held = _one_column_exports()[export](table)
    del table, column
    gc.collect()
    assert gone() is not None
    if isinstance(held, pa.Array) and not pa.types.is_struct(held.type):
        assert held.to_pylist() == list(range(12))
    del held
    gc.collect()
    assert gone() is None


def test_a_release_without_the_gil_from_another_thread_frees_the_column():
    column = np.arange(5, dtype=np.uint16)
    gone = weakref.ref(column)
    capsule = Table(a=column).__arrow_c_stream__()
    del column
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    stream = get_pointer(capsule, b"arrow_array_stream")
    # ArrowArrayStream: get_schema, get_next, get_last_error, release, private_data.
    slots = (ctypes.c_void_p * 5).from_address(stream)
    release = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(slots[3])
    # A ctypes call lets go of the GIL: the callback takes it back itself.
    worker = threading.Thread(target=release, args=(stream,))
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive()
    assert slots[3] is None  # released: the capsule only frees the struct now
    gc.collect()
    assert gone() is None
    del capsule


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_a_thousand_exports_leak_neither_references_nor_memory():
    rows = 100_000
    words = np.array([f"w{i % 97}" for i in range(rows)], dtype=object)
    table = Table(
        n=np.arange(rows, dtype=np.uint32),
        flags=np.ones(rows, dtype=bool),
        words=words,
        grid=np.zeros((rows, 2), dtype=np.uint8),
    )
    counts = {name: sys.getrefcount(col) for name, col in table.items()}
    word = words[5]
    word_count = sys.getrefcount(word)
    for _ in range(20):  # warm-up: pyarrow's pools reach their size
        pa.RecordBatchReader.from_stream(table).read_all()
    gc.collect()
    before = _rss_bytes()
    for _ in range(1000):
        pa.RecordBatchReader.from_stream(table).read_all()
        table.__arrow_c_array__()
    gc.collect()
    grown = _rss_bytes() - before
    # A leaked bool or text buffer alone would be 1000 x 12 kB or 1000 x 200 kB.
    assert grown < 8_000_000, grown
    assert {name: sys.getrefcount(col) for name, col in table.items()} == counts
    assert sys.getrefcount(word) == word_count


# Each: the columns, the exception type, words its message holds.
REFUSED = [
    ({"c": np.zeros(2, dtype=complex)}, TypeError, ["'c'", "complex128", "no Arrow export"]),
    ({"u": np.array(["ab"])}, TypeError, ["'u'", "<U2"]),
    ({"r": np.zeros(2, dtype="i4,f4")}, TypeError, ["'r'", "no Arrow export"]),
    ({"d": np.zeros(2, dtype="M8[D]")}, TypeError, ["'d'", "datetime64[D]"]),
    ({"o": np.array(["a", 3], dtype=object)}, TypeError, ["'o'", "a int at element 1"]),
    ({"m": np.array([None, b"a", "b"], dtype=object)}, TypeError, ["'m'", "mixes", "element 2"]),
    ({"l": [1, 2]}, TypeError, ["column 'l' is a list, not a numpy array"]),
    ({"s": np.array(5)}, TypeError, ["column 's' is a 0-dimensional array"]),
    ({"a": np.zeros(2), "b": np.zeros(3)}, ValueError, ["'a' has 2 rows", "'b' has 3"]),
    ({1: np.zeros(2)}, TypeError, ["must be str, not int"]),
    ({"x\0y": np.zeros(2)}, ValueError, ["NUL"]),
    ({"e": np.array(["\ud800"], dtype=object)}, UnicodeEncodeError, ["surrogates"]),
]


@pytest.mark.parametrize(("columns", "error", "words"), REFUSED)
@pytest.mark.parametrize(
    "method", ["__arrow_c_stream__", "__arrow_c_array__", "__arrow_c_schema__"]
)
def test_columns_without_an_arrow_type_are_refused_by_name(columns, error, words, method):
    table = Table(columns)
    with pytest.raises(error) as caught:
        getattr(table, method)()
    text = str(caught.value) + " ".join(getattr(caught.value, "__notes__", []))
    for word in words:
        assert word in text


# ---- the tables bitloom_bulk returns --------------------------------------------------

RECIPE = [
    field("count", "unsigned", 16),
    field("level", "twos_complement", 12),
    field("flag", "unsigned", 1),
    field("pad", "unsigned", 3),
    field("volts", "ieee754_f32", 32),
    field("name", "utf8", 24),
]


def _same_export(table):
    assert isinstance(table, Table)
    got = pa.RecordBatchReader.from_stream(table).read_all()
    assert got.equals(expected_table(table))
    for name, column in table.items():
        if column.dtype != object and column.dtype != bool and len(column):
            assert data_address(got.column(name).chunks[0]) == numpy_address(column), name


@pytest.mark.parametrize("text", ["object", "bytes"])
def test_unpack_columns_and_unpack_ccsds_tables_export(text):
    rng = np.random.default_rng(5)
    body = rng.integers(0x41, 0x5B, (50, 11), dtype=np.uint8)
    _same_export(bb.unpack_columns(body.tobytes(), RECIPE, packet_bytes=11, text=text))
    data = streams.stream([1, 2, 1, 1, 2], [20, 20, 20, 20, 20], rng)
    recipe = [*bb.ccsds.PRIMARY_HEADER, *RECIPE[:5]]
    found = bb.unpack_ccsds(data, {1: recipe, 2: recipe, 3: recipe}, text=text)
    assert [len(found[a]["count"]) for a in (1, 2, 3)] == [3, 2, 0]
    for apid_table in found.values():
        _same_export(apid_table)


def test_definition_tables_and_child_tables_export():
    kind = field("kind", "unsigned", 8, enumeration={1: "one", 2: "two"})
    items = [
        kind,
        field("grid", "unsigned", 8, count=3),
        field("blob", "binary", 16),
        field("n", "unsigned", 8),
        field("xs", "unsigned", 8, count={"field": "n"}),
    ]
    defs = Definitions([PacketType("t", items)])
    rng = np.random.default_rng(2)
    packets = []
    for i in range(30):
        n = int(rng.integers(0, 5))
        grid = bytes(rng.integers(0, 256, 3, dtype=np.uint8))
        packets.append(bytes([1 + i % 3]) + grid + b"xy" + bytes([n, *range(n)]) + bytes(4 - n))
    decoded = defs.decode(b"".join(packets), packet_bytes=11, errors="skip")
    assert set(decoded) == {"t", "t/xs"}
    assert None in list(decoded["t"]["kind"])  # raw value 3 has no label
    assert decoded["t"]["grid"].ndim == 2
    for table in decoded.values():
        _same_export(table)
    got = pa.table(decoded["t"].as_arrow())
    assert got.schema.field("kind").type == pa.string()
    assert got.schema.field("blob").type == pa.binary()
    assert got.schema.field("grid").type == pa.list_(pa.uint8(), 3)
