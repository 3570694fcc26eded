// A run of the station: under its lock, the recovery of what an earlier run
// left, then the pending passages of the station's branch and register, one
// call of GeraCupomVenda per import record, with progress, messages and the
// outcome of each passage read back from the database and the printer.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "external/service_db/service_package_db.h"
#include "external/utility/util_connection.h"
#include "external/utility/utility.h"
#include "platform/dataset/codec.h"
#include "platform/atomic_file.h"
#include "platform/db/query.h"
#include "service/module.h"
#include "station/host.h"
#include "station/journal.h"
#include "station/lock.h"
#include "station/recovery.h"
#include "station/serve.h"
#include "station/session.h"
#include "station/store.h"

namespace zel::host {
namespace {

using json = nlohmann::json;

// The station clock: starts at the moment given and runs on with the machine.
class RunningClock final : public Clock {
  public:
    explicit RunningClock(DateTime start) : start_(start), steady_(std::chrono::steady_clock::now()) {}
    DateTime now() const override {
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - steady_).count();
        return DateTime(start_.value() + static_cast<double>(ms) / DateTime::kMsPerDay);
    }

  private:
    DateTime start_;
    std::chrono::steady_clock::time_point steady_;
};

db::Connection& connect(db::Connection& c, const Station& s) {
    try {
        util::TryConnect(c, {1, std::chrono::milliseconds(0)});
        util::SetADODBSession(c);
    } catch (const std::exception& e) {
        throw databaseError(s, "cannot be reached", e);
    }
    return c;
}

void logRepairs(const Station& s, const Clock& clock, const std::vector<std::string>& repairs) {
    if (repairs.empty()) return;
    ext::LogFileSink log(s.layout.log());
    for (const std::string& r : repairs) {
        ext::Message m;
        m.moment = clock.now();
        m.text = "recovery: " + r;
        m.kind = ext::TTipoMsg::Aviso;
        m.idEsquema = s.params.idEsquema;
        log.deliver(m);
    }
}

// The station may charge only when its disk and database can take what a sale
// writes: seen before any coupon is printed.
void checkResources(const Station& s, Store& store, db::Connection& c) {
    std::error_code ec;
    fs::space_info space = fs::space(s.layout.dir, ec);
    constexpr uintmax_t kMinFree = 8u << 20;
    if (!ec && space.available < kMinFree)
        throw StationError(
            fmt::format("the disk of the station {} is full ({} KiB free): free some space, then run "
                        "again",
                        s.layout.dir.string(), space.available / 1024));
    try {
        store.probeWrite();
    } catch (const std::exception& e) {
        throw databaseError(s, "does not accept writes", Error(util::ADOExceptionMessage(e, c, "")));
    }
}

std::unique_ptr<ext::SimulatedPrinter> openPrinter(const Station& s, const Clock& clock, ext::PrinterFaults faults) {
    auto printer = std::make_unique<ext::SimulatedPrinter>(ext::SimulatedPrinterFiles::inStation(s.layout.dir), clock,
                                                           s.formatSettings, std::move(faults));
    if (!printer->usable())
        throw StationError(
            "the printer of the station cannot be used: its memory (printer-state.json) is missing or "
            "damaged; restore it from a backup of the station",
            fmt::format("{}: {}", s.layout.dir.string(), printer->problem()));
    return printer;
}

// Messages of the run: to the log, to the display, and to the passage being worked on.
class RunSink final : public ext::MessageSink {
  public:
    explicit RunSink(std::function<void(const ext::Message&)> f) : f_(std::move(f)) {}
    void deliver(const ext::Message& m) override { f_(m); }

  private:
    std::function<void(const ext::Message&)> f_;
};

class Display {
  public:
    Display(const RunDisplay& d, size_t total) : d_(d), total_(total) {}
    void progress(size_t done, const std::string& text) {
        if (!d_.out) return;
        if (d_.bar) {
            const int width = 24;
            int filled = total_ ? static_cast<int>(width * done / total_) : width;
            std::string t = printable(text.size() > 60 ? text.substr(0, 57) + "..." : text);
            *d_.out << "\r\033[K[" << std::string(filled, '#') << std::string(width - filled, '.') << "] " << done
                    << "/" << total_ << " " << t << std::flush;
            shown_ = true;
        } else {
            *d_.out << printable(text) << "\n";
        }
    }
    void line(const std::string& text) {
        if (!d_.out) return;
        if (d_.bar && shown_) *d_.out << "\r\033[K";
        *d_.out << printable(text) << "\n";
        shown_ = false;
    }
    void end() {
        if (d_.out && d_.bar && shown_) *d_.out << "\r\033[K" << std::flush;
        shown_ = false;
    }

  private:
    RunDisplay d_;
    size_t total_;
    bool shown_ = false;
};

// One batch: the passages of one import record, one request of the service.
struct Batch {
    std::vector<PassageResult*> results;
    std::vector<station::Passage> passages;
    std::vector<CurrentPassage> journal;
    std::vector<int64_t> couponAfter;
    std::vector<std::optional<int64_t>> repairedCoupon;
    int current = -1;
    bool stopped = false;  // the station is stopping: the request was ended before a consumer
};

// What became of each passage of a batch, from the ledger, the database's
// record of each coupon, the outbox and the printer's memory.
void settleOutcomes(Batch& b, Store& store, Recovery& recovery, const ext::SimulatedPrinter& printer,
                    const std::vector<std::string>& requestMessages) {
    std::string lo = b.journal.front().moment, hi = lo;
    for (const CurrentPassage& p : b.journal) lo = std::min(lo, p.moment), hi = std::max(hi, p.moment);
    std::map<PassageKey, Charge> charged = store.charges(lo, hi);
    const std::string serial = printer.state().identity.serial;
    for (size_t k = 0; k < b.results.size(); ++k) {
        PassageResult& r = *b.results[k];
        const CurrentPassage& p = b.journal[k];
        bool reached = static_cast<int>(k) <= b.current;
        if (auto c = charged.find({p.client, p.consumer, p.moment}); c != charged.end()) {
            r.outcome = Outcome::Concluded;
            r.coupon = c->second.coupon;
            r.amount = c->second.total;
            try {
                if (store.rowPending(p.seq)) {
                    store.deleteTurnstileRow(p.seq);
                    r.messages.push_back("the turnstile row of this charged passage is deleted by the station");
                }
            } catch (const std::exception& e) {
                r.messages.push_back(fmt::format(
                    "its turnstile row could not be deleted ({}); it is never charged again and the next run "
                    "deletes it",
                    e.what()));
            }
            continue;
        }
        int64_t coupon = 0;
        if (reached && b.couponAfter[k] > p.couponBefore) coupon = b.couponAfter[k];
        if (coupon != 0) {
            r.coupon = couponText(coupon);
            if (store.couponFate(serial, coupon) == CouponFate::Cancelled) {
                r.outcome = Outcome::Cancelled;
                continue;
            }
            if (recovery.outbox().holds(couponText(coupon))) {
                r.outcome = Outcome::Cancelled;
                r.messages.push_back("its cancelled sale waits in the station's outbox: the database refused it");
                continue;
            }
            r.outcome = Outcome::Pending;
            r.messages.push_back(fmt::format("coupon {} is not accounted for yet: the next run repairs it", r.coupon));
            continue;
        }
        if (!r.messages.empty()) {
            r.outcome = Outcome::Refused;
            continue;
        }
        r.outcome = Outcome::Pending;
        if (!reached)
            r.messages.push_back(requestMessages.empty()
                                     ? std::string("not reached: the request ended before this passage")
                                     : "not reached: the request ended before this passage: " + requestMessages.back());
        else r.messages.push_back("the service gave no reason; the passage stays pending");
    }
}

}  // namespace

std::unique_ptr<Clock> stationClock(const std::optional<DateTime>& now) {
    if (now) return std::make_unique<RunningClock>(*now);
    return std::make_unique<SystemClock>();
}

const char* outcomeName(Outcome o) {
    switch (o) {
        case Outcome::Concluded:
            return "concluded";
        case Outcome::Cancelled:
            return "cancelled";
        case Outcome::Refused:
            return "refused";
        case Outcome::Pending:
            return "pending";
    }
    return "?";
}

// The reasons kept for passages left pending, by NRSEQLOGCAT.
static fs::path reasonsFile(const fs::path& dir) { return dir / "pending-reasons.json"; }

std::map<std::string, PendingReason> readPendingReasons(const fs::path& dir) {
    std::map<std::string, PendingReason> out;
    std::ifstream in(reasonsFile(dir));
    if (!in) return out;
    try {
        json j = json::parse(in);
        for (auto& [seq, r] : j.items()) out[seq] = {r.value("outcome", ""), r.value("reason", ""), r.value("at", "")};
    } catch (const std::exception&) {
        // A damaged file costs the reasons, nothing else: the next pass writes it again.
    }
    return out;
}

struct ChargingSession::Impl {
    Station& s;
    RunOptions options;
    std::unique_ptr<Clock> clock;
    db::Connection c;
    Store store;
    PackageTimes localTimes;
    PackageTimes& times;
    std::unique_ptr<ext::SimulatedPrinter> printer;
    ext::DatabaseServicePackage service;
    std::unique_ptr<Recovery> recovery;
    HostDevice device;
    HostService hostService;
    Journal journal;
    Batch batch;
    size_t done = 0;
    std::unique_ptr<Display> live;
    ext::LogFileSink logSink;
    std::vector<std::string> requestMessages;
    std::vector<std::string> tablesReadAgain;  // by the last request
    RunSink runSink;
    ext::FanOutSink sink;
    ext::Messenger messenger;
    ServiceHost host;
    std::unique_ptr<TrdmGeraCupomVenda> ownModule;
    station::StationData shape;
    const std::atomic<bool>* stop = nullptr;

    Impl(Station& st, const RunOptions& o)
        : s(st),
          options(o),
          clock(stationClock(o.now)),
          c(st.connectionString),
          store(connect(c, st), st.branch, st.register_),
          times(o.times ? *o.times : localTimes),
          printer(openPrinter(st, *clock, st.faults)),
          service(st.connectionString, st.formatSettings, *clock),
          device(*printer, st.crash, times),
          hostService(service, st.crash, times),
          journal(st.layout.dir / "run-current.json"),
          logSink(st.layout.log()),
          runSink([this](const ext::Message& m) { deliver(m); }),
          sink({&logSink, &runSink}),
          messenger(sink, *clock) {
        recovery = std::make_unique<Recovery>(s, store, *printer, service);
        service.setProgress([this](const std::string& text) { started(text); }, [this] { ended(); });
        host.baseDir = s.layout.dir;
        host.clock = clock.get();
        host.formatSettings = s.formatSettings;
        host.device = &device;
        host.service = &hostService;
        host.messenger = &messenger;
        if (options.libraryEntry) registerServiceHost(host);
        else ownModule = std::make_unique<TrdmGeraCupomVenda>(host);
        shape.cdFilial = s.branch;
        shape.cdCaixa = s.register_;
        shape.formatSettings = s.formatSettings;
    }

    bool stopping() const { return stop && stop->load(); }
    int64_t lastCupNr() const { return printer->usable() ? printer->state().cupNr : 0; }

    void deliver(const ext::Message& m) {
        if (!batch.stopped && batch.current >= 0 && batch.current < static_cast<int>(batch.results.size()))
            batch.results[batch.current]->messages.push_back(m.text);
        else requestMessages.push_back(m.text);
        if (live) live->line(m.text);
    }

    // A consumer begins. Once the station is stopping no other begins: the
    // request ends here and the rest of its batch stays pending.
    void started(const std::string& text) {
        if (stopping()) {
            batch.stopped = true;
            throw Error("the station is stopping; the rest of the batch stays pending");
        }
        ++batch.current;
        if (batch.current < static_cast<int>(batch.journal.size())) {
            CurrentPassage& p = batch.journal[batch.current];
            p.couponBefore = lastCupNr();
            journal.begin(p);
        }
        if (live) live->progress(done + 1, text);
    }

    void ended() {
        if (batch.stopped) return;
        ++done;
        if (batch.current < 0 || batch.current >= static_cast<int>(batch.journal.size())) return;
        // The service is done with this consumer: a coupon it left behind
        // is settled now, so that the next consumer finds the printer free.
        try {
            batch.repairedCoupon[batch.current] = recovery->afterConsumer(batch.journal[batch.current]);
        } catch (const std::exception& e) {
            batch.results[batch.current]->messages.push_back(e.what());
        }
        batch.couponAfter[batch.current] = lastCupNr();
        journal.clear();
    }

    std::vector<PendingPassage> pendingNotCharged() {
        std::vector<PendingPassage> pending;
        try {
            pending = store.pendingPassages();
        } catch (const std::exception& e) {
            throw databaseError(s, "does not give the pending passages", Error(util::ADOExceptionMessage(e, c, "")));
        }
        // A passage the ledger holds as charged is never handed to the service
        // again, even when its turnstile row could not be deleted.
        std::map<PassageKey, Charge> charged = store.chargesOf(pending);
        std::erase_if(pending, [&](const PendingPassage& p) { return charged.count(p.key()) > 0; });
        return pending;
    }

    void prepareBatch(RunReport& report, const std::vector<PendingPassage>& pending, size_t i, size_t j) {
        const std::string record = pending[i].passage.nrSeqArqImp;
        batch = Batch{};
        requestMessages.clear();
        size_t first = report.passages.size();
        for (size_t k = i; k < j; ++k) {
            const station::Passage& p = pending[k].passage;
            batch.passages.push_back(p);
            batch.journal.push_back(
                {record, p.nrSeqLogCat, p.cdCliente, p.cdConsumidor, p.nmConsumidor, pending[k].moment, 0});
            PassageResult r;
            r.nrSeqLogCat = p.nrSeqLogCat;
            r.nrSeqArqImp = p.nrSeqArqImp;
            r.cdConsumidor = p.cdConsumidor;
            r.cdCliente = p.cdCliente;
            r.nmConsumidor = p.nmConsumidor;
            r.moment = pending[k].moment;
            report.passages.push_back(std::move(r));
        }
        for (size_t k = first; k < report.passages.size(); ++k) batch.results.push_back(&report.passages[k]);
        batch.couponAfter.assign(batch.results.size(), 0);
        batch.repairedCoupon.assign(batch.results.size(), std::nullopt);
    }

    void request() {
        VariantArray request = {Variant::packet(station::requestPacket(shape, batch.passages))};
        Variant result;
        auto module = [&]() -> TrdmGeraCupomVenda* { return ownModule ? ownModule.get() : rdmGeraCupomVenda; };
        auto moduleDbTime = [&]() -> std::chrono::nanoseconds {
            TrdmGeraCupomVenda* m = module();
            return m ? m->db.adcGeraCupomVenda.statementTime() : std::chrono::nanoseconds(0);
        };
        std::map<std::string, uint64_t> readsBefore;
        if (TrdmGeraCupomVenda* m = module()) readsBefore = m->fileReads;
        auto requestStarted = std::chrono::steady_clock::now();
        auto dbBefore = moduleDbTime();
        ds::PacketFileTimes filesBefore = ds::packetFileTimes();
        if (ownModule) {
            try {
                ownModule->request(request, result);
            } catch (const std::exception& e) {
                requestMessages.push_back(std::string("the request ended: ") + e.what());
            }
        } else {
            Srv_Zel92000::GeraCupomVenda(request, result);
        }
        ds::PacketFileTimes filesAfter = ds::packetFileTimes();
        times.tableFiles += (filesAfter.read - filesBefore.read) + (filesAfter.write - filesBefore.write);
        times.moduleDatabase += moduleDbTime() - dbBefore;
        times.requests += std::chrono::steady_clock::now() - requestStarted;
        // A cached table file the module had read before and read again: it changed.
        if (TrdmGeraCupomVenda* m = module())
            for (const auto& [file, reads] : m->fileReads)
                if (auto b = readsBefore.find(file); b != readsBefore.end() && reads > b->second)
                    tablesReadAgain.push_back(file);
        journal.clear();
    }

    void writeReasons(const std::vector<PendingPassage>& pending, const RunReport& report, size_t from) {
        std::map<std::string, PendingReason> reasons = readPendingReasons(s.layout.dir);
        std::set<std::string> stillPending;
        for (const PendingPassage& p : pending) stillPending.insert(p.passage.nrSeqLogCat);
        std::erase_if(reasons, [&](const auto& r) { return !stillPending.count(r.first); });
        std::string at = db::sql::isoMoment(clock->now());
        for (size_t k = from; k < report.passages.size(); ++k) {
            const PassageResult& p = report.passages[k];
            if (p.outcome == Outcome::Concluded) reasons.erase(p.nrSeqLogCat);
            else reasons[p.nrSeqLogCat] = {outcomeName(p.outcome), p.messages.empty() ? "" : p.messages.back(), at};
        }
        json j = json::object();
        for (const auto& [seq, r] : reasons) j[seq] = {{"outcome", r.outcome}, {"reason", r.reason}, {"at", r.at}};
        try {
            writeFileAtomically(reasonsFile(s.layout.dir), j.dump(1), "the reasons of the pending passages",
                                Durability::Cached);
        } catch (const std::exception&) {
            // Only the pending command misses them.
        }
    }
};

ChargingSession::ChargingSession(Station& s, const RunOptions& options) : impl_(std::make_unique<Impl>(s, options)) {}
ChargingSession::~ChargingSession() = default;

std::set<std::string> ChargingSession::pendingSeqs() {
    std::set<std::string> out;
    for (const PendingPassage& p : impl_->store.pendingPassages()) out.insert(p.passage.nrSeqLogCat);
    return out;
}

const Clock& ChargingSession::clock() const { return *impl_->clock; }
void ChargingSession::setStopFlag(const std::atomic<bool>* flag) { impl_->stop = flag; }

std::vector<std::string> ChargingSession::recover() {
    Impl& m = *impl_;
    // A fresh recovery: the journal is read again and only this pass's repairs are told.
    m.recovery = std::make_unique<Recovery>(m.s, m.store, *m.printer, m.service);
    std::vector<std::string> repairs;
    try {
        checkResources(m.s, m.store, m.c);
        repairs = m.recovery->all();
    } catch (...) {
        logRepairs(m.s, *m.clock, m.recovery->repairs());
        throw;
    }
    logRepairs(m.s, *m.clock, repairs);
    Display display(m.options.display, 0);
    for (const std::string& r : repairs) display.line("repair: " + r);
    return repairs;
}

void ChargingSession::chargePending(RunReport& report) {
    Impl& m = *impl_;
    std::vector<PendingPassage> pending = m.pendingNotCharged();
    const size_t from = report.passages.size();
    report.passages.reserve(from + pending.size());
    size_t toldRepairs = m.recovery->repairs().size();
    m.done = 0;
    m.live = std::make_unique<Display>(m.options.display, pending.size());
    for (size_t i = 0; i < pending.size() && !m.stopping();) {
        size_t j = i;
        while (j < pending.size() && pending[j].passage.nrSeqArqImp == pending[i].passage.nrSeqArqImp) ++j;
        const std::string record = pending[i].passage.nrSeqArqImp;
        m.prepareBatch(report, pending, i, j);
        m.tablesReadAgain.clear();
        m.request();
        ++report.batches;
        for (const std::string& f : m.tablesReadAgain)
            if (std::find(report.tablesReadAgain.begin(), report.tablesReadAgain.end(), f) ==
                report.tablesReadAgain.end())
                report.tablesReadAgain.push_back(f);

        // The service credits a batch only when it ends well; the record gets
        // exactly the passages charged from it, whatever ended the request.
        try {
            if (!record.empty()) m.store.settleImportCredit(record);
            settleOutcomes(m.batch, m.store, *m.recovery, *m.printer, m.requestMessages);
        } catch (const std::exception& e) {
            // The database stopped answering: what the batch did is settled by
            // the next run, from the ledger and the printer's memory.
            for (PassageResult* r : m.batch.results) {
                r->outcome = Outcome::Pending;
                r->messages.push_back("not settled: the database stopped answering; the next run settles it");
            }
            report.couldNotRun = true;
            report.problem = reportedError(
                m.s.layout.dir,
                fmt::format("the database stopped answering during the batch of import record {}: see that it "
                            "runs; the next run settles the batch",
                            record),
                util::ADOExceptionMessage(e, m.c, ""), m.clock.get());
            break;
        }
        for (const std::string& msg : m.requestMessages) report.messages.push_back(msg);
        // The repairs made while charging (those of recover() were told by it).
        const std::vector<std::string>& repairs = m.recovery->repairs();
        for (size_t k = toldRepairs; k < repairs.size(); ++k)
            if (std::find(report.repairs.begin(), report.repairs.end(), repairs[k]) == report.repairs.end())
                report.repairs.push_back(repairs[k]);
        toldRepairs = repairs.size();
        // A batch in which no passage was reached could not run (the printer check refused).
        if (m.batch.current < 0 && !m.batch.results.empty() && !m.batch.stopped) {
            report.couldNotRun = true;
            report.problem =
                m.requestMessages.empty() ? std::string("the service processed no passage") : m.requestMessages.back();
            break;
        }
        i = j;
    }
    m.live->end();
    m.live.reset();
    m.writeReasons(pending, report, from);
}

std::vector<std::string> ChargingSession::reload(const Station& fresh) {
    Impl& m = *impl_;
    std::vector<std::string> lines;
    auto differs = [&](const char* what, const std::string& was, const std::string& now) {
        if (was != now) lines.push_back(fmt::format("{} changed; it takes effect when the service starts again", what));
    };
    differs("the database", m.s.connectionString, fresh.connectionString);
    differs("the branch", m.s.branch, fresh.branch);
    differs("the register", m.s.register_, fresh.register_);
    // The device forwarder counts against the station's crash points.
    m.s.crash = fresh.crash;
    return lines;
}

std::vector<std::string> recoverStation(Station& s, const Clock& clock, double waitSeconds) {
    StationLock lock = StationLock::acquire(s.layout.dir, "recovery", waitSeconds);
    db::Connection c(s.connectionString);
    connect(c, s);
    Store store(c, s.branch, s.register_);
    auto printer = openPrinter(s, clock, {});
    ext::DatabaseServicePackage service(s.connectionString, s.formatSettings, clock);
    Recovery recovery(s, store, *printer, service);
    std::vector<std::string> repairs;
    try {
        repairs = recovery.all();
    } catch (...) {
        logRepairs(s, clock, recovery.repairs());
        throw;
    }
    logRepairs(s, clock, repairs);
    return repairs;
}

RunReport runStation(Station& s, const RunOptions& options) {
    StationLock lock = StationLock::acquire(s.layout.dir, "run", options.waitSeconds);
    RunReport report;
    ChargingSession session(s, options);
    report.started = db::sql::isoMoment(session.clock().now());
    report.repairs = session.recover();
    session.chargePending(report);
    report.finished = db::sql::isoMoment(session.clock().now());
    try {
        writeFileAtomically(s.layout.lastRun(), report.toJson().dump(2), "the summary of the last run",
                            Durability::Cached);
    } catch (const std::exception&) {
        // The summary is still shown; only the status command misses it.
    }
    return report;
}

int RunReport::count(Outcome o) const {
    int n = 0;
    for (const PassageResult& p : passages) n += p.outcome == o;
    return n;
}

double RunReport::concludedAmount() const {
    double t = 0;
    for (const PassageResult& p : passages)
        if (p.outcome == Outcome::Concluded) t += p.amount;
    return static_cast<double>(std::llround(t * 100)) / 100;
}

int RunReport::exitStatus() const {
    if (couldNotRun) return 2;
    return count(Outcome::Concluded) == static_cast<int>(passages.size()) ? 0 : 1;
}

json RunReport::toJson() const {
    json j;
    j["started"] = started;
    j["finished"] = finished;
    j["repairs"] = repairs;
    j["batches"] = batches;
    j["could_not_run"] = couldNotRun;
    if (couldNotRun) j["problem"] = problem;
    j["messages"] = messages;
    j["passages"] = json::array();
    for (const PassageResult& p : passages) {
        json q = {{"passage", p.nrSeqLogCat},
                  {"import_record", p.nrSeqArqImp},
                  {"consumer", p.cdConsumidor},
                  {"client", p.cdCliente},
                  {"name", p.nmConsumidor},
                  {"moment", p.moment},
                  {"outcome", outcomeName(p.outcome)},
                  {"messages", p.messages}};
        if (!p.coupon.empty()) q["coupon"] = p.coupon;
        if (p.outcome == Outcome::Concluded) q["amount"] = p.amount;
        j["passages"].push_back(q);
    }
    j["totals"] = {{"passages", passages.size()},
                   {"concluded", count(Outcome::Concluded)},
                   {"cancelled", count(Outcome::Cancelled)},
                   {"refused", count(Outcome::Refused)},
                   {"pending", count(Outcome::Pending)},
                   {"amount", concludedAmount()}};
    j["exit_status"] = exitStatus();
    return j;
}

std::string RunReport::summaryText() const {
    std::ostringstream o;
    for (const std::string& r : repairs) o << "repaired: " << r << "\n";
    if (couldNotRun) o << "the request could not run: " << problem << "\n";
    if (passages.empty() && !couldNotRun) o << "no passage pending\n";
    for (const PassageResult& p : passages) {
        o << fmt::format("{:<10} {:<8} {:<24} {} ", outcomeName(p.outcome), p.cdConsumidor, p.nmConsumidor, p.moment);
        if (p.outcome == Outcome::Concluded)
            o << fmt::format("coupon {} {:>9.2f}", p.coupon.empty() ? "?" : p.coupon, p.amount);
        else if (p.outcome == Outcome::Cancelled) o << "coupon " << p.coupon << " cancelled";
        if (!p.messages.empty() && p.outcome != Outcome::Concluded) o << " — " << p.messages.back();
        o << "\n";
    }
    for (const std::string& m : messages) o << "message: " << m << "\n";
    o << fmt::format("totals: {} passages, {} concluded ({:.2f}), {} cancelled, {} refused, {} pending\n",
                     passages.size(), count(Outcome::Concluded), concludedAmount(), count(Outcome::Cancelled),
                     count(Outcome::Refused), count(Outcome::Pending));
    return o.str();
}

DateTime parseMoment(const std::string& t) {
    int y, mo, d, h, mi, sec = 0;
    char extra;
    int n = std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &extra);
    if ((n != 5 && n != 6) || !DateTime::isValidDate(y, mo, d) || h > 23 || mi > 59 || sec > 59 || h < 0 || mi < 0 ||
        sec < 0)
        throw StationError(fmt::format("\"{}\" is not a moment (YYYY-MM-DD HH:MM[:SS])", t));
    return DateTime::fromFields({y, mo, d, h, mi, sec, 0});
}

}  // namespace zel::host
