// The rule base as the engine receives it, and the lookup tables it builds
// from it: an open-addressing map from text to text over the seeded text
// hash, and a filter of key lengths.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text_hash.hpp"

namespace vaskel {

// The rules in the order they were given. Inserting a key that is already
// present replaces its value and keeps its first position.
class RuleBase {
public:
    void reserve(std::size_t n);
    void insert(std::string key, std::string value);
    const std::vector<std::pair<std::string, std::string>>& entries() const {
        if (unsettled_ != 0) settle();
        return entries_;
    }

private:
    // Resolves repeated keys: a later key of the same text gives its value
    // to the first and is removed.
    void settle() const;

    // Keys are only hashed as they arrive. Repeated keys are found all at
    // once, when the entries are first read: an open-addressing index over
    // the hashes, walked with the slots of the next keys fetched ahead, costs
    // a lexicon of a million rules a fraction of one lookup per rule made on
    // arrival. Seeded: the keys come from the caller, who could otherwise
    // pick them to share slots.
    mutable std::vector<std::pair<std::string, std::string>> entries_;
    mutable std::vector<std::uint64_t> hashes_;
    mutable std::size_t unsettled_ = 0;  // entries inserted since the last settle()
    std::uint64_t seed_ = rule_hash_seed();
};

// An open-addressing map from text to text, built once and then only read:
// the lookups for every node and every window of a scan go through it. Keys
// and values are views; what they point into must outlive the map. Inserting
// a key that is present keeps the first value.
class TextMap {
public:
    explicit TextMap(std::size_t expected, std::uint64_t seed = rule_hash_seed()) : seed_(seed) {
        std::size_t cap = 16;
        while (cap < expected * 2) cap *= 2;
        slots_.resize(cap);
        mask_ = cap - 1;
    }

    void insert(std::string_view key, std::string_view value) {
        const std::uint64_t h = text_hash(key, seed_);
        for (std::size_t k = h & mask_;; k = (k + 1) & mask_) {
            Slot& slot = slots_[k];
            if (!slot.used) {
                slot = Slot{h, key, value, true};
                return;
            }
            if (slot.hash == h && same_text(slot.key, key)) return;
        }
    }

    // The value of key, or null when key is absent.
    const std::string_view* find(std::string_view key) const noexcept {
        const std::uint64_t h = text_hash(key, seed_);
        for (std::size_t k = h & mask_;; k = (k + 1) & mask_) {
            const Slot& slot = slots_[k];
            if (!slot.used) return nullptr;
            if (slot.hash == h && same_text(slot.key, key)) return &slot.value;
        }
    }

    // How many slots find(key) reads (a measure of clustering).
    std::size_t probes(std::string_view key) const noexcept {
        const std::uint64_t h = text_hash(key, seed_);
        std::size_t read = 1;
        for (std::size_t k = h & mask_;; k = (k + 1) & mask_, ++read) {
            const Slot& slot = slots_[k];
            if (!slot.used || (slot.hash == h && same_text(slot.key, key))) return read;
        }
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::string_view key;
        std::string_view value;
        bool used = false;
    };
    std::vector<Slot> slots_;  // at most half full
    std::size_t mask_ = 0;
    std::uint64_t seed_;
};

// Which byte lengths the keys of a set have, so that a text whose length no
// key has skips the hash lookup. Lengths from kTracked on share one bit.
class LengthFilter {
public:
    void add(std::size_t n) { bits_.set(n < kTracked ? n : kTracked); }
    bool may_hold(std::size_t n) const { return bits_.test(n < kTracked ? n : kTracked); }

private:
    static constexpr std::size_t kTracked = 255;
    std::bitset<kTracked + 1> bits_;
};

}  // namespace vaskel
