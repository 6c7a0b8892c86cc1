// Checks our property lists against an independent implementation: python3's plistlib reads
// what we write and writes it again, in each format, and we must read back the same value.
#include <gtest/gtest.h>

#include "core/platform/FileSystem.h"
#include "core/platform/Process.h"
#include "core/platform/PropertyList.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

constexpr const char* kRewriteScript = R"(import plistlib, sys
with open(sys.argv[1], "rb") as f:
    value = plistlib.load(f)
fmt = plistlib.FMT_BINARY if sys.argv[3] == "binary" else plistlib.FMT_XML
with open(sys.argv[2], "wb") as f:
    plistlib.dump(value, f, fmt=fmt)
)";

// python3 found on the PATH, as a developer would run it.
int python(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "python3");
    return runProcess("/usr/bin/env", arguments).exitStatus;
}

TEST(PropertyListInteropTest, PlistlibReadsWhatWeWriteAndWeReadWhatItWrites) {
    if (python({"-c", "import plistlib"}) != 0) {
        GTEST_SKIP() << "python3 is not installed; plistlib interoperability not checked";
    }
    // Each kind keeps its kind: an integer is never read back as a real, nor data as a string.
    const PlistValue value = PlistValue::dictionary({
        {"text", PlistValue::string("héllo 日本語 😀 <&>")},
        {"integers",
         PlistValue::array({PlistValue::integer(64), PlistValue::integer(-1),
                            PlistValue::integer(INT64_MIN), PlistValue::integer(INT64_MAX)})},
        {"reals", PlistValue::array(
                      {PlistValue::real(44.0), PlistValue::real(0.1), PlistValue::real(-1e-300)})},
        {"flags", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false)})},
        {"when", PlistValue::date({736672089})},
        {"bytes", PlistValue::data(toBytes(std::string("\x00\xff", 2)))},
        {"empty",
         PlistValue::dictionary({{"a", PlistValue::array({})}, {"d", PlistValue::dictionary({})}})},
    });
    testing::TempHome home;
    const std::string binary = home.writeFile("ours.bplist", toBinaryPropertyList(value));
    const std::string xml = home.writeFile("ours.xml", toXmlPropertyList(value));
    for (const std::string& ours : {binary, xml}) {
        for (const std::string format : {"binary", "xml"}) {
            SCOPED_TRACE(ours + " rewritten as " + format);
            const std::string theirs = home / ("theirs." + format);
            ASSERT_EQ(python({"-c", kRewriteScript, ours, theirs, format}), 0);
            EXPECT_EQ(parsePropertyList(readFile(theirs)), value);
        }
    }
}

}  // namespace
}  // namespace lumifold::platform
