// The resident service and the operator's commands, driving the built program
// as a child process: passages charged as they are imported, the inbox, the
// lock against a run beside it, stopping mid-batch, a kill and a restart, the
// commands against known data, and the program's conventions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "external/printer/printer_state.h"
#include "support/pg_cluster.h"
#include "platform/db/connection.h"
#include "platform/db/query.h"
#include "station/init.h"
#include "station/operator.h"
#include "support/scratch_dir.h"

using namespace zel;
using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* kNow = "2026-03-16 23:59";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Child {
    pid_t pid = -1;
    fs::path output;
};

Child start(const std::vector<std::string>& args, const fs::path& output) {
    std::vector<std::string> argv{GERACUPOM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execv(cargs[0], cargs.data());
        ::_exit(127);
    }
    return {pid, output};
}

// The exit status (128 + signal when killed); -1 when it did not end in time.
int finish(const Child& c, std::chrono::milliseconds limit = 60s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(c.pid, &status, WNOHANG) != c.pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(c.pid, SIGKILL);
            ::waitpid(c.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(2ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A number from a query on a station's PostgreSQL database; -1 when it cannot be read.
long long pgCount(const std::string& connection, const std::string& sql) {
    try {
        db::Connection c(connection);
        auto rows = db::sql::select(c, "count", sql, {}, {{"N", db::ColumnType::Float}});
        return rows.empty() ? -1 : std::llround(db::sql::cellNumber(rows[0][0]));
    } catch (const std::exception&) {
        return -1;
    }
}

class Serve : public ::testing::Test {
  protected:
    void SetUp() override { base_ = support::scratchDirectory("zel_serve_"); }
    void TearDown() override {
        for (pid_t p : children_) ::kill(p, SIGKILL), ::waitpid(p, nullptr, 0);
        fs::remove_all(base_);
    }

    fs::path make(bool demo) {
        host::InitOptions o;
        o.day = DateTime::fromDate(2026, 3, 16);
        o.demo = demo;
        return host::initStation(base_ / "station", o, nullptr);
    }
    // The program to its end: exit status and output.
    std::pair<int, std::string> program(const std::vector<std::string>& args) {
        fs::path out = base_ / ("out-" + std::to_string(++calls_) + ".txt");
        int code = finish(start(args, out));
        return {code, slurp(out)};
    }
    Child serve(const fs::path& dir, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args{"serve", dir.string(), "--poll", "0.05", "--now", kNow};
        args.insert(args.end(), more.begin(), more.end());
        Child c = start(args, base_ / ("serve-" + std::to_string(++calls_) + ".txt"));
        children_.push_back(c.pid);
        return c;
    }
    int stop(const Child& c, int sig = SIGTERM) {
        ::kill(c.pid, sig);
        int code = finish(c);
        std::erase(children_, c.pid);
        return code;
    }
    static long long count(const fs::path& dir, const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open_v2((dir / "station.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* st = nullptr;
        long long n = -1;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }
    static void exec(const fs::path& dir, const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "station.db").c_str(), &db);
        sqlite3_busy_timeout(db, 5000);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    // A table file edited through its JSON form: `pattern` replaced by `with`.
    void editTable(const fs::path& table, const std::string& pattern, const std::string& with) {
        auto [code, dump] = program({"table", "dump", table.string()});
        ASSERT_EQ(code, 0) << dump;
        std::string edited = std::regex_replace(dump, std::regex(pattern), with);
        ASSERT_NE(edited, dump) << pattern;
        fs::path text = base_ / ("edit-" + std::to_string(++calls_) + ".json");
        std::ofstream(text) << edited;
        auto [c2, out] = program({"-q", "table", "convert", text.string(), table.string()});
        ASSERT_EQ(c2, 0) << out;
    }
    fs::path file(const std::string& name, const std::string& content) {
        fs::path p = base_ / name;
        std::ofstream(p) << content;
        return p;
    }
    static bool started(const fs::path& dir) {
        return slurp(dir / "geracupom.log").find(" start: ") != std::string::npos;
    }
    // Every standing sale is in the ledger once, and the printer holds no open coupon.
    static void expectChargedOnce(const fs::path& dir) {
        EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"),
                  count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM"));
        EXPECT_EQ(count(dir,
                        "SELECT COUNT(*) FROM (SELECT CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM FROM VENDACUPOM C "
                        "JOIN VENDA V USING (CDFILIAL, CDCAIXA, NRSEQVENDA) WHERE V.IDSITUVENDA = 'O' GROUP BY "
                        "1, 2, 3 HAVING COUNT(*) > 1)"),
                  0);
        // The printer's memory: its state file and the journal of its changes since.
        EXPECT_FALSE(ext::loadPrinterState(dir / "printer-state.json").open);
    }

    fs::path base_;
    int calls_ = 0;
    std::vector<pid_t> children_;
};

TEST_F(Serve, ChargesWhatArrivesTheInboxAndRefusesARunBesideIt) {
    fs::path dir = make(false);
    Child s = serve(dir);
    ASSERT_TRUE(waitFor([&] { return started(dir); })) << slurp(s.output);

    // A run beside it is refused and names the holder.
    auto [runCode, runOut] = program({"run", dir.string(), "--now", kNow});
    EXPECT_EQ(runCode, 2) << runOut;
    EXPECT_NE(runOut.find("geracupom serve"), std::string::npos) << runOut;

    // Imported while it runs: charged without anyone asking.
    fs::path csv = file("lunch.csv", "900001;2026-03-16;12:01\n900003;2026-03-16;23:30\n");
    auto imported = std::chrono::steady_clock::now();
    auto [importCode, importOut] = program({"import", dir.string(), csv.string()});
    ASSERT_EQ(importCode, 0) << importOut;
    ASSERT_TRUE(waitFor([&] {
        return count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM") == 2 &&
               count(dir, "SELECT COUNT(*) FROM LOGCATRACA") == 0;
    })) << slurp(s.output);
    auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - imported);
    std::cout << "[ latency ] import to sales stored while serving: " << latency.count() << " ms\n";

    // A file dropped into the inbox is imported whole and moved aside; a bad one fails.
    std::ofstream(dir / "inbox" / "dinner.csv.part") << "900002;2026-03-16;19:10\n";
    fs::rename(dir / "inbox" / "dinner.csv.part", dir / "inbox" / "dinner.csv");
    std::ofstream(dir / "inbox" / "bad.csv") << "nonsense\n";
    ASSERT_TRUE(waitFor([&] {
        return fs::exists(dir / "inbox" / "failed" / "bad.csv") && fs::exists(dir / "inbox" / "done" / "dinner.csv");
    }));
    EXPECT_NE(slurp(dir / "inbox" / "done" / "dinner.csv.result").find("imported 1 passage"), std::string::npos);
    EXPECT_NE(slurp(dir / "inbox" / "failed" / "bad.csv.result").find("line skipped"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "inbox" / "dinner.csv"));
    ASSERT_TRUE(waitFor([&] { return count(dir, "SELECT COUNT(*) FROM LOGCATRACA") == 0; }));

    // SIGHUP reads the configuration again; the process goes on.
    ::kill(s.pid, SIGHUP);
    ASSERT_TRUE(waitFor([&] { return slurp(dir / "geracupom.log").find(" reload: ") != std::string::npos; }));
    EXPECT_EQ(::waitpid(s.pid, nullptr, WNOHANG), 0);

    EXPECT_EQ(stop(s), 0);
    std::string log = slurp(dir / "geracupom.log");
    for (const char* kind : {" start: ", " import: ", " batch: ", " passage: ", " reload: ", " stop: "})
        EXPECT_NE(log.find(kind), std::string::npos) << kind << "\n" << log;
    EXPECT_NE(log.find("[station 2026-03-16"), std::string::npos) << "the station clock is told where it differs";
    expectChargedOnce(dir);
}

TEST_F(Serve, StopMidBatchFinishesTheConsumerInProgressAndLeavesNothingToRepair) {
    fs::path dir = make(true);
    long long before = count(dir, "SELECT COUNT(*) FROM LOGCATRACA");
    ASSERT_GT(before, 10);
    Child s = serve(dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "run-current.json"); })) << slurp(s.output);
    EXPECT_EQ(stop(s), 0) << slurp(s.output);

    long long charged = count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM");
    long long pending = count(dir, "SELECT COUNT(*) FROM LOGCATRACA");
    EXPECT_EQ(charged + pending, before) << "a passage is either charged or still pending";
    EXPECT_GT(pending, 0) << "the stop came after the batch's end";
    EXPECT_NE(slurp(dir / "geracupom.log").find("the station is stopping"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "run-current.json"));
    EXPECT_FALSE(fs::exists(dir / "Venda" / "cdsVenda.cds"));
    expectChargedOnce(dir);

    // The next run finds nothing to repair and charges the rest.
    auto [code, out] = program({"run", dir.string(), "--json", "--now", kNow});
    json r = json::parse(out.substr(out.find('{')));
    EXPECT_TRUE(r["repairs"].empty()) << out;
    EXPECT_LE(code, 1);
    expectChargedOnce(dir);
}

TEST_F(Serve, KilledThenServedAgainRepairsAndChargesNothingTwice) {
    fs::path dir = make(true);
    std::ofstream(dir / "geracupom.conf", std::ios::app) << "crash.after.FechaCupom = 3\n";
    Child s = serve(dir);
    EXPECT_EQ(finish(s), 128 + SIGKILL) << slurp(s.output);
    std::erase(children_, s.pid);
    // The crash key goes; the new process reads the configuration without it.
    std::string conf = slurp(dir / "geracupom.conf");
    conf.erase(conf.find("crash.after.FechaCupom"));
    std::ofstream(dir / "geracupom.conf", std::ios::trunc) << conf;

    Child again = serve(dir);
    ASSERT_TRUE(waitFor([&] { return slurp(dir / "geracupom.log").find(" batch: ") != std::string::npos; }, 60s))
        << slurp(again.output);
    EXPECT_EQ(stop(again), 0);
    std::string log = slurp(dir / "geracupom.log");
    EXPECT_NE(log.find(" repair: coupon 000003"), std::string::npos) << log;
    expectChargedOnce(dir);
    EXPECT_EQ(count(dir,
                    "SELECT COUNT(*) FROM LOGCATRACA L WHERE EXISTS (SELECT 1 FROM VENDAPASSAGEM P WHERE "
                    "P.NRSEQLOGCAT = L.NRSEQLOGCAT)"),
              0);
}

TEST_F(Serve, AStationMovedOrRestoredElsewhereCharges) {
    fs::path dir = make(true);
    // Nothing the station wrote for itself names the place it was made in.
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            EXPECT_EQ(slurp(e.path()).find(dir.string()), std::string::npos) << e.path() << " names " << dir;
        }
    }

    fs::path moved = base_ / "moved", restored = base_ / "restored";
    fs::rename(dir, moved);
    auto [bCode, bOut] = program({"backup", moved.string(), restored.string()});
    ASSERT_EQ(bCode, 0) << bOut;

    auto [code, out] = program({"run", moved.string(), "--json", "--now", kNow});
    ASSERT_NE(out.find('{'), std::string::npos) << out;
    json r = json::parse(out.substr(out.find('{')));
    EXPECT_LE(code, 1) << out;
    EXPECT_GT(r["totals"]["concluded"].get<int>(), 0) << out;
    EXPECT_FALSE(fs::exists(moved / "Venda" / "cdsVenda.cds"));
    expectChargedOnce(moved);
    long long movedSales = count(moved, "SELECT COUNT(*) FROM VENDA");

    // The copy charges into its own database while serving, not into the one it was copied from.
    Child s = serve(restored);
    ASSERT_TRUE(waitFor([&] { return slurp(restored / "geracupom.log").find(" batch: ") != std::string::npos; }, 60s))
        << slurp(s.output);
    EXPECT_EQ(stop(s), 0);
    EXPECT_EQ(count(restored, "SELECT COUNT(*) FROM VENDAPASSAGEM"), r["totals"]["concluded"].get<long long>());
    EXPECT_EQ(count(moved, "SELECT COUNT(*) FROM VENDA"), movedSales);
    expectChargedOnce(restored);
}

TEST_F(Serve, AStationWithAbsolutePathsKeepsWorkingAndItsBackupUsesItsOwnFiles) {
    fs::path dir = make(false);
    // The form of a station made by an earlier version, or of an installation's own parameters.
    std::string conf = slurp(dir / "geracupom.conf");
    conf = std::regex_replace(conf, std::regex("sqlite3://db=station\\.db"),
                              "sqlite3://db=" + (dir / "station.db").string());
    std::ofstream(dir / "geracupom.conf", std::ios::trunc) << conf;
    editTable(dir / "ParametrosZel.cds", "\"DSDIRCAD\": \"[^\"]*\"",
              "\"DSDIRCAD\": \"" + (dir / "Venda/").string() + "\"");
    fs::path csv = file("lunch.csv", "900001;2026-03-16;12:01\n900002;2026-03-16;12:30\n");
    ASSERT_EQ(program({"import", dir.string(), csv.string()}).first, 0);
    auto [code, out] = program({"run", dir.string(), "--now", kNow});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM"), 2);

    fs::path copy = base_ / "copy";
    auto [bCode, bOut] = program({"backup", dir.string(), copy.string()});
    ASSERT_EQ(bCode, 0) << bOut;
    EXPECT_NE(slurp(copy / "geracupom.conf").find("database = sqlite3://db=station.db\n"), std::string::npos);
    auto [dCode, dump] = program({"table", "dump", (copy / "ParametrosZel.cds").string()});
    EXPECT_NE(dump.find("\"DSDIRCAD\": \"Venda/\""), std::string::npos) << dump;
    ASSERT_EQ(program({"import", copy.string(), file("night.csv", "900003;2026-03-16;23:30\n").string()}).first, 0);
    auto [cCode, cOut] = program({"run", copy.string(), "--now", kNow});
    EXPECT_EQ(cCode, 0) << cOut;
    EXPECT_EQ(count(copy, "SELECT COUNT(*) FROM VENDAPASSAGEM"), 3);
    EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM"), 2) << "the original is untouched";
    EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM LOGCATRACA"), 0);
}

TEST_F(Serve, AnErrorExitIsOneShortLineWhoseFullTextIsInTheLog) {
    fs::path dir = make(false);
    // A database that cannot be opened.
    fs::remove(dir / "station.db");
    fs::create_directory(dir / "station.db");
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"run", dir.string(), "--now", kNow}, {"pending", dir.string()}, {"status", dir.string()}}) {
        auto [code, out] = program(args);
        EXPECT_EQ(code, 2) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_NE(out.find("cannot be reached"), std::string::npos) << out;
        EXPECT_EQ(out.find(dir.string()), std::string::npos) << "the short line carries no path: " << out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("see geracupom\\.log, run ([0-9a-f]{8})"))) << out;
        std::string log = slurp(dir / "geracupom.log");
        size_t at = log.find(" run " + m[1].str() + " error: ");
        ASSERT_NE(at, std::string::npos) << log;
        std::string line = log.substr(at, log.find('\n', at) - at);
        EXPECT_NE(line.find((dir / "station.db").string()), std::string::npos) << "the full text: " << line;
    }
}

TEST_F(Serve, TheImportRecordIsDatedByTheStationClock) {
    fs::path dir = make(false);
    fs::path csv = file("lunch.csv", "900001;2026-03-16;12:01\n");
    auto [code, out] = program({"import", dir.string(), csv.string(), "--now", "2031-05-04 10:00"});
    ASSERT_EQ(code, 0) << out;
    EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM LOGCATRACAPK WHERE DTIMPORTACAO LIKE '2031-05-04%'"), 1);

    // The inbox of a station served with its clock set: that clock's day.
    Child s = serve(dir);
    ASSERT_TRUE(waitFor([&] { return started(dir); })) << slurp(s.output);
    std::ofstream(dir / "inbox" / "dinner.csv") << "900002;2026-03-16;19:10\n";
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "inbox" / "done" / "dinner.csv"); })) << slurp(s.output);
    EXPECT_EQ(stop(s), 0);
    EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM LOGCATRACAPK WHERE DTIMPORTACAO LIKE '2026-03-16%'"), 1);
    EXPECT_EQ(count(dir, "SELECT COUNT(*) FROM LOGCATRACAPK"), 2);
}

TEST_F(Serve, AChangedTableFileIsReadAgainAndAnUnchangedOneIsNot) {
    fs::path dir = make(false);
    Child s = serve(dir);
    ASSERT_EQ(program({"import", dir.string(), file("a.csv", "900001;2026-03-16;12:01\n").string()}).first, 0);
    ASSERT_TRUE(waitFor([&] { return count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM") == 1; })) << slurp(s.output);
    // The lunch gets a new name while the station serves.
    editTable(dir / "Dados" / "Cadastros" / "Produtos.cds", "Almoço executivo", "Almoço do chef");
    ASSERT_EQ(program({"import", dir.string(), file("b.csv", "900002;2026-03-16;12:30\n").string()}).first, 0);
    ASSERT_TRUE(waitFor([&] { return count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM") == 2; })) << slurp(s.output);
    // And a third passage with nothing changed.
    ASSERT_EQ(program({"import", dir.string(), file("c.csv", "900003;2026-03-16;23:30\n").string()}).first, 0);
    ASSERT_TRUE(waitFor([&] { return count(dir, "SELECT COUNT(*) FROM VENDAPASSAGEM") == 3; })) << slurp(s.output);
    EXPECT_EQ(stop(s), 0);

    std::string log = slurp(dir / "geracupom.log");
    std::regex reload(" reload: the table file ([A-Za-z_]+\\.cds) changed; read again");
    std::vector<std::string> files;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), reload); it != std::sregex_iterator(); ++it)
        files.push_back((*it)[1]);
    EXPECT_EQ(files, std::vector<std::string>{"Produtos.cds"}) << log;
    auto [tCode, tape] = program({"tape", dir.string(), "--last", "2"});
    EXPECT_NE(tape.find("Almoço do"), std::string::npos) << "the second coupon sells under the new name\n" << tape;
    EXPECT_EQ(tape.find("Almoço ex"), std::string::npos) << tape;
}

TEST_F(Serve, OnPostgresqlADatabaseThatStopsMidRunIsWaitedForAndNothingIsChargedTwice) {
    zel::testing::PgCluster& pg = zel::testing::PgCluster::shared();
    if (!pg.running()) {
        if (zel::testing::PgCluster::skipAllowed()) GTEST_SKIP() << pg.error();
        FAIL() << pg.error();
    }
    const std::string cs = pg.connectionString(pg.createDatabase("serve"));
    host::InitOptions o;
    o.day = DateTime::fromDate(2026, 3, 16);
    o.demo = true;
    o.consumersPerClient = 40;
    o.database = cs;
    fs::path dir = host::initStation(base_ / "station", o, nullptr);
    auto sold = [&] { return pgCount(cs, "SELECT COUNT(*) FROM VENDAPASSAGEM"); };
    const long long before = pgCount(cs, "SELECT COUNT(*) FROM LOGCATRACA");
    ASSERT_GT(before, 60);

    Child s = serve(dir, {"--retry", "0.5"});
    ASSERT_TRUE(waitFor([&] { return sold() >= 3; }, 60s)) << slurp(s.output);
    pg.halt();
    ASSERT_TRUE(waitFor([&] { return slurp(dir / "geracupom.log").find(" error: ") != std::string::npos; }))
        << slurp(s.output);
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(::waitpid(s.pid, nullptr, WNOHANG), 0) << "serve waits for its database\n" << slurp(s.output);
    std::string log = slurp(dir / "geracupom.log");
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 400) << "an outage is not a flood of lines";

    ASSERT_TRUE(pg.resume());
    const long long atOutage = sold();
    const size_t mark = slurp(dir / "geracupom.log").size();
    ASSERT_TRUE(waitFor(
        [&] {
            std::string l = slurp(dir / "geracupom.log");
            return l.find(" batch: ", mark) != std::string::npos && sold() > atOutage;
        },
        90s))
        << slurp(s.output);
    // Everything it can charge now is charged: nothing is offered again in vain.
    long long last = -2;
    ASSERT_TRUE(waitFor(
        [&] {
            long long now = sold();
            bool still = now == last;
            last = now;
            std::this_thread::sleep_for(700ms);
            return still;
        },
        90s));
    EXPECT_EQ(stop(s), 0) << slurp(s.output);
    EXPECT_FALSE(fs::exists(dir / "run-current.json"));

    // A run after it finds nothing left to repair, and charges nothing twice.
    auto [code, out] = program({"run", dir.string(), "--json", "--now", kNow});
    EXPECT_LE(code, 1) << out;
    long long charged = sold(), pending = pgCount(cs, "SELECT COUNT(*) FROM LOGCATRACA");
    EXPECT_EQ(charged + pending, before) << "a passage is either charged or still pending";
    EXPECT_EQ(pgCount(cs, "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"), charged);
    EXPECT_EQ(
        pgCount(cs,
                "SELECT COUNT(*) FROM (SELECT CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM FROM VENDACUPOM C JOIN VENDA V "
                "USING (CDFILIAL, CDCAIXA, NRSEQVENDA) WHERE V.IDSITUVENDA = 'O' GROUP BY 1, 2, 3 HAVING "
                "COUNT(*) > 1) T"),
        0);
    EXPECT_EQ(pgCount(cs,
                      "SELECT COUNT(*) FROM LOGCATRACA L WHERE EXISTS (SELECT 1 FROM VENDAPASSAGEM P WHERE "
                      "P.NRSEQLOGCAT = L.NRSEQLOGCAT)"),
              0);
    json state = json::parse(slurp(dir / "printer-state.json"));
    EXPECT_TRUE(!state.contains("open") || state["open"].is_null()) << state.dump();
}

TEST_F(Serve, APassageImportedWhileABatchRunsIsChargedAtTheNextPoll) {
    fs::path dir = make(true);
    // A consumer of the lunch and dinner type with no dinner in the day's passages.
    std::string code;
    for (int k = 1; k <= 36 && code.empty(); ++k) {
        std::string id = std::to_string(900000 + k);
        if (count(dir, "SELECT COUNT(*) FROM CONSUMIDOR WHERE CDIDCONSUMID = '" + id + "' AND CDTIPOCONS = '01'") ==
                1 &&
            count(dir, "SELECT COUNT(*) FROM LOGCATRACA WHERE CDIDCONSUMID = '" + id + "' AND HORAREAL >= '18'") == 0)
            code = id;
    }
    ASSERT_FALSE(code.empty());
    Child s = serve(dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "run-current.json"); })) << slurp(s.output);
    ASSERT_EQ(program({"import", dir.string(), file("dinner.csv", code + ";2026-03-16;19:45\n").string()}).first, 0);
    std::string row = "SELECT COUNT(*) FROM LOGCATRACA WHERE CDIDCONSUMID = '" + code + "' AND HORAREAL LIKE '1945%'";
    ASSERT_EQ(count(dir, row), 1) << "imported while the batch ran";
    // Within the poll and its sale, not after the retry of passages left pending (60 s).
    EXPECT_TRUE(waitFor([&] { return count(dir, row) == 0; }, 20s)) << slurp(dir / "geracupom.log");
    EXPECT_EQ(stop(s), 0);
    expectChargedOnce(dir);
}

TEST_F(Serve, OperatorCommandsOnADayWithACancellation) {
    fs::path dir = make(false);
    // The database refuses Bruno's sale: his coupon, closed, is cancelled.
    exec(dir,
         "CREATE TRIGGER REFUSE_BRUNO BEFORE INSERT ON VENDAPASSAGEM WHEN NEW.CDCONSUMIDOR = '1002' "
         "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    fs::path csv = file("day.csv",
                        "900001;2026-03-16;12:01\n900002;2026-03-16;12:30\n900003;2026-03-16;23:30\n"
                        "900001;2026-03-16;15:00\n");
    ASSERT_EQ(program({"import", dir.string(), csv.string()}).first, 0);
    auto [runCode, runOut] = program({"run", dir.string(), "--json", "--now", kNow});
    json run = json::parse(runOut.substr(runOut.find('{')));
    ASSERT_EQ(run["totals"]["cancelled"], 1) << runOut;
    std::string cancelledCoupon;
    for (const json& p : run["passages"])
        if (p["outcome"] == "cancelled") cancelledCoupon = p["coupon"];

    auto [pCode, pOut] = program({"pending", dir.string(), "--json"});
    json pending = json::parse(pOut);
    EXPECT_EQ(pCode, 0);
    ASSERT_GE(pending["count"].get<int>(), 2) << pOut;  // the cancelled one and the 15:00 passage out of any window
    for (const json& p : pending["passages"]) EXPECT_FALSE(p["reason"].get<std::string>().empty()) << p.dump();

    auto [rCode, rOut] = program({"report", dir.string(), "--day", "2026-03-16", "--json"});
    json report = json::parse(rOut);
    EXPECT_EQ(rCode, 0) << rOut;
    EXPECT_TRUE(report["printer"]["reconciled"].get<bool>()) << rOut;
    ASSERT_EQ(report["cancellations"].size(), 1u);
    EXPECT_EQ(report["cancellations"][0]["coupon"], cancelledCoupon);
    double windows = 0;
    for (const json& w : report["by_service_window"]) windows += w["amount"].get<double>();
    EXPECT_NEAR(windows, report["sales"]["total"].get<double>(), 0.005) << rOut;
    EXPECT_GT(report["sales"]["client_part"].get<double>(), 0) << "the client pays part of the lunch";
    auto [cCode, csvOut] = program({"report", dir.string(), "--day", "2026-03-16", "--csv"});
    EXPECT_NE(csvOut.find("cancelled;" + cancelledCoupon + ";1;"), std::string::npos) << csvOut;

    auto [kCode, kOut] = program({"consumer", dir.string(), "900001", "--day", "2026-03-16", "--json"});
    json consumer = json::parse(kOut);
    ASSERT_EQ(consumer["consumers"].size(), 1u) << kOut;
    EXPECT_EQ(consumer["consumers"][0]["consumer"], "1001");
    EXPECT_FALSE(consumer["consumers"][0]["balances"].empty());
    EXPECT_FALSE(consumer["consumers"][0]["last_sales"].empty());
    EXPECT_NEAR(consumer["consumers"][0]["consumption_day"].get<double>(),
                consumer["consumers"][0]["consumption_month"].get<double>(), 0.005);
    EXPECT_EQ(program({"consumer", dir.string(), "nobody"}).first, 2);

    auto [bCode, bOut] = program({"backup", dir.string(), (base_ / "copy").string(), "--json"});
    EXPECT_EQ(bCode, 0) << bOut;
    EXPECT_EQ(count(base_ / "copy", "SELECT COUNT(*) FROM VENDA"), count(dir, "SELECT COUNT(*) FROM VENDA"));
    EXPECT_TRUE(fs::exists(base_ / "copy" / "printer-state.json"));
    EXPECT_NE(program({"backup", dir.string(), (base_ / "copy").string()}).first, 0) << "not over a backup";
}

TEST_F(Serve, ConventionsOfTheCommandLine) {
    auto [vCode, vOut] = program({"--version"});
    EXPECT_EQ(vCode, 0);
    EXPECT_NE(vOut.find("geracupom 0."), std::string::npos) << vOut;
    EXPECT_NE(vOut.find("commit "), std::string::npos) << vOut;
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"frobnicate"}, {"run", "/nowhere", "--jsn"}, {"init", (base_ / "x").string(), "--seed", "abc"}, {}}) {
        auto [code, out] = program(bad);
        EXPECT_EQ(code, 2) << out;
        EXPECT_NE(out.find("--help"), std::string::npos) << out;
    }
    auto [dCode, dOut] = program({"init", (base_ / "d").string(), "--day", "2026-13-01"});
    EXPECT_EQ(dCode, 2);
    EXPECT_NE(dOut.find("invalid date"), std::string::npos) << dOut;
    auto [mCode, mOut] = program({"init", (base_ / "m").string(), "--db", "mysql://x"});
    EXPECT_EQ(mCode, 2);
    EXPECT_NE(mOut.find("malformed"), std::string::npos) << mOut;
    EXPECT_FALSE(fs::exists(base_ / "m" / "geracupom.conf"));

    fs::path dir = make(true);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "geracupom.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Pending passages of a past day need attention; a station charged is healthy.
    EXPECT_EQ(program({"status", dir.string(), "-q"}).first, 1);
    program({"run", dir.string(), "--now", kNow});
    exec(dir, "DELETE FROM LOGCATRACA");
    auto [sCode, sOut] = program({"status", dir.string(), "--json"});
    EXPECT_EQ(sCode, 0) << sOut;
    EXPECT_EQ(program({"status", (base_ / "nowhere").string()}).first, 2);

    auto [tCode, tOut] = program({"tape", dir.string(), "--json", "--last", "1"});
    EXPECT_EQ(tCode, 0);
    EXPECT_TRUE(json::parse(tOut).contains("tape"));
}

TEST_F(Serve, AStationWithoutAFiscalPrinterCharges) {
    fs::path dir = make(true);
    fs::path params = dir / "ParametrosZel.cds", text = base_ / "params.json";
    auto [dCode, dump] = program({"table", "dump", params.string()});
    ASSERT_EQ(dCode, 0) << dump;
    size_t at = dump.find("\"UTILIZAIMPFIS\": \"S\"");
    ASSERT_NE(at, std::string::npos) << dump;
    dump.replace(at, std::string("\"UTILIZAIMPFIS\": \"S\"").size(), "\"UTILIZAIMPFIS\": \"N\"");
    std::ofstream(text) << dump;
    ASSERT_EQ(program({"-q", "table", "convert", text.string(), params.string()}).first, 0);

    auto [code, out] = program({"run", dir.string(), "--json", "--now", kNow});
    json r = json::parse(out.substr(out.find('{')));
    EXPECT_EQ(r["totals"]["cancelled"], 0) << out;
    EXPECT_GT(r["totals"]["concluded"].get<int>(), 0) << out;
    EXPECT_FALSE(fs::exists(dir / "Venda" / "cdsVenda.cds")) << "no item file without a fiscal printer";
    expectChargedOnce(dir);
}

TEST_F(Serve, ImportTakesQuotedFieldsAndTellsItsOutcomeAsJson) {
    fs::path dir = make(false);
    fs::path csv = file("quoted.csv",
                        "\"code\";\"date\";\"hour\"\n\"900001\";\"2026-03-16\";\"12:01\"\n"
                        "\"900002\",\"16/03/2026\",\"12:30\"\n\"9000\"\"03\";2026-03-16;23:30\n");
    auto [code, out] = program({"import", dir.string(), csv.string(), "--json"});
    json r = json::parse(out);
    EXPECT_EQ(code, 1) << out;
    EXPECT_EQ(r["imported"], 2) << out;
    ASSERT_EQ(r["skipped"].size(), 1u) << out;
    EXPECT_EQ(r["skipped"][0]["line"], 4);
    EXPECT_NE(r["skipped"][0]["reason"].get<std::string>().find("9000\"03"), std::string::npos) << out;
}

TEST_F(Serve, NoPasswordAndNoRawControlCharacterInAnyOutput) {
    for (const char* cs : {"postgresql://host=db port=5432 dbname=zel user=caixa password=s3cr3t",
                           "postgresql://host=db password='s3 cr3t' user=caixa", "odbc://DSN=ZEL;UID=caixa;PWD=s3cr3t;",
                           "postgresql://caixa:s3cr3t@db/zel"}) {
        std::string masked = host::maskedConnection(cs);
        EXPECT_EQ(masked.find("s3"), std::string::npos) << masked;
        EXPECT_NE(masked.find("***"), std::string::npos) << masked;
    }
    auto [code, out] = program({"init", (base_ / "p").string(), "--db",
                                "postgresql://host=127.0.0.1 port=1 dbname=zel user=caixa password=s3cr3t"});
    EXPECT_EQ(code, 2);
    EXPECT_EQ(out.find("s3cr3t"), std::string::npos) << out;

    fs::path dir = make(true);
    // A consumer's name with a line break and a terminal escape.
    exec(dir,
         "UPDATE LOGCATRACA SET NMCONSUMIDOR = 'Eve' || char(10) || 'FORGED LINE' || char(27) || '[31m' "
         "WHERE NRSEQLOGCAT = (SELECT MIN(NRSEQLOGCAT) FROM LOGCATRACA)");
    exec(dir, "UPDATE CONSUMIDOR SET NMCONSUMIDOR = 'Eve' || char(10) || 'FORGED LINE' || char(27) || '[31m'");
    Child s = serve(dir);
    ASSERT_TRUE(waitFor([&] { return slurp(dir / "geracupom.log").find(" batch: ") != std::string::npos; }, 60s));
    EXPECT_EQ(stop(s), 0);
    auto [rCode, rOut] = program({"pending", dir.string()});
    auto [sCode, sOut] = program({"status", dir.string(), "--json"});
    for (const std::string& text : {slurp(dir / "geracupom.log"), slurp(s.output), rOut}) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos);
        EXPECT_EQ(text.find("\nFORGED LINE"), std::string::npos);
    }
    EXPECT_EQ(sOut.find("password"), std::string::npos);
}

}  // namespace
