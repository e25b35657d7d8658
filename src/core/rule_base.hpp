// The rule base as the engine receives it, and the lookup tables it builds
// from it: an open-addressing map from text to text over the seeded text
// hash, and a filter of key lengths.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "text_hash.hpp"
#include "trace.hpp"

namespace vaskel {

// One rule, kept as its trace line (put_rule_line), line feed included: the
// key and the value are views into it, and the engine writes the line of a
// single-label rule as it stands.
class Rule {
public:
    Rule(const char* line, std::size_t key_size, std::size_t value_size) noexcept
        : line_(line), key_size_(key_size), value_size_(value_size) {}

    std::string_view key() const noexcept { return {line_, key_size_}; }
    std::string_view value() const noexcept { return {line_ + key_size_ + kRuleSeparator.size(), value_size_}; }
    const char* line() const noexcept { return line_; }
    std::size_t line_size() const noexcept { return rule_line_size(key_size_, value_size_); }

private:
    const char* line_;
    std::size_t key_size_;
    std::size_t value_size_;
};

// Whether a key may have the text of another key of the same rule base. The
// keys of a dict are unique, and two str keys of one text are equal: only a
// key of a str subclass with an equality of its own may share its text with
// another key.
enum class KeyIs { unique, may_repeat };

// The rules in the order they were given. Inserting a key that is already
// present replaces its value and keeps its first position. Keys and values
// are copied; a rule base cannot be copied, only moved (the rules point into
// its own storage).
class RuleBase {
public:
    RuleBase() = default;
    RuleBase(RuleBase&&) noexcept = default;
    RuleBase& operator=(RuleBase&&) noexcept = default;
    RuleBase(const RuleBase&) = delete;
    RuleBase& operator=(const RuleBase&) = delete;

    void reserve(std::size_t n) { rules_.reserve(n); }
    // A key that may repeat another (KeyIs::may_repeat) is looked for among
    // the others when the rules are first read; a unique key never is.
    void insert(std::string_view key, std::string_view value, KeyIs key_is = KeyIs::may_repeat);
    const std::vector<Rule>& entries() const {
        if (unsettled_) settle();
        return rules_;
    }

private:
    // Resolves repeated keys: a later key of the same text gives its value
    // to the first and is removed.
    void settle() const;
    // Storage for one trace line of n bytes; never moves once handed out.
    char* room(std::size_t n);

    // The lines live in blocks that only grow in number: a rule base of a
    // million rules makes a few dozen allocations, not one or two per rule.
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_block_ = 1024;
    mutable std::vector<Rule> rules_;
    mutable bool unsettled_ = false;  // a key that may repeat came in since the last settle()
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
        // Zeroed memory is a table of free slots. Asked of calloc, a large
        // table comes as fresh pages that the system zeroes as the inserts
        // first touch them: no pass over the whole table up front, which for
        // millions of keys is a tenth of a second spent where no interrupt can
        // be noticed.
        slots_.reset(static_cast<Slot*>(std::calloc(cap, sizeof(Slot))));
        if (!slots_) throw std::bad_alloc();
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
    // All bytes zero: a free slot.
    struct Slot {
        std::uint64_t hash;
        std::string_view key;
        std::string_view value;
        bool used;
    };
    static_assert(std::is_trivially_copyable_v<Slot> && std::is_trivially_destructible_v<Slot>);
    struct FreeSlots {
        void operator()(Slot* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<Slot[], FreeSlots> slots_;  // at most half full
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
