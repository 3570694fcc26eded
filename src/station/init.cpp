// Making a station: the demo or an empty one, on the station's own SQLite
// database or on a PostgreSQL server shared by several registers.
#include <fstream>
#include <optional>

#include <fmt/format.h>

#include "station/init.h"
#include "station/operator.h"
#include "station/lock.h"
#include "platform/db/connection.h"

namespace zel::host {

fs::path initStation(const fs::path& dirIn, const InitOptions& o, std::ostream* out) {
    fs::path dir = fs::absolute(dirIn).lexically_normal();
    station::Layout layout{dir};
    if (fs::exists(layout.config()))
        throw StationError(fmt::format("{}: a station already exists here (choose another directory)", dir.string()));
    if (fs::exists(dir) && !fs::is_empty(dir))
        throw StationError(
            fmt::format("{}: the directory is not empty (a station needs a directory of its own)", dir.string()));
    if (o.branch.empty() || o.branch.size() > 4)
        throw StationError(fmt::format("branch \"{}\": 1 to 4 characters", o.branch));
    if (o.register_.empty() || o.register_.size() > 3)
        throw StationError(fmt::format("register \"{}\": 1 to 3 characters", o.register_));
    DateTime day = o.day ? o.day->dateOnly() : SystemClock().today();
    station::StationData d =
        o.demo ? station::demoStation(day, o.seed, o.consumersPerClient) : station::sampleStation(day);
    if (!o.demo) d.passages.clear();
    d.cdFilial = o.branch;
    d.cdCaixa = o.register_;
    // Each register has its own printer: coupons are known by serial and number.
    d.nrSerieImp = fmt::format("SIM{}{}", o.branch, o.register_);
    d.ecfImp = o.register_;
    d.connectionString = o.database;
    std::vector<station::Passage> passages = std::move(d.passages);
    d.passages.clear();
    if (!d.connectionString.empty()) {
        db::Connection probe(d.connectionString);
        try {
            probe.connect();
        } catch (const std::exception& e) {
            // The message names the database, never its password.
            throw StationError(
                fmt::format("the database {} cannot be reached: {}", maskedConnection(d.connectionString), e.what()));
        }
    }
    bool created = !fs::exists(dir);
    fs::create_directories(dir);
    // Nothing charges a station while it is being made; a second init of the
    // same directory is refused here, before it touches anything.
    std::optional<StationLock> lock;
    lock.emplace(StationLock::acquire(dir, "init"));
    if (fs::exists(layout.config()))
        throw StationError(fmt::format("{}: a station already exists here (choose another directory)", dir.string()));
    try {
        station::createStation(dir, d);
    } catch (const std::exception& e) {
        // Nothing half made: a directory this command made goes again.
        std::error_code ec;
        if (created) fs::remove_all(dir, ec);
        else
            for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
        throw StationError(fmt::format("{}: the station could not be made: {}", dir.string(), e.what()));
    }
    lock.reset();
    if (out)
        *out << "made the station " << dir.string() << " (branch " << o.branch << ", register " << o.register_ << ")\n";
    if (!passages.empty()) {
        // The day's passages go in through the import, like any turnstile file.
        fs::path file = dir / "demo-passages.csv";
        {
            std::ofstream csv(file);
            csv << "# identification code;date;hour;branch;register\n";
            for (const station::Passage& p : passages) {
                CalendarFields f = p.data.fields();
                csv << p.cdIdConsumid << ";" << fmt::format("{:04}-{:02}-{:02}", f.year, f.month, f.day) << ";"
                    << p.hora.substr(0, 2) << ":" << p.hora.substr(2, 2)
                    << (p.hora.size() >= 6 ? ":" + p.hora.substr(4, 2) : std::string()) << ";" << o.branch << ";"
                    << o.register_ << "\n";
            }
        }
        Station s = openStation(dir);
        ImportResult r = importPassages(s, file);
        if (out)
            *out << "imported " << r.imported << " demo passage(s) from " << file.string() << " as import record "
                 << r.importRecord << "\n";
    }
    return dir;
}

}  // namespace zel::host
