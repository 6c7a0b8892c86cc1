#include "core/plist/BinaryPropertyListReader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/common/ByteCursor.h"
#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/plist/PropertyListFormat.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

[[noreturn]] void fail(PropertyListError code, const std::string& detail) {
    throw Error(kPropertyListDomain, code, "Malformed binary property list: " + detail);
}

[[noreturn]] void failPastObjects() {
    fail(kPropertyListMalformed, "object runs past the object area");
}

// Reads objects on demand from the top object down. Objects live between the magic and the
// offset table: every object is read through a cursor over that range only.
class Reader final {
  public:
    explicit Reader(ByteView bytes) { readTrailer(bytes); }

    PlistValue readTop() { return readObject(m_topObject, 0); }

  private:
    void readTrailer(ByteView bytes) {
        const std::size_t size = bytes.size();
        if (size < fmt::kBinaryMagicSize + fmt::kTrailerSize)
            fail(kPropertyListMalformed, "too short");
        if (std::memcmp(bytes.data(), fmt::kBinaryMagic, fmt::kBinaryMagicSize) != 0) {
            fail(kPropertyListMalformed, "unsupported format version");
        }
        const std::uint64_t tableEnd = size - fmt::kTrailerSize;
        ByteCursor trailer(bytes.last(fmt::kTrailerSize));
        std::uint8_t offsetSize = 0;
        std::uint8_t referenceSize = 0;
        std::uint64_t tableOffset = 0;
        trailer.seek(fmt::kTrailerOffsetSizeAt);
        trailer.readU8(&offsetSize);
        trailer.seek(fmt::kTrailerReferenceSizeAt);
        trailer.readU8(&referenceSize);
        trailer.seek(fmt::kTrailerObjectCountAt);
        trailer.readU64(&m_objectCount);
        trailer.seek(fmt::kTrailerTopObjectAt);
        trailer.readU64(&m_topObject);
        trailer.seek(fmt::kTrailerOffsetTableAt);
        trailer.readU64(&tableOffset);
        if (trailer.failed()) fail(kPropertyListMalformed, "too short");  // the size was checked
        m_offsetSize = offsetSize;
        m_referenceSize = referenceSize;
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_referenceSize < 1 || m_referenceSize > 8) {
            fail(kPropertyListMalformed, "bad trailer (offset or reference size)");
        }
        if (m_objectCount == 0 || m_topObject >= m_objectCount) {
            fail(kPropertyListMalformed, "bad trailer (object count or top object)");
        }
        ByteCursor table(bytes.first(tableEnd));
        if (tableOffset <= fmt::kBinaryMagicSize || !table.seek(tableOffset) ||
            !table.readUnits(m_objectCount, m_offsetSize, &m_offsetTable)) {
            fail(kPropertyListMalformed, "offset table out of range");
        }
        m_objects = bytes.first(static_cast<std::size_t>(tableOffset));
        m_onPath.assign(static_cast<std::size_t>(m_objectCount), false);
    }

    // A cursor at the object that `index` names.
    ByteCursor objectAt(std::uint64_t index) const {
        ByteCursor table(m_offsetTable, index * m_offsetSize);
        std::uint64_t offset = 0;
        if (!table.readUnsigned(m_offsetSize, &offset) || offset < fmt::kBinaryMagicSize ||
            offset >= m_objects.size()) {
            fail(kPropertyListMalformed, "object offset out of range");
        }
        return ByteCursor(m_objects, offset);
    }

    // The next object reference in `references`, checked to name an object.
    std::uint64_t reference(ByteCursor& references) const {
        std::uint64_t index = 0;
        if (!references.readUnsigned(m_referenceSize, &index) || index >= m_objectCount) {
            fail(kPropertyListMalformed, "object reference out of range");
        }
        return index;
    }

    // `count` references, checked to lie in the object area.
    ByteCursor references(ByteCursor& at, std::uint64_t count) const {
        ByteView references;
        if (!at.readUnits(count, m_referenceSize, &references)) {
            fail(kPropertyListMalformed, "object references run past the object area");
        }
        return ByteCursor(references);
    }

    // The count in the low nibble, or the integer object that follows when it is 0xF.
    static std::uint64_t readCount(std::uint8_t low, ByteCursor& at) {
        if (low != fmt::kCountFollows) return low;
        std::uint8_t marker = 0;
        if (!at.readU8(&marker)) failPastObjects();
        const std::size_t width = std::size_t{1} << (marker & 0xF);
        if ((marker >> 4) != fmt::kTypeInteger || width > 8)
            fail(kPropertyListMalformed, "bad count");
        std::uint64_t count = 0;
        if (!at.readUnsigned(width, &count)) failPastObjects();
        return count;
    }

    static PlistValue readInteger(std::uint8_t low, ByteCursor& at) {
        if (low > fmt::kLog2WideInteger) fail(kPropertyListMalformed, "bad integer size");
        const std::size_t width = std::size_t{1} << low;
        if (width <= 8) {
            std::uint64_t value = 0;
            if (!at.readUnsigned(width, &value)) failPastObjects();
            // 8 bytes are signed, fewer unsigned.
            if (width == 8) return PlistValue::integer(std::bit_cast<std::int64_t>(value));
            return PlistValue::integer(static_cast<std::int64_t>(value));
        }
        // 16 bytes, two's complement: the high half must be zero or extend the low half's sign.
        std::uint64_t high = 0;
        std::uint64_t value = 0;
        if (!at.readU64(&high) || !at.readU64(&value)) failPastObjects();
        if (high == 0) return PlistValue::unsignedInteger(value);
        if (high != ~std::uint64_t{0} || value <= static_cast<std::uint64_t>(INT64_MAX)) {
            fail(kPropertyListMalformed, "integer wider than 64 bits");
        }
        return PlistValue::integer(std::bit_cast<std::int64_t>(value));
    }

    static double readDouble(std::size_t width, ByteCursor& at) {
        if (width == 4) {
            std::uint32_t bits = 0;
            if (!at.readU32(&bits)) failPastObjects();
            return std::bit_cast<float>(bits);
        }
        std::uint64_t bits = 0;
        if (!at.readU64(&bits)) failPastObjects();
        return std::bit_cast<double>(bits);
    }

    // The `count` units of `unitSize` bytes of a data or string object, counted against the
    // payload bound.
    ByteView readPayload(ByteCursor& at, std::uint64_t count, std::uint64_t unitSize) {
        ByteView payload;
        if (!at.readUnits(count, unitSize, &payload)) failPastObjects();
        if (payload.size() > fmt::kMaxPayloadBytes - m_payloadBytes) {
            fail(kPropertyListTooLarge, "strings and data exceed the size bound");
        }
        m_payloadBytes += payload.size();
        return payload;
    }

    // Throws unless `count` more values fit in the value bound.
    void reserveValues(std::uint64_t count) const {
        if (count > fmt::kMaxValueCount - m_valueCount) {
            fail(kPropertyListTooLarge, "more values than the bound allows");
        }
    }

    PlistValue readObject(std::uint64_t index, std::size_t depth) {
        if (depth > fmt::kMaxDepth) fail(kPropertyListTooLarge, "nested too deeply");
        if (m_onPath[index]) fail(kPropertyListMalformed, "object contains itself");
        reserveValues(1);
        ++m_valueCount;
        ByteCursor at = objectAt(index);
        std::uint8_t marker = 0;
        if (!at.readU8(&marker)) failPastObjects();
        const auto low = static_cast<std::uint8_t>(marker & 0xF);
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
                const ByteView data = readPayload(at, readCount(low, at), 1);
                return PlistValue::data(Bytes(data.begin(), data.end()));
            }
            case fmt::kTypeAsciiString: {
                const ByteView ascii = readPayload(at, readCount(low, at), 1);
                if (std::any_of(ascii.begin(), ascii.end(),
                                [](std::byte c) { return c > std::byte{0x7F}; })) {
                    fail(kPropertyListMalformed, "ASCII string holds a byte above 0x7F");
                }
                return PlistValue::string(std::string(asText(ascii)));
            }
            case fmt::kTypeUtf16String: {
                ByteCursor units(readPayload(at, readCount(low, at), 2));
                std::u16string text(static_cast<std::size_t>(units.remaining() / 2), u'\0');
                for (char16_t& unit : text) {
                    std::uint16_t value = 0;
                    units.readU16(&value);  // cannot fail: the payload holds every unit
                    unit = static_cast<char16_t>(value);
                }
                // A lone surrogate gives an opaque string that is written back unchanged.
                return PlistValue::string(utf16ToGeneralisedUtf8(text));
            }
            case fmt::kTypeUid: {
                if (low >= fmt::kMaxUidSize) break;
                std::uint64_t uid = 0;
                if (!at.readUnsigned(low + 1u, &uid)) failPastObjects();
                return PlistValue::uid(uid);
            }
            case fmt::kTypeArray:
                return readArray(index, low, at, depth);
            case fmt::kTypeDictionary:
                return readDictionary(index, low, at, depth);
            default:
                break;
        }
        fail(kPropertyListMalformed, "unsupported object type " + std::to_string(marker));
    }

    PlistValue readArray(std::uint64_t index, std::uint8_t low, ByteCursor& at, std::size_t depth) {
        const std::uint64_t count = readCount(low, at);
        ByteCursor items = references(at, count);
        reserveValues(count);
        PlistArray values;
        values.reserve(static_cast<std::size_t>(count));
        m_onPath[index] = true;
        for (std::uint64_t i = 0; i < count; ++i) {
            values.push_back(readObject(reference(items), depth + 1));
        }
        m_onPath[index] = false;
        return PlistValue::array(std::move(values));
    }

    PlistValue readDictionary(std::uint64_t index, std::uint8_t low, ByteCursor& at,
                              std::size_t depth) {
        const std::uint64_t count = readCount(low, at);
        ByteCursor keys = references(at, count);
        ByteCursor values = references(at, count);
        reserveValues(count);
        PlistDictionary entries;
        m_onPath[index] = true;
        for (std::uint64_t i = 0; i < count; ++i) {
            PlistValue key = readObject(reference(keys), depth + 1);
            const std::string* text = key.ifString() ? key.ifString() : key.ifOpaqueString();
            if (!text) fail(kPropertyListMalformed, "dictionary key is not a string");
            // Of two equal keys the last wins, as other readers do.
            entries.insert_or_assign(*text, readObject(reference(values), depth + 1));
        }
        m_onPath[index] = false;
        return PlistValue::dictionary(std::move(entries));
    }

    ByteView m_objects;      // from the start of the file to the offset table
    ByteView m_offsetTable;  // exactly m_objectCount offsets
    std::size_t m_offsetSize = 0;
    std::size_t m_referenceSize = 0;
    std::uint64_t m_objectCount = 0;
    std::uint64_t m_topObject = 0;
    std::vector<bool> m_onPath;  // objects between the top and the one being read
    std::uint64_t m_valueCount = 0;
    std::uint64_t m_payloadBytes = 0;
};

}  // namespace

PlistValue readBinaryPropertyList(ByteView bytes) { return Reader(bytes).readTop(); }

}  // namespace lumifold::platform
