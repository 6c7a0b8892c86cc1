#include "core/common/Iso8601.h"

#include <algorithm>
#include <array>

namespace lumifold {
namespace {

using std::chrono::days;
using std::chrono::seconds;
using std::chrono::system_clock;

constexpr std::size_t kLength = 20;  // "YYYY-MM-DDTHH:MM:SSZ"

void appendDigits(std::string& text, long long value, int width) {
    std::array<char, 8> digits{};
    for (int i = width - 1; i >= 0; --i) {
        digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    text.append(digits.data(), static_cast<std::size_t>(width));
}

// The decimal value of text[offset, offset + width), or -1 when a character is not a digit.
int digitsAt(std::string_view text, std::size_t offset, std::size_t width) {
    int value = 0;
    for (std::size_t i = offset; i < offset + width; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::string formatIso8601(system_clock::time_point time) {
    using namespace std::chrono;
    // Clamping keeps the text in its fixed twenty-character form.
    constexpr sys_days kFirst = sys_days{year{0} / January / 1};
    constexpr sys_days kLast = sys_days{year{9999} / December / 31};
    const auto whole = floor<seconds>(time);
    auto day = floor<days>(whole);
    auto timeOfDay = whole - day;
    if (day < kFirst) {
        day = kFirst;
        timeOfDay = seconds{0};
    } else if (day > kLast) {
        day = kLast;
        timeOfDay = seconds{86399};
    }
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{timeOfDay};

    std::string text;
    text.reserve(kLength);
    appendDigits(text, static_cast<int>(date.year()), 4);
    text.push_back('-');
    appendDigits(text, static_cast<unsigned>(date.month()), 2);
    text.push_back('-');
    appendDigits(text, static_cast<unsigned>(date.day()), 2);
    text.push_back('T');
    appendDigits(text, clock.hours().count(), 2);
    text.push_back(':');
    appendDigits(text, clock.minutes().count(), 2);
    text.push_back(':');
    appendDigits(text, clock.seconds().count(), 2);
    text.push_back('Z');
    return text;
}

std::optional<system_clock::time_point> parseIso8601(std::string_view text) {
    using namespace std::chrono;
    if (text.size() != kLength || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const int yearValue = digitsAt(text, 0, 4);
    const int monthValue = digitsAt(text, 5, 2);
    const int dayValue = digitsAt(text, 8, 2);
    const int hourValue = digitsAt(text, 11, 2);
    const int minuteValue = digitsAt(text, 14, 2);
    const int secondValue = digitsAt(text, 17, 2);
    if (yearValue < 0 || monthValue < 0 || dayValue < 0 || hourValue < 0 || hourValue > 23 ||
        minuteValue < 0 || minuteValue > 59 || secondValue < 0 || secondValue > 59) {
        return std::nullopt;
    }
    const year_month_day date{year{yearValue}, month{static_cast<unsigned>(monthValue)},
                              day{static_cast<unsigned>(dayValue)}};
    if (!date.ok()) return std::nullopt;
    const sys_seconds moment =
        sys_days{date} + hours{hourValue} + minutes{minuteValue} + seconds{secondValue};
    // A clock that counts nanoseconds in 64 bits reaches only the years 1677 to 2262; a moment
    // beyond its range would wrap around into another date.
    if (moment < ceil<seconds>(system_clock::time_point::min()) ||
        moment > floor<seconds>(system_clock::time_point::max())) {
        return std::nullopt;
    }
    return system_clock::time_point{moment};
}

std::string iso8601Identifier(system_clock::time_point time) {
    std::string text = formatIso8601(time);
    std::replace(text.begin(), text.end(), ':', '-');
    return text;
}

}  // namespace lumifold
