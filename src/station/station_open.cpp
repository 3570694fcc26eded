// Opening a station directory: every part checked before anything is touched,
// so that a wrong station is told in words a person can act on.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

#include <fmt/format.h>

#include "platform/dataset/table.h"
#include "station/host.h"
#include "station/operator.h"

namespace zel::host {
namespace {

const char* kTableFiles[] = {"ProdServtCon.cds", "ProdrServ.cds",    "Produtos.cds",   "ControleAcess.cds",
                             "FamSaldoFili.cds", "AliqSistema.cds",  "AliqImpFis.cds", "ConfTipoRece.cds",
                             "Cad_Cliente.cds",  "DataMovimento.cds"};

bool startsWithIgnoringCase(const std::string& text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The parameters the station needs around the service's requests, and the
// sale directory checked before anything is printed.
StationParams readParams(const Station& s) {
    StationParams p;
    const fs::path file = s.layout.parameters();
    std::string dsDirCad;
    try {
        ds::Table t("ParametrosZel", {}, {}, {}, s.formatSettings);
        t.loadFromFile(file);
        auto text = [&](const char* f) { return t.fieldIndex(f) >= 0 ? t.field(f).asString() : std::string(); };
        p.idEsquema = text("IDESQUEMA");
        p.cdEmpresa = text("CDEMPRESA");
        p.nrSerieImp = text("NRSERIEIMP");
        p.modelo = text("DSMODELOECFVE");
        p.marca = text("DSMARCAECFVE");
        p.ecfImp = text("ECFIMP");
        dsDirCad = text("DSDIRCAD");
    } catch (const std::exception& e) {
        throw StationError(fmt::format("{}: {}", file.string(), e.what()));
    }
    const fs::path movement = s.layout.table("DataMovimento.cds");
    try {
        ds::Table m("DataMovimento", {}, {}, {}, s.formatSettings);
        m.loadFromFile(movement);
        if (m.fieldIndex("DATAMOVIMENTO") >= 0) p.dataMovimento = m.field("DATAMOVIMENTO").asDateTime();
    } catch (const std::exception& e) {
        throw StationError(fmt::format("{}: {}", movement.string(), e.what()));
    }
    // DSDIRCAD: the station's sale directory with its separator, relative to
    // the station (as the station writes it) or absolute (as an installation
    // may give it).
    auto bad = [&](const std::string& why) {
        return StationError(
            fmt::format("{}: the parameter DSDIRCAD \"{}\" {}; it must name the station's sale "
                        "directory, e.g. \"{}\"",
                        file.string(), dsDirCad, why, s.layout.ownDsDirCad()));
    };
    if (dsDirCad.empty()) throw bad("is empty");
    if (dsDirCad.back() != '/') throw bad("does not end with its separator");
    fs::path dirCad(dsDirCad);
    if (!dirCad.is_absolute()) dirCad = (s.layout.dir / dirCad).lexically_normal();
    std::error_code ec;
    if (!fs::is_directory(dirCad, ec)) throw bad("is not a directory");
    fs::path canonicalDir = fs::weakly_canonical(dirCad, ec);
    fs::path canonicalStation = fs::weakly_canonical(s.layout.dir, ec);
    auto rel = canonicalDir.lexically_relative(canonicalStation);
    if (rel.empty() || *rel.begin() == "..") throw bad("is outside the station");
    if (::access(dirCad.c_str(), W_OK) != 0) throw bad(std::string("cannot be written: ") + std::strerror(errno));
    p.saleDir = dirCad;
    return p;
}

}  // namespace

StationError databaseError(const Station& s, const std::string& what, const std::exception& e) {
    return StationError(
        fmt::format("the database of the station {}: check that it runs and that the key "
                    "\"database\" of {} names it, then try again",
                    what, kStationConfigFile),
        fmt::format("{} ({}): {}", s.layout.dir.string(), maskedConnection(s.connectionString), e.what()));
}

Station openStation(const fs::path& dirIn) {
    if (dirIn.empty()) throw StationError("no station directory given");
    std::error_code ec;
    if (!fs::is_directory(dirIn, ec))
        throw StationError(fmt::format("{}: no such directory (make a station with: geracupom init {})", dirIn.string(),
                                       dirIn.string()));
    Station s;
    s.layout = station::Layout{fs::absolute(dirIn).lexically_normal()};
    const fs::path dir = s.layout.dir;
    if (!fs::exists(s.layout.config()))
        throw StationError(fmt::format("{} is not a station: {} is missing (make one with: geracupom init {})",
                                       dir.string(), s.layout.config().filename().string(), dir.string()));
    try {
        s.config = StationConfig::load(s.layout.config());
    } catch (const Error& e) {
        throw StationError(e.what());
    }
    const std::string& src = s.config.source();
    // Every key must be one this program reads: a mistyped key would
    // otherwise be ignored without a word.
    static const std::set<std::string> known = {
        "database", "branch", "register", "decimal_separator", "short_date_format", "long_time_format", "code_page"};
    for (const StationConfig::Entry& e : s.config.entries()) {
        std::string k = lower(e.key);
        if (known.count(k) || startsWithIgnoringCase(k, "database.") ||
            startsWithIgnoringCase(k, ext::PrinterFaults::kKeyPrefix) || startsWithIgnoringCase(k, kCrashKeyPrefix))
            continue;
        throw StationError(
            fmt::format("{}:{}: unknown key \"{}\" (known: database, branch, register, "
                        "decimal_separator, short_date_format, long_time_format, code_page, "
                        "printer.fault.<operation>, crash.after.<operation>)",
                        src, e.line, e.key));
    }
    auto required = [&](const char* key, const char* what) {
        std::optional<std::string> v = s.config.get(key);
        if (!v || v->empty())
            throw StationError(fmt::format("{}: the key \"{}\" ({}) is missing or empty", src, key, what));
        return *v;
    };
    auto lineOf = [&](const char* key) {
        for (const auto& e : s.config.entries())
            if (lower(e.key) == key) return e.line;
        return 0;
    };
    // A SQLite file given by a relative path lies in the station directory.
    s.connectionString =
        db::anchoredConnectionString(required("database", "the connection string, e.g. sqlite3://db=station.db"), dir);
    s.branch = required("branch", "the branch code CDFILIAL, e.g. 0001");
    s.register_ = required("register", "the cash register code CDCAIXA, e.g. 001");
    if (s.branch.size() > 4)
        throw StationError(
            fmt::format("{}:{}: branch \"{}\" is longer than 4 characters", src, lineOf("branch"), s.branch));
    if (s.register_.size() > 3)
        throw StationError(
            fmt::format("{}:{}: register \"{}\" is longer than 3 characters", src, lineOf("register"), s.register_));

    FormatSettings fsx;
    if (auto v = s.config.get("decimal_separator")) {
        if (v->size() != 1 || (*v != "," && *v != "."))
            throw StationError(fmt::format("{}:{}: decimal_separator must be \",\" or \".\", not \"{}\"", src,
                                           lineOf("decimal_separator"), *v));
        fsx.decimalSeparator = (*v)[0];
        fsx.thousandSeparator = fsx.decimalSeparator == ',' ? '.' : ',';
    }
    if (auto v = s.config.get("short_date_format")) {
        if (v->find('d') == std::string::npos || v->find('m') == std::string::npos || v->find('y') == std::string::npos)
            throw StationError(fmt::format("{}:{}: short_date_format \"{}\" needs d, m and y (e.g. dd/mm/yyyy)", src,
                                           lineOf("short_date_format"), *v));
        fsx.shortDateFormat = *v;
    }
    if (auto v = s.config.get("long_time_format")) {
        if (v->find('h') == std::string::npos || v->find('n') == std::string::npos)
            throw StationError(fmt::format("{}:{}: long_time_format \"{}\" needs h and n (e.g. hh:nn:ss)", src,
                                           lineOf("long_time_format"), *v));
        fsx.longTimeFormat = *v;
    }
    if (auto v = s.config.get("code_page"); v && lower(*v) != "windows-1252" && lower(*v) != "cp1252")
        throw StationError(fmt::format("{}:{}: code_page \"{}\" is not supported (the table files are windows-1252)",
                                       src, lineOf("code_page"), *v));
    s.formatSettings = fsx;
    try {
        s.faults = ext::PrinterFaults::fromStationConfig(s.config);
        s.crash = CrashPoints::fromConfig(s.config);
    } catch (const Error& e) {
        throw StationError(e.what());
    }

    // The files of a station.
    auto need = [&](const fs::path& p, const char* what) {
        if (!fs::exists(p))
            throw StationError(fmt::format("{} is not a complete station: {} ({}) is missing", dir.string(),
                                           fs::relative(p, dir).string(), what));
    };
    // A table file must be a file the program can read: a directory or an
    // unreadable file in its place would be skipped by the service's loading
    // and sales stored without what it holds.
    auto needFile = [&](const fs::path& p, const char* what) {
        need(p, what);
        std::error_code e;
        if (!fs::is_regular_file(p, e)) throw StationError(fmt::format("{}: {} is not a file", p.string(), what));
        if (::access(p.c_str(), R_OK) != 0)
            throw StationError(fmt::format("{}: {} cannot be read: {}", p.string(), what, std::strerror(errno)));
    };
    needFile(s.layout.parameters(), "the parameter file");
    for (const char* f : kTableFiles) needFile(s.layout.table(f), "a cached table file");
    need(s.layout.saleDir(), "the sale directory");
    need(s.layout.identification(), "the identification file");
    need(ext::SimulatedPrinterFiles::inStation(dir).state, "the printer's state");
    s.params = readParams(s);
    // The station's own SQLite file must be there: connecting would make a new, empty one.
    std::optional<db::ConnectionString> target;
    try {
        target = db::ConnectionString::parse(s.connectionString);
    } catch (const std::exception&) {
        // Connecting tells what is wrong with the string.
    }
    if (target && target->backend == db::Backend::Sqlite3 && target->database != ":memory:" &&
        !fs::exists(target->database))
        throw StationError(
            fmt::format("{}:{}: the database file {} does not exist{}", src, lineOf("database"), target->database,
                        fs::exists(s.layout.database()) ? " (a station moved from elsewhere? its own database is named "
                                                          "sqlite3://db=" +
                                                              s.layout.database().filename().string() + ")"
                                                        : ""));
    return s;
}

}  // namespace zel::host
