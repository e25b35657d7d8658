#include "rule_base.hpp"

#include <algorithm>

#include "interrupt.hpp"

namespace vaskel {

char* RuleBase::room(std::size_t n) {
    if (n > left_) {
        // Blocks double up to a megabyte: a small rule base allocates little,
        // a lexicon few times.
        constexpr std::size_t kLargest = std::size_t{1} << 20;
        const std::size_t size = std::max(n, next_block_);
        blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
        free_ = blocks_.back().get();
        left_ = size;
        next_block_ = std::min(2 * next_block_, kLargest);
    }
    char* p = free_;
    free_ += n;
    left_ -= n;
    return p;
}

void RuleBase::insert(std::string_view key, std::string_view value, KeyIs key_is) {
    // Should the rule not fit in the list, its line stays unused in its block.
    char* line = room(rule_line_size(key.size(), value.size()));
    put_rule_line(line, key, value);
    rules_.emplace_back(line, key.size(), value.size());
    if (key_is == KeyIs::may_repeat) unsettled_ = true;
}

void RuleBase::settle() const {
    const std::size_t n = rules_.size();
    // Keys are hashed here, once, and only when some key may repeat another:
    // an open-addressing index over the hashes, walked with the slots of the
    // next keys fetched ahead. Seeded: the keys come from the caller, who
    // could otherwise pick them to share slots.
    const std::uint64_t seed = rule_hash_seed();
    InterruptCheck check;
    std::vector<std::uint64_t> hashes(n);
    for (std::size_t e = 0; e < n; ++e) {
        check.step();
        hashes[e] = text_hash(rules_[e].key(), seed);
    }
    std::size_t cap = 16;
    while (cap / 2 < n) cap *= 2;
    const std::size_t mask = cap - 1;
    // A slot holds an entry's position + 1 (0: free) and, while positions fit
    // in 32 bits, the high half of its hash, so that a slot of another key is
    // passed over without reading that key.
    const bool tagged = n < 0xFFFFFFFFu;
    const std::uint64_t tag_mask = tagged ? 0xFFFFFFFF00000000u : 0;
    const std::uint64_t pos_mask = tagged ? 0xFFFFFFFFu : ~std::uint64_t{0};
    std::vector<std::uint64_t> slots(cap, 0);
    std::vector<bool> repeated;
    std::size_t repeats = 0;
    constexpr std::size_t kAhead = 16;
    for (std::size_t e = 0; e < n; ++e) {
        check.step();
#if defined(__GNUC__)
        if (e + kAhead < n) __builtin_prefetch(&slots[hashes[e + kAhead] & mask], 1);
#endif
        const std::uint64_t h = hashes[e];
        std::size_t k = h & mask;
        for (;; k = (k + 1) & mask) {
            const std::uint64_t slot = slots[k];
            if (slot == 0) break;
            if ((slot & tag_mask) != (h & tag_mask)) continue;
            const std::size_t first = static_cast<std::size_t>((slot & pos_mask) - 1);
            if (hashes[first] == h && same_text(rules_[first].key(), rules_[e].key())) break;
        }
        if (slots[k] == 0) {
            slots[k] = (h & tag_mask) | (e + 1);
            continue;
        }
        // A repeat gives its value to the first rule of its text: the first
        // rule's line is the repeat's, whose key has the same text. (The list
        // of repeats is made before anything moves, should it fail.)
        if (repeated.empty()) repeated.assign(n, false);
        const std::size_t first = static_cast<std::size_t>((slots[k] & pos_mask) - 1);
        rules_[first] = rules_[e];
        repeated[e] = true;
        ++repeats;
    }
    if (repeats != 0) {
        std::size_t out = 0;
        for (std::size_t e = 0; e < n; ++e) {
            if (repeated[e]) continue;
            rules_[out++] = rules_[e];
        }
        rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(out), rules_.end());
    }
    unsettled_ = false;
}

}  // namespace vaskel
