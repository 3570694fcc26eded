// Fresh databases of each backend for the database tests, and the service
// module's database part wired to the utility library's connection operations.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "data/schema.h"
#include "data/statements.h"
#include "external/utility/util_connection.h"
#include "pg_cluster.h"
#include "platform/db/connection.h"

namespace zel::testing {

inline std::string backendLabel(const ::testing::TestParamInfo<db::Backend>& info) {
    switch (info.param) {
        case db::Backend::Sqlite3:
            return "SQLite";
        case db::Backend::PostgreSql:
            return "PostgreSQL";
        case db::Backend::Odbc:
            return "ODBC";
    }
    return "unknown";
}

// The PostgreSQL ODBC driver of unixODBC, as Debian installs it (odbc-postgresql).
inline const char* kPostgresOdbcDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

// A DSN "zeltest" for the private cluster, in an odbcinst.ini and odbc.ini of
// this process's own (ODBCSYSINI and ODBCINI point at them), as an
// installation keeps its DSN; each test names its own database in the
// connection string. An empty text when ready, else why not.
inline std::string prepareOdbc(PgCluster& pg, std::filesystem::path& dirOut) {
#ifndef ZEL_HAVE_SOCI_ODBC
    return "SOCI was built without its ODBC backend";
#endif
    if (!std::filesystem::exists(kPostgresOdbcDriver))
        return std::string("the PostgreSQL ODBC driver is not installed (") + kPostgresOdbcDriver +
               "; apt-get install odbc-postgresql unixodbc)";
    static std::filesystem::path dir;
    if (dir.empty()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zel-odbc-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return "mkdtemp failed";
        dir = tmpl;
        std::ofstream(dir / "odbcinst.ini")
            << "[PostgreSQL Unicode]\nDescription=PostgreSQL ODBC driver\nDriver=" << kPostgresOdbcDriver << "\n";
        std::ofstream(dir / "odbc.ini") << "[zeltest]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort="
                                        << pg.port() << "\nDatabase=postgres\nUsername=postgres\n";
        setenv("ODBCSYSINI", dir.c_str(), 1);
        setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
    }
    dirOut = dir;
    return "";
}

// The connection string of database `name` of the private cluster through the DSN.
inline std::string odbcConnectionString(const std::string& name) {
    return "odbc://DSN=zeltest;Database=" + name + ";UID=postgres";
}

// A temporary directory removed at the end of the case.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zel-db-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::string lowerCopy(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A zero-filled number of `length` digits; other texts cut or padded with blanks.
inline std::string testAjusta(const std::string& text, int length) {
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    std::string s = text;
    if (static_cast<int>(s.size()) > length) return s.substr(s.size() - static_cast<size_t>(length));
    return digits ? std::string(static_cast<size_t>(length) - s.size(), '0') + s
                  : s + std::string(static_cast<size_t>(length) - s.size(), ' ');
}

// Counts of the connect handlers' calls, for the cases that check them.
struct SlotCalls {
    int getStringConexZel = 0;
    int setADODBSession = 0;
};

inline ModuleDatabase::Slots utilitySlots(const std::filesystem::path& stationDir, SlotCalls* calls = nullptr) {
    ModuleDatabase::Slots s;
    s.getStringConexZel = [stationDir, calls](const std::string& text) {
        if (calls) ++calls->getStringConexZel;
        return util::_GetStringConexZel(stationDir, text);
    };
    s.setADODBSession = [calls](db::Connection& c) {
        if (calls) ++calls->setADODBSession;
        util::SetADODBSession(c);
    };
    s.tryConnect = [](db::Connection& c) { util::TryConnect(c, {2, std::chrono::milliseconds(0)}); };
    s.adoExceptionMessage = util::ADOExceptionMessage;
    s.ajusta = testAjusta;
    return s;
}

// A fixture over both backends: a fresh database with the schema, a station
// directory whose configuration names it, an administrative connection for
// fixture rows and checks, and the module's database part.
class BackendTest : public ::testing::TestWithParam<db::Backend> {
  protected:
    virtual bool withSchema() const { return true; }

    // An empty text when the database is ready, "skip", or why it is not.
    std::string openDatabase() {
        std::string adminString;
        if (GetParam() == db::Backend::Sqlite3) {
            connectionString_ = "sqlite3://db=" + (dir_.path() / "station.db").string();
        } else {
            PgCluster& pg = PgCluster::shared();
            if (!pg.running()) {
                if (PgCluster::skipAllowed()) return "skip";
                return "PostgreSQL could not be started (set ZEL_SKIP_POSTGRES=1 to skip): " + pg.error();
            }
            std::string name = pg.createDatabase();
            connectionString_ = pg.connectionString(name);
            if (GetParam() == db::Backend::Odbc) {
                // The installation's own database, reached through a DSN: the
                // schema and the fixture rows go in directly.
                adminString = connectionString_;
                std::filesystem::path odbcDir;
                std::string why = prepareOdbc(pg, odbcDir);
                if (!why.empty()) return PgCluster::skipAllowed() ? "skip" : "ODBC: " + why;
                connectionString_ = odbcConnectionString(name);
            }
        }
        if (adminString.empty()) adminString = connectionString_;
        std::ofstream(dir_.path() / "geracupom.conf") << "# test station\ndatabase = " << connectionString_ << "\n";
        admin_ = std::make_unique<db::Connection>(adminString);
        admin_->setAfterConnect([](db::Connection& c) { util::SetADODBSession(c); });
        if (withSchema()) applySchema(*admin_);
        module_ = std::make_unique<ModuleDatabase>(utilitySlots(dir_.path(), &calls_), FormatSettings{});
        return "";
    }

    void SetUp() override {
        std::string why = openDatabase();
        if (why == "skip") GTEST_SKIP() << "PostgreSQL or its ODBC driver skipped (ZEL_SKIP_POSTGRES=1)";
        if (!why.empty()) FAIL() << why;
    }

    void exec(const std::string& sql) { admin_->executeDirect(sql); }
    // Makes a table unreachable under its name (a rename: other tables may refer to it).
    void hideTable(const std::string& table) { exec("ALTER TABLE " + table + " RENAME TO " + table + "_GONE"); }

    TempDir dir_;
    std::string connectionString_;
    std::unique_ptr<db::Connection> admin_;
    std::unique_ptr<ModuleDatabase> module_;
    SlotCalls calls_;
};

}  // namespace zel::testing
