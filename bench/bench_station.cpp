// How the station keeps up as it grows: a batch of passages charged on
// stations with the demo catalogue or 100,000 products, with no sales history
// or 1,000,000 past sales of the same branch (five other registers), on SQLite
// and on a private PostgreSQL cluster with durable settings, and a one-passage
// run in a fresh process. Each case runs in a process of its own on a copy of
// a prepared station (restored before every run), so peak memory is the
// case's own; cases run twice, in one order and then the other, and the better
// of the two counts. Prints per consumer: wall time, CPU (and the kernel's part of it), durable writes (file
// flushes and database commits), statements and round trips, and peak memory,
// with ratios to the base case and the goals. Prints figures; not a test.
//
//   bench_station                       every case and the goals
//   bench_station --scale 0.1           the same with batches and history cut to a tenth
//   bench_station --only G[,G...]       only these groups of goals: catalogue, history,
//                                       one-passage, sqlite, postgresql, batch-memory
//   bench_station --products N --history N --batch N --backend sqlite|postgresql
//                                       one case against the base case (demo catalogue,
//                                       no history, the same batch, SQLite), with the
//                                       base case's goals of durable writes and CPU
//   bench_station --serve [--poll SECONDS] [--samples N]
//                                       while the station is served: the time from a
//                                       passage imported to its sale stored, on the demo
//                                       catalogue and on 100,000 extra products
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "support/pg_cluster.h"
#include "external/service_db/service_sql.h"
#include "platform/atomic_file.h"
#include "platform/dataset/codec.h"
#include "platform/dataset/table.h"
#include "platform/db/connection.h"
#include "platform/db/statement.h"
#include "station/host.h"
#include "station/init.h"
#include "station/packages.h"
#include "station/serve.h"

using namespace zel;
using namespace zel::host;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The part of it spent in the kernel on the process's behalf (system calls,
// flushes, page faults).
double kernelSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6;
}

// ---- the child: one run of a prepared station, figures as "key value" lines

// The high-water mark of this process's own memory. The kernel's maximum
// resident size of a child also holds what the parent had resident when it
// forked, so the child reads its own mark after the run.
double peakKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6));
    return 0;
}

int childRun(const fs::path& dir) {
    Station s = openStation(dir);
    PackageTimes times;
    RunOptions ro;
    ro.now = parseMoment("2026-03-16 23:59");
    ro.libraryEntry = false;
    ro.times = &times;
    uint64_t files0 = durableWriteCount();
    db::Traffic t0 = db::traffic();
    double cpu0 = cpuSeconds(), kernel0 = kernelSeconds();
    auto start = Clock::now();
    RunReport r = runStation(s, ro);
    double wall = secondsSince(start);
    double cpu = cpuSeconds() - cpu0, kernel = kernelSeconds() - kernel0;
    db::Traffic t1 = db::traffic();
    auto ms = [](std::chrono::nanoseconds t) { return std::chrono::duration<double>(t).count() * 1e3; };
    std::cout << "passages " << r.passages.size() << "\nconcluded " << r.count(Outcome::Concluded) << "\nwall " << wall
              << "\ncpu " << cpu << "\nkernel " << kernel << "\nfile_flushes " << (durableWriteCount() - files0)
              << "\ncommits " << (t1.commits - t0.commits) << "\npages_written " << (t1.pagesWritten - t0.pagesWritten)
              << "\nstatements " << (t1.statements - t0.statements)
              << "\nround_trips " << (t1.roundTrips - t0.roundTrips) << "\nprinter_ms " << ms(times.printer)
              << "\nservice_ms " << ms(times.service) << "\nstatements_ms " << ms(times.moduleDatabase) << "\nfiles_ms "
              << ms(times.tableFiles) << "\npeak_kb " << peakKb() << "\n";
    return r.couldNotRun ? 2 : 0;
}

// ---- preparing stations

struct Spec {
    std::string name;
    int products = 0;  // extra products beyond the demo's
    int history = 0;   // past sales of the branch
    int batch = 1000;  // passages charged
    int consumers = 1002;
    bool postgres = false;
};

struct Prepared {
    Spec spec;
    fs::path dir, snapshot;
    std::string pgDatabase, pgTemplate;  // PostgreSQL: the live database and its copy
    uintmax_t tableBytes = 0;            // the ten table files and the parameter file
};

std::string adminConnection() {
    auto& pg = zel::testing::PgCluster::shared();
    return pg.connectionString("postgres");
}

// The catalogue grows by `extra` products (and their tax rows), written through
// the packet codec, with the demo's own products kept first.
void growCatalogue(const station::Layout& layout, int extra) {
    if (extra <= 0) return;
    for (const char* file : {"Produtos.cds", "AliqSistema.cds"}) {
        fs::path path = layout.table(file);
        ds::Packet p = ds::readPacketFile(path);
        ds::Record model = p.records.at(0);
        int code = p.fieldIndex("CDPRODUTO"), name = p.fieldIndex("NMPRODUTO"), bar = p.fieldIndex("CDBARPRODUTO");
        p.records.reserve(p.records.size() + static_cast<size_t>(extra));
        for (int i = 0; i < extra; ++i) {
            ds::Record r = model;
            r.cells[static_cast<size_t>(code)] = fmt::format("X{:07}", i);
            if (name >= 0) r.cells[static_cast<size_t>(name)] = fmt::format("Produto de catálogo {}", i);
            if (bar >= 0) r.cells[static_cast<size_t>(bar)] = fmt::format("789{:010}", i);
            p.records.push_back(std::move(r));
        }
        ds::writePacketFile(path, p);
    }
}

// `sales` concluded sales of the station's branch on registers 002 to 006,
// spread over the consumers and over the three years before the benchmark's
// month, one item each; one transaction of set inserts.
void addHistory(db::Connection& c, const Station& s, int sales) {
    if (sales <= 0) return;
    bool lite = c.backend() == db::Backend::Sqlite3;
    std::string text = lite ? "TEXT" : "VARCHAR";
    auto rows =
        ext::svc::select(c, "product", "SELECT MIN(CDPRODUTO) FROM ITEMTABPREC", {}, {{"P", db::ColumnType::Text}});
    std::string product = rows.empty() ? "0001" : ext::svc::cellText(rows[0][0]);
    c.beginTransaction();
    if (!lite) c.executeDirect("SET LOCAL session_replication_role = replica");
    c.executeDirect(
        "CREATE TEMP TABLE BENCHCONS AS SELECT ROW_NUMBER() OVER (ORDER BY CDCLIENTE, CDCONSUMIDOR) - 1 "
        "AS K, CDCLIENTE, CDCONSUMIDOR FROM CONSUMIDOR");
    auto n = ext::svc::select(c, "count", "SELECT COUNT(*) FROM BENCHCONS", {}, {{"N", db::ColumnType::Integer}});
    std::string consumers = ext::svc::cellText(n.at(0)[0]);
    std::string series =
        lite ? fmt::format("WITH RECURSIVE S(I) AS (SELECT 0 UNION ALL SELECT I + 1 FROM S WHERE I < {}) ", sales - 1)
             : std::string();
    std::string from = lite ? " FROM S" : fmt::format(" FROM generate_series(0, {}) AS S(I)", sales - 1);
    std::string day = lite ? "date('2023-01-02', '+' || ((I / " + consumers + ") % 1150) || ' days')"
                           : "DATE '2023-01-02' + ((I / " + consumers + ") % 1150)";
    c.executeDirect(
        series + fmt::format("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, "
                             "IDSITUVENDA, NRCUPOMFIS, VRTOTVENDA) SELECT '{}', '00' || CAST(I % 5 + 2 AS {}), "
                             "CAST(I + 1 AS {}), B.CDCLIENTE, B.CDCONSUMIDOR, {}, 'O', CAST(I % 999999 + 1 AS {}), "
                             "12.5{} JOIN BENCHCONS B ON B.K = I % {}",
                             s.branch, text, text, day, text, from, consumers));
    c.executeDirect(
        fmt::format("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, CDPRODUTO, "
                    "QTPRODVEND, VRUNITVEND, VRACRITVEND, VRDESITVEND) SELECT CDFILIAL, CDCAIXA, NRSEQVENDA, "
                    "'1', '{}', 1, 12.5, 0, 0 FROM VENDA WHERE CDCAIXA <> '{}'",
                    product, s.register_));
    c.executeDirect("DROP TABLE BENCHCONS");
    c.commit();
    db::refreshStatistics(c);
}

// One passage per consumer for the first `batch` consumers, lunch or the
// night shift by consumer type, imported as one import record.
void importBatch(const Station& s, int batch) {
    db::Connection c(s.connectionString);
    c.executeDirect("DELETE FROM LOGCATRACA");
    auto rows =
        ext::svc::select(c, "consumers", "SELECT CDIDCONSUMID, CDTIPOCONS FROM CONSUMIDOR ORDER BY CDIDCONSUMID", {},
                         {{"A", db::ColumnType::Text}, {"B", db::ColumnType::Text}});
    fs::path csv = s.layout.dir / "bench.csv";
    {
        std::ofstream out(csv);
        for (int i = 0; i < batch && i < static_cast<int>(rows.size()); ++i) {
            bool night = ext::svc::cellText(rows[i][1]) == "02";
            out << ext::svc::cellText(rows[i][0]) << ";2026-03-16;" << (night ? 23 : 12) << ":"
                << fmt::format("{:02}", (i / 60) % 60) << ":" << fmt::format("{:02}", i % 60) << "\n";
        }
    }
    ImportResult r = importPassages(s, csv);
    if (r.imported != std::min(batch, static_cast<int>(rows.size())))
        throw std::runtime_error(fmt::format("{} of {} passages imported", r.imported, batch));
}

uintmax_t tableBytes(const station::Layout& layout) {
    uintmax_t n = fs::file_size(layout.parameters());
    for (const auto& e : fs::directory_iterator(layout.cadastros())) n += fs::file_size(e.path());
    return n;
}

Prepared prepare(const fs::path& base, const Spec& spec) {
    auto started = Clock::now();
    Prepared p;
    p.spec = spec;
    p.dir = base / spec.name;
    p.snapshot = base / (spec.name + ".snapshot");
    InitOptions o;
    o.demo = true;
    o.seed = 7;
    o.day = DateTime::fromDate(2026, 3, 16);
    o.consumersPerClient = (spec.consumers + 2) / 3;
    if (spec.postgres) {
        auto& pg = zel::testing::PgCluster::shared();
        p.pgDatabase = pg.createDatabase("bench");
        o.database = pg.connectionString(p.pgDatabase);
    }
    initStation(p.dir, o, nullptr);
    Station s = openStation(p.dir);
    growCatalogue(s.layout, spec.products);
    {
        db::Connection c(s.connectionString);
        addHistory(c, s, spec.history);
    }
    importBatch(s, spec.batch);
    p.tableBytes = tableBytes(s.layout);
    fs::copy(p.dir, p.snapshot, fs::copy_options::recursive);
    if (spec.postgres) {
        p.pgTemplate = p.pgDatabase + "_snapshot";
        db::Connection admin(adminConnection());
        admin.executeDirect("CREATE DATABASE " + p.pgTemplate + " TEMPLATE " + p.pgDatabase);
    }
    std::cerr << fmt::format("prepared {}: {} extra products, {} past sales, {} passages in {:.1f} s\n", spec.name,
                             spec.products, spec.history, spec.batch, secondsSince(started));
    return p;
}

void restore(const Prepared& p) {
    fs::remove_all(p.dir);
    fs::copy(p.snapshot, p.dir, fs::copy_options::recursive);
    if (!p.pgTemplate.empty()) {
        db::Connection admin(adminConnection());
        admin.executeDirect("DROP DATABASE IF EXISTS " + p.pgDatabase);
        admin.executeDirect("CREATE DATABASE " + p.pgDatabase + " TEMPLATE " + p.pgTemplate);
        admin.executeDirect("CHECKPOINT");  // the copy written out by the server before the run
    }
    // The copy written out before the run, not during it: a year of history is
    // 300 MB that the disk would otherwise write beside the run's own flushes.
    int fd = ::open(p.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

// ---- running a case in a fresh process

struct Figures {
    std::map<std::string, double> v;
    double processWall = 0;  // from the start of the process to its end
    double peakMb = 0;
    double get(const std::string& k) const {
        auto it = v.find(k);
        return it == v.end() ? 0 : it->second;
    }
    double perConsumer(const std::string& k) const { return get(k) / std::max(1.0, get("passages")); }
};

Figures runChild(const Prepared& p) {
    restore(p);
    int pipefd[2];
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe");
    auto started = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        execl("/proc/self/exe", "bench_station", "--child", p.dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipefd[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    rusage u{};
    wait4(pid, &status, 0, &u);
    Figures f;
    f.processWall = secondsSince(started);
    f.peakMb = static_cast<double>(u.ru_maxrss) / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(fmt::format("the run of {} failed (status {})", p.spec.name, status));
    if (!p.pgTemplate.empty()) {
        // The server writes what the run left in its buffers now, not during
        // the next case's run.
        db::Connection admin(adminConnection());
        admin.executeDirect("CHECKPOINT");
    }
    std::istringstream in(out);
    std::string key;
    double value;
    while (in >> key >> value) f.v[key] = value;
    if (f.get("peak_kb") > 0) f.peakMb = f.get("peak_kb") / 1024.0;
    return f;
}

// The better of the runs of a case: the lowest time, CPU and memory.
Figures better(const Figures& a, const Figures& b) {
    Figures f = a.get("wall") <= b.get("wall") ? a : b;
    const Figures& leaner = a.get("cpu") <= b.get("cpu") ? a : b;
    f.v["cpu"] = leaner.get("cpu");
    f.v["kernel"] = leaner.get("kernel");
    f.processWall = std::min(a.processWall, b.processWall);
    f.peakMb = std::min(a.peakMb, b.peakMb);
    return f;
}

// ---- what one flush costs on this disk

struct FlushCost {
    double file = 0, commit = 0;  // seconds; the commit of a one-row insert
    double commitWide = 0;        // the commit of a transaction that changed kWidePages pages
    static constexpr int kWidePages = 32;
    // A commit that wrote `pages` pages to the log: the two measured commits'
    // line through their page counts (a row insert writes one page).
    double commitOf(double pages) const {
        return commit + (commitWide - commit) * std::max(0.0, pages - 1) / (kWidePages - 1);
    }
    FlushCost least(const FlushCost& o) const {
        return {std::min(file, o.file), std::min(commit, o.commit), std::min(commitWide, o.commitWide)};
    }
};

// A flushed file write as the printer's memory makes one for a coupon: a
// record of its size written over room made ahead of it in the journal, and
// the file's data flushed.
FlushCost measureFlushes(const fs::path& dir) {
    constexpr int kRounds = 40;
    constexpr size_t kRecord = 2800;
    FlushCost c;
    fs::path probe = dir / "flush-probe";
    int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Error("the flush probe cannot be written in " + dir.string());
    std::string room(kRecord * kRounds, '\0'), record(kRecord, 'x');
    bool written = ::pwrite(fd, room.data(), room.size(), 0) == static_cast<ssize_t>(room.size()) && ::fsync(fd) == 0;
    auto t = Clock::now();
    for (int i = 0; written && i < kRounds; ++i)
        written = ::pwrite(fd, record.data(), kRecord, static_cast<off_t>(i * kRecord)) == kRecord &&
                  ::fdatasync(fd) == 0;
    c.file = secondsSince(t) / kRounds;
    ::close(fd);
    fs::remove(probe);
    if (!written) throw Error("the flush probe cannot be written in " + dir.string());
    {
        db::Connection db("sqlite3://db=" + (dir / "flush-probe.db").string());
        db.executeDirect("PRAGMA journal_mode = WAL");
        db.executeDirect("PRAGMA synchronous = FULL");
        db.executeDirect("CREATE TABLE T (A INTEGER)");
        // As a station's log is most of the time: grown already, written over
        // from its start again after a checkpoint.
        for (int i = 0; i < 2 * kRounds; ++i) db.executeDirect("INSERT INTO T VALUES (1)");
        db.executeDirect("PRAGMA wal_checkpoint(RESTART)");
        t = Clock::now();
        for (int i = 0; i < kRounds; ++i) db.executeDirect("INSERT INTO T VALUES (1)");
        c.commit = secondsSince(t) / kRounds;

        // A sale's commit writes a page of each table and index it adds to:
        // here one row changed in each of kWidePages tables, on a page of its
        // own (the tables hold several pages, the row changed is another each
        // time), so the commit writes that many pages.
        constexpr int kRows = 200;
        for (int k = 0; k < FlushCost::kWidePages; ++k) {
            db.executeDirect(fmt::format("CREATE TABLE W{} (K INTEGER PRIMARY KEY, V TEXT)", k));
            db.executeDirect(fmt::format("WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < {}) "
                                         "INSERT INTO W{} SELECT I, HEX(RANDOMBLOB(60)) FROM N",
                                         kRows, k));
        }
        auto wideCommit = [&](int i) {
            db.beginTransaction();
            for (int k = 0; k < FlushCost::kWidePages; ++k)
                db.executeDirect(fmt::format("UPDATE W{} SET V = HEX(RANDOMBLOB(60)) WHERE K = {}", k,
                                             1 + (i * 37 + k * 11) % kRows));
            db.commit();
        };
        for (int i = 0; i < kRounds; ++i) wideCommit(i);
        db.executeDirect("PRAGMA wal_checkpoint(RESTART)");
        double spent = 0;
        for (int i = 0; i < kRounds; ++i) {
            // Only the commit is timed: the changes before it are the engine's work, not the disk's.
            db.beginTransaction();
            for (int k = 0; k < FlushCost::kWidePages; ++k)
                db.executeDirect(fmt::format("UPDATE W{} SET V = HEX(RANDOMBLOB(60)) WHERE K = {}", k,
                                             1 + (i * 53 + k * 7) % kRows));
            auto at = Clock::now();
            db.commit();
            spent += secondsSince(at);
        }
        c.commitWide = spent / kRounds;
    }
    fs::remove(dir / "flush-probe.db");
    fs::remove(dir / "flush-probe.db-wal");
    fs::remove(dir / "flush-probe.db-shm");
    return c;
}

// What one exchange with the server costs: a prepared query of one value,
// run back to back, and run after the client has worked a while (the
// server's CPU has gone idle by then, and waking it is part of the cost).
struct ExchangeCost {
    double backToBack = 0, afterWork = 0;
    double work = 200e-6;  // the client's work between two exchanges
};

ExchangeCost measureExchanges() {
    constexpr int kRuns = 400;
    db::Connection c(adminConnection());
    db::Query q(c, "exchange probe", "SELECT 1 AS X", {}, {{"X", db::ColumnType::Integer}});
    q.open();  // connected and prepared before the clock starts
    ExchangeCost cost;
    auto timeRuns = [&](double workSeconds) {
        double spent = 0;
        for (int i = 0; i < kRuns; ++i) {
            auto busyUntil = Clock::now() + std::chrono::duration<double>(workSeconds);
            while (Clock::now() < busyUntil) {
            }
            auto t = Clock::now();
            q.open();
            spent += secondsSince(t);
        }
        return spent / kRuns;
    };
    cost.backToBack = timeRuns(0);
    cost.afterWork = timeRuns(cost.work);
    return cost;
}

// ---- printing

void printHeader() {
    std::cout << fmt::format("{:<22} {:>6} {:>9} {:>9} {:>9} {:>7} {:>7} {:>6} {:>7} {:>7} {:>8} {:>9}\n", "case", "n",
                             "ms/cons", "cpu ms", "kernel ms", "flushes", "commits", "stmts", "trips", "peak MB",
                             "process s", "vs base");
}

void printRow(const std::string& label, const Figures& f, std::optional<double> vsBase) {
    double per = f.perConsumer("wall") * 1e3;
    std::string ratio = vsBase ? fmt::format("{:.2f}x", *vsBase) : std::string("base");
    std::cout << fmt::format(
        "{:<22} {:>6} {:>9.3f} {:>9.3f} {:>9.3f} {:>7.2f} {:>7.2f} {:>6.1f} {:>7.1f} {:>7.1f} {:>8.2f} {:>9}\n", label,
        f.get("passages"), per, f.perConsumer("cpu") * 1e3, f.perConsumer("kernel") * 1e3,
        f.perConsumer("file_flushes"), f.perConsumer("commits"), f.perConsumer("statements"),
        f.perConsumer("round_trips"), f.peakMb, f.processWall, ratio);
}

struct Verdict {
    std::string goal, figure;
    bool met;
};

void printVerdicts(const std::vector<Verdict>& vs) {
    std::cout << "\ngoals\n";
    for (const Verdict& v : vs)
        std::cout << fmt::format("  [{}] {}: {}\n", v.met ? "met" : "NOT met", v.goal, v.figure);
}

std::string loadAverage() {
    double l[3] = {0, 0, 0};
    if (getloadavg(l, 3) < 0) return "unknown";
    return fmt::format("{:.2f} {:.2f} {:.2f}", l[0], l[1], l[2]);
}

void measureLoading(const Prepared& p);

// The goals of the SQLite case: the floor its durable writes allow (each
// counted flush at what one costs on this disk, each commit at what one of
// the pages the run's commits wrote costs), the rate against it, and its CPU.
std::vector<Verdict> durableVerdicts(const Figures& b, const FlushCost& flush) {
    std::vector<Verdict> vs;
    double commits = b.perConsumer("commits");
    double pages = commits > 0 ? b.perConsumer("pages_written") / commits : 1;
    double floor = b.perConsumer("file_flushes") * flush.file + commits * flush.commitOf(pages);
    std::cout << fmt::format("\nthe SQLite case's commits wrote {:.1f} pages each: {:.3f} ms per commit on this disk\n",
                             pages, flush.commitOf(pages) * 1e3);
    // The station works and flushes one after the other: the user CPU its
    // work took (the kernel's share is mostly the flushes, counted in the
    // floor) added to the floor is what it reaches when it waits on nothing
    // else. Above 100%: the probes' flushes carry some CPU the run counts too.
    double serial = floor + b.perConsumer("cpu");
    std::cout << fmt::format(
        "work then flushes, one after the other: {:.3f} ms of CPU + {:.3f} ms of flushes = {:.3f} ms per consumer; "
        "the station takes {:.3f} ms ({:.0f}% of that rate; below 100% it waits on something else)\n",
        b.perConsumer("cpu") * 1e3, floor * 1e3, serial * 1e3, b.perConsumer("wall") * 1e3,
        100 * serial / b.perConsumer("wall"));
    double rate = 1 / b.perConsumer("wall"), floorRate = 1 / floor;
    vs.push_back({"SQLite consumers/s >= 90% of what the durable writes allow",
                  fmt::format("{:.0f}/s of {:.0f}/s ({:.0f}%)", rate, floorRate, 100 * rate / floorRate),
                  rate >= 0.9 * floorRate});
    vs.push_back({"that floor <= 2 ms per consumer", fmt::format("{:.3f} ms", floor * 1e3), floor <= 0.002});
    double cpu = b.perConsumer("cpu");
    vs.push_back({"SQLite CPU per consumer <= 1.5 ms", fmt::format("{:.3f} ms", cpu * 1e3), cpu <= 0.0015});
    return vs;
}

struct Options {
    double scale = 1;
    std::optional<Spec> single;
    bool postgres = true;
    std::set<std::string> only;  // groups of goals to run; empty: all
    int rounds = 2;              // runs of each case, in alternating order; the best is kept
};

int runAll(const fs::path& base, const Options& o) {
    auto scaled = [&](int n) { return std::max(1, static_cast<int>(std::lround(n * o.scale))); };
    auto wanted = [&](const char* group) { return o.only.empty() || o.only.count(group) > 0; };
    int batch = scaled(1000);
    bool withPg = false;
    if (wanted("postgresql") && o.postgres) {
        auto& pg = zel::testing::PgCluster::shared();
        withPg = pg.running();
        if (!withPg) std::cerr << "PostgreSQL left out: " << pg.error() << "\n";
    }

    std::cout << "load average at the start: " << loadAverage() << "\n";
    // The disk's flush time wanders: measured before each round, and the
    // least of each kept (the floor is what the writes need at best).
    FlushCost flush = measureFlushes(base);

    // The demo is the base of the per-consumer goals.
    bool perConsumer = wanted("catalogue") || wanted("history") || wanted("sqlite") || withPg;
    std::optional<Prepared> demo, products, history, demoOne, productsOne, small, large, pgDemo;
    if (perConsumer) demo = prepare(base, {"demo", 0, 0, batch, 1002, false});
    if (wanted("catalogue")) products = prepare(base, {"100k-products", 100000, 0, batch, 1002, false});
    if (wanted("history")) history = prepare(base, {"1M-history", 0, scaled(1000000), batch, 1002, false});
    if (wanted("one-passage")) {
        demoOne = prepare(base, {"demo-1", 0, 0, 1, 1002, false});
        productsOne = prepare(base, {"100k-products-1", 100000, 0, 1, 1002, false});
    }
    if (wanted("batch-memory")) {
        small = prepare(base, {"batch-small", 0, 0, scaled(1000), scaled(10000), false});
        large = prepare(base, {"batch-large", 0, 0, scaled(10000), scaled(10000), false});
    }
    if (withPg) pgDemo = prepare(base, {"postgresql", 0, 0, batch, 1002, true});

    std::vector<const Prepared*> order;
    for (const std::optional<Prepared>* p :
         {&demo, &products, &history, &demoOne, &productsOne, &small, &large, &pgDemo})
        if (*p) order.push_back(&**p);
    std::map<const Prepared*, Figures> best;
    std::map<const Prepared*, std::vector<Figures>> rounds;  // each case's run of each round
    for (int round = 0; round < o.rounds; ++round) {
        if (round > 0) {
            flush = flush.least(measureFlushes(base));
        }
        std::vector<const Prepared*> now = order;
        if (round % 2 == 1) std::reverse(now.begin(), now.end());
        for (const Prepared* p : now) {
            Figures f = runChild(*p);
            best[p] = best.count(p) ? better(best[p], f) : f;
            rounds[p].push_back(f);
        }
    }
    std::cout << "load average at the end: " << loadAverage() << "\n";
    std::cout << fmt::format(
        "one flushed journal record {:.3f} ms, one SQLite commit (WAL, synchronous FULL) {:.3f} ms of one page, "
        "{:.3f} ms of {} (least of {})\n\n",
        flush.file * 1e3, flush.commit * 1e3, flush.commitWide * 1e3, FlushCost::kWidePages, o.rounds);

    // A ratio of two cases is taken within each round, where their runs came
    // close in time, and the median of the rounds' ratios kept: the machine's
    // speed wanders more between rounds than between the two runs of one.
    auto ratio = [&](const std::optional<Prepared>& a, const std::optional<Prepared>& b, auto metric) {
        const std::vector<Figures>&ra = rounds[&*a], &rb = rounds[&*b];
        std::vector<double> rs;
        for (size_t i = 0; i < ra.size() && i < rb.size(); ++i) rs.push_back(metric(ra[i]) / metric(rb[i]));
        std::sort(rs.begin(), rs.end());
        size_t n = rs.size();
        return n == 0 ? 0.0 : n % 2 ? rs[n / 2] : (rs[n / 2 - 1] + rs[n / 2]) / 2;
    };
    auto per = [](const Figures& f) { return f.perConsumer("wall"); };
    auto cpu = [](const Figures& f) { return f.perConsumer("cpu"); };
    auto process = [](const Figures& f) { return f.processWall; };
    auto peak = [](const Figures& f) { return f.peakMb; };

    printHeader();
    if (demo) printRow(demo->spec.name, best[&*demo], std::nullopt);
    if (products) printRow(products->spec.name, best[&*products], ratio(products, demo, per));
    if (history) printRow(history->spec.name, best[&*history], ratio(history, demo, per));
    if (demoOne) printRow(demoOne->spec.name, best[&*demoOne], std::nullopt);
    if (productsOne) printRow(productsOne->spec.name, best[&*productsOne], ratio(productsOne, demoOne, process));
    if (small) printRow(small->spec.name, best[&*small], std::nullopt);
    if (large) printRow(large->spec.name, best[&*large], ratio(large, small, per));
    if (pgDemo) printRow(pgDemo->spec.name, best[&*pgDemo], ratio(pgDemo, demo, per));
    std::cout << "figures: the best of each case's runs; vs base: the median of the rounds' ratios\n\n";
    // Each round's time per consumer (ms), in run order within the round, so
    // that a reader sees how far the machine wanders between rounds.
    std::cout << "per round, ms per consumer (one-passage cases: the process's time)\n";
    for (const Prepared* p : order) {
        std::string line = fmt::format("  {:<20}", p->spec.name);
        for (const Figures& f : rounds[p])
            line += fmt::format(" {:8.3f}", p->spec.batch == 1 ? f.processWall * 1e3 : per(f) * 1e3);
        std::cout << line << "\n";
    }
    std::cout << "\n";
    if (products) measureLoading(*products);
    else if (productsOne) measureLoading(*productsOne);

    std::vector<Verdict> vs;
    if (demo) {
        // The disk's flush time wanders from run to run; the CPU ratio shows the
        // station's own work.
        if (products) {
            double r = ratio(products, demo, per);
            vs.push_back({"100,000 products per consumer <= 1.2x the demo catalogue",
                          fmt::format("{:.2f}x wall, {:.2f}x CPU", r, ratio(products, demo, cpu)), r <= 1.2});
        }
        if (history) {
            double r = ratio(history, demo, per);
            vs.push_back({fmt::format("{} past sales per consumer <= 1.2x none", history->spec.history),
                          fmt::format("{:.2f}x wall, {:.2f}x CPU", r, ratio(history, demo, cpu)), r <= 1.2});
        }
    }
    if (demoOne) {
        const Figures &one = best[&*demoOne], &big = best[&*productsOne];
        double r = ratio(productsOne, demoOne, process);
        vs.push_back({"one-passage run, 100,000 products <= 3x the demo (fresh process)",
                      fmt::format("{:.2f}x (best runs {:.3f} s vs {:.3f} s)", r, big.processWall, one.processWall),
                      r <= 3});
        double allowed = 3 * productsOne->tableBytes / 1048576.0 + one.peakMb;
        vs.push_back({"its peak memory <= 3x the table files plus the demo's",
                      fmt::format("{:.1f} MB, allowed {:.1f} MB", big.peakMb, allowed), big.peakMb <= allowed});
    }
    if (demo && wanted("sqlite")) {
        std::vector<Verdict> durable = durableVerdicts(best[&*demo], flush);
        vs.insert(vs.end(), durable.begin(), durable.end());
    }
    if (pgDemo) {
        const Figures& g = best[&*pgDemo];
        double trips = g.perConsumer("round_trips");
        // Where the server's time per consumer goes: the client's own CPU and
        // its exchanges at what one costs here; the rest is the server's work
        // and its flush.
        ExchangeCost ex = measureExchanges();
        double client = g.perConsumer("cpu"), wall = g.perConsumer("wall");
        std::cout << fmt::format(
            "one exchange with the server (a prepared one-value query): {:.3f} ms back to back, {:.3f} ms after "
            "{:.1f} ms of the client's work\n"
            "PostgreSQL per consumer: {:.3f} ms = client CPU {:.3f} + {:.1f} exchanges at {:.3f}-{:.3f} ({:.3f}-{:.3f}) "
            "+ the rest {:.3f}-{:.3f}\n\n",
            ex.backToBack * 1e3, ex.afterWork * 1e3, ex.work * 1e3, wall * 1e3, client * 1e3, trips,
            ex.backToBack * 1e3, ex.afterWork * 1e3, trips * ex.backToBack * 1e3, trips * ex.afterWork * 1e3,
            (wall - client - trips * ex.afterWork) * 1e3, (wall - client - trips * ex.backToBack) * 1e3);
        vs.push_back({"PostgreSQL round trips per consumer <= 30", fmt::format("{:.1f}", trips), trips <= 30});
        double r = ratio(pgDemo, demo, per);
        vs.push_back({"PostgreSQL per consumer <= 1.5x SQLite", fmt::format("{:.2f}x", r), r <= 1.5});
    }
    if (small) {
        double r = ratio(large, small, peak);
        vs.push_back(
            {fmt::format("peak memory of {} passages <= 1.2x that of {}", large->spec.batch, small->spec.batch),
             fmt::format("{:.2f}x ({:.1f} MB vs {:.1f} MB)", r, best[&*large].peakMb, best[&*small].peakMb), r <= 1.2});
    }
    printVerdicts(vs);
    return 0;
}

// The station's ten table files and its parameter file read by the codec
// alone and into working tables, and what the tables hold in memory.
void measureLoading(const Prepared& p) {
    station::Layout layout{p.dir};
    restore(p);
    std::vector<fs::path> files = {layout.parameters()};
    for (const auto& e : fs::directory_iterator(layout.cadastros())) files.push_back(e.path());
    double codec = 1e9, tables = 1e9;
    size_t rowBytes = 0;
    for (int round = 0; round < 3; ++round) {
        auto t = Clock::now();
        for (const fs::path& f : files) ds::readPacketFile(f);
        codec = std::min(codec, secondsSince(t));
        t = Clock::now();
        rowBytes = 0;
        for (const fs::path& f : files) {
            ds::Table table(f.stem().string());
            table.loadFromFile(f);
            rowBytes += table.rowBytes();
        }
        tables = std::min(tables, secondsSince(t));
    }
    std::cout << fmt::format(
        "loading the {} table files of {} ({:.2f} MB): codec alone {:.1f} ms, into working "
        "tables {:.1f} ms ({:.2f}x); the tables hold {:.2f} MB of rows ({:.2f}x the files)\n",
        files.size(), p.spec.name, p.tableBytes / 1048576.0, codec * 1e3, tables * 1e3, tables / codec,
        rowBytes / 1048576.0, static_cast<double>(rowBytes) / p.tableBytes);
}

// ---- the station served: from a passage imported to its sale stored

struct Latency {
    std::vector<double> ms;  // one per passage charged
    int refused = 0;         // not charged within the limit
};

// Serves the station in a child process; the parent imports one passage at
// a time (a consumer of its own each) and times it until its sale is stored.
Latency serveLatency(const fs::path& dir, double poll, int samples) {
    Station s = openStation(dir);
    {
        db::Connection c(s.connectionString);
        c.executeDirect("DELETE FROM LOGCATRACA");
    }
    pid_t child = fork();
    if (child == 0) {
        static std::atomic<bool> stop{false}, reload{false};
        installServeSignals(stop, reload);
        ServeOptions o;
        o.pollSeconds = poll;
        o.now = parseMoment("2026-03-16 23:59");
        o.stop = &stop;
        o.reload = &reload;
        try {
            _exit(serveStation(dir, o));
        } catch (const std::exception& e) {
            std::cerr << "bench_station: serve: " << e.what() << "\n";
            _exit(2);
        }
    }
    auto logHas = [&](const std::string& text) {
        std::ifstream in(s.layout.log());
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str().find(text) != std::string::npos;
    };
    for (auto t = Clock::now(); !logHas(" start: ") && secondsSince(t) < 60;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    db::Connection c(s.connectionString);
    auto sold = [&] {
        auto r =
            ext::svc::select(c, "sold", "SELECT COUNT(*) FROM VENDAPASSAGEM", {}, {{"N", db::ColumnType::Integer}});
        return std::stoll(ext::svc::cellText(r.at(0)[0]));
    };
    auto consumers =
        ext::svc::select(c, "consumers", "SELECT CDIDCONSUMID, CDTIPOCONS FROM CONSUMIDOR ORDER BY CDIDCONSUMID", {},
                         {{"A", db::ColumnType::Text}, {"B", db::ColumnType::Text}});
    Latency out;
    // The first passage loads the module's tables: a warm-up, not counted.
    for (int i = 0; i <= samples && i < static_cast<int>(consumers.size()); ++i) {
        bool night = ext::svc::cellText(consumers[i][1]) == "02";
        fs::path csv = s.layout.dir / "latency.csv";
        std::ofstream(csv) << ext::svc::cellText(consumers[i][0]) << ";2026-03-16;" << (night ? "23:" : "12:")
                           << fmt::format("{:02}:{:02}", i / 60 % 60, i % 60) << "\n";
        long long before = sold();
        // The passages arrive at any moment of the poll interval, not just after a pass.
        std::this_thread::sleep_for(std::chrono::duration<double>(poll * ((i * 7919) % 100) / 100.0));
        importPassages(s, csv);
        auto imported = Clock::now();
        bool charged = false;
        while (!(charged = sold() > before) && secondsSince(imported) < 30 + poll)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (i == 0) continue;
        if (charged) out.ms.push_back(secondsSince(imported) * 1e3);
        else ++out.refused;
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    return out;
}

int runServe(const fs::path& base, double poll, int samples) {
    std::cout << fmt::format(
        "from a passage imported to its sale stored, while serving (poll {} s, {} passages, "
        "each alone)\n",
        poll, samples);
    for (int products : {0, 100000}) {
        Spec spec{products ? "served-100k" : "served-demo", products, 0, 0, 1002, false};
        Prepared p = prepare(base, spec);
        Latency l = serveLatency(p.dir, poll, samples);
        std::sort(l.ms.begin(), l.ms.end());
        auto at = [&](double q) {
            return l.ms.empty() ? 0.0 : l.ms[std::min(l.ms.size() - 1, static_cast<size_t>(q * l.ms.size()))];
        };
        std::cout << fmt::format(
            "  {:<12} {:>7} products: median {:7.1f} ms, p90 {:7.1f} ms, max {:7.1f} ms "
            "({} charged, {} not)\n",
            spec.name, 3 + products, at(0.5), at(0.9), l.ms.empty() ? 0.0 : l.ms.back(), l.ms.size(), l.refused);
    }
    std::cout << "load average: " << loadAverage() << "\n";
    return 0;
}

int runSingle(const fs::path& base, const Spec& spec) {
    Spec baseSpec{"base", 0, 0, spec.batch, spec.consumers, false};
    Prepared b = prepare(base, baseSpec);
    Prepared c = prepare(base, spec);
    // Two rounds, sides alternated; the ratio of each round's pair, averaged.
    Figures fb = runChild(b), fc = runChild(c);
    double r = fc.perConsumer("wall") / fb.perConsumer("wall");
    Figures fc2 = runChild(c), fb2 = runChild(b);
    r = (r + fc2.perConsumer("wall") / fb2.perConsumer("wall")) / 2;
    fc = better(fc, fc2);
    fb = better(fb, fb2);
    std::cout << "load average: " << loadAverage() << "\n";
    FlushCost flush = measureFlushes(base);
    std::cout << fmt::format(
        "one flushed journal record {:.3f} ms, one SQLite commit (WAL, synchronous FULL) {:.3f} ms of one page, "
        "{:.3f} ms of {}\n",
        flush.file * 1e3, flush.commit * 1e3, flush.commitWide * 1e3, FlushCost::kWidePages);
    printHeader();
    printRow("base", fb, std::nullopt);
    printRow(spec.name, fc, r);
    printVerdicts(durableVerdicts(fb, flush));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") {
        try {
            return childRun(argv[2]);
        } catch (const std::exception& e) {
            std::cerr << "bench_station: " << e.what() << "\n";
            return 1;
        }
    }
    Options o;
    Spec single{"case", 0, 0, 1000, 1002, false};
    bool isSingle = false, serve = false;
    double poll = 1;
    int samples = 20;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        try {
            if (a == "--scale") o.scale = std::stod(next());
            else if (a == "--no-postgres") o.postgres = false;
            else if (a == "--rounds") o.rounds = std::max(1, std::stoi(next()));
            else if (a == "--only") {
                std::istringstream groups(next());
                for (std::string g; std::getline(groups, g, ',');) o.only.insert(g);
            } else if (a == "--products") single.products = std::stoi(next()), isSingle = true;
            else if (a == "--history") single.history = std::stoi(next()), isSingle = true;
            else if (a == "--batch") single.batch = std::stoi(next()), isSingle = true;
            else if (a == "--backend") single.postgres = next() == "postgresql", isSingle = true;
            else if (a == "--serve") serve = true;
            else if (a == "--poll") poll = std::stod(next());
            else if (a == "--samples") samples = std::stoi(next());
            else {
                std::cerr << "bench_station: unknown argument " << a << "\n";
                return 2;
            }
        } catch (const std::exception& e) {
            std::cerr << "bench_station: " << e.what() << "\n";
            return 2;
        }
    }
    single.consumers = std::max(1002, single.batch);
    // The PostgreSQL server keeps its durable defaults here: fsync and
    // synchronous commit, as a real installation runs it.
    setenv("ZEL_PG_DURABLE", "1", 1);
    fs::path base = fs::temp_directory_path() / ("zel_bench_station_" + std::to_string(::getpid()));
    fs::create_directories(base);
    int rc = 0;
    try {
        rc = serve ? runServe(base, poll, samples) : isSingle ? runSingle(base, single) : runAll(base, o);
    } catch (const std::exception& e) {
        std::cerr << "bench_station: " << e.what() << "\n";
        rc = 1;
    }
    if (zel::testing::PgCluster::sharedCreated()) zel::testing::PgCluster::shared().stop();
    // ZEL_BENCH_KEEP=1 keeps the SQLite stations and their snapshots for a closer look.
    const char* keep = std::getenv("ZEL_BENCH_KEEP");
    if (keep && std::string(keep) == "1") std::cerr << "stations kept in " << base.string() << "\n";
    else fs::remove_all(base);
    return rc;
}
