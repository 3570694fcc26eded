// A demo station driven only through the built program geracupom, run as a
// child process, with direct access to its SQLite database and files.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zel::eo {

namespace fs = std::filesystem;

// ---- the station's database, opened for one statement at a time: its
// SQLite file, or (when the file is not there) the PostgreSQL database its
// configuration names

using Cell = std::optional<std::string>;
using Rows = std::vector<std::vector<Cell>>;

// Runs SQL on the database file; throws std::runtime_error with the statement
// and SQLite's message. `query` gives every column as text (null as nullopt).
Rows query(const fs::path& database, const std::string& sql);
void exec(const fs::path& database, const std::string& sql);
// The first column of the first row as text ("" for null or no row).
std::string scalar(const fs::path& database, const std::string& sql);
// Money or counts as a number (0 for null or no row).
double number(const fs::path& database, const std::string& sql);
// Hundredths of a stored amount, rounded to the nearest cent.
int64_t cents(double amount);
std::string sqlText(const std::string& text);  // 'text' with quotes doubled

// ---- the program

struct ProgramResult {
    int status = -1;     // exit status, or 128 + the signal that ended it
    std::string output;  // stdout and stderr together
};

// The program's path (GERACUPOM_BIN).
std::string programPath();

// A started program: its pid and the file that gathers its output.
struct Child {
    pid_t pid = -1;
    fs::path output;
};
Child start(const std::vector<std::string>& args, const fs::path& output);
// Waits for it; when `killAfter` is given and it still runs then, sends SIGKILL.
ProgramResult finish(Child child, std::optional<std::chrono::milliseconds> killAfter = std::nullopt);
ProgramResult program(const std::vector<std::string>& args, const fs::path& output);

std::string slurp(const fs::path& file);

// ---- a station

// The fixed demo: seed 7, the passages and cash opening of 2026-03-16, runs
// with the station clock at 22:00 that day.
inline constexpr const char* kDay = "2026-03-16";
inline constexpr const char* kNow = "2026-03-16 22:00";

class TestStation {
  public:
    // Makes `dir` (removed first) a demo station with `init --demo`, on
    // SQLite or on the database a connection string names.
    explicit TestStation(fs::path dir, int seed = 7, const std::string& database = "");

    const fs::path& dir() const { return dir_; }
    // What query() and exec() take: the SQLite file, standing for the
    // PostgreSQL database too.
    fs::path db() const { return dir_ / "station.db"; }

    // Keeps only the first `n` pending passages (by import record, day, hour)
    // whose consumers are all different and whose sale is chargeable at
    // lunch or dinner; the others are deleted. Returns how many stay.
    int keepPassages(int n);

    // geracupom run DIR --json --now kNow; output kept in DIR/../<tag>.out.
    ProgramResult run(const std::string& tag = "run");
    Child startRun(const std::string& tag);

    // geracupom.conf
    void setKey(const std::string& key, const std::string& value);
    void dropKey(const std::string& key);  // every line of that key
    void dropKeysStarting(const std::string& prefix);

    // Consumers with a balance in the demo, for making import files.
    std::vector<std::string> consumerCodes() const;  // CDIDCONSUMID

  private:
    fs::path dir_;
};

// A directory of its own for one test, under the system's temporary folder,
// removed when the test passes.
fs::path testDirectory();

}  // namespace zel::eo
