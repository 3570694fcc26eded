// Cost of one getVrSaldConsumi and one getConsSaldFam call against a sales
// history of 1,000 sales and of 1,000,000 sales (3,000,000 items), 50,000
// consumers, on SQLite and on PostgreSQL. The history is the station's own:
// every sale is of the branch the consumer is asked at, spread over five
// registers, as a station that has sold for years holds it. The goal: the
// big history costs at most twice the small one.
// Run: bench_db_statements [--benchmark_...]
// (ZEL_SKIP_POSTGRES=1 leaves PostgreSQL out; by default no statistics are
// gathered, as on a station that never ran them; ZEL_BENCH_STATISTICS=1 runs
// db::refreshStatistics after the load).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "support/pg_cluster.h"
#include "data/schema.h"
#include "data/statements.h"
#include "external/utility/util_connection.h"

namespace {

using namespace zel;
namespace fs = std::filesystem;

constexpr int kConsumers = 50000;
constexpr int kSalesPerConsumerBig = 20;  // 1,000,000 sales
constexpr int kItemsPerSale = 3;

// Consumer c's k-th sale falls k*36 + c%30 days after 2023-01-02.
DateTime saleDate(int consumer, int k) {
    return DateTime(DateTime::fromDate(2023, 1, 2).value() + k * 36 + consumer % 30);
}

ModuleDatabase::Slots slotsFor(const std::string& connectionString) {
    ModuleDatabase::Slots s;
    s.getStringConexZel = [connectionString](const std::string&) { return connectionString; };
    s.setADODBSession = util::SetADODBSession;
    s.tryConnect = [](db::Connection& c) { util::TryConnect(c); };
    s.adoExceptionMessage = util::ADOExceptionMessage;
    s.ajusta = [](const std::string& t, int) { return t; };
    return s;
}

void fill(db::Connection& c, int sales) {
    bool lite = c.backend() == db::Backend::Sqlite3;
    applySchema(c);
    c.beginTransaction();
    if (!lite) c.executeDirect("SET session_replication_role = replica");  // no foreign-key triggers while loading
    std::string series = [&](int n) {
        return lite ? "WITH RECURSIVE s(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM s WHERE i < " +
                          std::to_string(n - 1) + ") "
                    : std::string();
    }(std::max(sales, kConsumers));
    auto from = [&](int n) {
        return lite ? " FROM s WHERE i < " + std::to_string(n)
                    : " FROM generate_series(0, " + std::to_string(n - 1) + ") AS s(i)";
    };
    std::string text = lite ? "CAST(i AS TEXT)" : "CAST(i AS VARCHAR)";
    c.executeDirect("INSERT INTO CLIENTE (CDCLIENTE, NMFANTCLIE) VALUES ('C1', 'Cliente')");
    c.executeDirect("INSERT INTO CLIENFILIAL VALUES ('C1', '0001')");
    for (int f = 1; f <= 5; ++f) {
        c.executeDirect("INSERT INTO FAMILIASALDO VALUES ('00" + std::to_string(f) + "', 'Familia')");
        c.executeDirect("INSERT INTO FAMSALDOFILI VALUES ('0001', '00" + std::to_string(f) + "')");
    }
    auto insert = [&](const std::string& sql) { c.executeDirect((lite ? series : std::string()) + sql); };
    insert(
        "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, VRLIMDEBCONS, VRMAXDEBCONS) "
        "SELECT 'C1', " +
        text + ", 'B' || " + text + ", 'Consumidor', 300, 500" + from(kConsumers));
    for (int f = 1; f <= 3; ++f)
        insert("INSERT INTO SALDOCONS SELECT 'C1', " + text + ", '00" + std::to_string(f) + "', 10" + from(kConsumers));
    // Sale i belongs to consumer i % 50000 and is that consumer's (i / 50000)-th.
    std::string date = lite ? "date('2023-01-02', '+' || ((i / 50000) * 36 + (i % 50000) % 30) || ' days')"
                            : "DATE '2023-01-02' + ((i / 50000) * 36 + (i % 50000) % 30)";
    std::string consumer = lite ? "CAST(i % 50000 AS TEXT)" : "CAST(i % 50000 AS VARCHAR)";
    insert("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, IDSITUVENDA) " +
           std::string("SELECT '0001', '00' || ") + (lite ? "CAST(i % 5 + 1 AS TEXT)" : "CAST(i % 5 + 1 AS VARCHAR)") +
           ", " + text + ", 'C1', " + consumer + ", " + date + ", CASE WHEN i % 10 = 9 THEN 'C' ELSE 'O' END" +
           from(sales));
    for (int k = 1; k <= kItemsPerSale; ++k)
        insert(
            "INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, QTPRODVEND, VRUNITVEND, VRACRITVEND, "
            "VRDESITVEND) SELECT CDFILIAL, CDCAIXA, NRSEQVENDA, '" +
            std::to_string(k) + "', 1, 4.5, 0, 0 FROM VENDA");
    c.commit();
    const char* stats = std::getenv("ZEL_BENCH_STATISTICS");
    if (stats && std::string(stats) == "1") db::refreshStatistics(c);
}

struct Target {
    std::string label;
    std::unique_ptr<ModuleDatabase> module;
    int consumer;
    DateTime day;
};

std::vector<std::unique_ptr<Target>> gTargets;

void addTarget(const std::string& label, const std::string& cs, int sales) {
    auto started = std::chrono::steady_clock::now();
    {
        db::Connection c(cs);
        c.setAfterConnect(util::SetADODBSession);
        fill(c, sales);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "%s: %d sales loaded in %.1f s\n", label.c_str(), sales, secs);
    auto t = std::make_unique<Target>();
    t->label = label;
    t->module = std::make_unique<ModuleDatabase>(slotsFor(cs), FormatSettings{});
    // A consumer with a sale in the month asked for, in both histories.
    bool big = sales > kConsumers;
    t->consumer = big ? 12345 : 500;
    t->day = saleDate(t->consumer, big ? 10 : 0);
    Variant v = t->module->getVrSaldConsumi("0001", "C1", "B" + std::to_string(t->consumer),
                                            ModuleDatabase::PrimeiroDiaMes(t->day), t->day);
    if (!v.isPacket() || v.asPacket().records.size() != 1) {
        std::fprintf(stderr, "%s: unexpected answer %s\n", label.c_str(),
                     v.toText(FormatSettings::invariant()).c_str());
        std::exit(1);
    }
    gTargets.push_back(std::move(t));
}

void BM_getVrSaldConsumi(benchmark::State& state, Target* t) {
    std::string id = "B" + std::to_string(t->consumer);
    DateTime month = ModuleDatabase::PrimeiroDiaMes(t->day);
    for (auto _ : state) {
        Variant v = t->module->getVrSaldConsumi("0001", "C1", id, month, t->day);
        benchmark::DoNotOptimize(v);
    }
}

void BM_getConsSaldFam(benchmark::State& state, Target* t) {
    std::string code = std::to_string(t->consumer);
    for (auto _ : state) {
        Variant v = t->module->getConsSaldFam("0001", "C1", code);
        benchmark::DoNotOptimize(v);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string tmpl = (fs::temp_directory_path() / "zel-bench-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    fs::path dir = tmpl;
    addTarget("sqlite/1k", "sqlite3://db=" + (dir / "small.db").string(), 1000);
    addTarget("sqlite/1M", "sqlite3://db=" + (dir / "big.db").string(), kConsumers * kSalesPerConsumerBig);
    const char* skip = std::getenv("ZEL_SKIP_POSTGRES");
    if (!(skip && std::string(skip) == "1")) {
        auto& pg = zel::testing::PgCluster::shared();
        if (!pg.running()) {
            std::fprintf(stderr, "PostgreSQL could not be started: %s\n", pg.error().c_str());
            return 1;
        }
        addTarget("postgresql/1k", pg.connectionString(pg.createDatabase("zb")), 1000);
        addTarget("postgresql/1M", pg.connectionString(pg.createDatabase("zb")), kConsumers * kSalesPerConsumerBig);
    }
    for (auto& t : gTargets) {
        benchmark::RegisterBenchmark(("getVrSaldConsumi/" + t->label).c_str(), BM_getVrSaldConsumi, t.get())
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("getConsSaldFam/" + t->label).c_str(), BM_getConsSaldFam, t.get())
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gTargets.clear();
    if (zel::testing::PgCluster::sharedCreated()) zel::testing::PgCluster::shared().stop();
    fs::remove_all(dir);
    return 0;
}
