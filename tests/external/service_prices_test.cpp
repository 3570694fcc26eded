// Prices, fiscal codes, approximate taxes, the access log and progress of the
// service package's stand-in, on SQLite and PostgreSQL.
#include "external/utility/args.h"
#include "external/utility/util_connection.h"
#include "service_package_fixture.h"

namespace zel::testing {
namespace {

using ext::DatabaseServicePackage;

class PriceTest : public ServicePackageTest {
  protected:
    void SetUp() override {
        ServicePackageTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Standard table of branch 0001, a store table for LJ1, a client table
        // for CLI1; all valid on 2026-03-15.
        exec("INSERT INTO TABEPRECO VALUES ('0001', 'PAD', 'Padrao', '2026-01-01', NULL)");
        exec("INSERT INTO TABEPRECO VALUES ('0001', 'LOJ', 'Loja', '2026-03-01', '2026-03-31')");
        exec("INSERT INTO TABEPRECO VALUES ('0009', 'CLI', 'Cliente', '2026-03-15', '2026-03-15')");
        exec("INSERT INTO FILIALTABPREC VALUES ('0001', '0001', 'PAD')");
        exec("INSERT INTO LOJATABPREC VALUES ('0001', 'LJ1', '0001', 'LOJ')");
        exec("INSERT INTO CLIENTABPREC VALUES ('CLI1', '0009', 'CLI')");
        price("PAD", "P1", 10);
        price("LOJ", "P1", 11);
        exec(
            "INSERT INTO ITEMTABPREC (CDFILTABPREC, CDTABEPREC, CDPRODUTO, VRPRECITEM, VRDESCITEM, VRACREITEM, "
            "VRPRECOCLIE) VALUES ('0009', 'CLI', 'P1', 12.5, 1.25, 0.5, 3)");
        tables_.cdsRetornaPreco.create();
    }

    void price(const std::string& table, const std::string& product, double value, const std::string& extra = "",
               const std::string& extraValues = "") {
        exec("INSERT INTO ITEMTABPREC (CDFILTABPREC, CDTABEPREC, CDPRODUTO, VRPRECITEM" + extra +
             ") VALUES ('0001', '" + table + "', '" + product + "', " + std::to_string(value) + extraValues + ")");
    }

    Variant ask(const std::string& client, const std::string& store, const std::string& product,
                const std::string& hhmm = "1230") {
        VariantArray v{Variant("0001"), Variant(client), Variant(product), Variant(store),
                       Variant("CON1"), Variant(hhmm),   Variant("")};
        return pkg_->ChamaFuncaoGetRetornaPreco(v, tables_.cdsRetornaPreco);
    }

    // What the service sees: the code CheckResultServ raises, "" for success.
    std::string code(const Variant& result) {
        try {
            ext::CheckResultServ(result, true, 0);
            return "";
        } catch (const ext::ArgumentError& e) {
            return std::string("argument error: ") + e.what();
        } catch (const Error& e) {
            return e.what();
        }
    }

    double field(const char* name) { return tables_.cdsRetornaPreco.field(name).asFloat(); }
};

TEST_P(PriceTest, ClientTableThenStoreThenStandard) {
    ASSERT_EQ(code(ask("CLI1", "LJ1", "P1")), "");
    EXPECT_EQ(tables_.cdsRetornaPreco.recordCount(), 1);
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 12.5);
    EXPECT_DOUBLE_EQ(field("VRDESCONTO"), 1.25);
    EXPECT_DOUBLE_EQ(field("VRACRESCIMO"), 0.5);
    EXPECT_DOUBLE_EQ(field("VRPRECOCLIE"), 3);

    // A client without a table of its own buys at the store's price.
    ASSERT_EQ(code(ask("CLI2", "LJ1", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 11);
    EXPECT_DOUBLE_EQ(field("VRPRECOCLIE"), 0);
    // The empty client (price-table switch "S") too.
    ASSERT_EQ(code(ask("", "LJ1", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 11);
    // A store without a table: the branch's standard table.
    ASSERT_EQ(code(ask("CLI2", "LJ9", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 10);
    EXPECT_EQ(tables_.cdsRetornaPreco.recordCount(), 1);
}

TEST_P(PriceTest, OneStatementFindsTheTableAndThePriceAndEmptyCodesNameNoTable) {
    // Client and store rows under empty codes are never the table of an empty
    // client or store.
    exec("INSERT INTO TABEPRECO VALUES ('0001', 'VAZ', 'Vazia', '2026-01-01', NULL)");
    exec("INSERT INTO CLIENTABPREC VALUES ('', '0001', 'VAZ')");
    exec("INSERT INTO LOJATABPREC VALUES ('0001', '', '0001', 'VAZ')");
    price("VAZ", "P1", 99);
    const bool server = GetParam() != db::Backend::Sqlite3;
    EXPECT_EQ(code(ask("", "LJ1", "P2")), "PRECNCAD");  // connected and prepared; P2 has no price
    db::Traffic before = db::traffic();
    ASSERT_EQ(code(ask("", "LJ1", "P1")), "");
    // On a server the product's fiscal codes and tax rates travel with it, read ahead.
    EXPECT_EQ(db::traffic().statements - before.statements, server ? 3u : 1u);
    before = db::traffic();
    ASSERT_EQ(code(ask("", "LJ1", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 11);
    // Asked again with nothing written in between: those read ahead before are
    // still good and not sent again.
    EXPECT_EQ(db::traffic().statements - before.statements, 1u);
    if (server) {
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, 1u);
    }
    ASSERT_EQ(code(ask("", "", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 10);
    ASSERT_EQ(code(ask("CLI1", "", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 12.5);
}

// A price announced with expectPrice is read ahead with its fiscal codes and
// tax rates; asked for later with the same values, it is that answer: on a
// server nothing is sent again, and once an exchange has brought it, asking
// costs none. Announced for other values, the price asked is the right one.
TEST_P(PriceTest, AnExpectedPriceIsTheOneReadAhead) {
    const bool server = GetParam() != db::Backend::Sqlite3;
    auto values = [](const std::string& client, const std::string& product) {
        return VariantArray{Variant("0001"), Variant(client), Variant(product), Variant("LJ1"),
                            Variant("CON1"), Variant("1230"), Variant("")};
    };
    EXPECT_EQ(code(ask("CLI1", "LJ1", "P2")), "PRECNCAD");  // connected and prepared

    pkg_->expectPrice(values("CLI1", "P1"));
    db::Traffic before = db::traffic();
    ASSERT_EQ(code(ask("CLI1", "LJ1", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 12.5);
    if (server) {
        EXPECT_EQ(db::traffic().statements - before.statements, 0u);
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, 1u);  // waited for at the ask
    }

    // Brought by an exchange in between, as the sale's first reads bring it.
    pkg_->expectPrice(values("CLI2", "P1"));
    pkg_->connection().settle();
    before = db::traffic();
    ASSERT_EQ(code(ask("CLI2", "LJ1", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 11);
    if (server) {
        EXPECT_EQ(db::traffic().statements - before.statements, 0u);
        EXPECT_EQ(db::traffic().roundTrips - before.roundTrips, 0u);
    }

    // Announced for one client, asked for another: the other's price.
    pkg_->expectPrice(values("CLI2", "P1"));
    ASSERT_EQ(code(ask("CLI1", "LJ1", "P1")), "");
    EXPECT_DOUBLE_EQ(field("VRPRECO"), 12.5);
    // Values the price would refuse are no hint at all.
    EXPECT_NO_THROW(pkg_->expectPrice({Variant("0001")}));
    EXPECT_NO_THROW(pkg_->expectPrice(values("CLI1", "")));
}

TEST_P(PriceTest, EachFailureCodeHasItsCause) {
    // No price row in the table chosen; the answer leaves no stale price behind.
    ASSERT_EQ(code(ask("", "LJ9", "P1")), "");
    EXPECT_EQ(code(ask("", "LJ9", "P2")), "PRECNCAD");
    EXPECT_EQ(tables_.cdsRetornaPreco.recordCount(), 0);

    price("PAD", "P3", 0);
    EXPECT_EQ(code(ask("", "LJ9", "P3")), "PRECZERO");
    price("PAD", "P4", -1);
    EXPECT_EQ(code(ask("", "LJ9", "P4")), "PRECZERO");
    price("PAD", "P5", 5, ", IDBLOQUEADO", ", 'S'");
    EXPECT_EQ(code(ask("", "LJ9", "P5")), "BLOQUEADO");

    // The client's table out of validity: no falling back to the store's.
    clock_.set(at(2026, 3, 16, 9, 0));
    EXPECT_EQ(code(ask("CLI1", "LJ1", "P1")), "DTCLI");
    EXPECT_EQ(code(ask("CLI2", "LJ1", "P1")), "");
    // The store's table from April on.
    clock_.set(at(2026, 4, 1, 9, 0));
    EXPECT_EQ(code(ask("CLI2", "LJ1", "P1")), "DTLOJ");
    // The standard table not yet valid.
    clock_.set(at(2025, 12, 31, 9, 0));
    EXPECT_EQ(code(ask("", "LJ9", "P1")), "DTPAR");

    // No table configured for the branch, or one that names a missing table.
    clock_.set(at(2026, 3, 15, 12, 30));
    VariantArray other{Variant("0002"), Variant(""),     Variant("P1"), Variant(""),
                       Variant("CON1"), Variant("1230"), Variant("")};
    EXPECT_EQ(code(pkg_->ChamaFuncaoGetRetornaPreco(other, tables_.cdsRetornaPreco)), "TABENCAD");
    exec("INSERT INTO FILIALTABPREC VALUES ('0002', '0002', 'NAO')");
    EXPECT_EQ(code(pkg_->ChamaFuncaoGetRetornaPreco(other, tables_.cdsRetornaPreco)), "TABENCAD");
}

TEST_P(PriceTest, HourWindowUsesTheHourValue) {
    price("PAD", "ALM", 20, ", HRINIVENDA, HRFINVENDA", ", '1100', '1400'");
    price("PAD", "NOI", 20, ", HRINIVENDA, HRFINVENDA", ", '2200', '0600'");
    EXPECT_EQ(code(ask("", "LJ9", "ALM", "1100")), "");
    EXPECT_EQ(code(ask("", "LJ9", "ALM", "1400")), "");
    EXPECT_EQ(code(ask("", "LJ9", "ALM", "1401")), "BLOQUEADO");
    EXPECT_EQ(code(ask("", "LJ9", "NOI", "2330")), "");
    EXPECT_EQ(code(ask("", "LJ9", "NOI", "0600")), "");
    EXPECT_EQ(code(ask("", "LJ9", "NOI", "1200")), "BLOQUEADO");
}

TEST(HourWindow, TextComparisonLikeTheServiceWindows) {
    EXPECT_TRUE(ext::insideHourWindow("2330", "2200", "0600"));
    EXPECT_FALSE(ext::insideHourWindow("0601", "2200", "0600"));
    EXPECT_FALSE(ext::insideHourWindow("1100", "1100", "1100"));  // start equal to end: never
    EXPECT_TRUE(ext::insideHourWindow("0930", "", "1000"));       // no start: until the end
    EXPECT_TRUE(ext::insideHourWindow("1500", "1400", ""));       // no end: from the start
    EXPECT_FALSE(ext::insideHourWindow("1300", "1400", ""));
}

TEST_P(PriceTest, BadPriceListsNameThePosition) {
    auto message = [&](VariantArray v) {
        try {
            pkg_->ChamaFuncaoGetRetornaPreco(v, tables_.cdsRetornaPreco);
        } catch (const ext::ArgumentError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    VariantArray good{Variant("0001"), Variant(""),     Variant("P1"), Variant(""),
                      Variant("CON1"), Variant("1230"), Variant("")};
    VariantArray six(good.begin(), good.end() - 1);
    EXPECT_THAT(message(six),
                ::testing::AllOf(::testing::HasSubstr("ChamaFuncaoGetRetornaPreco"), ::testing::HasSubstr("7 values")));
    VariantArray badHour = good;
    badHour[5] = Variant("12:3");
    EXPECT_THAT(message(badHour), ::testing::HasSubstr("position 5"));
    VariantArray badProduct = good;
    badProduct[2] = Variant(int32_t{7});
    EXPECT_THAT(message(badProduct), ::testing::HasSubstr("position 2"));
}

TEST_P(ServicePackageTest, FiscalCodesOfTheProduct) {
    exec("INSERT INTO PRODFISCAL VALUES ('P1', '21069090', '1702100')");
    exec("INSERT INTO PRODFISCAL VALUES ('P2', '22021000', NULL)");
    Variant ole(VariantArray(2));
    pkg_->getProdCodCestNcm("P1", ole);
    EXPECT_EQ(ole.items()[0].toText(FormatSettings{}), "21069090");
    EXPECT_EQ(ole.items()[1].toText(FormatSettings{}), "1702100");
    ole = Variant(VariantArray(2));
    pkg_->getProdCodCestNcm("P2", ole);
    EXPECT_EQ(ole.items()[0].toText(FormatSettings{}), "22021000");
    EXPECT_TRUE(ole.items()[1].isText());
    EXPECT_EQ(ole.items()[1].text(), "");
    ole = Variant(VariantArray(2));
    pkg_->getProdCodCestNcm("NONE", ole);
    EXPECT_EQ(ole.items()[0].text(), "");
    EXPECT_EQ(ole.items()[1].text(), "");

    Variant shortList(VariantArray(1));
    EXPECT_THROW(pkg_->getProdCodCestNcm("P1", shortList), ext::ArgumentError);
}

TEST_P(ServicePackageTest, ApproximateTaxesOfTheSale) {
    exec("INSERT INTO PRODFISCAL VALUES ('P1', '21069090', NULL)");
    exec("INSERT INTO PRODFISCAL VALUES ('P2', '22021000', NULL)");
    exec("INSERT INTO PRODFISCAL VALUES ('P3', '99999999', NULL)");  // no rates for its NCM
    exec("INSERT INTO ALIQAPROXNCM VALUES ('21069090', 10, 18, 'Tabela A')");
    exec("INSERT INTO ALIQAPROXNCM VALUES ('22021000', 5, 0, 'Tabela B')");
    // P1: 2 × (7.50 + 2.50 client part) − 1 + 0.5 = 19.50; P2: 3.10; P3 adds nothing.
    Variant sale = saleTable(
        tables_, {{"P1", "001", 7.5, 1, 0.5, 2.5, 2}, {"P2", "001", 3.1}, {"P3", "001", 100}, {"", "", 0}}, "000123");
    Variant ole(VariantArray(3));
    double total = pkg_->CalculoIcmsDFederal(sale, ole, 0.0);
    // federal 1.95 + 0.155 = 2.105 → 2,11 ; state 3.51
    EXPECT_EQ(ole.items()[0].toText(FormatSettings{}), "2,11");
    EXPECT_EQ(ole.items()[1].toText(FormatSettings{}), "3,51");
    EXPECT_EQ(ole.items()[2].toText(FormatSettings{}), "Tabela A / Tabela B");
    EXPECT_DOUBLE_EQ(total, 5.62);
    // What the service does with them: numbers in the station's format.
    EXPECT_DOUBLE_EQ(strToFloat(ole.items()[0].text(), FormatSettings{}), 2.11);

    Variant none(VariantArray(3));
    pkg_->CalculoIcmsDFederal(saleTable(tables_, {{"P3", "001", 10}}, "000124"), none, 0.0);
    EXPECT_EQ(none.items()[0].toText(FormatSettings{}), "0,00");
    EXPECT_EQ(none.items()[2].toText(FormatSettings{}), "");

    Variant ole3(VariantArray(3));
    EXPECT_THROW(pkg_->CalculoIcmsDFederal(Variant("not a packet"), ole3, 0.0), ext::ArgumentError);
}

TEST_P(ServicePackageTest, AccessLogKeepsTheMomentAndTheFourteenTexts) {
    std::vector<std::string> texts{"0001",
                                   "001",
                                   "CAN_CUP",
                                   "OP1",
                                   "Operadora Ângela",
                                   "",
                                   "Cancelamento de cupom.",
                                   "Cupom cancelado nº: ",
                                   "",
                                   "",
                                   "",
                                   "",
                                   "",
                                   "fim"};
    clock_.set(at(2026, 3, 15, 18, 5, 9));
    pkg_->LogControleAcess(texts);
    EXPECT_EQ(count("LOGCONTROLEACESSO"), 1);
    EXPECT_EQ(scalar("SELECT DTHRLOGACES FROM LOGCONTROLEACESSO"), "2026-03-15 18:05:09.000");
    EXPECT_EQ(scalar("SELECT CDOPERACAO FROM LOGCONTROLEACESSO"), "CAN_CUP");
    EXPECT_EQ(scalar("SELECT NMOPERADOR FROM LOGCONTROLEACESSO"), "Operadora Ângela");
    EXPECT_EQ(scalar("SELECT DSOBSERVACAO FROM LOGCONTROLEACESSO"), "Cupom cancelado nº: ");
    EXPECT_EQ(scalar("SELECT DSTEXTO14 FROM LOGCONTROLEACESSO"), "fim");
    pkg_->LogControleAcess(texts);
    EXPECT_EQ(count("LOGCONTROLEACESSO"), 2);

    texts.pop_back();
    try {
        pkg_->LogControleAcess(texts);
        FAIL() << "13 texts accepted";
    } catch (const ext::ArgumentError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("LogControleAcess"));
        EXPECT_THAT(e.what(), ::testing::HasSubstr("13"));
    }
    EXPECT_EQ(count("LOGCONTROLEACESSO"), 2);
}

TEST_P(ServicePackageTest, SchemaAppliedAgainChangesNothing) {
    exec("INSERT INTO PRODFISCAL VALUES ('P1', '21069090', NULL)");
    applySchema(*admin_);
    EXPECT_EQ(count("PRODFISCAL"), 1);
    verifySchema(*admin_,
                 {"TABEPRECO", "FILIALTABPREC", "LOJATABPREC", "CLIENTABPREC", "ITEMTABPREC", "PRODFISCAL",
                  "ALIQAPROXNCM", "VENDACUPOM", "ITEMVENDACUPOM", "VENDASALDOFAM", "MOVCAIXA", "LOGCONTROLEACESSO"});
}

TEST_P(ServicePackageTest, ProgressReachesTheHost) {
    std::vector<std::string> seen;
    pkg_->setProgress([&](const std::string& text) { seen.push_back("start " + text); },
                      [&] { seen.push_back("end"); });
    pkg_->AtivaProcesso(0, "Aguarde! Consumidor: 1/2.", 0, 0);
    pkg_->DesativaProcesso();
    EXPECT_EQ(seen, (std::vector<std::string>{"start Aguarde! Consumidor: 1/2.", "end"}));
    DatabaseServicePackage quiet("sqlite3://db=:memory:", FormatSettings{}, clock_);
    quiet.AtivaProcesso(0, "x", 0, 0);  // no display set: nothing happens
    quiet.DesativaProcesso();
}

// The module offers its connection; the package takes it only while it is
// open on the package's own database, so that a sale is never stored through
// a connection to some other database.
TEST_P(ServicePackageTest, RunsOnAnOfferedConnectionOnlyWhileItReachesTheSameDatabase) {
    db::Connection& own = pkg_->connection();
    db::Connection offered(connectionString_);
    offered.setAfterConnect([](db::Connection& c) { util::SetADODBSession(c); });
    pkg_->runOn(&offered);
    EXPECT_EQ(&pkg_->connection(), &own) << "not open yet";
    offered.connect();
    EXPECT_EQ(&pkg_->connection(), &offered);
    pkg_->LogControleAcess(std::vector<std::string>(14, "X"));
    EXPECT_EQ(count("LOGCONTROLEACESSO"), 1);
    EXPECT_FALSE(own.connected()) << "the package's own connection was not needed";

    db::Connection elsewhere("sqlite3://db=:memory:");
    elsewhere.connect();
    pkg_->runOn(&elsewhere);
    EXPECT_EQ(&pkg_->connection(), &own) << "another database";
    pkg_->runOn(&offered);
    offered.disconnect();
    EXPECT_EQ(&pkg_->connection(), &own) << "closed";
    pkg_->runOn(nullptr);
    EXPECT_EQ(&pkg_->connection(), &own);
}

INSTANTIATE_TEST_SUITE_P(Backends, PriceTest, ::testing::Values(db::Backend::Sqlite3, db::Backend::PostgreSql),
                         backendLabel);
INSTANTIATE_TEST_SUITE_P(Backends, ServicePackageTest, ::testing::Values(db::Backend::Sqlite3, db::Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing
