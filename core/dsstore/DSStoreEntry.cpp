#include "core/dsstore/DSStoreEntry.h"

#include <algorithm>
#include <numeric>

#include "core/common/Text.h"

namespace lumifold {
namespace {

struct SortKey {
    std::string lowered;  // NFC of the lower-cased name
    std::string name;     // NFC of the name
    std::string code;     // NFC of the code
};

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

SortKey makeSortKey(const DSStoreEntry& entry) {
    const std::string& name = entry.filename;
    if (!isAscii(name)) return {nfc(lowercaseFull(name)), nfc(name), nfc(entry.code)};
    // Most names: ASCII is its own NFC, and lower-cases letter by letter.
    SortKey key{name, name, nfc(entry.code)};
    for (char& c : key.lowered) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    return key;
}

// NFC forms compared as UTF-8 bytes order exactly as scalar by scalar, a proper prefix first.
bool keyLess(const SortKey& a, const SortKey& b) {
    if (const int c = a.lowered.compare(b.lowered); c != 0) return c < 0;
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
    return keyLess(makeSortKey(a), makeSortKey(b));
}

std::vector<std::size_t> sortedOrder(const std::vector<DSStoreEntry>& entries) {
    std::vector<SortKey> keys;
    keys.reserve(entries.size());
    for (const auto& entry : entries) keys.push_back(makeSortKey(entry));
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto less = [&](std::size_t a, std::size_t b) { return keyLess(keys[a], keys[b]); };
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
