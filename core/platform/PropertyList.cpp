#include "core/platform/PropertyList.h"

#include <plist/plist.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/platform/BinaryPropertyListReader.h"
#include "core/platform/PropertyListFormat.h"
#include "core/platform/XmlPropertyListScanner.h"

// Reading: binary input goes to our own bounded reader, because libplist 2.2 follows shared
// references without bound, converts dates with an unchecked float-to-integer cast and
// recurses without a depth limit. XML input is scanned first (depth, element count, number
// and date texts) and only then handed to libplist; every number and date libplist returns is
// checked against the scanned text. Writing goes through libplist.

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

[[noreturn]] void failXml(const std::string& detail) {
    throw Error(kPropertyListDomain, kPropertyListMalformed,
                "Malformed XML property list: " + detail);
}

[[noreturn]] void failWrite(const std::string& detail) {
    throw Error(kPropertyListDomain, kPropertyListUnwritable,
                "Cannot write the property list: " + detail);
}

// libplist keeps dates as whole seconds and microseconds in 32-bit fields.
constexpr double kMicrosecondsPerSecond = 1e6;

// Converts libplist's tree, taking numbers and dates from the scanned texts in document order.
class XmlTreeReader final {
  public:
    explicit XmlTreeReader(const XmlPropertyListScalars& scalars) : m_scalars(scalars) {}

    PlistValue read(plist_t node, std::size_t depth) {
        if (depth > fmt::kMaxDepth) failXml("nested too deeply");
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                std::uint8_t value = 0;
                plist_get_bool_val(node, &value);
                return PlistValue::boolean(value != 0);
            }
            case PLIST_UINT:
                return PlistValue::integer(nextInteger(node));
            case PLIST_UID: {
                // libplist turns a dictionary whose only key is "CF$UID" into a UID; undo it.
                std::uint64_t uid = 0;
                plist_get_uid_val(node, &uid);
                const std::int64_t value = nextScanned(m_scalars.integers, m_integer);
                if (std::bit_cast<std::uint64_t>(value) != uid) failXml("an integer was misread");
                return PlistValue::dictionary({{"CF$UID", PlistValue::integer(value)}});
            }
            case PLIST_REAL: {
                double read = 0;
                plist_get_real_val(node, &read);
                const double value = nextScanned(m_scalars.reals, m_real);
                if (!(read == value || (std::isnan(read) && std::isnan(value)))) {
                    failXml("a real was misread");
                }
                return PlistValue::real(value);
            }
            case PLIST_DATE: {
                std::int32_t seconds = 0;
                std::int32_t microseconds = 0;
                plist_get_date_val(node, &seconds, &microseconds);
                const double value = nextScanned(m_scalars.dates, m_date);
                // libplist's 32-bit seconds hold only about 1933 to 2069; the scanned text
                // holds the full range.
                if (std::abs(value) < std::numeric_limits<std::int32_t>::max() &&
                    static_cast<double>(seconds) != value) {
                    failXml("a date was misread");
                }
                return PlistValue::date({value});
            }
            case PLIST_STRING: {
                std::uint64_t length = 0;
                const char* text = plist_get_string_ptr(node, &length);
                return PlistValue::string(checkedText(text, length));
            }
            case PLIST_DATA: {
                std::uint64_t length = 0;
                const auto* bytes =
                    reinterpret_cast<const std::byte*>(plist_get_data_ptr(node, &length));
                return PlistValue::data(bytes ? Bytes(bytes, bytes + length) : Bytes());
            }
            case PLIST_ARRAY: {
                PlistArray items;
                const std::uint32_t count = plist_array_get_size(node);
                for (std::uint32_t i = 0; i < count; ++i) {
                    items.push_back(read(plist_array_get_item(node, i), depth + 1));
                }
                return PlistValue::array(std::move(items));
            }
            case PLIST_DICT:
                return readDictionary(node, depth);
            default:
                failXml("unsupported element");
        }
    }

    // Throws unless every scanned number and date was matched by one from the tree.
    void checkAllUsed() const {
        if (m_integer != m_scalars.integers.size() || m_real != m_scalars.reals.size() ||
            m_date != m_scalars.dates.size()) {
            failXml("the document could not be read unambiguously");
        }
    }

  private:
    template <typename T>
    static T nextScanned(const std::vector<T>& values, std::size_t& cursor) {
        if (cursor >= values.size()) failXml("the document could not be read unambiguously");
        return values[cursor++];
    }

    std::int64_t nextInteger(plist_t node) {
        std::uint64_t read = 0;
        plist_get_uint_val(node, &read);
        const std::int64_t value = nextScanned(m_scalars.integers, m_integer);
        if (std::bit_cast<std::uint64_t>(value) != read) failXml("an integer was misread");
        return value;
    }

    static std::string checkedText(const char* text, std::uint64_t length) {
        std::string value = text ? std::string(text, length) : std::string();
        if (!isWellFormedUtf8(value)) failXml("a string is not well-formed UTF-8");
        return value;
    }

    PlistValue readDictionary(plist_t node, std::size_t depth) {
        PlistDictionary entries;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        const std::unique_ptr<void, decltype(&std::free)> iteratorOwner(iterator, &std::free);
        for (;;) {
            char* rawKey = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iterator, &rawKey, &child);
            if (!child) {
                std::free(rawKey);
                break;
            }
            std::string key = rawKey ? std::string(rawKey) : std::string();
            std::free(rawKey);
            if (!isWellFormedUtf8(key)) failXml("a key is not well-formed UTF-8");
            PlistValue value = read(child, depth + 1);
            if (!entries.emplace(std::move(key), std::move(value)).second) {
                failXml("duplicate dictionary key");
            }
        }
        return PlistValue::dictionary(std::move(entries));
    }

    const XmlPropertyListScalars& m_scalars;
    std::size_t m_integer = 0;
    std::size_t m_real = 0;
    std::size_t m_date = 0;
};

PlistValue readXmlPropertyList(ByteView bytes) {
    const XmlPropertyListScalars scalars = scanXmlPropertyList(asText(bytes));
    plist_t raw = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()), &raw);
    const PlistPtr root(raw);
    if (!root) failXml("not a property list");
    XmlTreeReader reader(scalars);
    PlistValue value = reader.read(root.get(), 0);
    reader.checkAllUsed();
    return value;
}

std::string checkedCString(const std::string& text, const char* what) {
    if (!isWellFormedUtf8(text)) failWrite(std::string(what) + " is not well-formed UTF-8");
    if (text.find('\0') != std::string::npos)
        failWrite(std::string(what) + " holds a NUL character");
    return text;
}

PlistPtr toNode(const PlistValue& value, std::size_t depth) {
    if (depth > fmt::kMaxDepth) failWrite("nested too deeply");
    if (const auto* text = value.ifString()) {
        return PlistPtr(plist_new_string(checkedCString(*text, "a string").c_str()));
    }
    if (const auto* number = value.ifInteger()) {
        return PlistPtr(plist_new_uint(std::bit_cast<std::uint64_t>(*number)));
    }
    if (const auto* number = value.ifReal()) return PlistPtr(plist_new_real(*number));
    if (const auto* flag = value.ifBoolean()) return PlistPtr(plist_new_bool(*flag ? 1 : 0));
    if (const auto* date = value.ifDate()) {
        const double seconds = std::floor(date->secondsSinceReferenceDate);
        double micro =
            std::round((date->secondsSinceReferenceDate - seconds) * kMicrosecondsPerSecond);
        double whole = seconds;
        if (micro >= kMicrosecondsPerSecond) {
            whole += 1;
            micro = 0;
        }
        constexpr double kLow = std::numeric_limits<std::int32_t>::min();
        constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
        if (!(whole >= kLow && whole <= kHigh)) {
            failWrite("dates before 1933 or after 2069 cannot be written");
        }
        return PlistPtr(
            plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micro)));
    }
    if (const auto* bytes = value.ifData()) {
        return PlistPtr(
            plist_new_data(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    }
    if (const auto* items = value.ifArray()) {
        PlistPtr array(plist_new_array());
        for (const PlistValue& item : *items) {
            plist_array_append_item(array.get(), toNode(item, depth + 1).release());
        }
        return array;
    }
    PlistPtr dictionary(plist_new_dict());
    for (const auto& [key, item] : *value.ifDictionary()) {
        const std::string checkedKey = checkedCString(key, "a key");
        plist_dict_set_item(dictionary.get(), checkedKey.c_str(),
                            toNode(item, depth + 1).release());
    }
    return dictionary;
}

}  // namespace

PlistValue parsePropertyList(ByteView bytes) {
    if (bytes.empty()) {
        throw Error(kPropertyListDomain, kPropertyListMalformed, "Empty property list");
    }
    if (bytes.size() > fmt::kMaxInputSize) {
        throw Error(kPropertyListDomain, kPropertyListTooLarge,
                    "Property list larger than " + std::to_string(fmt::kMaxInputSize) + " bytes");
    }
    if (asText(bytes).starts_with("bplist")) return readBinaryPropertyList(bytes);
    return readXmlPropertyList(bytes);
}

Bytes toBinaryPropertyList(const PlistValue& value) {
    const PlistPtr root = toNode(value, 0);
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &out, &length);
    if (!out) failWrite("the encoder failed");
    const auto* begin = reinterpret_cast<const std::byte*>(out);
    Bytes bytes(begin, begin + length);
    plist_to_bin_free(out);
    return bytes;
}

std::string toXmlPropertyList(const PlistValue& value) {
    const PlistPtr root = toNode(value, 0);
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &out, &length);
    if (!out) failWrite("the encoder failed");
    std::string text(out, length);
    plist_to_xml_free(out);
    return text;
}

}  // namespace lumifold::platform
