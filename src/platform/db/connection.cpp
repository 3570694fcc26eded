// Connection strings, the connection over a SOCI session, and transactions.
#include "platform/db/connection.h"

#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

#include <sqlite3.h>

#include <fmt/format.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <map>

#include "platform/db/dialect.h"
#include "platform/db/statement.h"
#include "platform/text.h"

namespace zel::db {
namespace {

std::atomic<uint64_t> statementsRun{0}, statementsPrepared{0}, transactionsRun{0}, commitsDone{0}, roundTripsDone{0},
    unflushedCommitsDone{0}, pagesWrittenDone{0};

// The pages a SQLite session wrote to its log since this was last asked.
void countPagesWritten(void* handle) {
    int written = 0, highest = 0;
    if (handle && sqlite_api::sqlite3_db_status(static_cast<sqlite_api::sqlite3*>(handle),
                                                SQLITE_DBSTATUS_CACHE_WRITE, &written, &highest, 1) == SQLITE_OK)
        pagesWrittenDone += static_cast<uint64_t>(written);
}

// SQLite keeps no memory statistics here (nothing reads them): without
// them its allocations take no process-wide lock. Set before the library
// starts, which the first connection does.
[[maybe_unused]] const bool sqliteWithoutMemoryStatistics =
    sqlite_api::sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trim(std::string_view s) { return std::string(trimWhitespace(s)); }

[[noreturn]] void malformed(std::string_view backend, std::string_view database, std::string_view why) {
    throw ConnectError("cannot connect to " + std::string(backend) + " database '" + std::string(database) +
                           "': malformed connection string: " + std::string(why),
                       true);
}

// libpq keyword=value pairs; a value may be 'quoted' with \' and \\ escapes.
std::map<std::string, std::string> parseKeywordValues(std::string_view s, std::string& error) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (true) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i >= s.size()) break;
        size_t k = i;
        while (i < s.size() && s[i] != '=' && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        std::string key = lower(s.substr(k, i - k));
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i >= s.size() || s[i] != '=' || key.empty()) {
            error = "expected keyword=value at '" + key + "'";
            return out;
        }
        ++i;
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        std::string value;
        if (i < s.size() && s[i] == '\'') {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                if (s[i] == '\\' && i + 1 < s.size()) {
                    value += s[i + 1];
                    i += 2;
                } else if (s[i] == '\'') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    value += s[i++];
                }
            }
            if (!closed) {
                error = "unterminated quote in the value of '" + key + "'";
                return out;
            }
        } else {
            while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) value += s[i++];
        }
        out[key] = value;
    }
    return out;
}

// ODBC: KEY=VALUE separated by ';', a value may be {braced} and then hold ';'.
std::map<std::string, std::string> parseOdbc(std::string_view s, std::string& error) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t eq = s.find('=', i);
        size_t semi = s.find(';', i);
        if (semi != std::string_view::npos && (eq == std::string_view::npos || semi < eq)) {
            if (!trim(s.substr(i, semi - i)).empty()) {
                error = "expected KEY=VALUE separated by ';'";
                return out;
            }
            i = semi + 1;
            continue;
        }
        if (eq == std::string_view::npos) {
            if (!trim(s.substr(i)).empty()) error = "expected KEY=VALUE separated by ';'";
            return out;
        }
        std::string key = lower(trim(s.substr(i, eq - i)));
        if (key.empty()) {
            error = "expected KEY=VALUE separated by ';'";
            return out;
        }
        size_t v = eq + 1;
        while (v < s.size() && std::isspace(static_cast<unsigned char>(s[v]))) ++v;
        std::string value;
        if (v < s.size() && s[v] == '{') {
            size_t close = s.find('}', v + 1);
            if (close == std::string_view::npos) {
                error = "unterminated '{' in the value of " + key;
                return out;
            }
            value = std::string(s.substr(v + 1, close - v - 1));
            size_t next = s.find(';', close);
            i = next == std::string_view::npos ? s.size() : next + 1;
        } else {
            size_t next = s.find(';', v);
            value = trim(s.substr(v, next == std::string_view::npos ? std::string_view::npos : next - v));
            i = next == std::string_view::npos ? s.size() : next + 1;
        }
        out[key] = value;
    }
    return out;
}

// A value as it stands, or within `quote` with that character and backslashes
// escaped, when it is empty or holds a space, a quote or a backslash.
std::string quotedValue(const std::string& v, char quote) {
    bool plain = !v.empty();
    for (char c : v)
        if (std::isspace(static_cast<unsigned char>(c)) || c == '\'' || c == '"' || c == '\\') plain = false;
    if (plain) return v;
    std::string out(1, quote);
    for (char c : v) {
        if (c == quote || c == '\\') out += '\\';
        out += c;
    }
    return out + quote;
}

std::string quoteForSoci(const std::string& v) { return quotedValue(v, '"'); }

}  // namespace

std::string_view backendName(Backend backend) {
    switch (backend) {
        case Backend::Sqlite3:
            return "sqlite3";
        case Backend::PostgreSql:
            return "postgresql";
        case Backend::Odbc:
            return "odbc";
    }
    return "?";
}

ConnectionString ConnectionString::parse(std::string_view text) {
    size_t sep = text.find("://");
    if (sep == std::string_view::npos)
        throw ConnectError(
            "cannot connect: malformed connection string (backend unknown, database unknown): expected "
            "BACKEND://SETTINGS with BACKEND one of sqlite3, postgresql, odbc",
            true);
    std::string name = lower(trim(text.substr(0, sep)));
    std::string rest = trim(text.substr(sep + 3));
    ConnectionString cs;
    if (name == "sqlite3" || name == "sqlite") {
        cs.backend = Backend::Sqlite3;
        std::string path;
        std::string extra;
        if (rest.find('=') == std::string::npos) {
            path = rest;
        } else {
            std::string err;
            auto kv = parseKeywordValues(rest, err);
            if (!err.empty()) malformed("sqlite3", kv.count("db") ? kv["db"] : "", err);
            for (auto& [k, v] : kv) {
                if (k == "db" || k == "dbname") path = v;
                else extra += " " + k + "=" + quoteForSoci(v);
            }
        }
        if (path.empty()) malformed("sqlite3", "", "no database file: write sqlite3://db=PATH");
        cs.database = path;
        cs.settings = "db=" + quoteForSoci(path) + extra;
    } else if (name == "postgresql" || name == "postgres") {
        cs.backend = Backend::PostgreSql;
        std::string err;
        auto kv = parseKeywordValues(rest, err);
        std::string db = kv.count("dbname") ? kv["dbname"] : "(default)";
        std::string where = kv.count("host") ? kv["host"] : "(local socket)";
        if (kv.count("port")) where += ":" + kv["port"];
        cs.database = db + " on " + where;
        if (!err.empty()) malformed("postgresql", cs.database, err);
        if (rest.empty())
            malformed("postgresql", cs.database, "no settings: write postgresql://host=H dbname=D user=U");
        if (kv.count("password") && !kv["password"].empty()) cs.secrets.push_back(kv["password"]);
        cs.settings = rest;
    } else if (name == "odbc") {
        cs.backend = Backend::Odbc;
        std::string err;
        auto kv = parseOdbc(rest, err);
        if (kv.count("dsn")) cs.database = "DSN=" + kv["dsn"];
        else if (kv.count("driver"))
            cs.database = "DRIVER=" + kv["driver"] + (kv.count("database") ? " DATABASE=" + kv["database"] : "");
        if (!err.empty()) malformed("odbc", cs.database, err);
        if (cs.database.empty()) malformed("odbc", "", "neither DSN= nor DRIVER= given");
        for (const char* k : {"pwd", "password"})
            if (kv.count(k) && !kv[k].empty()) cs.secrets.push_back(kv[k]);
        cs.settings = rest;
    } else {
        throw ConnectError("cannot connect: unknown database backend '" + name +
                               "' (database unknown); known backends: sqlite3, postgresql, odbc",
                           true);
    }
    return cs;
}

namespace {

// A value of a keyword=value string, quoted when it must be.
std::string keywordValue(const std::string& v) { return quotedValue(v, '\''); }

}  // namespace

std::string anchoredConnectionString(const std::string& text, const std::filesystem::path& dir) {
    size_t sep = text.find("://");
    if (sep == std::string::npos) return text;
    std::string name = lower(trim(std::string_view(text).substr(0, sep)));
    if (name != "sqlite3" && name != "sqlite") return text;
    std::string rest = trim(std::string_view(text).substr(sep + 3));
    auto anchored = [&](const std::string& path) -> std::string {
        if (path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0) return "";
        std::filesystem::path p(path);
        if (p.is_absolute()) return "";
        return (dir / p).lexically_normal().string();
    };
    const std::string head = text.substr(0, sep + 3);
    if (rest.find('=') == std::string::npos) {
        std::string a = anchored(rest);
        return a.empty() ? text : head + a;
    }
    std::string err;
    auto kv = parseKeywordValues(rest, err);
    if (!err.empty()) return text;
    std::string key = kv.count("db") ? "db" : kv.count("dbname") ? "dbname" : "";
    std::string a = key.empty() ? "" : anchored(kv[key]);
    if (a.empty()) return text;
    std::string out = head + key + "=" + keywordValue(a);
    for (const auto& [k, v] : kv)
        if (k != key) out += " " + k + "=" + keywordValue(v);
    return out;
}

std::string ConnectionString::describe() const {
    return std::string(backendName(backend)) + " database '" + database + "'";
}

std::string ConnectionString::redact(std::string message) const {
    for (const std::string& s : secrets) {
        if (s.empty()) continue;
        size_t pos = 0;
        while ((pos = message.find(s, pos)) != std::string::npos) {
            message.replace(pos, s.size(), "***");
            pos += 3;
        }
    }
    return message;
}

Connection::Connection() = default;
Connection::Connection(std::string connectionString) { setConnectionString(std::move(connectionString)); }
Connection::~Connection() {
    try {
        disconnect();
    } catch (...) {}
    kept_.clear();  // while the connection they refer to still stands
}

Statement* Connection::keptStatement(const std::string& key) const {
    auto it = kept_.find(key);
    return it == kept_.end() ? nullptr : it->second.get();
}

Statement& Connection::keepStatement(const std::string& key, std::unique_ptr<Statement> statement) {
    if (kept_.size() >= kKeptStatements) kept_.clear();
    auto& slot = kept_[key];
    slot = std::move(statement);
    return *slot;
}

void Connection::setConnectionString(std::string text) {
    connectionString_ = std::move(text);
    target_.reset();
}

const ConnectionString& Connection::target() const {
    if (!target_) {
        auto* self = const_cast<Connection*>(this);
        self->target_ = std::make_unique<ConnectionString>(ConnectionString::parse(connectionString_));
    }
    return *target_;
}

const Dialect& Connection::dialect() const { return Dialect::of(backend()); }

std::string Connection::describe() const {
    try {
        return target().describe();
    } catch (const std::exception&) {
        return "database with a malformed connection string";
    }
}

bool Connection::connected() const { return session_ != nullptr; }

// The SQLite handle of a session opened on the SQLite backend. The backend's
// type information is not exported by its library, so the sanitizer's check
// of the downcast (which needs it) is left out here.
#if defined(__clang__)
__attribute__((no_sanitize("vptr")))
#endif
static sqlite_api::sqlite3*
sqliteHandle(soci::session& session) {
    auto* backend = static_cast<soci::sqlite3_session_backend*>(session.get_backend());
    return backend ? backend->conn_ : nullptr;
}

// The libpq handle of a session opened on the PostgreSQL backend (see sqliteHandle).
#if defined(__clang__)
__attribute__((no_sanitize("vptr")))
#endif
static PGconn*
postgresqlHandle(soci::session& session) {
    auto* backend = static_cast<soci::postgresql_session_backend*>(session.get_backend());
    return backend ? backend->conn_ : nullptr;
}

// What was sent ahead on a PostgreSQL session and not yet answered, and the
// server-side statements made for sending ahead (by their numbered text).
struct Connection::Ahead {
    enum class Kind { Prepare, Run, Commit, Sync };
    struct Sent {
        Kind kind;
        std::string name;  // the command's, for messages
        std::string sql;   // Prepare: the text it was made for
        std::function<void(const pg_result*)> onResult = {};  // Run: who reads its result
        const void* readAheadOwner = nullptr;                 // a query read ahead (Connection::readAhead)
        bool quiet = false;                                   // its failure is dropped, not told
    };
    std::vector<Sent> sent;
    std::unordered_map<std::string, std::string> statements;  // numbered text -> server statement
    int made = 0;
};

bool Connection::lost() const {
    if (!session_ || inTransaction_ || !target_ || target_->backend != Backend::PostgreSql) return false;
    PGconn* handle = postgresqlHandle(*session_);
    return handle && PQstatus(handle) == CONNECTION_BAD;
}

void Connection::connect() {
    disconnect();
    if (beforeConnect_) beforeConnect_(*this);
    const ConnectionString& cs = target();
    auto session = std::make_unique<soci::session>();
    try {
        switch (cs.backend) {
            case Backend::Sqlite3:
                session->open(*soci::factory_sqlite3(), cs.settings);
                break;
            case Backend::PostgreSql:
                session->open(*soci::factory_postgresql(), cs.settings);
                break;
            // Loaded by name: the ODBC backend's headers need the driver manager's.
            case Backend::Odbc:
                session->open("odbc", cs.settings);
                break;
        }
    } catch (const std::exception& e) {
        throw ConnectError(cs.redact("cannot open " + cs.describe() + ": " + trim(e.what())), false);
    }
    if (cs.backend == Backend::Sqlite3)
        if (sqlite_api::sqlite3* handle = sqliteHandle(*session)) {
            sqliteCommits_ = {&unflushed_, handle};
            // Every write transaction SQLite commits, including a statement's
            // own. The hook runs before the commit writes: the pages counted
            // there are the earlier commits'.
            sqlite3_commit_hook(
                handle,
                [](void* commits) {
                    const auto* c = static_cast<const SqliteCommits*>(commits);
                    if (c->unflushed && *c->unflushed) ++unflushedCommitsDone;
                    else ++commitsDone;
                    countPagesWritten(c->handle);
                    return 0;  // the commit goes on
                },
                &sqliteCommits_);
        }
    session_ = std::move(session);
    inTransaction_ = false;
    try {
        if (afterConnect_) afterConnect_(*this);
    } catch (...) {
        session_.reset();
        throw;
    }
    ++connectCount_;
}

void Connection::addPrepared(const void* owner, std::function<void()> release) {
    removePrepared(owner);
    prepared_.emplace_back(owner, std::move(release));
}

void Connection::removePrepared(const void* owner) {
    std::erase_if(prepared_, [&](const auto& p) { return p.first == owner; });
}

void Connection::disconnect() {
    failedAhead_.clear();
    readAhead_.clear();
    if (ahead_ && session_) {
        // Out of pipeline mode first, so that the session's statements can be
        // let go; unanswered commands die with the session's transaction. A
        // session whose server is gone answers nothing: it is closed anyway.
        PGconn* pg = postgresqlHandle(*session_);
        if (pg && PQpipelineStatus(pg) != PQ_PIPELINE_OFF) {
            if (!ahead_->sent.empty() && ahead_->sent.back().kind != Ahead::Kind::Sync) PQpipelineSync(pg);
            // Each command's answer ends with a null; two in a row, nothing more comes.
            for (int nulls = 0; nulls < 2 && PQexitPipelineMode(pg) != 1;) {
                PGresult* r = PQgetResult(pg);
                if (!r) {
                    ++nulls;
                    continue;
                }
                PQclear(r);
                nulls = 0;
            }
        }
    }
    ahead_.reset();
    // Prepared statements belong to the session: they go first.
    auto prepared = std::move(prepared_);
    prepared_.clear();
    for (auto& [owner, release] : prepared) release();
    if (!session_) return;
    if (inTransaction_) {
        inTransaction_ = false;
        try {
            session_->rollback();
        } catch (...) {}
    }
    countPagesWritten(sqliteCommits_.handle);  // the last commit's
    sqliteCommits_ = {};
    session_.reset();
}

soci::session& Connection::session() {
    ensureConnected();
    if (ahead_ && !ahead_->sent.empty()) settle();
    if (!failedAhead_.empty() && inTransaction_) throw DbError(failedAhead_);
    return *session_;
}

bool Connection::awaitsAnswers() const { return ahead_ && !ahead_->sent.empty(); }

bool Connection::sendsAhead() const {
    return session_ && target_ && target_->backend == Backend::PostgreSql && (inTransaction_ || unflushed_);
}

void Connection::failSending(const std::string& name, const char* what) {
    // A command that cannot be sent leaves the session of no further use: it
    // is closed, and the transaction with it on the server.
    PGconn* pg = postgresqlHandle(*session_);
    DbError e(target().redact(name + " on " + describe() + ": " + what + ": " + trim(PQerrorMessage(pg))));
    inTransaction_ = false;
    disconnect();
    throw e;
}

const std::string& Connection::preparedAhead(const std::string& name, const std::string& numberedSql, int params) {
    PGconn* pg = postgresqlHandle(*session_);
    if (!ahead_) ahead_ = std::make_unique<Ahead>();
    Ahead& a = *ahead_;
    if (PQpipelineStatus(pg) == PQ_PIPELINE_OFF && PQenterPipelineMode(pg) != 1)
        failSending(name, "cannot be sent ahead");
    auto [made, fresh] = a.statements.try_emplace(numberedSql);
    if (fresh) {
        made->second = "zel_ahead_" + std::to_string(++a.made);
        if (PQsendPrepare(pg, made->second.c_str(), numberedSql.c_str(), params, nullptr) != 1) {
            a.statements.erase(made);
            failSending(name, "cannot be prepared");
        }
        a.sent.push_back({Ahead::Kind::Prepare, name, numberedSql});
        countTraffic(0, 1, 0);
    }
    return made->second;
}

void Connection::pushText(const char* sql, const std::string& name, bool commit) {
    const std::string& prepared = preparedAhead(name, sql, 0);
    if (PQsendQueryPrepared(postgresqlHandle(*session_), prepared.c_str(), 0, nullptr, nullptr, nullptr, 0) != 1)
        failSending(name, "cannot be sent");
    ahead_->sent.push_back({commit ? Ahead::Kind::Commit : Ahead::Kind::Run, name, {}});
}

void Connection::pushAhead(const std::string& name, const std::string& numberedSql,
                           const std::vector<const std::string*>& values) {
    const std::string& prepared = preparedAhead(name, numberedSql, static_cast<int>(values.size()));
    std::vector<const char*> texts;
    texts.reserve(values.size());
    for (const std::string* v : values) texts.push_back(v ? v->c_str() : nullptr);
    if (PQsendQueryPrepared(postgresqlHandle(*session_), prepared.c_str(), static_cast<int>(texts.size()),
                            texts.data(), nullptr, nullptr, 0) != 1)
        failSending(name, "cannot be sent");
    ahead_->sent.push_back({Ahead::Kind::Run, name, {}});
    countTraffic(1, 0, 0);
}

void Connection::sendAhead(const std::string& name, const std::string& numberedSql,
                           const std::vector<const std::string*>& values, bool leavesReadsAhead) {
    if (!leavesReadsAhead) readAhead_.clear();  // a write: what was read ahead may no longer hold
    // Outside a transaction (a write whose flush can wait): a transaction of
    // its own, the implicit one up to the sync point that ends it, committed
    // without waiting for the server's flush (set_config's local setting ends
    // with it; SET LOCAL would be warned about outside a block). Nobody waits
    // for its answer either: the next exchange reads it. A later flushed
    // commit takes it to the disk.
    bool alone = !inTransaction_;
    if (alone) {
        if (ahead_ && !ahead_->sent.empty()) settle();  // reads sent ahead: not part of this write
        pushText("SELECT set_config('synchronous_commit', 'off', true)", name, false);
    }
    pushAhead(name, numberedSql, values);
    if (alone) {
        // Its failure is dropped, as a loss of the write would be; the sync
        // point rolls it back and keeps it from aborting what is sent after.
        // (All that is sent and unanswered is this write's: the rest was settled.)
        for (Ahead::Sent& s : ahead_->sent) s.quiet = true;
        if (PQpipelineSync(postgresqlHandle(*session_)) != 1) failSending(name, "cannot be sent");
        ahead_->sent.push_back({Ahead::Kind::Sync, name, {}});
        transactionsRun += 2;
        ++unflushedCommitsDone;
    }
}

void Connection::queueAhead(const std::string& name, const std::string& numberedSql,
                            const std::vector<const std::string*>& values,
                            std::function<void(const pg_result*)> onResult) {
    // A failure read while a statement was let go ends the transaction first.
    if (!failedAhead_.empty() && inTransaction_) throw DbError(failedAhead_);
    pushAhead(name, numberedSql, values);
    ahead_->sent.back().onResult = std::move(onResult);
}

void Connection::readAhead(const void* owner, std::string valuesKey, const std::string& name,
                           const std::string& numberedSql, const std::vector<const std::string*>& values,
                           std::function<void(const pg_result*)> onResult) {
    if (!failedAhead_.empty() && inTransaction_) throw DbError(failedAhead_);
    uint64_t id = ++readAheadMade_;
    // A prepare sent with it is as quiet as the query: its failure is the
    // query's.
    size_t first = ahead_ ? ahead_->sent.size() : 0;
    pushAhead(name, numberedSql, values);
    Ahead::Sent& run = ahead_->sent.back();
    run.readAheadOwner = owner;
    for (size_t i = first; i < ahead_->sent.size(); ++i) ahead_->sent[i].quiet = !inTransaction_;
    run.onResult = [this, owner, id, quiet = !inTransaction_, onResult = std::move(onResult)](const pg_result* r) {
        auto it = readAhead_.find(owner);
        if (it == readAhead_.end() || it->second.id != id) return;  // replaced or forgotten meanwhile
        try {
            onResult(r);
        } catch (...) {
            readAhead_.erase(owner);
            if (!quiet) throw;
            return;
        }
        it->second.ready = true;
    };
    readAhead_[owner] = ReadAhead{std::move(valuesKey), id, false};
}

bool Connection::takeReadAhead(const void* owner, const std::string& valuesKey) {
    auto it = readAhead_.find(owner);
    if (it == readAhead_.end()) return false;
    if (it->second.values != valuesKey) {
        readAhead_.erase(it);
        return false;
    }
    if (!it->second.ready) {
        settle();
        it = readAhead_.find(owner);
        if (it == readAhead_.end()) return false;
    }
    bool ready = it->second.ready;
    readAhead_.erase(it);
    return ready;
}

void Connection::settleQuietly() noexcept {
    if (!ahead_ || ahead_->sent.empty()) return;
    try {
        settle();
    } catch (const std::exception& e) {
        if (failedAhead_.empty()) failedAhead_ = e.what();
    }
}

void Connection::settleToCommit() {
    PGconn* pg = postgresqlHandle(*session_);
    try {
        settle();
    } catch (...) {
        // A command failed before the commit, which then did not run: the
        // server still holds the transaction, failed. It ends here.
        if (session_) {
            PGTransactionStatusType st = PQtransactionStatus(pg);
            if (st == PQTRANS_INERROR || st == PQTRANS_INTRANS) PQclear(PQexec(pg, "ROLLBACK"));
        }
        throw;
    }
}

void Connection::settle() {
    if (!ahead_ || ahead_->sent.empty() || !session_) return;
    PGconn* pg = postgresqlHandle(*session_);
    std::vector<Ahead::Sent> sent = std::move(ahead_->sent);
    ahead_->sent.clear();
    ++roundTripsDone;
    // Answers read ahead that were not handed over (a failure, a lost
    // session) are forgotten: their later runs ask the server themselves.
    struct DropUnread {
        Connection& c;
        const std::vector<Ahead::Sent>& sent;
        ~DropUnread() {
            for (const Ahead::Sent& s : sent) {
                if (!s.readAheadOwner) continue;
                auto it = c.readAhead_.find(s.readAheadOwner);
                if (it != c.readAhead_.end() && !it->second.ready) c.readAhead_.erase(it);
            }
        }
    } dropUnread{*this, sent};
    std::string failure;  // the first command that failed, with the server's words
    // The results someone reads, kept until every answer is read.
    using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;
    std::vector<std::pair<Result, size_t>> kept;
    // What was sent last may end at a sync point already (a write nobody waited for).
    bool synced = sent.back().kind == Ahead::Kind::Sync;
    bool broken = !synced && PQpipelineSync(pg) != 1;
    for (size_t i = 0; i < sent.size() && !broken; ++i) {
        PGresult* r = PQgetResult(pg);
        if (!r) {
            broken = true;
            break;
        }
        ExecStatusType status = PQresultStatus(r);
        if (sent[i].kind == Ahead::Kind::Sync) {
            // The end of the commands before it; those after it were not aborted by theirs.
            broken = status != PGRES_PIPELINE_SYNC;
            PQclear(r);
            continue;
        }
        bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        // A commit the server answers with a rollback (its transaction had
        // failed) is a failure, never a commit.
        if (ok && sent[i].kind == Ahead::Kind::Commit && std::strcmp(PQcmdStatus(r), "COMMIT") != 0) {
            ok = false;
            if (failure.empty())
                failure = "cannot commit on " + describe() + ": the server rolled the transaction back";
        }
        if (ok && sent[i].kind == Ahead::Kind::Run) {
            const char* rows = PQcmdTuples(r);
            lastAffected_ = rows && *rows ? std::atoll(rows) : 0;
        }
        if (!ok && sent[i].kind == Ahead::Kind::Prepare) ahead_->statements.erase(sent[i].sql);
        // The commands after a failure come back aborted: the first failure is the one to tell.
        if (!ok && failure.empty() && !sent[i].quiet) {
            if (status != PGRES_PIPELINE_ABORTED)
                failure = (sent[i].kind == Ahead::Kind::Commit ? "cannot commit" : sent[i].name) + " on " +
                          describe() + ": " + trim(PQresultErrorMessage(r));
            else if (sent[i].kind == Ahead::Kind::Run)
                // Behind a query read ahead that failed: never told as run.
                failure = sent[i].name + " on " + describe() + ": not run, a query read ahead of it failed";
        }
        if (ok && sent[i].onResult) kept.emplace_back(Result(r, PQclear), i);
        else PQclear(r);
        while ((r = PQgetResult(pg)) != nullptr) PQclear(r);  // each command's answer ends with a null
    }
    if (!broken && !synced) {
        PGresult* r = PQgetResult(pg);
        broken = !r || PQresultStatus(r) != PGRES_PIPELINE_SYNC;
        if (r) PQclear(r);
    }
    if (!broken && PQexitPipelineMode(pg) != 1) broken = true;
    if (broken) {
        // The answers cannot be read: the session is no longer of use, and its
        // transaction is gone with it.
        std::string why = trim(PQerrorMessage(pg));
        inTransaction_ = false;
        disconnect();
        throw DbError(target().redact((sent.empty() ? std::string("a command") : sent.back().name) + " on " +
                                      describe() + ": the answers of the server were lost: " + why));
    }
    if (!failure.empty()) throw DbError(target().redact(failure));
    for (auto& [result, i] : kept) sent[i].onResult(result.get());
}

void Connection::beginTransaction() {
    // On a server, a write let go ends at its own sync point, a transaction
    // of its own whose failure aborts nothing after it: the BEGIN goes behind
    // it, and its answer is read with the transaction's.
    bool behindSync = !inTransaction_ && session_ && !lost() && backend() == Backend::PostgreSql &&
                      awaitsAnswers() && ahead_->sent.back().kind == Ahead::Kind::Sync;
    soci::session& s = behindSync ? *session_ : session();
    if (inTransaction_) return;
    failedAhead_.clear();
    readAhead_.clear();
    if (backend() == Backend::PostgreSql) {
        // Reads sent ahead outside it were answered by session() above: none
        // of them belongs to the transaction, nor breaks it when it fails.
        // The BEGIN waits in the pipeline and goes with the transaction's
        // first statement: no exchange of its own.
        ++transactionsRun;
        pushText("BEGIN", "the transaction's BEGIN", false);
        inTransaction_ = true;
        return;
    }
    try {
        // SQLite: take the write lock at once, so a second process waits on the
        // busy time-out instead of failing when a read lock would be upgraded.
        ++transactionsRun;
        ++roundTripsDone;
        if (backend() == Backend::Sqlite3) s << "BEGIN IMMEDIATE";
        else s.begin();
    } catch (const std::exception& e) {
        throw DbError(target().redact("cannot begin a transaction on " + describe() + ": " + e.what()));
    }
    inTransaction_ = true;
}

void Connection::commit() {
    if (!inTransaction_ || !session_) return;
    inTransaction_ = false;
    readAhead_.clear();
    ++transactionsRun;
    if (backend() != Backend::Sqlite3) ++commitsDone;  // SQLite counts its own
    if (ahead_ && !ahead_->sent.empty()) {
        // The commit goes with the commands sent ahead: one exchange for all.
        // One that cannot be sent closes the session, and the transaction
        // with it on the server.
        pushText("COMMIT", "cannot commit", true);
        if (readsWithCommit_) {
            // Reads that wait for this commit go behind it. One that cannot
            // be sent closes the session, and the commit's answer with it.
            auto send = std::move(readsWithCommit_);
            readsWithCommit_ = nullptr;
            try {
                send();
            } catch (const std::exception&) {
                // Not sent: asked when their turn comes.
            }
            if (!session_)
                throw DbError(target().redact("cannot commit on " + describe() +
                                              ": the session closed while the commit was sent"));
        }
        settleToCommit();
        return;
    }
    if (backend() == Backend::PostgreSql) {
        // A failure read while a statement was let go, or a statement whose
        // failure its caller took in: the server holds the transaction
        // failed, and its commit would roll it back. It is never told as
        // committed.
        PGconn* pg = postgresqlHandle(*session_);
        if (!failedAhead_.empty() || PQtransactionStatus(pg) == PQTRANS_INERROR) {
            std::string why = failedAhead_.empty() ? std::string("a statement of the transaction failed") : failedAhead_;
            failedAhead_.clear();
            PQclear(PQexec(pg, "ROLLBACK"));
            throw DbError(target().redact("cannot commit on " + describe() + ": " + why));
        }
    }
    ++roundTripsDone;
    try {
        session_->commit();
    } catch (const std::exception& e) {
        throw DbError(target().redact("cannot commit on " + describe() + ": " + e.what()));
    }
}

void Connection::runSetting(const char* sql) {
    Statement* st = keptStatement(sql);
    if (!st)
        st = &keepStatement(sql, std::make_unique<Command>(*this, "session setting", sql, std::vector<ParamDecl>{}));
    static_cast<Command*>(st)->execute();
}

void Connection::withoutFlush(const std::function<void()>& work) {
    ensureConnected();  // the hooks may name the database first
    if (inTransaction_ || backend() == Backend::Odbc) return work();
    if (backend() == Backend::PostgreSql) {
        // The commands sent meanwhile commit without waiting for the flush.
        unflushed_ = true;
        struct Restore {
            bool& flag;
            ~Restore() { flag = false; }
        } restore{unflushed_};
        return work();
    }
    runSetting("PRAGMA synchronous = NORMAL");
    unflushed_ = true;
    struct Restore {
        Connection& c;
        ~Restore() {
            c.unflushed_ = false;
            try {
                c.runSetting("PRAGMA synchronous = FULL");
            } catch (...) {
                // Never left to commit unflushed: the next statement connects
                // again, with the session's own settings.
                c.disconnect();
            }
        }
    } restore{*this};
    work();
}

void Connection::rollback() {
    readAhead_.clear();
    if (!inTransaction_ || !session_) return;
    if (ahead_ && !ahead_->sent.empty()) {
        try {
            settle();  // what the commands sent ahead answered no longer matters
        } catch (const DbError&) {}
        if (!session_) return;  // gone with the server, and the transaction with it
    }
    inTransaction_ = false;
    failedAhead_.clear();
    ++transactionsRun;
    ++roundTripsDone;
    try {
        session_->rollback();
    } catch (const std::exception& e) {
        throw DbError(target().redact("cannot roll back on " + describe() + ": " + e.what()));
    }
}

void Connection::executeDirect(std::string_view sql) {
    soci::session& s = session();
    readAhead_.clear();
    auto started = std::chrono::steady_clock::now();
    struct Timed {
        Connection& c;
        std::chrono::steady_clock::time_point started;
        ~Timed() { c.addStatementTime(std::chrono::steady_clock::now() - started); }
    } timed{*this, started};
    countTraffic(1, 0, 1);
    try {
        s << dialect().adaptSql(sql);
    } catch (const std::exception& e) {
        throw DbError(target().redact(describe() + ": " + trim(e.what())));
    }
}

namespace {

// PostgreSQL: runs `body` for each table `t` of the session's schema that it
// may read and that meets `where` (more conditions on PG_CLASS C, each line
// starting with AND), in one block on the server; `declared` adds variables.
void forEachTable(Connection& connection, std::string_view declared, std::string_view where, std::string_view body) {
    connection.executeDirect(fmt::format(
        "DO $$\n"
        "DECLARE t REGCLASS; {};\n"
        "BEGIN\n"
        "  FOR t IN SELECT C.OID FROM PG_CLASS C\n"
        "            WHERE C.RELKIND = 'r' AND C.RELNAMESPACE = CURRENT_SCHEMA()::REGNAMESPACE\n"
        "{}"
        "              AND HAS_TABLE_PRIVILEGE(C.OID, 'SELECT') LOOP\n"
        "{}"
        "  END LOOP;\n"
        "END $$",
        declared, where, body));
}

}  // namespace

void refreshStatistics(Connection& connection) {
    switch (connection.backend()) {
        case Backend::Sqlite3:
            // A sample of about a thousand rows per index is enough to tell a
            // branch code from a consumer code; the limit is this
            // connection's and is lifted again afterwards.
            connection.executeDirect("PRAGMA analysis_limit = 1000");
            try {
                connection.executeDirect("ANALYZE");
            } catch (...) {
                connection.executeDirect("PRAGMA analysis_limit = 0");
                throw;
            }
            connection.executeDirect("PRAGMA analysis_limit = 0");
            break;
        case Backend::PostgreSql:
            // An empty table is left without statistics. The planner takes a
            // table never analysed for at least ten pages, so a lookup by key
            // on the sales a new station is about to write (and the checks of
            // their foreign keys) is planned on the key's index. Analysed
            // while empty, the table counts as truly empty, and a plan the
            // session keeps would scan every sale of the day on each lookup
            // until the table is analysed again.
            forEachTable(connection, "filled BOOLEAN", "",
                         "    EXECUTE FORMAT('SELECT EXISTS (SELECT 1 FROM %s)', t) INTO filled;\n"
                         "    IF filled THEN EXECUTE FORMAT('ANALYZE %s', t); END IF;\n");
            break;
        case Backend::Odbc:
            break;  // the installation's database keeps its own statistics
    }
}

void refreshGrownStatistics(Connection& connection) {
    if (connection.backend() != Backend::PostgreSql) return;
    forEachTable(connection, "page BIGINT := CURRENT_SETTING('block_size')::BIGINT",
                 "              AND PG_RELATION_SIZE(C.OID) >= 8 * page\n"
                 "              AND (C.RELTUPLES < 0 OR PG_RELATION_SIZE(C.OID) > 2 * C.RELPAGES * page)\n",
                 "    EXECUTE FORMAT('ANALYZE %s', t);\n");
}

Traffic traffic() {
    Traffic t;
    t.statements = statementsRun.load();
    t.prepares = statementsPrepared.load();
    t.transactions = transactionsRun.load();
    t.commits = commitsDone.load();
    t.unflushedCommits = unflushedCommitsDone.load();
    t.roundTrips = roundTripsDone.load();
    t.pagesWritten = pagesWrittenDone.load();
    return t;
}

void countServerCommit() {
    ++commitsDone;
}

void countTraffic(uint64_t statements, uint64_t prepares, uint64_t roundTrips) {
    statementsRun += statements;
    statementsPrepared += prepares;
    roundTripsDone += roundTrips;
}

}  // namespace zel::db
