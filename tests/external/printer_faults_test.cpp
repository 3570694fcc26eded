// Faults of the simulated printer: each setting makes its operation fail as
// configured, and nothing else.
#include "external/utility/param_packet.h"
#include "external/printer/printer_faults.h"
#include "printer_fixture.h"
#include "platform/station_config.h"

namespace zel::ext::testing {
namespace {

const std::vector<std::string> kOperations = {"Params_AbreCupom_Kva00000",
                                              "Params_VendaItem_Kva00000",
                                              "Params_Atu_TotGeral_Kva00000",
                                              "Params_VerificaSerialImp_Kva00000",
                                              "AbreCupom",
                                              "VendaItem",
                                              "FechaCupom",
                                              "Atu_TotGeral",
                                              "VerificaData",
                                              "VerificaSerialImp",
                                              "Cancela_Cupom_Imp",
                                              "DataMoviFiscal"};

class FaultTest : public PrinterTest {
  protected:
    // Puts the printer in the state an operation needs: a coupon open with one
    // item, or (for the opening) no coupon open and a closed one behind.
    // The two states are made once through the slots, then copied in place.
    void prepare(bool couponOpen) {
        std::string& saved = couponOpen ? openState_ : idleState_;
        std::filesystem::remove(printerJournalPath(files_.state));
        if (saved.empty()) {
            std::filesystem::remove(files_.state);
            createPrinter();
            {
                SimulatedPrinter p = openPrinter();
                Variant packet, answer;
                ASSERT_TRUE(open(p, packet));
                ASSERT_TRUE(sell(p, "A", "Prato", 10.0));
                if (!couponOpen) {
                    SaleForClosing sale;
                    sale.movement = 10;
                    ASSERT_TRUE(close(p, sale, answer));
                }
            }  // closed: the memory is written whole to the state file
            saved = readFile(files_.state);
        }
        writeFile(files_.state, saved);
    }
    std::string openState_, idleState_;

    // One call of `op` with good arguments on a printer with `faults`:
    // "true", "false", "error" or "value".
    std::string probe(const std::string& op, const PrinterFaults& faults) {
        prepare(op != "AbreCupom" && op != "Params_AbreCupom_Kva00000");
        SimulatedPrinter clean = openPrinter();  // builds the packets
        SimulatedPrinter d = openPrinter(faults);
        PrinterState before = loadPrinterState(files_.state);
        auto answer = [](bool b) { return std::string(b ? "true" : "false"); };
        std::string outcome;
        try {
            int32_t n = 0;
            std::string t1 = "1", t2 = "Ana", t3, t4, t5;
            if (op == "Params_AbreCupom_Kva00000") {
                d.Params_AbreCupom_Kva00000("ZEL", n, t1, t2, t3, t4, t5, "", "", "", "", "", "", "", false);
                outcome = "value";
            } else if (op == "Params_VendaItem_Kva00000") {
                d.Params_VendaItem_Kva00000("ZEL", "", "D", "A", "B", "01", "T", "UN", "", "18", "", 0, 1, 1, 0, 0,
                                            false);
                outcome = "value";
            } else if (op == "Params_Atu_TotGeral_Kva00000") {
                d.Params_Atu_TotGeral_Kva00000("1", "1", "ZL0123456789", "ZEL", "S", false, "", "", "", "", 0, 0);
                outcome = "value";
            } else if (op == "Params_VerificaSerialImp_Kva00000") {
                d.Params_VerificaSerialImp_Kva00000(true, "", "ZEL", "ZL0123456789");
                outcome = "value";
            } else if (op == "AbreCupom") {
                Variant packet =
                    clean.Params_AbreCupom_Kva00000("ZEL", n, t1, t2, t3, t4, t5, "", "", "", "", "", "", "", false);
                outcome = answer(d.AbreCupom(packet));
            } else if (op == "VendaItem") {
                Variant packet = clean.Params_VendaItem_Kva00000("ZEL", "", "D", "B", "Suco", "02", "T", "UN", "", "12",
                                                                 "", 0, 1, 4.5, 0, 0, false);
                outcome = answer(d.VendaItem(packet));
            } else if (op == "FechaCupom") {
                Variant a(answerList());
                SaleForClosing sale;
                sale.movement = 10;
                outcome = answer(d.FechaCupom(closingList(sale), Variant(), a));
            } else if (op == "Atu_TotGeral") {
                Variant packet = clean.Params_Atu_TotGeral_Kva00000("1", "1", "ZL0123456789", "ZEL", "S", false, "", "",
                                                                    "", "", 0, 0);
                outcome = answer(d.Atu_TotGeral(packet));
            } else if (op == "VerificaData") {
                Variant out;
                outcome = answer(d.VerificaData("ZEL", out, 0, "", 1));
            } else if (op == "VerificaSerialImp") {
                outcome = answer(
                    d.VerificaSerialImp(clean.Params_VerificaSerialImp_Kva00000(true, "", "ZEL", "ZL0123456789")));
            } else if (op == "Cancela_Cupom_Imp") {
                Variant a;
                outcome = answer(cancel(d, a));
            } else if (op == "DataMoviFiscal") {
                d.DataMoviFiscal("ZEL");
                outcome = "value";
            }
        } catch (const SimulatedFault&) {
            outcome = "error";
        }
        if (outcome == "false" || outcome == "error") {
            EXPECT_EQ(loadPrinterState(files_.state), before) << op << ": a failed call changes nothing";
        }
        return outcome;
    }
};

TEST_F(FaultTest, EachSettingFailsItsOperationAsConfiguredAndNothingElse) {
    std::map<std::string, std::string> baseline;
    for (const std::string& op : kOperations) baseline[op] = probe(op, {});
    for (const auto& [op, outcome] : baseline) EXPECT_TRUE(outcome == "true" || outcome == "value") << op;

    for (const std::string& faulty : kOperations) {
        for (std::string action : {"false", "error"}) {
            if (action == "false" && !printerOperationAnswers(faulty)) continue;
            PrinterFaults faults;
            faults.set(faulty, action + "@always");
            for (const std::string& op : kOperations) {
                std::string want = op == faulty ? action : baseline[op];
                EXPECT_EQ(probe(op, faults), want) << "fault " << faulty << " = " << action << ", call of " << op;
            }
        }
    }
}

TEST_F(FaultTest, AFaultOnTheNthCallStrikesThatCallOnly) {
    createPrinter();
    PrinterFaults faults;
    faults.set("VendaItem", "false@2");
    faults.set("AbreCupom", "error@3");
    SimulatedPrinter p = openPrinter(faults);
    Variant packet, answer;
    ASSERT_TRUE(open(p, packet));
    EXPECT_TRUE(sell(p, "A", "um", 1.0));
    EXPECT_FALSE(sell(p, "A", "dois", 1.0));
    EXPECT_TRUE(sell(p, "A", "três", 1.0));
    EXPECT_EQ(p.state().open->items.size(), 2u);
    EXPECT_NE(p.status().lastRefusal.find("call 2"), std::string::npos);
    ASSERT_TRUE(cancel(p, answer));
    EXPECT_TRUE(open(p, packet));  // call 2
    ASSERT_TRUE(cancel(p, answer));
    EXPECT_THROW(open(p, packet), SimulatedFault);  // call 3
    EXPECT_TRUE(open(p, packet));                   // call 4
}

TEST(PrinterFaultSettings, ReadFromTheStationConfiguration) {
    PrinterFaults f = PrinterFaults::fromConfigText(
        "# rehearsal\n"
        "database = sqlite:station.db\n"
        "printer.fault.VendaItem = false@3\n"
        "Printer.Fault.AbreCupom = error@always\n"
        "printer.fault.FechaCupom = error\n"
        "printer.fault.DataMoviFiscal = off\n",
        "geracupom.conf");
    ASSERT_EQ(f.rules().size(), 3u);
    EXPECT_EQ(f.rules().at("VendaItem"), (FaultRule{FaultAction::AnswerFalse, 3}));
    EXPECT_EQ(f.rules().at("AbreCupom"), (FaultRule{FaultAction::RaiseError, 0}));
    EXPECT_EQ(f.rules().at("FechaCupom"), (FaultRule{FaultAction::RaiseError, 0}));

    StationConfig config = StationConfig::parse("printer.fault.Atu_TotGeral = false@1\nother = 1\n", "st.conf");
    PrinterFaults g = PrinterFaults::fromStationConfig(config);
    ASSERT_EQ(g.rules().size(), 1u);
    EXPECT_EQ(g.rules().at("Atu_TotGeral"), (FaultRule{FaultAction::AnswerFalse, 1}));
}

TEST(PrinterFaultSettings, BadSettingsNameTheFileLineAndKey) {
    auto message = [](std::string_view text) {
        try {
            PrinterFaults::fromConfigText(text, "geracupom.conf");
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("\nprinter.fault.VendeItem = false\n"),
              "geracupom.conf:2: 'VendeItem' is not an operation of the printer");
    EXPECT_NE(message("printer.fault.VendaItem = maybe").find("geracupom.conf:1: fault 'maybe'"), std::string::npos);
    EXPECT_NE(message("printer.fault.VendaItem = false@0").find("geracupom.conf:1"), std::string::npos);
    EXPECT_NE(message("printer.fault.VendaItem = false@x").find("geracupom.conf:1"), std::string::npos);
    EXPECT_NE(message("printer.fault.DataMoviFiscal = false").find("can only be error"), std::string::npos);
    EXPECT_NE(message("printer.fault.Params_VendaItem_Kva00000 = false@1").find("can only be error"),
              std::string::npos);
}

}  // namespace
}  // namespace zel::ext::testing
