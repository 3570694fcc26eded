// A station whose database is reached through an ODBC DSN (unixODBC with the
// PostgreSQL driver, against the private cluster): the demo batch is charged
// end to end exactly as a twin station charges it over PostgreSQL directly,
// and the summary file is the report the run gave.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/db_fixture.h"
#include "platform/db/query.h"
#include "station/host.h"
#include "station/init.h"

using namespace zel;
using namespace zel::host;
using namespace zel::testing;
namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A demo station on database `name` of the cluster, made over PostgreSQL.
fs::path demoStation(const fs::path& dir, const std::string& connectionString) {
    InitOptions o;
    o.demo = true;
    o.seed = 11;
    o.database = connectionString;
    o.day = DateTime::fromDate(2026, 3, 16);
    o.consumersPerClient = 4;
    return initStation(dir, o, nullptr);
}

RunReport run(const fs::path& dir) {
    Station s = openStation(dir);
    RunOptions ro;
    ro.now = parseMoment("2026-03-16 23:59");
    ro.libraryEntry = false;
    return runStation(s, ro);
}

std::vector<std::string> outcomes(const RunReport& r) {
    std::vector<std::string> out;
    for (const PassageResult& p : r.passages)
        out.push_back(p.cdConsumidor + " " + p.moment + " " + outcomeName(p.outcome) + " " + p.coupon + " " +
                      std::to_string(std::llround(p.amount * 100)));
    return out;
}

int64_t count(const std::string& connectionString, const std::string& sql) {
    db::Connection c(connectionString);
    db::Query q(c, "count", sql, {}, {{"N", db::ColumnType::Integer}});
    q.open();
    return static_cast<int64_t>(q.asFloat("N"));
}

TEST(OdbcStation, ChargesTheDemoBatchThroughADsnAsOverPostgreSqlDirectly) {
    PgCluster& pg = PgCluster::shared();
    if (!pg.running()) {
        if (PgCluster::skipAllowed()) GTEST_SKIP() << "PostgreSQL skipped (ZEL_SKIP_POSTGRES=1)";
        FAIL() << "PostgreSQL could not be started: " << pg.error();
    }
    fs::path odbcDir;
    std::string why = prepareOdbc(pg, odbcDir);
    if (!why.empty()) {
        if (PgCluster::skipAllowed()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    TempDir base;

    // The twin, over PostgreSQL directly.
    std::string twinDb = pg.createDatabase("zo");
    fs::path twin = demoStation(base.path() / "twin", pg.connectionString(twinDb));
    RunReport direct = run(twin);
    ASSERT_FALSE(direct.couldNotRun) << direct.problem;

    // The same station made over PostgreSQL, then pointed at its database
    // through the DSN, as an installation reaches its own database.
    std::string name = pg.createDatabase("zo");
    fs::path station = demoStation(base.path() / "odbc", pg.connectionString(name));
    {
        std::string conf = readAll(station / "geracupom.conf");
        std::istringstream in(conf);
        std::ostringstream out;
        for (std::string line; std::getline(in, line);)
            out << (line.rfind("database", 0) == 0 ? "database = " + odbcConnectionString(name) : line) << "\n";
        std::ofstream(station / "geracupom.conf") << out.str();
    }
    Station s = openStation(station);
    ASSERT_EQ(s.connectionString.rfind("odbc://", 0), 0u) << s.connectionString;
    RunReport viaOdbc = run(station);
    ASSERT_FALSE(viaOdbc.couldNotRun) << viaOdbc.problem;
    EXPECT_GT(viaOdbc.count(Outcome::Concluded), 0);
    EXPECT_EQ(outcomes(viaOdbc), outcomes(direct));
    EXPECT_EQ(viaOdbc.exitStatus(), direct.exitStatus());

    // The database holds what the run says: one standing sale per concluded
    // passage, no pending turnstile row for them.
    std::string pgString = pg.connectionString(name);
    EXPECT_EQ(count(pgString, "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"), viaOdbc.count(Outcome::Concluded));
    EXPECT_EQ(count(pgString, "SELECT COUNT(*) FROM LOGCATRACA"),
              static_cast<int64_t>(viaOdbc.passages.size()) - viaOdbc.count(Outcome::Concluded));

    // The summary file is written a passage at a time and reads as the report.
    EXPECT_EQ(readAll(station / "last-run.json"), viaOdbc.toJson().dump(2));
    EXPECT_EQ(readAll(twin / "last-run.json"), direct.toJson().dump(2));

    // A second run finds nothing left to charge and nothing to repair.
    RunReport again = run(station);
    EXPECT_TRUE(again.repairs.empty());
    EXPECT_EQ(again.count(Outcome::Concluded), 0);
    EXPECT_EQ(readAll(station / "last-run.json"), again.toJson().dump(2));
}

}  // namespace
