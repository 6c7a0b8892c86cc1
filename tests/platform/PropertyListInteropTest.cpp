// Checks our property lists against an independent implementation: python3's plistlib.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "core/common/Numbers.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

// Prints a property-list file as JSON, tagging numbers, dates and data so that kinds compare.
constexpr const char* kDumpScript = R"(import datetime, json, plistlib, sys
def tag(v):
    if isinstance(v, bool): return v
    if isinstance(v, int): return {"int": v}
    if isinstance(v, float): return {"real": v}
    if isinstance(v, datetime.datetime):
        return {"date": (v - datetime.datetime(2001, 1, 1)).total_seconds()}
    if isinstance(v, bytes): return {"data": v.hex()}
    if isinstance(v, list): return [tag(x) for x in v]
    if isinstance(v, dict): return {k: tag(x) for k, x in v.items()}
    return v
with open(sys.argv[1], "rb") as f:
    print(json.dumps(tag(plistlib.load(f))))
)";

// Writes a Finder-like preferences dictionary in the format named by argv[2].
constexpr const char* kWriteScript = R"(import datetime, plistlib, sys
value = {
    "FXPreferredViewStyle": "Nlsv",
    "FXArrangeGroupViewBy": "Kind",
    "AppleShowAllExtensions": True,
    "StandardViewSettings": {"IconViewSettings": {
        "arrangeBy": "name", "iconSize": 64, "gridSpacing": 54.0, "textSize": 12.0,
        "labelOnBottom": True, "showItemInfo": False, "showIconPreview": True,
        "backgroundType": 0}},
    "RecentMoveAndCopyDestinations": {
        "LastUsed": datetime.datetime(2024, 5, 6, 7, 8, 9),
        "Bookmark": b"\x00\xffbook",
        "Expires": datetime.datetime(4001, 1, 1)},
}
with open(sys.argv[1], "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_BINARY if sys.argv[2] == "binary" else plistlib.FMT_XML)
)";

nlohmann::json tagged(const PlistValue& value) {
    if (const auto* text = value.ifString()) return *text;
    if (const auto* number = value.ifInteger()) return {{"int", *number}};
    if (const auto* number = value.ifReal()) return {{"real", *number}};
    if (const auto* flag = value.ifBoolean()) return *flag;
    if (const auto* when = value.ifDate()) return {{"date", when->secondsSinceReferenceDate}};
    if (const auto* bytes = value.ifData()) {
        std::string hex;
        for (const std::byte b : *bytes) {
            constexpr std::string_view kDigits = "0123456789abcdef";
            hex += kDigits[std::to_integer<std::size_t>(b) >> 4];
            hex += kDigits[std::to_integer<std::size_t>(b) & 0xF];
        }
        return {{"data", hex}};
    }
    if (const auto* items = value.ifArray()) {
        nlohmann::json out = nlohmann::json::array();
        for (const PlistValue& item : *items) out.push_back(tagged(item));
        return out;
    }
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [key, item] : *value.ifDictionary()) out[key] = tagged(item);
    return out;
}

class PropertyListInteropTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!run("command -v python3 >/dev/null 2>&1 && echo yes")) {
            GTEST_SKIP() << "python3 is not installed; plistlib interoperability not checked";
        }
        home.writeFile("dump.py", kDumpScript);
        home.writeFile("write.py", kWriteScript);
    }

    // Standard output of a shell command, or nullopt when it fails.
    static std::optional<std::string> run(const std::string& command) {
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return std::nullopt;
        std::string out;
        std::array<char, 4096> buffer{};
        while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
            out.append(buffer.data(), n);
        }
        if (::pclose(pipe) != 0 || out.empty()) return std::nullopt;
        return out;
    }

    nlohmann::json dumpWithPython(const std::string& path) {
        const auto out = run("python3 '" + (home / "dump.py") + "' '" + path + "'");
        if (!out) {
            ADD_FAILURE() << "plistlib could not read " << path;
            return nullptr;
        }
        return nlohmann::json::parse(*out);
    }

    PlistValue writtenByPython(const std::string& format) {
        const std::string path = home / ("written." + format);
        EXPECT_TRUE(run("python3 '" + (home / "write.py") + "' '" + path + "' " + format +
                        " && echo done"));
        return parsePropertyList(readFile(path));
    }

    testing::TempHome home;
};

PlistValue interopSample() {
    return PlistValue::dictionary({
        {"integers",
         PlistValue::array({PlistValue::integer(1), PlistValue::integer(-1),
                            PlistValue::integer(INT64_MIN), PlistValue::integer(INT64_MAX)})},
        {"reals", PlistValue::array(
                      {PlistValue::real(44.0), PlistValue::real(0.1), PlistValue::real(-1e-300)})},
        {"text", PlistValue::string("héllo 日本語 😀 <&>")},
        {"flags", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false)})},
        {"when", PlistValue::date({736672089})},
        {"bytes", PlistValue::data(toBytes(std::string("\x00\xff", 2)))},
        {"empty",
         PlistValue::dictionary({{"a", PlistValue::array({})}, {"d", PlistValue::dictionary({})}})},
    });
}

TEST_F(PropertyListInteropTest, PlistlibReadsOurBinaryAndXml) {
    const PlistValue value = interopSample();
    const std::string binary = home.writeFile("ours.bplist", toBinaryPropertyList(value));
    const std::string xml = home.writeFile("ours.xml", toXmlPropertyList(value));
    EXPECT_EQ(dumpWithPython(binary), tagged(value));
    EXPECT_EQ(dumpWithPython(xml), tagged(value));
}

TEST_F(PropertyListInteropTest, ReadsFinderPreferencesWrittenByPlistlib) {
    const PlistValue expected = PlistValue::dictionary({
        {"FXPreferredViewStyle", PlistValue::string("Nlsv")},
        {"FXArrangeGroupViewBy", PlistValue::string("Kind")},
        {"AppleShowAllExtensions", PlistValue::boolean(true)},
        {"StandardViewSettings",
         PlistValue::dictionary(
             {{"IconViewSettings", PlistValue::dictionary({
                                       {"arrangeBy", PlistValue::string("name")},
                                       {"iconSize", PlistValue::integer(64)},
                                       {"gridSpacing", PlistValue::real(54.0)},
                                       {"textSize", PlistValue::real(12.0)},
                                       {"labelOnBottom", PlistValue::boolean(true)},
                                       {"showItemInfo", PlistValue::boolean(false)},
                                       {"showIconPreview", PlistValue::boolean(true)},
                                       {"backgroundType", PlistValue::integer(0)},
                                   })}})},
        {"RecentMoveAndCopyDestinations",
         PlistValue::dictionary({
             // 2024-05-06T07:08:09Z and 4001-01-01T00:00:00Z.
             {"LastUsed", PlistValue::date({736672089})},
             {"Expires", PlistValue::date({63113904000})},
             {"Bookmark", PlistValue::data(toBytes(std::string("\x00\xff"
                                                               "book",
                                                               6)))},
         })},
    });
    EXPECT_EQ(writtenByPython("binary"), expected);
    EXPECT_EQ(writtenByPython("xml"), expected);
}

}  // namespace
}  // namespace lumifold::platform
