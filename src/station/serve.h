// The station all day: one process that holds the station's lock for its
// whole life, keeps the service module resident, imports the turnstile files
// dropped into the station's inbox and charges passages as they arrive.
#pragma once

#include <atomic>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

#include "platform/datetime.h"

namespace zel::host {

namespace fs = std::filesystem;

// One line per event of the station, with the wall-clock moment, the station
// clock's when it differs, and the id of the process's run; appended to the
// station's log and, unless quiet, written to `err`. Texts from outside
// (names, file contents) are escaped: they cannot add a line or reach a
// terminal raw.
class EventLog {
  public:
    EventLog(fs::path logFile, std::ostream* err, const Clock* stationClock);
    // False when the line could not be added to the log file.
    bool event(const std::string& kind, const std::string& text);
    const std::string& runId() const { return runId_; }

  private:
    fs::path file_;
    std::ostream* err_;
    const Clock* clock_;
    std::string runId_;
};

// The id of this process's run: every event line of the process carries it,
// and a short message on the terminal names it to find the full text in the log.
const std::string& processRunId();

// The text of an error for a person, and the full text in the station's log:
// `summary` alone on the terminal ends with where its full text lies ("see
// geracupom.log, run ID"); `detail` goes to the log of `stationDir` as an
// "error" event. Returns the short line. Raises nothing: when the log cannot
// be written the short line carries the detail itself.
std::string reportedError(const fs::path& stationDir, const std::string& summary, const std::string& detail,
                          const Clock* stationClock = nullptr);

// Control characters (and DEL) of a text as \xNN, a backslash doubled; with
// `keepLines` the line breaks of a text of several lines stay.
std::string printable(const std::string& text, bool keepLines = false);

struct ServeOptions {
    double pollSeconds = 1;                   // how often the turnstile log and the inbox are looked at
    double retrySeconds = 60;                 // passages left pending are offered again after this long
    std::optional<DateTime> now;              // the station clock starts here (rehearsals)
    std::ostream* err = nullptr;              // event lines; null: the log file only
    const std::atomic<bool>* stop = nullptr;  // set: finish the consumer in progress, then return
    std::atomic<bool>* reload = nullptr;      // set: read the configuration again (cleared when done)
};

// Serves the station in `dir` until `stop` is set; 0 then. Throws StationError
// when it cannot begin (not a station, the lock held by another process —
// named —, the database or the printer unusable).
int serveStation(const fs::path& dir, const ServeOptions& options);

// The inbox of a station: turnstile files dropped here are imported whole and
// moved to done/ or failed/ with a NAME.result text beside them. Names that
// start with "." or end with ".part" or ".tmp" are files still being written
// and wait.
fs::path inboxDir(const fs::path& stationDir);

// SIGTERM and SIGINT set `stop`, SIGHUP sets `reload`.
void installServeSignals(std::atomic<bool>& stop, std::atomic<bool>& reload);

}  // namespace zel::host
