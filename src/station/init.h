// Making a station directory for the host program.
#pragma once

#include <iosfwd>
#include <optional>

#include "station/host.h"

namespace zel::host {

struct InitOptions {
    bool demo = false;
    uint32_t seed = 1;
    std::string database;  // empty: SQLite in the station
    std::string branch = "0001";
    std::string register_ = "001";
    std::optional<DateTime> day;  // the day of the demo's passages and cash opening; empty: today
    int consumersPerClient = 12;
};

// Makes the station in `dir` (which must be absent or empty) and returns its
// absolute path. The demo's passages are imported as import record of a
// turnstile file demo-passages.csv left in the station. Throws StationError;
// a station that could not be made is removed again.
fs::path initStation(const fs::path& dir, const InitOptions& options, std::ostream* out);

}  // namespace zel::host
