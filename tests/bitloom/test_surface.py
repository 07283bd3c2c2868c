"""The module object: its 62 functions, their signatures, import rules and exports."""

import inspect
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import bitloom

V1 = "(value)"
V_ = "(_value)"
VB = "(value, bits)"
VBS = "(value, bits, signed=False)"
BY = "(bytes)"
TX = "(text)"

# Registration order, written out by hand from the function registry.
REGISTRY = [
    ("unpack_parameters", "(packet_bytes, offset_bits, recipe)"),
    ("pack_parameters", "(recipe)"),
    ("decode_ones_complement", VB),
    ("decode_twos_complement", VB),
    ("decode_sign_magnitude", VB),
    ("decode_unpacked_bcd", VBS),
    ("decode_packed_bcd", VBS),
    ("decode_ieee754_f16", V1),
    ("decode_ieee754_f32", V1),
    ("decode_ieee754_f64", V1),
    ("decode_ieee754_f128", V1),
    ("decode_ieee754_1985_f32", V_),
    ("decode_ieee754_1985_f64", V_),
    ("decode_ieee754_1985_f80", V_),
    ("decode_mil_std_1750a_f32", V_),
    ("decode_mil_std_1750a_f48", V_),
    ("decode_dec_f32", V_),
    ("decode_dec_f64", V_),
    ("decode_ibm_f32", V_),
    ("decode_ibm_f64", V_),
    ("decode_ti_f32", V_),
    ("decode_ti_f40", V_),
    ("decode_us_ascii", BY),
    ("decode_iso_8859_1", BY),
    ("decode_windows_1252", BY),
    ("decode_utf8", BY),
    ("decode_utf16", BY),
    ("decode_utf16le", BY),
    ("decode_utf16be", BY),
    ("decode_utf32", BY),
    ("decode_utf32le", BY),
    ("decode_utf32be", BY),
    ("encode_ones_complement", VB),
    ("encode_twos_complement", VB),
    ("encode_sign_magnitude", VB),
    ("encode_unpacked_bcd", VBS),
    ("encode_packed_bcd", VBS),
    ("encode_ieee754_f16", V1),
    ("encode_ieee754_f32", V1),
    ("encode_ieee754_f64", V1),
    ("encode_ieee754_f128", V_),
    ("encode_ieee754_1985_f32", V_),
    ("encode_ieee754_1985_f64", V_),
    ("encode_ieee754_1985_f80", V_),
    ("encode_mil_std_1750a_f32", V_),
    ("encode_mil_std_1750a_f48", V_),
    ("encode_dec_f32", V_),
    ("encode_dec_f64", V_),
    ("encode_ibm_f32", V_),
    ("encode_ibm_f64", V_),
    ("encode_ti_f32", V_),
    ("encode_ti_f40", V_),
    ("encode_us_ascii", TX),
    ("encode_iso_8859_1", TX),
    ("encode_windows_1252", TX),
    ("encode_utf8", TX),
    ("encode_utf16", TX),
    ("encode_utf16le", TX),
    ("encode_utf16be", TX),
    ("encode_utf32", TX),
    ("encode_utf32le", TX),
    ("encode_utf32be", TX),
]
NAMES = [name for name, _ in REGISTRY]


def test_all_lists_the_functions_in_registration_order():
    assert len(REGISTRY) == 62
    assert type(bitloom.__all__) is list
    assert bitloom.__all__ == NAMES


def test_module_doc_is_empty_string():
    assert bitloom.__doc__ == ""
    assert bitloom.__name__ == "bitloom"


def test_module_shows_only_functions_and_standard_dunders():
    standard = {
        "__all__",
        "__doc__",
        "__file__",
        "__loader__",
        "__name__",
        "__package__",
        "__spec__",
    }
    attrs = set(vars(bitloom))
    assert attrs - set(NAMES) <= standard
    assert not hasattr(bitloom, "PanicException")


@pytest.mark.parametrize(("name", "signature"), REGISTRY, ids=NAMES)
def test_function_entry(name, signature):
    f = getattr(bitloom, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__text_signature__ == signature
    assert f.__doc__ is None
    assert f.__module__ == "bitloom"
    assert f.__self__ is bitloom

    params = list(inspect.signature(f).parameters.values())
    assert "(" + ", ".join(map(str, params)) + ")" == signature
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if p.name == "signed":
            assert p.default is False
        else:
            assert p.default is inspect.Parameter.empty


def test_reimport_gives_the_same_module_and_functions():
    functions = [getattr(bitloom, n) for n in NAMES]
    del sys.modules["bitloom"]
    try:
        import bitloom as again
    finally:
        sys.modules["bitloom"] = bitloom
    assert again is bitloom
    assert [getattr(again, n) for n in NAMES] == functions
    assert all(getattr(again, n) is f for n, f in zip(NAMES, functions, strict=False))
    assert again.__all__ == NAMES


def test_only_the_init_symbol_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", bitloom.__file__], capture_output=True, text=True
    )
    if out.returncode != 0:
        pytest.skip("nm cannot read " + bitloom.__file__ + ": " + out.stderr)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_bitloom"]


# Runs in a fresh process: imports MODULE in the main interpreter (before the
# sub-interpreter when MAIN_FIRST, after it otherwise), then in a
# sub-interpreter, and prints what the sub-interpreter saw.
SUBINTERP_SCRIPT = textwrap.dedent(
    '''
    import importlib, os, sys, tempfile
    if MAIN_FIRST:
        importlib.import_module(MODULE)
    fd, path = tempfile.mkstemp()
    os.close(fd)
    code = """
    try:
        import %s
    except ImportError as e:
        r = "ImportError:" + str(e)
    except BaseException as e:
        r = "other:" + type(e).__name__ + ":" + str(e)
    else:
        r = "imported"
    with open(%r, "w") as f:
        f.write(r)
    """ % (MODULE, path)
    try:
        import _testcapi
        run = _testcapi.run_in_subinterp
    except (ImportError, AttributeError):
        try:
            import _interpreters as interp
        except ImportError:
            try:
                import _xxsubinterpreters as interp
            except ImportError:
                print("SKIP")
                sys.exit(0)
        def run(code):
            iid = interp.create()
            try:
                interp.run_string(iid, code)
            finally:
                interp.destroy(iid)
    run(code)
    with open(path) as f:
        print(f.read())
    os.unlink(path)
    # The main interpreter's module works afterwards, whichever came first.
    if MODULE == "bitloom":
        import bitloom
        assert bitloom.encode_twos_complement(-1, 8) == 255
    else:
        import bitloom_bulk
        assert bitloom_bulk.unpack_columns(b"\\x05", [bitloom_bulk.field("a", "unsigned", 8)],
                                           packet_bytes=1)["a"].tolist() == [5]
    '''
)


def run_subinterpreter_script(module, main_first):
    script = f"MODULE = {module!r}\nMAIN_FIRST = {main_first!r}\n" + SUBINTERP_SCRIPT
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )


def test_subinterpreter_import_raises_importerror():
    proc = run_subinterpreter_script("bitloom", main_first=True)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.strip()
    if out == "SKIP":
        pytest.skip("no sub-interpreter support in this interpreter")
    kind, _, message = out.partition(":")
    assert kind == "ImportError", out
    assert "sub-interpreter" in message.replace("subinterpreter", "sub-interpreter")
    assert "not support" in message


@pytest.mark.parametrize("main_first", [True, False])
def test_bulk_refuses_subinterpreters_without_locking_out_the_main_one(main_first):
    # numpy loads in one interpreter per process: a sub-interpreter that took
    # the module first would leave the main interpreter without it.
    proc = run_subinterpreter_script("bitloom_bulk", main_first)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.strip()
    if out == "SKIP":
        pytest.skip("no sub-interpreter support in this interpreter")
    ours = out.startswith("ImportError:bitloom_bulk can only be imported in the main interpreter")
    # Free-threaded builds refuse the single-phase bitloom module that
    # bitloom_bulk imports first, with CPython's own ImportError.
    theirs = out.startswith("ImportError:") and "does not support loading in subinterpreters" in out
    assert ours or (theirs and sysconfig.get_config_var("Py_GIL_DISABLED")), out
