// Commands sent ahead of their answers: on PostgreSQL inside a transaction
// they travel with the next exchange, on SQLite they run at once; either way
// the same rows are stored, a failure is told naming the command, and the
// transaction it broke leaves nothing behind.
#include <gtest/gtest.h>

#include "platform/db/dialect.h"
#include "platform/db/query.h"
#include "platform/db/statement.h"
#include "support/db_fixture.h"

namespace zel::testing {
namespace {

using db::Backend;
namespace sql = db::sql;

TEST(NumberedParameters, EachPlaceHasItsNumberAndQuotesStayAlone) {
    std::vector<std::string> names;
    EXPECT_EQ(db::numberParameters("SELECT :A, :b, :a, ':X', \":Y\", :C::TEXT -- :Z\nFROM T", names),
              "SELECT $1, $2, $3, ':X', \":Y\", $4::TEXT -- :Z\nFROM T");
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "a", "C"}));
    EXPECT_EQ(db::numberParameters("SELECT 1", names), "SELECT 1");
    EXPECT_TRUE(names.empty());
}

class SendAheadTest : public BackendTest {
  protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        exec("CREATE TABLE SEND_T (K VARCHAR(10) NOT NULL PRIMARY KEY, N NUMERIC(15,4), D DATE, T VARCHAR(40))");
    }
    db::Connection& conn() { return *admin_; }

    static std::vector<sql::Param> row(const std::string& k, double n, DateTime d, const std::string& t) {
        return {sql::text("P_K", k), sql::number("P_N", n), sql::date("P_D", d), sql::textOrNull("P_T", t)};
    }
    void send(const std::vector<sql::Param>& p) {
        sql::send(conn(), "row of the test", "INSERT INTO SEND_T (K, N, D, T) VALUES (:P_K, :P_N, :P_D, :P_T)", p);
    }
    void run(const std::vector<sql::Param>& p) {
        sql::exec(conn(), "row run at once", "INSERT INTO SEND_T (K, N, D, T) VALUES (:P_K, :P_N, :P_D, :P_T)", p);
    }
    // K, N, D and T of every row, in key order, as a second connection reads them.
    std::vector<std::string> stored() {
        db::Connection other(conn().connectionString());
        std::vector<std::string> out;
        for (const sql::Row& r :
             sql::select(other, "rows", "SELECT K, N, D, T FROM SEND_T ORDER BY K", {},
                         {{"K", db::ColumnType::Text},
                          {"N", db::ColumnType::Text},
                          {"D", db::ColumnType::Date},
                          {"T", db::ColumnType::Text}}))
            out.push_back(sql::cellText(r[0]) + "|" + sql::cellText(r[1]) + "|" +
                          (sql::cellDate(r[2]).isEmpty() ? "-" : sql::isoMoment(sql::cellDate(r[2]))) + "|" +
                          sql::cellText(r[3]));
        return out;
    }
    bool postgres() const { return GetParam() == Backend::PostgreSql; }
};

TEST_P(SendAheadTest, SentRowsAreSeenInTheTransactionAndCommitInOneExchange) {
    DateTime day = DateTime::fromDate(2024, 5, 9);
    auto count = [&] {
        auto rows = sql::select(conn(), "count", "SELECT COUNT(*) FROM SEND_T", {}, {{"N", db::ColumnType::Float}});
        return sql::cellNumber(rows.at(0).at(0));
    };
    EXPECT_EQ(count(), 0);  // prepared before the figures are taken
    conn().beginTransaction();  // so are the server's BEGIN and COMMIT, once per session
    conn().commit();
    db::Traffic before = db::traffic();
    conn().beginTransaction();
    send(row("A", 1.5, day, "um"));
    send(row("B", 2.25, day, ""));
    EXPECT_EQ(count(), 2);  // read back inside the transaction: the rows sent ahead are there
    send(row("C", 3, day, "tres"));
    // A command whose count is read goes with the rows before it.
    EXPECT_EQ(sql::exec(conn(), "mark", "UPDATE SEND_T SET N = N + 1 WHERE K IN ('A', 'C')", {}), 2);
    EXPECT_EQ(sql::exec(conn(), "mark", "UPDATE SEND_T SET N = N + 1 WHERE K IN ('A', 'C')", {}), 2);
    send(row("D", 4, day, "quatro"));
    conn().commit();
    db::Traffic after = db::traffic();
    // On the server four exchanges: the begin with the two rows and the
    // count read back, the third row with the first update, the second
    // update, and the commit with the fourth row.
    if (postgres()) EXPECT_EQ(after.roundTrips - before.roundTrips, 4u);
    else EXPECT_EQ(after.roundTrips - before.roundTrips, 9u);
    EXPECT_EQ(after.statements - before.statements, 7u);
    // The rows' statement, the count and the update are each prepared once
    // on the server for the transaction's pipeline; SQLite compiles the
    // rows' statement again for the null and after it.
    EXPECT_EQ(after.prepares - before.prepares, postgres() ? 3u : 4u);

    std::vector<std::string> got = stored();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].substr(0, 2), "A|");
    EXPECT_EQ(got[0].substr(got[0].size() - 3), "|um");
    EXPECT_EQ(got[1].substr(0, 2), "B|");
    EXPECT_EQ(got[1].back(), '|');  // no text: null
    EXPECT_EQ(got[2].substr(got[2].size() - 5), "|tres");
}

TEST_P(SendAheadTest, ValuesTravelAsWhenRunAtOnce) {
    // The same values sent ahead and run at once are stored alike: numbers at
    // the edge of the column's scale, a null, quotes and accents in a text.
    const double numbers[] = {0.1, 1.00005, 2.00015, 123.45675, -2.5, 1e-7, 12345678.9999, 0};
    DateTime day = DateTime::fromDate(2023, 12, 31);
    int i = 0;
    conn().beginTransaction();
    for (double n : numbers) {
        std::string t = i % 2 ? "O'Neil \"x\" ção" : "";
        send(row("S" + std::to_string(i), n, i == 3 ? DateTime() : day, t));
        run(row("T" + std::to_string(i), n, i == 3 ? DateTime() : day, t));
        ++i;
    }
    conn().commit();
    std::vector<std::string> got = stored();
    ASSERT_EQ(got.size(), 2 * std::size(numbers));
    size_t half = std::size(numbers);
    for (size_t k = 0; k < half; ++k) EXPECT_EQ(got[k].substr(2), got[k + half].substr(2)) << got[k];
}

TEST_P(SendAheadTest, AFailureSentAheadIsToldByNameAndTheTransactionLeavesNothing) {
    DateTime day = DateTime::fromDate(2024, 5, 9);
    run(row("A", 1, day, "kept"));
    // Shown at the commit.
    try {
        sql::inTransaction(conn(), [&] {
            send(row("B", 2, day, ""));
            send(row("A", 3, day, "again"));  // the key is taken
            send(row("C", 4, day, ""));
        });
        ADD_FAILURE() << "a taken key must fail";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("row of the test on "), std::string::npos) << e.what();
    }
    EXPECT_FALSE(conn().inTransaction());
    // Shown at the next statement.
    try {
        sql::inTransaction(conn(), [&] {
            send(row("A", 3, day, "again"));
            sql::select(conn(), "count", "SELECT COUNT(*) FROM SEND_T", {}, {{"N", db::ColumnType::Float}});
            send(row("D", 4, day, ""));
        });
        ADD_FAILURE() << "a taken key must fail";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("row of the test on "), std::string::npos) << e.what();
    }
    std::vector<std::string> got = stored();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].substr(got[0].size() - 5), "|kept");
    // The session goes on: a new transaction stores what it sends.
    sql::inTransaction(conn(), [&] { send(row("E", 5, day, "")); });
    EXPECT_EQ(stored().size(), 2u);
}

TEST_P(SendAheadTest, OutsideATransactionACommandSentRunsAtOnce) {
    DateTime day = DateTime::fromDate(2024, 5, 9);
    send(row("A", 1, day, ""));
    EXPECT_EQ(stored().size(), 1u);  // another connection sees it at once
    EXPECT_THROW(send(row("A", 1, day, "")), db::DbError);
    EXPECT_FALSE(conn().inTransaction());
}

TEST_P(SendAheadTest, WithoutFlushACommandCommitsAloneAndItsFailureBreaksNothingAfter) {
    DateTime day = DateTime::fromDate(2024, 5, 9);
    db::Traffic before = db::traffic();
    conn().withoutFlush([&] { send(row("A", 1, day, "")); });
    db::Traffic after = db::traffic();
    EXPECT_EQ(after.unflushedCommits - before.unflushedCommits, 1u);
    EXPECT_EQ(after.commits, before.commits);
    // On a server nobody waits for its answer: no exchange of its own.
    if (postgres()) {
        EXPECT_EQ(after.roundTrips, before.roundTrips);
    }
    conn().settleQuietly();
    EXPECT_EQ(stored().size(), 1u);
    // A failure there ends its own transaction: the session is outside any.
    // On SQLite it is told at once; on a server it is read with the next
    // exchange and dropped, as a loss of the write would be, and the commands
    // sent after it are neither aborted nor told its failure.
    if (postgres()) {
        conn().withoutFlush([&] { send(row("A", 1, day, "")); });
        auto q = std::make_unique<db::Query>(conn(), "one key", "SELECT T FROM SEND_T WHERE K = :P_K",
                                             std::vector<db::ParamDecl>{{"P_K", db::ParamType::Text}},
                                             std::vector<db::ResultColumn>{{"T", db::ColumnType::Text}});
        q->setText("P_K", "A");
        q->open();
        EXPECT_EQ(q->rowCount(), 1u);
    } else {
        EXPECT_THROW(conn().withoutFlush([&] { send(row("A", 1, day, "")); }), db::DbError);
    }
    EXPECT_FALSE(conn().inTransaction());
    // Two in a row, the first failing: the second is stored.
    conn().withoutFlush([&] {
        try {
            send(row("A", 1, day, ""));
        } catch (const db::DbError&) {
        }
        send(row("D", 4, day, ""));
    });
    sql::inTransaction(conn(), [&] { send(row("B", 2, day, "")); });
    run(row("C", 3, day, ""));
    EXPECT_EQ(stored().size(), 4u);
    // The session closed with the answer still owed: it is read first, and
    // the next session goes on with the kept statements.
    conn().withoutFlush([&] { send(row("E", 5, day, "")); });
    conn().disconnect();
    EXPECT_EQ(stored().size(), 5u);
    run(row("F", 6, day, ""));
    EXPECT_EQ(stored().size(), 6u);
}

TEST_P(SendAheadTest, StatementsLetGoWhileRowsAreUnansweredKeepThemAndTheirFailures) {
    DateTime day = DateTime::fromDate(2024, 5, 9);
    // The server-side statements of the session, but those made for sending ahead.
    auto serverStatements = [&] {
        auto rows = sql::select(conn(), "statements",
                                "SELECT COUNT(*) FROM PG_PREPARED_STATEMENTS WHERE NAME NOT LIKE 'zel_ahead_%'", {},
                                {{"N", db::ColumnType::Float}});
        return sql::cellNumber(rows.at(0).at(0));
    };
    double statementsBefore = postgres() ? serverStatements() : 0;
    auto q = std::make_unique<db::Query>(conn(), "one key", "SELECT K FROM SEND_T WHERE K = :P_K",
                                         std::vector<db::ParamDecl>{{"P_K", db::ParamType::Text}},
                                         std::vector<db::ResultColumn>{{"K", db::ColumnType::Text}});
    q->setText("P_K", "A");
    q->open();
    conn().beginTransaction();
    send(row("A", 1, day, ""));
    q.reset();  // its prepared form is let go on the server meanwhile
    send(row("B", 2, day, ""));
    conn().commit();
    EXPECT_EQ(stored().size(), 2u);
    if (postgres()) {
        EXPECT_EQ(serverStatements(), statementsBefore) << "the let-go statement stays on the server";
    }

    // A failure read while a statement is let go still fails the commit.
    q = std::make_unique<db::Query>(conn(), "one key", "SELECT K FROM SEND_T WHERE K = :P_K",
                                    std::vector<db::ParamDecl>{{"P_K", db::ParamType::Text}},
                                    std::vector<db::ResultColumn>{{"K", db::ColumnType::Text}});
    q->setText("P_K", "A");
    q->open();
    conn().beginTransaction();
    bool failed = false;
    try {
        send(row("A", 1, day, ""));  // the key is taken: told here on SQLite, at the commit on the server
        q.reset();
        send(row("C", 3, day, ""));
        conn().commit();
    } catch (const db::DbError& e) {
        failed = true;
        EXPECT_NE(std::string(e.what()).find("row of the test on "), std::string::npos) << e.what();
    }
    EXPECT_TRUE(failed);
    conn().rollback();
    EXPECT_EQ(stored().size(), 2u);
}

TEST_P(SendAheadTest, ANameAtTwoPlacesOfOtherTypesIsSentToEach) {
    conn().beginTransaction();
    sql::send(conn(), "two places", "INSERT INTO SEND_T (K, N, T) VALUES (:P_K, :P_V, :P_V)",
              {sql::text("P_K", "A"), sql::text("P_V", "5")});
    conn().commit();
    std::vector<std::string> got = stored();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].substr(got[0].size() - 2), "|5");
}

TEST_P(SendAheadTest, ATransactionWithAFailureItsCallerTookInIsNeverToldCommitted) {
    if (!postgres()) GTEST_SKIP() << "SQLite goes on with a transaction after a failed statement";
    DateTime day = DateTime::fromDate(2024, 5, 9);
    conn().beginTransaction();
    send(row("A", 1, day, ""));
    EXPECT_THROW(sql::select(conn(), "missing", "SELECT X FROM NO_SUCH_TABLE", {}, {{"X", db::ColumnType::Text}}),
                 db::DbError);
    EXPECT_THROW(conn().commit(), db::DbError);
    conn().rollback();
    EXPECT_TRUE(stored().empty());
    sql::inTransaction(conn(), [&] { send(row("B", 2, day, "")); });
    EXPECT_EQ(stored().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, SendAheadTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing

namespace zel::testing {
namespace {

// A query inside a transaction on a server goes through the pipeline and its
// values are read there; outside a transaction the client library reads them.
// Both give the same cells for every kind of column and declared type: texts
// with accents and blanks, numbers at the column's scale, whole numbers of
// both widths, days, moments and nulls; and a query that fails there is told
// by name, with the transaction left to roll back.
class PipelineReadTest : public BackendTest {
  protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        exec("CREATE TABLE READ_T (K VARCHAR(10) NOT NULL PRIMARY KEY, N NUMERIC(15,4), D DATE, M TIMESTAMP, "
             "T VARCHAR(40))");
        exec("INSERT INTO READ_T VALUES ('a', 1234.5678, '2024-02-29', '2024-02-29 13:45:07', 'Conceição  '), "
             "('b', -0.0001, '1999-12-31', '2000-01-01 00:00:00', ''), ('c', NULL, NULL, NULL, NULL), "
             "('d', 99999999999.9999, '2024-05-09', '2024-05-09 23:59:59', 'x''y')");
    }
    db::Connection& conn() { return *admin_; }

    std::vector<sql::Row> read() {
        return sql::select(conn(), "rows of the test",
                           "SELECT K, N, N, N, D, D, M, M, T, COUNT(*) OVER (), 7, CAST(N AS DOUBLE PRECISION) "
                           "FROM READ_T WHERE K >= :P_FROM ORDER BY K",
                           {sql::text("P_FROM", "a")},
                           {{"K", db::ColumnType::Text},
                            {"N", db::ColumnType::Float},
                            {"NT", db::ColumnType::Text},
                            {"NI", db::ColumnType::Integer},
                            {"D", db::ColumnType::Date},
                            {"DT", db::ColumnType::Text},
                            {"M", db::ColumnType::DateTime},
                            {"MD", db::ColumnType::Date},
                            {"T", db::ColumnType::Text},
                            {"C", db::ColumnType::Integer},
                            {"S", db::ColumnType::Float},
                            {"F", db::ColumnType::Float}});
    }
};

TEST_P(PipelineReadTest, RowsReadInATransactionAreThoseReadOutsideIt) {
    std::vector<sql::Row> outside = read();
    ASSERT_EQ(outside.size(), 4u);
    db::Traffic before = db::traffic();
    conn().beginTransaction();
    std::vector<sql::Row> inside = read();
    conn().commit();
    db::Traffic after = db::traffic();
    ASSERT_EQ(inside.size(), outside.size());
    for (size_t r = 0; r < outside.size(); ++r)
        for (size_t c = 0; c < outside[r].size(); ++c)
            EXPECT_EQ(inside[r][c], outside[r][c]) << "row " << r << ", column " << c;
    EXPECT_EQ(sql::cellText(inside[0][8]), "Conceição  ");
    EXPECT_DOUBLE_EQ(sql::cellNumber(inside[0][1]), 1234.5678);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(inside[2][1]));
    // PostgreSQL: the begin goes with the read, the commit alone.
    if (GetParam() == Backend::PostgreSql) {
        EXPECT_EQ(after.roundTrips - before.roundTrips, 2u);
    }

    conn().beginTransaction();
    try {
        sql::select(conn(), "missing table", "SELECT K FROM READ_GONE WHERE K = :P_K", {sql::text("P_K", "a")},
                    {{"K", db::ColumnType::Text}});
        ADD_FAILURE() << "a missing table must fail";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("missing table on "), std::string::npos) << e.what();
    }
    conn().rollback();
    EXPECT_EQ(read().size(), 4u);  // the connection reads again after the rollback
}

// Queries asked together give each its own rows; on a server in a
// transaction they go with the BEGIN in one exchange, and one that fails is
// told by its name.
TEST_P(PipelineReadTest, QueriesAskedTogetherGiveEachItsRowsInOneExchange) {
    auto one = [](const char* key) {
        return sql::Select{"row " + std::string(key), "SELECT K, N FROM READ_T WHERE K = :P_K",
                           {sql::text("P_K", key)},
                           {{"K", db::ColumnType::Text}, {"N", db::ColumnType::Float}}};
    };
    sql::Select counted{"count", "SELECT COUNT(*) FROM READ_T WHERE K <> :P_K", {sql::text("P_K", "a")},
                        {{"C", db::ColumnType::Integer}}};
    db::Traffic before = db::traffic();
    conn().beginTransaction();
    std::vector<std::vector<sql::Row>> got = sql::selectTogether(conn(), {one("d"), counted, one("z")});
    db::Traffic mid = db::traffic();
    conn().commit();
    ASSERT_EQ(got.size(), 3u);
    ASSERT_EQ(got[0].size(), 1u);
    EXPECT_EQ(sql::cellText(got[0][0][0]), "d");
    EXPECT_DOUBLE_EQ(sql::cellNumber(got[0][0][1]), 99999999999.9999);
    ASSERT_EQ(got[1].size(), 1u);
    EXPECT_EQ(got[1][0][0], ds::Cell(int64_t{3}));
    EXPECT_TRUE(got[2].empty());
    if (GetParam() == Backend::PostgreSql) {
        EXPECT_EQ(mid.roundTrips - before.roundTrips, 1u);
    }
    // Outside a transaction the same: on a server in one exchange too.
    before = db::traffic();
    EXPECT_EQ(sql::selectTogether(conn(), {one("d"), counted, one("z")}), got);
    EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, GetParam() == Backend::PostgreSql ? 1u : 3u);

    conn().beginTransaction();
    try {
        sql::selectTogether(conn(), {one("a"), {"missing table", "SELECT K FROM READ_GONE WHERE K = :P_K",
                                                {sql::text("P_K", "a")}, {{"K", db::ColumnType::Text}}}});
        ADD_FAILURE() << "a missing table must fail";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("missing table on "), std::string::npos) << e.what();
    }
    conn().rollback();
}

// A query read ahead answers its later run with the same values from what
// came back with the exchange it travelled in: the same rows as a run of its
// own, no exchange of its own. Other values, a write or a transaction in
// between, and the run asks the server again; SQLite reads as it always did.
TEST_P(PipelineReadTest, AQueryReadAheadAnswersItsLaterRunWithTheSameValues) {
    const bool server = GetParam() == Backend::PostgreSql;
    db::Query one(conn(), "one row", "SELECT K, N, D FROM READ_T WHERE K = :P_K", {{"P_K", db::ParamType::Text}},
                  {{"K", db::ColumnType::Text}, {"N", db::ColumnType::Float}, {"D", db::ColumnType::Date}});
    db::Query others(conn(), "the ones after", "SELECT COUNT(*) FROM READ_T WHERE K > :P_K",
                     {{"P_K", db::ParamType::Text}}, {{"C", db::ColumnType::Integer}});
    auto rowsOf = [](db::Query& q, const char* key) {
        q.setText("P_K", key);
        q.open();
        return q.takeRows();
    };
    const auto oneA = rowsOf(one, "a"), oneC = rowsOf(one, "c"), othersA = rowsOf(others, "a"),
               othersB = rowsOf(others, "b");
    ASSERT_EQ(oneA.size(), 1u);
    ASSERT_EQ(othersA.size(), 1u);
    EXPECT_EQ(othersA[0][0], ds::Cell(int64_t{3}));
    EXPECT_EQ(othersB[0][0], ds::Cell(int64_t{2}));

    // Both read ahead: the first run carries both, the second costs nothing.
    one.setText("P_K", "a");
    one.readAhead();
    others.setText("P_K", "a");
    others.readAhead();
    EXPECT_EQ(conn().readsAhead(), server);
    db::Traffic before = db::traffic();
    EXPECT_EQ(rowsOf(one, "a"), oneA);
    EXPECT_EQ(rowsOf(others, "a"), othersA);
    EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, server ? 1u : 2u);
    EXPECT_FALSE(conn().readsAhead()) << "an answer serves one run";

    // Read ahead with other values than the run's: the run asks again.
    others.setText("P_K", "a");
    others.readAhead();
    EXPECT_EQ(rowsOf(others, "b"), othersB);

    // Read ahead again with the same values before its run, once its answer
    // came or not: the first is kept, nothing more is sent, the run costs nothing.
    for (bool answered : {false, true}) {
        SCOPED_TRACE(answered ? "answered" : "on its way");
        one.setText("P_K", "a");
        one.readAhead();
        if (answered) conn().settle();
        before = db::traffic();
        one.readAhead();
        EXPECT_EQ(db::traffic().statements, before.statements);
        EXPECT_EQ(rowsOf(one, "a"), oneA);
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, server && answered ? 0u : 1u);
    }

    // A write in between: what was read ahead no longer holds.
    one.setText("P_K", "c");
    one.readAhead();
    db::Command set(conn(), "set", "UPDATE READ_T SET N = 5 WHERE K = :P_K", {{"P_K", db::ParamType::Text}});
    set.setText("P_K", "c");
    before = db::traffic();
    EXPECT_EQ(set.execute(), 1);
    EXPECT_EQ(db::traffic().commits - before.commits, 1u) << "committed and flushed as without the read ahead";
    EXPECT_EQ(db::traffic().unflushedCommits, before.unflushedCommits);
    auto changed = rowsOf(one, "c");
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_NE(changed, oneC);
    EXPECT_DOUBLE_EQ(sql::cellNumber(changed[0][1]), 5);

    // A transaction begun in between: the same.
    one.setText("P_K", "c");
    one.readAhead();
    conn().beginTransaction();
    exec("UPDATE READ_T SET N = 6 WHERE K = 'c'");
    auto inside = rowsOf(one, "c");
    conn().rollback();
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_DOUBLE_EQ(sql::cellNumber(inside[0][1]), 6);
}

// Outside a transaction a read ahead that fails says nothing: the runs of
// the queries behind it in its exchange ask again and get their rows, and its
// own run meets its own failure. Inside a transaction its failure is the
// transaction's. A query let go before its answer came leaves nothing behind.
TEST_P(PipelineReadTest, AReadAheadThatFailsIsLeftToItsOwnRun) {
    db::Query gone(conn(), "missing table", "SELECT K FROM READ_GONE WHERE K = :P_K", {{"P_K", db::ParamType::Text}},
                   {{"K", db::ColumnType::Text}});
    db::Query one(conn(), "one row", "SELECT K FROM READ_T WHERE K = :P_K", {{"P_K", db::ParamType::Text}},
                  {{"K", db::ColumnType::Text}});
    for (bool failingFirst : {true, false}) {
        SCOPED_TRACE(failingFirst ? "the failing one first" : "the failing one behind");
        gone.setText("P_K", "a");
        one.setText("P_K", "b");
        if (failingFirst) gone.readAhead();
        one.readAhead();
        if (!failingFirst) gone.readAhead();
        one.open();
        ASSERT_EQ(one.rowCount(), 1u);
        EXPECT_EQ(one.asText("K"), "b");
        try {
            gone.open();
            ADD_FAILURE() << "a missing table must fail";
        } catch (const db::DbError& e) {
            EXPECT_NE(std::string(e.what()).find("missing table on "), std::string::npos) << e.what();
        }
    }
    {
        db::Query brief(conn(), "brief", "SELECT K FROM READ_T WHERE K = :P_K", {{"P_K", db::ParamType::Text}},
                        {{"K", db::ColumnType::Text}});
        brief.setText("P_K", "a");
        brief.readAhead();
    }
    one.setText("P_K", "d");
    one.open();
    EXPECT_EQ(one.asText("K"), "d");

    sql::Select missing{"missing table", "SELECT K FROM READ_GONE WHERE K = :P_K", {sql::text("P_K", "a")},
                        {{"K", db::ColumnType::Text}}};
    sql::Select row{"row", "SELECT K FROM READ_T WHERE K = :P_K", {sql::text("P_K", "a")},
                    {{"K", db::ColumnType::Text}}};
    conn().beginTransaction();
    if (GetParam() == Backend::PostgreSql) {
        EXPECT_THROW(sql::selectTogether(conn(), {row}, {missing}), db::DbError);
    } else {
        // Nothing is read ahead on SQLite: the failure waits for the run.
        EXPECT_EQ(sql::selectTogether(conn(), {row}, {missing}).at(0).size(), 1u);
    }
    conn().rollback();
}

// Inside a transaction a read ahead goes with the BEGIN and the queries
// asked with it, and its run, even through the kept statements, costs none.
TEST_P(PipelineReadTest, AReadAheadInATransactionGoesWithItsBegin) {
    sql::Select counter{"counter", "SELECT N FROM READ_T WHERE K = :P_K", {sql::text("P_K", "a")},
                        {{"N", db::ColumnType::Float}}};
    sql::Select row{"row", "SELECT K FROM READ_T WHERE K = :P_K", {sql::text("P_K", "d")},
                    {{"K", db::ColumnType::Text}}};
    db::Traffic before = db::traffic();
    conn().beginTransaction();
    auto found = sql::selectTogether(conn(), {row}, {counter});
    auto n = sql::select(conn(), counter.name, counter.sql, counter.params, counter.columns);
    conn().commit();
    ASSERT_EQ(found.at(0).size(), 1u);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_DOUBLE_EQ(sql::cellNumber(n[0][0]), 1234.5678);
    if (GetParam() == Backend::PostgreSql) {
        // The BEGIN, both reads; then the commit.
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, 2u);
    }
}

// Reads set to go with a commit travel behind its COMMIT in its exchange and
// read what it stored; a write let go that leaves reads ahead keeps them
// good, and a transaction begun behind it takes it into its own exchange,
// where a failure of it is dropped. Forgotten, they never go.
TEST_P(PipelineReadTest, ReadsSentWithACommitReadItAndAWriteLetGoBesideThemKeepsThem) {
    const bool server = GetParam() == Backend::PostgreSql;
    exec("CREATE TABLE GATE_T (K VARCHAR(10) NOT NULL PRIMARY KEY)");
    exec("INSERT INTO GATE_T VALUES ('g1'), ('g2')");
    db::Query one(conn(), "one row", "SELECT K, N FROM READ_T WHERE K = :P_K", {{"P_K", db::ParamType::Text}},
                  {{"K", db::ColumnType::Text}, {"N", db::ColumnType::Float}});
    db::Command set(conn(), "set", "UPDATE READ_T SET N = :P_N WHERE K = 'c'", {{"P_N", db::ParamType::Float}});
    db::Command gate(conn(), "gate", "DELETE FROM GATE_T WHERE K = :P_K", {{"P_K", db::ParamType::Text}});
    gate.leaveReadsAhead();
    auto nOfC = [&] {
        one.setText("P_K", "c");
        one.open();
        EXPECT_EQ(one.rowCount(), 1u);
        return one.rowCount() == 1 ? sql::cellNumber(one.takeRows()[0][1]) : -1;
    };
    auto gates = [&] {
        return sql::select(conn(), "gates", "SELECT K FROM GATE_T WHERE K <> :P_K", {sql::text("P_K", "")},
                           {{"K", db::ColumnType::Text}})
            .size();
    };
    auto store = [&](double n) {
        conn().beginTransaction();
        set.setFloat("P_N", n);
        set.send();
        conn().commit();
    };
    ASSERT_EQ(nOfC(), 0);  // a null reads as nothing

    int sent = 0;
    conn().readAheadWithCommit([&] {
        ++sent;
        one.setText("P_K", "c");
        one.readAhead();
    });
    db::Traffic before = db::traffic();
    store(7);
    EXPECT_EQ(sent, server ? 1 : 0);
    if (server) {
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, 1u) << "BEGIN, write, COMMIT and the read";
    }
    gate.setText("P_K", "g1");
    conn().withoutFlush([&] { gate.send(); });
    before = db::traffic();
    EXPECT_EQ(nOfC(), 7) << "the read sees what the commit stored";
    if (server) {
        EXPECT_EQ(db::traffic().roundTrips, before.roundTrips) << "answered with the commit";
    }

    // A transaction behind the write let go: one exchange for both; the
    // write's failure (its row is gone already) is dropped.
    gate.setText("P_K", "g1");
    conn().withoutFlush([&] { gate.send(); });
    gate.setText("P_K", "g2");
    conn().withoutFlush([&] { gate.send(); });
    before = db::traffic();
    store(8);
    if (server) {
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, 1u);
    }
    EXPECT_EQ(gates(), 0u);
    EXPECT_EQ(nOfC(), 8);

    // Another write on the connection: the reads ahead no longer hold.
    conn().readAheadWithCommit([&] {
        one.setText("P_K", "c");
        one.readAhead();
    });
    store(9);
    store(10);
    EXPECT_EQ(nOfC(), 10);

    // Forgotten: nothing goes with the next commit.
    sent = 0;
    conn().readAheadWithCommit([&] { ++sent; });
    conn().forgetReadsWithCommit();
    store(11);
    EXPECT_EQ(sent, 0);
    EXPECT_FALSE(conn().readsAhead());
}

INSTANTIATE_TEST_SUITE_P(Backends, PipelineReadTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing
