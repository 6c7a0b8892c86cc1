// Parse and encode speed of the store codec on realistic records: per file an icon position,
// every tenth file a comment, and the folder's own window and view records.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"

namespace {

using namespace lumifold;

std::vector<DSStoreEntry> realisticEntries(std::size_t count) {
    std::vector<DSStoreEntry> entries;
    entries.push_back({".", "bwsp", kTypeBlob, DSStoreValue::data(Bytes(300, std::byte{0x62}))});
    entries.push_back({".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(500, std::byte{0x62}))});
    entries.push_back({".", "vstl", kTypeType, DSStoreValue::fourCC("icnv")});
    for (std::size_t i = 0; entries.size() < count; ++i) {
        const std::string name = "Photo " + std::to_string(100000 + i * 7919 % 900000) + ".jpeg";
        if (i % 10 == 9) {
            entries.push_back({name, "cmmt", kTypeUstr,
                               DSStoreValue::string("Holiday, day " + std::to_string(i))});
        } else {
            entries.push_back(
                {name, "Iloc", kTypeBlob, DSStoreValue::data(Bytes(16, std::byte{0xFF}))});
        }
    }
    entries.resize(count);
    return entries;
}

void BM_Parse(benchmark::State& state) {
    const Bytes image =
        DSStoreWriter().encode(realisticEntries(static_cast<std::size_t>(state.range(0))));
    const DSStoreReader reader;
    for (auto _ : state) {
        auto entries = reader.parseEntries(image);
        benchmark::DoNotOptimize(entries.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
    state.counters["image_bytes"] = static_cast<double>(image.size());
}

void BM_Encode(benchmark::State& state) {
    const auto entries = realisticEntries(static_cast<std::size_t>(state.range(0)));
    const DSStoreWriter writer;
    std::size_t size = 0;
    for (auto _ : state) {
        const Bytes image = writer.encode(entries);
        size = image.size();
        benchmark::DoNotOptimize(image.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

BENCHMARK(BM_Parse)->Arg(10)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode)->Arg(10)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
