// Look-ups in a products table of 100 and of 100,000 rows: an equality filter
// and a locate (both answered from a hash index) against a filter that must
// test every row.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "platform/dataset/table.h"

using namespace zel;
using namespace zel::ds;

namespace {

std::string code(int64_t i) { return fmt::format("{:010d}", i * 7919 % 10000019); }

Packet products(int64_t rows) {
    Packet p;
    p.fields = {FieldDef::string("CDPRODUTO", 10),    FieldDef::string("CDARVPROD", 20),
                FieldDef::string("NMPRODUTO", 50),    FieldDef::string("CDFAMILISALD", 3),
                FieldDef::string("CDBARPRODUTO", 20), FieldDef::string("SGUNIDADE", 10),
                FieldDef::floatField("VRPEALIMPFIS"), FieldDef::string("CDIMPOSTO", 2)};
    p.records.reserve(static_cast<size_t>(rows));
    for (int64_t i = 0; i < rows; ++i) {
        p.records.push_back(
            Record{0,
                   {code(i), fmt::format("1.{:03}.{:05}", i % 997, i), fmt::format("PRODUTO NUMERO {}", i),
                    fmt::format("{:03}", i % 40), fmt::format("789{:010}", i), std::string("UN"),
                    18.0 - static_cast<double>(i % 3) * 6, fmt::format("{:02}", i % 5)}});
    }
    return p;
}

// Codes to look up, in a shuffled order. range(1) 0: every row of the table
// (most probes miss the processor's caches on a large table); otherwise that
// many rows spread over the table, looked up again and again (the service's
// pattern: a few products per sale).
std::vector<std::string> probes(int64_t rows, int64_t distinct = 0) {
    std::vector<std::string> out;
    if (distinct == 0 || distinct > rows) distinct = rows;
    for (int64_t i = 0; i < distinct; ++i) out.push_back(code(i * (rows / distinct)));
    std::shuffle(out.begin(), out.end(), std::mt19937(42));
    return out;
}

void BM_EqualityFilter(benchmark::State& state) {
    Table t("cdsProdutos");
    t.setData(products(state.range(0)));
    std::vector<std::string> filters;
    for (const auto& c : probes(state.range(0), state.range(1)))
        filters.push_back("CDPRODUTO = " + quoteFilterLiteral(c));
    t.setFilter(filters[0]);
    t.setFiltered(true);
    t.recordCount();  // the hash index is built once, before timing
    size_t i = 0;
    for (auto _ : state) {
        t.setFilter(filters[i++ % filters.size()]);
        if (t.recordCount() != 1) state.SkipWithError("filter missed");
        benchmark::DoNotOptimize(t.asString(2));
    }
}

void BM_Locate(benchmark::State& state) {
    Table t("cdsProdutos");
    t.setData(products(state.range(0)));
    std::vector<Variant> values;
    for (const auto& c : probes(state.range(0), state.range(1))) values.emplace_back(c);
    t.locate("CDPRODUTO", values[0]);
    size_t i = 0;
    for (auto _ : state) {
        if (!t.locate("CDPRODUTO", values[i++ % values.size()])) state.SkipWithError("locate missed");
        benchmark::DoNotOptimize(t.asString(2));
    }
}

// For contrast: an expression no hash index can answer tests every row.
void BM_ScanningFilter(benchmark::State& state) {
    Table t("cdsProdutos");
    t.setData(products(state.range(0)));
    std::vector<std::string> filters;
    for (const auto& c : probes(state.range(0))) filters.push_back("NOT (CDPRODUTO <> " + quoteFilterLiteral(c) + ")");
    t.setFiltered(true);
    size_t i = 0;
    for (auto _ : state) {
        t.setFilter(filters[i++ % filters.size()]);
        if (t.recordCount() != 1) state.SkipWithError("filter missed");
    }
}

// The first look-up after a change of rows pays for building the index.
void BM_LocateAfterChange(benchmark::State& state) {
    Table t("cdsProdutos");
    t.setData(products(state.range(0)));
    auto c = probes(1);
    for (auto _ : state) {
        t.first();
        t.edit();
        t.setAsFloat(6, 12);
        t.post();
        benchmark::DoNotOptimize(t.locate("CDPRODUTO", Variant(c[0])));
    }
}

}  // namespace

BENCHMARK(BM_EqualityFilter)->ArgsProduct({{100, 100000}, {0, 64}});
BENCHMARK(BM_Locate)->ArgsProduct({{100, 100000}, {0, 64}});
BENCHMARK(BM_ScanningFilter)->Arg(100)->Arg(100000);
BENCHMARK(BM_LocateAfterChange)->Arg(100)->Arg(100000);
BENCHMARK_MAIN();
