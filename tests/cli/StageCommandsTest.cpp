#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cli/CliSupport.h"
#include "core/engine/LumifoldEngine.h"
#include "core/plist/PropertyList.h"
#include "tests/cli/CliTestSupport.h"

// The stage commands: what each prints, as text or JSON, and its exit status.
namespace lumifold {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A home whose Documents are in list view; no Finder runs here.
class StageCommandsTest : public ::testing::Test {
  protected:
    StageCommandsTest() {
        home.makeDefaultFolders();
        home.writeFile("Documents/.DS_Store", viewStyleStore("Nlsv"));
        home.writeFile("Library/Preferences/com.apple.finder.plist",
                       platform::toBinaryPropertyList(platform::PlistValue::dictionary(
                           {{"FXPreferredViewStyle", platform::PlistValue::string("Nlsv")}})));
        home.writeFile("Documents/report.pdf", "pdf");
    }

    CliResult run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--home", home.path()});
        return runCli(home, arguments);
    }
    nlohmann::ordered_json json(const std::vector<std::string>& arguments) const {
        return nlohmann::ordered_json::parse(run(arguments).out);  // throws, failing, if not JSON
    }

    testing::TempHome home;
};

// The folders as the line names them, in its order; the record is the engine's own.
TEST_F(StageCommandsTest, InspectAndPreviewPrintTheirRecordsAsJson) {
    const auto chosen =
        json({"inspect", "--json", "--folder", home / "x/../Music", "--folder", home / "Movies"});
    EXPECT_EQ(chosen["folders"][0]["path"], home / "Music");
    EXPECT_EQ(chosen["folders"][1]["path"], home / "Movies");

    // The streamed preview is byte for byte the preview record's JSON.
    EngineOptions options;
    options.homeDirectory = home.path();
    const nlohmann::ordered_json record = LumifoldEngine(options).preview();
    EXPECT_EQ(run({"preview", "--json"}).out, record.dump(2) + "\n");
}

// Music holds ._ files, so it keeps its records in sidecars; one that is no AppleDouble image is
// named, left as it is, and Apply cannot make the folder consistent, then or later.
TEST_F(StageCommandsTest, ADamagedSidecarIsNamedAndLeftAloneAndTheFolderIsNotConsistent) {
    home.writeFile("Music/song.mp3", "mp3");
    const std::string sidecar =
        home.writeFile("Music/._song.mp3", "no AppleDouble image, no magic");
    const auto choice = std::vector<std::string>{"--samba-config", home / "none.conf"};
    EXPECT_THAT(run({choice[0], choice[1], "inspect", "--folder", home / "Music"}).out,
                HasSubstr("Finder records: appledouble (it holds ._ AppleDouble files)"));
    const CliResult applied =
        run({choice[0], choice[1], "apply", "--no-relaunch", "--folder", home / "Music"});
    EXPECT_EQ(applied.status, cli::kExitNotCompliant);
    EXPECT_THAT(applied.err, HasSubstr(sidecar + "\" holds no AppleDouble magic"));
    EXPECT_EQ(contentOf(sidecar), "no AppleDouble image, no magic");
    // Once the rest is done there is nothing to change, and still the folder is not consistent.
    const CliResult again =
        run({choice[0], choice[1], "apply", "--no-relaunch", "--folder", home / "Music"});
    EXPECT_EQ(again.status, cli::kExitNotCompliant) << again.out;
    EXPECT_THAT(again.out, HasSubstr("not everything is consistent"));
}

TEST_F(StageCommandsTest, PreviewTextListsTwentyExtensionsAFolderUnlessAllAreAsked) {
    for (int i = 0; i < 25; ++i) home.writeFile("Music/" + std::to_string(100 + i) + ".mp3", "");
    const std::string text = run({"preview"}).out;
    EXPECT_THAT(text, HasSubstr("Folder changes (27):"));
    EXPECT_THAT(text, HasSubstr("  " + home / "Music" + ":\n    100.mp3: extension hidden\n"));
    EXPECT_THAT(text, HasSubstr("    119.mp3: extension hidden\n    \u2026 and 5 more files\n"));
    const std::string all = run({"preview", "--all"}).out;
    EXPECT_THAT(all, HasSubstr("124.mp3: extension hidden"));
    EXPECT_THAT(all, Not(HasSubstr("more files")));
}

// With --recursive the text lists the folders that differ, by their path below the chosen
// folder, at most 200 of them, and counts the others.
TEST_F(StageCommandsTest, RecursiveTextListsOnlyWhatDiffersUnlessAllIsAsked) {
    home.makeFolder("Documents/P/ok");
    home.writeFile("Documents/P/a/b/.DS_Store", viewStyleStore("clmv"));
    for (int i = 0; i < 200; ++i)
        home.writeFile("Documents/P/m/" + std::to_string(i) + "/f.txt", "");
    const std::string p = home / "Documents/P";
    for (const auto& [stage, word] :
         {std::pair{"inspect", "consistent"}, {"verify", "compliant"}}) {
        const std::string text = run({stage, "--recursive", "--folder", p}).out;
        EXPECT_THAT(text, HasSubstr("\n  " + p + ":\n    a/b  [conflicting]"));
        EXPECT_THAT(text, Not(HasSubstr("ok  [")));
        EXPECT_THAT(text,
                    HasSubstr("\n  \u2026 and 1 more folder with changes (1 conflicting; --all "
                              "lists them)\n  \u2026 and 4 " +
                              std::string(word) + " folders not listed"));
        const std::string all = run({stage, "--recursive", "--all", "--folder", p}).out;
        EXPECT_THAT(all, HasSubstr("\n    ok  ["));
        EXPECT_THAT(all, HasSubstr("\n    m/99  [conflicting]"));
    }
    EXPECT_EQ(run({"inspect", "--depth", "1"}).status, cli::kExitUsage);
    // Folders only has no default folders: a home's own are no share.
    for (const char* stage : {"inspect", "preview", "apply", "verify", "watch"}) {
        const CliResult result = run({stage, "--folders-only"});
        EXPECT_EQ(result.status, cli::kExitUsage) << stage;
        EXPECT_THAT(result.err, HasSubstr("lumifold: --folders-only only works with --folder\n"));
    }
}

// A mount point and a folder that cannot be listed, both left out by the walk, are each said
// once, as a warning.
TEST_F(StageCommandsTest, TheWalkSaysOnceWhatItPassedOver) {
    if (::geteuid() != 0 || runShell(home, "unshare -m true").status != 0) {
        GTEST_SKIP() << "needs root (folder permissions bind it otherwise) and mount namespaces";
    }
    home.makeFolder("Documents/P/locked/inner");
    home.makeFolder("Documents/P/mnt/x");
    platform::setPermissionBits(home / "Documents/P/locked", 0);
    platform::setPermissionBits(home.path(), 0755);
    const CliResult result = runShell(
        home,
        "unshare -m sh -c 'mount -t tmpfs none \"$1\" && exec setpriv --reuid=65534 "
        "--regid=65534 --clear-groups \"$0\" --home \"$2\" inspect --recursive --all --folder "
        "\"$3\"' '" LUMIFOLD_CLI_PATH "' '" +
            home / "Documents/P/mnt" + "' '" + home.path() + "' '" + home / "Documents/P" + "'");
    EXPECT_EQ(result.status, cli::kExitSuccess) << result.err;
    EXPECT_EQ(result.err, "Warning: Skipped \"" + home / "Documents/P/mnt" +
                              "\": another file system is mounted there\n"
                              "Warning: Could not list \"" +
                              home / "Documents/P/locked" +
                              "\": Permission denied; it is left out with its subfolders\n");
}

// A folder that is not there is wrong usage: every stage names each, before it reads or writes
// anything.
TEST_F(StageCommandsTest, StagesRefuseFoldersThatAreNotThere) {
    const std::string music = home / "Music", missing = home / "Pictrues";
    const std::string file = home.writeFile("a.txt", "");
    for (const char* stage : {"inspect", "preview", "apply", "verify", "restore"}) {
        const CliResult result =
            run({stage, "--folder", music, "--folder", missing, "--folder", file});
        EXPECT_EQ(result.status, cli::kExitUsage) << stage;
        EXPECT_EQ(result.err, "lumifold: --folder \"" + missing +
                                  "\" does not exist\nlumifold: --folder \"" + file +
                                  "\" is not a folder\n");
        EXPECT_FALSE(platform::fileExists(home / ".lumifold")) << stage;
    }
}

// A damaged preferences file: Inspect does not pass the layout off as what it holds, and Preview
// says why it lists no global change.
TEST_F(StageCommandsTest, ADamagedPreferencesFileIsSaidToBeUnreadable) {
    const std::string problem =
        "The preferences file \"" +
        home.writeFile("Library/Preferences/com.apple.finder.plist", "<plist>") +
        "\" cannot be read: ";
    EXPECT_THAT(run({"inspect"}).out, HasSubstr("\nFinder defaults: unknown: " + problem));
    EXPECT_TRUE(json({"inspect", "--json"})["system"]["currentFinderDefaults"].is_null());
    EXPECT_THAT(run({"preview"}).out,
                HasSubstr("Global preference changes (0): none listed: " + problem));
}

// What a stage could not read is named, and never compliant: folders its user may not list, a
// store it may not read. As root, which reads everything, the stages run as nobody.
TEST_F(StageCommandsTest, WhatCannotBeReadIsNamedAndNeverCompliant) {
    const bool root = ::geteuid() == 0;
    const std::string as = root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    if (root && runShell(home, as + "true").status != 0) {
        GTEST_SKIP() << "needs setpriv to run the stages as an ordinary user";
    }
    const std::string store = home.writeFile("Desktop/.DS_Store", viewStyleStore("icnv"));
    const std::string pictures = home / "Pictures";
    if (root) {
        ASSERT_EQ(runShell(home, "chown -R nobody:nogroup '" + home.path() + "'").status, 0);
    }
    platform::setPermissionBits(store, 0);
    platform::setPermissionBits(pictures, 0);
    const auto stage = [&](const std::string& arguments) {
        return runShell(
            home, as + "'" + LUMIFOLD_CLI_PATH + "' --home '" + home.path() + "' " + arguments);
    };
    const std::string denied = "\": Permission denied",
                      unreadable = "Could not read \"" + store + denied;
    const std::string unexamined = "Could not examine \"" + pictures + "/.DS_Store" + denied;
    const std::string unlisted = "Could not list \"" + pictures + denied;
    for (const char* command : {"verify", "apply --no-relaunch"}) {
        const CliResult result = stage(command);
        EXPECT_EQ(result.status, cli::kExitNotCompliant) << command << result.err;
        for (const std::string& line :
             {home.path() + "/Desktop  [inaccessible]  " + unreadable + "\n",
              pictures + "  [inaccessible]  " + unexamined + "; " + unlisted + "\n"}) {
            EXPECT_THAT(result.out, HasSubstr(line)) << command << result.out;
        }
        for (const std::string& named : {unreadable, unexamined, unlisted}) {
            EXPECT_THAT(result.err, HasSubstr(named)) << command << named;
        }
    }
    // Neither a folder its user may not examine is wrong usage, nor its preferences missing.
    EXPECT_EQ(stage("verify --folder '" + pictures + "/inner'").status, cli::kExitNotCompliant);
    platform::setPermissionBits(home / "Library/Preferences", 0);
    EXPECT_THAT(stage("verify").out, HasSubstr("cannot be read: Could not examine"));
}

// Verify, and Apply by its closing audit, exit with 3 when the home is not compliant.
TEST_F(StageCommandsTest, VerifyAndApplyExitWithThreeUnlessCompliant) {
    const CliResult before = run({"verify"});
    EXPECT_EQ(before.status, cli::kExitNotCompliant) << before.err;
    EXPECT_THAT(before.out, HasSubstr("Not compliant"));
    ASSERT_EQ(run({"apply"}).status, cli::kExitSuccess);
    const CliResult after = run({"verify"});
    EXPECT_EQ(after.status, cli::kExitSuccess) << after.out << after.err;
    EXPECT_THAT(after.out, HasSubstr("Fully compliant"));
    const CliResult again = run({"apply"});
    EXPECT_EQ(again.status, cli::kExitSuccess) << again.err;
    EXPECT_EQ(again.out, "Already consistent: nothing to change.\n");

    const CliResult mistyped = runCli(home, {"--home", home / "Hoem", "apply"});
    EXPECT_EQ(mistyped.status, cli::kExitFailure);
    EXPECT_EQ(mistyped.err, "lumifold: The home folder \"" + home / "Hoem" + "\" does not exist\n");
    platform::removeTree(home / "Music");  // a folder Apply cannot make compliant
    home.writeFile("Documents/report.txt", "txt");
    const CliResult incomplete = run({"apply"});
    EXPECT_EQ(incomplete.status, cli::kExitNotCompliant) << incomplete.err;
    EXPECT_THAT(incomplete.out, HasSubstr("Not compliant"));
}

TEST_F(StageCommandsTest, RestoreSnapshotsAndPruneSayWhatTheyDid) {
    const CliResult none = run({"restore"});
    EXPECT_EQ(none.status, cli::kExitFailure);
    EXPECT_EQ(none.err, "lumifold: No backup manifest found\n");
    const auto first = json({"apply", "--json"})["snapshot"]["id"].get<std::string>();
    home.writeFile("Documents/.DS_Store", "edited since");
    const CliResult refused = run({"restore"});
    EXPECT_EQ(refused.status, cli::kExitNotCompliant);
    EXPECT_TRUE(refused.out.starts_with("Restoring snapshot " + first + " (taken 20"))
        << refused.out;
    EXPECT_EQ(refused.err,
              "lumifold: files were modified since the snapshot's apply; nothing was restored. "
              "Re-run with --force to overwrite them.\n");
    // A restore pauses a running watcher; a pause it cannot write only warns.
    const std::string paused = home / ".lumifold/watch-paused";
    EXPECT_FALSE(platform::fileExists(paused));
    const CliResult forced = run({"restore", "--force"});
    EXPECT_EQ(forced.status, cli::kExitSuccess) << forced.err;
    EXPECT_THAT(forced.out, HasSubstr("Snapshot restored.\nKeep Consistent is paused"));
    EXPECT_EQ(asText(platform::readFile(paused)), first + "\n");
    platform::removeFile(paused);
    home.makeFolder(".lumifold/watch-paused");
    const CliResult unpaused = run({"restore", "--force", "--json"});
    EXPECT_EQ(unpaused.status, cli::kExitSuccess);
    EXPECT_EQ(nlohmann::json::parse(unpaused.out)["watchPaused"], false);
    EXPECT_TRUE(unpaused.err.starts_with("Warning: Keep Consistent could not be paused: "));
    EXPECT_EQ(run({"restore", "nosuch"}).err,
              "lumifold: There is no snapshot nosuch (lumifold snapshots lists them)\n");

    run({"apply"});
    home.makeFolder(".lumifold/backups/2000-01-01T00-00-00Z/files");  // a killed snapshot
    EXPECT_EQ(run({"snapshots"}).err,
              "Snapshot folder 2000-01-01T00-00-00Z: incomplete: it has no manifest (remove it "
              "with lumifold snapshots prune)\n");
    home.writeFile(".lumifold/backups/garbled/manifest.json", "{\n  \"id\" x");
    const CliResult pruned = run({"snapshots", "prune", "--keep", "1"});
    EXPECT_EQ(pruned.out, "Removed snapshot 2000-01-01T00-00-00Z\n");  // the first holds the most
    // Where the damage lies in the file's own lines, never the parser's words.
    EXPECT_EQ(pruned.err, "Kept snapshot garbled: its manifest is damaged (line 2, column 8)\n");
    EXPECT_EQ(run({"prune", "--keep", "1"}).out, "Nothing to remove.\n");
    EXPECT_EQ(run({"snapshots", "prune", "--keep", "0"}).status, cli::kExitUsage);
}

// A failed apply exits 1 with what it put back; the listing says the snapshot failed.
TEST_F(StageCommandsTest, AFailedApplySaysWhatItPutBackAndSnapshotsSayItFailed) {
    std::optional<testing::UnwritableFolder> documents(std::in_place, home / "Documents");
    if (documents->failure()) GTEST_SKIP() << *documents->failure();
    const CliResult failed = run({"apply", "--no-relaunch"});
    documents.reset();
    EXPECT_EQ(failed.status, cli::kExitFailure);
    EXPECT_TRUE(
        failed.err.starts_with("lumifold: Could not write \"" + home / "Documents/.DS_Store") &&
        failed.err.find("; Apply put back everything it had changed (snapshot ") !=
            std::string::npos)
        << failed.err;
    EXPECT_TRUE(run({"snapshots"}).out.ends_with("  (apply failed; everything was put back)\n"));
}

// The layout file: shown with where each key came from, checked, carried into the login
// service and the snapshot; one that cannot be used stops every stage, saying why. That nothing
// is written then is the engine's to keep (EngineLayoutTest).
TEST_F(StageCommandsTest, TheLayoutFileIsShownCheckedAndRecordedAndABadOneStopsEveryStage) {
    const std::string layout = home.writeFile(
        "my-layout.toml", "icon-size = 64\n[[folder]]\npath = \"~/Downloads\"\nview = \"list\"\n");
    EXPECT_EQ(run({"layout", "check", layout}).out, layout + ": usable, 1 folder rule\n");
    const std::string shown = run({"--layout", layout, "layout", "show"}).out;
    for (const char* line : {"icon-size = 64  # the layout file\n", "view = \"icon\"  # built in\n",
                             "[[folder]]  # rule 1, line 2\npath = \"~/Downloads\"\n"
                             "view = \"list\"  # rule 1 (~/Downloads)\n"}) {
        EXPECT_THAT(shown, HasSubstr(line));
    }
    EXPECT_THAT(run({"--layout", layout, "layout", "show", "--folder", home / "Downloads"}).out,
                HasSubstr("Downloads: rule 1 (path \"~/Downloads\", line 2)\nview = \"list\""));
    EXPECT_EQ(run({"layout", "show"}).out.find("# No layout file at " + home / ".config"), 0U);

    ASSERT_NE(run({"--layout", layout, "apply"}).status, 1);
    const std::string id = json({"snapshots", "--json"})[0]["id"];
    EXPECT_THAT(run({"snapshots", id}).out, HasSubstr("  layout: " + layout + " (SHA-256 "));
    ASSERT_EQ(run({"--layout", layout, "agent", "install"}).status, 0);
    EXPECT_THAT(contentOf(home / "Library/LaunchAgents/com.quarnish.lumifold.watcher.plist"),
                HasSubstr("<string>--layout</string>\n\t\t<string>" + layout + "</string>"));

    home.writeFile("my-layout.toml", "view = \"grid\"\n");
    const std::string problem =
        "lumifold: " + layout + ":1: view: expected one of icon, list, column, gallery\n";
    EXPECT_EQ(run({"layout", "check", layout}).err, problem);
    for (const char* stage : {"inspect", "preview", "apply", "verify"}) {
        const CliResult result = run({"--layout", layout, stage});
        EXPECT_EQ(result.status, 1) << stage;
        EXPECT_EQ(result.err.find(problem), 0U) << stage << result.err;
    }
}

}  // namespace
}  // namespace lumifold
