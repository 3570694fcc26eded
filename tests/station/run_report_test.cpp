// The report of a run: its passages kept outside memory past a few dozen
// kilobytes and read back whole, its JSON and summary written as they are read
// and equal to the texts built whole, and a batch too long for memory still
// reported passage by passage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "external/service_db/service_sql.h"
#include "platform/db/connection.h"
#include "station/host.h"
#include "station/init.h"
#include "station/serve.h"
#include "station/session.h"

using namespace zel;
using namespace zel::host;
namespace fs = std::filesystem;

namespace {

PassageResult passage(int i) {
    PassageResult r;
    r.nrSeqLogCat = std::to_string(1000 + i);
    r.nrSeqArqImp = std::to_string(1 + i / 700);
    r.cdConsumidor = fmt::format("C{:05}", i);
    r.cdCliente = "CL" + std::to_string(i % 3);
    r.nmConsumidor = i % 5 == 0 ? "José da Conceição \"Zé\"" : fmt::format("Consumidor número {}", i);
    r.moment = fmt::format("2026-03-16 12:{:02}:{:02}", i / 60 % 60, i % 60);
    r.outcome = static_cast<Outcome>(i % 4);
    if (r.outcome == Outcome::Concluded || r.outcome == Outcome::Cancelled) r.coupon = fmt::format("{:06}", i + 1);
    if (r.outcome == Outcome::Concluded) r.amount = 12.5 + (i % 7) * 0.01;
    for (int m = 0; m < i % 3; ++m) r.messages.push_back(fmt::format("message {} of {}\twith a tab", m, i));
    return r;
}

void expectSame(const PassageResult& a, const PassageResult& b) {
    EXPECT_EQ(a.nrSeqLogCat, b.nrSeqLogCat);
    EXPECT_EQ(a.nrSeqArqImp, b.nrSeqArqImp);
    EXPECT_EQ(a.cdConsumidor, b.cdConsumidor);
    EXPECT_EQ(a.cdCliente, b.cdCliente);
    EXPECT_EQ(a.nmConsumidor, b.nmConsumidor);
    EXPECT_EQ(a.moment, b.moment);
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.coupon, b.coupon);
    EXPECT_EQ(a.amount, b.amount);
    EXPECT_EQ(a.messages, b.messages);
}

RunReport report(int n) {
    RunReport r;
    r.started = "2026-03-16 23:59:00";
    r.finished = "2026-03-16 23:59:30";
    r.repairs = {"coupon 000007 left open is cancelled"};
    r.messages = {"the printer answered late"};
    r.batches = 2;
    for (int i = 0; i < n; ++i) r.passages.push_back(passage(i));
    return r;
}

std::string written(const RunReport& r, bool json) {
    std::ostringstream out;
    if (json) r.writeJson(out);
    else r.writeSummary(out, true);
    return out.str();
}

// A few passages stay in memory; thousands go to the temporary file. Either
// way each is read back as it was given, in order, by index, by iteration and
// in a copy, and the counts and the amount are those of the passages.
TEST(PassageList, KeepsEveryPassageInOrderInMemoryAndInItsFile) {
    for (int n : {0, 3, 5000}) {
        RunReport r = report(n);
        ASSERT_EQ(r.passages.size(), static_cast<size_t>(n));
        double amount = 0;
        int concluded = 0;
        for (int i = 0; i < n; ++i) {
            PassageResult p = passage(i);
            if (p.outcome == Outcome::Concluded) amount += p.amount, ++concluded;
        }
        EXPECT_EQ(r.count(Outcome::Concluded), concluded);
        EXPECT_EQ(r.count(Outcome::Pending), n / 4);
        EXPECT_DOUBLE_EQ(r.concludedAmount(), std::llround(amount * 100) / 100.0);
        int i = 0;
        for (const PassageResult& p : r.passages) expectSame(p, passage(i++));
        EXPECT_EQ(i, n);
        if (n == 0) continue;
        expectSame(r.passages[static_cast<size_t>(n / 2)], passage(n / 2));
        expectSame(r.passages.back(), passage(n - 1));
        RunReport copy = r;
        r.passages.push_back(passage(n));  // the copy does not share the original's file
        ASSERT_EQ(copy.passages.size(), static_cast<size_t>(n));
        expectSame(copy.passages[static_cast<size_t>(n - 1)], passage(n - 1));
        expectSame(r.passages[static_cast<size_t>(n)], passage(n));
    }
}

// What is written as it is read is what the whole texts say, to the byte:
// with no passage, a few, thousands, and a run that could not run.
TEST(RunReport, WrittenJsonAndSummaryAreTheWholeTexts) {
    for (int n : {0, 1, 4, 3000}) {
        RunReport r = report(n);
        EXPECT_EQ(written(r, true), r.toJson().dump(2)) << n;
        EXPECT_EQ(written(r, false), printable(r.summaryText(), true)) << n;
        r.couldNotRun = true;
        r.problem = "the printer check refused: \x01 date";
        EXPECT_EQ(written(r, true), r.toJson().dump(2)) << n;
        EXPECT_EQ(written(r, false), printable(r.summaryText(), true)) << n;
        EXPECT_EQ(nlohmann::json::parse(written(r, true))["totals"]["passages"], n);
    }
}

// A batch long enough that its passages go to the temporary file: every
// passage is reported with its own outcome and reason, in the report, in the
// station's last-run.json and in its pending reasons.
TEST(RunReport, ALongBatchIsReportedPassageByPassage) {
    fs::path base = fs::temp_directory_path() / ("zel_run_report_" + std::to_string(::getpid()));
    fs::remove_all(base);
    InitOptions o;
    o.demo = true;
    o.day = DateTime::fromDate(2026, 3, 16);
    o.consumersPerClient = 300;
    fs::path dir = initStation(base / "s", o, nullptr);
    Station s = openStation(dir);
    {
        // Only the night passages are charged; the same consumers at 03:00
        // find no product for the hour and are refused one by one.
        db::Connection c(s.connectionString);
        c.executeDirect("DELETE FROM LOGCATRACA");
        auto rows = ext::svc::select(c, "consumers", "SELECT CDIDCONSUMID FROM CONSUMIDOR ORDER BY CDIDCONSUMID", {},
                                     {{"A", db::ColumnType::Text}});
        std::ofstream csv(base / "p.csv");
        for (const auto& row : rows) csv << ext::svc::cellText(row[0]) << ";2026-03-16;03:00\n";
    }
    ImportResult imp = importPassages(s, base / "p.csv");
    ASSERT_GE(imp.imported, 800);

    RunOptions ro;
    ro.now = parseMoment("2026-03-16 23:59");
    ro.libraryEntry = false;
    RunReport r = runStation(s, ro);
    ASSERT_EQ(r.passages.size(), static_cast<size_t>(imp.imported)) << r.problem;
    EXPECT_EQ(r.count(Outcome::Refused), imp.imported);
    std::set<std::string> seqs;
    for (const PassageResult& p : r.passages) {
        seqs.insert(p.nrSeqLogCat);
        ASSERT_FALSE(p.messages.empty());
        EXPECT_NE(p.messages.back().find(p.nmConsumidor), std::string::npos) << p.messages.back();
    }
    EXPECT_EQ(seqs.size(), r.passages.size());

    std::ifstream last(s.layout.lastRun());
    std::stringstream text;
    text << last.rdbuf();
    EXPECT_EQ(text.str(), r.toJson().dump(2));
    auto reasons = readPendingReasons(dir);
    EXPECT_EQ(reasons.size(), seqs.size());
    for (const auto& [seq, reason] : reasons) {
        EXPECT_TRUE(seqs.count(seq)) << seq;
        EXPECT_EQ(reason.outcome, "refused");
    }
    fs::remove_all(base);
}

}  // namespace
