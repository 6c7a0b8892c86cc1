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
    void writeDomain(const std::string& application, Host host, const std::string& text) {
        service.setValue("Key", PlistValue::string(text), application, User::current, host);
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

TEST_F(PreferencesServiceTest, ApplicationIdsNameNoOtherFile) {
    for (const std::string id : {"", "../../escape", "a/b", ".hidden", ".."}) {
        EXPECT_FALSE(service.domainPath(id, Host::any).has_value()) << id;
        EXPECT_EQ(service.copyAppValue("Key", id), std::nullopt) << id;
        EXPECT_LUMIFOLD_ERROR_CODE(
            service.setValue("Key", PlistValue::boolean(true), id, User::current, Host::any),
            kPreferencesServiceDomain, kPreferencesInvalidApplication);
    }
    EXPECT_LUMIFOLD_ERROR_CODE(
        service.setValue("Key", PlistValue::boolean(true), kAny, User::any, Host::any),
        kPreferencesServiceDomain, kPreferencesAnyUserUnsupported);
    EXPECT_FALSE(fileExists(home / "Library"));
}

// Damaged domains are passed over when reading.
TEST_F(PreferencesServiceTest, LooksUpCurrentHostThenAnyHostThenTheGlobalDomain) {
    writeDomain(kFinder, Host::current, "finder, this host");
    // Neither the global domain nor another application reads an application's domain.
    EXPECT_EQ(lookup("Key", kAny), std::nullopt);
    EXPECT_EQ(lookup("Key", "com.example.other"), std::nullopt);
    writeDomain(kFinder, Host::any, "finder, any host");
    writeDomain(kAny, Host::current, "global, this host");
    writeDomain(kAny, Host::any, "global, any host");
    EXPECT_EQ(lookup("Key", kFinder), "finder, this host");
    removeFile(path(kFinder, Host::current));
    EXPECT_EQ(lookup("Key", kFinder), "finder, any host");
    writeFileAt(path(kFinder, Host::any), "not a property list");
    EXPECT_EQ(lookup("Key", kFinder), "global, this host");
    EXPECT_EQ(lookup("Key", kAny), "global, this host");
    writeFileAt(path(kAny, Host::current),
                toXmlPropertyList(PlistValue::array({PlistValue::string("Key")})));
    EXPECT_EQ(lookup("Key", kFinder), "global, any host");
}

TEST_F(PreferencesServiceTest, SetValueCreatesFoldersKeepsOtherKeysAndRemovesAnEmptyDomain) {
    service.setValue("First", PlistValue::boolean(true), kFinder, User::current, Host::current);
    service.setValue("Second", PlistValue::integer(2), kFinder, User::current, Host::current);
    service.setValue("First", std::nullopt, kFinder, User::current, Host::current);
    EXPECT_EQ(service.copyAppValue("First", kFinder), std::nullopt);
    EXPECT_EQ(service.copyAppValue("Second", kFinder), PlistValue::integer(2));
    service.setValue("Second", std::nullopt, kFinder, User::current, Host::current);
    EXPECT_FALSE(entryType(path(kFinder, Host::current)).has_value());
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

}  // namespace
}  // namespace lumifold::platform
