// Checks our property lists against an independent implementation: python3's plistlib writes
// values at the edges of each format (UIDs in binary only: XML has none), we read and rewrite
// them, and plistlib must read back what it wrote, value by value.
#include <gtest/gtest.h>

#include "core/platform/FileSystem.h"
#include "core/platform/Process.h"
#include "core/platform/PropertyList.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

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
