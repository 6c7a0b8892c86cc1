#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/dsstore/DSStoreEntry.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "tests/cli/CliRunner.h"

namespace lumifold {
namespace {

using platform::PlistValue;
using testing::CliResult;

// The stage commands against a sandbox home. On this system no Finder runs, so nothing is ever
// quit or started.
class StageCommandsTest : public ::testing::Test {
  protected:
    StageCommandsTest() {
        for (const char* name :
             {"Desktop", "Documents", "Downloads", "Pictures", "Movies", "Music"}) {
            home.makeFolder(name);
        }
        home.writeFile("Library/Preferences/com.apple.finder.plist",
                       platform::toBinaryPropertyList(PlistValue::dictionary(
                           {{"FXPreferredViewStyle", PlistValue::string("Nlsv")}})));
        documentsStore = home.writeFile(
            "Documents/.DS_Store",
            DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("Nlsv")}}));
        home.writeFile("Documents/report.pdf", "pdf");
    }

    CliResult run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--home", home.path()});
        return testing::runCli(home, arguments);
    }

    nlohmann::ordered_json runJson(const std::vector<std::string>& arguments,
                                   int expectedStatus = 0) const {
        const CliResult result = run(arguments);
        EXPECT_EQ(result.status, expectedStatus) << result.err;
        return nlohmann::ordered_json::parse(result.out);  // throws, failing the test, if not JSON
    }

    static std::vector<std::string> keysOf(const nlohmann::ordered_json& object) {
        std::vector<std::string> keys;
        for (const auto& [key, value] : object.items()) keys.push_back(key);
        return keys;
    }

    testing::TempHome home;
    std::string documentsStore;
};

TEST_F(StageCommandsTest, InspectDescribesTheDefaultFoldersOrTheRepeatedFolderOption) {
    const auto json = runJson({"inspect", "--json"});
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"system", "folders"}));
    EXPECT_EQ(json["system"]["currentFinderDefaults"]["viewStyle"], "Nlsv");
    ASSERT_EQ(json["folders"].size(), 6u);
    EXPECT_EQ(json["folders"][0]["path"], home / "Desktop");
    EXPECT_EQ(json["folders"][1]["conflicting"], true);

    const std::string extra = home.makeFolder("Projects/Art");
    const auto chosen =
        runJson({"inspect", "--json", "--folder", home / "Music", "--folder", extra});
    ASSERT_EQ(chosen["folders"].size(), 2u);
    EXPECT_EQ(chosen["folders"][0]["path"], home / "Music");
    EXPECT_EQ(chosen["folders"][1]["path"], extra);
    const auto preview = runJson({"preview", "--json", "--folder", home / "Music"});
    EXPECT_TRUE(preview["folderChanges"].empty()) << "Documents is not in the list";
}

TEST_F(StageCommandsTest, PreviewHasItsFiveKeysAndWritesNothing) {
    const Bytes before = platform::readFile(documentsStore);
    // The streamed JSON is byte for byte the preview record's JSON.
    EngineOptions options;
    options.homeDirectory = home.path();
    const nlohmann::ordered_json record = LumifoldEngine(options).preview();
    EXPECT_EQ(run({"preview", "--json"}).out, record.dump(2) + "\n");
    const auto json = runJson({"preview", "--json"});
    EXPECT_EQ(keysOf(json),
              (std::vector<std::string>{"plistChanges", "folderChanges", "preservedEntriesSummary",
                                        "targetDSStorePaths", "warnings"}));
    EXPECT_EQ(json["targetDSStorePaths"], nlohmann::ordered_json::array({documentsStore}));
    EXPECT_EQ(json["folderChanges"].size(), 2u);  // the view style and report.pdf
    EXPECT_EQ(platform::readFile(documentsStore), before);
    EXPECT_FALSE(platform::fileExists(home / ".lumifold"));
}

TEST_F(StageCommandsTest, PreviewTextListsTwentyExtensionsAFolderUnlessAllAreAsked) {
    for (int i = 0; i < 25; ++i) home.writeFile("Music/" + std::to_string(100 + i) + ".mp3", "");
    const std::string text = run({"preview"}).out;
    EXPECT_NE(text.find("Folder changes (27):"), std::string::npos) << text;
    EXPECT_NE(text.find("119.mp3/hasHiddenExtension"), std::string::npos);
    EXPECT_EQ(text.find("120.mp3/hasHiddenExtension"), std::string::npos);
    EXPECT_NE(text.find("\u2026 and 5 more in " + home / "Music" + "\n"), std::string::npos);
    const std::string all = run({"preview", "--all"}).out;
    EXPECT_NE(all.find("124.mp3/hasHiddenExtension"), std::string::npos);
    EXPECT_EQ(all.find("more in"), std::string::npos);
}

TEST_F(StageCommandsTest, VerifyFailsBeforeApplyAndPassesAfter) {
    const CliResult before = run({"verify"});
    EXPECT_EQ(before.status, 3) << before.err;
    EXPECT_NE(before.out.find("Not compliant"), std::string::npos);

    const auto applied = runJson({"apply", "--json"});
    EXPECT_TRUE(applied.contains("snapshot") && applied.contains("verification"));
    EXPECT_EQ(applied["snapshot"]["storeCount"], 1);
    // The whole manifest of that snapshot, as it stands on disk.
    const std::string id = applied["snapshot"]["id"];
    const auto manifest = runJson({"snapshots", id, "--json"});
    EXPECT_EQ(manifest["id"], id);
    EXPECT_EQ(manifest["dsStoreBackups"].size(), 1u);

    const CliResult after = run({"verify"});
    EXPECT_EQ(after.status, 0) << after.out << after.err;
    EXPECT_NE(after.out.find("Fully compliant"), std::string::npos);
    EXPECT_EQ(run({"verify", "--json"}).status, 0);
}

TEST_F(StageCommandsTest, RestoreFailsWithoutASnapshotAndRefusesDriftUnlessForced) {
    const std::string noSnapshot = "lumifold: No backup manifest found\n";
    const CliResult none = run({"restore"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, noSnapshot);
    EXPECT_TRUE(none.out.empty());

    const Bytes original = platform::readFile(documentsStore);
    ASSERT_EQ(run({"apply"}).status, 0);
    const CliResult unknown = run({"restore", "2000-01-01T00-00-00Z"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, noSnapshot);
    EXPECT_EQ(run({"restore", "--no-such-option"}).status, 2);
    const Bytes edited =
        DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("clmv")}});
    home.writeFile("Documents/.DS_Store", edited);

    const CliResult refused = run({"restore"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.err,
              "lumifold: files were modified since the snapshot's apply; nothing was restored. "
              "Re-run with --force to overwrite them.\n");
    EXPECT_EQ(platform::readFile(documentsStore), edited);

    const CliResult forced = run({"restore", "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(platform::readFile(documentsStore), original);
}

TEST_F(StageCommandsTest, SnapshotsAreListedNewestFirstAndOnlyPruneRemovesIncompleteOnes) {
    const auto first = runJson({"apply", "--json"})["snapshot"]["id"].get<std::string>();
    home.writeFile("Documents/again.txt", "txt");
    const auto second = runJson({"apply", "--json"})["snapshot"]["id"].get<std::string>();
    home.makeFolder(".lumifold/backups/2000-01-01T00-00-00Z/files");  // a killed snapshot
    const auto list = runJson({"snapshots", "--json"});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["id"], second);
    EXPECT_EQ(list[1]["id"], first);
    const CliResult text = run({"snapshots"});
    EXPECT_LT(text.out.find(second), text.out.find(first + " "));
    EXPECT_EQ(text.err,
              "Snapshot folder 2000-01-01T00-00-00Z: incomplete: it has no manifest (remove it "
              "with lumifold prune)\n");

    EXPECT_EQ(run({"prune"}).out, "Removed snapshot 2000-01-01T00-00-00Z\n");
    EXPECT_TRUE(run({"snapshots"}).err.empty());
    EXPECT_EQ(run({"prune", "--keep", "1"}).out, "Removed snapshot " + first + "\n");
    EXPECT_EQ(run({"prune", "--keep", "-1"}).status, 2);
}

TEST_F(StageCommandsTest, AMistypedHomeIsAnErrorAndAnIncompleteApplyExitsThree) {
    const CliResult missing = testing::runCli(home, {"--home", home / "Hoem", "apply"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "lumifold: The home folder \"" + home / "Hoem" + "\" does not exist\n");
    EXPECT_FALSE(platform::fileExists(home / "Hoem"));

    // Apply cannot make a missing folder compliant; its own closing audit says so.
    platform::removeTree(home / "Music");
    const CliResult applied = run({"apply"});
    EXPECT_EQ(applied.status, 3) << applied.err;
    EXPECT_NE(applied.out.find("Not compliant"), std::string::npos);
}

}  // namespace
}  // namespace lumifold
