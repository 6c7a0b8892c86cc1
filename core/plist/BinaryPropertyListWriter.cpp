// toBinaryPropertyList: values are numbered depth first from the root (object 0); equal
// scalars share one object, as the format intends. Reference and offset widths are the
// smallest that hold the object count and the last offset.
#include <algorithm>
#include <bit>
#include <map>
#include <string>
#include <vector>

#include "core/common/BigEndian.h"
#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/plist/PropertyList.h"
#include "core/plist/PropertyListFormat.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

using fmt::failWrite;

// The smallest of 1, 2, 4 and 8 bytes that holds `value`.
std::size_t widthFor(std::uint64_t value) {
    if (value <= 0xFF) return 1;
    if (value <= 0xFFFF) return 2;
    return value <= 0xFFFFFFFF ? 4 : 8;
}

void appendWide(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

void appendMarker(Bytes& out, std::uint8_t type, std::uint64_t low) {
    out.push_back(static_cast<std::byte>((std::uint64_t{type} << 4) | low));
}

// Values below 2^32 take 1, 2 or 4 bytes; others 8 signed bytes (a negative value's bits are
// 2^63 and above, so they take 8 too), or 16 when `wide` (2^63 and above, unsigned).
void appendInteger(Bytes& out, std::uint64_t bits, bool wide) {
    const std::size_t width = wide ? 16 : widthFor(bits);
    appendMarker(out, fmt::kTypeInteger, static_cast<std::uint64_t>(std::countr_zero(width)));
    if (wide) appendU64(out, 0);
    appendWide(out, bits, std::min<std::size_t>(width, 8));
}

// A marker with `count` in its low nibble, or 0xF and the count as an integer object.
void appendCounted(Bytes& out, std::uint8_t type, std::uint64_t count) {
    if (count < fmt::kCountFollows) return appendMarker(out, type, count);
    appendMarker(out, type, fmt::kCountFollows);
    appendInteger(out, count, false);
}

class Writer final {
  public:
    Bytes write(const PlistValue& root) {
        add(root, 0);
        const std::size_t referenceWidth = widthFor(m_objects.size() - 1);
        Bytes out = toBytes({fmt::kBinaryMagic, fmt::kBinaryMagicSize});
        std::vector<std::uint64_t> offsets;
        for (const Object& object : m_objects) {
            offsets.push_back(out.size());
            if (object.scalar) {
                out.insert(out.end(), object.scalar->begin(), object.scalar->end());
                continue;
            }
            const std::size_t count = object.references.size();
            appendCounted(out, object.type, object.type == fmt::kTypeArray ? count : count / 2);
            for (const std::uint64_t reference : object.references) {
                appendWide(out, reference, referenceWidth);
            }
        }
        const std::uint64_t tableOffset = out.size();
        const std::size_t offsetWidth = widthFor(offsets.back());
        for (const std::uint64_t offset : offsets) appendWide(out, offset, offsetWidth);
        out.resize(out.size() + fmt::kTrailerOffsetSizeAt);  // unused, and sort version 0
        out.push_back(static_cast<std::byte>(offsetWidth));
        out.push_back(static_cast<std::byte>(referenceWidth));
        appendU64(out, m_objects.size());
        appendU64(out, 0);  // the root is object 0
        appendU64(out, tableOffset);
        if (out.size() > fmt::kMaxInputSize) failWrite("larger than readers accept");
        return out;
    }

  private:
    // A scalar's encoding (held once, in m_shared), or a container's type and references (a
    // dictionary's keys first).
    struct Object {
        const Bytes* scalar = nullptr;
        std::uint8_t type = 0;
        std::vector<std::uint64_t> references;
    };

    // Counts one more value (keys included), as readers count them.
    void countValue() {
        if (++m_values > fmt::kMaxValueCount) failWrite("more values than readers accept");
    }

    void spend(std::uint64_t bytes) {
        m_payload += bytes;
        if (m_payload > fmt::kMaxPayloadBytes)
            failWrite("more string and data bytes than readers accept");
    }

    std::uint64_t add(const PlistValue& value, std::size_t depth) {
        if (depth > fmt::kMaxDepth) failWrite("nested too deeply");
        countValue();
        const std::uint64_t index = m_objects.size();
        if (const PlistArray* items = value.ifArray()) {
            m_objects.emplace_back();
            std::vector<std::uint64_t> references;
            for (const PlistValue& item : *items) references.push_back(add(item, depth + 1));
            m_objects[index] = {nullptr, fmt::kTypeArray, std::move(references)};
        } else if (const PlistDictionary* entries = value.ifDictionary()) {
            m_objects.emplace_back();
            std::vector<std::uint64_t> references(2 * entries->size());
            std::size_t i = 0;
            for (const auto& [key, item] : *entries) {
                countValue();
                references[i] = share(text(key, "a key"));
                references[entries->size() + i++] = add(item, depth + 1);
            }
            m_objects[index] = {nullptr, fmt::kTypeDictionary, std::move(references)};
        } else {
            return share(scalar(value));
        }
        return index;
    }

    // The object holding `encoded`, added unless an equal one exists.
    std::uint64_t share(Bytes encoded) {
        const auto [found, added] = m_shared.try_emplace(std::move(encoded), m_objects.size());
        if (added) m_objects.push_back({&found->first, 0, {}});
        return found->second;
    }

    // ASCII when every unit is 7-bit, else UTF-16 big-endian, lone surrogates included.
    Bytes text(const std::string& value, const char* what) {
        const auto units = generalisedUtf8ToUtf16(value);
        if (!units) failWrite(std::string(what) + " is not well-formed UTF-8");
        Bytes out;
        if (std::all_of(units->begin(), units->end(), [](char16_t unit) { return unit < 0x80; })) {
            spend(units->size());
            appendCounted(out, fmt::kTypeAsciiString, units->size());
            for (const char16_t unit : *units) out.push_back(static_cast<std::byte>(unit));
        } else {
            spend(2 * units->size());
            appendCounted(out, fmt::kTypeUtf16String, units->size());
            for (const char16_t unit : *units) appendWide(out, unit, 2);
        }
        return out;
    }

    Bytes scalar(const PlistValue& value) {
        Bytes out;
        if (const std::int64_t* number = value.ifInteger()) {
            appendInteger(out, std::bit_cast<std::uint64_t>(*number), false);
        } else if (const std::uint64_t* wide = value.ifUnsignedInteger()) {
            appendInteger(out, *wide, true);
        } else if (const double* real = value.ifReal()) {
            out.push_back(std::byte{fmt::kMarkerDouble});
            appendU64(out, std::bit_cast<std::uint64_t>(*real));
        } else if (const bool* flag = value.ifBoolean()) {
            out.push_back(std::byte{*flag ? fmt::kMarkerTrue : fmt::kMarkerFalse});
        } else if (const PlistDate* date = value.ifDate()) {
            out.push_back(std::byte{fmt::kMarkerDate});
            appendU64(out, std::bit_cast<std::uint64_t>(date->secondsSinceReferenceDate));
        } else if (const Bytes* bytes = value.ifData()) {
            spend(bytes->size());
            appendCounted(out, fmt::kTypeData, bytes->size());
            out.insert(out.end(), bytes->begin(), bytes->end());
        } else if (const std::uint64_t* uid = value.ifUid()) {
            const std::size_t width = widthFor(*uid);
            appendMarker(out, fmt::kTypeUid, width - 1);
            appendWide(out, *uid, width);
        } else {
            const std::string* string = value.ifString();
            return text(string ? *string : *value.ifOpaqueString(), "a string");
        }
        return out;
    }

    std::vector<Object> m_objects;
    std::map<Bytes, std::uint64_t> m_shared;
    std::uint64_t m_values = 0;
    std::uint64_t m_payload = 0;
};

}  // namespace

Bytes toBinaryPropertyList(const PlistValue& value) { return Writer().write(value); }

}  // namespace lumifold::platform
