// A run of the station: under its lock, the recovery of what an earlier run
// left, then the pending passages of the station's branch and register, one
// call of GeraCupomVenda per import record, with progress, messages and the
// outcome of each passage read back from the database and the printer.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <iostream>
#include <map>
#include <mutex>
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

// The pending passages of a pass, held compactly: the texts of each, one
// after the other, in one shared arena, read back by value.
class PendingList {
  public:
    void add(const PendingPassage& p) {
        starts_.push_back(static_cast<uint32_t>(arena_.size()));
        const station::Passage& q = p.passage;
        for (const std::string* t : {&q.nrSeqLogCat, &q.cdIdConsumid, &q.cdConsumidor, &q.cdCliente, &q.cdTipoCons,
                                     &q.nmConsumidor, &q.hora, &q.nrSeqArqImp, &p.moment}) {
            uint16_t n = static_cast<uint16_t>(std::min<size_t>(t->size(), UINT16_MAX));
            arena_.append(reinterpret_cast<const char*>(&n), sizeof n);
            arena_.append(t->data(), n);
        }
        double day = q.data.value();
        arena_.append(reinterpret_cast<const char*>(&day), sizeof day);
    }
    size_t size() const { return starts_.size(); }
    void shrink() {
        arena_.shrink_to_fit();
        starts_.shrink_to_fit();
    }

    PendingPassage operator[](size_t i) const {
        std::string_view in(arena_);
        in.remove_prefix(starts_.at(i));
        PendingPassage p;
        station::Passage& q = p.passage;
        for (std::string* t : {&q.nrSeqLogCat, &q.cdIdConsumid, &q.cdConsumidor, &q.cdCliente, &q.cdTipoCons,
                               &q.nmConsumidor, &q.hora, &q.nrSeqArqImp, &p.moment})
            *t = text(in);
        double day;
        std::memcpy(&day, in.data(), sizeof day);
        q.data = DateTime(day);
        return p;
    }
    // NRSEQLOGCAT, NRSEQARQIMP and the moment, viewed in place.
    std::string_view seq(size_t i) const { return nth(i, 0); }
    std::string_view record(size_t i) const { return nth(i, 7); }
    std::string_view moment(size_t i) const { return nth(i, 8); }
    PassageKey key(size_t i) const { return {std::string(nth(i, 3)), std::string(nth(i, 2)), std::string(moment(i))}; }

    // Puts the passages in the order they are charged in.
    void sortForCharging() {
        std::vector<std::pair<ChargingOrder, uint32_t>> keys;
        keys.reserve(size());
        for (size_t i = 0; i < size(); ++i)
            keys.emplace_back(ChargingOrder::of(record(i), moment(i), seq(i)), starts_[i]);
        std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t i = 0; i < keys.size(); ++i) starts_[i] = keys[i].second;
    }
    // Leaves out the passages `drop` names (their bytes stay in the arena).
    template <typename F>
    void dropIf(F drop) {
        size_t kept = 0;
        for (size_t i = 0; i < size(); ++i)
            if (!drop(i)) starts_[kept++] = starts_[i];
        starts_.resize(kept);
    }

  private:
    static std::string_view text(std::string_view& in) {
        uint16_t n;
        std::memcpy(&n, in.data(), sizeof n);
        std::string_view t = in.substr(sizeof n, n);
        in.remove_prefix(sizeof n + n);
        return t;
    }
    std::string_view nth(size_t i, int k) const {
        std::string_view in(arena_);
        in.remove_prefix(starts_.at(i));
        for (int j = 0; j < k; ++j) text(in);
        return text(in);
    }
    std::string arena_;
    std::vector<uint32_t> starts_;
};

// One batch: the passages of one import record (entries first .. end of the
// pass's pending list), one request of the service. Per passage only what the
// request adds is kept: the printer's coupon number before and after it and
// the messages given while it was worked on.
struct Batch {
    size_t first = 0, end = 0;
    std::vector<int64_t> couponBefore, couponAfter;
    std::map<size_t, std::vector<std::string>> messages;  // by position in the batch; most have none
    std::optional<CurrentPassage> currentPassage;
    int current = -1;
    bool stopped = false;  // the station is stopping: the request was ended before a consumer
    size_t size() const { return end - first; }
};

CurrentPassage currentPassage(const PendingPassage& p) {
    return {p.passage.nrSeqArqImp,
            p.passage.nrSeqLogCat,
            p.passage.cdCliente,
            p.passage.cdConsumidor,
            p.passage.nmConsumidor,
            p.moment,
            0};
}

// The result of the batch's k-th passage before its outcome is known: who
// passed, and what the service said of it.
PassageResult resultOf(const Batch& b, const PendingPassage& p, size_t k) {
    PassageResult r;
    r.nrSeqLogCat = p.passage.nrSeqLogCat;
    r.nrSeqArqImp = p.passage.nrSeqArqImp;
    r.cdConsumidor = p.passage.cdConsumidor;
    r.cdCliente = p.passage.cdCliente;
    r.nmConsumidor = p.passage.nmConsumidor;
    r.moment = p.moment;
    if (auto m = b.messages.find(k); m != b.messages.end()) r.messages = m->second;
    return r;
}

// What became of the passages [from, to) of a batch, from the ledger, the
// database's record of each coupon, the outbox and the printer's memory. Each
// is added to the report as soon as it is settled.
void settleOutcomes(const Batch& b, const PendingList& pending, size_t from, size_t to, Store& store,
                    Recovery& recovery, const ext::SimulatedPrinter& printer,
                    const std::vector<std::string>& requestMessages, RunReport& report) {
    std::vector<PendingPassage> chunk;
    chunk.reserve(to - from);
    for (size_t k = from; k < to; ++k) chunk.push_back(pending[b.first + k]);
    std::map<PassageKey, Charge> charged = store.chargesOf(chunk);
    // The turnstile rows the charged passages left behind, asked at once.
    std::vector<std::string> chargedRows;
    for (const PendingPassage& p : chunk)
        if (charged.count(p.key())) chargedRows.push_back(p.passage.nrSeqLogCat);
    std::set<std::string> rowsLeft;
    std::string rowsUnknown;  // why they could not be asked
    try {
        rowsLeft = store.rowsPending(chargedRows);
    } catch (const std::exception& e) {
        rowsUnknown = e.what();
    }
    const std::string serial = printer.state().identity.serial;
    for (size_t k = from; k < to; ++k) {
        const PendingPassage& p = chunk[k - from];
        PassageResult r = resultOf(b, p, k);
        auto settled = [&]() { report.passages.push_back(r); };
        bool reached = static_cast<int>(k) <= b.current;
        if (auto c = charged.find(p.key()); c != charged.end()) {
            r.outcome = Outcome::Concluded;
            r.coupon = c->second.coupon;
            r.amount = c->second.total;
            try {
                if (!rowsUnknown.empty()) throw Error(rowsUnknown);
                if (rowsLeft.count(r.nrSeqLogCat)) {
                    store.deleteTurnstileRow(r.nrSeqLogCat);
                    r.messages.push_back("the turnstile row of this charged passage is deleted by the station");
                }
            } catch (const std::exception& e) {
                r.messages.push_back(fmt::format(
                    "its turnstile row could not be deleted ({}); it is never charged again and the next run "
                    "deletes it",
                    e.what()));
            }
            settled();
            continue;
        }
        int64_t coupon = 0;
        if (reached && b.couponAfter[k] > b.couponBefore[k]) coupon = b.couponAfter[k];
        if (coupon != 0) {
            r.coupon = couponText(coupon);
            if (store.couponFate(serial, coupon) == CouponFate::Cancelled) {
                r.outcome = Outcome::Cancelled;
            } else if (recovery.outbox().holds(couponText(coupon))) {
                r.outcome = Outcome::Cancelled;
                r.messages.push_back("its cancelled sale waits in the station's outbox: the database refused it");
            } else {
                r.outcome = Outcome::Pending;
                r.messages.push_back(
                    fmt::format("coupon {} is not accounted for yet: the next run repairs it", r.coupon));
            }
            settled();
            continue;
        }
        if (!r.messages.empty()) {
            r.outcome = Outcome::Refused;
            settled();
            continue;
        }
        r.outcome = Outcome::Pending;
        if (!reached)
            r.messages.push_back(requestMessages.empty()
                                     ? std::string("not reached: the request ended before this passage")
                                     : "not reached: the request ended before this passage: " + requestMessages.back());
        else r.messages.push_back("the service gave no reason; the passage stays pending");
        settled();
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
    PendingList pending;  // of the pass being charged
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
        hostService.tellRefusals([this](const std::string& why) { tellOfCurrent(why); });
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
        if (!batch.stopped && batch.current >= 0 && batch.current < static_cast<int>(batch.size()))
            batch.messages[static_cast<size_t>(batch.current)].push_back(m.text);
        else requestMessages.push_back(m.text);
        if (live) live->line(m.text);
    }

    // What the station itself has to say of the consumer being served.
    void tellOfCurrent(const std::string& text) {
        if (batch.stopped || batch.current < 0 || batch.current >= static_cast<int>(batch.size())) return;
        batch.messages[static_cast<size_t>(batch.current)].push_back(text);
        if (live) live->line(text);
    }

    // A consumer begins. Once the station is stopping no other begins: the
    // request ends here and the rest of its batch stays pending.
    void started(const std::string& text) {
        if (stopping()) {
            batch.stopped = true;
            throw Error("the station is stopping; the rest of the batch stays pending");
        }
        ++batch.current;
        batch.currentPassage.reset();
        if (batch.current < static_cast<int>(batch.size())) {
            CurrentPassage p = currentPassage(pending[batch.first + static_cast<size_t>(batch.current)]);
            p.couponBefore = batch.couponBefore[static_cast<size_t>(batch.current)] = lastCupNr();
            journal.begin(p);
            batch.currentPassage = std::move(p);
        }
        if (live) live->progress(done + 1, text);
    }

    void ended() {
        if (batch.stopped) return;
        ++done;
        if (done % kStatisticsEvery == 0) keepStatistics();
        if (batch.current < 0 || !batch.currentPassage) return;
        size_t k = static_cast<size_t>(batch.current);
        // The service is done with this consumer: a coupon it left behind
        // is settled now, so that the next consumer finds the printer free.
        try {
            recovery->afterConsumer(*batch.currentPassage);
        } catch (const std::exception& e) {
            batch.messages[k].push_back(e.what());
        }
        batch.couponAfter[k] = lastCupNr();
        batch.currentPassage.reset();
        journal.clear();
    }

    // The planner's statistics catch up with the sales the run has added, so
    // that the plans the sessions keep stay on the consumer's own rows. Only
    // a help: a failure here fails nothing.
    static constexpr size_t kStatisticsEvery = 500;
    void keepStatistics() {
        try {
            db::refreshGrownStatistics(c);
        } catch (const std::exception&) {
        }
    }

    // The pending passages of the station less those the ledger holds as
    // charged: a passage charged is never handed to the service again, even
    // when its turnstile row could not be deleted.
    void readPending() {
        pending = PendingList();
        MomentSpan span;
        try {
            // Read row by row into the compact list: a long list is never
            // held whole as rows or passages.
            store.eachPendingPassage([&](PendingPassage& p) {
                span.add(p.moment);
                pending.add(p);
            });
        } catch (const std::exception& e) {
            pending = PendingList();
            throw databaseError(s, "does not give the pending passages", Error(util::ADOExceptionMessage(e, c, "")));
        }
        pending.sortForCharging();
        std::map<PassageKey, Charge> charged = store.charges(span);
        if (!charged.empty()) pending.dropIf([&](size_t i) { return charged.count(pending.key(i)) > 0; });
        pending.shrink();
    }

    void prepareBatch(size_t i, size_t j) {
        batch = Batch{};
        batch.first = i;
        batch.end = j;
        requestMessages.clear();
        batch.couponBefore.assign(batch.size(), 0);
        batch.couponAfter.assign(batch.size(), 0);
    }

    // The request table of the batch, built a slice at a time.
    ds::Packet requestOfBatch() const {
        constexpr size_t kSlice = 512;
        ds::Packet packet;
        for (size_t k = batch.first; k < batch.end || k == batch.first;) {
            std::vector<station::Passage> slice;
            for (size_t to = std::min(batch.end, k + kSlice); k < to; ++k) slice.push_back(pending[k].passage);
            ds::Packet part = station::requestPacket(shape, slice);
            if (packet.fields.empty()) {
                packet = std::move(part);
                packet.records.reserve(batch.size());
            } else {
                for (ds::Record& r : part.records) packet.records.push_back(std::move(r));
            }
            if (slice.empty()) break;
        }
        return packet;
    }

    void request() {
        VariantArray request = {Variant::packet(requestOfBatch())};
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
        // While the module works, the service's statements run on the
        // module's connection once it is open on the same database: one
        // connection keeps its page cache, two made each read again what the
        // other had written.
        struct SharedConnection {
            ext::DatabaseServicePackage& service;
            ~SharedConnection() { service.runOn(nullptr); }
        } shared{service};
        if (TrdmGeraCupomVenda* m = module()) service.runOn(&m->db.adcGeraCupomVenda);
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

    void writeReasons(const RunReport& report, size_t from) {
        std::map<std::string, PendingReason> reasons = readPendingReasons(s.layout.dir);
        std::vector<std::string_view> stillPending;
        stillPending.reserve(pending.size());
        for (size_t k = 0; k < pending.size(); ++k) stillPending.push_back(pending.seq(k));
        std::sort(stillPending.begin(), stillPending.end());
        std::erase_if(reasons, [&](const auto& r) {
            return !std::binary_search(stillPending.begin(), stillPending.end(), std::string_view(r.first));
        });
        std::vector<std::string_view>().swap(stillPending);
        std::string at = db::sql::isoMoment(clock->now());
        for (size_t k = from; k < report.passages.size(); ++k) {
            const PassageResult p = report.passages[k];
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

namespace {

// Each consumer frees and takes back the same memory: SQLite drops its page
// cache whenever another connection has written, the tables of a request
// come and go. Given back to the system at every free, that memory comes back
// as fresh pages the kernel must clear, about a tenth of a consumer's CPU. A
// process that charges keeps up to 64 MiB of freed heap for the next consumer.
void keepFreedMemory() {
    static std::once_flag once;
    std::call_once(once, [] { ::mallopt(M_TRIM_THRESHOLD, 64 << 20); });
}

}  // namespace

ChargingSession::ChargingSession(Station& s, const RunOptions& options) {
    keepFreedMemory();
    impl_ = std::make_unique<Impl>(s, options);
}
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
    m.readPending();
    const PendingList& pending = m.pending;
    const size_t from = report.passages.size();
    size_t toldRepairs = m.recovery->repairs().size();
    m.done = 0;
    m.live = std::make_unique<Display>(m.options.display, pending.size());
    for (size_t i = 0; i < pending.size() && !m.stopping();) {
        // One request per import record, of at most requestPassages passages:
        // a longer record is charged in several requests, each credited with
        // its own sales and the record settled from the ledger after each, so
        // that a request's table, and the memory of a pass, stay bounded.
        size_t j = i;
        while (j < pending.size() && j - i < std::max<size_t>(1, m.options.requestPassages) &&
               pending.record(j) == pending.record(i))
            ++j;
        const std::string record(pending.record(i));
        m.prepareBatch(i, j);
        m.tablesReadAgain.clear();
        m.request();
        ++report.batches;
        for (const std::string& f : m.tablesReadAgain)
            if (std::find(report.tablesReadAgain.begin(), report.tablesReadAgain.end(), f) ==
                report.tablesReadAgain.end())
                report.tablesReadAgain.push_back(f);

        // The service credits a batch only when it ends well; the record gets
        // exactly the passages charged from it, whatever ended the request.
        // The outcomes are settled a slice at a time.
        constexpr size_t kSettleSlice = 256;
        const size_t batchStart = report.passages.size();
        size_t settled = 0;
        try {
            if (!record.empty()) m.store.settleImportCredit(record);
            for (; settled < m.batch.size(); settled = std::min(m.batch.size(), settled + kSettleSlice))
                settleOutcomes(m.batch, pending, settled, std::min(m.batch.size(), settled + kSettleSlice), m.store,
                               *m.recovery, *m.printer, m.requestMessages, report);
        } catch (const std::exception& e) {
            // The database stopped answering: what the rest of the batch did
            // is settled by the next run, from the ledger and the printer's
            // memory. The passages settled before it keep what was read.
            for (size_t k = report.passages.size() - batchStart; k < m.batch.size(); ++k) {
                PassageResult r = resultOf(m.batch, pending[m.batch.first + k], k);
                r.outcome = Outcome::Pending;
                r.messages.push_back("not settled: the database stopped answering; the next run settles it");
                report.passages.push_back(r);
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
        if (m.batch.current < 0 && m.batch.size() > 0 && !m.batch.stopped) {
            report.couldNotRun = true;
            report.problem =
                m.requestMessages.empty() ? std::string("the service processed no passage") : m.requestMessages.back();
            break;
        }
        i = j;
    }
    m.batch = Batch{};
    m.journal.close();
    if (m.done > 0) m.keepStatistics();
    m.live->end();
    m.live.reset();
    m.writeReasons(report, from);
    m.pending = PendingList();
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
    // Written as it is read, beside the file and then renamed over it: atomic
    // against a crash of the process, not flushed (a helper of the status
    // command only). A failure costs the status command the summary.
    fs::path last = s.layout.lastRun(), scratch = last;
    scratch += ".tmp";
    bool written = false;
    try {
        std::ofstream out(scratch, std::ios::binary | std::ios::trunc);
        report.writeJson(out);
        out.close();
        written = static_cast<bool>(out);
    } catch (const std::exception&) {}
    std::error_code ec;
    if (written) fs::rename(scratch, last, ec);
    if (!written || ec) fs::remove(scratch, ec);
    return report;
}

// ---- the passages of a run

namespace {

constexpr size_t kPassagesInMemory = 64 * 1024;  // bytes of encoded passages before they go to a file

void putText(std::string& out, const std::string& t) {
    uint32_t n = static_cast<uint32_t>(t.size());
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
    out.append(t);
}

bool getText(std::string_view& in, std::string& t) {
    uint32_t n;
    if (in.size() < sizeof n) return false;
    std::memcpy(&n, in.data(), sizeof n);
    in.remove_prefix(sizeof n);
    if (in.size() < n) return false;
    t.assign(in.data(), n);
    in.remove_prefix(n);
    return true;
}

std::string encodePassage(const PassageResult& r) {
    std::string out;
    for (const std::string* t :
         {&r.nrSeqLogCat, &r.nrSeqArqImp, &r.cdConsumidor, &r.cdCliente, &r.nmConsumidor, &r.moment, &r.coupon})
        putText(out, *t);
    out += static_cast<char>(r.outcome);
    out.append(reinterpret_cast<const char*>(&r.amount), sizeof r.amount);
    uint32_t n = static_cast<uint32_t>(r.messages.size());
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
    for (const std::string& m : r.messages) putText(out, m);
    return out;
}

PassageResult decodePassage(std::string_view in) {
    PassageResult r;
    bool ok = true;
    for (std::string* t :
         {&r.nrSeqLogCat, &r.nrSeqArqImp, &r.cdConsumidor, &r.cdCliente, &r.nmConsumidor, &r.moment, &r.coupon})
        ok = ok && getText(in, *t);
    uint32_t n = 0;
    ok = ok && in.size() >= 1 + sizeof r.amount + sizeof n;
    if (!ok) throw Error("a passage of the run could not be read back from its temporary file");
    r.outcome = static_cast<Outcome>(in[0]);
    std::memcpy(&r.amount, in.data() + 1, sizeof r.amount);
    std::memcpy(&n, in.data() + 1 + sizeof r.amount, sizeof n);
    in.remove_prefix(1 + sizeof r.amount + sizeof n);
    r.messages.resize(n);
    for (std::string& m : r.messages)
        if (!getText(in, m)) throw Error("a passage of the run could not be read back from its temporary file");
    return r;
}

}  // namespace

struct PassageList::Spill {
    std::FILE* file = nullptr;
    Spill() : file(std::tmpfile()) {
        if (!file)
            throw FileWriteError(fmt::format("the passages of the run: no temporary file: {}", std::strerror(errno)));
    }
    ~Spill() {
        if (file) std::fclose(file);
    }
    void write(uint64_t at, std::string_view bytes) {
        if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0 ||
            std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
            throw FileWriteError(
                fmt::format("the passages of the run: the temporary file refused them: {}", std::strerror(errno)));
    }
    std::string read(uint64_t at, size_t n) const {
        std::string out(n, '\0');
        if (std::fflush(file) != 0 || std::fseek(file, static_cast<long>(at), SEEK_SET) != 0 ||
            std::fread(out.data(), 1, n, file) != n)
            throw Error("the passages of the run could not be read back from their temporary file");
        return out;
    }
};

PassageList::PassageList() = default;
PassageList::~PassageList() = default;
PassageList::PassageList(PassageList&& other) noexcept = default;
PassageList& PassageList::operator=(PassageList&& other) noexcept = default;
PassageList::PassageList(const PassageList& other) {
    for (size_t i = 0; i < other.size(); ++i) push_back(other[i]);
}
PassageList& PassageList::operator=(const PassageList& other) {
    if (this != &other) *this = PassageList(other);
    return *this;
}

void PassageList::push_back(const PassageResult& result) {
    std::string bytes = encodePassage(result);
    if (!spill_ && memory_.size() + bytes.size() > kPassagesInMemory) {
        try {
            auto spill = std::make_unique<Spill>();
            spill->write(0, memory_);
            spill_ = std::move(spill);
            std::string().swap(memory_);
        } catch (const FileWriteError&) {
            // No temporary file to be had: the passages stay in memory, and
            // the next one tries again.
        }
    }
    if (spill_) spill_->write(end_, bytes);
    else memory_ += bytes;
    offsets_.push_back(end_);
    end_ += bytes.size();
    ++counts_[static_cast<int>(result.outcome)];
    if (result.outcome == Outcome::Concluded) concludedSum_ += result.amount;
}

PassageResult PassageList::operator[](size_t i) const {
    uint64_t at = offsets_.at(i), to = i + 1 < offsets_.size() ? offsets_[i + 1] : end_;
    if (!spill_) return decodePassage(std::string_view(memory_).substr(at, to - at));
    return decodePassage(spill_->read(at, to - at));
}

int RunReport::count(Outcome o) const { return passages.count(o); }

double RunReport::concludedAmount() const {
    return static_cast<double>(std::llround(passages.concludedSum() * 100)) / 100;
}

int RunReport::exitStatus() const {
    if (couldNotRun) return 2;
    return count(Outcome::Concluded) == static_cast<int>(passages.size()) ? 0 : 1;
}

namespace {

json passageJson(const PassageResult& p) {
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
    return q;
}

}  // namespace

// Everything but the passages, whose place holds an empty list.
static json reportHead(const RunReport& r) {
    json j;
    j["started"] = r.started;
    j["finished"] = r.finished;
    j["repairs"] = r.repairs;
    j["batches"] = r.batches;
    j["could_not_run"] = r.couldNotRun;
    if (r.couldNotRun) j["problem"] = r.problem;
    j["messages"] = r.messages;
    j["passages"] = json::array();
    j["totals"] = {{"passages", r.passages.size()},
                   {"concluded", r.count(Outcome::Concluded)},
                   {"cancelled", r.count(Outcome::Cancelled)},
                   {"refused", r.count(Outcome::Refused)},
                   {"pending", r.count(Outcome::Pending)},
                   {"amount", r.concludedAmount()}};
    j["exit_status"] = r.exitStatus();
    return j;
}

json RunReport::toJson() const {
    json j = reportHead(*this);
    for (const PassageResult& p : passages) j["passages"].push_back(passageJson(p));
    return j;
}

void RunReport::writeJson(std::ostream& out) const {
    // The head is written as dump(2) writes it, and the passages, one by one,
    // where it shows the empty list: each at the depth of a member of a
    // member. The texts of a dump hold no line break of their own.
    std::string head = reportHead(*this).dump(2);
    const std::string slot = "\n  \"passages\": []";
    size_t at = head.find(slot);
    if (at == std::string::npos || passages.empty()) {
        out << head;
        return;
    }
    at += slot.size() - 2;
    out.write(head.data(), static_cast<std::streamsize>(at));
    out << "[";
    bool first = true;
    for (const PassageResult& p : passages) {
        std::string item = passageJson(p).dump(2);
        out << (first ? "\n    " : ",\n    ");
        first = false;
        size_t from = 0;
        for (size_t nl; (nl = item.find('\n', from)) != std::string::npos; from = nl + 1)
            out.write(item.data() + from, static_cast<std::streamsize>(nl + 1 - from)) << "    ";
        out.write(item.data() + from, static_cast<std::streamsize>(item.size() - from));
    }
    out << "\n  ]";
    out.write(head.data() + at + 2, static_cast<std::streamsize>(head.size() - at - 2));
}

void RunReport::writeSummary(std::ostream& out, bool printableLines) const {
    auto line = [&](const std::string& text) { out << (printableLines ? printable(text, true) : text); };
    for (const std::string& r : repairs) line("repaired: " + r + "\n");
    if (couldNotRun) line("the request could not run: " + problem + "\n");
    if (passages.empty() && !couldNotRun) line("no passage pending\n");
    for (const PassageResult& p : passages) {
        std::string o =
            fmt::format("{:<10} {:<8} {:<24} {} ", outcomeName(p.outcome), p.cdConsumidor, p.nmConsumidor, p.moment);
        if (p.outcome == Outcome::Concluded)
            o += fmt::format("coupon {} {:>9.2f}", p.coupon.empty() ? "?" : p.coupon, p.amount);
        else if (p.outcome == Outcome::Cancelled) o += "coupon " + p.coupon + " cancelled";
        if (!p.messages.empty() && p.outcome != Outcome::Concluded) o += " — " + p.messages.back();
        line(o + "\n");
    }
    for (const std::string& m : messages) line("message: " + m + "\n");
    line(fmt::format("totals: {} passages, {} concluded ({:.2f}), {} cancelled, {} refused, {} pending\n",
                     passages.size(), count(Outcome::Concluded), concludedAmount(), count(Outcome::Cancelled),
                     count(Outcome::Refused), count(Outcome::Pending)));
}

std::string RunReport::summaryText() const {
    std::ostringstream o;
    writeSummary(o);
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
