// Statements keep their prepared form between runs on both backends and
// prepare again when the connection, a failure or a null value asks for it,
// with the same answers as a fresh statement.
#include <gtest/gtest.h>

#include "support/db_fixture.h"
#include "platform/db/statement.h"

namespace zel::testing {
namespace {

using db::Backend;

class PreparedTest : public BackendTest {
  protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        exec("INSERT INTO NOVOCODIGO VALUES ('A', '1'), ('B', '2'), ('C', NULL)");
    }
    db::Connection& conn() { return *admin_; }
};

TEST_P(PreparedTest, RunsAgainWithNewValuesOnOnePreparedForm) {
    db::Query q(conn(), "adqCounter",
                "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :P_C OR CDCONTADOR = :P_C",
                {{"P_C", db::ParamType::Text}}, {{"NRSEQUENCIAL", db::ColumnType::Text, 20}});
    const char* keys[] = {"A", "B", "Z", "C", "A"};
    const char* expected[] = {"1", "2", nullptr, "", "1"};
    for (int i = 0; i < 5; ++i) {
        q.setText("P_C", keys[i]);
        q.open();
        if (!expected[i]) {
            EXPECT_TRUE(q.isEmpty()) << keys[i];
        } else {
            ASSERT_EQ(q.rowCount(), 1u) << keys[i];
            EXPECT_EQ(q.asText("NRSEQUENCIAL"), expected[i]) << keys[i];
        }
    }
    EXPECT_EQ(q.prepareCount(), 1);
    EXPECT_TRUE(q.prepared());

    db::Command c(conn(), "acmSet", "UPDATE NOVOCODIGO SET NRSEQUENCIAL = :P_N WHERE CDCONTADOR = :P_C",
                  {{"P_N", db::ParamType::Text}, {"P_C", db::ParamType::Text}});
    c.setText("P_N", "7");
    c.setText("P_C", "A");
    EXPECT_EQ(c.execute(), 1);
    c.setText("P_C", "Z");
    EXPECT_EQ(c.execute(), 0);
    c.setText("P_C", "B");
    EXPECT_EQ(c.execute(), 1);
    EXPECT_EQ(c.prepareCount(), 1);
    // A null value is bound differently: prepared again, and the text after it too.
    c.setNull("P_N");
    EXPECT_EQ(c.execute(), 1);
    c.setText("P_N", "9");
    c.setText("P_C", "C");
    EXPECT_EQ(c.execute(), 1);
    EXPECT_EQ(c.prepareCount(), 3);

    q.setText("P_C", "B");
    q.open();
    EXPECT_TRUE(q.isNull("NRSEQUENCIAL"));
    q.setText("P_C", "C");
    q.open();
    EXPECT_EQ(q.asText("NRSEQUENCIAL"), "9");
}

TEST_P(PreparedTest, ReconnectAndFailurePrepareAgain) {
    db::Query q(conn(), "adqCounter", "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :P_C",
                {{"P_C", db::ParamType::Text}}, {{"NRSEQUENCIAL", db::ColumnType::Text, 20}});
    q.setText("P_C", "A");
    q.open();
    EXPECT_EQ(conn().preparedCount(), 1u);
    conn().disconnect();
    EXPECT_FALSE(q.prepared());
    EXPECT_EQ(conn().preparedCount(), 0u);
    q.open();  // connects again and prepares again
    EXPECT_EQ(q.asText("NRSEQUENCIAL"), "1");
    EXPECT_EQ(q.prepareCount(), 2);

    // A run that fails lets go of its prepared form and keeps its message.
    hideTable("NOVOCODIGO");
    try {
        q.open();
        ADD_FAILURE() << "a missing table must fail";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("adqCounter on "), std::string::npos) << e.what();
    }
    EXPECT_FALSE(q.prepared());
    exec("ALTER TABLE NOVOCODIGO_GONE RENAME TO NOVOCODIGO");
    q.open();
    EXPECT_EQ(q.asText("NRSEQUENCIAL"), "1");
}

TEST_P(PreparedTest, ModuleStatementsArePreparedOncePerConnection) {
    exec("INSERT INTO CLIENTE (CDCLIENTE, NMFANTCLIE) VALUES ('C1', 'Um')");
    exec("INSERT INTO CLIENFILIAL VALUES ('C1', '0001')");
    exec(
        "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, VRLIMDEBCONS, VRMAXDEBCONS) "
        "VALUES ('C1', '7', 'B7', 'Ana', 10, 20)");
    DateTime day = DateTime::fromDate(2024, 5, 9);
    for (int i = 0; i < 3; ++i) {
        Variant v = module_->getVrSaldConsumi("0001", "C1", "B7", ModuleDatabase::PrimeiroDiaMes(day), day);
        ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
        EXPECT_EQ(v.asPacket().records.size(), 1u);
        std::string nm, cpf, fant, ccus;
        module_->getConsumidor("", "C1", "0001", "7", nm, cpf, fant, ccus);
        EXPECT_EQ(nm, "Ana");
    }
    EXPECT_EQ(module_->adqVrSaldConsumi.prepareCount(), 1);
    EXPECT_EQ(module_->adqConsumidor.prepareCount(), 1);
    // Destroying the module's statements before their connection, or the
    // connection with statements prepared, leaves nothing dangling.
    module_.reset();
}

}  // namespace
}  // namespace zel::testing

namespace zel::testing {
namespace {

// A transaction broken by a failed statement still lets go of the statements
// prepared in it, by reconnecting or by a run whose binding changed.
TEST_P(PreparedTest, AbortedTransactionReleasesCleanly) {
    db::Query q(conn(), "adqCounter", "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :P_C",
                {{"P_C", db::ParamType::Text}}, {{"NRSEQUENCIAL", db::ColumnType::Text, 20}});
    db::Query bad(conn(), "adqBad", "SELECT NRSEQUENCIAL FROM NOVOCODIGO_X WHERE CDCONTADOR = :P_C",
                  {{"P_C", db::ParamType::Text}}, {{"NRSEQUENCIAL", db::ColumnType::Text, 20}});
    for (int round = 0; round < 2; ++round) {
        conn().beginTransaction();
        q.setText("P_C", "A");
        q.open();
        bad.setText("P_C", "A");
        EXPECT_THROW(bad.open(), db::DbError);
        if (round == 0) {
            q.setNull("P_C");  // prepared again inside the broken transaction
            if (GetParam() == Backend::PostgreSql) EXPECT_THROW(q.open(), db::DbError);
            else EXPECT_NO_THROW(q.open());  // SQLite keeps a transaction going after a failed statement
            conn().rollback();
        } else {
            conn().disconnect();
        }
        q.setText("P_C", "B");
        q.open();
        EXPECT_EQ(q.asText("NRSEQUENCIAL"), "2");
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, PreparedTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing
