// The operator's questions to a station and its backup: the passages left
// pending and why, a consumer's balances and sales, the report of a day, and
// a copy of the station that can be put back. Each answer is a JSON document;
// the *Text functions lay one out for a person.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/datetime.h"
#include "station/host.h"

namespace zel::host {

// Pending passages of the station with the last reason each was not charged
// (kept by the runner in pending-reasons.json; "not offered yet" when none).
nlohmann::json pendingPassagesReport(const Station& station);
std::string pendingText(const nlohmann::json& report);

// A consumer, by CDCONSUMIDOR or by identification code (CDIDCONSUMID): the
// balance of each family, the consumption of `day` and of its month (standing
// sales), the last `lastSales` sales. StationError when no consumer has it.
nlohmann::json consumerReport(const Station& station, const std::string& code, DateTime day, int lastSales = 10);
std::string consumerText(const nlohmann::json& report);

// The sales of one day of the station's register: by service window and by
// balance family, the client companies' part, the cancellations with their
// coupon numbers, and the printer's grand total reconciled with the stored
// sales of that printer.
nlohmann::json dayReport(const Station& station, DateTime day);
std::string dayText(const nlohmann::json& report);
std::string dayCsv(const nlohmann::json& report);

// A copy of the station in `dest` (absent or empty): the SQLite database
// through SQLite's online backup (consistent while the station charges), then
// the station's files. For a station on another database the files are
// copied and the note says which tool copies the database (pg_dump). The
// result: {"database": "copied"|"not copied", "files": N, "note": ...}.
nlohmann::json backupStation(const Station& station, const std::filesystem::path& dest);

// "YYYY-MM-DD" → a date; StationError "invalid date" naming the text.
DateTime parseDay(const std::string& text);

// A connection string of the form BACKEND://SETTINGS with a backend this
// program speaks (sqlite3, postgresql, odbc); StationError "malformed" otherwise.
void checkConnectionForm(const std::string& connectionString);

// The connection string with its password hidden (password=..., PWD=...,
// user:password@).
std::string maskedConnection(const std::string& connectionString);

}  // namespace zel::host
