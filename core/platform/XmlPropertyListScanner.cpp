#include "core/platform/XmlPropertyListScanner.h"

#include <charconv>
#include <limits>
#include <set>
#include <string>

#include "core/common/Error.h"
#include "core/platform/PropertyList.h"
#include "core/platform/PropertyListFormat.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

[[noreturn]] void fail(PropertyListError code, const std::string& detail) {
    throw Error(kPropertyListDomain, code, "Malformed XML property list: " + detail);
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

bool allDigits(std::string_view text, int base) {
    if (text.empty()) return false;
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !(base == 16 && hex)) return false;
    }
    return true;
}

// Decimal or "0x" hexadecimal, with an optional sign. Leading zeros are refused because the
// XML library would read "010" as octal.
std::int64_t parseInteger(std::string_view raw) {
    std::string_view text = trimmed(raw);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (!allDigits(text, base) || (base == 10 && text.size() > 1 && text[0] == '0')) {
        fail(kPropertyListMalformed, "<integer> holds \"" + std::string(raw) + "\"");
    }
    std::uint64_t magnitude = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : std::uint64_t{INT64_MAX};
    if (result.ec == std::errc::result_out_of_range || magnitude > limit) {
        fail(kPropertyListMalformed,
             "<integer> " + std::string(raw) + " lies outside the signed 64-bit range");
    }
    // Two's complement negation, defined for the magnitude of INT64_MIN too.
    return static_cast<std::int64_t>(negative ? ~magnitude + 1 : magnitude);
}

double parseReal(std::string_view raw) {
    std::string_view text = trimmed(raw);
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        fail(kPropertyListMalformed, "<real> holds \"" + std::string(raw) + "\"");
    }
    return value;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// "YYYY-MM-DDTHH:MM:SSZ", as property lists write dates.
double parseDate(std::string_view raw) {
    const std::string_view text = trimmed(raw);
    const auto field = [&](std::size_t at, std::size_t width, int low, int high) {
        int value = 0;
        const char* begin = text.data() + at;
        const auto result = std::from_chars(begin, begin + width, value);
        if (!allDigits(text.substr(at, width), 10) || result.ptr != begin + width || value < low ||
            value > high) {
            fail(kPropertyListMalformed, "<date> holds \"" + std::string(raw) + "\"");
        }
        return value;
    };
    constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (text.size() != kShape.size() || (kShape[i] != '0' && text[i] != kShape[i])) {
            fail(kPropertyListMalformed, "<date> holds \"" + std::string(raw) + "\"");
        }
    }
    const std::int64_t days =
        daysFromCivil(field(0, 4, 0, 9999), field(5, 2, 1, 12), field(8, 2, 1, 31));
    const std::int64_t seconds =
        field(11, 2, 0, 23) * 3600 + field(14, 2, 0, 59) * 60 + field(17, 2, 0, 60);
    constexpr std::int64_t kReferenceDateUnixSeconds = 978307200;
    return static_cast<double>(days * 86400 + seconds - kReferenceDateUnixSeconds);
}

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.substr(at, prefix.size()) == prefix;
}

}  // namespace

XmlPropertyListScalars scanXmlPropertyList(std::string_view text) {
    XmlPropertyListScalars scalars;
    std::vector<std::string_view> open;  // names of the elements around the position
    // Raw key texts seen so far in each open element (used for dictionaries only): libplist
    // would silently keep the last of two equal keys.
    std::vector<std::set<std::string_view>> keys;
    std::size_t elementCount = 0;
    std::size_t textStart = 0;  // where the text of the innermost element begins
    std::size_t at = 0;
    const auto endOf = [&](std::size_t from, std::string_view terminator) {
        const std::size_t end = text.find(terminator, from);
        if (end == std::string_view::npos) fail(kPropertyListMalformed, "unterminated markup");
        return end + terminator.size();
    };
    const auto isScalar = [](std::string_view name) {
        return name == "integer" || name == "real" || name == "date";
    };
    const auto record = [&](std::string_view name, std::string_view content) {
        if (name == "integer") scalars.integers.push_back(parseInteger(content));
        if (name == "real") scalars.reals.push_back(parseReal(content));
        if (name == "date") scalars.dates.push_back(parseDate(content));
    };
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const bool inScalar = !open.empty() && isScalar(open.back());
        if (inScalar && !startsWith(text, at, "</")) {
            fail(kPropertyListMalformed, "markup inside <" + std::string(open.back()) + ">");
        }
        if (startsWith(text, at, "<!--")) {
            at = endOf(at + 4, "-->");
        } else if (startsWith(text, at, "<![CDATA[")) {
            at = endOf(at + 9, "]]>");
        } else if (startsWith(text, at, "<?")) {
            at = endOf(at + 2, "?>");
        } else if (startsWith(text, at, "<!")) {
            const std::size_t end = endOf(at + 2, ">");
            if (text.substr(at, end - at).find('[') != std::string_view::npos) {
                fail(kPropertyListMalformed, "document type declarations with a subset");
            }
            at = end;
        } else if (startsWith(text, at, "</")) {
            const std::size_t end = endOf(at + 2, ">");
            const std::string_view name = trimmed(text.substr(at + 2, end - 1 - (at + 2)));
            if (open.empty() || open.back() != name) {
                fail(kPropertyListMalformed, "mismatched closing tag </" + std::string(name) + ">");
            }
            record(name, text.substr(textStart, at - textStart));
            open.pop_back();
            keys.pop_back();
            if (name == "key" && !open.empty() && open.back() == "dict" &&
                !keys.back().insert(trimmed(text.substr(textStart, at - textStart))).second) {
                fail(kPropertyListMalformed, "duplicate dictionary key");
            }
            at = end;
        } else {
            const std::size_t end = endOf(at + 1, ">");
            const bool selfClosing = text[end - 2] == '/';
            const std::string_view tag = text.substr(at + 1, end - 1 - (at + 1));
            const std::string_view name = tag.substr(0, tag.find_first_of(" \t\r\n/"));
            if (name.empty()) fail(kPropertyListMalformed, "tag without a name");
            if (++elementCount > fmt::kMaxValueCount) {
                fail(kPropertyListTooLarge, "more values than the bound allows");
            }
            if (selfClosing) {
                record(name, {});
            } else {
                open.push_back(name);
                keys.emplace_back();
                // One level more than the value depth for the <plist> element itself.
                if (open.size() > fmt::kMaxDepth + 1)
                    fail(kPropertyListTooLarge, "nested too deeply");
            }
            at = end;
            textStart = end;
        }
    }
    if (!open.empty())
        fail(kPropertyListMalformed, "<" + std::string(open.back()) + "> is not closed");
    return scalars;
}

}  // namespace lumifold::platform
