// Checks our property lists against an independent implementation: python3's plistlib writes
// values at the edges of each format, we read them and write them again, and plistlib must read
// back the values it wrote (XML has no UIDs, so only the binary file holds them).
#include <gtest/gtest.h>

#include "core/platform/FileSystem.h"
#include "core/platform/Process.h"
#include "core/platform/PropertyList.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

// "write PATH FORMAT" writes the value for FORMAT; "check PATH FORMAT" exits 0 when the file
// holds it.
constexpr const char* kScript = R"(import datetime, plistlib, sys
mode, path, fmt = sys.argv[1:4]
value = {"big": [2**63, 2**64 - 1, -2**63], "uids": [plistlib.UID(1), plistlib.UID(2**40)],
         "dates": [datetime.datetime(4001, 1, 1), datetime.datetime(1900, 1, 1)],
         "nested": {"a": [{"b": [b"\0\xff", "<&> h\u00e9llo \U0001F600", 0.1, True]}, []]}}
if fmt == "xml":
    del value["uids"]
if mode == "write":
    with open(path, "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY if fmt == "binary" else plistlib.FMT_XML)
with open(path, "rb") as f:
    sys.exit(0 if plistlib.load(f) == value else 1)
)";

int python(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"python3", "-c", kScript};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProcess("/usr/bin/env", command).exitStatus;  // python3 from the PATH
}

TEST(PropertyListInteropTest, ReadsAndRewritesWhatPlistlibWrites) {
    if (runProcess("/usr/bin/env", {"python3", "-c", "import plistlib"}).exitStatus != 0) {
        GTEST_SKIP() << "python3 is not installed; plistlib interoperability not checked";
    }
    testing::TempHome home;
    for (const std::string format : {"binary", "xml"}) {
        SCOPED_TRACE(format);
        const std::string theirs = home / ("theirs." + format);
        ASSERT_EQ(python({"write", theirs, format}), 0);
        const PlistValue value = parsePropertyList(readFile(theirs));
        std::vector<std::string> ours = {home.writeFile("ours", toBinaryPropertyList(value))};
        if (format == "xml") ours.push_back(home.writeFile("ours.xml", toXmlPropertyList(value)));
        for (const std::string& path : ours) EXPECT_EQ(python({"check", path, format}), 0) << path;
    }
}

}  // namespace
}  // namespace lumifold::platform
