// The database connection of the client layer: a connection string that names
// the backend, hooks that run around each connect, and transactions.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/error.h"

namespace soci {
class session;
}
struct pg_result;  // libpq's result

namespace zel::db {

enum class Backend { Sqlite3, PostgreSql, Odbc };
std::string_view backendName(Backend backend);

class Dialect;
class Statement;

// A failure of the database or of the client layer.
class DbError : public Error {
  public:
    using Error::Error;
};

// A connection that could not be made. `permanent` is true when trying again
// cannot help (a malformed string, an unknown backend).
class ConnectError : public DbError {
  public:
    ConnectError(const std::string& what, bool permanent) : DbError(what), permanent_(permanent) {}
    bool permanent() const { return permanent_; }

  private:
    bool permanent_;
};

// A connection string, "BACKEND://SETTINGS":
//
//   sqlite3://db=/var/lib/zel/station.db [timeout=SECONDS]
//   sqlite3:///var/lib/zel/station.db              (a bare path means db=PATH)
//   sqlite3://db=:memory:                          (a private in-memory database)
//   postgresql://host=127.0.0.1 port=5432 dbname=zel user=caixa password=secret
//                                                  (libpq keyword=value pairs, values
//                                                   may be 'single quoted')
//   odbc://DSN=ZEL;UID=caixa;PWD=secret            (an ODBC connection string)
//
// "sqlite" and "postgres" are accepted for "sqlite3" and "postgresql". The
// settings go to the backend as they stand. Messages name the backend and the
// database, never a password.
struct ConnectionString {
    Backend backend = Backend::Sqlite3;
    std::string settings;              // handed to the backend
    std::string database;              // the file, "NAME on HOST:PORT" or the DSN
    std::vector<std::string> secrets;  // values that must not appear in a message

    // Throws ConnectError (permanent) naming the backend and the database.
    static ConnectionString parse(std::string_view text);

    std::string describe() const;                   // "sqlite3 database '/x/station.db'"
    std::string redact(std::string message) const;  // every secret replaced by "***"
};

// The connection string with a SQLite file given by a relative path taken
// below `dir` (the path made absolute); any other string as it stands, a
// malformed one included (connecting tells what is wrong with it). A station
// keeps its own database as "sqlite3://db=station.db", relative to its
// directory, so that the directory can be moved or restored elsewhere.
std::string anchoredConnectionString(const std::string& text, const std::filesystem::path& dir);

// One database connection. Statements connect it on first use; the hooks run
// each time it is about to connect and each time it has connected, so a
// before-connect hook may still set the connection string.
class Connection {
  public:
    using Hook = std::function<void(Connection&)>;

    Connection();
    explicit Connection(std::string connectionString);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setConnectionString(std::string text);
    const std::string& connectionString() const { return connectionString_; }
    void setBeforeConnect(Hook hook) { beforeConnect_ = std::move(hook); }
    void setAfterConnect(Hook hook) { afterConnect_ = std::move(hook); }

    // Runs the before-connect hook, opens the session, runs the after-connect
    // hook. A failure anywhere leaves the connection closed. Throws ConnectError
    // (or whatever a hook throws).
    void connect();
    // Connects when not connected, and again when the server dropped the
    // session (a restart, a network cut) outside a transaction: the statements
    // after a lost connection find the database again once it is back. Inside
    // a transaction the loss shows as the statement's error; the rollback ends
    // the transaction and the next statement connects again.
    void ensureConnected() {
        if (!connected() || lost()) connect();
    }
    void disconnect();  // an open transaction is rolled back
    bool connected() const;
    // The session is open but its server dropped it, outside a transaction
    // (PostgreSQL; SQLite's file is never lost). Costs no round trip.
    bool lost() const;
    int connectCount() const { return connectCount_; }  // successful connects so far

    // Valid once connected (or after setConnectionString parsed the string).
    const ConnectionString& target() const;
    Backend backend() const { return target().backend; }
    const Dialect& dialect() const;
    std::string describe() const;  // names the backend and database, or the unparsed state

    // Transactions: at most one at a time, tracked here.
    void beginTransaction();
    void commit();
    void rollback();
    bool inTransaction() const { return inTransaction_; }

    // PostgreSQL, inside a transaction: a command whose count nobody reads is
    // sent ahead of its answer (libpq's pipeline mode) and the answer is read
    // at the next exchange: the next statement run, the commit or the
    // rollback. A failure shows there, naming the command that failed, and
    // the transaction ends as after any failure. The commit travels with
    // what was sent ahead, so a transaction's writes cost one exchange.
    // Elsewhere false: commands run at once.
    // Also true inside withoutFlush on PostgreSQL.
    bool sendsAhead() const;
    // The command as `$1`..`$n` text (see numberParameters) and one value per
    // number, null for SQL NULL. Throws DbError when it cannot be sent.
    void sendAhead(const std::string& name, const std::string& numberedSql,
                   const std::vector<const std::string*>& values, bool leavesReadsAhead = false);
    // Reads the answers to what was sent ahead; throws DbError naming the
    // first command that failed. The connection is closed when the answers
    // cannot be read (the server is gone).
    void settle();
    // PostgreSQL, where sendsAhead(): a statement sent behind what waits to
    // be answered (the transaction's BEGIN, commands sent ahead); `onResult`
    // is given its result at the next exchange, once every answer has been
    // read without a failure. Values as for sendAhead.
    void queueAhead(const std::string& name, const std::string& numberedSql,
                    const std::vector<const std::string*>& values, std::function<void(const pg_result*)> onResult);
    // PostgreSQL: a query sent into the pipeline now for a run of it later
    // (Query::readAhead), kept under `owner` with the values it was sent with
    // (`valuesKey`); `onResult` keeps its rows. It travels with the next
    // exchange. Outside a transaction one that fails is dropped without a
    // word, and so are those after it in the same exchange: the later run
    // then asks the server itself and meets its own failure. Inside a
    // transaction its failure fails the exchange as any statement's does.
    void readAhead(const void* owner, std::string valuesKey, const std::string& name, const std::string& numberedSql,
                   const std::vector<const std::string*>& values, std::function<void(const pg_result*)> onResult);
    // Whether the answer read ahead for `owner` was read with `valuesKey`
    // and has been handed to its reader (settling first when it is still on
    // its way). The answer is forgotten either way.
    bool takeReadAhead(const void* owner, const std::string& valuesKey);
    bool readsAhead() const { return !readAhead_.empty(); }
    // Whether an answer for `owner` read with `valuesKey` is on its way or
    // waits to be taken.
    bool readsAhead(const void* owner, const std::string& valuesKey) const {
        auto it = readAhead_.find(owner);
        return it != readAhead_.end() && it->second.values == valuesKey;
    }
    // Whether queries read ahead are sent at all: a live PostgreSQL session.
    bool readsAheadAtAll() const { return session_ && target_ && target_->backend == Backend::PostgreSql; }
    // PostgreSQL: `send` (queries read ahead) runs at the next commit that
    // travels with commands sent ahead, behind its COMMIT and in its
    // exchange: what it sends reads what the commit stored and costs no
    // exchange of its own. It runs once, and never when the commit is sent
    // otherwise; a later call replaces it.
    void readAheadWithCommit(std::function<void()> send) { readsWithCommit_ = std::move(send); }
    void forgetReadsWithCommit() { readsWithCommit_ = nullptr; }
    // Answers read ahead are good until anything is written on the
    // connection (but a command sent with leavesReadsAhead, which writes
    // nothing read ahead), a transaction begins or ends, the session closes,
    // or this.
    void forgetReadAhead() { readAhead_.clear(); }
    void forgetReadAhead(const void* owner) { readAhead_.erase(owner); }
    // The same before a statement is let go (its release is an exchange of
    // its own): a failure is kept and told by the next statement or the
    // commit of the transaction.
    void settleQuietly() noexcept;
    // Commands sent ahead and not yet answered.
    bool awaitsAnswers() const;
    // The rows the last command sent ahead touched, once settled.
    int64_t lastAffected() const { return lastAffected_; }

    // Runs `work` with its commits not flushed on their own: on SQLite (outside
    // a transaction) the session commits with synchronous NORMAL meanwhile, so
    // what `work` commits reaches the disk with the next flushed commit or
    // checkpoint, and a power cut before then may take it back (never a later
    // commit without it). Only for writes whose loss recovery makes good. On
    // PostgreSQL each command `work` sends (Command::send) is a transaction
    // of its own, committed without waiting for the flush, whose answer the
    // next exchange reads (or settle): it takes no exchange of its own, and
    // its failure is dropped as its loss would be. ODBC, and inside a
    // transaction: `work` as it is. The session is back to flushed commits
    // after, or closed when it could not be.
    void withoutFlush(const std::function<void()>& work);

    // A statement without parameters or result, e.g. a session setting.
    void executeDirect(std::string_view sql);

    // For the statement classes of this layer; connects first.
    soci::session& session();

    // Statements keep their prepared form on the open session between runs.
    // Each registers how to let go of it; every one is released before the
    // session closes (disconnect, reconnect, destruction), after which the
    // statement prepares itself again on its next run.
    void addPrepared(const void* owner, std::function<void()> release);
    void removePrepared(const void* owner);
    size_t preparedCount() const { return prepared_.size(); }

    // The statements db::sql runs, kept by a key of their text and parameter
    // types, so that one run again is neither compiled again nor prepared
    // again on the server. Beyond kKeptStatements all are let go.
    static constexpr size_t kKeptStatements = 256;
    Statement* keptStatement(const std::string& key) const;
    Statement& keepStatement(const std::string& key, std::unique_ptr<Statement> statement);

    // Time spent running statements on this connection (for benchmarks).
    std::chrono::nanoseconds statementTime() const { return statementTime_; }
    void addStatementTime(std::chrono::nanoseconds t) { statementTime_ += t; }

  private:
    // A session setting run as a statement kept with the connection (prepared
    // once, where it is run per consumer).
    void runSetting(const char* sql);
    // Reads what was sent ahead up to a commit; when that fails, the
    // transaction the server may still hold is rolled back.
    void settleToCommit();
    // Sends a statement into the pipeline (prepared on the server at its
    // first use in the session), its answer read at the next settle.
    void pushAhead(const std::string& name, const std::string& numberedSql,
                   const std::vector<const std::string*>& values);
    // Sends a statement without parameters (BEGIN, COMMIT, a setting) into
    // the pipeline under `name`, prepared like the others: it runs for every
    // consumer, and parsing it again each time is work the server repeats.
    void pushText(const char* sql, const std::string& name, bool commit);
    // The session's name of the statement for `numberedSql`; its Parse goes
    // into the pipeline ahead of the first run.
    const std::string& preparedAhead(const std::string& name, const std::string& numberedSql, int params);
    // Closes the session after a command could not be sent, and throws
    // DbError naming the command and what failed.
    [[noreturn]] void failSending(const std::string& name, const char* what);

    std::string connectionString_;
    std::unique_ptr<ConnectionString> target_;
    std::unique_ptr<soci::session> session_;
    struct Ahead;
    std::unique_ptr<Ahead> ahead_;  // lives with the session
    std::string failedAhead_;       // a failure settleQuietly read, until the transaction ends
    int64_t lastAffected_ = 0;
    Hook beforeConnect_, afterConnect_;
    std::vector<std::pair<const void*, std::function<void()>>> prepared_;
    bool inTransaction_ = false;
    bool unflushed_ = false;  // in withoutFlush; read by SQLite's commit hook
    // What SQLite's commit hook reads: the flag above and the session's handle.
    struct SqliteCommits {
        const bool* unflushed = nullptr;
        void* handle = nullptr;
    } sqliteCommits_;
    int connectCount_ = 0;
    std::chrono::nanoseconds statementTime_{0};
    std::unordered_map<std::string, std::unique_ptr<Statement>> kept_;
    struct ReadAhead {
        std::string values;
        uint64_t id = 0;  // the read-ahead it is: a newer one for the same owner replaces it
        bool ready = false;
    };
    std::unordered_map<const void*, ReadAhead> readAhead_;
    std::function<void()> readsWithCommit_;  // readAheadWithCommit
    uint64_t readAheadMade_ = 0;
};

// Brings the planner's statistics up to date with what the database holds now:
// SQLite runs ANALYZE over a bounded sample of each index (a few milliseconds
// even over millions of rows) and reloads the statistics; PostgreSQL analyses
// every table that holds rows and leaves an empty one without statistics, so
// that plans made before its first rows still use its keys. The station calls
// it after it has created or imported data; the history indexes keep the
// stored statements fast without it, the statistics keep the planner's other
// choices right as the data grows. Throws DbError.
void refreshStatistics(Connection& connection);

// Keeps the statistics up with tables that grow while the station charges.
// PostgreSQL analyses each table that holds at least eight pages and has
// more than doubled since it was last analysed (or was never analysed): the
// plans a session keeps are made again from them, so a lookup planned while
// the day's sales were few does not walk them all once they are many. A
// smaller table is left as it is: never analysed, the planner takes it for
// ten pages and keeps to its keys; analysed while smaller than a key lookup
// costs, it would be planned for scans the session then keeps as it grows. Cheap when nothing is due (one
// look at the catalogue). SQLite keeps no plans across a schema change and
// plans each statement from its indexes: nothing to do there. Throws DbError.
void refreshGrownStatistics(Connection& connection);

// What this process has sent to its databases so far, over every connection
// (for benchmarks and for tests of what an operation costs).
struct Traffic {
    uint64_t statements = 0;        // statements run: prepared ones and direct ones
    uint64_t prepares = 0;          // statements prepared
    uint64_t transactions = 0;      // transactions begun, committed and rolled back
    uint64_t commits = 0;           // write transactions committed, explicit or implicit: on SQLite
                                    // each one a flush of the journal; on a server, explicit commits and
                                    // the commit of each command outside a transaction that changed rows
    uint64_t unflushedCommits = 0;  // SQLite: commits made without a flush (Connection::withoutFlush)
    uint64_t roundTrips = 0;        // exchanges with the server: every run, prepare, begin, commit and
                                    // rollback, and on PostgreSQL the release of a prepared statement
    uint64_t pagesWritten = 0;      // SQLite: pages its commits wrote to the log, each commit's counted
                                    // at the session's next commit or its close
};
Traffic traffic();

// For the statement classes of this layer.
void countServerCommit();  // a server's implicit commit of a command that changed rows
void countTraffic(uint64_t statements, uint64_t prepares, uint64_t roundTrips);

}  // namespace zel::db
