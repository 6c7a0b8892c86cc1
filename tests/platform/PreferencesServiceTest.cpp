#include <gtest/gtest.h>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PreferencesService.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

using Host = PreferencesService::Host;
using User = PreferencesService::User;
constexpr const char* kFinder = "com.apple.finder";
constexpr const char* kAny = PreferencesService::kAnyApplication;

class PreferencesServiceTest : public ::testing::Test {
  protected:
    std::string path(const std::string& application, Host host) const {
        return *service.domainPath(application, host);
    }
    // Writes one domain file directly, as another program would leave it.
    void writeDomain(const std::string& application, Host host, const std::string& key,
                     const std::string& text) {
        writeFileAt(path(application, host),
                    toXmlPropertyList(PlistValue::dictionary({{key, PlistValue::string(text)}})));
    }
    void writeFileAt(const std::string& file, const std::string& contents) {
        createDirectories(deletingLastPathComponent(file));
        writeFileAtomically(file, asBytes(contents));
    }
    std::optional<std::string> lookup(const std::string& key, const std::string& application) {
        const auto value = service.copyAppValue(key, application);
        if (!value) return std::nullopt;
        return value->ifString() ? *value->ifString() : "(not a string)";
    }

    lumifold::testing::TempHome home;
    PreferencesService service{home.path()};
};

TEST_F(PreferencesServiceTest, DomainFilesFollowTheLibraryLayout) {
    const std::string folder = home / "Library/Preferences";
    const std::string& host = service.hostIdentifier();
    EXPECT_EQ(path(kAny, Host::any), folder + "/.GlobalPreferences.plist");
    EXPECT_EQ(path(kFinder, Host::any), folder + "/com.apple.finder.plist");
    EXPECT_EQ(path(kAny, Host::current), folder + "/ByHost/.GlobalPreferences." + host + ".plist");
    EXPECT_EQ(path(kFinder, Host::current), folder + "/ByHost/com.apple.finder." + host + ".plist");

    ASSERT_FALSE(host.empty());
    EXPECT_EQ(host.find('/'), std::string::npos);
    if (isRegularFile("/etc/machine-id")) {
        std::string id(asText(readFile("/etc/machine-id")));
        id.erase(id.find_last_not_of("\n ") + 1);
        if (!id.empty()) {
            EXPECT_EQ(host, id);
        }
    }
    EXPECT_EQ(PreferencesService(home.path()).hostIdentifier(), host);
}

TEST_F(PreferencesServiceTest, LooksUpCurrentHostThenAnyHostThenTheGlobalDomain) {
    writeDomain(kFinder, Host::current, "Key", "finder, this host");
    // Neither the global domain nor another application reads an application's domain.
    EXPECT_EQ(lookup("Key", kAny), std::nullopt);
    EXPECT_EQ(lookup("Key", "com.example.other"), std::nullopt);
    writeDomain(kFinder, Host::any, "Key", "finder, any host");
    writeDomain(kAny, Host::current, "Key", "global, this host");
    writeDomain(kAny, Host::any, "Key", "global, any host");

    EXPECT_EQ(lookup("Key", kFinder), "finder, this host");
    removeFile(path(kFinder, Host::current));
    EXPECT_EQ(lookup("Key", kFinder), "finder, any host");
    removeFile(path(kFinder, Host::any));
    EXPECT_EQ(lookup("Key", kFinder), "global, this host");
    EXPECT_EQ(lookup("Key", kAny), "global, this host");
    removeFile(path(kAny, Host::current));
    EXPECT_EQ(lookup("Key", kFinder), "global, any host");
    removeFile(path(kAny, Host::any));
    EXPECT_EQ(lookup("Key", kFinder), std::nullopt);
}

TEST_F(PreferencesServiceTest, DamagedDomainFilesAreSkippedWhenReading) {
    writeDomain(kAny, Host::any, "Key", "global");
    writeFileAt(path(kFinder, Host::current), "not a property list");
    writeFileAt(path(kFinder, Host::any),
                toXmlPropertyList(PlistValue::array({PlistValue::string("Key")})));
    EXPECT_EQ(lookup("Key", kFinder), "global");
}

TEST_F(PreferencesServiceTest, SetValueCreatesFoldersAndKeepsOtherKeys) {
    service.setValue("First", PlistValue::boolean(true), kFinder, User::current, Host::current);
    service.setValue("Second", PlistValue::integer(2), kFinder, User::current, Host::current);
    EXPECT_EQ(service.copyAppValue("First", kFinder), PlistValue::boolean(true));
    EXPECT_EQ(service.copyAppValue("Second", kFinder), PlistValue::integer(2));
    EXPECT_TRUE(service.synchronize(kFinder, User::current, Host::current));
    EXPECT_TRUE(service.appSynchronize(kFinder));

    // Durable without any cache: a fresh service reads the file.
    const PreferencesService fresh(home.path());
    EXPECT_EQ(fresh.copyAppValue("Second", kFinder), PlistValue::integer(2));

    service.setValue("First", std::nullopt, kFinder, User::current, Host::current);
    EXPECT_EQ(service.copyAppValue("First", kFinder), std::nullopt);
    EXPECT_EQ(service.copyAppValue("Second", kFinder), PlistValue::integer(2));
    EXPECT_FALSE(fileExists(path(kFinder, Host::any)));
}

TEST_F(PreferencesServiceTest, ADomainFileThatCannotBeReadIsNeverReplaced) {
    const std::string file = path(kAny, Host::current);
    for (const std::string damaged : {"damaged", "<plist><array/></plist>"}) {
        writeFileAt(file, damaged);
        for (const auto& value :
             {std::optional(PlistValue::string("v")), std::optional<PlistValue>()}) {
            EXPECT_LUMIFOLD_ERROR_CODE(
                service.setValue("Key", value, kAny, User::current, Host::current),
                kPreferencesServiceDomain, kPreferencesUnreadableDomain);
        }
        EXPECT_LUMIFOLD_ERROR_CODE(service.copyValue("Key", kAny, Host::current),
                                   kPreferencesServiceDomain, kPreferencesUnreadableDomain);
        EXPECT_EQ(asText(readFile(file)), damaged);
    }
}

TEST_F(PreferencesServiceTest, ADomainLeftEmptyLosesItsFile) {
    service.setValue("Key", PlistValue::string("v"), kAny, User::current, Host::current);
    EXPECT_EQ(service.copyValue("Key", kAny, Host::current), PlistValue::string("v"));
    EXPECT_EQ(service.copyValue("Key", kAny, Host::any), std::nullopt);
    service.setValue("Key", std::nullopt, kAny, User::current, Host::current);
    EXPECT_FALSE(entryType(path(kAny, Host::current)).has_value());
}

TEST_F(PreferencesServiceTest, ApplicationIdsCannotNameOtherFiles) {
    for (const std::string id : {"", "../../escape", "a/b", ".hidden", ".."}) {
        EXPECT_FALSE(service.domainPath(id, Host::any).has_value()) << id;
        EXPECT_EQ(service.copyAppValue("Key", id), std::nullopt) << id;
        EXPECT_LUMIFOLD_ERROR_CODE(
            service.setValue("Key", PlistValue::boolean(true), id, User::current, Host::any),
            kPreferencesServiceDomain, kPreferencesInvalidApplication);
    }
    EXPECT_FALSE(fileExists(home / "Library"));
}

TEST_F(PreferencesServiceTest, DomainsOfAnyUserAreNotWritten) {
    EXPECT_LUMIFOLD_ERROR(
        service.setValue("Key", PlistValue::boolean(true), kAny, User::any, Host::any),
        kPreferencesServiceDomain, kPreferencesAnyUserUnsupported,
        "Preferences for any user cannot be written");
}

}  // namespace
}  // namespace lumifold::platform
