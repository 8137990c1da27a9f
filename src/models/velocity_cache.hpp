#pragma once

#include <cstdint>
#include <cstring>

// Values that depend on one velocity alone, kept for the two velocities used most recently in a
// call. Sites in a call often repeat a velocity (one simulation Vs30 for all sites, sorted or
// classed site Vs30), and a site's own two velocities may be equal.
//
// An entry is found by the velocity's bit pattern, never by numeric comparison: the values are
// pure functions of that pattern, so a hit gives exactly what computing afresh would give, the
// sign of zero and NaN payloads included.
template <class Entry>
class VelocityCache {
public:
    // The entry of `velocity`. On a miss the least recently used slot is handed to
    // fill(velocity, entry). Looking up two velocities one after the other keeps both entries
    // valid: the second lookup never evicts the slot the first one just used.
    template <class Fill>
    Entry &get(double velocity, Fill &&fill) {
        std::uint64_t key;
        std::memcpy(&key, &velocity, sizeof key);
        for (int i = 0; i < 2; ++i) {
            if (slots_[i].valid && slots_[i].key == key) {
                recent_ = i;
                return slots_[i].entry;
            }
        }
        const int victim = 1 - recent_;
        Slot &slot = slots_[victim];
        slot.valid = false;
        fill(velocity, slot.entry);
        slot.key = key;
        slot.valid = true;
        recent_ = victim;
        return slot.entry;
    }

private:
    struct Slot {
        bool valid = false;
        std::uint64_t key = 0;
        Entry entry;
    };
    Slot slots_[2];
    int recent_ = 1;
};
