#include "rule_base.hpp"

namespace vaskel {

void RuleBase::reserve(std::size_t n) {
    entries_.reserve(n);
    hashes_.reserve(n);
}

void RuleBase::insert(std::string key, std::string value) {
    const std::uint64_t h = text_hash(key, seed_);
    hashes_.push_back(h);
    try {
        entries_.emplace_back(std::move(key), std::move(value));
    } catch (...) {
        hashes_.pop_back();
        throw;
    }
    ++unsettled_;
}

void RuleBase::settle() const {
    const std::size_t n = entries_.size();
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
#if defined(__GNUC__)
        if (e + kAhead < n) __builtin_prefetch(&slots[hashes_[e + kAhead] & mask], 1);
#endif
        const std::uint64_t h = hashes_[e];
        std::size_t k = h & mask;
        for (;; k = (k + 1) & mask) {
            const std::uint64_t slot = slots[k];
            if (slot == 0) break;
            if ((slot & tag_mask) != (h & tag_mask)) continue;
            const std::size_t first = static_cast<std::size_t>((slot & pos_mask) - 1);
            if (hashes_[first] == h && same_text(entries_[first].first, entries_[e].first)) break;
        }
        if (slots[k] == 0) {
            slots[k] = (h & tag_mask) | (e + 1);
            continue;
        }
        // A repeat gives its value to the first entry of its text (the list
        // of repeats is made before anything moves, should it fail).
        if (repeated.empty()) repeated.assign(n, false);
        const std::size_t first = static_cast<std::size_t>((slots[k] & pos_mask) - 1);
        entries_[first].second = std::move(entries_[e].second);
        repeated[e] = true;
        ++repeats;
    }
    if (repeats != 0) {
        std::size_t out = 0;
        for (std::size_t e = 0; e < n; ++e) {
            if (repeated[e]) continue;
            if (out != e) {
                entries_[out] = std::move(entries_[e]);
                hashes_[out] = hashes_[e];
            }
            ++out;
        }
        entries_.resize(out);
        hashes_.resize(out);
    }
    unsettled_ = 0;
}

}  // namespace vaskel
