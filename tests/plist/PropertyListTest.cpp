#include <gtest/gtest.h>

#include <limits>

#include "core/common/BigEndian.h"
#include "core/platform/FileSystem.h"
#include "core/platform/Process.h"
#include "core/plist/PropertyList.h"
#include "core/plist/PropertyListJson.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {

// Failures show values as JSON.
void PrintTo(const PlistValue& value, std::ostream* out) {
    *out << plistToJson(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using V = PlistValue;

constexpr std::uint64_t kTop = UINT64_MAX;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kYear0 = -63145526400;      // 0000-01-01T00:00:00Z
constexpr double kYear10000 = 252423993600;  // 10000-01-01T00:00:00Z
const std::string kHigh = "\xED\xA0\x80";    // lone surrogates, as generalised UTF-8
const std::string kLow = "\xED\xB0\x80";

V str(std::string text) { return V::string(std::move(text)); }
V integer(std::int64_t value) { return V::integer(value); }
V date(double seconds) { return V::date({seconds}); }
V list(PlistArray items) { return V::array(std::move(items)); }
V dict(PlistDictionary entries) { return V::dictionary(std::move(entries)); }
V nested(V value, int levels) {
    while (levels-- > 0) value = list({value});
    return value;
}

// A document with every kind of prolog item around `body`.
Bytes xml(const std::string& body) {
    const std::string prolog = "<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"x\" \"y\"><!--c-->";
    return toBytes(prolog + "<plist version=\"1.0\">" + body + "</plist>\n");
}

// `text` in UTF-16, each byte one character (so Latin-1), after a byte-order mark when asked.
Bytes utf16(std::string_view text, bool bigEndian, bool mark = false) {
    Bytes out;
    const auto unit = [&](unsigned value) {
        const auto high = static_cast<std::byte>(value >> 8), low = static_cast<std::byte>(value);
        out.insert(out.end(), {bigEndian ? high : low, bigEndian ? low : high});
    };
    if (mark) unit(0xFEFF);
    for (const char c : text) unit(static_cast<unsigned char>(c));
    return out;
}

void appendWide(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

// Lays out a binary property list from raw object bytes, with references and offsets of
// `width` bytes, so tests can describe structures no encoder would write.
Bytes binaryList(const std::vector<Bytes>& objects, std::size_t width = 1, std::uint64_t top = 0) {
    Bytes out = toBytes("bplist00");
    Bytes table;
    for (const Bytes& object : objects) {
        appendWide(table, out.size(), width);
        out.insert(out.end(), object.begin(), object.end());
    }
    const std::uint64_t tableOffset = out.size();
    out.insert(out.end(), table.begin(), table.end());
    appendWide(out, width << 8 | width, 8);  // unused bytes, sort version, both widths
    appendU64(out, objects.size());
    appendU64(out, top);
    appendU64(out, tableOffset);
    return out;
}

// A document declaring `encoding`; its bytes are the caller's to encode.
std::string declaring(const std::string& encoding, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\r\n<plist>" + body + "</plist>";
}

Bytes one(std::string_view object) { return binaryList({toBytes(object)}); }

// An array object holding `count` (below 15) references to object `target`, `width` bytes each.
Bytes arrayObject(std::pair<std::size_t, std::uint64_t> references, std::size_t width = 1) {
    Bytes out{static_cast<std::byte>(0xA0 | references.first)};
    for (std::size_t i = 0; i < references.first; ++i) appendWide(out, references.second, width);
    return out;
}

// An array of `count` two-byte references to object `target`.
Bytes wideArray(std::uint16_t count, std::uint64_t target) {
    Bytes out = toBytes("\xAF\x11"sv);
    for (std::size_t i = 0; i <= count; ++i) appendWide(out, i == 0 ? count : target, 2);
    return out;
}

// `length` arrays, each holding `fanOut` references to the next, and then `leaf`.
Bytes chain(std::uint64_t length, std::size_t fanOut, std::size_t width, Bytes leaf) {
    std::vector<Bytes> objects;
    for (std::uint64_t i = 1; i <= length; ++i) objects.push_back(arrayObject({fanOut, i}, width));
    objects.push_back(std::move(leaf));
    return binaryList(objects, width);
}

// Every kind and the edges encoders get wrong, in both formats (XML where it can hold them).
TEST(PropertyListTest, WritesEveryKindAndReadsItBack) {
    const std::vector<V> values = {
        list({integer(0), integer(-1), integer(255), integer(256), integer(65536),
              integer(4294967296), integer(INT64_MIN), integer(INT64_MAX)}),
        list({V::unsignedInteger(std::uint64_t{1} << 63), V::unsignedInteger(kTop)}),
        list({V::real(44.0), V::real(0.1), V::real(-0.0), V::real(1e-300), V::real(kInf),
              V::real(-kInf), V::real(kNan), V::real(std::numeric_limits<double>::max())}),
        list({V::boolean(true), V::boolean(false)}),
        list({str(""), str("<&>\"']]>"), str("tab\t lf\n cr\r \x01 nul\0"s), str("é"),
              str("日本 😀")}),
        list({str(kHigh), str("a" + kLow + kHigh + "b"), str(kHigh + "😀")}),
        list({date(0), date(100.5), date(1e9 + 0.1), date(-0.1), date(-1e-300), date(kYear0),
              date(63113904000) /* 4001-01-01 */, date(-3187296000) /* 1900-01-01 */,
              date(kYear10000 - 0.5)}),
        list({V::data({}), V::data(Bytes(20, std::byte{0xAB}))}),
        list({V::uid(0), V::uid(255), V::uid(65536), V::uid(kTop)}),
        list(PlistArray(15, str("counts from 15 follow the marker"))),
        nested(V::uid(1), 511),  // XML's UID dictionary reaches the deepest level allowed
        dict({{"empty", dict({{"array", list({})}, {"dictionary", dict({})}})},
              {"not a UID", dict({{"CF$UID", str("5")}})},
              {"nor this", dict({{"CF$UID", integer(5)}, {"x", integer(6)}})},
              {"ключ " + kHigh, list({dict({{"", integer(1)}})})}}),
    };
    // Values XML cannot hold (or not within the readers' bounds); binary keeps them.
    const std::vector<V> binaryOnly = {list(PlistArray(400000, V::uid(1))),
                                       nested(V::uid(1), 512),
                                       dict({{"CF$UID", integer(5)}}),
                                       date(kNan),
                                       date(kYear10000),
                                       date(kYear0 - 0.5)};
    for (const V& value : values) {
        EXPECT_EQ(parsePropertyList(toBinaryPropertyList(value)), value);
        EXPECT_EQ(parsePropertyList(asBytes(toXmlPropertyList(value))), value);
    }
    for (const V& value : binaryOnly) {
        EXPECT_EQ(parsePropertyList(toBinaryPropertyList(value)), value);
        EXPECT_LUMIFOLD_ERROR_CODE(toXmlPropertyList(value), kPropertyListDomain,
                                   kPropertyListUnwritable);
    }
    // Nothing writes what no reader would take back: the last two are 66 MiB of data shared (33
    // MiB written) and less than 64 MiB of data in more than 64 MiB written.
    for (const V& value :
         {str("bad \xff"), str(kHigh + kLow), dict({{"\xff", integer(1)}}), nested(integer(1), 513),
          list(PlistArray(1 << 20, V::boolean(true))),
          list({V::data(Bytes(33 << 20)), V::data(Bytes(33 << 20))}),
          list({V::data(Bytes((64 << 20) - 100000)), list(PlistArray(30000, list({})))})}) {
        EXPECT_LUMIFOLD_ERROR_CODE(toBinaryPropertyList(value), kPropertyListDomain,
                                   kPropertyListUnwritable);
        EXPECT_LUMIFOLD_ERROR_CODE(toXmlPropertyList(value), kPropertyListDomain,
                                   kPropertyListUnwritable);
    }
    // Readers, ours too, turn a raw carriage return into a line feed, and "]]>" is not text.
    EXPECT_NE(toXmlPropertyList(str("\r]]>")).find("<string>&#xD;]]&gt;</string>"),
              std::string::npos);
}

TEST(PropertyListTest, ReadsWhatOtherWritersMayWrite) {
    EXPECT_EQ(
        parsePropertyList(xml(
            "<array><integer> 0x10 </integer><integer>-0x10</integer>"
            "<integer>+7</integer><integer>010</integer><real>5</real>"
            "<real>NaN</real><real>+Infinity</real><real>-INF</real>"
            "<date>2001-01-01T00:00:00.50Z</date><date>2000-12-31T23:59:59.000Z</date></array>")),
        list({integer(16), integer(-16), integer(7), integer(10), V::real(5), V::real(kNan),
              V::real(kInf), V::real(-kInf), date(0.5), date(-1)}));
    EXPECT_EQ(parsePropertyList(xml("<array><string>&lt;&#x41;&#66;<![CDATA[<&>]]><!-- c -->"
                                    "<?pi?>&#xD83D;&#xDE00;</string><data> AAEC\n\tAwQ= </data>"
                                    "<string>&#xD800;</string><true/><false></false><string/>"
                                    "<dict/><array/><data/></array><!-- c -->")),
              list({str("<AB<&>😀"), V::data(toBytes("\0\1\2\3\4"sv)), str(kHigh), V::boolean(true),
                    V::boolean(false), str(""), dict({}), list({}), V::data({})}));
    // Beyond the doubles, the nearest one with the sign (bits compared, so -0.0 is not 0.0),
    // whether the exponent or the place of the first digit decides.
    const std::string zeros(400, '0');
    for (const auto& [text, nearest] :
         std::vector<std::pair<std::string, double>>{{"1e400", kInf},
                                                     {"-1E+400", -kInf},
                                                     {"1e-400", 0.0},
                                                     {"-1e-400", -0.0},
                                                     {"1" + zeros + "e-10", kInf},
                                                     {"-0." + zeros + "1e10", -0.0},
                                                     {"0.0012e99999999999999999999", kInf},
                                                     {"-12e-99999999999999999999", -0.0}}) {
        EXPECT_EQ(toBinaryPropertyList(parsePropertyList(xml("<real>" + text + "</real>"))),
                  toBinaryPropertyList(V::real(nearest)))
            << text;
    }
    const std::vector<std::pair<Bytes, V>> cases = {
        {xml("<dict><key>a</key><string>1</string><key>a</key><true/></dict>"),
         dict({{"a", V::boolean(true)}})},
        {binaryList({toBytes("\xD2\x01\x01\x02\x03"), toBytes("\x51k"), toBytes("\x51v"),
                     toBytes("\x09")}),
         dict({{"k", V::boolean(true)}})},
        {xml("<dict><key>a\r\nb</key><string>1\r\n2\r3\r\r\n<![CDATA[4\r\n5\r]]>&#13;&#xD;&#10;"
             "</string></dict>"),
         dict({{"a\nb", str("1\n2\n3\n\n4\n5\n\r\r\n")}})},
        {toBytes("<?xml version='1.0'?><true/>"), V::boolean(true)},
        {toBytes("\xEF\xBB\xBF<plist><true/></plist>"), V::boolean(true)},
        {toBytes("\xFE\xFF\0<\0t\0r\0u\0e\0/\0>"sv), V::boolean(true)},
        {toBytes("\xFF\xFE<\0t\0r\0u\0e\0/\0>\0"sv), V::boolean(true)},
        // A declared encoding, converted before anything else is read.
        {toBytes(declaring("ISO-8859-1", "<string>caf\xE9\r\n</string>")), str("café\n")},
        {toBytes("<?xml version='1.0' encoding = 'latin1' ?><string>\xE9</string>"), str("é")},
        {toBytes(declaring("US-ASCII", "<true/>")), V::boolean(true)},
        {toBytes(declaring("windows-1252", "<string>\x80</string>")), str("€")},
        {toBytes("\xEF\xBB\xBF" + declaring("utf-8", "<string>é</string>")), str("é")},
        {utf16(declaring("UTF-16", "<string>\xE9\r\n</string>"), true, true), str("é\n")},
        {utf16(declaring("UTF-16", "<string>\xE9</string>"), false, true), str("é")},
        {utf16(declaring("UTF-16BE", "<true/>"), true), V::boolean(true)},
        {utf16(declaring("UTF-16LE", "<true/>"), false), V::boolean(true)},
        {utf16(declaring("UTF-16", "<true/>"), true), V::boolean(true)},  // big-endian unmarked
        {one("\x14\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFB"), integer(-5)},
        {one("\x82\x01\x02\x03"), V::uid(0x010203)},
        {one("\x22\x3F\xC0\x00\x00"sv), V::real(1.5)},
        {one("\x5F\x10\x01x"), str("x")},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(parsePropertyList(cases[i].first), cases[i].second);
    }
}

// Each case reaches the check its message names.
TEST(PropertyListTest, RefusesMalformedAndHostileInput) {
    const Bytes sample = toBinaryPropertyList(list({str("abc"), integer(1)}));
    Bytes tableBeyondEnd = one("\x51x");
    tableBeyondEnd.back() = std::byte{0xF0};
    Bytes badOffset = binaryList({arrayObject({1, 1}), toBytes("\x51x")});
    badOffset[badOffset.size() - 33] = std::byte{0x7F};  // the last offset in the table
    const std::string ascii = declaring("US-ASCII", "<string>\xE9</string>");
    Bytes wideText = toBytes("\xFE\xFF");  // 22 Mi characters U+4E4E: 66 MiB once in UTF-8
    wideText.resize(44 << 20, std::byte{0x4E});
    constexpr int kBad = kPropertyListMalformed;
    constexpr int kBig = kPropertyListTooLarge;
    const auto repeated = [](const std::string& text, std::size_t count) {
        std::string out;
        while (count-- > 0) out += text;
        return out;
    };
    std::vector<std::tuple<Bytes, int, std::string>> cases = {
        {{}, kBad, "Empty property list"},
        {Bytes((64 << 20) + 1, std::byte{' '}), kBig, "Property list larger than 67108864 bytes"},
        {Bytes(sample.begin(), sample.end() - 1), kBad, "bad trailer (offset or reference size)"},
        {Bytes(sample.begin(), sample.begin() + 20), kBad, "too short"},
        {binaryList({toBytes("\x51x")}, 1, 1), kBad, "bad trailer (object count or top object)"},
        {tableBeyondEnd, kBad, "offset table out of range"},
        {badOffset, kBad, "object offset out of range"},
        {binaryList({arrayObject({1, 9}), toBytes("\x09")}), kBad, "object reference out of range"},
        {one("\x5Fx"), kBad, "bad count"},
        {one("\x15"), kBad, "bad integer size"},
        {one("\x87\x01"), kBad, "object runs past the object area"},
        {one("\x55xy"), kBad, "object runs past the object area"},
        {one("\x51\xC3"), kBad, "ASCII string holds a byte above 0x7F"},
        {one("\x14\0\0\0\0\0\0\0\x01\x80\0\0\0\0\0\0\0"sv), kBad, "integer wider than 64 bits"},
        {one("\x14\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\0\0\0\0\0\0\0\x01"sv), kBad,
         "integer wider than 64 bits"},
        {one("\x88\x01\x02\x03\x04\x05\x06\x07\x08\x09"), kBad, "unsupported object type 136"},
        {binaryList({toBytes("\xD1\x01\x01"), toBytes("\x10\x01")}), kBad,
         "dictionary key is not a string"},
        {binaryList({arrayObject({1, 1}), toBytes("\xD1\x02\x00"sv), toBytes("\x51k")}), kBad,
         "object contains itself"},
        {chain(40, 2, 1, toBytes("\x09")), kBig, "more values than the bound allows"},  // 2^40
        // One value past the bound: an array of 2^20 references to the first object.
        {binaryList({toBytes("\x09"),
                     toBytes(std::string("\xAF\x12\0\x10\0\0", 6) + std::string(1 << 20, '\0'))},
                    1, 1),
         kBig, "more values than the bound allows"},
        {chain(513, 1, 2, toBytes("\x09")), kBig, "nested too deeply"},
        {toBytes("not a property list"), kBad, "text where an element belongs"},
        {xml("<data>!!!!</data>"), kBad, "<data> is not base64"},
        {xml("<true>yes</true>"), kBad, "<true> holds text"},
        {xml("<array><integer>1</array>"), kBad, "markup inside <integer>"},
        {xml("<dict><string>a</string></dict>"), kBad, "<dict> holds a value without a <key>"},
        {xml("<string>&nbsp;</string>"), kBad, "unknown reference &nbsp;"},
        {xml("<string>fish & chips, and far later a semicolon;</string>"), kBad,
         "malformed reference"},
        {xml("<string>&#99999999999;</string>"), kBad, "unknown reference &#99999999999;"},
        {xml("<string/><string/>"), kBad, "<plist> holds more than one value"},
        {toBytes("<!DOCTYPE plist [<!ENTITY e 'x'>]><plist/>"), kBad,
         "DOCTYPE with an internal subset"},
        {toBytes("<string>x</string>y"), kBad, "content after the root element"},
        {toBytes("<plist version=\"1.0><true/>"), kBad, "unterminated attribute value"},
        {toBytes("<string>\xFF</string>"), kBad, "not well-formed UTF-8"},
        {toBytes("<array>"), kBad, "unexpected end of the document"},
        {toBytes("<string>abc"), kBad, "<string> is not closed"},
        {toBytes("\xFF\xFE<\0!"sv), kBad, "byte 4 is not UTF-16LE"},
        {toBytes("\xFE\xFF\0<\xD8\x00"sv), kBad, "byte 4 is not UTF-16BE"},
        {toBytes(ascii), kBad, "byte " + std::to_string(ascii.find('\xE9')) + " is not US-ASCII"},
        {toBytes(declaring("klingon", "<true/>")), kBad, "unknown encoding \"klingon\""},
        {toBytes(declaring("utf 8", "<true/>")), kBad,
         "unknown encoding \"utf 8\""},  // ICU would take it
        {toBytes("\xEF\xBB\xBF" + declaring("latin1", "<true/>")), kBad,
         "declares \"latin1\" but begins with a UTF-8 byte-order mark"},
        {utf16(declaring("UTF-8", "<true/>"), false, true), kBad,
         "declares \"UTF-8\" but begins with a UTF-16LE byte-order mark"},
        {utf16(declaring("UTF-16", "<true/>"), false), kBad,
         "not in \"UTF-16\", the encoding it declares"},
        {toBytes(declaring("latin1", "<string>") + std::string(40 << 20, '\xE9')), kBig,
         "larger than the bound"},
        {wideText, kBig, "larger than the bound"},
        {xml(repeated("<array>", 513) + "<true/>"), kBig, "nested too deeply"},
        {xml("<array>" + repeated("<true/>", 1 << 20)), kBig, "more values than the bound allows"},
    };
    // 4 KB: 1000 references to 1000 references to one 134-byte data, ASCII or UTF-16 object,
    // so a million values (within their bound) and 134 MB of payload once decoded.
    for (const std::string_view leaf : {"\x4F\x10\x86"sv, "\x5F\x10\x86"sv, "\x6F\x10\x43"sv}) {
        cases.emplace_back(binaryList({wideArray(1000, 1), wideArray(1000, 2),
                                       toBytes(std::string(leaf) + std::string(134, 'a'))},
                                      2),
                           kBig, "strings and data exceed the size bound");
    }
    for (const std::string_view element :  // "name|text": <name>text</name>
         {"integer|12abc", "real|1.5x", "real|1e400x", "integer|18446744073709551616",
          "integer|-0x8000000000000001", "date|2001-02-29T00:00:00Z",
          "date|10000-01-01T00:00:00Z"}) {
        const std::string name(element.substr(0, element.find('|')));
        const std::string text(element.substr(element.find('|') + 1));
        cases.emplace_back(xml("<" + name + ">" + text + "</" + name + ">"), kBad,
                           "<" + name + "> holds \"" + text + "\"");
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [bytes, code, detail] = cases[i];
        // Empty and oversized input is refused before either reader sees it.
        const std::string prefix = bytes.empty() || bytes.size() > (64 << 20) ? ""
                                   : asText(bytes).starts_with("bplist")
                                       ? "Malformed binary property list: "
                                       : "Malformed XML property list: ";
        EXPECT_LUMIFOLD_ERROR(parsePropertyList(bytes), kPropertyListDomain, code, prefix + detail);
    }
}

// Checks our property lists against an independent implementation: python3's plistlib writes
// values at the edges of each format (UIDs in binary only: XML has none), we read and rewrite
// them, and plistlib must read back what it wrote, value by value.

// Arguments: PATH FORMAT [write]. Writes the value for FORMAT when asked, then exits 0 when the
// file at PATH holds it.
constexpr const char* kScript = R"(import datetime, plistlib, sys
value = {"big": [2**63, 2**64 - 1, -2**63], "uids": [plistlib.UID(1), plistlib.UID(2**40)],
         "dates": [datetime.datetime(4001, 1, 1), datetime.datetime(1900, 1, 1)],
         "nested": {"a": [{"b": [b"\0\xff", "<&> h\u00e9llo \U0001F600", 0.1, True]}, []]}}
binary = sys.argv[2] == "binary"
if not binary: del value["uids"]
if sys.argv[3:]: plistlib.dump(value, open(sys.argv[1], "wb"),
                               fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
sys.exit(0 if plistlib.load(open(sys.argv[1], "rb")) == value else 1)
)";

// python3 from the PATH, as a developer would run it.
int python(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"python3", "-c", kScript});
    return runProcess("/usr/bin/env", arguments).exitStatus;
}

TEST(PropertyListInteropTest, ReadsAndRewritesWhatPlistlibWrites) {
    if (runProcess("/usr/bin/env", {"python3", "-c", "import plistlib"}).exitStatus != 0) {
        GTEST_SKIP() << "python3 is not installed; plistlib interoperability not checked";
    }
    testing::TempHome home;
    for (const std::string format : {"binary", "xml"}) {
        const std::string theirs = home / ("theirs." + format);
        ASSERT_EQ(python({theirs, format, "write"}), 0);
        const PlistValue value = parsePropertyList(readFile(theirs));
        std::vector<std::string> ours = {home.writeFile("ours", toBinaryPropertyList(value))};
        if (format == "xml") ours.push_back(home.writeFile("ours.xml", toXmlPropertyList(value)));
        for (const std::string& path : ours) EXPECT_EQ(python({path, format}), 0) << path;
    }
}

}  // namespace
}  // namespace lumifold::platform
