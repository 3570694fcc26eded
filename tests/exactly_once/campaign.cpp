// The campaign's fixture.
#include "exactly_once/campaign.h"

#include <cstdlib>
#include <fstream>
#include <functional>

#include "support/pg_cluster.h"

namespace zel::eo {

bool fullMatrix() {
    const char* v = std::getenv("ZEL_FULL_MATRIX");
    return v && std::string(v) == "1";
}

bool sampled(const std::string& name, int index, int last) {
    if (fullMatrix() || index == 1 || index == last) return true;
    // FNV-1a of the name and index: the same sample on every machine.
    uint32_t h = 2166136261u;
    for (char c : name + "#" + std::to_string(index)) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h % 2 == 0;
}

void tally(const std::string& group, int violations) {
    const char* file = std::getenv("ZEL_EO_TALLY");
    if (!file || !*file) return;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::ofstream(file, std::ios::app) << group << "\t" << info->test_suite_name() << "." << info->name() << "\t"
                                       << violations << "\n";
}

void Campaign::makeStation(int passages, bool onPostgres) {
    base_ = testDirectory();
    std::string database;
    if (onPostgres) {
        auto& pg = zel::testing::PgCluster::shared();
        if (!pg.running()) {
            if (zel::testing::PgCluster::skipAllowed()) GTEST_SKIP() << pg.error();
            FAIL() << pg.error();
        }
        database = pg.connectionString(pg.createDatabase("eo"));
    }
    station_ = std::make_unique<TestStation>(base_ / "station", 7, database);
    if (passages > 0) {
        ASSERT_EQ(station_->keepPassages(passages), passages) << "the demo has too few consumers";
    }
    snapshot_ = takeSnapshot(station_->dir());
}

CheckReport Campaign::cleanRunAndCheck(const std::string& group) {
    station_->dropKeysStarting("printer.fault.");
    station_->dropKeysStarting("crash.after.");
    ProgramResult r = station_->run("clean");
    CheckReport report = checkStation(station_->dir(), snapshot_);
    if (r.status != 0 && r.status != 1)
        report.violations.push_back("the clean run ended with status " + std::to_string(r.status) + ": " +
                                    r.output.substr(0, 600));
    for (const std::string& v : report.violations) ADD_FAILURE() << v;
    if (!report.undecided.empty()) std::cout << report.text();
    tally(group, static_cast<int>(report.violations.size()));
    return report;
}

void Campaign::twoRunsAtOnce() {
    Child a = station_->startRun("a");
    Child b = station_->startRun("b");
    ProgramResult ra = finish(a), rb = finish(b);
    EXPECT_LE(ra.status, 2) << ra.output;
    EXPECT_LE(rb.status, 2) << rb.output;
    CheckReport between = checkStation(station_->dir(), snapshot_, CheckOptions{false});
    for (const std::string& v : between.violations)
        if (v.find("times") != std::string::npos) ADD_FAILURE() << "after the two runs: " << v;
}

void Campaign::TearDown() {
    if (!HasFailure() && !base_.empty()) fs::remove_all(base_);
}

void Campaign::adoptImportRecord(const std::string& record) {
    const fs::path db = station_->dir() / "station.db";
    for (const auto& r : query(db,
                               "SELECT CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NMCONSUMIDOR, "
                               "DATAREAL, HORAREAL FROM LOGCATRACA WHERE NRSEQARQIMP = " +
                                   sqlText(record))) {
        std::string day = r[6].value_or(""), hour = r[7].value_or("");
        std::string moment = day.substr(0, 10) + " " + hour.substr(0, 2) + ":" + hour.substr(2, 2) + ":" +
                             (hour.size() >= 6 ? hour.substr(4, 2) : std::string("00"));
        snapshot_.passages.push_back({r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                                      r[4].value_or(""), r[5].value_or(""), record, moment});
    }
    for (const auto& r : query(db,
                               "SELECT CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, DTHRPASSAGEM FROM "
                               "VENDAPASSAGEM WHERE NRSEQARQIMP = " +
                                   sqlText(record)))
        snapshot_.passages.push_back({r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                                      r[4].value_or(""), "", record, r[5].value_or("")});
    snapshot_.credits[record] = 0;
}

}  // namespace zel::eo
