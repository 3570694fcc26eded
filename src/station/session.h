// A charging session of a station. Its holder owns the station's lock; the
// session opens the database, the printer and the service package once and
// publishes the host's packages once, so that the one service module of the
// process is created by the first request and reused by every later one.
// `geracupom run` makes a session, repairs and charges once; `geracupom serve`
// keeps one for its whole life and charges whenever passages are pending.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "station/host.h"

namespace zel::host {

class ChargingSession {
  public:
    // Opens the station's database, printer and service package. Throws
    // StationError when one cannot be used. The caller holds the lock.
    // With options.libraryEntry the session's packages become the process's
    // module's for good: such a session must outlive every later request of
    // the process (one per process).
    ChargingSession(Station& station, const RunOptions& options);
    ~ChargingSession();
    ChargingSession(const ChargingSession&) = delete;
    ChargingSession& operator=(const ChargingSession&) = delete;

    // The disk and the database accept writes, then every repair of what a
    // crash or a failed request left; each repair is logged and returned.
    std::vector<std::string> recover();

    // Every pending passage of the station's branch and register, one
    // request of the service per import record; the outcomes are appended to
    // `report` (batches, passages, messages; couldNotRun when the printer
    // check refused). Writes the reasons of the passages left pending.
    void chargePending(RunReport& report);

    // NRSEQLOGCAT of every pending passage of the station (charged or not).
    std::set<std::string> pendingSeqs();

    // Once the flag is set, the consumer in progress is finished and no other
    // begins: the rest of its batch stays pending.
    void setStopFlag(const std::atomic<bool>* flag);

    // A station re-read from its configuration: the rehearsal keys (crash
    // points) take effect now. What the module was created with (database,
    // branch, register, formats) needs a new process; the lines say what
    // differs.
    std::vector<std::string> reload(const Station& fresh);

    const Clock& clock() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The reasons the runner kept for the passages it could not charge, by
// NRSEQLOGCAT: the outcome and the last message of each (the file
// "pending-reasons.json" of the station).
struct PendingReason {
    std::string outcome, reason, at;
};
std::map<std::string, PendingReason> readPendingReasons(const fs::path& stationDir);

}  // namespace zel::host
