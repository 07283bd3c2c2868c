// Hand-written column decoders for two fixed layouts, the yardstick of
// bitloom_bulk.unpack_columns: every offset, width and output type a constant,
// one loop over the packets, the outputs made by numpy.empty as bitloom makes
// them (through the Python API, the element address through the buffer
// protocol) and filled with the GIL released.
//
//   telemetry(data) -> dict   the 12-field telemetry recipe, 19-byte packets
//   jpss(data) -> dict        the JPSS attitude/ephemeris layout (primary
//                             header and 20 fields), 71-byte packets
//
// Each returns the columns under the recipe's names with bitloom's dtypes
// (the narrowest unsigned or signed type of the width, float64 for the
// floats). Built by bench/loop_helper.py for the running interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

PyObject* g_empty = nullptr;

inline std::uint16_t be16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return __builtin_bswap16(v);
}
inline std::uint32_t be32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline double f32(const std::uint8_t* p) {
    return static_cast<double>(std::bit_cast<float>(be32(p)));
}

struct Column {
    const char* name;
    const char* dtype;
};

// numpy.empty(count, dtype) for each column into the dict, and their element
// addresses into out[]. False with the error set.
template <std::size_t N>
bool make_columns(const Column (&cols)[N], Py_ssize_t count, PyObject* dict, void* (&out)[N]) {
    for (std::size_t j = 0; j < N; ++j) {
        PyObject* array = PyObject_CallFunction(g_empty, "ns", count, cols[j].dtype);
        if (array == nullptr) return false;
        const int set = PyDict_SetItemString(dict, cols[j].name, array);
        Py_buffer view;
        const int got = set < 0 ? -1 : PyObject_GetBuffer(array, &view, PyBUF_WRITABLE);
        Py_DECREF(array);  // the dict holds it
        if (got < 0) return false;
        out[j] = view.buf;
        PyBuffer_Release(&view);
    }
    return true;
}

// The packets of `data` (a C-contiguous buffer of whole packets of `size` bytes).
bool open_packets(PyObject* arg, Py_buffer& view, Py_ssize_t size, Py_ssize_t& count) {
    if (PyObject_GetBuffer(arg, &view, PyBUF_C_CONTIGUOUS) < 0) return false;
    if (view.len % size != 0) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "data is not whole packets of %zd bytes", size);
        return false;
    }
    count = view.len / size;
    return true;
}

constexpr Column kTelemetry[] = {
    {"version", "uint8"},     {"type", "uint8"},       {"sec_hdr", "uint8"}, {"apid", "uint16"},
    {"seq_flags", "uint8"},   {"seq_count", "uint16"}, {"length", "uint16"}, {"seconds", "uint32"},
    {"temperature", "int16"}, {"voltage", "float64"},  {"status", "uint8"},  {"current", "int16"},
};

PyObject* telemetry(PyObject*, PyObject* arg) {
    constexpr Py_ssize_t kSize = 19;
    Py_buffer view;
    Py_ssize_t n = 0;
    if (!open_packets(arg, view, kSize, n)) return nullptr;
    PyObject* dict = PyDict_New();
    void* out[12];
    if (dict == nullptr || !make_columns(kTelemetry, n, dict, out)) {
        Py_XDECREF(dict);
        PyBuffer_Release(&view);
        return nullptr;
    }
    auto* version = static_cast<std::uint8_t*>(out[0]);
    auto* type = static_cast<std::uint8_t*>(out[1]);
    auto* sec_hdr = static_cast<std::uint8_t*>(out[2]);
    auto* apid = static_cast<std::uint16_t*>(out[3]);
    auto* seq_flags = static_cast<std::uint8_t*>(out[4]);
    auto* seq_count = static_cast<std::uint16_t*>(out[5]);
    auto* length = static_cast<std::uint16_t*>(out[6]);
    auto* seconds = static_cast<std::uint32_t*>(out[7]);
    auto* temperature = static_cast<std::int16_t*>(out[8]);
    auto* voltage = static_cast<double*>(out[9]);
    auto* status = static_cast<std::uint8_t*>(out[10]);
    auto* current = static_cast<std::int16_t*>(out[11]);
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    Py_BEGIN_ALLOW_THREADS;
    for (Py_ssize_t p = 0; p < n; ++p) {
        const std::uint8_t* q = data + p * kSize;
        const std::uint16_t w0 = be16(q);
        const std::uint16_t w1 = be16(q + 2);
        version[p] = static_cast<std::uint8_t>(w0 >> 13);
        type[p] = static_cast<std::uint8_t>((w0 >> 12) & 1);
        sec_hdr[p] = static_cast<std::uint8_t>((w0 >> 11) & 1);
        apid[p] = static_cast<std::uint16_t>(w0 & 0x7FF);
        seq_flags[p] = static_cast<std::uint8_t>(w1 >> 14);
        seq_count[p] = static_cast<std::uint16_t>(w1 & 0x3FFF);
        length[p] = be16(q + 4);
        seconds[p] = be32(q + 6);
        temperature[p] = static_cast<std::int16_t>(be16(q + 10));
        voltage[p] = f32(q + 12);
        status[p] = q[16];
        current[p] = static_cast<std::int16_t>(be16(q + 17));
    }
    Py_END_ALLOW_THREADS;
    PyBuffer_Release(&view);
    return dict;
}

constexpr Column kJpss[] = {
    {"VERSION", "uint8"},     {"TYPE", "uint8"},        {"SEC_HDR_FLG", "uint8"},
    {"PKT_APID", "uint16"},   {"SEQ_FLGS", "uint8"},    {"SRC_SEQ_CTR", "uint16"},
    {"PKT_LEN", "uint16"},    {"DOY", "uint16"},        {"MSEC", "uint32"},
    {"USEC", "uint16"},       {"ADAESCID", "uint8"},    {"ADAET1DAY", "uint16"},
    {"ADAET1MS", "uint32"},   {"ADAET1US", "uint16"},   {"ADGPSPOSX", "float64"},
    {"ADGPSPOSY", "float64"}, {"ADGPSPOSZ", "float64"}, {"ADGPSVELX", "float64"},
    {"ADGPSVELY", "float64"}, {"ADGPSVELZ", "float64"}, {"ADAET2DAY", "uint16"},
    {"ADAET2MS", "uint32"},   {"ADAET2US", "uint16"},   {"ADCFAQ1", "float64"},
    {"ADCFAQ2", "float64"},   {"ADCFAQ3", "float64"},   {"ADCFAQ4", "float64"},
};

PyObject* jpss(PyObject*, PyObject* arg) {
    constexpr Py_ssize_t kSize = 71;
    Py_buffer view;
    Py_ssize_t n = 0;
    if (!open_packets(arg, view, kSize, n)) return nullptr;
    PyObject* dict = PyDict_New();
    void* out[27];
    if (dict == nullptr || !make_columns(kJpss, n, dict, out)) {
        Py_XDECREF(dict);
        PyBuffer_Release(&view);
        return nullptr;
    }
    auto u8 = [&](int j) { return static_cast<std::uint8_t*>(out[j]); };
    auto u16 = [&](int j) { return static_cast<std::uint16_t*>(out[j]); };
    auto u32 = [&](int j) { return static_cast<std::uint32_t*>(out[j]); };
    auto f64 = [&](int j) { return static_cast<double*>(out[j]); };
    std::uint8_t *version = u8(0), *type = u8(1), *sec_hdr = u8(2), *seq_flags = u8(4),
                 *scid = u8(10);
    std::uint16_t *apid = u16(3), *seq_count = u16(5), *length = u16(6), *doy = u16(7),
                  *usec = u16(9), *t1day = u16(11), *t1us = u16(13), *t2day = u16(20),
                  *t2us = u16(22);
    std::uint32_t *msec = u32(8), *t1ms = u32(12), *t2ms = u32(21);
    double *posx = f64(14), *posy = f64(15), *posz = f64(16), *velx = f64(17), *vely = f64(18),
           *velz = f64(19), *q1 = f64(23), *q2 = f64(24), *q3 = f64(25), *q4 = f64(26);
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    Py_BEGIN_ALLOW_THREADS;
    for (Py_ssize_t p = 0; p < n; ++p) {
        const std::uint8_t* q = data + p * kSize;
        const std::uint16_t w0 = be16(q);
        const std::uint16_t w1 = be16(q + 2);
        version[p] = static_cast<std::uint8_t>(w0 >> 13);
        type[p] = static_cast<std::uint8_t>((w0 >> 12) & 1);
        sec_hdr[p] = static_cast<std::uint8_t>((w0 >> 11) & 1);
        apid[p] = static_cast<std::uint16_t>(w0 & 0x7FF);
        seq_flags[p] = static_cast<std::uint8_t>(w1 >> 14);
        seq_count[p] = static_cast<std::uint16_t>(w1 & 0x3FFF);
        length[p] = be16(q + 4);
        doy[p] = be16(q + 6);
        msec[p] = be32(q + 8);
        usec[p] = be16(q + 12);
        scid[p] = q[14];
        t1day[p] = be16(q + 15);
        t1ms[p] = be32(q + 17);
        t1us[p] = be16(q + 21);
        posx[p] = f32(q + 23);
        posy[p] = f32(q + 27);
        posz[p] = f32(q + 31);
        velx[p] = f32(q + 35);
        vely[p] = f32(q + 39);
        velz[p] = f32(q + 43);
        t2day[p] = be16(q + 47);
        t2ms[p] = be32(q + 49);
        t2us[p] = be16(q + 53);
        q1[p] = f32(q + 55);
        q2[p] = f32(q + 59);
        q3[p] = f32(q + 63);
        q4[p] = f32(q + 67);
    }
    Py_END_ALLOW_THREADS;
    PyBuffer_Release(&view);
    return dict;
}

PyMethodDef methods[] = {
    {"telemetry", telemetry, METH_O, nullptr},
    {"jpss", jpss, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT,
                      "bitloom_columns_loop",
                      nullptr,
                      -1,
                      methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_bitloom_columns_loop() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return nullptr;
    g_empty = PyObject_GetAttrString(numpy, "empty");
    Py_DECREF(numpy);
    if (g_empty == nullptr) return nullptr;
    return PyModule_Create(&module);
}
