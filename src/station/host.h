// The host program's work on a station: opening and checking it, importing
// turnstile passages, repairing what a crash left, running the pending
// passages through GeraCupomVenda, and the station's status and tape.
#pragma once

#include <filesystem>
#include <functional>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "external/printer/fiscal_printer_sim.h"
#include "external/printer/printer_faults.h"
#include "station/packages.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/station_config.h"
#include "station/station.h"

namespace zel::host {

namespace fs = std::filesystem;

// A station that cannot be used as it is (not a station, a wrong key, a
// database that is down): the message says what and where. An error with a
// technical side (the database's own error, a statement, a path) carries a
// short line for a person — what happened and what to do — and the technical
// text apart, for the log; what() holds both.
class StationError : public Error {
  public:
    using Error::Error;
    StationError(const std::string& summary, const std::string& detail)
        : Error(summary + ": " + detail), summary_(summary), detail_(detail) {}
    // The short line; empty when the message has no technical side apart.
    const std::string& summary() const { return summary_; }
    const std::string& detail() const { return detail_; }

  private:
    std::string summary_, detail_;
};

// What the station's parameter file says of it, read and checked when the
// station is opened.
struct StationParams {
    std::string idEsquema, cdEmpresa, nrSerieImp, modelo, marca, ecfImp;
    fs::path saleDir;  // DSDIRCAD: where the item file of the sale in progress lies
    DateTime dataMovimento;
};

// A station directory, checked and its configuration read.
struct Station {
    station::Layout layout;
    StationConfig config;
    std::string connectionString;
    std::string branch;     // CDFILIAL of the passages it charges
    std::string register_;  // CDCAIXA
    FormatSettings formatSettings;
    ext::PrinterFaults faults;
    CrashPoints crash;
    StationParams params;
};

// The station's database cannot be used ("cannot be reached", "does not
// accept writes"...): the short line says what to look at; the detail names
// the station, its configuration and the database's own error (no password).
StationError databaseError(const Station& station, const std::string& what, const std::exception& error);

// Opens the station in `dir`. Throws StationError naming the file, the key or
// the missing part; the station is not touched.
Station openStation(const fs::path& dir);

// ---- import

// One passage of a turnstile file.
struct ImportProblem {
    int line = 0;
    std::string text;
};
struct ImportResult {
    std::string importRecord;  // NRSEQARQIMPK given, empty when nothing was imported
    int imported = 0;
    std::vector<ImportProblem> skipped;
};

// Imports the passages of a CSV file (see the README: code;date;hour[;branch;
// register], "," also accepted as the separator, an optional header line,
// dates YYYY-MM-DD or DD/MM/YYYY, hours HH:MM[:SS] or HHMM[SS]) into one
// import record and its log rows, in one transaction. Unknown identification
// codes and bad lines are skipped and reported with their line. The import
// record is dated by the station clock (`clock`; null: the machine's). Throws
// StationError when the file cannot be read or the database refuses (nothing
// is imported then).
ImportResult importPassages(const Station& station, const fs::path& file, const Clock* clock = nullptr);

// ---- run

enum class Outcome { Concluded, Cancelled, Refused, Pending };
const char* outcomeName(Outcome outcome);

struct PassageResult {
    std::string nrSeqLogCat, nrSeqArqImp, cdConsumidor, cdCliente, nmConsumidor;
    std::string moment;  // "YYYY-MM-DD HH:MM:SS" of the passage
    Outcome outcome = Outcome::Pending;
    std::string coupon;                 // concluded: the coupon number
    double amount = 0;                  // concluded: the sale's total
    std::vector<std::string> messages;  // given while this passage was worked on
};

// The passages of a run in the order they were settled. The first few dozen
// kilobytes of them are held in memory, the rest in an unnamed temporary file,
// so that a batch of any size costs the same memory; each is read back by
// value. Counts by outcome and the concluded amount are kept as they come.
class PassageList {
  public:
    PassageList();
    ~PassageList();
    PassageList(const PassageList& other);
    PassageList& operator=(const PassageList& other);
    PassageList(PassageList&& other) noexcept;
    PassageList& operator=(PassageList&& other) noexcept;

    // Throws FileWriteError when the temporary file cannot take it.
    void push_back(const PassageResult& result);
    size_t size() const { return offsets_.size(); }
    bool empty() const { return offsets_.empty(); }
    PassageResult operator[](size_t i) const;
    PassageResult back() const { return (*this)[size() - 1]; }
    int count(Outcome o) const { return counts_[static_cast<int>(o)]; }
    // The amounts of the concluded passages, summed in their order.
    double concludedSum() const { return concludedSum_; }

    class const_iterator {
      public:
        using value_type = PassageResult;
        using difference_type = std::ptrdiff_t;
        const_iterator(const PassageList* list, size_t at) : list_(list), at_(at) {}
        PassageResult operator*() const { return (*list_)[at_]; }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }

      private:
        const PassageList* list_;
        size_t at_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

  private:
    struct Spill;
    std::string memory_;             // the encoded passages until the spill file is opened
    std::unique_ptr<Spill> spill_;   // the file, once memory_ would grow past its limit
    std::vector<uint64_t> offsets_;  // where each passage begins
    uint64_t end_ = 0;               // where the next one goes
    int counts_[4] = {0, 0, 0, 0};
    double concludedSum_ = 0;
};

struct RunReport {
    std::vector<std::string> repairs;  // what the recovery mended, one line each
    PassageList passages;
    std::vector<std::string> messages;  // not tied to a passage (printer check, ...)
    // Cached table files the resident module read again because they changed
    // (a file unchanged since the module last read it is reused).
    std::vector<std::string> tablesReadAgain;
    int batches = 0;
    bool couldNotRun = false;
    std::string problem;            // why it could not run
    std::string started, finished;  // moments of the station clock

    int count(Outcome o) const;
    double concludedAmount() const;
    // 0 every passage concluded, 1 some not, 2 the request could not run.
    int exitStatus() const;
    nlohmann::json toJson() const;
    std::string summaryText() const;
    // The same texts written as they are read, without holding the whole
    // report: writeJson gives exactly toJson().dump(2); writeSummary gives
    // summaryText(), each line through printable() when `printableLines`.
    void writeJson(std::ostream& out) const;
    void writeSummary(std::ostream& out, bool printableLines = false) const;
};

// Where the run shows what happens while it runs.
struct RunDisplay {
    std::ostream* out = nullptr;  // null: quiet
    bool bar = false;             // a progress bar redrawn in place (a terminal), else plain lines
};

// The station clock: from `now` on, running with the machine (rehearsals),
// or the machine's clock when `now` is empty.
std::unique_ptr<Clock> stationClock(const std::optional<DateTime>& now);

struct RunOptions {
    std::optional<DateTime> now;  // the station clock starts here and runs on; empty: the machine's clock
    RunDisplay display;
    // True: call the library's entry GeraCupomVenda (the process's one module,
    // created by the first call from registerServiceHost). False: a module of
    // this run only, so one process can serve several stations (tests, the
    // benchmark).
    bool libraryEntry = true;
    PackageTimes* times = nullptr;  // filled when given
    double waitSeconds = 0;         // how long to wait for the station's lock held by another process
    // The most passages one call of GeraCupomVenda is handed: a longer import
    // record is charged in several calls, which keeps a pass's memory bounded.
    size_t requestPassages = 1000;
};

// Recovery, then every pending passage of the station's branch and register,
// one call of GeraCupomVenda per import record (or per slice of
// RunOptions::requestPassages of it). Writes the summary to the
// station's last-run.json. Throws StationError when the station cannot be used.
RunReport runStation(Station& station, const RunOptions& options);

// The recovery alone, under the station's lock (runStation does it first).
// Each repair is one line.
std::vector<std::string> recoverStation(Station& station, const Clock& clock, double waitSeconds = 0);

// ---- status and tape

nlohmann::json stationStatus(const Station& station);
std::string statusText(const nlohmann::json& status);
// 0 healthy; 1 needs attention: a passage pending for longer than
// `olderThanMinutes` (by the machine's clock), a coupon left open on the
// printer, records waiting in the outbox, a run interrupted; 2 cannot charge
// (the printer unusable).
int statusExitCode(const nlohmann::json& status, double olderThanMinutes);
// The last `last` receipts of the tape, as printed (all when 0).
std::string tapeText(const Station& station, size_t last);

// "YYYY-MM-DD HH:MM[:SS]" → a date-time; StationError naming the text.
DateTime parseMoment(const std::string& text);

}  // namespace zel::host
