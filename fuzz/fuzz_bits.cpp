// Bit placement and extraction against a bit-by-bit model of the packet
// layout: position p is the bit of weight 0x80 >> (p % 8) in byte p / 8.
//
// Checked at random offsets and widths: mirror_bits, both read_bits, write_bits
// (word and general paths), clear_bits, copy_bits, the integer image built with
// word writes (vs the image rules), place_integer (vs the image placed bit by
// bit, and vs place_bytes of that image), place_bytes, the bounds test,
// field_raw_value and field_window. Packets are exactly sized heap blocks.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/bits.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

bool get_bit(const std::uint8_t* d, std::uint64_t p) { return (d[p / 8] >> (7 - p % 8)) & 1; }
void set_bit(std::uint8_t* d, std::uint64_t p, bool b) {
    const auto m = static_cast<std::uint8_t>(0x80 >> (p % 8));
    d[p / 8] = b ? (d[p / 8] | m) : (d[p / 8] & ~m);
}
bool bit_of(std::uint64_t v, std::uint64_t k) { return k < 64 && ((v >> k) & 1); }

// The integer image of a numeric field built with word writes: ceil(bits / 8)
// bytes holding the value right-aligned, big-endian; with `reverse_bits` the
// low `bits` bits of the value reversed first (bits above 63 count as 0). A
// second construction of the image, checked against the bit-by-bit model and
// then placed with place_bytes.
std::string encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse_bits) {
    const std::size_t n = (static_cast<std::size_t>(bits) + 7) / 8;
    std::string image(n, '\0');
    if (bits == 0) return image;
    auto* out = reinterpret_cast<std::uint8_t*>(image.data());
    const std::uint64_t limit = 8 * static_cast<std::uint64_t>(n);
    const std::uint64_t d = limit - bits;  // leading bits of the first byte above the field
    if (!reverse_bits) {
        // v = value, right-aligned; bits of v at or above 8n are dropped.
        const auto width = static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 64));
        write_bits(out, limit, limit - width, width, value);
    } else if (bits <= 64) {
        write_bits(out, limit, d, bits, mirror_bits(value, bits));
    } else {
        // The value's 64 bits mirrored fill the top 64 of the `bits` positions.
        write_bits(out, limit, d, 64, mirror_bits(value, 64));
    }
    return image;
}

// Width: mostly small, sometimes wide, now and then anything.
std::uint32_t pick_width(fuzz::Input& in) {
    const auto raw = in.take<std::uint32_t>();
    switch (raw >> 30) {
        case 0:
        case 1: return raw % 73;
        case 2: return raw % 700;
        default: return (raw & 0x3F) == 0 ? raw : raw % 2100;
    }
}

// Start: inside or just past a packet of `bytes` bytes, sometimes anywhere.
std::uint64_t pick_start(fuzz::Input& in, std::size_t bytes) {
    const auto raw = in.take<std::uint32_t>();
    if ((raw & 0xFF) == 0xFF) return raw;  // far away
    return raw % (8 * bytes + 80);
}

// Bit k (0 = least significant) of the number N that placement writes: the
// integer image of (value, bits, reverse), bytes reversed for little-endian.
struct ImageModel {
    std::uint64_t value;
    std::uint32_t bits;
    bool reverse;
    bool little;
    std::uint64_t n() const { return (static_cast<std::uint64_t>(bits) + 7) / 8; }
    bool v_bit(std::uint64_t m) const {
        if (!reverse) return bit_of(value, m);
        if (m >= bits) return false;
        return bit_of(value, bits - 1 - m);
    }
    bool image_bit(std::uint64_t k) const {  // of the (possibly reversed) image as a number
        if (k >= 8 * n()) return false;
        if (!little) return v_bit(k);
        return v_bit(8 * (n() - 1 - k / 8) + k % 8);
    }
    std::vector<std::uint8_t> big_endian_image() const {  // before any reversal
        std::vector<std::uint8_t> out(n());
        for (std::uint64_t i = 0; i < n(); ++i) {
            std::uint8_t b = 0;
            for (int j = 0; j < 8; ++j) b |= v_bit(8 * (n() - 1 - i) + j) << j;
            out[i] = b;
        }
        return out;
    }
};

// Place the low `bits` bits of a number given bit by bit, most significant first.
template <class Bit>
void model_place(std::uint8_t* packet, std::uint64_t limit, std::uint64_t start, std::uint32_t bits,
                 Bit bit) {
    for (std::uint64_t j = 0; j < bits; ++j) {
        if (start + j >= limit) break;
        set_bit(packet, start + j, bit(bits - 1 - j));
    }
}

void check_read_write(fuzz::Input& in, std::vector<std::uint8_t>& base) {
    const std::size_t size = base.size();
    // The limit may stop inside the last byte (the buffer holds ceil(limit / 8) bytes).
    const auto limit_sel = in.take<std::uint8_t>();
    const std::uint64_t limit = 8 * static_cast<std::uint64_t>(size) -
                                ((limit_sel & 0x80) ? (limit_sel & 7) : 0);
    const auto count = static_cast<std::uint32_t>(in.take<std::uint8_t>() % 65);
    const std::uint64_t start = size * 8 ? in.take<std::uint32_t>() % (8 * size + 16) : 0;
    const auto v = in.take<std::uint64_t>();

    // mirror_bits
    if (count > 0) {
        std::uint64_t m = 0;
        for (std::uint32_t k = 0; k < count; ++k)
            m |= static_cast<std::uint64_t>(bit_of(v, k)) << (count - 1 - k);
        FUZZ_CHECK(mirror_bits(v, count) == m, "mirror_bits(%llx, %u)", (unsigned long long)v,
                   count);
    }
    // read_bits, both forms, for fields inside the buffer
    if (start + count <= 8 * size) {
        std::uint64_t want = 0;
        for (std::uint32_t k = 0; k < count; ++k)
            want = (want << 1) | get_bit(base.data(), start + k);
        fuzz::ExactBuffer buf(size);
        std::copy(base.begin(), base.end(), buf.data());
        if (count == 0 || (start + count + 7) / 8 <= size) {
            FUZZ_CHECK(read_bits(buf.data(), start, count) == want, "read_bits start=%llu count=%u",
                       (unsigned long long)start, count);
        }
        FUZZ_CHECK(read_bits(buf.data(), size, start, count) == want,
                   "read_bits(size) start=%llu count=%u", (unsigned long long)start, count);
    }
    // write_bits / write_bits_general with a limit
    {
        fuzz::ExactBuffer a(size), b(size);
        std::copy(base.begin(), base.end(), a.data());
        std::vector<std::uint8_t> want(base);
        model_place(want.data(), limit, start, count,
                    [&](std::uint64_t k) { return bit_of(v, k); });
        write_bits(a.data(), limit, start, count, v);
        FUZZ_CHECK(std::equal(want.begin(), want.end(), a.data()),
                   "write_bits start=%llu count=%u limit=%llu", (unsigned long long)start, count,
                   (unsigned long long)limit);
        std::copy(base.begin(), base.end(), b.data());
        write_bits_general(b.data(), limit, start, count, v);
        FUZZ_CHECK(std::equal(want.begin(), want.end(), b.data()), "write_bits_general");
    }
    // clear_bits and copy_bits, any length
    {
        const std::uint64_t len = in.take<std::uint16_t>() % (8 * size + 40);
        fuzz::ExactBuffer a(size);
        std::copy(base.begin(), base.end(), a.data());
        std::vector<std::uint8_t> want(base);
        for (std::uint64_t j = 0; j < len && start + j < limit; ++j)
            set_bit(want.data(), start + j, false);
        clear_bits(a.data(), limit, start, len);
        FUZZ_CHECK(std::equal(want.begin(), want.end(), a.data()), "clear_bits start=%llu len=%llu",
                   (unsigned long long)start, (unsigned long long)len);

        // Source: another exactly sized block; copy only bits it has.
        const std::size_t src_size = in.take<std::uint8_t>() % 40;
        fuzz::ExactBuffer src(src_size);
        for (std::size_t i = 0; i < src_size; ++i) src.data()[i] = in.take<std::uint8_t>();
        const std::uint64_t src_start = src_size ? in.take<std::uint16_t>() % (8 * src_size) : 0;
        const std::uint64_t cnt = std::min<std::uint64_t>(len, 8 * src_size - src_start);
        // copy_bits may read whole source bytes of the bits it copies, never beyond.
        std::copy(base.begin(), base.end(), a.data());
        want = base;
        for (std::uint64_t j = 0; j < cnt && start + j < limit; ++j) {
            set_bit(want.data(), start + j, get_bit(src.data(), src_start + j));
        }
        copy_bits(a.data(), limit, start, src.data(), src_start, cnt);
        FUZZ_CHECK(std::equal(want.begin(), want.end(), a.data()),
                   "copy_bits dst=%llu src=%llu count=%llu limit=%llu", (unsigned long long)start,
                   (unsigned long long)src_start, (unsigned long long)cnt,
                   (unsigned long long)limit);
    }
}

void check_placement(fuzz::Input& in, const std::vector<std::uint8_t>& base) {
    const std::size_t size = base.size();
    const std::uint64_t limit = 8 * static_cast<std::uint64_t>(size);
    const ImageModel model{in.take<std::uint64_t>(), pick_width(in), in.take_bool(),
                           in.take_bool()};
    const std::uint64_t start = pick_start(in, size);

    // place_integer against the image placed bit by bit.
    fuzz::ExactBuffer got(size);
    std::copy(base.begin(), base.end(), got.data());
    std::vector<std::uint8_t> want(base);
    model_place(want.data(), limit, start, model.bits,
                [&](std::uint64_t k) { return model.image_bit(k); });
    place_integer(got.data(), limit, start, model.bits, model.value, model.reverse, model.little);
    FUZZ_CHECK(std::equal(want.begin(), want.end(), got.data()),
               "place_integer value=%llx bits=%u reverse=%d little=%d start=%llu size=%zu",
               (unsigned long long)model.value, model.bits, model.reverse, model.little,
               (unsigned long long)start, size);

    if (model.bits > 4096) return;  // images of up to 512 bytes are built in full
    // encode_integer_to_bytes against the image rules.
    const std::string image = encode_integer_to_bytes(model.value, model.bits, model.reverse);
    const std::vector<std::uint8_t> image_want = model.big_endian_image();
    FUZZ_CHECK(image.size() == image_want.size() &&
                   std::equal(image_want.begin(), image_want.end(),
                              reinterpret_cast<const std::uint8_t*>(image.data())),
               "encode_integer_to_bytes(%llx, %u, %d)", (unsigned long long)model.value, model.bits,
               model.reverse);
    // place_bytes of that image: the same packet as place_integer.
    fuzz::ExactBuffer via_bytes(size), img(image.size());
    std::copy(base.begin(), base.end(), via_bytes.data());
    std::copy(image.begin(), image.end(), img.data());
    place_bytes(via_bytes.data(), limit, start, model.bits, img.data(), image.size(), model.little);
    FUZZ_CHECK(std::equal(want.begin(), want.end(), via_bytes.data()),
               "place_bytes(encode_integer_to_bytes) differs from place_integer");
}

// A byte image of any length (text fields): placed right-aligned, reversed for little-endian.
void check_place_bytes(fuzz::Input& in, const std::vector<std::uint8_t>& base) {
    const std::size_t size = base.size();
    const std::uint64_t limit = 8 * static_cast<std::uint64_t>(size);
    const std::uint32_t bits = pick_width(in) % 2100;
    const bool little = in.take_bool();
    const std::uint64_t start = pick_start(in, size);
    const std::size_t image_size = in.take<std::uint8_t>() % 80;
    fuzz::ExactBuffer img(image_size);
    for (std::size_t i = 0; i < image_size; ++i) img.data()[i] = in.take<std::uint8_t>();
    std::vector<std::uint8_t> ordered(img.data(), img.data() + image_size);
    if (little) std::reverse(ordered.begin(), ordered.end());
    auto n_bit = [&](std::uint64_t k) {
        if (k >= 8 * image_size) return false;
        return ((ordered[image_size - 1 - k / 8] >> (k % 8)) & 1) != 0;
    };
    std::vector<std::uint8_t> want(base);
    model_place(want.data(), limit, start, bits, n_bit);
    fuzz::ExactBuffer got(size);
    std::copy(base.begin(), base.end(), got.data());
    place_bytes(got.data(), limit, start, bits, img.data(), image_size, little);
    FUZZ_CHECK(std::equal(want.begin(), want.end(), got.data()),
               "place_bytes bits=%u little=%d start=%llu image=%zu size=%zu", bits, little,
               (unsigned long long)start, image_size, size);
}

void check_extraction(fuzz::Input& in, const std::vector<std::uint8_t>& base) {
    const std::size_t size = base.size();
    const std::uint32_t bits = pick_width(in);
    const bool little = in.take_bool();
    const bool reverse = in.take_bool();
    const std::uint64_t start = pick_start(in, size);

    // Bounds: the quick test and the full one agree with the byte rule.
    const std::uint64_t first = start / 8;
    bool inside;
    if (bits == 0) {
        inside = first <= size;
    } else {
        inside = first <= size && (start + bits - 1) / 8 + 1 <= size;
    }
    FUZZ_CHECK(field_in_packet(start, bits, size) == inside,
               "field_in_packet start=%llu bits=%u size=%zu", (unsigned long long)start, bits,
               size);
    auto error = check_field_bounds(start, bits, size);
    FUZZ_CHECK(error.has_value() != inside, "check_field_bounds");
    if (error) {
        const std::string want = first > size ? "range start index " + std::to_string(first) +
                                                    " out of range for slice of length " +
                                                    std::to_string(size)
                                              : "range end index " +
                                                    std::to_string((start + bits - 1) / 8 + 1) +
                                                    " out of range for slice of length " +
                                                    std::to_string(size);
        FUZZ_CHECK(error->message == want, "bounds message '%s' != '%s'", error->message.c_str(),
                   want.c_str());
        return;
    }

    fuzz::ExactBuffer packet(size);
    std::copy(base.begin(), base.end(), packet.data());
    const std::uint64_t n = (static_cast<std::uint64_t>(bits) + 7) / 8;
    // W: field bits right-aligned in n bytes (bit k of the number, k = 0 least significant).
    auto w_bit = [&](std::uint64_t k) -> bool {
        return k < bits && get_bit(packet.data(), start + bits - 1 - k);
    };
    // W': the window as a number, bytes reversed for little-endian.
    auto window_bit = [&](std::uint64_t k) -> bool {
        if (k >= 8 * n) return false;
        return little ? w_bit(8 * (n - 1 - k / 8) + k % 8) : w_bit(k);
    };
    // Raw: low `bits` bits of W' (mirrored over the width with reverse), low 64 bits kept.
    std::uint64_t raw = 0;
    for (std::uint64_t k = 0; k < 64 && k < bits; ++k) {
        const bool b = reverse ? window_bit(bits - 1 - k) : window_bit(k);
        raw |= static_cast<std::uint64_t>(b) << k;
    }
    const std::uint64_t got = field_raw_value(packet.data(), size, start, bits, little, reverse);
    FUZZ_CHECK(got == raw, "field_raw_value start=%llu bits=%u little=%d reverse=%d: %llx != %llx",
               (unsigned long long)start, bits, little, reverse, (unsigned long long)got,
               (unsigned long long)raw);

    if (n > 4096) return;
    fuzz::ExactBuffer window(n);
    field_window(packet.data(), start, bits, little, window.data());
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint8_t b = 0;
        for (int j = 0; j < 8; ++j) b |= window_bit(8 * (n - 1 - i) + j) << j;
        FUZZ_CHECK(window.data()[i] == b, "field_window byte %llu start=%llu bits=%u little=%d",
                   (unsigned long long)i, (unsigned long long)start, bits, little);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const unsigned mode = in.take<std::uint8_t>();
    const std::size_t packet_size = in.take<std::uint16_t>() % 300;
    std::vector<std::uint8_t> base(packet_size);
    // Packet contents from a seed, so that the rest of the input stays parameters.
    std::uint64_t seed = in.take<std::uint64_t>();
    const unsigned density = in.take<std::uint8_t>() % 3;  // all zero, all one, mixed
    for (auto& b : base) {
        seed += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        b = density == 0 ? 0 : density == 1 ? 0xFF : static_cast<std::uint8_t>(z ^ (z >> 31));
    }
    switch (mode % 4) {
        case 0:
            if (packet_size) check_read_write(in, base);
            break;
        case 1: check_placement(in, base); break;
        case 2: check_place_bytes(in, base); break;
        case 3: check_extraction(in, base); break;
    }
    return 0;
}
