#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <limits>

#include "core/common/BigEndian.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::platform {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

PlistValue str(std::string text) { return PlistValue::string(std::move(text)); }
PlistValue integer(std::int64_t value) { return PlistValue::integer(value); }
PlistValue real(double value) { return PlistValue::real(value); }
PlistValue date(double seconds) { return PlistValue::date({seconds}); }

// Every kind, with the edges that encoders get wrong. Whole reals must stay reals (PlistValue
// equality compares kinds); dates are whole seconds, the precision of the XML format.
PlistValue sample() {
    return PlistValue::dictionary({
        {"integers",
         PlistValue::array({integer(0), integer(-1), integer(255), integer(256), integer(-129),
                            integer(4294967296), integer(kMin), integer(kMax)})},
        {"reals", PlistValue::array({real(44.0), real(0.1), real(-2.5), real(1e-300),
                                     real(1.7976931348623157e308)})},
        {"flags", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false)})},
        {"text", PlistValue::array(
                     {str(""), str("<&>\"'"), str("héllo wörld"), str("日本語"), str("emoji 😀")})},
        {"dates", PlistValue::array({date(0), date(736672089), date(-334065600)})},
        {"data", PlistValue::array({PlistValue::data({}),
                                    PlistValue::data(toBytes(std::string("\x00\xff\x10", 3)))})},
        {"empty", PlistValue::dictionary({{"array", PlistValue::array({})},
                                          {"dictionary", PlistValue::dictionary({})}})},
        {"nested", PlistValue::dictionary({{"a", PlistValue::array({integer(3)})}})},
        {"ключ", str("non-ASCII key")},
    });
}

Bytes xml(const std::string& body) {
    return toBytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
                   "</plist>\n");
}

// Expects `bytes` refused with `code`; an empty `message` leaves the text (the XML library's
// own for some) unchecked.
void expectRefused(ByteView bytes, int code, const std::string& message = {}) {
    try {
        (void)parsePropertyList(bytes);
        ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), kPropertyListDomain);
        EXPECT_EQ(error.code(), code);
        EXPECT_TRUE(message.empty() || error.message() == message) << error.message();
    }
}

void appendWide(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

// Lays out a binary property list from raw object bytes, with references and offsets of
// `width` bytes, so tests can describe structures no encoder would write.
Bytes binaryList(const std::vector<Bytes>& objects, std::size_t width = 1, std::uint64_t top = 0) {
    Bytes out = toBytes("bplist00");
    std::vector<std::uint64_t> offsets;
    for (const Bytes& object : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), object.begin(), object.end());
    }
    const std::uint64_t tableOffset = out.size();
    for (const std::uint64_t offset : offsets) appendWide(out, offset, width);
    out.resize(out.size() + 6);
    out.push_back(static_cast<std::byte>(width));
    out.push_back(static_cast<std::byte>(width));
    appendU64(out, objects.size());
    appendU64(out, top);
    appendU64(out, tableOffset);
    return out;
}

// An array object referring to `references`, each `width` bytes wide.
Bytes arrayObject(const std::vector<std::uint64_t>& references, std::size_t width = 1) {
    Bytes out{static_cast<std::byte>(0xA0 | references.size())};
    for (const std::uint64_t reference : references) appendWide(out, reference, width);
    return out;
}

// A sixteen-byte integer object.
Bytes wideInteger(std::uint64_t high, std::uint64_t low) {
    Bytes out{std::byte{0x14}};
    appendU64(out, high);
    appendU64(out, low);
    return out;
}

TEST(PropertyListTest, RoundTripsEveryKindThroughBothFormats) {
    const Bytes bytes = toBinaryPropertyList(sample());
    EXPECT_EQ(asText(ByteView(bytes).first(8)), "bplist00");
    EXPECT_EQ(parsePropertyList(bytes), sample());
    EXPECT_EQ(parsePropertyList(asBytes(toXmlPropertyList(sample()))), sample());
    // Binary alone keeps fractions of a second.
    EXPECT_EQ(parsePropertyList(toBinaryPropertyList(date(100.5))), date(100.5));
}

TEST(PropertyListTest, ReadsNumberSpellingsOthersWrite) {
    EXPECT_EQ(parsePropertyList(xml("<array><integer> 0x10 </integer><integer>-0x10</integer>"
                                    "<integer>+7</integer><real>+infinity</real><real>5</real>"
                                    "<integer>-9223372036854775808</integer>"
                                    "<date>4001-01-01T00:00:00Z</date></array>")),
              PlistValue::array({integer(16), integer(-16), integer(7),
                                 real(std::numeric_limits<double>::infinity()), real(5.0),
                                 integer(kMin), date(63113904000.0)}));
    // Sixteen-byte binary integers are read while they fit in sixty-four bits.
    EXPECT_EQ(parsePropertyList(
                  binaryList({wideInteger(~std::uint64_t{0}, static_cast<std::uint64_t>(-5))})),
              integer(-5));
    EXPECT_EQ(parsePropertyList(binaryList({wideInteger(0, 5)})), integer(5));
}

TEST(PropertyListTest, RejectsNumberTextsTheXmlLibraryWouldMisread) {
    // 010 is octal to the library and decimal to others; 2^63 fits only unsigned.
    for (const std::string element :
         {"<real></real>", "<real>1.5x</real>", "<integer>12abc</integer>", "<integer/>",
          "<integer>9223372036854775808</integer>", "<integer>-9223372036854775809</integer>",
          "<integer>010</integer>", "<integer>1<!-- x -->2</integer>", "<date>yesterday</date>"}) {
        SCOPED_TRACE(element);
        expectRefused(xml("<array>" + element + "</array>"), kPropertyListMalformed);
    }
    expectRefused(binaryList({wideInteger(0, static_cast<std::uint64_t>(kMax) + 1)}),
                  kPropertyListMalformed,
                  "Malformed binary property list: integer outside the signed 64-bit range");
}

// Malformed structure: each case reaches the check its message names.
TEST(PropertyListTest, RejectsMalformedStructure) {
    const std::string prefix = "Malformed binary property list: ";
    const Bytes good = binaryList({toBytes("\x51x")});
    const Bytes sampleBytes = toBinaryPropertyList(sample());
    Bytes zeroWidth = good;
    zeroWidth[zeroWidth.size() - 26] = std::byte{0};  // offset size
    Bytes tableBeyondEnd = good;
    tableBeyondEnd[tableBeyondEnd.size() - 1] = std::byte{0xF0};
    Bytes badOffset = binaryList({arrayObject({1}), toBytes("\x51x")});
    badOffset[badOffset.size() - 33] = std::byte{0x7F};  // the last offset in the table
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, "Empty property list"},
        {toBytes("this is not a property list"), ""},
        {toBytes("<plist><array><integer>1</array></plist>"), ""},
        {toBytes("bplist00\x01\x02"), ""},
        {Bytes(sampleBytes.begin(), sampleBytes.end() - 1), ""},
        {Bytes(sampleBytes.begin(), sampleBytes.begin() + std::ssize(sampleBytes) / 2), ""},
        {zeroWidth, prefix + "bad trailer (offset or reference size)"},
        {binaryList({toBytes("\x51x")}, 1, 1), ""},  // top object beyond the table
        {tableBeyondEnd, prefix + "offset table out of range"},
        {badOffset, prefix + "object offset out of range"},
        {binaryList({arrayObject({9}), toBytes("\x51x")}),
         prefix + "object reference out of range"},
        {binaryList({toBytes("\x5Fx")}), prefix + "bad count"},
        {binaryList({toBytes("\x55xy")}), ""}};  // string longer than its object
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        expectRefused(cases[i].first, kPropertyListMalformed, cases[i].second);
    }
}

TEST(PropertyListTest, RejectsReferenceCycles) {
    const Bytes dictionaryHoldingItself{std::byte{0xD1}, std::byte{1}, std::byte{0}};
    for (const auto& objects : {std::vector<Bytes>{arrayObject({0})},
                                std::vector<Bytes>{arrayObject({1}), arrayObject({0})},
                                std::vector<Bytes>{dictionaryHoldingItself, toBytes("\x51k")}}) {
        expectRefused(binaryList(objects), kPropertyListMalformed,
                      "Malformed binary property list: object contains itself");
    }
}

TEST(PropertyListTest, ReadsSharedReferencesAsCopiesWithinABound) {
    // Two references to the same string, as encoders write repeated values.
    EXPECT_EQ(parsePropertyList(binaryList({arrayObject({1, 1}), toBytes("\x51x")})),
              PlistValue::array({str("x"), str("x")}));
    // Each array refers twice to the next: 40 objects stand for 2^40 values.
    std::vector<Bytes> objects;
    for (std::uint64_t i = 0; i < 40; ++i) objects.push_back(arrayObject({i + 1, i + 1}));
    objects.push_back(toBytes("\x09"));
    expectRefused(binaryList(objects), kPropertyListTooLarge,
                  "Malformed binary property list: more values than the bound allows");
}

TEST(PropertyListTest, RejectsDeepNestingInBothFormats) {
    PlistValue allowed = integer(1);
    for (int i = 0; i < 500; ++i) allowed = PlistValue::array({allowed});
    EXPECT_EQ(parsePropertyList(toBinaryPropertyList(allowed)), allowed);
    EXPECT_EQ(parsePropertyList(asBytes(toXmlPropertyList(allowed))), allowed);

    constexpr std::size_t kDepth = 200000;
    std::string deep;
    for (std::size_t i = 0; i < kDepth; ++i) deep += "<array>";
    for (std::size_t i = 0; i < kDepth; ++i) deep += "</array>";
    expectRefused(xml(deep), kPropertyListTooLarge,
                  "Malformed XML property list: nested too deeply");
    std::vector<Bytes> objects;
    for (std::uint64_t i = 0; i < kDepth; ++i) objects.push_back(arrayObject({i + 1}, 4));
    objects.push_back(toBytes("\x09"));
    expectRefused(binaryList(objects, 4), kPropertyListTooLarge,
                  "Malformed binary property list: nested too deeply");
}

TEST(PropertyListTest, RejectsDuplicateKeysInBothFormats) {
    expectRefused(xml("<dict><key>a</key><string>1</string><key>a</key><string>2</string></dict>"),
                  kPropertyListMalformed, "Malformed XML property list: duplicate dictionary key");
    const Bytes dictionary{std::byte{0xD2}, std::byte{1}, std::byte{1}, std::byte{2}, std::byte{2}};
    expectRefused(binaryList({dictionary, toBytes("\x51k"), toBytes("\x09")}),
                  kPropertyListMalformed,
                  "Malformed binary property list: duplicate dictionary key");
}

TEST(PropertyListTest, RefusesToWriteWhatCannotBeReadBack) {
    EXPECT_LUMIFOLD_ERROR(toBinaryPropertyList(str("bad \xff utf-8")), kPropertyListDomain,
                          kPropertyListUnwritable,
                          "Cannot write the property list: a string is not well-formed UTF-8");
    EXPECT_LUMIFOLD_ERROR_CODE(toXmlPropertyList(str(std::string("a\0b", 3))), kPropertyListDomain,
                               kPropertyListUnwritable);
    EXPECT_LUMIFOLD_ERROR(toBinaryPropertyList(date(63113904000.0)), kPropertyListDomain,
                          kPropertyListUnwritable,
                          "Cannot write the property list: dates before 1933 or after 2069 cannot "
                          "be written");
}

// The fuzzer's findings replay here, under every compiler: each must give a value or an Error.
TEST(PropertyListTest, ReplaysTheFuzzCorpus) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(LUMIFOLD_TEST_DATA_DIR) / "plist-fuzz")) {
        ++count;
        try {
            (void)parsePropertyList(readFile(entry.path().string()));
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), kPropertyListDomain) << entry.path();
        }
    }
    EXPECT_GT(count, 0u);
}

}  // namespace
}  // namespace lumifold::platform
