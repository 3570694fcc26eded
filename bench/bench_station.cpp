// Consumers charged per second by the host over the demo data, on SQLite and
// on a private PostgreSQL cluster, for a batch of 1,000 passages, and how the
// time of one consumer divides between the printer, the service package (its
// database), the module's own statements, the table files (cached tables and
// the item file), the module's own work and the host. Prints figures; not a test.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <fmt/format.h>

#include "db/pg_cluster.cpp"
#include "db/pg_cluster.h"
#include "external/service_sql.h"
#include "station/host.h"
#include "station/init.h"
#include "platform/atomic_file.h"
#include "platform/db/connection.h"

using namespace zel;
using namespace zel::host;
namespace fs = std::filesystem;

namespace {

constexpr int kPassages = 1000;

void measure(const std::string& label, const fs::path& dir, const std::string& database) {
    InitOptions o;
    o.demo = true;
    o.seed = 7;
    o.database = database;
    o.day = DateTime::fromDate(2026, 3, 16);
    o.consumersPerClient = 334;  // 1,002 consumers
    fs::remove_all(dir);
    initStation(dir, o, nullptr);
    Station s = openStation(dir);
    {
        // Replace the demo's day by exactly one passage per consumer.
        db::Connection c(s.connectionString);
        c.executeDirect("DELETE FROM LOGCATRACA");
        auto rows = ext::svc::select(c, "consumers", "SELECT CDIDCONSUMID, CDTIPOCONS FROM CONSUMIDOR ORDER BY CDIDCONSUMID",
                                     {}, {{"A", db::ColumnType::Text}, {"B", db::ColumnType::Text}});
        std::ofstream csv(dir / "bench.csv");
        for (int i = 0; i < kPassages && i < static_cast<int>(rows.size()); ++i) {
            bool night = ext::svc::cellText(rows[i][1]) == "02";
            csv << ext::svc::cellText(rows[i][0]) << ";2026-03-16;" << (night ? 23 : 12) << ":" << fmt::format("{:02}", (i / 60) % 60)
                << ":" << fmt::format("{:02}", i % 60) << "\n";
        }
    }
    ImportResult imp = importPassages(s, dir / "bench.csv");
    PackageTimes times;
    RunOptions ro;
    ro.now = parseMoment("2026-03-16 23:59");
    ro.libraryEntry = false;
    ro.times = &times;
    uint64_t flushesBefore = durableWriteCount();
    auto start = std::chrono::steady_clock::now();
    RunReport r = runStation(s, ro);
    double flushes = static_cast<double>(durableWriteCount() - flushesBefore);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t n = r.passages.size();
    double per = seconds / static_cast<double>(n) * 1e3;
    auto ms = [n](std::chrono::nanoseconds t) { return std::chrono::duration<double>(t).count() / n * 1e3; };
    double printer = ms(times.printer), service = ms(times.service), statements = ms(times.moduleDatabase),
           files = ms(times.tableFiles), inside = ms(times.requests);
    double module = inside - printer - service - statements - files;
    auto part = [per](const char* what, double v) { return fmt::format("{} {:.3f} ms ({:.0f}%)", what, v, 100 * v / per); };
    std::cout << fmt::format("{:<10} {} passages imported, {} concluded, {} not; {:.2f} s: {:.0f} consumers/s\n", label,
                             imp.imported, r.count(Outcome::Concluded), n - r.count(Outcome::Concluded), seconds,
                             n / seconds)
              << fmt::format("           per consumer {:.3f} ms = {}, {}, {}, {}, {}, {}\n", per,
                             part("printer", printer), part("service package (its database)", service),
                             part("module's statements", statements), part("table files", files),
                             part("module's own work", module), part("host (journal, outcomes)", per - inside))
              << fmt::format("           {:.1f} flushed writes of files per consumer (printer memory and tape, "
                             "table files)\n",
                             flushes / static_cast<double>(n));
}

}  // namespace

int main() {
    fs::path base = fs::temp_directory_path() / ("zel_bench_station_" + std::to_string(::getpid()));
    fs::create_directories(base);
    try {
        measure("SQLite", base / "sqlite", "");
        auto& cluster = zel::testing::PgCluster::shared();
        if (cluster.running())
            measure("PostgreSQL", base / "pg", cluster.connectionString(cluster.createDatabase("bench")));
        else
            std::cout << "PostgreSQL: no private cluster: " << cluster.error() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "bench_station: " << e.what() << "\n";
        fs::remove_all(base);
        return 1;
    }
    fs::remove_all(base);
    return 0;
}
