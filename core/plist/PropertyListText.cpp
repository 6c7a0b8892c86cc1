#include "core/plist/PropertyListText.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/plist/PropertyListFormat.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;
using namespace std::chrono;

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr std::int64_t secondsSinceReference(sys_days day) {
    return day.time_since_epoch().count() * kSecondsPerDay - fmt::kReferenceDateUnixSeconds;
}

// The first instant XML can hold, and the first it cannot.
constexpr std::int64_t kFirstSecond =
    secondsSinceReference(sys_days{year{fmt::kFirstXmlYear} / January / 1});
constexpr std::int64_t kEndSecond =
    secondsSinceReference(sys_days{year{fmt::kLastXmlYear + 1} / January / 1});

// The digits of 1 - 0.<digits>, as many as given: the fraction of a negative instant counted
// from the whole second before it. Its own inverse; `digits` holds a digit other than 0.
std::string complement(std::string digits) {
    const std::size_t last = digits.find_last_not_of('0');
    digits[last] = static_cast<char>('0' + 10 - (digits[last] - '0'));
    for (std::size_t i = 0; i < last; ++i) digits[i] = static_cast<char>('0' + '9' - digits[i]);
    return digits;
}

bool allDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The value of text[at, at + width), or -1 when it is not all digits.
int field(std::string_view text, std::size_t at, std::size_t width) {
    const std::string_view digits = text.substr(at, width);
    int value = 0;
    if (!allDigits(digits)) return -1;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

// Whether a decimal number outside the doubles' range lies beyond the largest (rather than below
// the smallest): the power of ten of its first non-zero digit is at least 0. That power is
// computed with the exponent clamped far beyond any double, so no sum can wrap.
bool beyondLargest(std::string_view decimal) {
    constexpr std::int64_t kFar = std::int64_t{1} << 40;
    const std::size_t e = std::min(decimal.find_first_of("eE"), decimal.size());
    std::int64_t exponent = 0;
    if (e < decimal.size()) {
        std::string_view digits = decimal.substr(e + 1);
        const bool negative = digits.starts_with('-');
        if (negative || digits.starts_with('+')) digits.remove_prefix(1);
        const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
        if (parsed.ec == std::errc::result_out_of_range) exponent = kFar;
        exponent = std::min(exponent, kFar) * (negative ? -1 : 1);
    }
    const std::string_view mantissa = decimal.substr(0, e);
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    // Never npos: a number whose digits are all zero is in range.
    const std::size_t first = mantissa.find_first_of("123456789");
    const auto lead = first < point ? static_cast<std::int64_t>(point - first - 1)
                                    : -static_cast<std::int64_t>(first - point);
    return exponent + lead >= 0;
}

}  // namespace

std::optional<std::string> formatPropertyListDate(double secondsSinceReferenceDate) {
    const double value = secondsSinceReferenceDate;
    if (!(value >= static_cast<double>(kFirstSecond) && value < static_cast<double>(kEndSecond))) {
        return std::nullopt;
    }
    // The shortest decimal that reads back as `value`, split into a whole second and digits.
    std::array<char, 512> buffer{};
    const char* end =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed)
            .ptr;
    const std::string_view exact(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    const std::size_t point = std::min(exact.find('.'), exact.size());
    std::int64_t whole = 0;
    std::from_chars(exact.data(), exact.data() + point, whole);
    std::string digits(exact.substr(std::min(point + 1, exact.size())));
    if (exact.front() == '-' && !digits.empty()) {
        whole -= 1;
        digits = complement(std::move(digits));
    }
    const sys_seconds instant{seconds{whole + fmt::kReferenceDateUnixSeconds}};
    const sys_days day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{instant - day};
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return std::string(text.data()) + (digits.empty() ? "" : "." + digits) + "Z";
}

std::optional<double> parsePropertyListDate(std::string_view text) {
    constexpr std::size_t kWholeLength = 19;  // "YYYY-MM-DDTHH:MM:SS"
    if (text.size() <= kWholeLength || text.back() != 'Z' || text[4] != '-' || text[7] != '-' ||
        text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    const std::string_view fraction = text.substr(kWholeLength, text.size() - kWholeLength - 1);
    if (!fraction.empty() && (fraction[0] != '.' || !allDigits(fraction.substr(1)))) {
        return std::nullopt;
    }
    const int fields[] = {field(text, 0, 4),  field(text, 5, 2),  field(text, 8, 2),
                          field(text, 11, 2), field(text, 14, 2), field(text, 17, 2)};
    for (const int value : fields) {
        if (value < 0) return std::nullopt;
    }
    const auto [yearValue, monthValue, dayValue, hour, minute, second] = fields;
    const year_month_day date{year{yearValue}, month{static_cast<unsigned>(monthValue)},
                              day{static_cast<unsigned>(dayValue)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const std::int64_t whole =
        secondsSinceReference(sys_days{date}) + hour * 3600 + minute * 60 + second;
    const std::string digits(fraction.empty() ? "" : fraction.substr(1));
    if (digits.find_first_not_of('0') == std::string::npos) return static_cast<double>(whole);
    // The exact decimal instant, rounded once by the parser.
    const std::string exact = whole >= 0
                                  ? std::to_string(whole) + "." + digits
                                  : "-" + std::to_string(-whole - 1) + "." + complement(digits);
    double value = 0;
    std::from_chars(exact.data(), exact.data() + exact.size(), value);
    return value;
}

std::optional<PlistValue> parsePropertyListInteger(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    if (hex) text.remove_prefix(2);
    std::uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), magnitude, hex ? 16 : 10);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (!negative) return PlistValue::unsignedInteger(magnitude);
    if (magnitude > std::uint64_t{1} << 63) return std::nullopt;
    return PlistValue::integer(static_cast<std::int64_t>(~magnitude + 1));
}

std::optional<double> parsePropertyListReal(std::string_view text) {
    const bool plus = text.starts_with('+');
    if (plus) text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool outOfRange = error == std::errc::result_out_of_range;
    if (text.empty() || (plus && text[0] == '-') || (error != std::errc() && !outOfRange) ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (outOfRange) {
        // The nearest double, as other readers give it: infinity or zero, with the sign.
        const double nearest = beyondLargest(text) ? kInfinity : 0.0;
        return text.starts_with('-') ? -nearest : nearest;
    }
    return value;
}

}  // namespace lumifold::platform
