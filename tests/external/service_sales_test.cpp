// Concluded and cancelled sales stored by the service package's stand-in, read
// back through the module's consumption and balance statements.
#include "external/utility/args.h"
#include "service_package_fixture.h"

namespace zel::testing {
namespace {

class SaleTest : public ServicePackageTest {
  protected:
    void SetUp() override {
        ServicePackageTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        exec("INSERT INTO CLIENTE (CDCLIENTE, NMFANTCLIE) VALUES ('CLI1', 'Cliente Um')");
        exec("INSERT INTO CLIENFILIAL VALUES ('CLI1', '0001')");
        exec(
            "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, VRLIMDEBCONS, VRMAXDEBCONS) "
            "VALUES ('CLI1', 'CON1', 'B1', 'Ana', 100, 200)");
        exec("INSERT INTO FAMILIASALDO VALUES ('001', 'Refeicao')");
        exec("INSERT INTO FAMILIASALDO VALUES ('002', 'Lanche')");
        exec("INSERT INTO FAMSALDOFILI VALUES ('0001', '001')");
        exec("INSERT INTO FAMSALDOFILI VALUES ('0001', '002')");
        exec("INSERT INTO SALDOCONS VALUES ('CLI1', 'CON1', '001', 50)");
    }

    // The consumption of the day and of the month through the module's statement
    // (null reads as -1).
    std::pair<double, double> consumption(DateTime day) {
        Variant p = module_->getVrSaldConsumi("0001", "CLI1", "B1", ModuleDatabase::PrimeiroDiaMes(day), day);
        auto value = [&](const char* f) {
            ds::Cell c = packetCell(p, f);
            return ds::isNull(c) ? -1.0 : ext::svc::cellNumber(c);
        };
        return {value("VALCONSUMDIA"), value("VALCONSUMMES")};
    }

    // The balance per family through the module's statement.
    std::map<std::string, double> balances() {
        Variant p = module_->getConsSaldFam("0001", "CLI1", "CON1");
        std::map<std::string, double> out;
        for (size_t i = 0; i < p.asPacket().liveRecords().size(); ++i)
            out[ext::svc::cellText(packetCell(p, "CDFAMILISALD", i))] =
                ext::svc::cellNumber(packetCell(p, "VRSALDCONFAM", i));
        return out;
    }

    Variant conclude(const std::string& coupon, DateTime passage, const std::vector<SaleLine>& lines,
                     const std::vector<std::pair<std::string, double>>& families, Variant* holder = nullptr) {
        Variant local(answerList());
        Variant& answer = holder ? *holder : local;
        double amount = 0;
        for (const SaleLine& l : lines) amount += l.quantity * l.price - l.discount + l.surcharge;
        return pkg_->SetConcluiFechamento(
            conclusionTables(saleTable(tables_, lines, coupon), cashTable(tables_, amount, clock_.now()),
                             familyTable(tables_, families)),
            conclusionValues(coupon, passage), answer);
    }

    // Two lines: 7.50 of family 001, and 4.00 less 0.50 plus 0.25 of family 002.
    const std::vector<SaleLine> lines_{{"P1", "001", 7.5}, {"P2", "002", 4, 0.5, 0.25, 1.5}};
    const std::vector<std::pair<std::string, double>> families_{{"001", 7.5}, {"002", 4}};
    const DateTime passage_ = at(2026, 3, 14, 23, 50, 12);
};

TEST_P(SaleTest, ConcludedSaleRaisesConsumptionAndLowersBalances) {
    EXPECT_EQ(consumption(passage_.dateOnly()), std::make_pair(-1.0, -1.0));
    Variant holder(answerList());
    Variant answer = conclude("000123", passage_, lines_, families_, &holder);
    EXPECT_FALSE(ext::serviceAnswerFailed(answer));
    EXPECT_EQ(holder.items()[2].toText(FormatSettings{}), "GRAVADA");

    // Counted on the day of the passage (the clock is already on the next day).
    auto [day, month] = consumption(passage_.dateOnly());
    EXPECT_DOUBLE_EQ(day, 11.25);
    EXPECT_DOUBLE_EQ(month, 11.25);
    EXPECT_DOUBLE_EQ(consumption(at(2026, 3, 15)).first, -1.0);
    EXPECT_DOUBLE_EQ(consumption(at(2026, 3, 31)).second, 11.25);

    // 001 had 50; 002 had no row and is created with the debit.
    auto b = balances();
    EXPECT_DOUBLE_EQ(b["001"], 42.5);
    EXPECT_DOUBLE_EQ(b["002"], -4);

    // The coupon, the movement and the sale's own data.
    EXPECT_EQ(scalar("SELECT IDSITUVENDA FROM VENDA"), "O");
    EXPECT_EQ(scalar("SELECT NRCUPOMFIS FROM VENDA"), "000123");
    EXPECT_EQ(scalar("SELECT NRSEQVENDA FROM VENDA"), holder.items()[1].toText(FormatSettings{}));
    EXPECT_EQ(scalar("SELECT NRSERIEIMP FROM VENDACUPOM"), "SN-0001");
    EXPECT_EQ(scalar("SELECT NRCONTCUPOM FROM VENDACUPOM"), "000100");
    EXPECT_EQ(scalar("SELECT DTHRPASSAGEM FROM VENDACUPOM"), "2026-03-14 23:50:12");
    EXPECT_DOUBLE_EQ(number("SELECT VRTOTCLIENTE FROM VENDACUPOM"), 1.5);
    EXPECT_EQ(count("ITEMVENDA"), 2);
    EXPECT_EQ(count("MOVCAIXA"), 1);
    EXPECT_DOUBLE_EQ(number("SELECT VRMOVIVEND FROM MOVCAIXA"), 11.25);
    EXPECT_EQ(scalar("SELECT CDTIPORECE FROM MOVCAIXA"), "009");

    // A second sale the same month adds up.
    conclude("000124", at(2026, 3, 2, 12, 0), {{"P1", "001", 7.5}}, {{"001", 7.5}});
    EXPECT_DOUBLE_EQ(consumption(passage_.dateOnly()).second, 18.75);
    EXPECT_DOUBLE_EQ(balances()["001"], 35);
    EXPECT_NE(scalar("SELECT MIN(NRSEQVENDA) FROM VENDA"), scalar("SELECT MAX(NRSEQVENDA) FROM VENDA"));
}

TEST_P(SaleTest, RetriedConclusionStoresNothingAndAnswersSuccess) {
    conclude("000123", passage_, lines_, families_);
    Variant holder(answerList());
    Variant again = conclude("000123", passage_, lines_, families_, &holder);
    EXPECT_FALSE(ext::serviceAnswerFailed(again));
    EXPECT_EQ(holder.items()[2].toText(FormatSettings{}), "JA_GRAVADA");
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_EQ(count("ITEMVENDA"), 2);
    EXPECT_EQ(count("MOVCAIXA"), 1);
    EXPECT_DOUBLE_EQ(consumption(passage_.dateOnly()).first, 11.25);
    EXPECT_DOUBLE_EQ(balances()["001"], 42.5);
    // The passage is charged: another coupon for it, even of another printer,
    // is refused and stores nothing.
    auto tables = [&] {
        return conclusionTables(saleTable(tables_, lines_, "000123"), cashTable(tables_, 1, clock_.now()),
                                familyTable(tables_, families_));
    };
    EXPECT_THROW(pkg_->SetConcluiFechamento(tables(), conclusionValues("000124", passage_, "SN-0001"), holder), Error);
    EXPECT_THROW(pkg_->SetConcluiFechamento(tables(), conclusionValues("000123", passage_, "SN-0002"), holder), Error);
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_EQ(count("VENDAPASSAGEM"), 1);
    // The same coupon number of another printer, for another passage, is another coupon.
    DateTime later(passage_.value() + 1.0 / 1440);
    pkg_->SetConcluiFechamento(tables(), conclusionValues("000123", later, "SN-0002"), holder);
    EXPECT_EQ(count("VENDA"), 2);
    EXPECT_EQ(count("VENDAPASSAGEM"), 2);
    // A coupon number of this printer already stored for another passage: the
    // printer's memory is behind, nothing is stored.
    DateTime evenLater(passage_.value() + 2.0 / 1440);
    EXPECT_THROW(pkg_->SetConcluiFechamento(tables(), conclusionValues("000123", evenLater, "SN-0001"), holder), Error);
    EXPECT_EQ(count("VENDA"), 2);
}

TEST_P(SaleTest, TheLedgerNamesTheTurnstileRowThePassageCameIn) {
    // The passage of 23:50:12 came in a row of six digits; the one of 23:51
    // in two rows of four (the first by number is named); the one of 23:53 in
    // none. A row of another consumer or register at the same moment is no match.
    exec("INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NRSEQARQIMP, DATAREAL, "
         "HORAREAL) VALUES ('0001', '0000000007', '001', 'CON1', 'CLI1', '', '2026-03-14', '235012')");
    exec("INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NRSEQARQIMP, DATAREAL, "
         "HORAREAL) VALUES ('0001', '0000000009', '001', 'CON1', 'CLI1', 'A9', '2026-03-14', '2351')");
    exec("INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NRSEQARQIMP, DATAREAL, "
         "HORAREAL) VALUES ('0001', '0000000008', '001', 'CON1', 'CLI1', 'A8', '2026-03-14', '2351')");
    exec("INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NRSEQARQIMP, DATAREAL, "
         "HORAREAL) VALUES ('0001', '0000000001', '002', 'CON1', 'CLI1', 'B1', '2026-03-14', '2353')");
    exec("INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NRSEQARQIMP, DATAREAL, "
         "HORAREAL) VALUES ('0001', '0000000002', '001', 'CON2', 'CLI1', 'B2', '2026-03-14', '2353')");
    conclude("000123", passage_, lines_, families_);
    conclude("000124", at(2026, 3, 14, 23, 51, 0), lines_, families_);
    conclude("000125", at(2026, 3, 14, 23, 53, 0), lines_, families_);
    auto link = [&](const std::string& coupon) {
        return scalar("SELECT COALESCE(NRSEQLOGCAT, 'none') || '/' || COALESCE(NRSEQARQIMP, 'none') FROM "
                      "VENDAPASSAGEM WHERE NRCUPOMFIS = '" +
                      coupon + "'");
    };
    EXPECT_EQ(link("000123"), "0000000007/none");
    EXPECT_EQ(link("000124"), "0000000008/A8");
    EXPECT_EQ(link("000125"), "none/none");
}

// Once a process has stored a sale of the register, a server takes the next
// conclusion in one exchange, the number after the last one taken for
// granted; the database still decides. A counter moved behind the process's
// back, a number another writer took, a passage already charged: each makes
// the database refuse that exchange, and the conclusion comes out as the
// checks decide, with nothing of the refused attempt left.
TEST_P(SaleTest, ASaleAfterTheFirstTakesTheNextNumberAtOnceAndTheDatabaseStillDecides) {
    bool server = GetParam() == db::Backend::PostgreSql;
    Variant holder(answerList());
    auto numberOf = [&] { return holder.items()[1].toText(FormatSettings{}); };
    auto minute = [&](int m) { return DateTime(passage_.value() + m / 1440.0); };
    const std::vector<SaleLine> one{{"P1", "001", 7.5}};
    conclude("000001", minute(0), one, {{"001", 7.5}}, &holder);
    EXPECT_EQ(numberOf(), "0000000001");

    db::Traffic before = db::traffic();
    conclude("000002", minute(1), one, {{"001", 7.5}}, &holder);
    db::Traffic after = db::traffic();
    EXPECT_EQ(numberOf(), "0000000002");
    EXPECT_EQ(holder.items()[2].toText(FormatSettings{}), "GRAVADA");
    if (server) {
        EXPECT_EQ(after.roundTrips - before.roundTrips, 1u);
    }

    // The counter moved on behind this process: it decides the number.
    exec("UPDATE NOVOCODIGO SET NRSEQUENCIAL = '0000000007'");
    conclude("000003", minute(2), one, {{"001", 7.5}}, &holder);
    EXPECT_EQ(numberOf(), "0000000008");
    EXPECT_EQ(scalar("SELECT NRSEQUENCIAL FROM NOVOCODIGO"), "0000000008");

    // The next number was taken by another writer: it is skipped.
    exec("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, IDSITUVENDA) VALUES ('0001', '001', '0000000009', 'C')");
    conclude("000004", minute(3), one, {{"001", 7.5}}, &holder);
    EXPECT_EQ(numberOf(), "0000000010");

    // The same passage again, with its own coupon: stored once, answered as
    // stored; with another coupon: refused.
    conclude("000004", minute(3), one, {{"001", 7.5}}, &holder);
    EXPECT_EQ(holder.items()[2].toText(FormatSettings{}), "JA_GRAVADA");
    EXPECT_EQ(numberOf(), "0000000010");
    EXPECT_THROW(conclude("000005", minute(3), one, {{"001", 7.5}}, &holder), Error);

    EXPECT_EQ(count("VENDA"), 5);  // four sales and the other writer's
    EXPECT_EQ(count("VENDAPASSAGEM"), 4);
    EXPECT_EQ(count("ITEMVENDA"), 4);
    EXPECT_EQ(count("MOVCAIXA"), 4);
    EXPECT_EQ(scalar("SELECT NRSEQUENCIAL FROM NOVOCODIGO"), "0000000010");
    EXPECT_DOUBLE_EQ(balances()["001"], 50 - 4 * 7.5);
}

TEST_P(SaleTest, FailingConclusionStoresNothing) {
    // A family unknown to the database: the debit breaks the sale's transaction.
    EXPECT_THROW(conclude("000123", passage_, lines_, {{"001", 7.5}, {"ZZZ", 4}}), Error);
    EXPECT_EQ(count("VENDA"), 0);
    EXPECT_EQ(count("ITEMVENDA"), 0);
    EXPECT_EQ(count("VENDACUPOM"), 0);
    EXPECT_EQ(count("MOVCAIXA"), 0);
    EXPECT_EQ(count("VENDASALDOFAM"), 0);
    EXPECT_EQ(count("NOVOCODIGO"), 0);
    EXPECT_DOUBLE_EQ(balances()["001"], 50);
    // The retry with good data is stored as a first sale.
    Variant holder(answerList());
    conclude("000123", passage_, lines_, families_, &holder);
    EXPECT_EQ(holder.items()[1].toText(FormatSettings{}), "0000000001");
    EXPECT_DOUBLE_EQ(balances()["001"], 42.5);
}

TEST_P(SaleTest, CancelledSaleIsKeptButNeverCounted) {
    Variant answer(answerList());
    std::string text = pkg_->IncluiVendaCan(cancellationValues(saleTable(tables_, lines_, "000200")), answer);
    EXPECT_EQ(text, "OK");
    EXPECT_FALSE(ext::serviceAnswerFailed(Variant(text)));
    EXPECT_EQ(scalar("SELECT IDSITUVENDA FROM VENDA"), "C");
    EXPECT_EQ(count("ITEMVENDA"), 2);
    EXPECT_EQ(scalar("SELECT DTHRCANCEL FROM VENDACUPOM"), "2026-03-15 12:30:00");
    EXPECT_EQ(consumption(at(2026, 3, 15)), std::make_pair(-1.0, -1.0));
    EXPECT_DOUBLE_EQ(balances()["001"], 50);
    // Recorded once.
    EXPECT_EQ(pkg_->IncluiVendaCan(cancellationValues(saleTable(tables_, lines_, "000200")), answer), "OK");
    EXPECT_EQ(count("VENDA"), 1);
    // A coupon cancelled before any item: nothing to keep.
    EXPECT_EQ(pkg_->IncluiVendaCan(cancellationValues(saleTable(tables_, {}, "")), answer), "OK");
    EXPECT_EQ(count("VENDA"), 1);
}

TEST_P(SaleTest, CancellingAStoredCouponGivesTheDebitsBack) {
    // The conclusion stored the sale, then its answer check failed and the
    // printer cancelled the coupon: the sale must stop counting.
    conclude("000123", passage_, lines_, families_);
    Variant answer(answerList());
    EXPECT_EQ(pkg_->IncluiVendaCan(cancellationValues(saleTable(tables_, lines_, "000123")), answer), "OK");
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_EQ(scalar("SELECT IDSITUVENDA FROM VENDA"), "C");
    EXPECT_EQ(scalar("SELECT IDSITUMOVI FROM MOVCAIXA"), "C");
    EXPECT_EQ(consumption(passage_.dateOnly()), std::make_pair(-1.0, -1.0));
    auto b = balances();
    EXPECT_DOUBLE_EQ(b["001"], 50);
    EXPECT_DOUBLE_EQ(b["002"], 0);
    // Neither a second cancellation nor a late retry of the conclusion (refused) changes it.
    EXPECT_EQ(pkg_->IncluiVendaCan(cancellationValues(saleTable(tables_, lines_, "000123")), answer), "OK");
    EXPECT_THROW(conclude("000123", passage_, lines_, families_), Error);
    EXPECT_EQ(count("VENDAPASSAGEM"), 0);
    EXPECT_DOUBLE_EQ(balances()["001"], 50);
    EXPECT_EQ(consumption(passage_.dateOnly()).first, -1.0);
}

TEST_P(SaleTest, BadListsAreErrorsNamingOperationAndPosition) {
    auto message = [&](auto&& call) {
        try {
            call();
        } catch (const ext::ArgumentError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    Variant answer(answerList());
    auto tables = conclusionTables(saleTable(tables_, lines_, "000123"), cashTable(tables_, 11.25, clock_.now()),
                                   familyTable(tables_, families_));
    VariantArray values = conclusionValues("000123", passage_);

    VariantArray shortList(values.begin(), values.end() - 1);
    EXPECT_THAT(message([&] { pkg_->SetConcluiFechamento(tables, shortList, answer); }),
                ::testing::AllOf(::testing::HasSubstr("SetConcluiFechamento"), ::testing::HasSubstr("33")));
    VariantArray textDate = values;
    textDate[29] = Variant("14/03/2026");
    EXPECT_THAT(message([&] { pkg_->SetConcluiFechamento(tables, textDate, answer); }),
                ::testing::HasSubstr("position 29"));
    VariantArray noCoupon = values;
    noCoupon[3] = Variant("");
    EXPECT_THAT(message([&] { pkg_->SetConcluiFechamento(tables, noCoupon, answer); }),
                ::testing::HasSubstr("position 3"));
    VariantArray intType = values;
    intType[16] = Variant("1");
    EXPECT_THAT(message([&] { pkg_->SetConcluiFechamento(tables, intType, answer); }),
                ::testing::HasSubstr("position 16"));
    auto noPacket = tables;
    noPacket[3] = Variant("");
    EXPECT_THAT(message([&] { pkg_->SetConcluiFechamento(noPacket, values, answer); }),
                ::testing::HasSubstr("position 3"));
    auto noLines = tables;
    noLines[0] = saleTable(tables_, {}, "000123");
    EXPECT_THAT(message([&] { pkg_->SetConcluiFechamento(noLines, values, answer); }),
                ::testing::HasSubstr("position 0"));

    VariantArray can = cancellationValues(Variant("not a packet"));
    EXPECT_THAT(message([&] { pkg_->IncluiVendaCan(can, answer); }),
                ::testing::AllOf(::testing::HasSubstr("IncluiVendaCan"), ::testing::HasSubstr("position 0")));
    can = cancellationValues(saleTable(tables_, lines_, "000123"));
    can.pop_back();
    EXPECT_THAT(message([&] { pkg_->IncluiVendaCan(can, answer); }), ::testing::HasSubstr("15"));
    EXPECT_EQ(count("VENDA"), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, SaleTest, ::testing::Values(db::Backend::Sqlite3, db::Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing
