#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/common/FileList.h"
#include "core/common/Paths.h"
#include "tests/support/TestSeed.h"

namespace lumifold {
namespace {

// Folders that hold one another, share prefixes ("a" and "a b"), are given twice or end in "/":
// the list orders as the full paths themselves sort.
TEST(FileListTest, OrdersAsThePathsSort) {
    const auto seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    std::mt19937_64 generator(seed);
    const std::string alphabet = "a b.-/";
    const auto text = [&](std::size_t length) {
        std::string result;
        for (std::size_t i = 0; i < length; ++i) result += alphabet[generator() % alphabet.size()];
        return result;
    };
    for (int round = 0; round < 50; ++round) {
        FileList files;
        std::vector<std::string> expected;
        for (int f = 0; f < 8; ++f) {
            const std::string folder = "/r" + text(generator() % 5);
            FileNames names;  // in listing order, not sorted
            for (int n = 0; n < 4; ++n) {
                const std::string name = "n" + text(generator() % 3);
                names.add(name);
                expected.push_back(appending(folder, name));
            }
            files.addFolder(folder, std::move(names));
        }
        files.sortByPath();
        std::stable_sort(expected.begin(), expected.end());
        ASSERT_EQ(files.paths(), expected);
    }
}

}  // namespace
}  // namespace lumifold
