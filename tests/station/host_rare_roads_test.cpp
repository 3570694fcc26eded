// The host's rare roads on a station of its own: a file imported again while
// its passages wait, a passage whose coupon was cancelled, and the import
// credit that recovery settles, never twice.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "external/service_db/service_sql.h"
#include "platform/db/connection.h"
#include "station/host.h"
#include "station/init.h"
#include "support/scratch_dir.h"

using namespace zel;
using namespace zel::host;
namespace fs = std::filesystem;

namespace {

const DateTime kDay = DateTime::fromDate(2026, 3, 16);

class HostRareRoads : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = support::scratchDirectory("zel_rare_");
        InitOptions o;
        o.day = kDay;
        dir_ = initStation(base_ / "station", o, nullptr);
    }
    void TearDown() override { fs::remove_all(base_); }

    fs::path file(const std::string& content) {
        fs::path p = base_ / ("p" + std::to_string(++files_) + ".csv");
        std::ofstream(p) << content;
        return p;
    }
    ImportResult import(const std::string& content) { return importPassages(openStation(dir_), file(content)); }
    RunReport run(const std::string& printerFault = "") {
        Station s = openStation(dir_);
        if (!printerFault.empty()) s.faults.set("VendaItem", printerFault);
        RunOptions o;
        o.now = parseMoment("2026-03-16 23:59");
        o.libraryEntry = false;
        return runStation(s, o);
    }
    std::vector<std::string> recover() {
        Station s = openStation(dir_);
        FixedClock clock(parseMoment("2026-03-17 08:00"));
        return recoverStation(s, clock);
    }
    std::string scalar(const std::string& sql) {
        db::Connection c(openStation(dir_).connectionString);
        auto rows = ext::svc::select(c, "check", sql, {}, {{"V", db::ColumnType::Text}});
        return rows.empty() ? "<no row>" : ext::svc::cellText(rows[0][0]);
    }
    void exec(const std::string& sql) {
        db::Connection c(openStation(dir_).connectionString);
        c.executeDirect(sql);
    }
    // The import record's count of sales, "null" when it holds none.
    std::string credit(const std::string& record) {
        std::string where = " FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '" + record + "'";
        if (scalar("SELECT CASE WHEN NRVENDAGERADA IS NULL THEN 'null' ELSE 'set' END" + where) == "null")
            return "null";
        db::Connection c(openStation(dir_).connectionString);
        auto rows = ext::svc::select(c, "check", "SELECT NRVENDAGERADA" + where, {}, {{"V", db::ColumnType::Float}});
        return rows.empty() ? "<no row>" : std::to_string(std::llround(ext::svc::cellNumber(rows[0][0])));
    }
    static int creditRepairs(const std::vector<std::string>& repairs) {
        int n = 0;
        for (const std::string& r : repairs) n += r.find("import record") != std::string::npos;
        return n;
    }

    fs::path base_, dir_;
    int files_ = 0;
};

const char* kLunch = "900001;2026-03-16;12:01\n900002;2026-03-16;12:05:30\n";

TEST_F(HostRareRoads, AFileImportedAgainWhileItsPassagesWaitTakesNothing) {
    ImportResult first = import(kLunch);
    ASSERT_EQ(first.imported, 2);
    ImportResult again = import(kLunch);
    EXPECT_EQ(again.imported, 0);
    EXPECT_TRUE(again.importRecord.empty());
    ASSERT_EQ(again.skipped.size(), 2u);
    for (const ImportProblem& p : again.skipped)
        EXPECT_NE(p.text.find("still pending"), std::string::npos) << p.line << ": " << p.text;
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM LOGCATRACA"), "2");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM LOGCATRACAPK"), "1");

    // One passage more in the file: only that one is taken.
    ImportResult more = import(std::string(kLunch) + "900003;2026-03-16;23:30\n");
    EXPECT_EQ(more.imported, 1);
    EXPECT_EQ(more.skipped.size(), 2u);

    RunReport r = run();
    EXPECT_EQ(r.count(Outcome::Concluded), 3) << r.summaryText();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA"), "3");
    EXPECT_EQ(credit(first.importRecord), "2");
    EXPECT_EQ(credit(more.importRecord), "1");

    // Charged now: the file again is refused as charged.
    ImportResult charged = import(kLunch);
    EXPECT_EQ(charged.imported, 0);
    ASSERT_EQ(charged.skipped.size(), 2u);
    EXPECT_NE(charged.skipped[0].text.find("already charged"), std::string::npos) << charged.skipped[0].text;
}

TEST_F(HostRareRoads, AnHourPastTheDayIsSkippedOnImport) {
    ImportResult r = import("900001;2026-03-16;24:00\n900002;2026-03-16;2400\n900003;2026-03-16;23:59:59\n");
    EXPECT_EQ(r.imported, 1);
    ASSERT_EQ(r.skipped.size(), 2u);
    EXPECT_EQ(r.skipped[0].line, 1);
    EXPECT_EQ(r.skipped[1].line, 2);
}

TEST_F(HostRareRoads, ACancelledPassageIsNeverCountedConcluded) {
    ImportResult imp = import("900001;2026-03-16;12:01\n");
    ASSERT_EQ(imp.imported, 1);
    // The printer refuses the item: the coupon is cancelled.
    RunReport r = run("false@1");
    ASSERT_EQ(r.passages.size(), 1u);
    EXPECT_EQ(r.passages[0].outcome, Outcome::Cancelled) << r.summaryText();
    EXPECT_EQ(r.count(Outcome::Concluded), 0);
    EXPECT_EQ(r.count(Outcome::Cancelled), 1);
    EXPECT_EQ(r.concludedAmount(), 0);
    EXPECT_EQ(r.exitStatus(), 1);
    nlohmann::json totals = r.toJson()["totals"];
    EXPECT_EQ(totals["concluded"], 0);
    EXPECT_EQ(totals["cancelled"], 1);
    EXPECT_EQ(totals["amount"], 0.0);
    EXPECT_EQ(r.summaryText().find("concluded, coupon"), std::string::npos) << r.summaryText();

    // The batch sold nothing: its import record says so with 0, not with nothing.
    EXPECT_EQ(credit(imp.importRecord), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM LOGCATRACA"), "1");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'C'"), "1");

    // The passage is charged by the next run, and counted once.
    RunReport next = run();
    EXPECT_EQ(next.count(Outcome::Concluded), 1) << next.summaryText();
    EXPECT_EQ(credit(imp.importRecord), "1");
    EXPECT_EQ(creditRepairs(recover()), 0);
    EXPECT_EQ(credit(imp.importRecord), "1");
}

TEST_F(HostRareRoads, RecoveryCreditsAnImportRecordOnce) {
    ImportResult imp = import(kLunch);
    ASSERT_EQ(imp.imported, 2);
    RunReport r = run();
    ASSERT_EQ(r.count(Outcome::Concluded), 2) << r.summaryText();
    EXPECT_EQ(credit(imp.importRecord), "2");

    // In step: recovery leaves it alone.
    EXPECT_EQ(creditRepairs(recover()), 0);
    EXPECT_EQ(credit(imp.importRecord), "2");

    // A run cut short after the first sale had credited one of the two.
    exec("UPDATE LOGCATRACAPK SET NRVENDAGERADA = 1 WHERE NRSEQARQIMPK = '" + imp.importRecord + "'");
    EXPECT_EQ(creditRepairs(recover()), 1);
    EXPECT_EQ(credit(imp.importRecord), "2");
    EXPECT_EQ(creditRepairs(recover()), 0);
    EXPECT_EQ(credit(imp.importRecord), "2");

    // Cut short before any credit.
    exec("UPDATE LOGCATRACAPK SET NRVENDAGERADA = NULL WHERE NRSEQARQIMPK = '" + imp.importRecord + "'");
    EXPECT_EQ(creditRepairs(recover()), 1);
    EXPECT_EQ(credit(imp.importRecord), "2");

    // A later run with nothing pending changes nothing.
    RunReport again = run();
    EXPECT_TRUE(again.passages.empty());
    EXPECT_EQ(credit(imp.importRecord), "2");
}

}  // namespace
