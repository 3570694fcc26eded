// The connection operations of the shared utility library: the connection
// string from the station's configuration, the session set-up, connecting with
// retries, and the text of a database error.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <string>

#include "platform/db/connection.h"

namespace zel::util {

// The connection string of the station: the setting "database" of the file
// geracupom.conf in the station directory (see platform/station_config.h),
// e.g.
//     # the station's own database
//     database = sqlite3://db=/var/lib/geracupom/station.db
// `text` names an alternative setting: empty reads "database", "X" reads
// "database.X". A SQLite file given by a relative path is taken below
// `stationDir` (db::anchoredConnectionString). Throws Error naming the file when the file or the setting is
// missing or the value is empty.
std::string _GetStringConexZel(const std::filesystem::path& stationDir, const std::string& text);

// Prepares a session that has just connected.
//   SQLite: WAL journal (a second process reads while this one writes),
//           synchronous FULL (a committed sale survives a power cut), a busy
//           time-out of 5 s instead of an immediate "database is locked",
//           foreign keys enforced.
//   PostgreSQL: no statement time-out, ISO dates, UTF-8 client encoding,
//           warnings but no notices.
//   ODBC: nothing; the installation's database is set up by its owners.
// Throws DbError naming the database when a setting is refused.
void SetADODBSession(db::Connection& connection);

struct TryConnectPolicy {
    int attempts = 3;
    std::chrono::milliseconds delay{500};  // before the second attempt; doubled each time
};

// Connects unless connected already, trying again after a refused connection up to `attempts` times in
// all; a malformed connection string or an unknown backend is not retried.
// The final ConnectError names the database and the attempts, never a password.
void TryConnect(db::Connection& connection, const TryConnectPolicy& policy = {});

// The text of a database error for the user: `text` (when not empty), then the
// error. The message names the connection's database; passwords are hidden.
// Raises nothing.
std::string ADOExceptionMessage(const std::exception& error, const db::Connection& connection, const std::string& text);

}  // namespace zel::util
