// Running the program and reaching a station's database and files.
#include "exactly_once/station.h"

#include <fcntl.h>
#include <signal.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace zel::eo {

namespace {

// The libpq settings of the PostgreSQL database a station's configuration
// names when `file` (its station.db) is not there; "" for a SQLite station.
std::string postgresSettings(const fs::path& file) {
    if (fs::exists(file)) return "";
    std::ifstream in(file.parent_path() / "geracupom.conf");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos || line.compare(0, 8, "database") != 0) continue;
        std::string value = line.substr(eq + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        if (value.rfind("postgresql://", 0) == 0) return value.substr(13);
    }
    return "";
}

// One connection for one call; a busy database is waited for, like the
// program does. The station's SQLite file, or the PostgreSQL database its
// configuration names; every value comes as text, a truth value as 1 or 0.
class Database {
  public:
    explicit Database(const fs::path& file) {
        if (std::string pg = postgresSettings(file); !pg.empty()) {
            pg_ = PQconnectdb(pg.c_str());
            if (PQstatus(pg_) != CONNECTION_OK) {
                std::string why = PQerrorMessage(pg_);
                PQfinish(pg_);
                throw std::runtime_error("cannot connect to " + pg + ": " + why);
            }
            return;
        }
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error("cannot open " + file.string() + ": " + why);
        }
        sqlite3_busy_timeout(db_, 10000);
    }
    ~Database() {
        if (pg_) PQfinish(pg_);
        sqlite3_close(db_);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    Rows query(const std::string& sql) {
        if (pg_) return pgRun(sql);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        Rows rows;
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            std::vector<Cell> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                if (sqlite3_column_type(st, i) == SQLITE_NULL) row.emplace_back(std::nullopt);
                else row.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
            }
            rows.push_back(std::move(row));
        }
        std::string why = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_);
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + why);
        return rows;
    }
    void exec(const std::string& sql) {
        if (pg_) {
            pgRun(sql);
            return;
        }
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string why = err ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error(sql + ": " + why);
        }
    }

  private:
    Rows pgRun(const std::string& sql) {
        PGresult* r = PQexec(pg_, sql.c_str());
        ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            std::string why = PQresultErrorMessage(r);
            PQclear(r);
            throw std::runtime_error(sql + ": " + why);
        }
        constexpr Oid kBool = 16;
        Rows rows;
        for (int i = 0; i < PQntuples(r); ++i) {
            std::vector<Cell> row;
            for (int c = 0; c < PQnfields(r); ++c) {
                if (PQgetisnull(r, i, c)) row.emplace_back(std::nullopt);
                else if (PQftype(r, c) == kBool) row.emplace_back(PQgetvalue(r, i, c)[0] == 't' ? "1" : "0");
                else row.emplace_back(PQgetvalue(r, i, c));
            }
            rows.push_back(std::move(row));
        }
        PQclear(r);
        return rows;
    }

    sqlite3* db_ = nullptr;
    PGconn* pg_ = nullptr;
};

}  // namespace

Rows query(const fs::path& database, const std::string& sql) { return Database(database).query(sql); }
void exec(const fs::path& database, const std::string& sql) { Database(database).exec(sql); }

std::string scalar(const fs::path& database, const std::string& sql) {
    Rows r = query(database, sql);
    return r.empty() || r[0].empty() || !r[0][0] ? "" : *r[0][0];
}

double number(const fs::path& database, const std::string& sql) {
    std::string s = scalar(database, sql);
    return s.empty() ? 0.0 : std::stod(s);
}

int64_t cents(double amount) { return std::llround(amount * 100.0); }

std::string sqlText(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

// ---- the program

std::string programPath() {
#ifdef GERACUPOM_BIN
    return GERACUPOM_BIN;
#else
    return "geracupom";
#endif
}

Child start(const std::vector<std::string>& args, const fs::path& output) {
    std::vector<std::string> argv{programPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        ::execv(cargs[0], cargs.data());
        ::_exit(127);
    }
    return Child{pid, output};
}

ProgramResult finish(Child child, std::optional<std::chrono::milliseconds> killAfter) {
    int status = 0;
    if (killAfter) {
        auto deadline = std::chrono::steady_clock::now() + *killAfter;
        while (true) {
            pid_t r = ::waitpid(child.pid, &status, WNOHANG);
            if (r == child.pid) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(child.pid, SIGKILL);
                ::waitpid(child.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } else {
        ::waitpid(child.pid, &status, 0);
    }
    ProgramResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.output = slurp(child.output);
    return r;
}

ProgramResult program(const std::vector<std::string>& args, const fs::path& output) {
    return finish(start(args, output));
}

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---- a station

TestStation::TestStation(fs::path dir, int seed, const std::string& database) : dir_(std::move(dir)) {
    fs::remove_all(dir_);
    fs::create_directories(dir_.parent_path());
    std::vector<std::string> args{"init", dir_.string(), "--demo", "--seed", std::to_string(seed), "--day", kDay};
    if (!database.empty()) args.insert(args.end(), {"--db", database});
    ProgramResult r = program(args, dir_.parent_path() / (dir_.filename().string() + "-init.out"));
    if (r.status != 0) throw std::runtime_error("init of " + dir_.string() + " failed: " + r.output);
}

int TestStation::keepPassages(int n) {
    // Lunch and dinner passages of consumers with a balance, one per consumer.
    Rows rows = query(db(),
                      "SELECT L.CDFILIAL, L.NRSEQLOGCAT, L.CDCONSUMIDOR FROM LOGCATRACA L "
                      "ORDER BY L.NRSEQARQIMP, L.DATAREAL, L.HORAREAL, L.NRSEQLOGCAT");
    std::vector<std::string> keep, consumers;
    for (const auto& r : rows) {
        if (static_cast<int>(keep.size()) == n) break;
        const std::string consumer = r[2].value_or("");
        if (std::find(consumers.begin(), consumers.end(), consumer) != consumers.end()) continue;
        consumers.push_back(consumer);
        keep.push_back(r[1].value_or(""));
    }
    std::string list;
    for (const std::string& k : keep) list += (list.empty() ? "" : ",") + sqlText(k);
    exec(db(), "DELETE FROM LOGCATRACA WHERE NRSEQLOGCAT NOT IN (" + list + ")");
    return static_cast<int>(keep.size());
}

ProgramResult TestStation::run(const std::string& tag) { return finish(startRun(tag)); }

Child TestStation::startRun(const std::string& tag) {
    return start({"run", dir_.string(), "--json", "--now", kNow},
                 dir_.parent_path() / (dir_.filename().string() + "-" + tag + ".out"));
}

void TestStation::setKey(const std::string& key, const std::string& value) {
    dropKey(key);
    std::ofstream(dir_ / "geracupom.conf", std::ios::app) << key << " = " << value << "\n";
}

void TestStation::dropKey(const std::string& key) {
    std::ifstream in(dir_ / "geracupom.conf");
    std::string all, line;
    while (std::getline(in, line)) {
        std::string k = line.substr(0, line.find('='));
        while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.pop_back();
        if (k != key) all += line + "\n";
    }
    in.close();
    std::ofstream(dir_ / "geracupom.conf", std::ios::trunc) << all;
}

void TestStation::dropKeysStarting(const std::string& prefix) {
    std::ifstream in(dir_ / "geracupom.conf");
    std::string all, line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) != 0) all += line + "\n";
    in.close();
    std::ofstream(dir_ / "geracupom.conf", std::ios::trunc) << all;
}

std::vector<std::string> TestStation::consumerCodes() const {
    std::vector<std::string> out;
    for (const auto& r : query(db(), "SELECT CDIDCONSUMID FROM CONSUMIDOR ORDER BY CDIDCONSUMID"))
        if (r[0]) out.push_back(*r[0]);
    return out;
}

fs::path testDirectory() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    fs::path dir = fs::temp_directory_path() / ("zel_eo_" + std::to_string(::getpid())) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace zel::eo
