// Fresh databases of each backend for the database tests, and the service
// module's database part wired to the utility library's connection operations.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "data/schema.h"
#include "data/statements.h"
#include "external/util_connection.h"
#include "pg_cluster.h"
#include "platform/db/connection.h"

namespace zel::testing {

inline std::string backendLabel(const ::testing::TestParamInfo<db::Backend>& info) {
    return info.param == db::Backend::Sqlite3 ? "SQLite" : "PostgreSQL";
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
        if (GetParam() == db::Backend::Sqlite3) {
            connectionString_ = "sqlite3://db=" + (dir_.path() / "station.db").string();
        } else {
            PgCluster& pg = PgCluster::shared();
            if (!pg.running()) {
                if (PgCluster::skipAllowed()) return "skip";
                return "PostgreSQL could not be started (set ZEL_SKIP_POSTGRES=1 to skip): " + pg.error();
            }
            connectionString_ = pg.connectionString(pg.createDatabase());
        }
        std::ofstream(dir_.path() / "geracupom.conf") << "# test station\ndatabase = " << connectionString_ << "\n";
        admin_ = std::make_unique<db::Connection>(connectionString_);
        admin_->setAfterConnect([](db::Connection& c) { util::SetADODBSession(c); });
        if (withSchema()) applySchema(*admin_);
        module_ = std::make_unique<ModuleDatabase>(utilitySlots(dir_.path(), &calls_), FormatSettings{});
        return "";
    }

    void SetUp() override {
        std::string why = openDatabase();
        if (why == "skip") GTEST_SKIP() << "PostgreSQL skipped (ZEL_SKIP_POSTGRES=1)";
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
