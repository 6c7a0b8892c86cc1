#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "core/common/Base64.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/engine/LumifoldEngine.h"
#include "core/plist/PropertyList.h"
#include "tests/support/TempHome.h"

// What the program adds to the engine: parsing, messages, exit statuses, JSON and text layout,
// completion.
namespace lumifold {
namespace {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `command` in the shell with `input`, capturing both output streams in `scratch`.
CliResult runShell(const testing::TempHome& scratch, const std::string& command,
                   const std::string& input = "") {
    std::ofstream(scratch / ".cli-in") << input;
    const int raw = std::system((command + " < '" + scratch / ".cli-in" + "' > '" +
                                 scratch / ".cli-out" + "' 2> '" + scratch / ".cli-err" + "'")
                                    .c_str());
    const auto read = [&](const char* name) {
        std::ostringstream text;
        text << std::ifstream(scratch / name).rdbuf();
        return text.str();
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read(".cli-out"), read(".cli-err")};
}

// Runs the built program with `arguments`, each single-quoted for the shell.
CliResult runCli(const testing::TempHome& scratch, const std::vector<std::string>& arguments,
                 const std::string& input = "") {
    std::string command = std::string("'") + LUMIFOLD_CLI_PATH + "'";
    for (const auto& argument : arguments) {
        command += " '";
        for (const char c : argument)
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    return runShell(scratch, command, input);
}

// Asked-for help goes to standard output; wrong usage to standard error, with status 2.
TEST(CommandLineTest, PrintsVersionHelpAndUsageErrors) {
    testing::TempHome scratch;
    const std::tuple<std::vector<std::string>, int, std::vector<std::string>> cases[] = {
        {{"--version"}, 0, {"lumifold " LUMIFOLD_VERSION "\n"}},
        {{"dsstore", "dump", "--help"}, 0, {"Usage: lumifold dsstore dump [OPTIONS] FILE"}},
        {{}, 2, {"Usage: lumifold [OPTIONS] COMMAND", "\nCommands:\n  inspect "}},
        {{"--home", "/", "bogus"}, 2, {"lumifold: unknown command 'bogus'\n", "  inspect "}},
        {{"--home", "", "inspect"}, 2, {"lumifold: --home is empty; name the home folder to "}},
        {{"dsstore", "bogus"}, 2, {"lumifold: unknown command 'dsstore bogus'\n", "  dump "}},
        {{"--bogus"}, 2, {"lumifold: The following argument was not expected: --bogus\n"}},
        {{"watch", "--debounce", "nan"}, 2, {"lumifold: --debounce: a number of seconds from 0 "}},
        {{"watch", "--debounce", "-1"}, 2, {"seconds from 0 to 86400 is needed, not '-1'"}},
        {{"watch", "--debounce", "86401"}, 2, {"seconds from 0 to 86400 is needed, not '86401'"}},
        {{"dsstore", "dump"},
         2,
         {"lumifold: FILE is required\nRun 'lumifold dsstore dump --help' for more "
          "information.\n"}},
    };
    for (const auto& [arguments, status, fragments] : cases) {
        const auto result = runCli(scratch, arguments);
        SCOPED_TRACE(::testing::PrintToString(arguments) + "\n" + result.out + result.err);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(status == 0 ? result.err : result.out, "");
        const std::string& text = status == 0 ? result.out : result.err;
        std::size_t at = 0;
        for (const auto& fragment : fragments) {
            at = text.find(fragment, at);
            ASSERT_NE(at, std::string::npos) << fragment;
        }
        EXPECT_EQ(text.find(LUMIFOLD_CLI_PATH), std::string::npos);
    }
}

// With neither HOME nor an entry in the password database there is no home to guess.
TEST(CommandLineTest, RefusesToWorkWithoutAHome) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be a user the password database lacks";
    testing::TempHome scratch;
    uid_t stranger = 4000000;
    while (::getpwuid(stranger) != nullptr) ++stranger;
    const auto result = runShell(scratch, "env HOME= setpriv --reuid=" + std::to_string(stranger) +
                                              " --regid=nogroup --clear-groups '" +
                                              LUMIFOLD_CLI_PATH + "' inspect");
    EXPECT_EQ(result.status, 2) << result.out;
    EXPECT_TRUE(result.err.starts_with("lumifold: HOME is empty or unset and the password "));
}

// Walks every command the help lists, so a command or option added without completion fails.
TEST(CommandLineTest, CompletionOffersWhatEachHelpLists) {
    testing::TempHome scratch;
    const std::string empty = scratch.makeFolder("empty");  // so no file name is offered
    const auto words = [](const std::string& text, const std::regex& pattern) {
        std::set<std::string> found;
        for (std::sregex_iterator at(text.begin(), text.end(), pattern), end; at != end; ++at) {
            found.insert((*at)[1]);
        }
        return found;
    };
    for (std::vector<std::vector<std::string>> pending{{}}; !pending.empty();) {
        const auto typed = pending.back();
        pending.pop_back();
        auto arguments = typed;
        arguments.push_back("--help");
        const std::string help = runCli(scratch, arguments).out;
        const std::size_t commands = std::min(help.find("\nCommands:\n"), help.size());
        auto listed = words(help.substr(0, commands), std::regex("\n  (?:-\\w,)?(--[\\w-]+)"));
        for (const auto& word : words(help.substr(commands), std::regex("\n  (\\w+) "))) {
            listed.insert(word);
            pending.push_back(typed);
            pending.back().push_back(word);
        }
        std::string script = "cd '" + empty + "' && source '" LUMIFOLD_COMPLETION_PATH "'\n";
        for (const char* current : {"", "-"}) {
            script += "COMP_WORDS=(lumifold";
            for (const auto& word : typed) script += " " + word;
            script += std::string(" '") + current +
                      "')\nCOMP_CWORD=" + std::to_string(typed.size() + 1) +
                      "\n_lumifold\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
        }
        EXPECT_EQ(words(runShell(scratch, "bash", script).out, std::regex("([^\n]+)")), listed)
            << ::testing::PrintToString(typed);
    }
}

class DSStoreCommandsTest : public ::testing::Test {
  protected:
    testing::TempHome home;
    const std::string store = home / ".DS_Store";
};

// Lines in any order, a blank line, a CRLF ending and no final newline; dumped in tree order,
// --decode adding what a blob's property list holds.
TEST_F(DSStoreCommandsTest, WriteThenDumpRoundTripsInTreeOrder) {
    const Bytes plist = platform::toBinaryPropertyList(
        platform::PlistValue::dictionary({{"iconSize", platform::PlistValue::real(64)}}));
    const std::string b =
        R"({"filename":"b","code":"icvp","type":"blob","value":")" + base64Encode(plist) + "\"}";
    const std::string a = R"({"filename":"a","code":"cmmt","type":"ustr","value":"café"})";
    ASSERT_EQ(runCli(home, {"dsstore", "write", store}, b + "\n\n" + a + "\r\n" + b).status, 0);
    const auto dumped = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(dumped.status, 0);
    EXPECT_EQ(dumped.out, a + "\n" + b + "\n" + b + "\n");
    const std::string decoded = runCli(home, {"dsstore", "dump", "--decode", store}).out;
    EXPECT_EQ(decoded.find(b.substr(0, b.size() - 1) + R"(,"plist":{"iconSize":64.0}})"),
              a.size() + 1);
}

TEST_F(DSStoreCommandsTest, BadInputNamesTheLineAndTouchesNothing) {
    home.writeFile(".DS_Store", "keep me");
    const std::string good = R"({"filename": "a", "code": "Iloc", "type": "long", "value": 1})";
    for (const auto& [line, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"filename": "a", "code": "Iloc", "type": "blub", "value": 1})", "unknown type"},
             {"{\"filename\": \"\x9B\x07", "not valid JSON"}}) {
        const auto result = runCli(home, {"dsstore", "write", store}, good + "\n" + line + "\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.err.starts_with("lumifold: line 2: " + reason)) << result.err;
        // A library's message quotes the input: no control byte may reach the terminal.
        EXPECT_TRUE(std::all_of(result.err.begin(), result.err.end() - 1,
                                [](unsigned char c) { return c >= 0x20 && c < 0x7F; }));
        EXPECT_EQ(asText(platform::readFile(store)), "keep me");
    }
}

TEST_F(DSStoreCommandsTest, DumpPrintsWhatItReadAndSaysWhatItSkipped) {
    Bytes image = DSStoreWriter().encode({{"a", "cmmt", kTypeUstr, DSStoreValue::string("x")},
                                          {"b", "dscl", kTypeBool, DSStoreValue::boolean(true)},
                                          {"c", "dscl", kTypeBool, DSStoreValue::boolean(true)}});
    const std::size_t a = 0x4C, c = a + 20 + 15;  // records in the one leaf
    image[a + 18] = std::byte{0xD8};              // a's text: a lone surrogate
    image[c + 10] = std::byte{'x'};               // c's type: unknown
    home.writeFile(".DS_Store", image);
    const auto result = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, R"({"filename":"a","code":"cmmt","type":"ustr","value":""}
{"filename":"b","code":"dscl","type":"bool","value":true}
)");
    EXPECT_EQ(result.err,
              "lumifold: 1 record could not be decoded and 1 record was read with altered text; "
              "writing these lines back would lose them\n");
}

// A home whose Documents are in list view; no Finder runs here.
class StageCommandsTest : public ::testing::Test {
  protected:
    StageCommandsTest() {
        for (const char* name : {"Desktop", "Downloads", "Pictures", "Movies", "Music"}) {
            home.makeFolder(name);
        }
        home.writeFile(
            "Documents/.DS_Store",
            DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("Nlsv")}}));
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

TEST_F(StageCommandsTest, InspectAndPreviewPrintTheirRecordsAsJson) {
    const auto inspected = json({"inspect", "--json"});
    EXPECT_EQ(inspected["system"]["currentFinderDefaults"]["viewStyle"], "Nlsv");
    ASSERT_EQ(inspected["folders"].size(), 6u);
    EXPECT_EQ(inspected["folders"][1]["path"], home / "Documents");
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

// With --recursive the text lists the folders that differ and counts the others.
TEST_F(StageCommandsTest, RecursiveTextListsOnlyWhatDiffersUnlessAllIsAsked) {
    home.makeFolder("Documents/P/ok");
    home.writeFile(
        "Documents/P/a/.DS_Store",
        DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("clmv")}}));
    const std::string p = home / "Documents/P";
    for (const auto& [stage, word] :
         {std::pair{"inspect", "consistent"}, {"verify", "compliant"}}) {
        const std::string text = run({stage, "--recursive", "--folder", p}).out;
        EXPECT_NE(text.find(p + "/a  [conflicting]"), std::string::npos) << text;
        EXPECT_EQ(text.find(p + "/ok"), std::string::npos) << text;
        EXPECT_NE(text.find("\u2026 and 2 " + std::string(word) + " folder(s) not listed"),
                  std::string::npos)
            << text;
        EXPECT_NE(run({stage, "--recursive", "--all", "--folder", p}).out.find(p + "/ok  ["),
                  std::string::npos);
    }
    EXPECT_EQ(json({"inspect", "--json", "--recursive", "--folder", p})["folders"].size(), 3u);
    EXPECT_EQ(run({"inspect", "--depth", "1"}).status, 2);
}

// A mount point and a folder that cannot be listed are said once, and left out.
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
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.out.find("locked") == std::string::npos &&
                result.out.find("mnt") == std::string::npos)
        << result.out;
    EXPECT_EQ(result.err, "Warning: Skipped \"" + home / "Documents/P/mnt" +
                              "\": another file system is mounted there\n"
                              "Warning: Could not list \"" +
                              home / "Documents/P/locked" +
                              "\": Permission denied; it is left out with its subfolders\n");
}

// A folder that is not there is wrong usage: every stage names each, before it reads or writes
// anything. A folder given twice is one.
TEST_F(StageCommandsTest, StagesRefuseFoldersThatAreNotThere) {
    const std::string music = home / "Music", missing = home / "Pictrues";
    const std::string file = home.writeFile("a.txt", "");
    for (const char* stage : {"inspect", "preview", "apply", "verify", "restore"}) {
        const CliResult result =
            run({stage, "--folder", music, "--folder", missing, "--folder", file});
        EXPECT_EQ(result.status, 2) << stage;
        EXPECT_EQ(result.err, "lumifold: --folder \"" + missing +
                                  "\" does not exist\nlumifold: --folder \"" + file +
                                  "\" is not a folder\n");
        EXPECT_FALSE(platform::fileExists(home / ".lumifold")) << stage;
    }
    EXPECT_EQ(json({"verify", "--json", "--folder", music, "--folder", music + "//", "--folder",
                    home.path() + "/./Music"})["folderResults"]
                  .size(),
              1u);
}

// A damaged preferences file: Inspect does not pass the layout off as what it holds, and Preview
// says why it lists no global change.
TEST_F(StageCommandsTest, ADamagedPreferencesFileIsSaidToBeUnreadable) {
    const std::string problem =
        "The preferences file \"" +
        home.writeFile("Library/Preferences/com.apple.finder.plist", "<plist>") +
        "\" cannot be read: ";
    EXPECT_NE(run({"inspect"}).out.find("\nFinder defaults: unknown: " + problem),
              std::string::npos);
    EXPECT_TRUE(json({"inspect", "--json"})["system"]["currentFinderDefaults"].is_null());
    EXPECT_NE(run({"preview"}).out.find("Global preference changes (0): none listed: " + problem),
              std::string::npos);
}

// What a stage could not read is named, and never compliant: folders its user may not list, a
// store it may not read. As root, which reads everything, the stages run as nobody.
TEST_F(StageCommandsTest, WhatCannotBeReadIsNamedAndNeverCompliant) {
    const bool root = ::geteuid() == 0;
    const std::string as = root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    if (root && runShell(home, as + "true").status != 0) {
        GTEST_SKIP() << "needs setpriv to run the stages as an ordinary user";
    }
    const std::string store = home.writeFile(
        "Desktop/.DS_Store",
        DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("icnv")}}));
    const std::string pictures = home / "Pictures", movies = home / "Movies";
    if (root) {
        ASSERT_EQ(runShell(home, "chown -R nobody:nogroup '" + home.path() + "'").status, 0);
    }
    platform::setPermissionBits(store, 0);
    platform::setPermissionBits(pictures, 0);
    platform::setPermissionBits(movies, 0100);  // may be searched, not listed
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
        EXPECT_EQ(result.status, 3) << command << result.err;
        for (const std::string& line :
             {home.path() + "/Desktop  [inaccessible]  " + unreadable + "\n",
              pictures + "  [inaccessible]  " + unexamined + "; " + unlisted + "\n"}) {
            EXPECT_NE(result.out.find(line), std::string::npos) << command << result.out;
        }
        for (const std::string& named : {unreadable, unexamined, unlisted}) {
            EXPECT_NE(result.err.find(named), std::string::npos) << command << named;
        }
    }
    auto folders = nlohmann::json::parse(stage("inspect --json").out)["folders"];
    EXPECT_EQ(folders[0]["conflictReasons"][0], unreadable);
    EXPECT_TRUE(folders[0]["inaccessible"] == true && folders[3]["inaccessible"] == true);
    EXPECT_EQ(folders[4]["conflictReasons"],
              nlohmann::json::array({"Could not list \"" + movies + denied}));
    // Neither a folder its user may not examine is wrong usage, nor its preferences missing.
    EXPECT_EQ(stage("verify --folder '" + pictures + "/inner'").status, 3);
    platform::setPermissionBits(home / "Library/Preferences", 0);
    EXPECT_NE(stage("verify").out.find("cannot be read: Could not examine"), std::string::npos);
}

// Verify, and Apply by its closing audit, exit with 3 when the home is not compliant.
TEST_F(StageCommandsTest, VerifyAndApplyExitWithThreeUnlessCompliant) {
    const CliResult before = run({"verify"});
    EXPECT_EQ(before.status, 3) << before.err;
    EXPECT_NE(before.out.find("Not compliant"), std::string::npos);
    const auto applied = json({"apply", "--json"});
    EXPECT_EQ(applied["snapshot"]["storeCount"], 1);
    EXPECT_EQ(applied["extensionsHidden"], 1);
    const std::string id = applied["snapshot"]["id"];
    EXPECT_EQ(json({"snapshots", id, "--json"})["dsStoreBackups"].size(), 1u);
    const CliResult after = run({"verify"});
    EXPECT_EQ(after.status, 0) << after.out << after.err;
    EXPECT_NE(after.out.find("Fully compliant"), std::string::npos);
    const CliResult again = run({"apply"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "Already consistent: nothing to change.\n");
    EXPECT_EQ(json({"apply", "--json"})["alreadyConsistent"], true);

    const CliResult mistyped = runCli(home, {"--home", home / "Hoem", "apply"});
    EXPECT_EQ(mistyped.status, 1);
    EXPECT_EQ(mistyped.err, "lumifold: The home folder \"" + home / "Hoem" + "\" does not exist\n");
    platform::removeTree(home / "Music");  // a folder Apply cannot make compliant
    home.writeFile("Documents/report.txt", "txt");
    const CliResult incomplete = run({"apply"});
    EXPECT_EQ(incomplete.status, 3) << incomplete.err;
    EXPECT_NE(incomplete.out.find("Not compliant"), std::string::npos);
}

TEST_F(StageCommandsTest, RestoreSnapshotsAndPruneSayWhatTheyDid) {
    const CliResult none = run({"restore"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "lumifold: No backup manifest found\n");
    const auto first = json({"apply", "--json"})["snapshot"]["id"].get<std::string>();
    home.writeFile("Documents/.DS_Store", "edited since");
    const CliResult refused = run({"restore"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(refused.out.starts_with("Restoring snapshot " + first + " (taken 20"))
        << refused.out;
    EXPECT_EQ(refused.err,
              "lumifold: files were modified since the snapshot's apply; nothing was restored. "
              "Re-run with --force to overwrite them.\n");
    // A restore pauses a running watcher; a pause it cannot write only warns.
    const std::string paused = home / ".lumifold/watch-paused";
    EXPECT_FALSE(platform::fileExists(paused));
    const CliResult forced = run({"restore", "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(forced.out.find("Snapshot restored.\nKeep Consistent is paused"), std::string::npos);
    EXPECT_EQ(asText(platform::readFile(paused)), first + "\n");
    platform::removeFile(paused);
    home.makeFolder(".lumifold/watch-paused");
    const CliResult unpaused = run({"restore", "--force", "--json"});
    EXPECT_EQ(unpaused.status, 0);
    EXPECT_EQ(nlohmann::json::parse(unpaused.out)["watchPaused"], false);
    EXPECT_EQ(nlohmann::json::parse(unpaused.out)["snapshot"]["id"], first);
    EXPECT_TRUE(unpaused.err.starts_with("Warning: Keep Consistent could not be paused: "));
    EXPECT_EQ(run({"restore", "nosuch"}).err,
              "lumifold: There is no snapshot nosuch (lumifold snapshots lists them)\n");

    run({"apply"});
    home.makeFolder(".lumifold/backups/2000-01-01T00-00-00Z/files");  // a killed snapshot
    EXPECT_EQ(run({"snapshots"}).err,
              "Snapshot folder 2000-01-01T00-00-00Z: incomplete: it has no manifest (remove it "
              "with lumifold snapshots prune)\n");
    home.writeFile(".lumifold/backups/garbled/manifest.json", "[]");
    const CliResult pruned = run({"snapshots", "prune", "--keep", "1"});
    EXPECT_EQ(pruned.out, "Removed snapshot 2000-01-01T00-00-00Z\n");  // the first holds the most
    EXPECT_TRUE(pruned.err.starts_with("Kept snapshot garbled: its manifest is corrupt: "));
    EXPECT_EQ(run({"prune", "--keep", "1"}).out, "Nothing to remove.\n");
    EXPECT_EQ(run({"snapshots", "prune", "--keep", "0"}).status, 2);
}

// A failed apply exits 1 with what it put back; the listing says the snapshot failed.
TEST_F(StageCommandsTest, AFailedApplySaysWhatItPutBackAndSnapshotsSayItFailed) {
    std::optional<testing::UnwritableFolder> documents(std::in_place, home / "Documents");
    if (documents->failure()) GTEST_SKIP() << *documents->failure();
    const CliResult failed = run({"apply", "--no-relaunch"});
    documents.reset();
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(
        failed.err.starts_with("lumifold: Could not write \"" + home / "Documents/.DS_Store") &&
        failed.err.find("; Apply put back everything it had changed (snapshot ") !=
            std::string::npos)
        << failed.err;
    EXPECT_TRUE(run({"snapshots"}).out.ends_with("  (apply failed; everything was put back)\n"));
}

}  // namespace
}  // namespace lumifold
