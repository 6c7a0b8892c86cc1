#include <gtest/gtest.h>

#include "core/dsstore/DSStoreReader.h"
#include "core/inspection/FolderScanner.h"
#include "core/platform/FileSystem.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/inspection/InspectionTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold {
namespace {

using platform::PlistValue;

const FinderLayoutPreferences kPreferred = FinderLayoutPreferences::preferred(54.0);

SettingChange folderOverride(std::string target, std::string key, std::string oldValue,
                             std::string newValue) {
    return {std::move(target), std::move(key), std::move(oldValue), std::move(newValue),
            FolderScanner::kFolderOverrideChange};
}

SettingChange removal(std::string target, std::string key) {
    return {std::move(target), std::move(key), "present", "removed",
            FolderScanner::kRemoveOverrideChange};
}

class ReconciliationPlannerTest : public ::testing::Test, protected testing::InspectionFixture {
  protected:
    ReconciliationPlanning plan(const std::vector<std::string>& folders,
                                const FinderLayoutPreferences& target = kPreferred) const {
        return scanner.planReconciliation(folders, target);
    }

    // The only plan of a planning that must have exactly one.
    DSStoreReconciliationPlan onlyPlan(const std::vector<std::string>& folders) const {
        auto planning = plan(folders);
        if (planning.plans.size() != 1) throw std::runtime_error("expected one plan");
        return planning.plans.front();
    }

    static platform::PlistDictionary matchingOptions() {
        return {{"arrangeBy", PlistValue::string("kind")},
                {"iconSize", PlistValue::integer(44)},
                {"showItemInfo", PlistValue::boolean(false)},
                {"showIconPreview", PlistValue::boolean(true)}};
    }

    static std::vector<DSStoreEntry> freshRecords(const std::string& name) {
        return {testing::InspectionFixture::viewStyle(name, "icnv"),
                testing::InspectionFixture::iconView(name, kPreferred.iconViewOptionsDictionary())};
    }

    FolderScanner scanner{home.path(), platform::temporaryDirectory()};
};

TEST_F(ReconciliationPlannerTest, ListViewFolderIsRewrittenToTheIconView) {
    const std::string documents = folder("Documents");
    const std::string store =
        writeStore("Documents", {viewStyle(".", "Nlsv"),
                                 blob(".", "lsvp"),
                                 blob("a.txt", "Iloc"),
                                 {"a.txt", "cmmt", kTypeUstr, DSStoreValue::string("keep")},
                                 blob(".", "bwsp")});
    const DSStoreReconciliationPlan result = onlyPlan({documents});
    EXPECT_EQ(result.dsStoreURL, store);
    EXPECT_EQ(result.targetLabel, "Documents/.DS_Store");
    EXPECT_EQ(result.localChanges,
              (std::vector<SettingChange>{
                  removal("Documents/.DS_Store", "Documents/lsvp"),
                  folderOverride("Documents/.DS_Store", "Documents/vstl", "Nlsv", "icnv")}));

    std::vector<DSStoreEntry> expected = {
        blob(".", "bwsp"),
        blob("a.txt", "Iloc"),
        {"a.txt", "cmmt", kTypeUstr, DSStoreValue::string("keep")}};
    for (auto& entry : freshRecords(".")) expected.push_back(entry);
    EXPECT_EQ(result.newEntries, expected);
    EXPECT_EQ(result.newEntries.back().typecode, kTypeBlob);
    EXPECT_EQ(platform::parsePropertyList(result.newEntries.back().value.asData()),
              PlistValue::dictionary(kPreferred.iconViewOptionsDictionary()));
    EXPECT_EQ(result.preservedSummary,
              (std::map<std::string, std::int64_t>{{"Iloc", 1}, {"bwsp", 1}, {"cmmt", 1}}));
    // What the plan holds is what the writer can write.
    EXPECT_NO_THROW((void)writer.encode(result.newEntries));
}

TEST_F(ReconciliationPlannerTest, AMatchingStoreNeedsNoPlan) {
    const std::string desktop = folder("Desktop");
    auto options = matchingOptions();
    options["textSize"] = PlistValue::real(16);
    options["gridSpacing"] = PlistValue::real(100);
    writeStore("Desktop", {viewStyle(".", "icnv"), iconView(".", options), blob(".", "Iloc")});
    const auto planning = plan({desktop});
    EXPECT_TRUE(planning.plans.empty());
    EXPECT_TRUE(planning.undecodableStores.empty());
}

TEST_F(ReconciliationPlannerTest, IconViewOptionsAreComparedKeyByKey) {
    const std::string pictures = folder("Pictures");
    writeStore("Pictures", {iconView(".", {{"showItemInfo", PlistValue::string("yes")}})});
    EXPECT_EQ(onlyPlan({pictures}).localChanges,
              (std::vector<SettingChange>{
                  folderOverride("Pictures/.DS_Store", "Pictures/icvp.arrangeBy", "", "kind"),
                  folderOverride("Pictures/.DS_Store", "Pictures/icvp.iconSize", "0.0", "44.0")}));

    writeStore("Pictures", {iconView(".", {{"arrangeBy", PlistValue::string("name")},
                                           {"iconSize", PlistValue::real(64)},
                                           {"showItemInfo", PlistValue::boolean(true)},
                                           {"showIconPreview", PlistValue::boolean(false)}})});
    EXPECT_EQ(
        onlyPlan({pictures}).localChanges,
        (std::vector<SettingChange>{
            folderOverride("Pictures/.DS_Store", "Pictures/icvp.arrangeBy", "name", "kind"),
            folderOverride("Pictures/.DS_Store", "Pictures/icvp.iconSize", "64.0", "44.0"),
            folderOverride("Pictures/.DS_Store", "Pictures/icvp.showItemInfo", "true", "false"),
            folderOverride("Pictures/.DS_Store", "Pictures/icvp.showIconPreview", "false",
                           "true")}));
}

TEST_F(ReconciliationPlannerTest, IconSizesWithinAHundredthAreNotChanges) {
    const std::string pictures = folder("Pictures");
    auto options = matchingOptions();
    options["iconSize"] = PlistValue::real(44.005);
    writeStore("Pictures", {iconView(".", options)});
    EXPECT_TRUE(plan({pictures}).plans.empty());

    options["iconSize"] = PlistValue::real(44.02);
    writeStore("Pictures", {iconView(".", options)});
    EXPECT_EQ(onlyPlan({pictures}).localChanges,
              std::vector<SettingChange>{
                  folderOverride("Pictures/.DS_Store", "Pictures/icvp.iconSize", "44.02", "44.0")});
}

TEST_F(ReconciliationPlannerTest, MalformedOverridesGiveNoChangeButAreDroppedOnRewrite) {
    const std::string movies = folder("Movies");
    writeStore("Movies", {{".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
                          {".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(6, std::byte{7}))}});
    EXPECT_TRUE(plan({movies}).plans.empty());

    writeStore("Movies", {{".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
                          {".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(6, std::byte{7}))},
                          blob(".", "lsvC")});
    const auto result = onlyPlan({movies});
    EXPECT_EQ(result.localChanges,
              std::vector<SettingChange>{removal("Movies/.DS_Store", "Movies/lsvC")});
    EXPECT_EQ(result.newEntries, freshRecords("."));
    EXPECT_TRUE(result.preservedSummary.empty());
}

TEST_F(ReconciliationPlannerTest, TwoFoldersWithOneParentShareOnePlan) {
    const std::string desktop = folder("Desktop");
    const std::string music = folder("Music");
    folder("Other");
    const std::string parentStore = writeStore(
        "", {viewStyle("Desktop", "clmv"), blob("Desktop", "Iloc"), viewStyle("Music", "icnv"),
             blob("Music", "lsvP"), viewStyle("Other", "Nlsv"), blob("Other", "lsvp")});
    const auto planning = plan({desktop, music});
    ASSERT_EQ(planning.plans.size(), 1u);
    const auto& result = planning.plans[0];
    EXPECT_EQ(result.dsStoreURL, parentStore);
    const std::string label = lastPathComponent(home.path()) + "/.DS_Store";
    EXPECT_EQ(result.targetLabel, label);
    EXPECT_EQ(result.localChanges,
              (std::vector<SettingChange>{folderOverride(label, "Desktop/vstl", "clmv", "icnv"),
                                          removal(label, "Music/lsvP")}));
    std::vector<DSStoreEntry> expected = {blob("Desktop", "Iloc"), blob("Other", "lsvp"),
                                          viewStyle("Other", "Nlsv")};
    for (auto& entry : freshRecords("Desktop")) expected.push_back(entry);
    for (auto& entry : freshRecords("Music")) expected.push_back(entry);
    EXPECT_EQ(result.newEntries, expected);
    EXPECT_EQ(result.preservedSummary,
              (std::map<std::string, std::int64_t>{{"Iloc", 1}, {"lsvp", 1}, {"vstl", 1}}));
}

TEST_F(ReconciliationPlannerTest, PreservedRecordsAreCountedPerRewrittenStore) {
    std::vector<std::string> folders;
    const std::pair<const char*, int> stores[] = {{"A", 5}, {"B", 2}, {"C", 0}, {"D", 4}};
    for (const auto& [name, icons] : stores) {
        folders.push_back(folder(name));
        std::vector<DSStoreEntry> entries = {
            viewStyle(".", std::string(name) == "D" ? "icnv" : "Nlsv")};
        for (int i = 0; i < icons; ++i) entries.push_back(blob("f" + std::to_string(i), "Iloc"));
        writeStore(name, entries);
    }
    const auto planning = plan(folders);
    ASSERT_EQ(planning.plans.size(), 3u);  // D already matches
    std::int64_t icons = 0;
    for (const auto& result : planning.plans) {
        const auto found = result.preservedSummary.find("Iloc");
        if (found != result.preservedSummary.end()) icons += found->second;
    }
    EXPECT_EQ(icons, 7);
    EXPECT_EQ(planning.plans[2].preservedSummary.count("Iloc"), 0u);
}

TEST_F(ReconciliationPlannerTest, AFolderThroughALinkIsMatchedByItsResolvedPath) {
    const std::string real = folder("Real/Documents");
    writeStore("Real", {viewStyle("Documents", "Nlsv")});
    writeStore("Real/Documents", {viewStyle(".", "clmv")});
    const std::string viaLink = link("Docs", real);

    const auto planning = plan({viaLink});
    ASSERT_EQ(planning.plans.size(), 1u);  // the link's parent (the home) has no store
    EXPECT_EQ(planning.plans[0].dsStoreURL, viaLink + "/.DS_Store");
    EXPECT_EQ(planning.plans[0].localChanges, std::vector<SettingChange>{folderOverride(
                                                  "Docs/.DS_Store", "Docs/vstl", "clmv", "icnv")});

    // Through a linked parent, the parent's record under the resolved name is found too.
    const std::string linkedParent = link("RealLink", home / "Real");
    const auto throughParent = plan({linkedParent + "/Documents"});
    ASSERT_EQ(throughParent.plans.size(), 2u);
    EXPECT_EQ(throughParent.plans[0].dsStoreURL, linkedParent + "/.DS_Store");
    EXPECT_EQ(throughParent.plans[0].localChanges[0].key, "Documents/vstl");
    EXPECT_EQ(throughParent.plans[1].dsStoreURL, linkedParent + "/Documents/.DS_Store");
}

TEST_F(ReconciliationPlannerTest, AStoreWithUndecodableRecordsIsLeftAlone) {
    const std::string broken = folder("Broken");
    const std::string fine = folder("Fine");
    Bytes image = writer.encode({viewStyle(".", "Nlsv"), blob(".", "lsvp")});
    // The second record's type code (the leaf starts at 0x44, each record here is 4 + 2 + 8 +
    // 4 bytes of header and value) becomes one the reader does not know.
    const std::size_t firstRecord = 0x44 + 8;
    const std::size_t secondRecord = firstRecord + 4 + 2 + 8 + 4 + 4;
    testing::putText(image, secondRecord + 4 + 2 + 4, "zzzz");
    ASSERT_FALSE(DSStoreReader().parse(image).isComplete());
    const std::string brokenStore = home.writeFile("Broken/.DS_Store", image);
    writeStore("Fine", {viewStyle(".", "Nlsv")});

    const auto planning = plan({broken, fine});
    EXPECT_EQ(planning.undecodableStores, std::vector<std::string>{brokenStore});
    ASSERT_EQ(planning.plans.size(), 1u);
    EXPECT_EQ(planning.plans[0].targetLabel, "Fine/.DS_Store");
    EXPECT_EQ(platform::readFile(brokenStore), image);
}

TEST_F(ReconciliationPlannerTest, AFolderNameThatIsNotUtf8GetsNoPlan) {
    const std::string odd = folder("Odd\xFF");
    const std::string fine = folder("Fine");
    writeStore("Odd\xFF", {viewStyle(".", "Nlsv")});
    writeStore("Fine", {viewStyle(".", "Nlsv")});
    writeStore("", {viewStyle("Fine", "clmv"), blob("Other", "Iloc")});

    const auto planning = plan({odd, fine});
    EXPECT_EQ(planning.unnamableStores,
              std::vector<std::string>{home.path() + "/Odd\xEF\xBF\xBD/.DS_Store"});
    ASSERT_EQ(planning.plans.size(), 2u);
    for (const auto& result : planning.plans) {
        EXPECT_NO_THROW((void)writer.encode(result.newEntries));
        for (const auto& change : result.localChanges) {
            EXPECT_NO_THROW((void)nlohmann::json(change).dump());
        }
    }
    EXPECT_EQ(planning.plans[1].targetLabel, "Fine/.DS_Store");
}

TEST_F(ReconciliationPlannerTest, NoStoresNoPlans) {
    EXPECT_TRUE(plan({}).plans.empty());
    EXPECT_TRUE(plan({folder("Empty"), home / "Missing"}).plans.empty());
}

TEST_F(ReconciliationPlannerTest, AStoreTheReaderRejectsFailsThePlanning) {
    const std::string desktop = folder("Desktop");
    const std::string music = folder("Music");
    writeStore("Desktop", {viewStyle(".", "Nlsv")});
    home.writeFile("Music/.DS_Store", std::string(64, 'x'));
    EXPECT_LUMIFOLD_ERROR_CODE(plan({desktop, music}), DSStoreReader::kDomain,
                               DSStoreReader::kInvalidMagic);
}

TEST_F(ReconciliationPlannerTest, AStoreThatCannotBeReadFailsThePlanning) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    const std::string desktop = folder("Desktop");
    const std::string store = writeStore("Desktop", {viewStyle(".", "Nlsv")});
    ::chmod(store.c_str(), 0);
    EXPECT_LUMIFOLD_ERROR_CODE(plan({desktop}), "POSIX", EACCES);
}

}  // namespace
}  // namespace lumifold
