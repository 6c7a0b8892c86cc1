#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "core/common/BigEndian.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

PlistValue str(std::string text) { return PlistValue::string(std::move(text)); }
PlistValue integer(std::int64_t value) { return PlistValue::integer(value); }
PlistValue real(double value) { return PlistValue::real(value); }
PlistValue date(double seconds) { return PlistValue::date({seconds}); }
PlistValue dataValue(std::string_view bytes) { return PlistValue::data(toBytes(bytes)); }

// Every kind, with the edges that encoders get wrong. Dates are whole seconds, the precision
// of the XML format.
PlistValue sample() {
    return PlistValue::dictionary({
        {"integers",
         PlistValue::array({integer(0), integer(1), integer(-1), integer(255), integer(256),
                            integer(-129), integer(4294967296), integer(kMin), integer(kMax)})},
        {"reals", PlistValue::array({real(44.0), real(0.1), real(-2.5), real(1e-300),
                                     real(1.7976931348623157e308)})},
        {"flags", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false)})},
        {"text", PlistValue::array({str(""), str("plain"), str("<&>\"'"), str("héllo wörld"),
                                    str("日本語"), str("emoji 😀")})},
        {"dates", PlistValue::array({date(0), date(736672089), date(-334065600)})},
        {"data", PlistValue::array({dataValue(""), dataValue(std::string("\x00\xff\x10", 3))})},
        {"empty", PlistValue::dictionary({{"array", PlistValue::array({})},
                                          {"dictionary", PlistValue::dictionary({})}})},
        {"nested", PlistValue::dictionary(
                       {{"a", PlistValue::dictionary(
                                  {{"b", PlistValue::dictionary({{"c", integer(3)}})}})}})},
        {"ключ", str("non-ASCII key")},
    });
}

PlistValue fromXml(const std::string& text) { return parsePropertyList(asBytes(text)); }

std::string xmlDocument(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
           "</plist>\n";
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
    for (const std::uint64_t offset : offsets) {
        for (std::size_t i = width; i-- > 0;)
            out.push_back(static_cast<std::byte>(offset >> (8 * i)));
    }
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
    for (const std::uint64_t reference : references) {
        for (std::size_t i = width; i-- > 0;)
            out.push_back(static_cast<std::byte>(reference >> (8 * i)));
    }
    return out;
}

TEST(PropertyListTest, RoundTripsEveryKindThroughBinary) {
    const Bytes bytes = toBinaryPropertyList(sample());
    EXPECT_EQ(asText(ByteView(bytes).first(8)), "bplist00");
    EXPECT_EQ(parsePropertyList(bytes), sample());
}

TEST(PropertyListTest, RoundTripsEveryKindThroughXml) {
    EXPECT_EQ(fromXml(toXmlPropertyList(sample())), sample());
}

TEST(PropertyListTest, KeepsIntegersAndRealsDistinct) {
    const PlistValue value = PlistValue::array({real(44.0), integer(1), real(1.0), integer(44)});
    const std::string xml = toXmlPropertyList(value);
    EXPECT_NE(xml.find("<integer>1</integer>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<real>"), std::string::npos) << xml;
    for (const PlistValue& back : {parsePropertyList(toBinaryPropertyList(value)), fromXml(xml)}) {
        const PlistArray& items = *back.ifArray();
        ASSERT_EQ(items.size(), 4u);
        EXPECT_EQ(items[0].kind(), PlistValue::Kind::real);
        EXPECT_EQ(items[1].kind(), PlistValue::Kind::integer);
        EXPECT_EQ(items[2].kind(), PlistValue::Kind::real);
        EXPECT_EQ(items[3].kind(), PlistValue::Kind::integer);
        EXPECT_NE(items[0], integer(44));
    }
}

TEST(PropertyListTest, BinaryKeepsSubsecondDates) {
    const PlistValue value = date(100.5);
    EXPECT_EQ(parsePropertyList(toBinaryPropertyList(value)), value);
}

TEST(PropertyListTest, ReadsXmlNumberSpellingsOthersWrite) {
    EXPECT_EQ(fromXml(xmlDocument("<array><integer> 0x10 </integer><integer>-0x10</integer>"
                                  "<integer>+7</integer><real>+infinity</real><real>5</real>"
                                  "<date>4001-01-01T00:00:00Z</date></array>")),
              PlistValue::array({integer(16), integer(-16), integer(7),
                                 real(std::numeric_limits<double>::infinity()), real(5.0),
                                 date(63113904000.0)}));
}

TEST(PropertyListTest, ReadsSixteenByteIntegersThatFitInSixtyFourBits) {
    Bytes negative{std::byte{0x14}};
    appendU64(negative, ~std::uint64_t{0});
    appendU64(negative, static_cast<std::uint64_t>(-5));
    Bytes positive{std::byte{0x14}};
    appendU64(positive, 0);
    appendU64(positive, 5);
    EXPECT_EQ(parsePropertyList(binaryList({negative})), integer(-5));
    EXPECT_EQ(parsePropertyList(binaryList({positive})), integer(5));
}

TEST(PropertyListTest, SharedBinaryObjectsAreReadAsCopies) {
    // Two references to the same string, as encoders write repeated values.
    const PlistValue value = parsePropertyList(binaryList({arrayObject({1, 1}), toBytes("\x51x")}));
    EXPECT_EQ(value, PlistValue::array({str("x"), str("x")}));
}

// Malformed input: each case reaches the check it names.

TEST(PropertyListTest, RejectsEmptyInputAndGarbage) {
    EXPECT_LUMIFOLD_ERROR(parsePropertyList({}), kPropertyListDomain, kPropertyListMalformed,
                          "Empty property list");
    EXPECT_LUMIFOLD_ERROR_CODE(fromXml("this is not a property list"), kPropertyListDomain,
                               kPropertyListMalformed);
    EXPECT_LUMIFOLD_ERROR_CODE(fromXml("<plist><array><integer>1</array></plist>"),
                               kPropertyListDomain, kPropertyListMalformed);
    EXPECT_LUMIFOLD_ERROR_CODE(parsePropertyList(toBytes("bplist00\x01\x02")), kPropertyListDomain,
                               kPropertyListMalformed);
}

TEST(PropertyListTest, RejectsTruncatedBinary) {
    Bytes bytes = toBinaryPropertyList(sample());
    for (const std::size_t cut : {std::size_t{1}, std::size_t{20}, bytes.size() / 2}) {
        const ByteView truncated = ByteView(bytes).first(bytes.size() - cut);
        EXPECT_LUMIFOLD_ERROR_CODE(parsePropertyList(truncated), kPropertyListDomain,
                                   kPropertyListMalformed);
    }
}

TEST(PropertyListTest, RejectsBadTrailer) {
    const Bytes good = binaryList({toBytes("\x51x")});
    Bytes zeroWidth = good;
    zeroWidth[zeroWidth.size() - 26] = std::byte{0};  // offset size
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(zeroWidth), kPropertyListDomain, kPropertyListMalformed,
                          "Malformed binary property list: bad trailer (offset or reference size)");
    EXPECT_LUMIFOLD_ERROR_CODE(parsePropertyList(binaryList({toBytes("\x51x")}, 1, 1)),
                               kPropertyListDomain, kPropertyListMalformed);
    Bytes tableBeyondEnd = good;
    tableBeyondEnd[tableBeyondEnd.size() - 1] = std::byte{0xF0};
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(tableBeyondEnd), kPropertyListDomain,
                          kPropertyListMalformed,
                          "Malformed binary property list: offset table out of range");
}

TEST(PropertyListTest, RejectsOffsetsAndReferencesOutOfRange) {
    Bytes badOffset = binaryList({arrayObject({1}), toBytes("\x51x")});
    badOffset[badOffset.size() - 33] = std::byte{0x7F};  // the last offset in the table
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(badOffset), kPropertyListDomain, kPropertyListMalformed,
                          "Malformed binary property list: object offset out of range");
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList({arrayObject({9}), toBytes("\x51x")})),
                          kPropertyListDomain, kPropertyListMalformed,
                          "Malformed binary property list: object reference out of range");
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList({toBytes("\x5Fx")})), kPropertyListDomain,
                          kPropertyListMalformed, "Malformed binary property list: bad count");
    EXPECT_LUMIFOLD_ERROR_CODE(parsePropertyList(binaryList({toBytes("\x55xy")})),
                               kPropertyListDomain, kPropertyListMalformed);
}

TEST(PropertyListTest, RejectsReferenceCycles) {
    const std::string message = "Malformed binary property list: object contains itself";
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList({arrayObject({0})})), kPropertyListDomain,
                          kPropertyListMalformed, message);
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList({arrayObject({1}), arrayObject({0})})),
                          kPropertyListDomain, kPropertyListMalformed, message);
    // A dictionary whose value is the dictionary itself.
    Bytes selfValue{std::byte{0xD1}, std::byte{1}, std::byte{0}};
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList({selfValue, toBytes("\x51k")})),
                          kPropertyListDomain, kPropertyListMalformed, message);
}

TEST(PropertyListTest, RejectsSharedReferencesThatExpandWithoutBound) {
    // Each array refers twice to the next: 40 objects stand for 2^40 values.
    std::vector<Bytes> objects;
    for (std::uint64_t i = 0; i < 40; ++i) objects.push_back(arrayObject({i + 1, i + 1}));
    objects.push_back(toBytes("\x09"));
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList(objects)), kPropertyListDomain,
                          kPropertyListTooLarge,
                          "Malformed binary property list: more values than the bound allows");
}

TEST(PropertyListTest, RejectsDeepNestingInBothFormats) {
    constexpr std::size_t kDepth = 200000;
    std::string xml;
    for (std::size_t i = 0; i < kDepth; ++i) xml += "<array>";
    for (std::size_t i = 0; i < kDepth; ++i) xml += "</array>";
    EXPECT_LUMIFOLD_ERROR(fromXml(xmlDocument(xml)), kPropertyListDomain, kPropertyListTooLarge,
                          "Malformed XML property list: nested too deeply");

    std::vector<Bytes> objects;
    for (std::uint64_t i = 0; i < kDepth; ++i) objects.push_back(arrayObject({i + 1}, 4));
    objects.push_back(toBytes("\x09"));
    EXPECT_LUMIFOLD_ERROR(parsePropertyList(binaryList(objects, 4)), kPropertyListDomain,
                          kPropertyListTooLarge,
                          "Malformed binary property list: nested too deeply");
}

TEST(PropertyListTest, AcceptsNestingUpToTheBound) {
    PlistValue value = integer(1);
    for (int i = 0; i < 500; ++i) value = PlistValue::array({value});
    EXPECT_EQ(parsePropertyList(toBinaryPropertyList(value)), value);
    EXPECT_EQ(fromXml(toXmlPropertyList(value)), value);
}

TEST(PropertyListTest, RejectsNumberTextsTheXmlLibraryWouldMisread) {
    const auto rejects = [](const std::string& element) {
        SCOPED_TRACE(element);
        EXPECT_LUMIFOLD_ERROR_CODE(fromXml(xmlDocument("<array>" + element + "</array>")),
                                   kPropertyListDomain, kPropertyListMalformed);
    };
    rejects("<real>abc</real>");
    rejects("<real></real>");
    rejects("<real>1.5x</real>");
    rejects("<integer>99999999999999999999999</integer>");
    rejects("<integer>9223372036854775808</integer>");  // unsigned, above INT64_MAX
    rejects("<integer>-9223372036854775809</integer>");
    rejects("<integer>12abc</integer>");
    rejects("<integer/>");
    rejects("<integer>010</integer>");  // octal to the library, decimal to others
    rejects("<date>yesterday</date>");
    rejects("<integer>1<!-- x -->2</integer>");
    EXPECT_EQ(fromXml(xmlDocument("<integer>-9223372036854775808</integer>")), integer(kMin));
}

TEST(PropertyListTest, RejectsUnsignedBinaryIntegersAboveTheSignedRange) {
    Bytes huge{std::byte{0x14}};
    appendU64(huge, 0);
    appendU64(huge, static_cast<std::uint64_t>(kMax) + 1);
    EXPECT_LUMIFOLD_ERROR(
        parsePropertyList(binaryList({huge})), kPropertyListDomain, kPropertyListMalformed,
        "Malformed binary property list: integer outside the signed 64-bit range");
}

TEST(PropertyListTest, RejectsDuplicateKeysInBothFormats) {
    EXPECT_LUMIFOLD_ERROR(
        fromXml(xmlDocument(
            "<dict><key>a</key><string>1</string><key>a</key><string>2</string></dict>")),
        kPropertyListDomain, kPropertyListMalformed,
        "Malformed XML property list: duplicate dictionary key");
    const Bytes dictionary{std::byte{0xD2}, std::byte{1}, std::byte{1}, std::byte{2}, std::byte{2}};
    EXPECT_LUMIFOLD_ERROR(
        parsePropertyList(binaryList({dictionary, toBytes("\x51k"), toBytes("\x09")})),
        kPropertyListDomain, kPropertyListMalformed,
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
    const std::filesystem::path folder =
        std::filesystem::path(LUMIFOLD_TEST_DATA_DIR) / "plist-fuzz";
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
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
