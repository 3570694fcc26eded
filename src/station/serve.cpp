// The resident service of a station: the lock held for life, one charging
// session (so one service module) reused for every request, the inbox and the
// turnstile log polled, signals turned into flags checked between consumers.
#include "station/serve.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "platform/atomic_file.h"
#include "platform/db/query.h"
#include "station/lock.h"
#include "station/session.h"

namespace zel::host {
namespace {

std::string wallClock() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return fmt::format("{}.{:03}", buf, ms);
}

std::string newRunId() {
    std::random_device rd;
    return fmt::format("{:08x}", rd());
}

// A name not taken yet in `dir`: NAME, then NAME.2, NAME.3...
fs::path freeName(const fs::path& dir, const std::string& name) {
    fs::path p = dir / name;
    for (int n = 2; fs::exists(p); ++n) p = dir / fmt::format("{}.{}", name, n);
    return p;
}

bool waitingFile(const std::string& name) {
    auto endsWith = [&](const char* s) {
        std::string e(s);
        return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
    };
    return name.empty() || name[0] == '.' || endsWith(".part") || endsWith(".tmp");
}

// One file of the inbox: imported whole, then moved aside with its outcome.
void importInboxFile(const Station& s, const fs::path& file, const Clock& clock, EventLog& log) {
    const fs::path inbox = inboxDir(s.layout.dir);
    std::string name = file.filename().string(), result;
    bool ok = false;
    try {
        ImportResult r = importPassages(s, file, &clock);
        for (const ImportProblem& p : r.skipped)
            result += fmt::format("{}:{}: {}; line skipped\n", name, p.line, p.text);
        if (r.imported) {
            result = fmt::format("imported {} passage(s) as import record {}\n", r.imported, r.importRecord) + result;
            ok = true;
        } else {
            result = "nothing imported\n" + result;
            ok = r.skipped.empty();
        }
    } catch (const std::exception& e) {
        result = std::string("nothing imported: ") + e.what() + "\n";
    }
    fs::path dest = freeName(inbox / (ok ? "done" : "failed"), name);
    // The outcome is whole beside the file before the file is there.
    try {
        writeFileAtomically(dest.string() + ".result", result, "the outcome of an inbox file", Durability::Cached);
    } catch (const std::exception& e) {
        log.event("error", e.what());
    }
    std::error_code ec;
    fs::rename(file, dest, ec);
    if (ec) {
        log.event("error", fmt::format("inbox file {} cannot be moved to {}: {}", name, dest.string(), ec.message()));
        return;
    }
    std::string first = result.substr(0, result.find('\n'));
    log.event("import",
              fmt::format("inbox file {}: {} (moved to {})", name, first, fs::relative(dest, s.layout.dir).string()));
}

void importInbox(const Station& s, const Clock& clock, EventLog& log) {
    const fs::path inbox = inboxDir(s.layout.dir);
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(inbox, ec))
        if (e.is_regular_file(ec) && !waitingFile(e.path().filename().string())) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) importInboxFile(s, f, clock, log);
}

void logPass(const RunReport& r, EventLog& log) {
    for (const std::string& x : r.repairs) log.event("repair", x);
    for (const std::string& f : r.tablesReadAgain)
        log.event("reload", fmt::format("the table file {} changed; read again", f));
    if (r.batches == 0) return;
    log.event("batch", fmt::format("{} batch(es): {} passage(s), {} concluded ({:.2f}), {} cancelled, {} refused, {} "
                                   "pending",
                                   r.batches, r.passages.size(), r.count(Outcome::Concluded), r.concludedAmount(),
                                   r.count(Outcome::Cancelled), r.count(Outcome::Refused), r.count(Outcome::Pending)));
    for (const PassageResult& p : r.passages) {
        std::string text = fmt::format("passage {} consumer {} {} at {}: {}", p.nrSeqLogCat, p.cdConsumidor,
                                       p.nmConsumidor, p.moment, outcomeName(p.outcome));
        if (!p.coupon.empty()) text += " coupon " + p.coupon;
        if (p.outcome == Outcome::Concluded) text += fmt::format(" {:.2f}", p.amount);
        else if (!p.messages.empty()) text += " — " + p.messages.back();
        log.event("passage", text);
    }
    for (const std::string& m : r.messages) log.event("message", m);
    if (r.couldNotRun) log.event("error", "the request could not run: " + r.problem);
}

// A request stopped by an error leaves something for the recovery to look at.
bool needsRecovery(const RunReport& r) {
    if (r.couldNotRun || !r.messages.empty()) return true;
    for (const PassageResult& p : r.passages)
        if (p.outcome == Outcome::Cancelled || (p.outcome == Outcome::Pending && !p.coupon.empty())) return true;
    return false;
}

volatile std::sig_atomic_t gSignalled = 0;
std::atomic<bool>* gStop = nullptr;
std::atomic<bool>* gReload = nullptr;

void onSignal(int sig) {
    if (sig == SIGHUP) {
        if (gReload) gReload->store(true);
    } else if (gStop) {
        gStop->store(true);
    }
    gSignalled = sig;
}

// The serving loop of one station, between its start and its stop.
class Server {
  public:
    Server(const fs::path& dir, const ServeOptions& o)
        : o_(o), station_(openStation(dir)), lock_(StationLock::acquire(station_.layout.dir, "serve", 0)) {
        RunOptions ro;
        ro.now = o.now;
        ro.libraryEntry = true;
        session_ = std::make_unique<ChargingSession>(station_, ro);
        session_->setStopFlag(o.stop);
        log_ = std::make_unique<EventLog>(station_.layout.log(), o.err, &session_->clock());
        const fs::path inbox = inboxDir(station_.layout.dir);
        fs::create_directories(inbox / "done");
        fs::create_directories(inbox / "failed");
    }

    int run() {
        log_->event("start", fmt::format("serving {} (branch {}, register {}), pid {}, polling every {}s",
                                         station_.layout.dir.string(), station_.branch, station_.register_, ::getpid(),
                                         o_.pollSeconds));
        while (!stopping()) {
            if (o_.reload && o_.reload->exchange(false)) reload();
            step();
            sleepPoll();
        }
        log_->event("stop", "stopped on request; the consumer in progress was finished");
        return 0;
    }

  private:
    bool stopping() const { return o_.stop && o_.stop->load(); }

    void step() {
        try {
            if (needRecovery_) {
                for (const std::string& r : session_->recover()) log_->event("repair", r);
                needRecovery_ = false;
                offered_.clear();
            }
            importInbox(station_, session_->clock(), *log_);
            std::set<std::string> pending = session_->pendingSeqs();
            bool fresh = std::any_of(pending.begin(), pending.end(), [&](auto& p) { return !offered_.count(p); });
            auto now = std::chrono::steady_clock::now();
            if (pending.empty() || (!fresh && now < retryAt_)) return recovered();
            RunReport report;
            session_->chargePending(report);
            logPass(report, *log_);
            // Left pending from what this pass saw: a passage imported while
            // the pass ran was never offered and is fresh for the next one.
            offered_.clear();
            for (const std::string& seq : session_->pendingSeqs())
                if (pending.count(seq)) offered_.insert(seq);
            retryAt_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(o_.retrySeconds));
            needRecovery_ = needsRecovery(report);
            recovered();
        } catch (const std::exception& e) {
            failed(e.what());
            needRecovery_ = true;
        }
    }

    // An error that stops the passes (a database that is down) is told once,
    // not at every poll; its end is told when a pass goes through again.
    void failed(const std::string& what) {
        if (what != lastError_) log_->event("error", what);
        else ++repeated_;
        lastError_ = what;
    }
    void recovered() {
        if (lastError_.empty()) return;
        log_->event("repair", fmt::format("the station works again after {} failed attempt(s)", repeated_ + 1));
        lastError_.clear();
        repeated_ = 0;
    }

    void reload() {
        try {
            Station fresh = openStation(station_.layout.dir);
            std::vector<std::string> notes = session_->reload(fresh);
            log_->event("reload", notes.empty() ? std::string("the configuration was read again")
                                                : "the configuration was read again; " + notes.front());
            for (size_t i = 1; i < notes.size(); ++i) log_->event("reload", notes[i]);
            offered_.clear();
        } catch (const std::exception& e) {
            log_->event("error", std::string("the configuration cannot be read again; the old one stays: ") + e.what());
        }
    }

    void sleepPoll() {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(o_.pollSeconds));
        while (!stopping() && !(o_.reload && o_.reload->load()) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    ServeOptions o_;
    Station station_;
    StationLock lock_;
    std::unique_ptr<ChargingSession> session_;
    std::unique_ptr<EventLog> log_;
    bool needRecovery_ = true;
    std::string lastError_;          // the error of the last pass, "" when it went through
    int repeated_ = 0;               // the same error again since it was told
    std::set<std::string> offered_;  // pending passages offered in the last pass and left pending
    std::chrono::steady_clock::time_point retryAt_{};
};

}  // namespace

std::string printable(const std::string& text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (keepLines && c == '\n') out += '\n';
        else if (c == '\\' && !keepLines) out += "\\\\";
        else if (c < 0x20 || c == 0x7f) out += fmt::format("\\x{:02x}", c);
        else out += static_cast<char>(c);
    }
    return out;
}

const std::string& processRunId() {
    static const std::string id = newRunId();
    return id;
}

std::string reportedError(const fs::path& stationDir, const std::string& summary, const std::string& detail,
                          const Clock* stationClock) {
    station::Layout layout{stationDir};
    std::error_code ec;
    if (fs::exists(layout.config(), ec)) {
        try {
            if (EventLog(layout.log(), nullptr, stationClock).event("error", summary + ": " + detail))
                return fmt::format("{} (see {}, run {})", summary, layout.log().filename().string(), processRunId());
        } catch (const std::exception&) {}
        // The log cannot take it: the detail goes with the short line.
    }
    return summary + ": " + detail;
}

EventLog::EventLog(fs::path logFile, std::ostream* err, const Clock* stationClock)
    : file_(std::move(logFile)), err_(err), clock_(stationClock), runId_(processRunId()) {}

bool EventLog::event(const std::string& kind, const std::string& text) {
    std::string wall = wallClock();
    std::string line = wall;
    if (clock_) {
        std::string station = db::sql::isoMoment(clock_->now());
        // The station clock is told when it is not the machine's (rehearsals).
        if (station.substr(0, 16) != wall.substr(0, 16)) line += " [station " + station + "]";
    }
    line += fmt::format(" run {} {}: {}\n", runId_, kind, printable(text));
    std::ofstream out(file_, std::ios::app | std::ios::binary);
    out << line;
    out.flush();
    if (err_) *err_ << line << std::flush;
    return static_cast<bool>(out);
}

fs::path inboxDir(const fs::path& stationDir) { return stationDir / "inbox"; }

void installServeSignals(std::atomic<bool>& stop, std::atomic<bool>& reload) {
    gStop = &stop;
    gReload = &reload;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

int serveStation(const fs::path& dir, const ServeOptions& options) {
    Server server(dir, options);
    return server.run();
}

}  // namespace zel::host
