#include "paths/plan_cache.hpp"

#include <algorithm>
#include <array>

#include "binding/item_reader.hpp"

namespace bitloom::py {

#if BITLOOM_PLANS_WATCHED || BITLOOM_PLANS_SNAPSHOT
namespace {

// The cache: kSets sets of two slots each, a recipe's set chosen by a hash of
// its length and its first and last item. A recipe is planned on its second
// sighting within its set (the set remembers the last kWays recipes it missed,
// so that as many recipes as it has slots, used in turn, are all planned), so
// a program cycling through more recipes than the cache holds reads them
// directly instead of building a plan on every call and throwing it away.
constexpr std::size_t kSets = 64;
constexpr std::size_t kWays = 2;
constexpr std::size_t kMaxItems = 4096;

struct CacheSet {
    std::array<PlanRef, kWays> slot;
    std::array<std::uint64_t, kWays> missed{};  // hashes of the last recipes missed here
    std::uint8_t next_miss = 0;                 // where the next miss is written
    std::uint8_t recent = 0;                    // the slot used last
    // Watchers: a plan whose dicts were freed before it was ever reused was
    // built for nothing (fresh dicts made for each call, often at the same
    // addresses, look like one recipe seen twice). Each such loss doubles the
    // number of further sightings the set asks for before it plans again.
    std::uint8_t backoff = 0;
    std::uint8_t wait = 0;
};
using Cache = std::array<CacheSet, kSets>;

// Plans hold Python references, which must not be released once the
// interpreter is gone: the cache is never destroyed (no work at exit).
Cache& plan_cache() {
    static Cache* cache = new Cache();
    return *cache;
}

// Every way a plan leaves its slot goes through here: the plan is marked
// invalid first, so that a call still running on it (it holds its own
// reference) reads the rest of its items directly.
void retire(PlanRef& slot) noexcept {
    if (slot) {
        slot->valid.store(false, std::memory_order_relaxed);
        slot.reset();
    }
}

std::uint64_t recipe_hash(ItemView items) {
    auto h = static_cast<std::uint64_t>(items.size()) * 0x9E3779B97F4A7C15ULL;
    h ^= reinterpret_cast<std::uintptr_t>(items[0]) >> 4;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= reinterpret_cast<std::uintptr_t>(items[items.size() - 1]) >> 4;
    h *= 0x94D049BB133111EBULL;
    return (h ^ (h >> 31)) | 1;  // never 0, the empty mark
}

// How a cached plan compares with the recipe of this call.
enum class Sighting : std::uint8_t { Other, Holds, Changed };

// Other: the plan is of other dicts. Holds: it reads the recipe as it is now
// (every item current, or, for an unusable plan, the item that stopped it
// unchanged). Changed: the same dicts, but one of them reads differently.
Sighting sighting(Plan& plan, ItemView items) {
    // The dicts first: comparing them reads nothing of theirs, while finding
    // them current may walk them.
    if (!std::ranges::equal(plan.dicts, items)) return Sighting::Other;
    const bool holds = plan.usable ? plan.all_current(items)
                                   : plan.state.blocker_unchanged(plan.dicts[plan.blocker]);
    return holds ? Sighting::Holds : Sighting::Changed;
}

// What a plan cannot stand for beyond what the reader refuses: a split table,
// whose values are written by attribute stores, outside the dict's own update
// path.
bool refuse_split_table(void*, std::size_t, PyObject* item, const ItemReading&, PreparedItem&) {
    return !(PyDict_Check(item) && shim::dict_has_split_table(item));
}

// A plan of the items; when they cannot be planned, a plan marked unusable that
// remembers so (until the item that stopped it changes) instead of trying every
// call. nullptr when not even that can be kept.
PlanRef build_plan(ItemView items) {
    auto plan = std::make_shared<Plan>();
    plan->dicts.assign(items.begin(), items.end());
    std::size_t blocker = 0;
    Ref unused_name;
    if (prepare(items, ReadMode::Refuse, plan->recipe, blocker, unused_name, refuse_split_table)) {
        blocker = items.size();
        const int kept = plan->state.capture(plan->dicts, blocker);
        if (kept < 0) return nullptr;
        plan->usable = kept > 0;
    } else {
        plan->usable = false;
    }
    if (!plan->usable) {
        plan->recipe = PreparedRecipe{};
        plan->blocker = blocker;
        if (!plan->state.capture_unusable(items, blocker)) return nullptr;
    }
    return plan;
}

}  // namespace

PlanRef find_plan(ItemView items) {
    if (items.empty() || items.size() > kMaxItems) return nullptr;
    const std::uint64_t hash = recipe_hash(items);
    CacheSet& set = plan_cache()[hash % kSets];
    std::size_t way = kWays;
    for (std::size_t w = 0; w < kWays; ++w) {
        PlanRef& s = set.slot[w];
        const Sighting seen = s ? sighting(*s, items) : Sighting::Other;
        if (seen != Sighting::Other) {
            set.recent = static_cast<std::uint8_t>(w);
            if (seen == Sighting::Holds) {
                s->reused = true;
                set.backoff = 0;
                return s->usable ? s : nullptr;
            }
            retire(s);  // changed: planned again in the same place
            way = w;
            break;
        }
    }
    if (way == kWays) {
        // Not cached: plan it on its second sighting only.
        if (std::find(set.missed.begin(), set.missed.end(), hash) == set.missed.end()) {
            set.missed[set.next_miss] = hash;
            set.next_miss = static_cast<std::uint8_t>((set.next_miss + 1) % kWays);
            set.wait = set.backoff;
            return nullptr;
        }
        if (set.wait > 0) {
            --set.wait;
            return nullptr;
        }
        way = set.slot[0] ? (set.slot[1] ? 1U - set.recent : 1U) : 0U;
    }
    if (!PlanState::ready()) return nullptr;
    PlanRef plan;
    try {
        plan = build_plan(items);
    } catch (const std::bad_alloc&) {
        plan = nullptr;
    }
    PyErr_Clear();
    retire(set.slot[way]);
    if (!plan) return nullptr;
    set.slot[way] = plan;
    set.recent = static_cast<std::uint8_t>(way);
    std::replace(set.missed.begin(), set.missed.end(), hash, std::uint64_t{0});
    return plan->usable ? plan : nullptr;
}

#if BITLOOM_PLANS_WATCHED
void retire_plans_reading(PyObject* dict, bool freed) noexcept {
    for (CacheSet& set : plan_cache()) {
        for (PlanRef& slot : set.slot) {
            if (slot && slot->state.reads(dict)) {
                if (freed && !slot->reused) {
                    set.backoff = static_cast<std::uint8_t>(std::min(2 * set.backoff + 1, 255));
                }
                retire(slot);
            }
        }
    }
}
#endif

#else

PlanRef find_plan(ItemView) { return nullptr; }

#endif

}  // namespace bitloom::py
