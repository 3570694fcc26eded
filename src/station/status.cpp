// What a station holds right now: pending passages, the printer's counters
// and open coupon, the last run; and the printer's tape.
#include <fstream>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "external/printer/printer_tape.h"
#include "external/utility/util_connection.h"
#include "station/host.h"
#include "station/journal.h"
#include "station/operator.h"
#include "station/outbox.h"
#include "station/store.h"
#include "platform/db/connection.h"

namespace zel::host {

using json = nlohmann::json;

json stationStatus(const Station& s) {
    json j;
    j["station"] = s.layout.dir.string();
    j["branch"] = s.branch;
    j["register"] = s.register_;
    // The connection string is shown without its password.
    j["database"] = maskedConnection(s.connectionString);
    db::Connection c(s.connectionString);
    try {
        util::TryConnect(c, {1, std::chrono::milliseconds(0)});
        std::map<std::string, int> perRecord;
        int total = 0;
        std::string oldest;
        for (const PendingPassage& p : Store(c, s.branch, s.register_).pendingPassages()) {
            ++perRecord[p.passage.nrSeqArqImp];
            ++total;
            if (oldest.empty() || p.moment < oldest) oldest = p.moment;
        }
        if (!oldest.empty()) j["oldest_pending"] = oldest;
        j["pending"] = total;
        j["pending_by_import_record"] = perRecord;
        j["outbox"] = Outbox(s.layout.dir / "outbox").entries().size();
    } catch (const std::exception& e) {
        throw databaseError(s, "cannot be reached", e);
    }
    SystemClock clock;
    ext::SimulatedPrinter printer(ext::SimulatedPrinterFiles::inStation(s.layout.dir), clock, s.formatSettings);
    ext::PrinterStatus p = printer.status();
    json pj;
    pj["usable"] = p.usable;
    if (!p.usable) pj["problem"] = p.problem;
    pj["serial"] = p.identity.serial;
    pj["last_coupon"] = p.cupNr;
    pj["last_counter"] = p.contCupom;
    pj["grand_total"] = static_cast<double>(p.grandTotalCents) / 100;
    pj["cancelled_total"] = static_cast<double>(p.cancelTotalCents) / 100;
    pj["coupon_open"] = p.couponOpen;
    if (p.couponOpen) {
        pj["open_coupon"] = p.openCupNr;
        pj["open_items"] = p.openItems;
    }
    j["printer"] = pj;
    j["item_file_present"] = fs::exists(s.layout.itemFile());
    j["interrupted_run"] = Journal(s.layout.dir / "run-current.json").read().has_value();
    if (fs::exists(s.layout.lastRun())) {
        try {
            std::ifstream in(s.layout.lastRun());
            json last = json::parse(in);
            j["last_run"] = {{"finished", last.value("finished", "")},
                             {"totals", last["totals"]},
                             {"repairs", last["repairs"]},
                             {"exit_status", last.value("exit_status", -1)}};
        } catch (const std::exception& e) {
            j["last_run"] = {{"problem", std::string("last-run.json cannot be read: ") + e.what()}};
        }
    }
    return j;
}

int statusExitCode(const json& j, double olderThanMinutes) {
    const json& p = j["printer"];
    if (!p.value("usable", false)) return 2;
    if (p.value("coupon_open", false) || j.value("outbox", 0) > 0 || j.value("interrupted_run", false)) return 1;
    if (j.contains("oldest_pending")) {
        DateTime oldest = parseMoment(j.value("oldest_pending", ""));
        double minutes = (SystemClock().now().value() - oldest.value()) * 24 * 60;
        if (minutes > olderThanMinutes) return 1;
    }
    return 0;
}

std::string statusText(const json& j) {
    std::ostringstream o;
    o << "station   " << j.value("station", "") << " (branch " << j.value("branch", "") << ", register "
      << j.value("register", "") << ")\n";
    o << "pending   " << j.value("pending", 0) << " passage(s)";
    if (j.contains("pending_by_import_record") && !j["pending_by_import_record"].empty()) {
        o << " —";
        for (auto& [k, v] : j["pending_by_import_record"].items()) o << " record " << k << ": " << v.get<int>();
    }
    if (j.contains("oldest_pending")) o << "; the oldest of " << j.value("oldest_pending", "");
    o << "\n";
    const json& p = j["printer"];
    o << "printer   " << p.value("serial", "")
      << (p.value("usable", false) ? "" : " UNUSABLE: " + p.value("problem", "")) << "; last coupon "
      << p.value("last_coupon", "") << ", counter " << p.value("last_counter", "")
      << fmt::format(", grand total {:.2f}, cancelled {:.2f}", p.value("grand_total", 0.0),
                     p.value("cancelled_total", 0.0))
      << "\n";
    if (p.value("coupon_open", false))
        o << "          coupon " << p.value("open_coupon", "") << " is OPEN with " << p.value("open_items", 0)
          << " item(s); the next run cancels it\n";
    if (j.value("interrupted_run", false)) o << "a run was interrupted; the next run repairs it\n";
    if (j.contains("last_run")) {
        const json& l = j["last_run"];
        if (l.contains("totals"))
            o << fmt::format(
                "last run  {}: {} passage(s), {} concluded ({:.2f}), {} cancelled, {} refused, {} "
                "pending; exit status {}\n",
                l.value("finished", ""), l["totals"].value("passages", 0), l["totals"].value("concluded", 0),
                l["totals"].value("amount", 0.0), l["totals"].value("cancelled", 0), l["totals"].value("refused", 0),
                l["totals"].value("pending", 0), l.value("exit_status", -1));
        else o << "last run  " << l.value("problem", "") << "\n";
    } else {
        o << "last run  none\n";
    }
    return o.str();
}

std::string tapeText(const Station& s, size_t last) {
    auto receipts = ext::readTapeReceipts(ext::SimulatedPrinterFiles::inStation(s.layout.dir).tape);
    size_t from = last == 0 || last >= receipts.size() ? 0 : receipts.size() - last;
    std::ostringstream o;
    for (size_t i = from; i < receipts.size(); ++i) {
        for (const std::string& line : receipts[i]) o << line << "\n";
        o << "\n";
    }
    if (receipts.empty()) o << "(the tape is empty)\n";
    return o.str();
}

}  // namespace zel::host
