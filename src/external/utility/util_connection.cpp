// Connection operations of the shared utility library.
#include "external/utility/util_connection.h"

#include <thread>

#include "platform/error.h"
#include "platform/station_config.h"

namespace zel::util {

std::string _GetStringConexZel(const std::filesystem::path& stationDir, const std::string& text) {
    StationConfig cfg = StationConfig::loadFromDir(stationDir);
    std::string key = text.empty() ? "database" : "database." + text;
    std::string value = cfg.require(key);
    if (value.empty()) throw Error(cfg.source() + ": the setting '" + key + "' is empty");
    // A SQLite file given by a relative path lies in the station directory.
    return db::anchoredConnectionString(value, stationDir);
}

void SetADODBSession(db::Connection& connection) {
    switch (connection.backend()) {
        case db::Backend::Sqlite3:
            connection.executeDirect("PRAGMA busy_timeout = 5000");
            // An in-memory database answers "memory"; that is all it can do.
            connection.executeDirect("PRAGMA journal_mode = WAL");
            connection.executeDirect("PRAGMA synchronous = FULL");
            connection.executeDirect("PRAGMA foreign_keys = ON");
            break;
        case db::Backend::PostgreSql:
            connection.executeDirect("SET statement_timeout = 0");
            connection.executeDirect("SET datestyle = 'ISO, YMD'");
            connection.executeDirect("SET client_encoding = 'UTF8'");
            // Notices ("already exists, skipping") are not for the user.
            connection.executeDirect("SET client_min_messages = warning");
            break;
        case db::Backend::Odbc:
            break;
    }
}

void TryConnect(db::Connection& connection, const TryConnectPolicy& policy) {
    // Connected already: keep the session and any transaction it holds.
    if (connection.connected()) return;
    int attempts = policy.attempts < 1 ? 1 : policy.attempts;
    auto delay = policy.delay;
    std::string last;
    for (int i = 1; i <= attempts; ++i) {
        try {
            connection.connect();
            return;
        } catch (const db::ConnectError& e) {
            if (e.permanent()) throw;
            last = e.what();
        }
        if (i < attempts) {
            std::this_thread::sleep_for(delay);
            delay *= 2;
        }
    }
    throw db::ConnectError("cannot connect to " + connection.describe() + " after " + std::to_string(attempts) +
                               (attempts == 1 ? " attempt: " : " attempts: ") + last,
                           false);
}

std::string ADOExceptionMessage(const std::exception& error, const db::Connection& connection,
                                const std::string& text) {
    try {
        std::string what = error.what();
        std::string where = connection.describe();
        // Errors of the client layer already name the database.
        std::string msg = what.find(where) != std::string::npos ? what : "database error on " + where + ": " + what;
        try {
            msg = connection.target().redact(msg);
        } catch (...) {}
        return text.empty() ? msg : text + ": " + msg;
    } catch (...) {
        return "database error";
    }
}

}  // namespace zel::util
