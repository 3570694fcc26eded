// What the process counts of its database traffic, as the benchmarks read it:
// runs, prepares, transactions, commits (on SQLite every write transaction,
// its own or a statement's, and no read) and round trips.
#include <gtest/gtest.h>

#include "support/db_fixture.h"
#include "platform/db/query.h"
#include "platform/db/statement.h"

namespace zel::testing {
namespace {

using db::Backend;

class TrafficTest : public BackendTest {};

db::Traffic since(const db::Traffic& before) {
    db::Traffic now = db::traffic();
    return {now.statements - before.statements,
            now.prepares - before.prepares,
            now.transactions - before.transactions,
            now.commits - before.commits,
            now.unflushedCommits - before.unflushedCommits,
            now.roundTrips - before.roundTrips,
            now.pagesWritten - before.pagesWritten};
}

TEST_P(TrafficTest, CountsRunsPreparesCommitsAndRoundTrips) {
    db::Connection& c = *admin_;
    db::Query q(c, "adqCounter", "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :P_C",
                {{"P_C", db::ParamType::Text}}, {{"NRSEQUENCIAL", db::ColumnType::Text, 20}});
    q.setText("P_C", "A");
    q.open();  // connects and sets the session up first
    db::Traffic start = db::traffic();
    for (int i = 0; i < 3; ++i) q.open();
    db::Traffic reads = since(start);
    EXPECT_EQ(reads.statements, 3u);
    EXPECT_EQ(reads.prepares, 0u) << "the prepared form is run again";
    EXPECT_EQ(reads.commits, 0u) << "a read commits nothing";
    EXPECT_EQ(reads.roundTrips, 3u);

    start = db::traffic();
    c.executeDirect("INSERT INTO NOVOCODIGO VALUES ('A', '1')");  // its own transaction
    c.beginTransaction();
    db::Command set(c, "acmSet", "UPDATE NOVOCODIGO SET NRSEQUENCIAL = :P_N WHERE CDCONTADOR = 'A'",
                    {{"P_N", db::ParamType::Text}});
    for (const char* n : {"2", "3"}) {
        set.setText("P_N", n);
        set.execute();
    }
    c.commit();
    db::Traffic writes = since(start);
    EXPECT_EQ(writes.statements, 3u);
    EXPECT_EQ(writes.prepares, 1u);
    EXPECT_EQ(writes.transactions, 2u) << "begun and committed";
    if (GetParam() == Backend::Sqlite3)
        EXPECT_EQ(writes.commits, 2u) << "the insert's own commit and the transaction's";
    else EXPECT_EQ(writes.commits, 1u) << "the explicit commit";
    // SQLite: each run, the begin and the commit. PostgreSQL: the insert, the
    // begin with the first run (and its prepare on the server), the second
    // run, the commit.
    EXPECT_EQ(writes.roundTrips, GetParam() == Backend::Sqlite3 ? 5u : 4u);

    // A command outside a transaction is committed on its own: a durable
    // write when it changed rows, on a server as on SQLite.
    start = db::traffic();
    set.setText("P_N", "4");
    EXPECT_EQ(set.execute(), 1);
    EXPECT_EQ(since(start).commits, 1u) << "the command's own commit";
    if (GetParam() != Backend::Sqlite3) {
        db::Command none(c, "acmNone", "DELETE FROM NOVOCODIGO WHERE CDCONTADOR = 'none'", {});
        start = db::traffic();
        EXPECT_EQ(none.execute(), 0);
        EXPECT_EQ(since(start).commits, 0u) << "a command that changed nothing has nothing to flush";
    }
}

// SQLite counts the pages its commits write to the log (the benchmark prices
// a commit by them): a commit that changes a row in each of three tables
// writes at least three, counted at the session's next commit or its close.
// A server counts none.
TEST_P(TrafficTest, SqliteCountsThePagesItsCommitsWrite) {
    db::Connection& c = *admin_;
    for (const char* t : {"PG_A", "PG_B", "PG_C"}) exec(std::string("CREATE TABLE ") + t + " (K VARCHAR(4))");
    c.executeDirect("SELECT 1");  // connected before the count starts
    db::Traffic start = db::traffic();
    c.beginTransaction();
    for (const char* t : {"PG_A", "PG_B", "PG_C"}) c.executeDirect(std::string("INSERT INTO ") + t + " VALUES ('x')");
    c.commit();
    c.executeDirect("INSERT INTO PG_A VALUES ('y')");  // counts the transaction's pages
    uint64_t threeTables = since(start).pagesWritten;
    c.disconnect();  // counts the last insert's
    uint64_t all = since(start).pagesWritten;
    if (GetParam() == Backend::Sqlite3) {
        EXPECT_GE(threeTables, 3u);
        EXPECT_LE(threeTables, 8u);
        EXPECT_GT(all, threeTables);
    } else {
        EXPECT_EQ(all, 0u);
    }
}

// The one-off statements of the packages are kept with their connection: run
// again they are neither compiled nor prepared on the server again.
TEST_P(TrafficTest, OneOffStatementsAreKeptWithTheirConnection) {
    db::Connection& c = *admin_;
    exec("INSERT INTO NOVOCODIGO VALUES ('A', '1'), ('B', '2')");
    auto read = [&](const char* key) {
        auto rows = db::sql::select(c, "counter", "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :K",
                                    {db::sql::text("K", key)}, {{"N", db::ColumnType::Text}});
        return rows.size() == 1 ? db::sql::cellText(rows[0][0]) : std::string("rows: ") + std::to_string(rows.size());
    };
    EXPECT_EQ(read("A"), "1");
    db::Traffic start = db::traffic();
    EXPECT_EQ(read("B"), "2");
    db::Traffic t = since(start);
    EXPECT_EQ(t.prepares, 0u);
    EXPECT_EQ(t.roundTrips, 1u);

    // A value turning null is bound otherwise: prepared again, answers right.
    const std::string set = "UPDATE NOVOCODIGO SET NRSEQUENCIAL = :N WHERE CDCONTADOR = :K";
    EXPECT_EQ(db::sql::exec(c, "set", set, {db::sql::textOrNull("N", ""), db::sql::text("K", "A")}), 1);
    EXPECT_EQ(read("A"), "");
    EXPECT_EQ(db::sql::exec(c, "set", set, {db::sql::text("N", "5"), db::sql::text("K", "A")}), 1);
    EXPECT_EQ(read("A"), "5");

    // A new session: the kept statements prepare themselves on it.
    c.disconnect();
    EXPECT_EQ(read("B"), "2");

    // Texts built with their values do not pile up without end.
    for (int i = 0; i < 300; ++i)
        db::sql::select(c, "n", "SELECT " + std::to_string(i) + " FROM NOVOCODIGO WHERE CDCONTADOR = :K",
                        {db::sql::text("K", "A")}, {{"N", db::ColumnType::Integer}});
    EXPECT_LE(c.preparedCount(), db::Connection::kKeptStatements + 1);
}

// A write whose loss recovery makes good commits without its own flush; the
// session flushes again after it, also when the write failed, and inside a
// transaction nothing changes.
TEST_P(TrafficTest, AWriteWithoutItsOwnFlushLeavesTheSessionFlushing) {
    db::Connection& c = *admin_;
    exec("INSERT INTO NOVOCODIGO VALUES ('A', '1')");
    auto synchronous = [&] {
        auto rows = db::sql::select(c, "setting", "PRAGMA synchronous", {}, {{"S", db::ColumnType::Integer}});
        return rows.size() == 1 ? db::sql::cellNumber(rows[0][0]) : -1;
    };
    auto count = [&](const char* sql) {
        auto rows = db::sql::select(c, "count", sql, {}, {{"N", db::ColumnType::Integer}});
        return rows.size() == 1 ? db::sql::cellNumber(rows[0][0]) : -1;
    };
    const bool sqlite = GetParam() == Backend::Sqlite3;
    if (sqlite) {
        EXPECT_EQ(synchronous(), 2) << "FULL";
    }

    db::Traffic start = db::traffic();
    c.withoutFlush([&] { c.executeDirect("DELETE FROM NOVOCODIGO WHERE CDCONTADOR = 'A'"); });
    db::Traffic t = since(start);
    EXPECT_EQ(count("SELECT COUNT(*) FROM NOVOCODIGO"), 0) << "the write is made";
    if (sqlite) {
        EXPECT_EQ(t.commits, 0u);
        EXPECT_EQ(t.unflushedCommits, 1u);
        EXPECT_EQ(synchronous(), 2) << "flushing again after";
    } else {
        EXPECT_EQ(t.unflushedCommits, 0u);
    }

    EXPECT_THROW(c.withoutFlush([&] { c.executeDirect("DELETE FROM NO_SUCH_TABLE"); }), db::DbError);
    if (sqlite) {
        EXPECT_EQ(synchronous(), 2) << "flushing again after a failed write";
    }

    start = db::traffic();
    c.beginTransaction();
    c.withoutFlush([&] { c.executeDirect("INSERT INTO NOVOCODIGO VALUES ('B', '2')"); });
    c.commit();
    t = since(start);
    EXPECT_EQ(t.unflushedCommits, 0u) << "a transaction commits as it always does";
    EXPECT_EQ(t.commits, 1u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM NOVOCODIGO"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, TrafficTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql), backendLabel);

}  // namespace
}  // namespace zel::testing
