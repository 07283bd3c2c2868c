#include "paths/prepared_recipe.hpp"

namespace bitloom::py {

bool prepare(ItemView items, ReadMode mode, PreparedRecipe& out, std::size_t& failed,
             Ref& failed_name, OnItem on_item, void* context) {
    out.items.clear();
    out.items.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PreparedItem& prepared = out.items[i];
        ItemReading reading;
        const bool read = read_field(items[i], mode, prepared.fld, reading);
        failed_name = reading.name;
        if (!read || (on_item != nullptr && !on_item(context, i, items[i], reading, prepared))) {
            failed = i;
            return false;
        }
        prepared.name = reading.name;
        prepared.key = Ref(result_key(reading));
        if (!prepared.key) {
            failed = i;
            return false;
        }
    }
    failed_name = Ref();
    // The starts, the sizing rule and the packer's check, in one walk.
    std::uint64_t largest = 0;
    std::uint64_t position = 0;
    for (PreparedItem& p : out.items) {
        p.start = core::field_start(p.fld, 0, position);
        position = p.start + p.fld.bits;
        largest = core::extend_packet_bits(largest, p.fld.has_offset, p.fld.offset, p.fld.bits);
        out.packable = out.packable && p.fld.row != nullptr && p.fld.row->packs;
    }
    out.packet_bits = largest;
    return true;
}

}  // namespace bitloom::py
