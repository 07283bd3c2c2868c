"""Matching of arguments to parameters, the conversion rules and the argument prefix."""

import math
import operator
import struct
import sys

import pytest

import bitloom as bl
from tests.support.numbers import Index, f32_bits, f64_bits
from tests.support.outcomes import raised


class Raises:
    """__index__ and __float__ raise the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __index__


class TypeErrorSub(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def interpreter_error(f, obj):
    """The exception that the interpreter's own conversion raises for obj."""
    return raised(f, obj)


def assert_prefixed(exc, name, cause_text):
    """A TypeError 'argument {name}: ...' whose __cause__ is the original TypeError."""
    assert type(exc) is TypeError
    assert exc.args == (f"argument '{name}': {cause_text}",)
    assert type(exc.__cause__) is TypeError
    assert str(exc.__cause__) == cause_text


def assert_bare(exc, exc_type, text=None):
    """Raised unchanged: no prefix, no cause."""
    assert type(exc) is exc_type
    assert exc.__cause__ is None
    assert not str(exc).startswith("argument ")
    if text is not None:
        assert exc.args == (text,)


# ---- argument matching -------------------------------------------------------


@pytest.mark.parametrize(
    ("func", "args", "kwargs", "message"),
    [
        (
            bl.encode_utf8,
            ("a", "b"),
            {},
            "encode_utf8() takes 1 positional arguments but 2 were given",
        ),
        (
            bl.pack_parameters,
            ((), (), ()),
            {},
            "pack_parameters() takes 1 positional arguments but 3 were given",
        ),
        (
            bl.encode_twos_complement,
            (1, 2, 3),
            {},
            "encode_twos_complement() takes 2 positional arguments but 3 were given",
        ),
        (
            bl.unpack_parameters,
            (b"", 0, (), 1, 2),
            {},
            "unpack_parameters() takes 3 positional arguments but 5 were given",
        ),
        (
            bl.encode_packed_bcd,
            (1, 2, False, 4),
            {},
            "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            bl.decode_unpacked_bcd,
            (1, 2, False, 4, 5),
            {},
            "decode_unpacked_bcd() takes from 2 to 3 positional arguments but 5 were given",
        ),
        # too many positional is reported before any keyword problem
        (
            bl.encode_utf8,
            ("a", "b"),
            {"text": "c", "zzz": 1},
            "encode_utf8() takes 1 positional arguments but 2 were given",
        ),
        (
            bl.encode_utf8,
            (),
            {"text": "a", "mode": 1},
            "encode_utf8() got an unexpected keyword argument 'mode'",
        ),
        (bl.encode_utf8, (), {"é": 1}, "encode_utf8() got an unexpected keyword argument 'é'"),
        (
            bl.encode_utf8,
            (),
            {"Text": "a"},
            "encode_utf8() got an unexpected keyword argument 'Text'",
        ),
        (
            bl.encode_utf8,
            (),
            {"text\0": "a"},
            "encode_utf8() got an unexpected keyword argument 'text\0'",
        ),
        (
            bl.encode_utf8,
            ("a",),
            {"text": "b"},
            "encode_utf8() got multiple values for argument 'text'",
        ),
        (
            bl.decode_packed_bcd,
            (1, 8, True),
            {"signed": False},
            "decode_packed_bcd() got multiple values for argument 'signed'",
        ),
        # keywords are checked in the order given
        (
            bl.encode_utf8,
            ("a",),
            {"text": "b", "mode": 1},
            "encode_utf8() got multiple values for argument 'text'",
        ),
        (
            bl.encode_utf8,
            ("a",),
            {"mode": 1, "text": "b"},
            "encode_utf8() got an unexpected keyword argument 'mode'",
        ),
        # a keyword problem is reported before a missing parameter
        (
            bl.encode_packed_bcd,
            (),
            {"mode": 1},
            "encode_packed_bcd() got an unexpected keyword argument 'mode'",
        ),
        (bl.encode_utf8, (), {}, "encode_utf8() missing 1 required positional argument: 'text'"),
        (
            bl.decode_twos_complement,
            (),
            {},
            "decode_twos_complement() missing 2 required positional arguments: 'value' and 'bits'",
        ),
        (
            bl.decode_twos_complement,
            (),
            {"bits": 8},
            "decode_twos_complement() missing 1 required positional argument: 'value'",
        ),
        (
            bl.encode_packed_bcd,
            (),
            {"signed": True},
            "encode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'",
        ),
        (
            bl.encode_packed_bcd,
            (1,),
            {},
            "encode_packed_bcd() missing 1 required positional argument: 'bits'",
        ),
        (
            bl.unpack_parameters,
            (),
            {},
            "unpack_parameters() missing 3 required positional arguments: "
            "'packet_bytes', 'offset_bits', and 'recipe'",
        ),
        (
            bl.unpack_parameters,
            (),
            {"offset_bits": 0},
            "unpack_parameters() missing 2 required positional arguments: "
            "'packet_bytes' and 'recipe'",
        ),
        (
            bl.unpack_parameters,
            (b"",),
            {"recipe": ()},
            "unpack_parameters() missing 1 required positional argument: 'offset_bits'",
        ),
        # argument matching comes before any conversion
        (
            bl.decode_twos_complement,
            ("x",),
            {},
            "decode_twos_complement() missing 1 required positional argument: 'bits'",
        ),
    ],
)
def test_matching_errors(func, args, kwargs, message):
    exc = raised(func, *args, **kwargs)
    assert type(exc) is TypeError
    assert exc.args == (message,)
    assert exc.__cause__ is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: bl.decode_twos_complement(255, 8),
        lambda: bl.decode_twos_complement(value=255, bits=8),
        lambda: bl.decode_twos_complement(bits=8, value=255),
        lambda: bl.decode_twos_complement(255, bits=8),
    ],
)
def test_positional_and_keyword_forms_agree(call):
    assert call() == -1


def test_signed_defaults_to_false_and_accepts_keyword():
    assert bl.encode_packed_bcd(12, 8) == bl.encode_packed_bcd(12, 8, False)
    assert bl.encode_packed_bcd(12, 12, signed=True) == bl.encode_packed_bcd(12, 12, True)
    assert bl.encode_packed_bcd(12, 12, True) != bl.encode_packed_bcd(12, 12, False)


def test_conversion_stops_at_the_first_failure():
    seen = []

    class Spy:
        def __index__(self):
            seen.append(1)
            return 8

    exc = raised(bl.decode_twos_complement, 1.5, Spy())
    assert_prefixed(exc, "value", "'float' object cannot be interpreted as an integer")
    assert seen == []
    exc = raised(bl.decode_twos_complement, Spy(), 1.5)
    assert_prefixed(exc, "bits", "'float' object cannot be interpreted as an integer")
    assert seen == [1]


# ---- conversion rules: accepted objects ----------------------------------------


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    def __index__(self):  # never consulted for an int subclass
        raise AssertionError


class FloatSub(float):
    pass


class HasFloat:
    def __float__(self):
        return 2.5


def fake_numpy_type(name, module="numpy", body=None):
    return type(name, (), dict(body or {"__bool__": lambda self: True}, __module__=module))


FLT_MAX = struct.unpack("<f", bytes.fromhex("ffff7f7f"))[0]
# Exactly halfway between FLT_MAX and 2**128: ties to even round up to infinity.
FLT_HALFWAY = (FLT_MAX + 2.0**128) / 2


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        # text
        (lambda: bl.encode_utf8(StrSub("hé")), b"h\xc3\xa9"),
        (lambda: bl.encode_utf8(""), b""),
        # byte string
        (lambda: bl.decode_iso_8859_1(BytesSub(b"h\xe9")), "hé"),
        # signed 64-bit integer
        (lambda: bl.encode_twos_complement(Index(-1), 8), 255),
        (lambda: bl.encode_twos_complement(True, 8), 1),
        (lambda: bl.encode_twos_complement(-(2**63), 64), 2**63),
        (lambda: bl.encode_twos_complement(2**63 - 1, 64), 2**63 - 1),
        # unsigned 64-bit integer
        (lambda: bl.decode_twos_complement(Index(255), 8), -1),
        (lambda: bl.decode_twos_complement(IntSub(255), 8), -1),
        (lambda: bl.decode_twos_complement(True, 1), -1),
        (lambda: bl.decode_twos_complement(2**64 - 1, 64), -1),
        # unsigned 32-bit integer
        (lambda: bl.decode_twos_complement(255, Index(8)), -1),
        (lambda: bl.decode_twos_complement(255, IntSub(8)), -1),
        (lambda: bl.decode_twos_complement(2**64 - 1, 2**32 - 1), -1),
        # unsigned 128-bit integer
        (lambda: bl.decode_ieee754_f128(0x3FFF << 112), 1.0),
        (lambda: bl.decode_ieee754_f128(Index(0x3FFF << 112)), 1.0),
        (lambda: bl.decode_ieee754_f128(0xC000 << 112), -2.0),
        (lambda: bl.decode_ieee754_f128(2**128 - 1), math.nan),
        # double
        (lambda: bl.encode_ieee754_f64(1), f64_bits(1.0)),
        (lambda: bl.encode_ieee754_f64(True), f64_bits(1.0)),
        (lambda: bl.encode_ieee754_f64(FloatSub(-0.5)), f64_bits(-0.5)),
        (lambda: bl.encode_ieee754_f64(HasFloat()), f64_bits(2.5)),
        (lambda: bl.encode_ieee754_f64(Index(3)), f64_bits(3.0)),
        (lambda: bl.encode_ieee754_f64(2**1023), f64_bits(2.0**1023)),
        # single: rounded to nearest, beyond the range an infinity
        (lambda: bl.encode_ieee754_f32(1e39), 0x7F800000),
        (lambda: bl.encode_ieee754_f32(-1e39), 0xFF800000),
        (lambda: bl.encode_ieee754_f32(2**200), 0x7F800000),
        (lambda: bl.encode_ieee754_f32(FLT_HALFWAY), 0x7F800000),
        (lambda: bl.encode_ieee754_f32(math.nextafter(FLT_HALFWAY, 0)), 0x7F7FFFFF),
        (lambda: bl.encode_ieee754_f32(0.1), f32_bits(0.1)),
        (lambda: bl.encode_ieee754_f32(HasFloat()), f32_bits(2.5)),
        (lambda: bl.encode_ieee754_f32(1e-50), 0),
        # sequence
        (lambda: bl.pack_parameters(()), b""),
        (lambda: bl.pack_parameters([]), b""),
    ],
)
def test_accepted(call, expected):
    result = call()
    assert type(result) is type(expected)
    if isinstance(expected, float) and math.isnan(expected):
        assert math.isnan(result)
    else:
        assert result == expected


@pytest.mark.parametrize("type_name", ["bool_", "bool"])
@pytest.mark.parametrize("truth", [True, False])
def test_numpy_like_bool_is_read_by_its_truth(truth, type_name):
    fake = fake_numpy_type(type_name, body={"__bool__": lambda self: truth})()
    expected = bl.encode_packed_bcd(12, 12, truth)
    assert bl.encode_packed_bcd(12, 12, fake) == expected
    assert bl.decode_packed_bcd(expected, 12, fake) == 12
    assert bl.encode_packed_bcd(12, 12, signed=fake) == expected


def test_real_numpy_bool():
    np = pytest.importorskip("numpy")
    assert bl.encode_packed_bcd(12, 12, np.True_) == bl.encode_packed_bcd(12, 12, True)
    assert bl.encode_packed_bcd(12, 12, np.bool_(False)) == bl.encode_packed_bcd(12, 12, False)
    exc = raised(bl.encode_packed_bcd, 12, 12, np.int64(1))
    assert_prefixed(exc, "signed", "'int64' object cannot be cast as 'bool'")


# ---- conversion rules: refused objects -------------------------------------------


class Local:
    pass


@pytest.mark.parametrize(
    ("func", "args", "name", "message"),
    [
        (bl.encode_utf8, (5,), "text", "'int' object cannot be cast as 'str'"),
        (bl.encode_utf8, (b"x",), "text", "'bytes' object cannot be cast as 'str'"),
        (bl.encode_utf8, (Local(),), "text", "'Local' object cannot be cast as 'str'"),
        (bl.decode_utf8, ("x",), "bytes", "'str' object cannot be cast as 'bytes'"),
        (
            bl.decode_utf8,
            (bytearray(b"x"),),
            "bytes",
            "'bytearray' object cannot be cast as 'bytes'",
        ),
        (
            bl.decode_utf8,
            (memoryview(b"x"),),
            "bytes",
            "'memoryview' object cannot be cast as 'bytes'",
        ),
        (
            bl.unpack_parameters,
            (bytearray(), 0, ()),
            "packet_bytes",
            "'bytearray' object cannot be cast as 'bytes'",
        ),
        (bl.encode_packed_bcd, (12, 8, 1), "signed", "'int' object cannot be cast as 'bool'"),
        (bl.encode_packed_bcd, (12, 8, 0), "signed", "'int' object cannot be cast as 'bool'"),
        (
            bl.encode_packed_bcd,
            (12, 8, None),
            "signed",
            "'NoneType' object cannot be cast as 'bool'",
        ),
        (bl.decode_packed_bcd, (12, 8, "yes"), "signed", "'str' object cannot be cast as 'bool'"),
        (
            bl.encode_packed_bcd,
            (12, 8, fake_numpy_type("bool_", module="numpyx")()),
            "signed",
            "'bool_' object cannot be cast as 'bool'",
        ),
        (
            bl.encode_packed_bcd,
            (12, 8, fake_numpy_type("int8")()),
            "signed",
            "'int8' object cannot be cast as 'bool'",
        ),
        (bl.pack_parameters, ("ab",), "recipe", "Can't extract `str` to `Vec`"),
        (bl.pack_parameters, (StrSub(),), "recipe", "Can't extract `str` to `Vec`"),
        (bl.unpack_parameters, (b"", 0, "ab"), "recipe", "Can't extract `str` to `Vec`"),
        (bl.pack_parameters, ({},), "recipe", "'dict' object cannot be cast as 'Sequence'"),
        (bl.pack_parameters, (set(),), "recipe", "'set' object cannot be cast as 'Sequence'"),
        (
            bl.pack_parameters,
            ((x for x in ()),),
            "recipe",
            "'generator' object cannot be cast as 'Sequence'",
        ),
        (bl.pack_parameters, (5,), "recipe", "'int' object cannot be cast as 'Sequence'"),
    ],
)
def test_cast_errors(func, args, name, message):
    assert_prefixed(raised(func, *args), name, message)


def test_cast_error_uses_the_qualified_type_name():
    class Inner:
        pass

    exc = raised(bl.encode_utf8, Inner())
    assert_prefixed(exc, "text", f"'{Inner.__qualname__}' object cannot be cast as 'str'")
    assert "<locals>.Inner" in str(exc)


# The interpreter's own TypeErrors for non-numbers, prefixed with the parameter name.
@pytest.mark.parametrize(
    ("func", "args", "name", "obj", "reference"),
    [
        (bl.encode_twos_complement, (1.0, 8), "value", 1.0, operator.index),
        (bl.encode_twos_complement, ("1", 8), "value", "1", operator.index),
        (bl.decode_twos_complement, (1.0, 8), "value", 1.0, operator.index),
        (bl.decode_twos_complement, (None, 8), "value", None, operator.index),
        (bl.decode_twos_complement, (1, 8.0), "bits", 8.0, operator.index),
        (bl.decode_ieee754_f128, (1.5,), "value", 1.5, operator.index),
        (bl.unpack_parameters, (b"", 0.0, ()), "offset_bits", 0.0, operator.index),
        (bl.decode_dec_f32, ("x",), "_value", "x", operator.index),
        (bl.encode_ieee754_f64, ("1.0",), "value", "1.0", math.isnan),
        (bl.encode_ieee754_f32, (None,), "value", None, math.isnan),
        (bl.encode_dec_f32, ("x",), "_value", "x", math.isnan),
        (bl.encode_ieee754_f128, ("x",), "_value", "x", math.isnan),
    ],
)
def test_interpreter_type_errors_are_prefixed(func, args, name, obj, reference):
    expected = str(interpreter_error(reference, obj))
    assert_prefixed(raised(func, *args), name, expected)


@pytest.mark.parametrize(
    ("func", "args", "exc_type", "text"),
    [
        (bl.encode_twos_complement, (2**63, 64), OverflowError, None),
        (bl.encode_twos_complement, (-(2**63) - 1, 64), OverflowError, None),
        (bl.encode_twos_complement, (Index(2**63), 64), OverflowError, None),
        (bl.decode_twos_complement, (-1, 8), OverflowError, None),
        (bl.decode_twos_complement, (2**64, 8), OverflowError, None),
        (bl.decode_twos_complement, (Index(-1), 8), OverflowError, None),
        (bl.decode_twos_complement, (1, -1), OverflowError, None),
        (bl.decode_twos_complement, (1, 2**64), OverflowError, None),
        (
            bl.decode_twos_complement,
            (1, 2**32),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            bl.decode_twos_complement,
            (1, 2**64 - 1),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            bl.decode_twos_complement,
            (1, Index(2**32)),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            bl.unpack_parameters,
            (b"", 2**32, ()),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (bl.decode_ieee754_f128, (2**128,), OverflowError, "Python int larger than 128 bits"),
        (
            bl.decode_ieee754_f128,
            (Index(2**200),),
            OverflowError,
            "Python int larger than 128 bits",
        ),
        (bl.decode_ieee754_f128, (-1,), ValueError, None),
        (bl.decode_ieee754_f128, (Index(-(2**200)),), ValueError, None),
        (
            bl.encode_ieee754_f64,
            (2**1024,),
            OverflowError,
            str(interpreter_error(math.isnan, 2**1024)),
        ),
        (bl.encode_ieee754_f32, (-(2**1024),), OverflowError, None),
        (bl.encode_utf8, ("a\ud800",), UnicodeEncodeError, None),
        (bl.encode_utf8, (StrSub("\udfff"),), UnicodeEncodeError, None),
    ],
)
def test_other_conversion_errors_are_not_prefixed(func, args, exc_type, text):
    assert_bare(raised(func, *args), exc_type, text)


# ---- exceptions raised by the argument's own methods ------------------------------


class BadIter:
    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        raise self.exc


class NoLen:
    """An empty sequence whose length is unusable: only the iteration counts."""

    def __init__(self, exc=None, size=0):
        self.exc = exc
        self.size = size

    def __getitem__(self, i):
        raise IndexError

    def __len__(self):
        if self.exc is not None:
            raise self.exc
        return self.size


class FailsMidway:
    def __getitem__(self, i):
        if i == 0:
            return {}
        raise ValueError("at 1")


def raise_own_typeerror(self):
    raise TypeError("own")


@pytest.mark.parametrize(
    "seq", [NoLen(RuntimeError("no length")), NoLen(TypeError("no length")), NoLen(size=2**62)]
)
def test_length_only_reserves_room(seq):
    assert bl.pack_parameters(seq) == b""


@pytest.mark.parametrize(
    ("func", "args", "exc"),
    [
        (bl.encode_twos_complement, (Raises(ValueError("v")), 8), ValueError("v")),
        (bl.decode_twos_complement, (Raises(ZeroDivisionError("z")), 8), ZeroDivisionError("z")),
        (bl.decode_twos_complement, (1, Raises(KeyError("k"))), KeyError("k")),
        (bl.decode_ieee754_f128, (Raises(OverflowError("o")),), OverflowError("o")),
        (bl.encode_ieee754_f64, (Raises(ArithmeticError("a")),), ArithmeticError("a")),
        (bl.encode_twos_complement, (Raises(TypeErrorSub("sub")), 8), TypeErrorSub("sub")),
        (bl.decode_twos_complement, (Raises(TypeErrorSub("sub")), 8), TypeErrorSub("sub")),
        (bl.encode_ieee754_f32, (Raises(TypeErrorSub("sub")),), TypeErrorSub("sub")),
        (bl.pack_parameters, (BadIter(ValueError("it")),), ValueError("it")),
        (bl.pack_parameters, (BadIter(TypeErrorSub("it")),), TypeErrorSub("it")),
        (bl.pack_parameters, (FailsMidway(),), ValueError("at 1")),
        (
            bl.encode_packed_bcd,
            (1, 8, fake_numpy_type("bool_", body={"__bool__": lambda s: 1 / 0})()),
            ZeroDivisionError("division by zero"),
        ),
    ],
)
def test_exceptions_of_the_argument_pass_through(func, args, exc):
    got = raised(func, *args)
    assert type(got) is type(exc)
    assert got.args == exc.args
    assert got.__cause__ is None


@pytest.mark.parametrize(
    ("func", "args", "name"),
    [
        (bl.encode_twos_complement, (Raises(TypeError("own")), 8), "value"),
        (bl.decode_twos_complement, (1, Raises(TypeError("own"))), "bits"),
        (bl.decode_ieee754_f128, (Raises(TypeError("own")),), "value"),
        (bl.encode_ieee754_f64, (Raises(TypeError("own")),), "value"),
        (bl.pack_parameters, (BadIter(TypeError("own")),), "recipe"),
        (
            bl.encode_packed_bcd,
            (1, 8, fake_numpy_type("bool_", body={"__bool__": raise_own_typeerror})()),
            "signed",
        ),
    ],
)
def test_exact_typeerror_of_the_argument_is_prefixed(func, args, name):
    exc = raised(func, *args)
    assert_prefixed(exc, name, "own")


def test_unprintable_typeerror(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    original = TypeError(Unprintable())
    exc = raised(bl.decode_twos_complement, Raises(original), 8)
    assert type(exc) is TypeError
    assert exc.args == ("argument 'value': <unprintable TypeError object>",)
    assert exc.__cause__ is original
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert reports[0].object is original
