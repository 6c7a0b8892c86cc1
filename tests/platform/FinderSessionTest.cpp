#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/platform/FinderSession.h"

namespace lumifold::platform {
namespace {

// The Mac's session over pretend programs: each command becomes a line of `commands` (a script
// shows as SCRIPT), and every program gives `answer`.
struct FakeMac {
    ProcessResult answer{.started = true, .exitStatus = 0, .standardOutput = ""};
    std::vector<std::string> commands{};

    FinderSession session() {
        return FinderSession::mac(
            [this](const std::string& path, const std::vector<std::string>& arguments) {
                std::string line = path;
                for (const auto& argument : arguments) {
                    line += " " + (argument.find('\n') == std::string::npos ? argument : "SCRIPT");
                }
                commands.push_back(line);
                return answer;
            });
    }
};

// osascript ends its result with one line feed, and only that one goes; the count must be a
// positive decimal and nothing else.
TEST(FinderSessionTest, TransfersAreActiveForAPositiveDecimalCountOnly) {
    const auto active = [](const std::string& output, int exitStatus = 0, bool started = true) {
        FakeMac mac{
            .answer = {.started = started, .exitStatus = exitStatus, .standardOutput = output}};
        const bool answer = mac.session().hasActiveTransfers();
        EXPECT_EQ(mac.commands, std::vector<std::string>{"/usr/bin/osascript -e SCRIPT"});
        return answer;
    };
    for (const char* text : {"2", "+2", "9223372036854775807", "007"}) {
        EXPECT_TRUE(active(text + std::string("\n"))) << '"' << text << '"';
        EXPECT_TRUE(active(text)) << '"' << text << '"';
    }
    for (const char* text : {"0", "", "abc", "-2", "+0", "-0", "+", "+-2", " 2", "2\n", "1.5",
                             "0x1", "9223372036854775808", "-9223372036854775809"}) {
        EXPECT_FALSE(active(text + std::string("\n"))) << '"' << text << '"';
    }
    EXPECT_FALSE(active("2\n", 1)) << "a script that failed";
    EXPECT_FALSE(active("", -1, false)) << "osascript did not start";
}

// Each step runs its command whatever became of it, and says it ran.
TEST(FinderSessionTest, EachStepRunsTheMacCommand) {
    FakeMac mac{.answer = {}};  // nothing starts, which must not matter
    const FinderSession session = mac.session();
    EXPECT_TRUE(session.requestQuit() && session.forceQuit() &&
                session.restartPreferencesDaemon() && session.launch());
    EXPECT_EQ(mac.commands,
              (std::vector<std::string>{"/usr/bin/osascript -e SCRIPT", "/usr/bin/killall Finder",
                                        "/usr/bin/killall cfprefsd", "/usr/bin/open -a Finder"}));
}

}  // namespace
}  // namespace lumifold::platform
