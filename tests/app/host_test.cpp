// The host program end to end: a station made, passages imported and charged
// on SQLite and PostgreSQL, two registers on one database, bad input, and runs
// killed at each moment of a sale and then run again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <fmt/format.h>
#include <regex>
#include <set>
#include <sstream>

#include "support/pg_cluster.h"
#include "external/printer/printer_tape.h"
#include "external/service_db/service_sql.h"
#include "station/host.h"
#include "station/init.h"
#include "platform/db/connection.h"
#include "support/scratch_dir.h"

using namespace zel;
using namespace zel::host;
namespace fs = std::filesystem;

namespace {

const DateTime kDay = DateTime::fromDate(2026, 3, 16);
const char* kNow = "2026-03-16 23:59";

class Host : public ::testing::Test {
  protected:
    void SetUp() override { base_ = support::scratchDirectory("zel_host_"); }
    void TearDown() override { fs::remove_all(base_); }

    fs::path make(const std::string& name, const std::string& database = "", const std::string& reg = "001") {
        InitOptions o;
        o.day = kDay;
        o.database = database;
        o.register_ = reg;
        return initStation(base_ / name, o, nullptr);
    }
    fs::path file(const std::string& name, const std::string& content) {
        fs::path p = base_ / name;
        std::ofstream(p) << content;
        return p;
    }
    RunReport run(const fs::path& dir, size_t requestPassages = 1000) {
        Station s = openStation(dir);
        RunOptions o;
        o.now = parseMoment(kNow);
        o.libraryEntry = false;
        o.requestPassages = requestPassages;
        return runStation(s, o);
    }
    std::string scalar(const fs::path& dir, const std::string& sql) {
        Station s = openStation(dir);
        db::Connection c(s.connectionString);
        auto rows = ext::svc::select(c, "check", sql, {}, {{"V", db::ColumnType::Text}});
        return rows.empty() ? "<no row>" : ext::svc::cellText(rows[0][0]);
    }
    double number(const fs::path& dir, const std::string& sql) {
        Station s = openStation(dir);
        db::Connection c(s.connectionString);
        auto rows = ext::svc::select(c, "check", sql, {}, {{"V", db::ColumnType::Float}});
        return rows.empty() ? -999999 : ext::svc::cellNumber(rows[0][0]);
    }
    static void appendConfig(const fs::path& dir, const std::string& line) {
        std::ofstream(dir / "geracupom.conf", std::ios::app) << line << "\n";
    }
    static void dropConfigLine(const fs::path& dir, const std::string& prefix) {
        std::ifstream in(dir / "geracupom.conf");
        std::string all, line;
        while (std::getline(in, line))
            if (line.rfind(prefix, 0) != 0) all += line + "\n";
        in.close();
        std::ofstream(dir / "geracupom.conf", std::ios::trunc) << all;
    }
    // The coupon numbers (COO) of the tape's receipts.
    static std::vector<std::string> tapeCoupons(const fs::path& dir) {
        std::vector<std::string> out;
        std::regex coo("COO:([0-9]{6})");
        for (const auto& receipt : ext::readTapeReceipts(dir / "printer-tape.txt"))
            for (const std::string& line : receipt) {
                std::smatch m;
                if (std::regex_search(line, m, coo)) {
                    out.push_back(m[1]);
                    break;
                }
            }
        return out;
    }

    fs::path base_;
};

// Ana and Bruno at lunch, Carla on the night shift; an unknown code, a bad
// hour and a line that is no passage.
const char* kPassages =
    "code;date;hour;branch;register\n"
    "900001;2026-03-16;12:01;0001;001\n"
    "900002;16/03/2026;12:05:30\n"
    "900003;2026-03-16;23:30;;\n"
    "999999;2026-03-16;12:00\n"
    "900001;2026-03-16;25:00\n"
    "just some words\n";

// An import record longer than a request is charged in slices: every
// passage once, in the record's order, and the record credited with all.
TEST_F(Host, ALongImportRecordIsChargedInSeveralRequests) {
    fs::path dir = make("slices");
    Station s = openStation(dir);
    std::string csv;
    for (int k = 0; k < 7; ++k) csv += fmt::format("90000{};2026-03-16;12:{:02}\n", 1 + k % 2, 10 + k);
    ImportResult imp = importPassages(s, file("p.csv", csv));
    ASSERT_EQ(imp.imported, 7);

    RunReport r = run(dir, 3);
    EXPECT_EQ(r.batches, 3) << "7 passages, 3 a request";
    ASSERT_EQ(r.passages.size(), 7u);
    std::set<std::string> coupons;
    for (const PassageResult& p : r.passages) {
        EXPECT_EQ(p.outcome, Outcome::Concluded) << p.nmConsumidor;
        coupons.insert(p.coupon);
    }
    EXPECT_EQ(coupons.size(), 7u);
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM LOGCATRACA"), 0);
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM"), 7);
    EXPECT_EQ(number(dir, "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '" + imp.importRecord + "'"), 7);
    EXPECT_EQ(tapeCoupons(dir).size(), 7u);
    EXPECT_FALSE(fs::exists(dir / "run-current.json")) << "the run journal goes with the pass";
    EXPECT_TRUE(run(dir, 3).passages.empty());
}

TEST_F(Host, ImportRunAndASecondRunOnSqlite) {
    fs::path dir = make("a");
    Station s = openStation(dir);
    ImportResult imp = importPassages(s, file("p.csv", kPassages));
    EXPECT_EQ(imp.imported, 3);
    ASSERT_EQ(imp.skipped.size(), 3u);
    EXPECT_EQ(imp.skipped[0].line, 5);
    EXPECT_NE(imp.skipped[0].text.find("999999"), std::string::npos);
    EXPECT_EQ(imp.skipped[1].line, 6);
    EXPECT_NE(imp.skipped[1].text.find("25:00"), std::string::npos);
    EXPECT_EQ(imp.skipped[2].line, 7);

    RunReport r = run(dir);
    EXPECT_EQ(r.exitStatus(), 0) << r.summaryText();
    ASSERT_EQ(r.passages.size(), 3u);
    std::set<std::string> coupons;
    for (const PassageResult& p : r.passages) {
        EXPECT_EQ(p.outcome, Outcome::Concluded) << p.nmConsumidor;
        EXPECT_GT(p.amount, 0);
        coupons.insert(p.coupon);
    }
    EXPECT_EQ(coupons.size(), 3u);
    EXPECT_EQ(r.batches, 1);
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"), 3);
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM ITEMVENDA"), 3);
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM LOGCATRACA"), 0);
    EXPECT_EQ(number(dir, "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '" + imp.importRecord + "'"), 3);
    EXPECT_NEAR(number(dir, "SELECT VRSALDCONFAM FROM SALDOCONS WHERE CDCONSUMIDOR = '1001' AND CDFAMILISALD = '001'"),
                120, 1e-9);
    EXPECT_EQ(tapeCoupons(dir).size(), 3u);
    EXPECT_TRUE(fs::exists(dir / "last-run.json"));

    RunReport again = run(dir);
    EXPECT_TRUE(again.passages.empty());
    EXPECT_EQ(again.exitStatus(), 0);
    EXPECT_EQ(tapeCoupons(dir).size(), 3u);

    // The same file again charges nobody twice.
    ImportResult twice = importPassages(s, file("p.csv", kPassages));
    EXPECT_EQ(twice.imported, 0);
    EXPECT_TRUE(twice.importRecord.empty());
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM LOGCATRACAPK"), 1);
}

TEST_F(Host, ARefusedPassageStaysPendingWithItsMessage) {
    fs::path dir = make("a");
    Station s = openStation(dir);
    // Bruno at four in the afternoon: no service window then.
    ASSERT_EQ(importPassages(s, file("p.csv", "900001;2026-03-16;12:01\n900002;2026-03-16;16:00\n")).imported, 2);
    RunReport r = run(dir);
    ASSERT_EQ(r.passages.size(), 2u);
    EXPECT_EQ(r.passages[0].outcome, Outcome::Concluded);
    EXPECT_EQ(r.passages[1].outcome, Outcome::Refused);
    ASSERT_FALSE(r.passages[1].messages.empty());
    EXPECT_NE(r.passages[1].messages.back().find("Bruno Lima"), std::string::npos) << r.passages[1].messages.back();
    EXPECT_EQ(r.exitStatus(), 1);
    EXPECT_EQ(r.toJson()["totals"]["refused"], 1);
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM LOGCATRACA"), 1);
}

TEST_F(Host, BadStationsAndFilesAreToldPlainly) {
    auto message = [](const fs::path& dir) {
        try {
            openStation(dir);
        } catch (const StationError& e) {
            return std::string(e.what());
        }
        return std::string("<opened>");
    };
    fs::create_directories(base_ / "empty");
    EXPECT_NE(message(base_ / "empty").find("is not a station"), std::string::npos);
    EXPECT_NE(message(base_ / "nowhere").find("no such directory"), std::string::npos);

    fs::path dir = make("a");
    appendConfig(dir, "regster = 002");
    std::string m = message(dir);
    EXPECT_NE(m.find("unknown key \"regster\""), std::string::npos) << m;
    EXPECT_NE(m.find("geracupom.conf:"), std::string::npos) << m;
    dropConfigLine(dir, "regster");
    dropConfigLine(dir, "register");
    EXPECT_NE(message(dir).find("\"register\""), std::string::npos) << message(dir);
    appendConfig(dir, "register = 001");
    appendConfig(dir, "crash.after.Nothing = 1");
    EXPECT_NE(message(dir).find("unknown operation \"Nothing\""), std::string::npos) << message(dir);
    dropConfigLine(dir, "crash.after");
    EXPECT_EQ(message(dir), "<opened>");
    fs::remove(dir / "Dados" / "Cadastros" / "Produtos.cds");
    EXPECT_NE(message(dir).find("Produtos.cds"), std::string::npos);

    // A database that is down: nothing imported, nothing run.
    fs::path down = make("down");
    dropConfigLine(down, "database");
    appendConfig(down, "database = postgresql://host=127.0.0.1 port=1 dbname=none user=postgres connect_timeout=2");
    Station s = openStation(down);
    EXPECT_THROW(importPassages(s, file("p.csv", kPassages)), StationError);
    try {
        runStation(s, RunOptions{});
        ADD_FAILURE() << "ran without a database";
    } catch (const StationError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot be reached"), std::string::npos) << e.what();
    }
}

#ifdef GERACUPOM_BIN
// Runs the program; its exit status, or 128 + the signal that ended it.
int program(const std::string& args, const fs::path& out) {
    std::string cmd = std::string("'") + GERACUPOM_BIN + "' " + args + " > '" + out.string() + "' 2>&1";
    int status = std::system(cmd.c_str());
    if (WIFEXITED(status)) {
        int code = WEXITSTATUS(status);
        return code;  // the shell reports a killed child as 128 + signal
    }
    return 128 + WTERMSIG(status);
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST_F(Host, TheProgramTellsBadInputWithStatusTwo) {
    fs::create_directories(base_ / "empty");
    EXPECT_EQ(program("run '" + (base_ / "empty").string() + "'", base_ / "out.txt"), 2);
    EXPECT_NE(slurp(base_ / "out.txt").find("is not a station"), std::string::npos);
    fs::path dir = make("a");
    EXPECT_EQ(program("import '" + dir.string() + "' '" + (base_ / "missing.csv").string() + "'", base_ / "out.txt"),
              2);
    EXPECT_NE(slurp(base_ / "out.txt").find("missing.csv"), std::string::npos);
    EXPECT_EQ(program("run '" + dir.string() + "' --now 'yesterday'", base_ / "out.txt"), 2);
}

// A run killed right after `operation` on the second consumer, then run again.
class Crash : public Host, public ::testing::WithParamInterface<const char*> {};

TEST_P(Crash, RunAgainChargesEachPassageOnceAndRepairs) {
    fs::path dir = make("a");
    Station s = openStation(dir);
    ASSERT_EQ(importPassages(s, file("p.csv", kPassages)).imported, 3);
    appendConfig(dir, std::string("crash.after.") + GetParam() + " = 2");
    std::string args = "run '" + dir.string() + "' --json --now '" + kNow + "'";
    ASSERT_EQ(program(args, base_ / "first.txt"), 128 + SIGKILL) << slurp(base_ / "first.txt");
    dropConfigLine(dir, "crash.after");

    ASSERT_EQ(program(args, base_ / "second.txt"), 0) << slurp(base_ / "second.txt");
    auto report = nlohmann::json::parse(slurp(base_ / "second.txt"));
    EXPECT_FALSE(report["repairs"].empty()) << report.dump(2);

    // Every passage charged once: each consumer has one standing sale.
    for (const char* consumer : {"1001", "1002", "1003"})
        EXPECT_EQ(
            number(dir, std::string("SELECT COUNT(*) FROM VENDA V JOIN VENDACUPOM VC ON VC.CDFILIAL = "
                                    "V.CDFILIAL AND VC.CDCAIXA = V.CDCAIXA AND VC.NRSEQVENDA = V.NRSEQVENDA "
                                    "WHERE V.IDSITUVENDA = 'O' AND VC.DTHRCANCEL IS NULL AND V.CDCONSUMIDOR = '") +
                            consumer + "'"),
            1)
            << consumer;
    EXPECT_EQ(number(dir, "SELECT COUNT(*) FROM LOGCATRACA"), 0);
    EXPECT_EQ(number(dir, "SELECT NRVENDAGERADA FROM LOGCATRACAPK"), 3);
    // Ana's lunch debited once.
    EXPECT_NEAR(number(dir, "SELECT VRSALDCONFAM FROM SALDOCONS WHERE CDCONSUMIDOR = '1001' AND CDFAMILISALD = '001'"),
                120, 1e-9);
    // No coupon left open; every printed coupon is a stored sale, a recorded
    // cancellation, or a cancellation in the access log.
    Station again = openStation(dir);
    EXPECT_FALSE(stationStatus(again)["printer"]["coupon_open"].get<bool>());
    for (const std::string& coo : tapeCoupons(dir)) {
        double stored = number(dir, "SELECT COUNT(*) FROM VENDACUPOM WHERE NRCUPOMFIS = '" + coo + "'");
        double logged = number(dir,
                               "SELECT COUNT(*) FROM LOGCONTROLEACESSO WHERE CDOPERACAO = 'CAN_CUP' AND "
                               "DSOBSERVACAO LIKE '%" +
                                   coo + "'");
        EXPECT_GT(stored + logged, 0) << "coupon " << coo << " is neither stored nor cancelled";
    }
    EXPECT_FALSE(fs::exists(dir / "Venda" / "cdsVenda.cds"));
    EXPECT_FALSE(fs::exists(dir / "run-journal.json"));
}

INSTANTIATE_TEST_SUITE_P(Moments, Crash,
                         ::testing::Values("AbreCupom", "VendaItem", "FechaCupom", "SetConcluiFechamento"));
#endif

// ---- PostgreSQL

class HostPg : public Host {
  protected:
    void SetUp() override {
        Host::SetUp();
        auto& cluster = zel::testing::PgCluster::shared();
        if (!cluster.running()) {
            if (zel::testing::PgCluster::skipAllowed()) GTEST_SKIP() << cluster.error();
            FAIL() << "PostgreSQL cluster: " << cluster.error();
        }
        conn_ = cluster.connectionString(cluster.createDatabase("host"));
    }
    std::string conn_;
};

TEST_F(HostPg, TwoRegistersOnOneDatabaseKeepTheirOwnPassagesAndCounters) {
    fs::path a = make("a", conn_, "001");
    fs::path b = make("b", conn_, "002");
    Station sa = openStation(a), sb = openStation(b);
    ImportResult ia = importPassages(sa, file("a.csv", kPassages));
    ASSERT_EQ(ia.imported, 3);
    ImportResult ib = importPassages(sb, file("b.csv", "900002;2026-03-16;12:30\n900003;2026-03-16;23:45\n"));
    ASSERT_EQ(ib.imported, 2);
    EXPECT_NE(ia.importRecord, ib.importRecord);

    RunReport ra = run(a);
    EXPECT_EQ(ra.exitStatus(), 0) << ra.summaryText();
    EXPECT_EQ(ra.passages.size(), 3u);
    // Register 002's passages wait for their own station.
    EXPECT_EQ(number(a, "SELECT COUNT(*) FROM LOGCATRACA WHERE CDCAIXA = '002'"), 2);
    RunReport rb = run(b);
    EXPECT_EQ(rb.exitStatus(), 0) << rb.summaryText();
    EXPECT_EQ(rb.passages.size(), 2u);

    EXPECT_EQ(number(a, "SELECT COUNT(*) FROM VENDA WHERE CDCAIXA = '001' AND IDSITUVENDA = 'O'"), 3);
    EXPECT_EQ(number(a, "SELECT COUNT(*) FROM VENDA WHERE CDCAIXA = '002' AND IDSITUVENDA = 'O'"), 2);
    EXPECT_EQ(number(a, "SELECT COUNT(*) FROM ITEMVENDA"), 5);
    EXPECT_EQ(number(a, "SELECT COUNT(*) FROM LOGCATRACA"), 0);
    EXPECT_EQ(number(a, "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '" + ia.importRecord + "'"), 3);
    EXPECT_EQ(number(a, "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '" + ib.importRecord + "'"), 2);
    // Bruno ate twice, once at each register: both debited from one balance.
    EXPECT_NEAR(number(a, "SELECT VRSALDCONFAM FROM SALDOCONS WHERE CDCONSUMIDOR = '1002' AND CDFAMILISALD = '001'"),
                80 - 2 * 30.0, 0.01);
    // Each register's printer numbers its own coupons.
    EXPECT_EQ(tapeCoupons(a).size(), 3u);
    EXPECT_EQ(tapeCoupons(b).size(), 2u);
    EXPECT_EQ(number(a, "SELECT COUNT(DISTINCT NRSERIEIMP) FROM VENDACUPOM"), 2);
    EXPECT_TRUE(run(a).passages.empty());
    EXPECT_TRUE(run(b).passages.empty());
}

}  // namespace
