#include "core/plist/BinaryPropertyListReader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/plist/PropertyListFormat.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

[[noreturn]] void fail(PropertyListError code, const std::string& detail) {
    throw Error(kPropertyListDomain, code, "Malformed binary property list: " + detail);
}

std::uint64_t loadUnsigned(const std::byte* p, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | std::to_integer<std::uint64_t>(p[i]);
    return value;
}

// Reads objects on demand from the top object down. Objects live between the magic and the
// offset table; nothing outside that range is ever read as an object.
class Reader final {
  public:
    explicit Reader(ByteView bytes) : m_bytes(bytes) { readTrailer(); }

    PlistValue readTop() { return readObject(m_topObject, 0); }

  private:
    void readTrailer() {
        const std::size_t size = m_bytes.size();
        if (size < fmt::kBinaryMagicSize + fmt::kTrailerSize)
            fail(kPropertyListMalformed, "too short");
        if (std::memcmp(m_bytes.data(), fmt::kBinaryMagic, fmt::kBinaryMagicSize) != 0) {
            fail(kPropertyListMalformed, "unsupported format version");
        }
        const std::byte* trailer = m_bytes.data() + size - fmt::kTrailerSize;
        m_offsetSize = std::to_integer<std::size_t>(trailer[fmt::kTrailerOffsetSizeAt]);
        m_referenceSize = std::to_integer<std::size_t>(trailer[fmt::kTrailerReferenceSizeAt]);
        m_objectCount = loadUnsigned(trailer + fmt::kTrailerObjectCountAt, 8);
        m_topObject = loadUnsigned(trailer + fmt::kTrailerTopObjectAt, 8);
        m_tableOffset = loadUnsigned(trailer + fmt::kTrailerOffsetTableAt, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_referenceSize < 1 || m_referenceSize > 8) {
            fail(kPropertyListMalformed, "bad trailer (offset or reference size)");
        }
        if (m_objectCount == 0 || m_topObject >= m_objectCount) {
            fail(kPropertyListMalformed, "bad trailer (object count or top object)");
        }
        const std::uint64_t tableEnd = size - fmt::kTrailerSize;
        if (m_tableOffset <= fmt::kBinaryMagicSize || m_tableOffset > tableEnd ||
            m_objectCount > (tableEnd - m_tableOffset) / m_offsetSize) {
            fail(kPropertyListMalformed, "offset table out of range");
        }
        m_onPath.assign(static_cast<std::size_t>(m_objectCount), false);
    }

    // Throws unless `count` bytes from `at` lie inside the object area.
    void need(std::uint64_t at, std::uint64_t count) const {
        if (at > m_tableOffset || count > m_tableOffset - at) {
            fail(kPropertyListMalformed, "object runs past the object area");
        }
    }

    std::uint8_t byteAt(std::uint64_t at) const {
        need(at, 1);
        return std::to_integer<std::uint8_t>(m_bytes[static_cast<std::size_t>(at)]);
    }

    std::uint64_t load(std::uint64_t at, std::size_t width) const {
        return loadUnsigned(m_bytes.data() + at, width);
    }

    std::uint64_t objectOffset(std::uint64_t index) const {
        const std::uint64_t offset = load(m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (offset < fmt::kBinaryMagicSize || offset >= m_tableOffset) {
            fail(kPropertyListMalformed, "object offset out of range");
        }
        return offset;
    }

    std::uint64_t reference(std::uint64_t at) const {
        const std::uint64_t index = load(at, m_referenceSize);
        if (index >= m_objectCount) fail(kPropertyListMalformed, "object reference out of range");
        return index;
    }

    // The count in the low nibble, or the integer object that follows when it is 0xF.
    std::uint64_t readCount(std::uint8_t low, std::uint64_t& at) const {
        if (low != fmt::kCountFollows) return low;
        const std::uint8_t marker = byteAt(at);
        const std::size_t width = std::size_t{1} << (marker & 0xF);
        if ((marker >> 4) != fmt::kTypeInteger || width > 8)
            fail(kPropertyListMalformed, "bad count");
        need(at + 1, width);
        const std::uint64_t count = load(at + 1, width);
        at += 1 + width;
        return count;
    }

    PlistValue readInteger(std::uint8_t low, std::uint64_t at) const {
        if (low > fmt::kLog2WideInteger) fail(kPropertyListMalformed, "bad integer size");
        const std::size_t width = std::size_t{1} << low;
        need(at, width);
        if (width < 8) return PlistValue::integer(static_cast<std::int64_t>(load(at, width)));
        if (width == 8) return PlistValue::integer(std::bit_cast<std::int64_t>(load(at, 8)));
        // 16 bytes, two's complement: the high half must be zero or extend the low half's sign.
        const std::uint64_t high = load(at, 8);
        const std::uint64_t value = load(at + 8, 8);
        if (high == 0) return PlistValue::unsignedInteger(value);
        if (high != ~std::uint64_t{0} || value <= static_cast<std::uint64_t>(INT64_MAX)) {
            fail(kPropertyListMalformed, "integer wider than 64 bits");
        }
        return PlistValue::integer(std::bit_cast<std::int64_t>(value));
    }

    double readDouble(std::size_t width, std::uint64_t at) const {
        need(at, width);
        if (width == 4) return std::bit_cast<float>(static_cast<std::uint32_t>(load(at, 4)));
        return std::bit_cast<double>(load(at, 8));
    }

    void spendPayload(std::uint64_t bytes) {
        if (bytes > fmt::kMaxPayloadBytes - m_payloadBytes) {
            fail(kPropertyListTooLarge, "strings and data exceed the size bound");
        }
        m_payloadBytes += bytes;
    }

    // Throws unless `count` more values fit in the value bound.
    void reserveValues(std::uint64_t count) const {
        if (count > fmt::kMaxValueCount - m_valueCount) {
            fail(kPropertyListTooLarge, "more values than the bound allows");
        }
    }

    // `count` references starting at `at`, checked to lie in the object area.
    void needReferences(std::uint64_t at, std::uint64_t count) const {
        if (count > (m_tableOffset - std::min(at, m_tableOffset)) / m_referenceSize) {
            fail(kPropertyListMalformed, "object references run past the object area");
        }
    }

    PlistValue readObject(std::uint64_t index, std::size_t depth) {
        if (depth > fmt::kMaxDepth) fail(kPropertyListTooLarge, "nested too deeply");
        if (m_onPath[index]) fail(kPropertyListMalformed, "object contains itself");
        reserveValues(1);
        ++m_valueCount;
        const std::uint64_t offset = objectOffset(index);
        const std::uint8_t marker = byteAt(offset);
        const auto low = static_cast<std::uint8_t>(marker & 0xF);
        std::uint64_t at = offset + 1;
        switch (marker >> 4) {
            case 0x0:
                if (marker == fmt::kMarkerFalse) return PlistValue::boolean(false);
                if (marker == fmt::kMarkerTrue) return PlistValue::boolean(true);
                break;
            case fmt::kTypeInteger:
                return readInteger(low, at);
            case fmt::kTypeReal:
                if (marker == fmt::kMarkerFloat) return PlistValue::real(readDouble(4, at));
                if (marker == fmt::kMarkerDouble) return PlistValue::real(readDouble(8, at));
                break;
            case fmt::kMarkerDate >> 4:
                if (marker == fmt::kMarkerDate) return PlistValue::date({readDouble(8, at)});
                break;
            case fmt::kTypeData: {
                const std::uint64_t count = readCount(low, at);
                need(at, count);
                spendPayload(count);
                const auto* begin = m_bytes.data() + at;
                return PlistValue::data(Bytes(begin, begin + count));
            }
            case fmt::kTypeAsciiString: {
                const std::uint64_t count = readCount(low, at);
                need(at, count);
                spendPayload(count);
                std::string text(reinterpret_cast<const char*>(m_bytes.data() + at), count);
                for (const char c : text) {
                    if (static_cast<unsigned char>(c) > 0x7F) {
                        fail(kPropertyListMalformed, "ASCII string holds a byte above 0x7F");
                    }
                }
                return PlistValue::string(std::move(text));
            }
            case fmt::kTypeUtf16String: {
                const std::uint64_t units = readCount(low, at);
                need(at, units);
                need(at, units * 2);
                spendPayload(units * 2);
                std::u16string text(static_cast<std::size_t>(units), u'\0');
                for (std::size_t i = 0; i < text.size(); ++i) {
                    text[i] = static_cast<char16_t>(load(at + 2 * i, 2));
                }
                // A lone surrogate gives an opaque string that is written back unchanged.
                return PlistValue::string(utf16ToGeneralisedUtf8(text));
            }
            case fmt::kTypeUid:
                if (low >= fmt::kMaxUidSize) break;
                need(at, low + 1);
                return PlistValue::uid(load(at, low + 1));
            case fmt::kTypeArray:
                return readArray(index, low, at, depth);
            case fmt::kTypeDictionary:
                return readDictionary(index, low, at, depth);
            default:
                break;
        }
        fail(kPropertyListMalformed, "unsupported object type " + std::to_string(marker));
    }

    PlistValue readArray(std::uint64_t index, std::uint8_t low, std::uint64_t at,
                         std::size_t depth) {
        const std::uint64_t count = readCount(low, at);
        needReferences(at, count);
        reserveValues(count);
        PlistArray items;
        items.reserve(static_cast<std::size_t>(count));
        m_onPath[index] = true;
        for (std::uint64_t i = 0; i < count; ++i) {
            items.push_back(readObject(reference(at + i * m_referenceSize), depth + 1));
        }
        m_onPath[index] = false;
        return PlistValue::array(std::move(items));
    }

    PlistValue readDictionary(std::uint64_t index, std::uint8_t low, std::uint64_t at,
                              std::size_t depth) {
        const std::uint64_t count = readCount(low, at);
        needReferences(at, count);
        needReferences(at + count * m_referenceSize, count);
        reserveValues(count);
        PlistDictionary entries;
        m_onPath[index] = true;
        for (std::uint64_t i = 0; i < count; ++i) {
            PlistValue key = readObject(reference(at + i * m_referenceSize), depth + 1);
            const std::string* text = key.ifString() ? key.ifString() : key.ifOpaqueString();
            if (!text) fail(kPropertyListMalformed, "dictionary key is not a string");
            const std::uint64_t valueAt = at + (count + i) * m_referenceSize;
            // Of two equal keys the last wins, as other readers do.
            entries.insert_or_assign(*text, readObject(reference(valueAt), depth + 1));
        }
        m_onPath[index] = false;
        return PlistValue::dictionary(std::move(entries));
    }

    ByteView m_bytes;
    std::size_t m_offsetSize = 0;
    std::size_t m_referenceSize = 0;
    std::uint64_t m_objectCount = 0;
    std::uint64_t m_topObject = 0;
    std::uint64_t m_tableOffset = 0;
    std::vector<bool> m_onPath;  // objects between the top and the one being read
    std::uint64_t m_valueCount = 0;
    std::uint64_t m_payloadBytes = 0;
};

}  // namespace

PlistValue readBinaryPropertyList(ByteView bytes) { return Reader(bytes).readTop(); }

}  // namespace lumifold::platform
