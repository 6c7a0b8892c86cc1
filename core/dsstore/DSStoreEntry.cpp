#include "core/dsstore/DSStoreEntry.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "core/common/Text.h"

namespace lumifold {
namespace {

// The NFC forms an entry sorts by, made only for names or codes beyond ASCII.
struct NormalForms {
    std::string lowered;  // NFC of the lower-cased name
    std::string name;     // NFC of the name
    std::string code;     // NFC of the code
};

// An entry's sort key: its lower-cased name, name and code, in NFC. ASCII is its own NFC and
// lower-cases letter by letter, so most keys only point into their entry (a copied key per
// record cost a third of writing a store).
struct SortKey {
    std::string_view lowered;  // lower-cased as it is read when `asciiName`
    bool asciiName = true;
    std::string_view name;
    std::string_view code;
};

std::optional<NormalForms> normalFormsOf(const DSStoreEntry& entry) {
    if (isAscii(entry.filename) && isAscii(entry.code)) return std::nullopt;
    return NormalForms{nfc(lowercaseFull(entry.filename)), nfc(entry.filename), nfc(entry.code)};
}

SortKey sortKey(const DSStoreEntry& entry, const NormalForms* forms) {
    if (forms == nullptr) return {entry.filename, true, entry.filename, entry.code};
    return {forms->lowered, false, forms->name, forms->code};
}

unsigned char loweredAt(const SortKey& key, std::size_t i) {
    const auto c = static_cast<unsigned char>(key.lowered[i]);
    return key.asciiName && c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

// NFC forms compared as UTF-8 bytes order exactly as scalar by scalar, a proper prefix first.
bool keyLess(const SortKey& a, const SortKey& b) {
    const std::size_t shared = std::min(a.lowered.size(), b.lowered.size());
    for (std::size_t i = 0; i < shared; ++i) {
        const unsigned char x = loweredAt(a, i), y = loweredAt(b, i);
        if (x != y) return x < y;
    }
    if (a.lowered.size() != b.lowered.size()) return a.lowered.size() < b.lowered.size();
    if (const int c = a.name.compare(b.name); c != 0) return c < 0;
    return a.code < b.code;
}

bool textEqual(const std::string& a, const std::string& b) { return a == b || nfc(a) == nfc(b); }

}  // namespace

bool operator==(const DSStoreValue& a, const DSStoreValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case DSStoreValue::Kind::fourCC:
            return textEqual(a.asFourCC(), b.asFourCC());
        case DSStoreValue::Kind::string:
            return textEqual(a.asString(), b.asString());
        default:
            return a.m_payload == b.m_payload;
    }
}

bool operator==(const DSStoreEntry& a, const DSStoreEntry& b) {
    return textEqual(a.filename, b.filename) && textEqual(a.code, b.code) &&
           textEqual(a.typecode, b.typecode) && a.value == b.value;
}

bool operator<(const DSStoreEntry& a, const DSStoreEntry& b) {
    const auto formsA = normalFormsOf(a), formsB = normalFormsOf(b);
    return keyLess(sortKey(a, formsA ? &*formsA : nullptr),
                   sortKey(b, formsB ? &*formsB : nullptr));
}

std::vector<std::size_t> sortedOrder(const std::vector<DSStoreEntry>& entries) {
    // The few entries beyond ASCII keep their forms here; the others are keyed in place.
    std::unordered_map<std::size_t, NormalForms> forms;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (auto made = normalFormsOf(entries[i])) forms.emplace(i, std::move(*made));
    }
    const auto key = [&](std::size_t i) {
        const auto found = forms.empty() ? forms.end() : forms.find(i);
        return sortKey(entries[i], found == forms.end() ? nullptr : &found->second);
    };
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto less = [&](std::size_t a, std::size_t b) { return keyLess(key(a), key(b)); };
    // Lines a dump printed come in order already.
    if (!std::is_sorted(order.begin(), order.end(), less)) {
        std::stable_sort(order.begin(), order.end(), less);
    }
    return order;
}

void sortEntries(std::vector<DSStoreEntry>& entries) {
    const std::vector<std::size_t> order = sortedOrder(entries);
    std::vector<DSStoreEntry> sorted;
    sorted.reserve(entries.size());
    for (const std::size_t index : order) sorted.push_back(std::move(entries[index]));
    entries = std::move(sorted);
}

}  // namespace lumifold
