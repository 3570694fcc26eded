// The stored statements and their operations, on SQLite and on PostgreSQL.
#include <gtest/gtest.h>

#include "support/db_fixture.h"

namespace zel::testing {
namespace {

using db::Backend;

std::vector<std::string> fieldNames(const ds::Packet& p) {
    std::vector<std::string> out;
    for (const auto& f : p.fields) out.push_back(f.name);
    return out;
}

std::string textAt(const ds::Packet& p, size_t row, const char* field) {
    const ds::Cell& c = p.records.at(row).cells.at(static_cast<size_t>(p.fieldIndex(field)));
    return ds::isNull(c) ? "<null>" : std::get<std::string>(c);
}

std::optional<double> floatAt(const ds::Packet& p, size_t row, const char* field) {
    const ds::Cell& c = p.records.at(row).cells.at(static_cast<size_t>(p.fieldIndex(field)));
    if (ds::isNull(c)) return std::nullopt;
    return std::get<double>(c);
}

class StatementTest : public BackendTest {};

// --- getConsumidor -----------------------------------------------------------

class ConsumidorTest : public StatementTest {
  protected:
    void SetUp() override {
        StatementTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        exec("INSERT INTO CLIENTE (CDCLIENTE, NMFANTCLIE) VALUES ('C1', 'Fabrica Norte')");
        exec("INSERT INTO CLIENTE (CDCLIENTE, NMFANTCLIE) VALUES ('C2', 'Outra')");
        exec("INSERT INTO CLIENFILIAL (CDCLIENTE, CDFILIAL) VALUES ('C1', '0001')");
        exec("INSERT INTO CLIENFILIAL (CDCLIENTE, CDFILIAL) VALUES ('C2', '0002')");
        const char* rows[][2] = {{"10", "'N'"}, {"11", "'S'"}, {"12", "'n'"}, {"13", "''"}, {"14", "NULL"}};
        for (auto& r : rows)
            exec(std::string("INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, "
                             "NRCPFRESPCON, CDCCUSCLIE, IDIMPCPFCUPOM) VALUES ('C1', '") +
                 r[0] + "', 'B" + r[0] + "', 'Ana " + r[0] + "', '1234567890" + r[0] + "', 'CC7', " + r[1] + ")");
    }

    struct Out {
        std::string nm = "old", cpf = "old", fant = "old", cc = "old";
    };
    Out get(const std::string& cliente, const std::string& filial, const std::string& consumidor) {
        Out o;
        module_->getConsumidor("ignored", cliente, filial, consumidor, o.nm, o.cpf, o.fant, o.cc);
        return o;
    }
};

TEST_P(ConsumidorTest, NotPrintingHidesNameAndTaxNumberOnly) {
    Out o = get("C1", "0001", "10");
    EXPECT_EQ(o.nm, "");
    EXPECT_EQ(o.cpf, "");
    EXPECT_EQ(o.fant, "Fabrica Norte");
    EXPECT_EQ(o.cc, "CC7");
}

TEST_P(ConsumidorTest, EveryOtherPrintFlagKeepsAllFour) {
    for (const char* code : {"11", "12", "13", "14"}) {
        SCOPED_TRACE(code);
        Out o = get("C1", "0001", code);
        EXPECT_EQ(o.nm, std::string("Ana ") + code);
        EXPECT_EQ(o.cpf, std::string("1234567890") + code);
        EXPECT_EQ(o.fant, "Fabrica Norte");
        EXPECT_EQ(o.cc, "CC7");
    }
}

TEST_P(ConsumidorTest, NoRowGivesFourEmptyTextsWithoutError) {
    for (auto [cliente, filial, consumidor] : {std::tuple{"C1", "0001", "99"},     // unknown consumer
                                               std::tuple{"C1", "0002", "11"},     // client not at that branch
                                               std::tuple{"C2", "0002", "11"}}) {  // consumer of another client
        Out o = get(cliente, filial, consumidor);
        EXPECT_EQ(o.nm + o.cpf + o.fant + o.cc, "") << cliente << filial << consumidor;
    }
    // The query stays open on its (empty) result until the next run.
    EXPECT_TRUE(module_->adqConsumidor.isOpen());
}

TEST_P(ConsumidorTest, DatabaseErrorLeavesTheOperation) {
    hideTable("CLIENFILIAL");
    Out o;
    EXPECT_THROW(module_->getConsumidor("", "C1", "0001", "11", o.nm, o.cpf, o.fant, o.cc), db::DbError);
}

INSTANTIATE_TEST_SUITE_P(Backends, ConsumidorTest,
                         ::testing::Values(Backend::Sqlite3, Backend::PostgreSql, Backend::Odbc), backendLabel);

// --- setGravaCupomInicial ----------------------------------------------------

TEST_P(StatementTest, FirstCouponOfTheDayIsKeptOnceUnderTheWholeKey) {
    DateTime day = DateTime::fromDate(2024, 3, 15);
    DateTime evening(day.value() + 0.8);
    std::string key = module_->counterKey("0001", "001", evening);
    EXPECT_EQ(key,
              "CUPINICIAL0001001"
              "15/03/2024");
    EXPECT_EQ(key.size(), 27u);

    EXPECT_EQ(module_->setGravaCupomInicial("0001", "001", "123", evening), Variant(std::string()));
    EXPECT_EQ(module_->setGravaCupomInicial("0001", "001", "456", day), Variant(std::string()));
    EXPECT_EQ(module_->setGravaCupomInicial("0001", "001", "789", DateTime(day.value() + 1)), Variant(std::string()));

    db::Query q(*admin_, "check", "SELECT CDCONTADOR, NRSEQUENCIAL FROM NOVOCODIGO ORDER BY CDCONTADOR", {},
                {{"CDCONTADOR", db::ColumnType::Text}, {"NRSEQUENCIAL", db::ColumnType::Text}});
    q.open();
    ASSERT_EQ(q.rowCount(), 2u);
    EXPECT_EQ(q.asText("CDCONTADOR"), "CUPINICIAL000100115/03/2024");
    EXPECT_EQ(q.asText("NRSEQUENCIAL"), "0000000123");
    q.next();
    EXPECT_EQ(q.asText("CDCONTADOR"), "CUPINICIAL000100116/03/2024");
    EXPECT_EQ(q.asText("NRSEQUENCIAL"), "0000000789");
}

TEST_P(StatementTest, AnExistingKeyWritesNothingWhateverItHolds) {
    exec("INSERT INTO NOVOCODIGO (CDCONTADOR, NRSEQUENCIAL) VALUES ('CUPINICIAL000100115/03/2024', NULL)");
    EXPECT_EQ(module_->setGravaCupomInicial("0001", "001", "5", DateTime::fromDate(2024, 3, 15)),
              Variant(std::string()));
    db::Query q(*admin_, "check", "SELECT NRSEQUENCIAL FROM NOVOCODIGO", {}, {{"NRSEQUENCIAL", db::ColumnType::Text}});
    q.open();
    ASSERT_EQ(q.rowCount(), 1u);
    EXPECT_TRUE(q.isNull("NRSEQUENCIAL"));
}

TEST_P(StatementTest, CounterFailureComesBackAsText) {
    hideTable("NOVOCODIGO");
    Variant r;
    EXPECT_NO_THROW(r = module_->setGravaCupomInicial("0001", "001", "5", DateTime::fromDate(2024, 3, 15)));
    ASSERT_TRUE(r.isText());
    EXPECT_NE(r.text().find("adqCupomInicial"), std::string::npos) << r.text();
    EXPECT_NE(lowerCopy(r.text()).find("novocodigo"), std::string::npos) << r.text();
}

// --- getConsSaldFam ----------------------------------------------------------

class SaldoFamiliaTest : public StatementTest {
  protected:
    void SetUp() override {
        StatementTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        for (const char* f : {"003", "001", "002", "004", "005"})
            exec(std::string("INSERT INTO FAMILIASALDO VALUES ('") + f + "', 'Familia " + f + "')");
        // Branch 0001 enables 001..004; 005 only elsewhere.
        for (const char* f : {"003", "001", "002", "004"})
            exec(std::string("INSERT INTO FAMSALDOFILI VALUES ('0001', '") + f + "')");
        exec("INSERT INTO FAMSALDOFILI VALUES ('0009', '005')");
        exec("INSERT INTO SALDOCONS VALUES ('C1', '10', '002', 25.5)");
        exec("INSERT INTO SALDOCONS VALUES ('C1', '10', '004', -3.25)");
        exec("INSERT INTO SALDOCONS VALUES ('C1', '10', '005', 99)");  // family not at the branch
        exec("INSERT INTO SALDOCONS VALUES ('C1', '11', '001', 7)");   // another consumer
        exec("INSERT INTO SALDOCONS VALUES ('C2', '10', '003', 8)");   // same code, another client
    }
};

TEST_P(SaldoFamiliaTest, EveryFamilyOfTheBranchOnceSortedWithZeroWhereNoBalance) {
    Variant v = module_->getConsSaldFam("0001", "C1", "10");
    ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
    const ds::Packet& p = v.asPacket();
    EXPECT_EQ(fieldNames(p), (std::vector<std::string>{"CDFAMILISALD", "VRSALDCONFAM", "NMFAMILISALD"}));
    EXPECT_EQ(p.fields[0].typeCode(), ds::kString);
    EXPECT_EQ(p.fields[1].typeCode(), ds::kFloat);
    EXPECT_EQ(p.fields[2].typeCode(), ds::kString);
    ASSERT_EQ(p.records.size(), 4u);
    const char* families[] = {"001", "002", "003", "004"};
    const double balances[] = {0, 25.5, 0, -3.25};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(textAt(p, i, "CDFAMILISALD"), families[i]);
        EXPECT_EQ(floatAt(p, i, "VRSALDCONFAM"), balances[i]) << families[i];
        EXPECT_EQ(textAt(p, i, "NMFAMILISALD"), std::string("Familia ") + families[i]);
    }
}

TEST_P(SaldoFamiliaTest, ConsumerWithoutBalancesGetsZeroInEveryFamily) {
    Variant v = module_->getConsSaldFam("0001", "C1", "77");
    ASSERT_TRUE(v.isPacket());
    ASSERT_EQ(v.asPacket().records.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(floatAt(v.asPacket(), i, "VRSALDCONFAM"), 0.0);
}

TEST_P(SaldoFamiliaTest, ErrorComesBackAsTextNamingTheTable) {
    hideTable("SALDOCONS");
    Variant v;
    EXPECT_NO_THROW(v = module_->getConsSaldFam("0001", "C1", "10"));
    ASSERT_TRUE(v.isText());
    EXPECT_NE(lowerCopy(v.text()).find("saldocons"), std::string::npos) << v.text();
}

INSTANTIATE_TEST_SUITE_P(Backends, SaldoFamiliaTest,
                         ::testing::Values(Backend::Sqlite3, Backend::PostgreSql, Backend::Odbc), backendLabel);

// --- getVrSaldConsumi --------------------------------------------------------

class ConsumoTest : public StatementTest {
  protected:
    void SetUp() override {
        StatementTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        exec(
            "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, VRLIMDEBCONS, VRMAXDEBCONS) "
            "VALUES ('C1', '10', 'BADGE10', 300, 500)");
        exec(
            "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, VRLIMDEBCONS, VRMAXDEBCONS) "
            "VALUES ('C1', '11', 'BADGE11', 100, NULL)");
        exec("INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID) VALUES ('C2', '10', 'BADGE10')");
    }
    // One sale of one item: 2 x 5.25 + 1.5 surcharge - 0.5 discount = 11.5, times `factor`.
    void sale(const std::string& nr, const std::string& filial, const std::string& cliente,
              const std::string& consumidor, const std::string& date, const std::string& situ, double factor = 1) {
        exec(
            "INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, IDSITUVENDA) "
            "VALUES ('" +
            filial + "', '001', '" + nr + "', '" + cliente + "', '" + consumidor + "', '" + date + "', '" + situ +
            "')");
        exec(
            "INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, QTPRODVEND, VRUNITVEND, "
            "VRACRITVEND, VRDESITVEND) VALUES ('" +
            filial + "', '001', '" + nr + "', '1', 2, " + std::to_string(5.25 * factor) + ", 1.5, 0.5)");
    }
    Variant get(const std::string& id, DateTime saleDate) {
        return module_->getVrSaldConsumi("0001", "C1", id, ModuleDatabase::PrimeiroDiaMes(saleDate), saleDate);
    }
};

TEST_P(ConsumoTest, NoSaleGivesNullSumsBesideTheLimits) {
    Variant v = get("BADGE10", DateTime::fromDate(2024, 3, 20));
    ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
    const ds::Packet& p = v.asPacket();
    EXPECT_EQ(fieldNames(p),
              (std::vector<std::string>{"VRLIMDEBCONS", "VRMAXDEBCONS", "VALCONSUMDIA", "VALCONSUMMES"}));
    for (const auto& f : p.fields) EXPECT_EQ(f.typeCode(), ds::kFloat) << f.name;
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(floatAt(p, 0, "VRLIMDEBCONS"), 300.0);
    EXPECT_EQ(floatAt(p, 0, "VRMAXDEBCONS"), 500.0);
    EXPECT_EQ(floatAt(p, 0, "VALCONSUMDIA"), std::nullopt);
    EXPECT_EQ(floatAt(p, 0, "VALCONSUMMES"), std::nullopt);
}

TEST_P(ConsumoTest, SumsCountConcludedSalesOfTheDayAndOfTheMonthToThatDay) {
    sale("1", "0001", "C1", "10", "2024-03-01", "O");       // first day of the month: month only
    sale("2", "0001", "C1", "10", "2024-03-20", "O", 2);    // the sale date: both (2*10.5+1 = 22)
    sale("3", "0001", "C1", "10", "2024-03-20", "C", 100);  // not concluded
    sale("4", "0001", "C1", "10", "2024-02-29", "O", 100);  // the month before
    sale("5", "0001", "C1", "10", "2024-03-21", "O", 100);  // after the sale date
    sale("6", "0002", "C1", "10", "2024-03-20", "O", 100);  // another branch
    sale("7", "0001", "C2", "10", "2024-03-20", "O", 100);  // same consumer code, another client
    sale("8", "0001", "C1", "11", "2024-03-20", "O", 100);  // another consumer of the client
    Variant v = get("BADGE10", DateTime(DateTime::fromDate(2024, 3, 20).value() + 0.75));
    ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
    const ds::Packet& p = v.asPacket();
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_DOUBLE_EQ(*floatAt(p, 0, "VALCONSUMDIA"), 22.0);
    EXPECT_DOUBLE_EQ(*floatAt(p, 0, "VALCONSUMMES"), 11.5 + 22.0);
}

TEST_P(ConsumoTest, UnknownBadgeGivesAPacketWithoutRows) {
    sale("1", "0001", "C1", "10", "2024-03-20", "O");
    Variant v = get("NOBODY", DateTime::fromDate(2024, 3, 20));
    ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
    EXPECT_EQ(v.asPacket().fields.size(), 4u);
    EXPECT_TRUE(v.asPacket().records.empty());
}

TEST_P(ConsumoTest, ErrorComesBackAsText) {
    hideTable("ITEMVENDA");
    Variant v;
    EXPECT_NO_THROW(v = get("BADGE10", DateTime::fromDate(2024, 3, 20)));
    ASSERT_TRUE(v.isText());
    EXPECT_NE(lowerCopy(v.text()).find("itemvenda"), std::string::npos) << v.text();
}

INSTANTIATE_TEST_SUITE_P(Backends, ConsumoTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql, Backend::Odbc),
                         backendLabel);

// --- receipt type and turnstile log -----------------------------------------

TEST_P(StatementTest, ReceiptTypeComesAsPacketOrErrorText) {
    exec("INSERT INTO TIPORECE VALUES ('009', 'Debito consumidor')");
    exec("INSERT INTO TIPORECE VALUES ('001', 'Dinheiro')");
    Variant v = module_->getTipoRece();
    ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
    ASSERT_EQ(v.asPacket().records.size(), 1u);
    EXPECT_EQ(textAt(v.asPacket(), 0, "CDTIPORECE"), "009");
    EXPECT_EQ(textAt(v.asPacket(), 0, "NMTIPORECE"), "Debito consumidor");
    hideTable("TIPORECE");
    v = module_->getTipoRece();
    ASSERT_TRUE(v.isText());
    EXPECT_NE(lowerCopy(v.text()).find("tiporece"), std::string::npos) << v.text();
}

TEST_P(StatementTest, TurnstileRowIsDeletedOnlyForItsBranch) {
    for (const char* filial : {"0001", "0002"})
        exec(std::string("INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, DATAREAL, HORAREAL) VALUES ('") +
             filial + "', '55', '001', '2024-03-20', '1215')");
    module_->execApagaLogCatraca("0001", "55");
    module_->settleSent();  // on a server nobody waited for the removal's answer
    db::Query q(*admin_, "check", "SELECT CDFILIAL FROM LOGCATRACA", {}, {{"CDFILIAL", db::ColumnType::Text}});
    q.open();
    ASSERT_EQ(q.rowCount(), 1u);
    EXPECT_EQ(q.asText("CDFILIAL"), "0002");
}

TEST_P(StatementTest, ImportCounterIsRaisedFromNullAndByZero) {
    exec("INSERT INTO LOGCATRACAPK (NRSEQARQIMPK, NRVENDAGERADA) VALUES ('7', NULL)");
    exec("INSERT INTO LOGCATRACAPK (NRSEQARQIMPK, NRVENDAGERADA) VALUES ('8', 4)");
    exec("INSERT INTO LOGCATRACAPK (NRSEQARQIMPK, NRVENDAGERADA) VALUES ('9', NULL)");
    module_->execIncLogCatracaPk("7", 3);
    module_->execIncLogCatracaPk("8", 0);
    module_->execIncLogCatracaPk("9", 0);
    db::Query q(*admin_, "check", "SELECT NRSEQARQIMPK, NRVENDAGERADA FROM LOGCATRACAPK ORDER BY NRSEQARQIMPK", {},
                {{"NRSEQARQIMPK", db::ColumnType::Text}, {"NRVENDAGERADA", db::ColumnType::Float}});
    q.open();
    ASSERT_EQ(q.rowCount(), 3u);
    EXPECT_EQ(q.asFloat("NRVENDAGERADA"), 3.0);
    q.next();
    EXPECT_EQ(q.asFloat("NRVENDAGERADA"), 4.0);
    q.next();
    EXPECT_FALSE(q.isNull("NRVENDAGERADA"));
    EXPECT_EQ(q.asFloat("NRVENDAGERADA"), 0.0);
}

TEST_P(StatementTest, TurnstileCommandsLetErrorsOut) {
    hideTable("LOGCATRACAPK");
    EXPECT_THROW(module_->execIncLogCatracaPk("7", 1), db::DbError);
}

// --- connection handlers and transactions -----------------------------------

TEST_P(StatementTest, ConnectHandlersRunOnceBeforeTheFirstStatement) {
    // Each statement on a fresh module connects it exactly once.
    std::vector<std::function<void(ModuleDatabase&)>> runs = {
        [](ModuleDatabase& m) {
            std::string a, b, c, d;
            m.getConsumidor("", "C", "F", "X", a, b, c, d);
        },
        [](ModuleDatabase& m) { m.setGravaCupomInicial("0001", "001", "1", DateTime::fromDate(2024, 1, 2)); },
        [](ModuleDatabase& m) { m.getTipoRece(); },
        [](ModuleDatabase& m) { m.getConsSaldFam("F", "C", "X"); },
        [](ModuleDatabase& m) {
            m.getVrSaldConsumi("F", "C", "X", DateTime::fromDate(2024, 1, 1), DateTime::fromDate(2024, 1, 2));
        },
        [](ModuleDatabase& m) { m.execApagaLogCatraca("F", "1"); },
        [](ModuleDatabase& m) { m.execIncLogCatracaPk("1", 1); },
    };
    for (size_t i = 0; i < runs.size(); ++i) {
        SlotCalls calls;
        ModuleDatabase m(utilitySlots(dir_.path(), &calls), FormatSettings{});
        EXPECT_FALSE(m.adcGeraCupomVenda.connected());
        EXPECT_EQ(calls.getStringConexZel + calls.setADODBSession, 0);
        runs[i](m);
        runs[i](m);
        EXPECT_EQ(calls.getStringConexZel, 1) << "statement " << i;
        EXPECT_EQ(calls.setADODBSession, 1) << "statement " << i;
        EXPECT_EQ(m.adcGeraCupomVenda.connectCount(), 1);
    }
    // The session was prepared before the statement: the insert of a row whose
    // family does not exist is refused, as only foreign keys switched on do.
    if (GetParam() == Backend::Sqlite3) {
        SlotCalls calls;
        ModuleDatabase m(utilitySlots(dir_.path(), &calls), FormatSettings{});
        db::Command bad(m.adcGeraCupomVenda, "bad", "INSERT INTO FAMSALDOFILI VALUES ('0001', 'ZZZ')", {});
        EXPECT_THROW(bad.execute(), db::DbError);
    }
}

TEST_P(StatementTest, TransactionsOpenOnceAndIgnoreCallsWithoutOne) {
    ModuleDatabase& m = *module_;
    EXPECT_NO_THROW(m.CommitTrans());
    EXPECT_NO_THROW(m.RollbackTrans());
    m.MtsDataModuleActivate();
    EXPECT_TRUE(m.adcGeraCupomVenda.connected());
    EXPECT_EQ(calls_.getStringConexZel, 1);

    m.StartTrans();
    EXPECT_NO_THROW(m.StartTrans());
    EXPECT_TRUE(m.adcGeraCupomVenda.inTransaction());
    m.execIncLogCatracaPk("none", 1);  // runs inside the transaction
    m.adcGeraCupomVenda.executeDirect("INSERT INTO TIPORECE VALUES ('001', 'Dinheiro')");
    m.RollbackTrans();
    EXPECT_FALSE(m.adcGeraCupomVenda.inTransaction());
    exec("INSERT INTO TIPORECE VALUES ('009', 'Debito')");
    db::Query count(*admin_, "count", "SELECT COUNT(*) FROM TIPORECE", {}, {{"N", db::ColumnType::Integer}});
    count.open();
    EXPECT_EQ(count.asFloat("N"), 1.0) << "the rolled-back row is gone";

    m.StartTrans();
    m.adcGeraCupomVenda.executeDirect("INSERT INTO TIPORECE VALUES ('002', 'Cheque')");
    m.CommitTrans();
    EXPECT_NO_THROW(m.CommitTrans());
    EXPECT_NO_THROW(m.RollbackTrans());
    count.open();
    EXPECT_EQ(count.asFloat("N"), 2.0) << "the committed row stays";

    m.MtsDataModuleDeactivate();
    EXPECT_FALSE(m.adcGeraCupomVenda.connected());
}

INSTANTIATE_TEST_SUITE_P(Backends, StatementTest,
                         ::testing::Values(Backend::Sqlite3, Backend::PostgreSql, Backend::Odbc), backendLabel);

// --- a database without the schema ------------------------------------------

class NoSchemaTest : public BackendTest {
  protected:
    bool withSchema() const override { return false; }
};

TEST_P(NoSchemaTest, ErrorsNameTheMissingTable) {
    try {
        verifySchema(*admin_);
        FAIL() << "no error";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("lacks the table CONSUMIDOR"), std::string::npos) << e.what();
    }
    Variant v = module_->getConsSaldFam("0001", "C1", "10");
    ASSERT_TRUE(v.isText());
    EXPECT_NE(lowerCopy(v.text()).find("saldocons"), std::string::npos) << v.text();
}

TEST_P(NoSchemaTest, SchemaAppliesTwiceAndThenVerifies) {
    applySchema(*admin_);
    EXPECT_NO_THROW(applySchema(*admin_));
    EXPECT_NO_THROW(verifySchema(*admin_));
}

INSTANTIATE_TEST_SUITE_P(Backends, NoSchemaTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing
