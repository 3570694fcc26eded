// The client layer without a server: connection strings, the dialects, the
// station configuration, providers over SQLite, connecting and its messages.
#include <gtest/gtest.h>

#include "support/db_fixture.h"
#include "platform/db/dialect.h"
#include "platform/db/statement.h"
#include "platform/station_config.h"

namespace zel::testing {
namespace {

using db::Backend;
using db::ConnectError;
using db::ConnectionString;

std::string connectMessage(const std::string& text) {
    try {
        db::Connection c(text);
        c.connect();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(ConnectionString, FormsOfEachBackend) {
    ConnectionString s = ConnectionString::parse("sqlite3://db=/var/x/station.db timeout=3");
    EXPECT_EQ(s.backend, Backend::Sqlite3);
    EXPECT_EQ(s.database, "/var/x/station.db");
    EXPECT_EQ(s.settings, "db=/var/x/station.db timeout=3");
    EXPECT_EQ(ConnectionString::parse("sqlite:///tmp/a.db").database, "/tmp/a.db");

    ConnectionString p =
        ConnectionString::parse("postgresql://host=10.0.0.5 port=5433 dbname=loja user=caixa password='s3 cr\\'et'");
    EXPECT_EQ(p.backend, Backend::PostgreSql);
    EXPECT_EQ(p.database, "loja on 10.0.0.5:5433");
    EXPECT_EQ(p.secrets, std::vector<std::string>{"s3 cr'et"});
    EXPECT_EQ(p.redact("bad password s3 cr'et"), "bad password ***");

    ConnectionString o = ConnectionString::parse("odbc://DSN=ORA;UID=u;PWD={p;w}");
    EXPECT_EQ(o.backend, Backend::Odbc);
    EXPECT_EQ(o.database, "DSN=ORA");
}

TEST(ConnectionString, BadStringsGiveOneMessageNamingBackendAndDatabase) {
    struct Case {
        const char* text;
        const char* backend;
        const char* database;
    } cases[] = {
        {"station.db", "backend unknown", "database unknown"},
        {"mysql://db=x", "'mysql'", "database unknown"},
        {"sqlite3://timeout=3", "sqlite3", "''"},
        {"postgresql://host=h dbname=shop password='unterminated", "postgresql", "shop on h"},
        {"postgresql://host=h dbname=shop user", "postgresql", "shop on h"},
        {"odbc://UID=u;PWD=pw", "odbc", "''"},
    };
    for (const Case& c : cases) {
        std::string msg = connectMessage(c.text);
        EXPECT_NE(msg.find(c.backend), std::string::npos) << c.text << " -> " << msg;
        EXPECT_NE(msg.find(c.database), std::string::npos) << c.text << " -> " << msg;
        EXPECT_EQ(msg.find("unterminated"), msg.find("unterminated quote")) << "no raw password: " << msg;
        EXPECT_EQ(msg.find("pw"), std::string::npos) << msg;
    }
}

TEST(Connection, UnopenableDatabaseNamesBackendAndFile) {
    std::string msg = connectMessage("sqlite3://db=/nonexistent-dir/sub/station.db");
    EXPECT_NE(msg.find("sqlite3 database '/nonexistent-dir/sub/station.db'"), std::string::npos) << msg;
    msg = connectMessage("odbc://DSN=NoSuchSource;PWD=topsecret");
    EXPECT_NE(msg.find("odbc database 'DSN=NoSuchSource'"), std::string::npos) << msg;
    EXPECT_EQ(msg.find("topsecret"), std::string::npos) << msg;
}

TEST(Connection, TryConnectRetriesARefusedServerAndHidesThePassword) {
    // A port nobody listens on: bind one and close it again.
    int attemptsSeen = 0;
    db::Connection c;
    c.setBeforeConnect([&](db::Connection& conn) {
        ++attemptsSeen;
        conn.setConnectionString(
            "postgresql://host=127.0.0.1 port=1 dbname=loja user=caixa password=hunter2 connect_timeout=2");
    });
    try {
        util::TryConnect(c, {3, std::chrono::milliseconds(1)});
        FAIL() << "connected";
    } catch (const ConnectError& e) {
        std::string msg = e.what();
        EXPECT_NE(msg.find("postgresql database 'loja on 127.0.0.1:1'"), std::string::npos) << msg;
        EXPECT_NE(msg.find("after 3 attempts"), std::string::npos) << msg;
        EXPECT_EQ(msg.find("hunter2"), std::string::npos) << msg;
    }
    EXPECT_EQ(attemptsSeen, 3);
    EXPECT_FALSE(c.connected());

    // A malformed string is not retried.
    attemptsSeen = 0;
    c.setBeforeConnect([&](db::Connection& conn) {
        ++attemptsSeen;
        conn.setConnectionString("nosuch://x");
    });
    EXPECT_THROW(util::TryConnect(c, {3, std::chrono::milliseconds(1)}), ConnectError);
    EXPECT_EQ(attemptsSeen, 1);
}

TEST(Connection, FailingAfterConnectHookLeavesItClosedAndRunsAgainNextTime) {
    TempDir dir;
    db::Connection c("sqlite3://db=" + (dir.path() / "a.db").string());
    int before = 0, after = 0;
    c.setBeforeConnect([&](db::Connection&) { ++before; });
    c.setAfterConnect([&](db::Connection&) {
        if (++after == 1) throw Error("session set-up refused");
    });
    EXPECT_THROW(c.connect(), Error);
    EXPECT_FALSE(c.connected());
    c.ensureConnected();
    c.ensureConnected();
    EXPECT_TRUE(c.connected());
    EXPECT_EQ(before, 2);
    EXPECT_EQ(after, 2);
}

TEST(Dialect, ParametersOccurrencesSkipQuotesCommentsAndCasts) {
    EXPECT_EQ(db::parameterOccurrences("SELECT ':NOT' , \":NOR\" -- :NEITHER\r\n FROM T WHERE A = :P_A AND B = "
                                       ":P_B::date AND C = :P_A /* :X */ AND D=':'':Y'"),
              (std::vector<std::string>{"P_A", "P_B", "P_A"}));
}

TEST(Dialect, SqliteCallsIfnullWhereTheTextCallsIsnull) {
    const db::Dialect& lite = db::Dialect::of(Backend::Sqlite3);
    EXPECT_EQ(lite.adaptSql("SET N = ISNULL(N,0) + isnull (M, 1), S = 'ISNULL(x)' -- ISNULL(\n, XISNULL(1), N ISNULL"),
              "SET N = IFNULL(N,0) + IFNULL (M, 1), S = 'ISNULL(x)' -- ISNULL(\n, XISNULL(1), N ISNULL");
    EXPECT_EQ(db::Dialect::of(Backend::PostgreSql).adaptSql("ISNULL(a,0)"), "ISNULL(a,0)");
}

TEST(Dialect, ScriptsSplitAtSemicolonsOutsideQuotesAndComments) {
    auto parts = db::splitStatements("-- head; comment\nCREATE X (A);\n\nCREATE F AS 'SELECT 1; 2';\n-- tail;\n");
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_NE(parts[0].find("CREATE X (A)"), std::string::npos);
    EXPECT_NE(parts[1].find("'SELECT 1; 2'"), std::string::npos);
}

TEST(StationConfig, KeysValuesCommentsAndErrors) {
    StationConfig c = StationConfig::parse(
        "# station\n  Database = postgresql://host=h password=a#b  \r\n\n  # other\nprinter=COM1\n", "g.conf");
    EXPECT_EQ(c.get("database"), "postgresql://host=h password=a#b");
    EXPECT_EQ(c.get("PRINTER"), "COM1");
    EXPECT_EQ(c.get("none"), std::nullopt);
    EXPECT_THROW(c.require("none"), Error);

    auto message = [](const char* text) {
        try {
            StationConfig::parse(text, "g.conf");
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message("a = 1\njust words\n"), "g.conf, line 2: expected 'key = value'");
    EXPECT_EQ(message("a = 1\nA = 2\n"), "g.conf, line 2: key 'A' given again (first on line 1)");
    EXPECT_EQ(message(" = 2\n"), "g.conf, line 1: empty key");
}

TEST(StationConfig, ConnectionStringComesFromTheStationDirectory) {
    TempDir dir;
    EXPECT_THROW(util::_GetStringConexZel(dir.path(), ""), Error);
    std::ofstream(dir.path() / "geracupom.conf")
        << "database = sqlite3://db=/x.db\ndatabase.backup = sqlite3://db=/y.db\n";
    EXPECT_EQ(util::_GetStringConexZel(dir.path(), ""), "sqlite3://db=/x.db");
    EXPECT_EQ(util::_GetStringConexZel(dir.path(), "backup"), "sqlite3://db=/y.db");
}

TEST(StationConfig, ARelativeSqliteFileLiesInTheStationDirectory) {
    using db::anchoredConnectionString;
    EXPECT_EQ(anchoredConnectionString("sqlite3://db=station.db", "/st/a"), "sqlite3://db=/st/a/station.db");
    EXPECT_EQ(anchoredConnectionString("sqlite3://data/s.db", "/st/a"), "sqlite3:///st/a/data/s.db");
    // A path with a blank and the other settings survive, and read back as the same file.
    std::string spaced = anchoredConnectionString("sqlite3://db='my station.db' timeout=3", "/st/a b");
    EXPECT_EQ(ConnectionString::parse(spaced).database, "/st/a b/my station.db") << spaced;
    EXPECT_NE(ConnectionString::parse(spaced).settings.find("timeout=3"), std::string::npos) << spaced;
    for (const char* same : {"sqlite3://db=/abs/station.db", "sqlite3://db=:memory:", "postgresql://host=h dbname=x",
                             "odbc://DSN=x", "sqlite3://db='unterminated", "nonsense"})
        EXPECT_EQ(anchoredConnectionString(same, "/st/a"), same);

    TempDir dir;
    std::ofstream(dir.path() / "geracupom.conf") << "database = sqlite3://db=station.db\n";
    EXPECT_EQ(util::_GetStringConexZel(dir.path(), ""), "sqlite3://db=" + (dir.path() / "station.db").string());
}

TEST(Provider, TextFieldsWidenToTheLongestValueInCharacters) {
    TempDir dir;
    db::Connection c("sqlite3://db=" + (dir.path() / "p.db").string());
    c.executeDirect("CREATE TABLE T (A VARCHAR(3), N NUMERIC(9,2), D DATE)");
    c.executeDirect("INSERT INTO T VALUES ('ab', 1.25, '2024-02-29')");
    c.executeDirect("INSERT INTO T VALUES ('Conceição', NULL, NULL)");
    db::Query q(c, "q", "SELECT A, N, D, N * 2 FROM T WHERE A <> :P_X ORDER BY A", {{"P_X", db::ParamType::Text}},
                {{"A", db::ColumnType::Text, 3},
                 {"N", db::ColumnType::Float},
                 {"D", db::ColumnType::Date},
                 {"TWICE", db::ColumnType::Float}});
    EXPECT_THROW(q.open(), db::DbError) << "a parameter without a value";
    q.setText("P_X", "zz");
    db::Provider dsp(q);
    ds::Packet p = dsp.packet();
    ASSERT_EQ(p.fields.size(), 4u);
    EXPECT_EQ(p.fields[0].width(), 9);  // "Conceição": nine characters, eleven bytes
    EXPECT_EQ(p.fields[3].typeCode(), ds::kFloat) << "a computed column typed by its declaration";
    ASSERT_EQ(p.records.size(), 2u);
    EXPECT_EQ(std::get<double>(p.records[1].cells[3]), 2.5);
    EXPECT_EQ(std::get<int64_t>(p.records[1].cells[2]), DateTime::fromDate(2024, 2, 29).packetDate());
    EXPECT_TRUE(ds::isNull(p.records[0].cells[1]));
    // Setting a parameter as the wrong kind is refused.
    EXPECT_THROW(q.setDate("P_X", DateTime::fromDate(2024, 1, 1)), db::DbError);
    EXPECT_THROW(q.setText("P_NONE", "x"), db::DbError);
}

TEST(Provider, AStatementMustDeclareEveryParameterItUses) {
    db::Connection c("sqlite3://db=:memory:");
    EXPECT_THROW(db::Command(c, "cmd", "DELETE FROM T WHERE A = :P_A", {}), db::DbError);
}

TEST(Schema, FilesOfEachBackendInNameOrder) {
    auto lite = schemaFiles(Backend::Sqlite3);
    auto pg = schemaFiles(Backend::PostgreSql);
    ASSERT_FALSE(lite.empty());
    ASSERT_FALSE(pg.empty());
    EXPECT_TRUE(std::is_sorted(lite.begin(), lite.end(), [](auto& a, auto& b) { return a.name < b.name; }));
    EXPECT_TRUE(schemaFiles(Backend::Odbc).empty());
    // Every table of the statements is created for both backends.
    for (const auto& files : {lite, pg})
        for (const std::string& t : statementTables()) {
            bool found = false;
            for (const auto& f : files)
                found |= f.text.find("CREATE TABLE IF NOT EXISTS " + t + " ") != std::string::npos;
            EXPECT_TRUE(found) << t;
        }
}

}  // namespace
}  // namespace zel::testing
