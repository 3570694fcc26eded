// The simulated printer through its slot: answers, counters, state file,
// refusals, bad input and a damaged memory.
#include "external/utility/args.h"
#include "external/utility/param_packet.h"
#include "external/printer/printer_state.h"
#include "printer_fixture.h"

namespace zel::ext::testing {
namespace {

class SimulatedPrinterTest : public PrinterTest {};

TEST_F(SimulatedPrinterTest, OpeningGivesSixDigitNumbersThroughRecebeParamsAndRefusesASecondOpening) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    DevicePackage& d = printer;

    int32_t nrAbertura = 0;
    std::string cpf = "123", name = "Ana", address, cupNr, contCupom;
    Variant packet = d.Params_AbreCupom_Kva00000("ZEL", nrAbertura, cpf, name, address, cupNr, contCupom, "", "", "",
                                                 "", "", "", "", false);
    EXPECT_EQ(address, "Rua das Flores, 100 - São Paulo");  // the builder fills the sale address
    EXPECT_EQ(nrAbertura, 0);                               // and leaves the opening number
    ASSERT_TRUE(d.AbreCupom(packet));
    EXPECT_EQ(RecebeParams(packet, "CUPNR").toText(FormatSettings{}), "000001");
    EXPECT_EQ(RecebeParams(packet, "CONTCUPOM").toText(FormatSettings{}), "000001");

    Variant second;
    EXPECT_FALSE(open(d, second));
    EXPECT_NE(printer.status().lastRefusal.find("still open"), std::string::npos);
    EXPECT_EQ(printer.status().cupNr, "000001");  // a refused opening raises nothing
}

TEST_F(SimulatedPrinterTest, CountersWrapAfterSixDigits) {
    createPrinter();
    PrinterState s = loadPrinterState(files_.state);
    s.cupNr = 999999;
    s.contCupom = 41;
    savePrinterState(files_.state, s);
    SimulatedPrinter printer = openPrinter();
    Variant packet;
    ASSERT_TRUE(open(printer, packet));
    EXPECT_EQ(RecebeParams(packet, "CUPNR").toText(FormatSettings{}), "000001");
    EXPECT_EQ(RecebeParams(packet, "CONTCUPOM").toText(FormatSettings{}), "000042");
}

TEST_F(SimulatedPrinterTest, ItemRefusals) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    EXPECT_FALSE(sell(printer, "A", "no coupon open", 1.0));
    Variant packet;
    ASSERT_TRUE(open(printer, packet));
    EXPECT_FALSE(sell(printer, "A", "unknown code", 1.0, "09", "T"));
    EXPECT_FALSE(sell(printer, "A", "kind of another rate", 1.0, "01", "S"));
    EXPECT_FALSE(sell(printer, "A", "zero price", 0.0));
    EXPECT_FALSE(sell(printer, "A", "negative price", -2.0));
    EXPECT_FALSE(sell(printer, "A", "zero quantity", 1.0, "01", "T", 0, 0, 0.0));
    EXPECT_FALSE(sell(printer, "A", "discount above the value", 1.0, "01", "T", 1.5));
    EXPECT_TRUE(printer.state().open->items.empty());
    EXPECT_TRUE(sell(printer, "A", "kind in lower case", 1.0, "01", "t"));
    ASSERT_EQ(printer.state().open->items.size(), 1u);
    EXPECT_EQ(printer.state().open->items[0].rateKind, "T");
    EXPECT_EQ(printer.state().open->items[0].rateHundredths, 1800);
}

TEST_F(SimulatedPrinterTest, PrinterTypesThatTakeTheProductsRateNeedNoRateCode) {
    for (int32_t type : {16, 21, 26, 30}) {
        std::filesystem::remove(files_.state);
        PrinterSetup setup = standardSetup();
        setup.identity.type = type;
        createPrinter(setup);
        SimulatedPrinter printer = openPrinter();
        Variant packet;
        ASSERT_TRUE(open(printer, packet));
        EXPECT_TRUE(sell(printer, "A", "rate from the product", 2.0, "", "", 0, 0, 1, "7,5")) << type;
        EXPECT_EQ(printer.state().open->items.at(0).rateHundredths, 750);
        EXPECT_FALSE(sell(printer, "A", "product rate not a number", 2.0, "", "", 0, 0, 1, "x")) << type;
    }
    std::filesystem::remove(files_.state);
    createPrinter();  // type 1 needs the code
    SimulatedPrinter printer = openPrinter();
    Variant packet;
    ASSERT_TRUE(open(printer, packet));
    EXPECT_FALSE(sell(printer, "A", "no code", 2.0, "", "", 0, 0, 1, "18"));
}

TEST_F(SimulatedPrinterTest, ClosingAnswersTheCouponIdentityAndRaisesTheGrandTotal) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant answer, packet;
    SaleForClosing sale;
    sale.movement = 17.25;
    EXPECT_FALSE(close(printer, sale, answer));  // nothing open
    ASSERT_TRUE(open(printer, packet));
    EXPECT_FALSE(close(printer, sale, answer));  // no item
    ASSERT_TRUE(sell(printer, "A", "Prato", 12.5));
    ASSERT_TRUE(sell(printer, "B", "Suco", 4.75, "02"));
    ASSERT_TRUE(close(printer, sale, answer));
    EXPECT_EQ(answer.items().at(2).toText(FormatSettings{}), "ZL0123456789-000001-000001");
    EXPECT_EQ(printer.status().grandTotalCents, 1725);
    EXPECT_FALSE(printer.status().couponOpen);
    ASSERT_TRUE(printer.status().lastCoupon);
    EXPECT_EQ(printer.status().lastCoupon->totalCents, 1725);

    ASSERT_TRUE(grandTotal(printer));
    std::string gt = readFile(files_.grandTotal);
    EXPECT_NE(gt.find("grandTotal = 17,25"), std::string::npos) << gt;
    EXPECT_NE(gt.find("serial = ZL0123456789"), std::string::npos);
    EXPECT_FALSE(grandTotal(printer, "OTHER"));  // a grand total is read from the expected printer only
}

TEST_F(SimulatedPrinterTest, OnlyTheLastCouponMayBeCancelledAndOnlyOnce) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant answer, packet;
    EXPECT_FALSE(cancel(printer, answer));  // nothing printed yet
    SaleForClosing sale;
    sale.movement = 3;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        ASSERT_TRUE(close(printer, sale, answer));
    }
    EXPECT_FALSE(cancel(printer, answer, "OTHER-SERIAL"));
    ASSERT_TRUE(cancel(printer, answer));
    EXPECT_EQ(answer.items().at(0).toText(FormatSettings{}), "000002");  // the last one, not the first
    EXPECT_EQ(answer.items().at(2).toText(FormatSettings{}), "ZL0123456789-000002-000002");
    EXPECT_FALSE(cancel(printer, answer));  // already cancelled; the first is no longer the last
    EXPECT_EQ(printer.status().cancelTotalCents, 300);
    EXPECT_EQ(printer.status().grandTotalCents, 600);  // a grand total never goes down

    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
    ASSERT_TRUE(cancel(printer, answer));  // the open coupon
    EXPECT_FALSE(printer.status().couponOpen);
    EXPECT_EQ(printer.status().cancelTotalCents, 600);
    EXPECT_FALSE(cancel(printer, answer));
}

TEST_F(SimulatedPrinterTest, DateSerialAndMovementDate) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant out;
    EXPECT_TRUE(printer.VerificaData("ZEL", out, 0, "", 1));
    EXPECT_EQ(out.toDateTime(FormatSettings{}).dateOnly(), DateTime::fromDate(2026, 12, 8));
    EXPECT_TRUE(printer.VerificaData("ZEL", out, 0, "07/12/2026", 1));
    EXPECT_FALSE(printer.VerificaData("ZEL", out, 0, "09/12/2026", 1));  // the printer would go back in time
    EXPECT_EQ(printer.DataMoviFiscal("ZEL"), DateTime::fromDate(2026, 12, 8));

    Variant serial = printer.Params_VerificaSerialImp_Kva00000(true, "/st/", "ZEL", "ZL0123456789");
    EXPECT_TRUE(printer.VerificaSerialImp(serial));
    serial = printer.Params_VerificaSerialImp_Kva00000(true, "/st/", "ZEL", "ZL9999");
    EXPECT_FALSE(printer.VerificaSerialImp(serial));

    PrinterState s = loadPrinterState(files_.state);
    s.identity.dateOffsetDays = -1;  // the printer's own clock is a day behind
    savePrinterState(files_.state, s);
    SimulatedPrinter late = openPrinter();
    EXPECT_FALSE(late.VerificaData("ZEL", out, 0, "", 1));
    EXPECT_EQ(late.DataMoviFiscal("ZEL"), DateTime::fromDate(2026, 12, 7));
}

TEST_F(SimulatedPrinterTest, StateAfterARunAndAReloadAgreeAndNumberingContinues) {
    createPrinter();
    PrinterState afterRun;
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        SaleForClosing sale;
        sale.movement = 12.5;
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Prato", 12.5));
        ASSERT_TRUE(close(printer, sale, answer));
        clock_.advanceMilliseconds(61001);
        ASSERT_TRUE(open(printer, packet));  // left open, as a crash would leave it
        ASSERT_TRUE(sell(printer, "B", "Suco com ç", 4.75, "02", "T", 0.5, 0.25, 1.5));
        afterRun = printer.state();
    }
    EXPECT_EQ(loadPrinterState(files_.state), afterRun);
    SimulatedPrinter again = openPrinter();
    ASSERT_TRUE(again.usable());
    EXPECT_EQ(again.state(), afterRun);
    EXPECT_TRUE(again.status().couponOpen);
    EXPECT_EQ(again.status().openCupNr, "000002");
    EXPECT_EQ(again.status().openItems, 1u);
    Variant packet;
    EXPECT_FALSE(open(again, packet));  // the open coupon survives the restart
    Variant answer;
    ASSERT_TRUE(cancel(again, answer));
    ASSERT_TRUE(open(again, packet));
    EXPECT_EQ(RecebeParams(packet, "CUPNR").toText(FormatSettings{}), "000003");
}

TEST_F(SimulatedPrinterTest, ANewPrinterIsNeverMadeOverAnExistingOne) {
    createPrinter();
    EXPECT_THROW(createPrinter(), Error);
}

// A damaged memory is refused, stays untouched, and every operation says why.
TEST_F(SimulatedPrinterTest, DamagedOrMissingStateFileMakesThePrinterUnusable) {
    createPrinter();
    {
        SimulatedPrinter p = openPrinter();
        Variant packet;
        ASSERT_TRUE(open(p, packet));
    }
    std::string good = readFile(files_.state);
    std::string digitChanged = good;
    size_t at = digitChanged.find("\"cupNr\": 1");
    ASSERT_NE(at, std::string::npos);
    digitChanged[at + 9] = '0';  // counters back to 0: would reuse coupon numbers
    const std::vector<std::pair<std::string, std::string>> damages = {{"cut short", good.substr(0, good.size() / 2)},
                                                                      {"garbage", "\x01\x02 not a state"},
                                                                      {"a counter changed by hand", digitChanged},
                                                                      {"empty", ""}};
    for (const auto& [what, content] : damages) {
        writeFile(files_.state, content);
        SimulatedPrinter p = openPrinter();
        EXPECT_FALSE(p.usable()) << what;
        EXPECT_NE(p.problem().find(files_.state.string()), std::string::npos) << what << ": " << p.problem();
        EXPECT_FALSE(p.status().usable);
        Variant packet, answer;
        EXPECT_THROW(open(p, packet), PrinterStateError) << what;
        EXPECT_THROW(cancel(p, answer), PrinterStateError) << what;
        EXPECT_THROW(p.DataMoviFiscal("ZEL"), PrinterStateError) << what;
        EXPECT_EQ(readFile(files_.state), content) << what << ": never reset";
    }
    std::filesystem::remove(files_.state);
    SimulatedPrinter missing = openPrinter();
    EXPECT_FALSE(missing.usable());
    EXPECT_FALSE(std::filesystem::exists(files_.state));
}

TEST_F(SimulatedPrinterTest, BadPacketsAndListsNameTheOperationAndThePosition) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;

    Variant notAPacket("text");
    try {
        printer.AbreCupom(notAPacket);
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_NE(std::string(e.what()).find("AbreCupom"), std::string::npos) << e.what();
    }
    Variant itemPacket = printer.Params_VendaItem_Kva00000("ZEL", "", "D", "A", "B", "01", "T", "UN", "", "18", "", 0,
                                                           1, 1, 0, 0, false);
    EXPECT_THROW(printer.AbreCupom(itemPacket), ArgumentError);  // built for another operation

    ASSERT_TRUE(open(printer, packet));
    Variant broken = itemPacket;
    setParam(broken, "PRECOUNIT", Variant("1,00"), "test");
    try {
        printer.VendaItem(broken);
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "VendaItem: parameter packet position 14 (PRECOUNIT): expected a number, found a text");
    }

    ASSERT_TRUE(sell(printer, "A", "Prato", 1.0));
    VariantArray list = closingList({});
    list.pop_back();
    answer = Variant(answerList());
    try {
        printer.FechaCupom(list, Variant(), answer);
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_EQ(std::string(e.what()), "FechaCupom: the closing list must hold 53 values, it holds 52");
    }
    list = closingList({});
    list[13] = Variant("");  // the cash movement missing
    try {
        printer.FechaCupom(list, Variant(), answer);
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "FechaCupom: closing list position 13 (cash movement): expected a data packet, found a text");
    }
    list = closingList({});
    Variant shortAnswer(VariantArray(3));
    EXPECT_THROW(printer.FechaCupom(list, Variant(), shortAnswer), ArgumentError);
    list[13] = Variant::packet(makePacket({ds::FieldDef::string("NMTIPORECE", 40)}, {{std::string("x")}}));
    try {
        printer.FechaCupom(list, Variant(), answer);
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_NE(std::string(e.what()).find("position 13 (cash movement): the packet has no field VRMOVIVEND"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(printer.status().couponOpen);  // bad input changed nothing

    VariantArray cancelList{Variant("ZEL"),  Variant(false), Variant("false"),       Variant(false),
                            Variant("0001"), Variant("001"), Variant("ZL0123456789")};
    answer = Variant(answerList());
    try {
        printer.Cancela_Cupom_Imp(cancelList, answer);
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_EQ(std::string(e.what()), "Cancela_Cupom_Imp: value list position 2: expected a Boolean, found a text");
    }
    EXPECT_TRUE(printer.status().couponOpen);
}

TEST_F(SimulatedPrinterTest, RatesProgrammedFromTheStationsTaxRateTable) {
    using ds::FieldDef;
    ds::Packet table =
        makePacket({FieldDef::string("CDALIQIMPFIS", 10), FieldDef::floatField("VRALIQIMPFIS"),
                    FieldDef::string("IDALIQIMPFIS", 1)},
                   {{std::string("01"), 18.0, std::string("T")}, {std::string("S1"), 5.0, std::string("S")}});
    std::vector<PrinterRate> rates = ratesFromAliqImpFis(table, "AliqImpFis.cds");
    EXPECT_EQ(rates, (std::vector<PrinterRate>{{"01", 1800, "T"}, {"S1", 500, "S"}}));
    PrinterSetup setup = standardSetup();
    setup.rates = rates;
    createPrinter(setup);
    SimulatedPrinter printer = openPrinter();
    Variant packet;
    ASSERT_TRUE(open(printer, packet));
    EXPECT_TRUE(sell(printer, "A", "Serviço", 3.0, "S1", "s"));
    EXPECT_FALSE(sell(printer, "A", "Suco", 3.0, "02", "T"));  // not in the table

    table.fields.pop_back();
    try {
        ratesFromAliqImpFis(table, "AliqImpFis.cds");
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "AliqImpFis.cds: the tax-rate table has no field IDALIQIMPFIS");
    }
}

}  // namespace
}  // namespace zel::ext::testing
