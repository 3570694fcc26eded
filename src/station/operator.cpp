// The operator's commands over a station: pending passages, a consumer, the
// report of a day, the backup.
#include "station/operator.h"

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include <fmt/format.h>

#include "external/printer/fiscal_printer_sim.h"
#include "external/utility/util_connection.h"
#include "platform/atomic_file.h"
#include "platform/dataset/table.h"
#include "platform/db/query.h"
#include "station/operator_store.h"
#include "station/outbox.h"
#include "station/serve.h"
#include "station/session.h"
#include "station/store.h"

namespace zel::host {
namespace {

using json = nlohmann::json;

struct Db {
    explicit Db(const Station& s) : c(s.connectionString) {
        try {
            util::TryConnect(c, {1, std::chrono::milliseconds(0)});
            util::SetADODBSession(c);
        } catch (const std::exception& e) {
            throw databaseError(s, "cannot be reached", e);
        }
    }
    db::Connection c;
};

std::string isoDay(DateTime d) { return db::sql::isoMoment(d).substr(0, 10); }
double cents(double v) { return static_cast<double>(std::llround(v * 100)) / 100; }

json saleJson(const OperatorStore::Sale& s) {
    json j = {{"sale", s.number},
              {"day", s.day},
              {"coupon", s.coupon},
              {"passage", s.passage},
              {"amount", cents(s.total)},
              {"client_part", cents(s.clientPart)},
              {"consumer", s.consumer},
              {"client", s.client},
              {"cancelled", s.situation == "C" || !s.cancelledAt.empty()}};
    return j;
}

json groupsJson(const std::vector<OperatorStore::Group>& groups, const char* keyName) {
    json out = json::array();
    for (const auto& g : groups) out.push_back({{keyName, g.key}, {"sales", g.sales}, {"amount", cents(g.amount)}});
    return out;
}

// A CSV field: quoted when it holds the separator, a quote or a line break.
std::string csvField(const std::string& v) {
    if (v.find_first_of(";\"\n\r") == std::string::npos) return v;
    std::string out = "\"";
    for (char ch : v) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

// The station's own files, as a backup takes them (the database apart).
bool stationFile(const fs::path& rel) {
    static const std::set<std::string> skipped = {"station.db", "station.db-wal", "station.db-shm",
                                                  "station.db-journal", "station.lock"};
    return !skipped.count(rel.string()) && rel.extension() != ".tmp";
}

// A copy of a station made before its paths were kept relative to it names
// the station's own database and sale directory in the relative form, so that
// it uses its own files and not those of the station it was copied from.
void ownPaths(const Station& s, const fs::path& copy, bool databaseCopied) {
    station::Layout layout{copy};
    if (databaseCopied) {
        std::ifstream in(layout.config());
        std::string text, line;
        while (std::getline(in, line)) {
            std::string key = line.substr(0, line.find('='));
            key.erase(std::remove_if(key.begin(), key.end(), [](unsigned char c) { return std::isspace(c); }),
                      key.end());
            for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (line.find('=') != std::string::npos && key == "database")
                line = "database = " + station::ownSqliteConnection(layout);
            text += line + "\n";
        }
        in.close();
        writeFileAtomically(layout.config(), text, "the configuration of the copy", Durability::Flushed, 0600);
    }
    ds::Table params("ParametrosZel", {}, {}, {}, s.formatSettings);
    params.loadFromFile(layout.parameters());
    if (params.fieldIndex("DSDIRCAD") < 0) return;
    fs::path given(params.field("DSDIRCAD").asString());
    if (!given.is_absolute()) return;
    std::error_code ec;
    fs::path rel =
        fs::weakly_canonical(s.params.saleDir, ec).lexically_relative(fs::weakly_canonical(s.layout.dir, ec));
    if (rel.empty() || *rel.begin() == "..") return;
    params.edit();
    params.field("DSDIRCAD").setAsString((rel / "").string());
    params.post();
    params.saveToFile(layout.parameters());
}

void backupSqlite(const std::string& from, const fs::path& to) {
    sqlite3* src = nullptr;
    sqlite3* dst = nullptr;
    auto close = [&] {
        if (src) sqlite3_close(src);
        if (dst) sqlite3_close(dst);
    };
    if (sqlite3_open_v2(from.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_open_v2(to.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        std::string why = sqlite3_errmsg(src && sqlite3_errcode(src) != SQLITE_OK ? src : dst);
        close();
        throw StationError(fmt::format("the backup of {} into {} cannot begin: {}", from, to.string(), why));
    }
    sqlite3_busy_timeout(src, 5000);
    sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main");
    int rc = SQLITE_OK;
    if (b) {
        // Pages in steps, so that a station charging meanwhile waits little.
        do {
            rc = sqlite3_backup_step(b, 256);
            if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) sqlite3_sleep(50);
        } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
        sqlite3_backup_finish(b);
    }
    std::string why = sqlite3_errmsg(dst);
    rc = b && rc == SQLITE_DONE ? sqlite3_errcode(dst) : SQLITE_ERROR;
    close();
    if (rc != SQLITE_OK) throw StationError(fmt::format("the backup of {} failed: {}", from, why));
}

}  // namespace

std::string maskedConnection(const std::string& cs) {
    static const std::regex libpq(R"((password\s*=\s*)('([^'\\]|\\.)*'|[^\s]*))", std::regex::icase);
    static const std::regex odbc(R"((PWD\s*=\s*)(\{[^}]*\}|[^;]*))", std::regex::icase);
    static const std::regex url(R"((://[^:/@\s]+:)[^@\s]*@)");
    std::string out = std::regex_replace(cs, libpq, "$1***");
    out = std::regex_replace(out, odbc, "$1***");
    return std::regex_replace(out, url, "$1***@");
}

void checkConnectionForm(const std::string& cs) {
    for (const char* backend : {"sqlite3://", "postgresql://", "odbc://"})
        if (cs.rfind(backend, 0) == 0 && cs.size() > std::string(backend).size()) return;
    throw StationError(
        fmt::format("malformed connection string \"{}\": the form is BACKEND://SETTINGS with the "
                    "backend sqlite3, postgresql or odbc",
                    printable(maskedConnection(cs))));
}

DateTime parseDay(const std::string& t) {
    int y = 0, m = 0, d = 0;
    char extra;
    if (std::sscanf(t.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3 || t.size() != 10 ||
        !DateTime::isValidDate(y, m, d))
        throw StationError(fmt::format("invalid date \"{}\" (YYYY-MM-DD)", t));
    return DateTime::fromDate(y, m, d);
}

json pendingPassagesReport(const Station& s) {
    Db db(s);
    std::map<std::string, PendingReason> reasons = readPendingReasons(s.layout.dir);
    json out = {{"station", s.layout.dir.string()}, {"passages", json::array()}};
    for (const PendingPassage& p : Store(db.c, s.branch, s.register_).pendingPassages()) {
        json j = {{"passage", p.passage.nrSeqLogCat},   {"import_record", p.passage.nrSeqArqImp},
                  {"consumer", p.passage.cdConsumidor}, {"client", p.passage.cdCliente},
                  {"name", p.passage.nmConsumidor},     {"moment", p.moment}};
        if (auto r = reasons.find(p.passage.nrSeqLogCat); r != reasons.end())
            j.update({{"outcome", r->second.outcome}, {"reason", r->second.reason}, {"at", r->second.at}});
        else j.update({{"outcome", "not offered yet"}, {"reason", ""}});
        out["passages"].push_back(j);
    }
    out["count"] = out["passages"].size();
    return out;
}

std::string pendingText(const json& r) {
    std::ostringstream o;
    for (const json& p : r["passages"])
        o << fmt::format("{:<6} record {:<4} {:<8} {:<24} {}  {}{}\n", p.value("passage", ""),
                         p.value("import_record", ""), p.value("consumer", ""), printable(p.value("name", "")),
                         p.value("moment", ""), p.value("outcome", ""),
                         p.value("reason", "").empty() ? "" : ": " + printable(p.value("reason", "")));
    o << r.value("count", 0) << " passage(s) pending\n";
    return o.str();
}

json consumerReport(const Station& s, const std::string& code, DateTime day, int lastSales) {
    Db db(s);
    OperatorStore store(db.c, s.branch, s.register_);
    std::vector<OperatorStore::ConsumerRow> found = store.consumers(code);
    if (found.empty()) throw StationError(fmt::format("no consumer has the code \"{}\"", printable(code)));
    CalendarFields f = day.fields();
    DateTime monthStart = DateTime::fromDate(f.year, f.month, 1);
    json out = {{"code", code}, {"day", isoDay(day)}, {"consumers", json::array()}};
    for (const auto& k : found) {
        json j = {{"client", k.client}, {"consumer", k.consumer},      {"identification", k.code}, {"name", k.name},
                  {"type", k.type},     {"debit_limit", k.debitLimit}, {"debit_max", k.debitMax}};
        j["balances"] = json::array();
        for (const auto& b : store.balances(k.client, k.consumer))
            j["balances"].push_back({{"family", b.family}, {"name", b.name}, {"balance", cents(b.balance)}});
        j["consumption_day"] = cents(store.consumption(k.client, k.consumer, day, day));
        j["consumption_month"] = cents(store.consumption(k.client, k.consumer, monthStart, day));
        j["last_sales"] = json::array();
        for (const auto& sale : store.lastSales(k.client, k.consumer, lastSales))
            j["last_sales"].push_back(saleJson(sale));
        out["consumers"].push_back(j);
    }
    return out;
}

std::string consumerText(const json& r) {
    std::ostringstream o;
    for (const json& k : r["consumers"]) {
        o << fmt::format("consumer {} ({}) of client {}: {}, type {}\n", k.value("consumer", ""),
                         k.value("identification", ""), k.value("client", ""), printable(k.value("name", "")),
                         k.value("type", ""));
        for (const json& b : k["balances"])
            o << fmt::format("  balance {} {:<20} {:>10.2f}\n", b.value("family", ""), printable(b.value("name", "")),
                             b.value("balance", 0.0));
        o << fmt::format("  consumption {} {:.2f}, month {:.2f}\n", r.value("day", ""), k.value("consumption_day", 0.0),
                         k.value("consumption_month", 0.0));
        for (const json& sale : k["last_sales"])
            o << fmt::format("  sale {} {} coupon {} {:>9.2f}{}\n", sale.value("sale", ""), sale.value("day", ""),
                             sale.value("coupon", ""), sale.value("amount", 0.0),
                             sale.value("cancelled", false) ? " CANCELLED" : "");
    }
    return o.str();
}

json dayReport(const Station& s, DateTime day) {
    Db db(s);
    OperatorStore store(db.c, s.branch, s.register_);
    json out = {{"station", s.layout.dir.string()}, {"day", isoDay(day)}};
    double standing = 0, clientPart = 0, cancelled = 0;
    int standingCount = 0;
    out["cancellations"] = json::array();
    for (const auto& sale : store.salesOfDay(day)) {
        bool isCancelled = sale.situation == "C" || !sale.cancelledAt.empty();
        if (isCancelled) {
            cancelled += sale.total + sale.clientPart;
            out["cancellations"].push_back(saleJson(sale));
        } else {
            ++standingCount;
            standing += sale.total;
            clientPart += sale.clientPart;
        }
    }
    out["sales"] = {{"count", standingCount},
                    {"consumer_part", cents(standing)},
                    {"client_part", cents(clientPart)},
                    {"total", cents(standing + clientPart)}};
    out["cancelled_total"] = cents(cancelled);
    out["by_service_window"] = groupsJson(store.byServiceWindow(day), "window");
    out["by_balance_family"] = groupsJson(store.byBalanceFamily(day), "family");

    SystemClock clock;
    ext::SimulatedPrinter printer(ext::SimulatedPrinterFiles::inStation(s.layout.dir), clock, s.formatSettings);
    ext::PrinterStatus p = printer.status();
    double grand = static_cast<double>(p.grandTotalCents) / 100,
           cancelledOnPrinter = static_cast<double>(p.cancelTotalCents) / 100;
    double stored = cents(store.standingTotalOfPrinter(p.identity.serial));
    // The grand total grows by every closed coupon; a cancellation counts in
    // the cancelled total. What stands is the stored coupons of the printer.
    double difference = cents(grand - cancelledOnPrinter - stored);
    out["printer"] = {
        {"serial", p.identity.serial},     {"grand_total", grand},     {"cancelled_total", cancelledOnPrinter},
        {"stored_standing_total", stored}, {"difference", difference}, {"reconciled", std::fabs(difference) < 0.005}};
    return out;
}

std::string dayText(const json& r) {
    std::ostringstream o;
    const json& s = r["sales"];
    o << fmt::format("day {}: {} sale(s), consumers {:.2f}, client companies {:.2f}, total {:.2f}\n",
                     r.value("day", ""), s.value("count", 0), s.value("consumer_part", 0.0),
                     s.value("client_part", 0.0), s.value("total", 0.0));
    for (const json& g : r["by_service_window"])
        o << fmt::format("  window {:<6} {:>4} sale(s) {:>10.2f}\n", g.value("window", ""), g.value("sales", 0),
                         g.value("amount", 0.0));
    for (const json& g : r["by_balance_family"])
        o << fmt::format("  family {:<6} {:>4} sale(s) {:>10.2f}\n", g.value("family", ""), g.value("sales", 0),
                         g.value("amount", 0.0));
    for (const json& c : r["cancellations"])
        o << fmt::format("  cancelled coupon {} consumer {} {:.2f}\n", c.value("coupon", ""), c.value("consumer", ""),
                         c.value("amount", 0.0) + c.value("client_part", 0.0));
    const json& p = r["printer"];
    o << fmt::format("printer {}: grand total {:.2f}, cancelled {:.2f}, stored standing {:.2f}: {}\n",
                     p.value("serial", ""), p.value("grand_total", 0.0), p.value("cancelled_total", 0.0),
                     p.value("stored_standing_total", 0.0),
                     p.value("reconciled", false) ? std::string("reconciled")
                                                  : fmt::format("DIFFERENCE {:.2f}", p.value("difference", 0.0)));
    return o.str();
}

std::string dayCsv(const json& r) {
    std::ostringstream o;
    o << "section;key;sales;amount\n";
    const json& s = r["sales"];
    o << fmt::format("sales;consumer_part;{};{:.2f}\n", s.value("count", 0), s.value("consumer_part", 0.0));
    o << fmt::format("sales;client_part;{};{:.2f}\n", s.value("count", 0), s.value("client_part", 0.0));
    for (const json& g : r["by_service_window"])
        o << fmt::format("window;{};{};{:.2f}\n", csvField(g.value("window", "")), g.value("sales", 0),
                         g.value("amount", 0.0));
    for (const json& g : r["by_balance_family"])
        o << fmt::format("family;{};{};{:.2f}\n", csvField(g.value("family", "")), g.value("sales", 0),
                         g.value("amount", 0.0));
    for (const json& c : r["cancellations"])
        o << fmt::format("cancelled;{};1;{:.2f}\n", csvField(c.value("coupon", "")),
                         c.value("amount", 0.0) + c.value("client_part", 0.0));
    const json& p = r["printer"];
    o << fmt::format(
        "printer;grand_total;;{:.2f}\nprinter;cancelled_total;;{:.2f}\nprinter;stored_standing;;{:.2f}\n"
        "printer;difference;;{:.2f}\n",
        p.value("grand_total", 0.0), p.value("cancelled_total", 0.0), p.value("stored_standing_total", 0.0),
        p.value("difference", 0.0));
    return o.str();
}

json backupStation(const Station& s, const fs::path& destIn) {
    fs::path dest = fs::absolute(destIn).lexically_normal();
    std::error_code ec;
    if (fs::exists(dest) && !fs::is_empty(dest, ec))
        throw StationError(fmt::format("{}: the backup's directory must be absent or empty", dest.string()));
    if (dest.string().rfind(s.layout.dir.string() + "/", 0) == 0)
        throw StationError(fmt::format("{}: the backup cannot lie inside the station", dest.string()));
    fs::create_directories(dest);
    json out = {{"station", s.layout.dir.string()}, {"backup", dest.string()}};
    std::string dbFile;
    try {
        db::ConnectionString target = db::ConnectionString::parse(s.connectionString);
        if (target.backend == db::Backend::Sqlite3 && target.database != ":memory:") dbFile = target.database;
    } catch (const std::exception&) {
        // Not a string the station can use: nothing to copy.
    }
    if (!dbFile.empty()) {
        backupSqlite(dbFile, dest / "station.db");
        out["database"] = "copied";
    } else {
        out["database"] = "not copied";
        out["note"] = "the station's database is not SQLite: copy it with its own tool (pg_dump for PostgreSQL)";
    }
    int files = 0;
    for (auto it = fs::recursive_directory_iterator(s.layout.dir); it != fs::recursive_directory_iterator(); ++it) {
        fs::path rel = fs::relative(it->path(), s.layout.dir);
        if (!stationFile(rel)) continue;
        if (it->is_directory()) fs::create_directories(dest / rel);
        else if (it->is_regular_file()) {
            fs::copy_file(it->path(), dest / rel, fs::copy_options::overwrite_existing);
            ++files;
        }
    }
    // The copy is a station of its own: its paths name its own files.
    ownPaths(s, dest, !dbFile.empty());
    fs::permissions(dest / "geracupom.conf", fs::perms::owner_read | fs::perms::owner_write, ec);
    out["files"] = files;
    return out;
}

}  // namespace zel::host
