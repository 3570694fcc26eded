// A station directory with a new simulated printer, and the calls of the
// service through the device slots (builders, value lists, packets).
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "external/device.h"
#include "external/printer/fiscal_printer_sim.h"
#include "external/utility/utility.h"
#include "platform/dataset/packet.h"
#include "platform/datetime.h"

namespace zel::ext::testing {

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

inline ds::Packet makePacket(std::vector<ds::FieldDef> fields, std::vector<std::vector<ds::Cell>> rows) {
    ds::Packet p;
    p.fields = std::move(fields);
    for (auto& r : rows) p.records.push_back(ds::Record{0, std::move(r)});
    return p;
}

// The values of one sale as the service hands them to the closing.
struct SaleForClosing {
    double movement = 0;  // VRMOVIVEND
    std::string paymentName = "Débito consumidor";
    std::string consumerName = "José da Conceição";
    std::string consumerCpf = "12345678909";
    std::vector<std::tuple<std::string, double, std::string>> balances = {{"001", 50.0, "ALMOÇO"},
                                                                          {"002", 20.0, "LANCHE"}};
    std::vector<std::pair<std::string, double>> spent = {{"001", 12.5}};
    std::string idParImprLimVdc = "S";
    std::string maxDebit = "500";
    std::string debitLimit = "300";
    bool consumptionRow = true;
    double stateTax = 1.23, federalTax = 2.34;
};

// The closing list of 53 values, positions and types as the service gives them.
inline VariantArray closingList(const SaleForClosing& s) {
    using ds::FieldDef;
    VariantArray v = valueList(53);
    v[0] = Variant("N");
    v[1] = Variant("MD-5:0cc175b9c0f1b6a831c399e269772661");
    v[2] = Variant("ZEL");
    v[3] = Variant(int32_t(1));
    v[4] = Variant(false);
    v[5] = Variant(false);
    v[6] = v[7] = v[8] = Variant(int32_t(0));
    v[9] = Variant("N");
    v[10] = Variant("");
    v[11] = Variant(false);
    v[13] = Variant::packet(makePacket({FieldDef::string("CDFILIAL", 4), FieldDef::string("CDTIPORECE", 3),
                                        FieldDef::string("NMTIPORECE", 40), FieldDef::floatField("VRMOVIVEND")},
                                       {{std::string("0001"), std::string("009"), s.paymentName, s.movement}}));
    v[14] = Variant::packet(makePacket({FieldDef::string("CDTIPORECE", 3), FieldDef::string("CDFPIMPFIS", 10)},
                                       {{std::string("009"), std::string("01")}}));
    v[15] = Variant("000123");
    v[16] = Variant("Metalúrgica Boa Vista");
    v[17] = Variant("4711");
    v[18] = Variant(s.consumerName);
    v[19] = Variant(s.consumerCpf);
    v[20] = Variant(s.consumerName);
    v[22] = Variant("001");
    v[23] = Variant("Operador Automático");
    v[24] = Variant("002");
    v[25] = Variant("N");
    v[27] = Variant("S");
    std::vector<std::vector<ds::Cell>> bal, sp;
    for (auto& [code, value, name] : s.balances) bal.push_back({code, value, name});
    for (auto& [code, value] : s.spent) sp.push_back({code, value});
    v[32] = Variant::packet(makePacket({FieldDef::string("CDFAMILISALD", 3), FieldDef::floatField("VRSALDCONFAM"),
                                        FieldDef::string("NMFAMILISALD", 30)},
                                       bal));
    v[33] =
        Variant::packet(makePacket({FieldDef::string("CDFAMILISALD", 3), FieldDef::floatField("VRSALDCONFAM")}, sp));
    v[34] = Variant::null();
    v[35] = Variant("1");
    v[36] = Variant("1");
    v[37] = v[38] = Variant(int32_t(0));
    v[41] = Variant("ECF1");
    v[42] = Variant("000001");
    v[43] = Variant("SP");
    v[44] = Variant("12.345.678/0001-95");
    v[45] = Variant("110.042.490.114");
    v[46] = Variant(s.idParImprLimVdc);
    v[47] = Variant(s.maxDebit);
    v[48] = Variant(s.debitLimit);
    std::vector<std::vector<ds::Cell>> cons;
    if (s.consumptionRow) cons.push_back({300.0, 500.0, 12.5, 137.75});
    v[49] = Variant::packet(makePacket({FieldDef::floatField("VRLIMDEBCONS"), FieldDef::floatField("VRMAXDEBCONS"),
                                        FieldDef::floatField("VALCONSUMDIA"), FieldDef::floatField("VALCONSUMMES")},
                                       cons));
    v[50] = Variant(s.stateTax);
    v[51] = Variant(s.federalTax);
    v[52] = Variant(int32_t(0));
    return v;
}

inline PrinterSetup standardSetup() {
    PrinterSetup setup;
    setup.identity.serial = "ZL0123456789";
    setup.identity.model = "MP-4200 SIM";
    setup.identity.make = "ZEL";
    setup.identity.type = 1;
    setup.identity.saleAddress = "Rua das Flores, 100 - São Paulo";
    setup.rates = {{"01", 1800, "T"}, {"02", 1200, "T"}, {"03", 500, "S"}};
    setup.companyCnpj = "12.345.678/0001-95";
    setup.companyIe = "110.042.490.114";
    return setup;
}

// A station directory of its own for each test, removed afterwards.
class PrinterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() / (std::string("zel-printer-") + info->test_suite_name() + "-" +
                                                         info->name() + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        files_ = SimulatedPrinterFiles::inStation(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void createPrinter(PrinterSetup setup = standardSetup()) { SimulatedPrinter::create(files_, setup); }
    SimulatedPrinter openPrinter(PrinterFaults faults = {}) {
        return SimulatedPrinter(files_, clock_, FormatSettings::brazil(), std::move(faults));
    }

    // The service's calls, in its argument orders.
    static bool open(DevicePackage& d, Variant& packet, std::string cpf = "12345678909",
                     std::string name = "José da Conceição") {
        int32_t nrAbertura = 0;
        std::string dsEndeVenda, cupNr, contCupom;
        packet = d.Params_AbreCupom_Kva00000("ZEL", nrAbertura, cpf, name, dsEndeVenda, cupNr, contCupom, "", "", "",
                                             "", "", "", "", false);
        return d.AbreCupom(packet);
    }
    static bool sell(DevicePackage& d, const std::string& code, const std::string& description, double price,
                     std::string rateCode = "01", std::string rateKind = "T", double discount = 0, double surcharge = 0,
                     double quantity = 1, std::string productRate = "18") {
        Variant packet = d.Params_VendaItem_Kva00000("ZEL", "", "D", code, description, rateCode, rateKind, "UN", "",
                                                     productRate, "", 0, quantity, price, discount, surcharge, false);
        return d.VendaItem(packet);
    }
    static bool close(DevicePackage& d, const SaleForClosing& sale, Variant& answer) {
        answer = Variant(answerList());
        return d.FechaCupom(closingList(sale), Variant(), answer);
    }
    static bool grandTotal(DevicePackage& d, const std::string& serial = "ZL0123456789",
                           const std::string& mode = "N") {
        Variant packet =
            d.Params_Atu_TotGeral_Kva00000("0001", "001", serial, "ZEL", mode, false, "", "", "", "", 0.0, 0.0);
        return d.Atu_TotGeral(packet);
    }
    static bool cancel(DevicePackage& d, Variant& answer, const std::string& serial = "ZL0123456789") {
        answer = Variant(answerList());
        VariantArray values{Variant("ZEL"),  Variant(false), Variant(false), Variant(false),
                            Variant("0001"), Variant("001"), Variant(serial)};
        return d.Cancela_Cupom_Imp(values, answer);
    }

    std::filesystem::path dir_;
    SimulatedPrinterFiles files_;
    FixedClock clock_{DateTime::fromFields({2026, 12, 8, 12, 30, 5, 0})};
};

}  // namespace zel::ext::testing
