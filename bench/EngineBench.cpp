// Whole-stage timings on a realistic load: six folders holding 100 000 files in all, with a
// store in each folder and one in their parent. Inspect and preview are compared with the
// least any program must do for the same answer: list the folders and read every file's
// FinderInfo attribute. Apply is timed on the same folders (every file with a visible
// extension) and on a small home like the demo's.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/xattr.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/common/Paths.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/plist/PropertyList.h"
#include "tests/support/TempHome.h"

namespace {

using namespace lumifold;

constexpr std::array<const char*, 6> kFolders = {"Desktop",  "Documents", "Downloads",
                                                 "Pictures", "Movies",    "Music"};

DSStoreEntry iloc(const std::string& name) {
    return {name, "Iloc", kTypeBlob, DSStoreValue::data(Bytes(16, std::byte{0x7F}))};
}

Bytes listViewOptions() {
    platform::PlistDictionary options;
    options["sortColumn"] = platform::PlistValue::string("name");
    return platform::toBinaryPropertyList(platform::PlistValue::dictionary(options));
}

// A home with `totalFiles` files spread over the six folders, each folder overridden to list
// view with icon positions for its first 500 files, and the home's own store naming them.
class LoadedHome {
  public:
    explicit LoadedHome(std::size_t totalFiles) {
        const DSStoreWriter writer;
        std::vector<DSStoreEntry> parentRecords;
        for (std::size_t f = 0; f < kFolders.size(); ++f) {
            const std::string folder = m_home.makeFolder(kFolders[f]);
            m_folders.push_back(folder);
            std::vector<DSStoreEntry> records = {
                {".", "vstl", kTypeType, DSStoreValue::fourCC("Nlsv")},
                {".", "lsvp", kTypeBlob, DSStoreValue::data(listViewOptions())}};
            for (std::size_t i = f; i < totalFiles; i += kFolders.size()) {
                const std::string name = "file " + std::to_string(i) + ".jpeg";
                m_home.writeFile(std::string(kFolders[f]) + "/" + name, std::string());
                if (records.size() < 500) records.push_back(iloc(name));
            }
            writer.write(records, appending(folder, ".DS_Store"));
            parentRecords.push_back(iloc(kFolders[f]));
        }
        writer.write(parentRecords, m_home / ".DS_Store");
    }

    const std::string& path() const { return m_home.path(); }
    const std::vector<std::string>& folders() const { return m_folders; }

    // Shows every extension again and puts the list-view overrides back, so apply has the
    // same work each time.
    void reset() const {
        for (const auto& folder : m_folders) {
            for (const auto& name : platform::listDirectory(folder)) {
                ::removexattr(appending(folder, name).c_str(), "user.com.apple.FinderInfo");
            }
        }
    }

  private:
    testing::TempHome m_home;
    std::vector<std::string> m_folders;
};

const LoadedHome& loadedHome() {
    static const LoadedHome home(100'000);
    return home;
}

EngineOptions optionsFor(const std::string& home) {
    EngineOptions options;
    options.homeDirectory = home;
    return options;
}

// The floor: one directory listing per folder and one attribute read per file.
void BM_ListAndReadAttributes(benchmark::State& state) {
    const auto& home = loadedHome();
    for (auto _ : state) {
        std::size_t visible = 0;
        for (const auto& folder : home.folders()) {
            DIR* dir = ::opendir(folder.c_str());
            while (const dirent* entry = ::readdir(dir)) {
                if (entry->d_name[0] == '.') continue;
                std::array<unsigned char, 32> info{};
                const std::string path = folder + "/" + entry->d_name;
                if (::getxattr(path.c_str(), "user.com.apple.FinderInfo", info.data(),
                               info.size()) != 32) {
                    ++visible;
                }
            }
            ::closedir(dir);
        }
        benchmark::DoNotOptimize(visible);
    }
}

void BM_Inspect(benchmark::State& state) {
    const auto& home = loadedHome();
    LumifoldEngine engine(optionsFor(home.path()));
    for (auto _ : state) {
        auto result = engine.inspect(home.folders());
        benchmark::DoNotOptimize(result.second.data());
    }
}

void BM_Preview(benchmark::State& state) {
    const auto& home = loadedHome();
    LumifoldEngine engine(optionsFor(home.path()));
    for (auto _ : state) {
        auto preview = engine.preview(home.folders());
        benchmark::DoNotOptimize(preview.folderChanges.data());
    }
    state.counters["changes"] =
        static_cast<double>(engine.preview(home.folders()).folderChanges.size());
}

void BM_ApplyLoadedHome(benchmark::State& state) {
    const LoadedHome home(100'000);
    for (auto _ : state) {
        state.PauseTiming();
        home.reset();
        LumifoldEngine engine(optionsFor(home.path()));
        state.ResumeTiming();
        auto result = engine.apply(home.folders(), false);
        benchmark::DoNotOptimize(result.manifest.id.data());
    }
}

// The floor for apply on the loaded home: setting each file's flag and nothing else.
void BM_HideExtensionsOnly(benchmark::State& state) {
    const auto& home = loadedHome();
    for (auto _ : state) {
        state.PauseTiming();
        home.reset();
        std::vector<std::string> files;
        for (const auto& folder : home.folders()) {
            for (const auto& name : platform::listDirectory(folder))
                files.push_back(appending(folder, name));
        }
        state.ResumeTiming();
        for (const auto& file : files) platform::setHasHiddenExtension(file, true);
    }
    home.reset();
}

void BM_ApplyDemoHome(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto home = std::make_unique<LoadedHome>(12);
        LumifoldEngine engine(optionsFor(home->path()));
        state.ResumeTiming();
        auto result = engine.apply(home->folders(), false);
        benchmark::DoNotOptimize(result.manifest.id.data());
        state.PauseTiming();
        home.reset();
        state.ResumeTiming();
    }
}

BENCHMARK(BM_ListAndReadAttributes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Inspect)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Preview)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_HideExtensionsOnly)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ApplyDemoHome)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ApplyLoadedHome)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
