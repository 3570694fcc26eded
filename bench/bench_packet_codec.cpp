// Load and save throughput of the packet codecs on a generated products table
// of 100,000 rows, beside the cost of merely reading the file's bytes: into a
// packet, straight into compact rows, and from the file into a working table.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/dataset/codec.h"
#include "platform/dataset/table.h"

namespace {

using namespace zel::ds;

constexpr size_t kRows = 100000;

Packet productsTable() {
    Packet p;
    p.fields = {FieldDef::string("CDPRODUTO", 10),    FieldDef::string("CDARVPROD", 20),
                FieldDef::string("NMPRODUTO", 50),    FieldDef::string("CDFAMILISALD", 3),
                FieldDef::string("CDBARPRODUTO", 20), FieldDef::string("SGUNIDADE", 10),
                FieldDef::floatField("VRPEALIMPFIS"), FieldDef::string("CDIMPOSTO", 2)};
    p.props.push_back(Property::intList("DEFAULT_ORDER", {1}));
    p.props.push_back(Property::int32("LCID", 1046));
    static const char* names[] = {"Pão de queijo",     "Café expresso",        "Suco de laranja natural",
                                  "Coxinha de frango", "Água mineral sem gás", "Refrigerante lata 350ml",
                                  "Bolo de cenoura",   "Misto quente",         "Salada de frutas com granola",
                                  "Sanduíche natural"};
    static const char* units[] = {"UN", "KG", "LT", "PC"};
    std::mt19937 rng(42);
    p.records.reserve(kRows);
    for (size_t i = 0; i < kRows; ++i) {
        Record r;
        r.cells = {fmt::format("{:06}", i),
                   fmt::format("01.{:02}.{:03}.{:04}", i % 7, i % 113, i % 9973),
                   fmt::format("{} {}", names[rng() % 10], i % 500),
                   fmt::format("{:03}", rng() % 200),
                   fmt::format("789{:010}", rng() % 10000000000ULL),
                   std::string(units[rng() % 4]),
                   static_cast<double>(rng() % 100000) / 100.0,
                   fmt::format("T{}", rng() % 10)};
        p.records.push_back(std::move(r));
    }
    return p;
}

const Packet& table() {
    static const Packet p = productsTable();
    return p;
}

const std::string& binaryBytes() {
    static const std::string b = encodeBinary(table());
    return b;
}

const std::string& xmlBytes() {
    static const std::string b = encodeXml(table());
    return b;
}

std::filesystem::path binaryFile() {
    static const std::filesystem::path path = [] {
        auto p = std::filesystem::temp_directory_path() / fmt::format("bench_produtos_{}.cds", ::getpid());
        writePacketFile(p, table());
        return p;
    }();
    return path;
}

void BM_ReadFileBytes(benchmark::State& state) {
    auto path = binaryFile();
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::string s(std::filesystem::file_size(path), '\0');
        in.read(s.data(), static_cast<std::streamsize>(s.size()));
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * binaryBytes().size()));
}

void BM_DecodeBinary(benchmark::State& state) {
    const std::string& b = binaryBytes();
    for (auto _ : state) {
        Packet p = decodeBinary(b, "bench");
        benchmark::DoNotOptimize(p.records.data());
        state.PauseTiming();  // freeing the table is not part of loading it
        p = Packet();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
    state.counters["rows"] = kRows;
}

// Straight into compact rows, as a table file of original records is loaded.
void BM_DecodeBinaryRows(benchmark::State& state) {
    const std::string& b = binaryBytes();
    for (auto _ : state) {
        Packet header;
        RowStore rows;
        benchmark::DoNotOptimize(decodeBinaryRows(b, "bench", header, rows));
        state.PauseTiming();
        rows = RowStore();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

void BM_EncodeBinary(benchmark::State& state) {
    const Packet& p = table();
    size_t n = 0;
    for (auto _ : state) {
        std::string b = encodeBinary(p);
        n = b.size();
        benchmark::DoNotOptimize(b.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_ReadPacketFile(benchmark::State& state) {
    auto path = binaryFile();
    for (auto _ : state) {
        Packet p = readPacketFile(path);
        benchmark::DoNotOptimize(p.records.data());
        state.PauseTiming();
        p = Packet();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * binaryBytes().size()));
}

// The file into a working table, as the station loads its cached tables.
void BM_LoadTableFile(benchmark::State& state) {
    auto path = binaryFile();
    for (auto _ : state) {
        Table t("cdsProdutos");
        t.loadFromFile(path);
        benchmark::DoNotOptimize(t.rowBytes());
        state.PauseTiming();
        t.close();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * binaryBytes().size()));
}

void BM_DecodeXml(benchmark::State& state) {
    const std::string& b = xmlBytes();
    for (auto _ : state) {
        Packet p = decodeXml(b, "bench");
        benchmark::DoNotOptimize(p.records.data());
        state.PauseTiming();
        p = Packet();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

void BM_EncodeXml(benchmark::State& state) {
    const Packet& p = table();
    size_t n = 0;
    for (auto _ : state) {
        std::string b = encodeXml(p);
        n = b.size();
        benchmark::DoNotOptimize(b.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

BENCHMARK(BM_ReadFileBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBinaryRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPacketFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadTableFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeXml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeXml)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove(binaryFile(), ec);
    return 0;
}
