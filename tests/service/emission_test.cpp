// Coupons broken off and cancelled, conclusions that fail, the printer check,
// and the exact values the service hands the outside packages.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dataset/table.h"
#include "support/station_fixture.h"

using namespace zel;
using namespace zel::testing;

namespace {

class Emission : public StationTest {
  protected:
    // Ana's lunch sells two products: the meal and a coffee.
    void twoProductsAtLunch() { data_.byType.push_back({"ALM", "1100", "1430", "01", "0003"}); }

    void expectCancelled(const Variant& result) {
        EXPECT_TRUE(said("Ocorreu um erro na impressão do cupom fiscal. Este cupom será cancelado. - Ana Souza"));
        ASSERT_EQ(device_->cancels.size(), 1u);
        EXPECT_EQ(device_->cancels[0], (VariantArray{"ZEL", false, false, false, "0001", "001", "SIM0000000001"}));
        ASSERT_EQ(recorder_->cancelled.size(), 1u);
        ASSERT_EQ(recorder_->accessLog.size(), 1u);
        EXPECT_EQ(recorder_->accessLog[0],
                  (std::vector<std::string>{"0001", "001", "CAN_CUP", "AUTO", "Caixa automático", "",
                                            "Cancelamento de cupom.", "Cupom cancelado nº: ", "", "", "", "", "", ""}));
        ASSERT_TRUE(result.isArray());
        EXPECT_EQ(result.items().size(), 10u);
        EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQLOGCAT = '31'"), 1);
        EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"), 0);
        EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'C'"), 1);
        EXPECT_FALSE(std::filesystem::exists(layout_.itemFile()));
        EXPECT_FALSE(printer_->status().couponOpen);
    }
};

TEST_F(Emission, AnItemRefusedByThePrinterCancelsTheCoupon) {
    twoProductsAtLunch();
    faults_.set("VendaItem", "false@2");
    build();
    Variant result = run({passage("31", 0, "1201")}, Variant("as the host passed it"));
    expectCancelled(result);
    // The coupon stays open for the entry to deal with, and so it reports it.
    EXPECT_TRUE(module_->cupomAberto);
    // The cancelled sale holds the item the printer accepted.
    const ds::Packet& venda = recorder_->cancelled[0][0].asPacket();
    EXPECT_EQ(venda.records.size(), 1u);
    EXPECT_TRUE(recorder_->cancelled[0][1].isNull());
}

TEST_F(Emission, ALaterProductRefusedCancelsTheCoupon) {
    twoProductsAtLunch();
    data_.priceTables[0].itens.pop_back();  // the coffee has no price
    build();
    Variant result = run({passage("31", 0, "1201")});
    EXPECT_EQ(messages().front(), "Preço do produto deve ser cadastrado.");
    expectCancelled(result);
}

TEST_F(Emission, AFailingConsumptionQueryCancelsTheCoupon) {
    build();
    // The consumption query reads ITEMVENDA: it is away while the coupon is printed.
    recorder_->beforeItemCodes = [this] {
        db::Connection c(connection_);
        c.executeDirect("ALTER TABLE ITEMVENDA RENAME TO ITEMVENDA_AWAY");
    };
    recorder_->beforeCancelled = [this] {
        db::Connection c(connection_);
        c.executeDirect("ALTER TABLE ITEMVENDA_AWAY RENAME TO ITEMVENDA");
    };
    Variant result = run({passage("31", 0, "1201")});
    EXPECT_NE(messages().front().find("ITEMVENDA"), std::string::npos) << messages().front();
    expectCancelled(result);
}

TEST_F(Emission, WithoutAFiscalPrinterNothingIsCancelled) {
    twoProductsAtLunch();
    data_.utilizaImpFis = false;
    faults_.set("VendaItem", "false@2");
    build();
    Variant result = run({passage("31", 0, "1201")}, Variant("untouched"));
    EXPECT_TRUE(said("Ocorreu um erro na impressão do cupom fiscal. Este cupom será cancelado. - Ana Souza"));
    EXPECT_EQ(device_->count("Cancela_Cupom_Imp"), 0);
    EXPECT_TRUE(recorder_->cancelled.empty());
    EXPECT_EQ(result, Variant("untouched"));
}

TEST_F(Emission, AConclusionThatFailsIsCancelledAndNotCounted) {
    build();
    recorder_->beforeConclude = [] { throw Error("the disk is full"); };
    run({passage("31", 0, "1201")});
    EXPECT_TRUE(
        said("Ocorreu um erro no processo de gravação da venda no banco de dados. O cupom será cancelado. A "
             "venda deverá ser realizada novamente. - Ana Souza"));
    ASSERT_EQ(device_->count("Cancela_Cupom_Imp"), 1);
    EXPECT_EQ(recorder_->cancelled.size(), 1u);
    EXPECT_EQ(module_->nrVendaGerada, 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQLOGCAT = '31'"), 1);
    EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"), 0);
    EXPECT_EQ(number("SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '7'"), 0);
    // The printed coupon and its cancellation receipt are both on the tape.
    EXPECT_EQ(receipts().size(), 2u);
}

TEST_F(Emission, EachPrinterCheckFailureStopsTheRequest) {
    struct Case {
        const char* operation;
        const char* text;
    };
    for (Case c : {Case{"VerificaData",
                        "Ocorreu um erro com a impressora fiscal (Data da Impressora). Apenas "
                        "operações de consulta estão habilitadas."},
                   Case{"VerificaSerialImp",
                        "Ocorreu um erro com a impressora fiscal (Número Serial). Apenas "
                        "operações de consulta serão habilitadas."},
                   Case{"Atu_TotGeral",
                        "Ocorreu um erro com a impressora fiscal (Grande Total). Apenas operações "
                        "de consulta serão habilitadas."}}) {
        SCOPED_TRACE(c.operation);
        TearDown();
        SetUp();
        faults_.set(c.operation, "false@1");
        build();
        run({passage("31", 0, "1201")});
        EXPECT_EQ(messages(), std::vector<std::string>{c.text});
        EXPECT_TRUE(module_->boErroImpressora);
        EXPECT_TRUE(progress_.empty());
        EXPECT_EQ(device_->count("AbreCupom"), 0);
        // The import record is not credited when no row ran.
        EXPECT_EQ(scalar("SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '7'"), "");
        if (std::string(c.operation) == "VerificaData") {
            EXPECT_EQ(device_->count("VerificaSerialImp"), 0);
        }
        if (std::string(c.operation) != "Atu_TotGeral") {
            EXPECT_EQ(device_->count("Atu_TotGeral"), 0);
        }
    }
}

TEST_F(Emission, ACouponLeftOpenSkipsTheGrandTotalOfTheNextRequest) {
    twoProductsAtLunch();
    faults_.set("VendaItem", "false@2");
    build();
    run({passage("31", 0, "1201")});
    ASSERT_TRUE(module_->cupomAberto);
    sink_.clear();
    device_->calls.clear();

    // The same module serves the next request: Bruno's lunch.
    run({passage("32", 1, "1210")});
    EXPECT_TRUE(messages().empty()) << messages().front();
    // The check ran (date and serial) and went on to the rows without a grand total.
    auto& calls = device_->calls;
    auto opened = std::find(calls.begin(), calls.end(), "AbreCupom");
    ASSERT_NE(opened, calls.end());
    EXPECT_EQ(std::count(calls.begin(), opened, "VerificaData"), 1);
    EXPECT_EQ(std::count(calls.begin(), opened, "VerificaSerialImp"), 1);
    EXPECT_EQ(std::count(calls.begin(), opened, "Atu_TotGeral"), 0);
    EXPECT_EQ(device_->count("Atu_TotGeral"), 1);  // only the one after the closing
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQLOGCAT = '32'"), 0);
    EXPECT_FALSE(module_->cupomAberto);
}

TEST_F(Emission, TheClientsPartIsPrintedButNotCharged) {
    build();
    run({passage("31", 0, "1201")});
    ASSERT_EQ(device_->itemArgs.size(), 1u);
    const VariantArray& item = device_->itemArgs[0];
    EXPECT_EQ(item[3], Variant("7891000100011"));                      // the bar code is the item code
    EXPECT_EQ(item[4], Variant("1700100#21069090#Almoço executivo"));  // CEST#NCM#name
    EXPECT_EQ(item[5], Variant("01"));
    EXPECT_EQ(item[6], Variant("T"));
    EXPECT_DOUBLE_EQ(item[13].toDouble(FormatSettings{}), 30.0);  // 25.90 + 4.10 of the client's part
    const ds::Packet& mov = recorder_->concludeTables[1].asPacket();
    ASSERT_EQ(mov.records.size(), 1u);
    EXPECT_DOUBLE_EQ(std::get<double>(mov.records[0].cells[mov.fieldIndex("VRMOVIVEND")]), 25.9);
}

TEST_F(Emission, DiscountAndSurchargeMakeTheLineTotal) {
    clock_.set(at(19, 0));
    build();
    run({passage("31", 1, "1900")});  // Bruno's dinner: 22.50, discount 1.50, surcharge 0.25
    ASSERT_EQ(recorder_->concludeCalls, 1);
    const ds::Packet& venda = recorder_->concludeTables[0].asPacket();
    ASSERT_EQ(venda.records.size(), 1u);
    auto cell = [&](const char* f) { return venda.records[0].cells[venda.fieldIndex(f)]; };
    EXPECT_DOUBLE_EQ(std::get<double>(cell("VRPRECCOMVEN")), 22.5);
    EXPECT_DOUBLE_EQ(std::get<double>(cell("VRDESCCOMVEN")), 1.5);
    EXPECT_DOUBLE_EQ(std::get<double>(cell("ACRESITEM")), 0.25);
    EXPECT_DOUBLE_EQ(std::get<double>(cell("VRACRCOMANDA")), 0.25);
    const ds::Packet& mov = recorder_->concludeTables[1].asPacket();
    EXPECT_DOUBLE_EQ(std::get<double>(mov.records[0].cells[mov.fieldIndex("VRMOVIVEND")]), 21.25);
    // Bruno asked for no tax number on the coupon.
    EXPECT_EQ(device_->closing[19], Variant(""));
}

TEST_F(Emission, TheClosingListHoldsItsFiftyThreeValues) {
    build();
    run({passage("31", 0, "1201")});
    const VariantArray& c = device_->closing;
    ASSERT_EQ(c.size(), 53u);
    using T = Variant::Type;
    const T expected[53] = {
        T::Text, T::Text,  T::Text,    T::Int32, T::Boolean,    T::Boolean,    T::Int32,      T::Int32, T::Int32,
        T::Text, T::Text,  T::Boolean, T::Text,  T::DataPacket, T::DataPacket, T::Text,       T::Text,  T::Text,
        T::Text, T::Text,  T::Text,    T::Text,  T::Text,       T::Text,       T::Text,       T::Text,  T::Text,
        T::Text, T::Text,  T::Text,    T::Text,  T::Text,       T::DataPacket, T::DataPacket, T::Null,  T::Text,
        T::Text, T::Int32, T::Int32,   T::Text,  T::Text,       T::Text,       T::Text,       T::Text,  T::Text,
        T::Text, T::Text,  T::Text,    T::Text,  T::DataPacket, T::Double,     T::Double,     T::Int32};
    for (size_t i = 0; i < 53; ++i) EXPECT_EQ(c[i].type(), expected[i]) << "position " << i;
    EXPECT_EQ(c[1], Variant("MD-5:0123456789ABCDEF0123456789ABCDEF"));
    EXPECT_EQ(c[2], Variant("ZEL"));
    EXPECT_EQ(c[3], Variant(int32_t(1)));
    EXPECT_EQ(c[15], Variant("000001"));
    EXPECT_EQ(c[16], Variant("Horizonte"));
    EXPECT_EQ(c[17], Variant("900001"));
    EXPECT_EQ(c[18], Variant("Ana Souza"));
    EXPECT_EQ(c[19], Variant("123.456.789-09"));
    EXPECT_EQ(c[22], Variant("AUTO"));
    EXPECT_EQ(c[24], Variant("001"));
    EXPECT_EQ(c[36], Variant("1"));
    EXPECT_EQ(c[42], Variant(module_->cupNr));
    EXPECT_EQ(c[44], Variant("12.345.678/0001-95"));
    EXPECT_EQ(c[46], Variant("S"));
    EXPECT_EQ(c[47], Variant("600"));
    EXPECT_EQ(c[48], Variant("300"));
    // Ana's balances before the sale, and what the sale spends per family.
    const ds::Packet& saldo = c[32].asPacket();
    EXPECT_EQ(saldo.records.size(), 2u);
    const ds::Packet& familias = c[33].asPacket();
    ASSERT_EQ(familias.records.size(), 1u);
    EXPECT_EQ(familias.records[0].cells[0], ds::Cell(std::string("001")));
    EXPECT_DOUBLE_EQ(std::get<double>(familias.records[0].cells[1]), 30.0);
    // The approximate taxes: 30.00 at 13.45 % federal and 18 % state.
    EXPECT_DOUBLE_EQ(c[50].toDouble(FormatSettings{}), 5.4);
    EXPECT_DOUBLE_EQ(c[51].toDouble(FormatSettings{}), 4.04);
}

TEST_F(Emission, TheConclusionHoldsItsThirtyThreeValuesAndTenTables) {
    build();
    run({passage("31", 0, "1201")});
    ASSERT_EQ(recorder_->concludeCalls, 1);
    const VariantArray& v = recorder_->concludeValues;
    ASSERT_EQ(v.size(), 33u);
    EXPECT_EQ(v[0], Variant("001"));
    EXPECT_EQ(v[1], Variant(day_));
    EXPECT_EQ(v[2], Variant("01"));
    EXPECT_EQ(v[3], Variant(module_->cupNr));
    EXPECT_EQ(v[4], Variant(module_->contCupom));
    EXPECT_EQ(v[5], Variant("0001"));
    EXPECT_EQ(v[8], Variant("01"));
    EXPECT_EQ(v[11], Variant("POS"));
    EXPECT_EQ(v[13], Variant("BR"));
    EXPECT_EQ(v[14], Variant(module_->retFechaCupom));
    EXPECT_FALSE(module_->retFechaCupom.empty());
    EXPECT_EQ(v[15], Variant("SIM0000000001"));
    EXPECT_EQ(v[16], Variant(int32_t(1)));
    EXPECT_EQ(v[20], Variant(day_));
    EXPECT_EQ(v[29], Variant(DateTime::fromFields({2026, 3, 16, 12, 1, 0, 0})));
    EXPECT_EQ(v[32], Variant("BAL_ZEL"));
    for (int i : {6, 7, 9, 10, 12, 21, 22, 23, 24, 25, 26, 27, 28, 30, 31}) EXPECT_EQ(v[i], Variant("")) << i;
    const VariantArray& t = recorder_->concludeTables;
    ASSERT_EQ(t.size(), 10u);
    for (const Variant& table : t) EXPECT_TRUE(table.isPacket());
    EXPECT_EQ(t[0].asPacket().records.size(), 1u);  // the sale
    EXPECT_EQ(t[3].asPacket().records.size(), 1u);  // the families
    EXPECT_TRUE(t[2].asPacket().records.empty());
}

TEST_F(Emission, TheCancelledSaleHoldsItsFifteenValues) {
    twoProductsAtLunch();
    faults_.set("VendaItem", "false@2");
    build();
    run({passage("31", 0, "1201")});
    ASSERT_EQ(recorder_->cancelled.size(), 1u);
    const VariantArray& v = recorder_->cancelled[0];
    ASSERT_EQ(v.size(), 15u);
    EXPECT_TRUE(v[0].isPacket());
    EXPECT_TRUE(v[1].isNull());
    EXPECT_EQ(v[2], Variant("001"));
    EXPECT_EQ(v[3], Variant("01"));
    EXPECT_EQ(v[5], Variant("SIM0000000001"));
    EXPECT_EQ(v[6], Variant("SIM-48"));
    EXPECT_EQ(v[7], Variant("Simulada"));
    EXPECT_EQ(v[8], Variant("001"));
    EXPECT_EQ(v[13], Variant(day_));
    for (int i : {4, 9, 10, 11, 12, 14}) EXPECT_EQ(v[i], Variant("")) << i;
}

TEST_F(Emission, ARequestThatIsNoTableIsAnEmptyBatch) {
    twoProductsAtLunch();
    build();
    run({passage("31", 0, "1201")});
    int opened = device_->count("AbreCupom");
    sink_.clear();
    // The rows of the request before must never be charged again.
    Variant result;
    module_->request({Variant("not a table")}, result);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"Geração das vendas não permitida. Nenhum consumidor foi selecionado."});
    EXPECT_EQ(device_->count("AbreCupom"), opened);
}

}  // namespace
