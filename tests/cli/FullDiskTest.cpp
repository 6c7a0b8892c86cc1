#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/cli/CliTestSupport.h"

// Apply on a home whose snapshot store has room for the snapshot but not for completing its
// manifest: it must stop before it changes anything. The store is a small tmpfs mounted in a
// mount namespace of the program's own (root only).
namespace lumifold {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kPage = 4096;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Bytes of every file under `path`, each rounded up to whole pages as tmpfs counts them.
std::uintmax_t pagesOf(const std::string& path) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (entry.is_regular_file()) total += (entry.file_size() + kPage - 1) / kPage * kPage;
    }
    return total;
}

void makeHome(const testing::TempHome& home) {
    home.writeFile("Desktop/.DS_Store", viewStyleStore("Nlsv"));
    // Many files to flag make a manifest of many pages.
    for (int i = 0; i < 3000; ++i) {
        home.writeFile("Documents/file-" + std::to_string(i) + ".txt", "x");
    }
    home.makeFolder(".lumifold");
}

TEST(FullDiskTest, ApplyStopsBeforeWritingWhenItsManifestCouldNotBeCompleted) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    const testing::TempHome reference, home;
    const std::string isolated = "unshare --mount --propagation private sh -c ";
    // The shell's files go to the reference home: the home compared holds only its own.
    if (runShell(reference, isolated + quoted("mount -t tmpfs -o size=64k tmpfs " + home.path()))
            .status != 0) {
        GTEST_SKIP() << "no mount namespace with a tmpfs here";
    }
    makeHome(reference);
    makeHome(home);
    const std::string apply = quoted(LUMIFOLD_CLI_PATH) +
                              " --home . apply --no-relaunch --folder Desktop --folder Documents";
    ASSERT_EQ(runShell(reference, "cd " + quoted(reference.path()) + " && " + apply).status, 0);
    // Room for everything the snapshot holds, its manifest as completed included, and a little
    // more: enough for the snapshot, not for a second manifest beside the first.
    const std::uintmax_t room = pagesOf(reference / ".lumifold") + 4 * kPage;
    // All but the snapshot store and the shell's own files.
    const auto state = [&] {
        return testing::treeState(home.path(), [&](const std::string& path) {
            return path == home / ".lumifold" || path.starts_with(home / ".cli-");
        });
    };
    const auto before = state();
    const CliResult result =
        runShell(home, "cd " + quoted(home.path()) + " && " + isolated +
                           quoted("mount -t tmpfs -o size=" + std::to_string(room / 1024) +
                                  "k tmpfs .lumifold && exec " + apply));
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("Could not reserve space for"), std::string::npos) << result.err;
    EXPECT_EQ(state(), before);
}

}  // namespace
}  // namespace lumifold
