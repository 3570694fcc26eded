// The refusals of product selection and tax-rate resolution: each gives its
// exact message and leaves the consumer pending, with nothing printed or stored.
#include <gtest/gtest.h>

#include "platform/dataset/table.h"
#include "support/station_fixture.h"

using namespace zel;
using namespace zel::testing;

namespace {

class Refusal : public StationTest {
  protected:
    // Runs Ana's lunch passage and checks that nothing was charged.
    void expectRefused(const std::vector<std::string>& expected, const std::string& hora = "1201") {
        run({passage("21", 0, hora)});
        EXPECT_EQ(messages(), expected);
        EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQLOGCAT = '21'"), 1);
        EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA"), 0);
        EXPECT_EQ(number("SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '7'"), 0);
        EXPECT_FALSE(module_->cupomAberto);
        EXPECT_EQ(device_->count("AbreCupom"), 0);
        EXPECT_TRUE(receipts().empty());
    }

    // Rewrites a table file of the station through a working table.
    void editTable(const char* file, const std::function<void(ds::Table&)>& edit) {
        ds::Table t(file);
        t.loadFromFile(layout_.table(file));
        edit(t);
        t.saveToFile(layout_.table(file));
    }
};

TEST_F(Refusal, NoProductForTheMoment) {
    build();
    expectRefused({"Não existem produtos parametrizados por Serviço e nem por Serviço/Tipo de Consumidor para serem "
                   "impressos no cupom. O cupom não será impresso para o consumidor Ana Souza."},
                  "1600");
}

TEST_F(Refusal, ProductRecordMissing) {
    data_.byType[0].cdProduto = "0099";
    build();
    expectRefused(
        {"Operação bloqueada. Produto não encontrado no cadastrado de produtos.Favor verificar "
         "parametrização no sistema RZV. Detalhes: Ana Souza - 900001."});
}

TEST_F(Refusal, EveryPriceFailureHasItsText) {
    struct Case {
        std::function<void(station::StationData&)> setUp;
        std::string text;
    };
    DateTime yesterday(day_.value() - 1);
    std::vector<Case> cases = {
        {[](auto& d) { d.priceTables[0].itens.erase(d.priceTables[0].itens.begin()); },
         "Preço do produto deve ser cadastrado."},
        {[](auto& d) { d.standardTable.clear(); }, "Tabela de preço deve ser parametrizada."},
        {[&](auto& d) { d.priceTables[0].fim = yesterday; }, "Não há tabela de preço padrão vigente."},
        {[&](auto& d) {
             d.priceTables.push_back({"L01", "Loja", DateTime(day_.value() - 30), yesterday, {{"0001", 10}}});
             d.storeTable = "L01";
         },
         "Não há tabela de preço da loja vigente."},
        {[&](auto& d) {
             d.priceTables.push_back({"C01", "Cliente", DateTime(day_.value() - 30), yesterday, {{"0001", 10}}});
             d.clients[0].priceTable = "C01";
         },
         "Não há tabela de preço do cliente vigente."},
        {[](auto& d) { d.priceTables[0].itens[0].preco = 0, d.priceTables[0].itens[0].precoClie = 0; },
         "Preço do produto deve ser maior que zero."},
        {[](auto& d) { d.priceTables[0].itens[0].bloqueado = true; },
         "Operação bloqueada. Produto indisponível no momento."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TearDown();
        SetUp();
        c.setUp(data_);
        build();
        expectRefused({c.text});
    }
}

TEST_F(Refusal, TwoTaxRows) {
    build();
    editTable("AliqSistema.cds", [](ds::Table& t) {
        t.append();
        t.field("CDPRODUTO").setAsString("0001");
        t.field("VRPEALIMPFIS").setAsFloat(12);
        t.field("IDTPIMPOSFIS").setAsString("T");
        t.post();
    });
    expectRefused({"Produto não pode ser vendido, pois possui mais de um imposto parametrizado.",
                   "Alíquota não cadastrada na impressora fiscal.-1.01-Almoço executivo"});
}

TEST_F(Refusal, NoTaxRow) {
    build();
    editTable("AliqSistema.cds", [](ds::Table& t) {
        ASSERT_TRUE(t.locate("CDPRODUTO", Variant("0001")));
        t.deleteRow();
    });
    expectRefused({"Produto não pode ser vendido, pois não possui um imposto parametrizado.",
                   "Alíquota não cadastrada na impressora fiscal.-1.01-Almoço executivo"});
}

TEST_F(Refusal, NoPrinterRate) {
    data_.products[0].taxRate = 25;
    build();
    expectRefused({"Alíquota não cadastrada na impressora fiscal.",
                   "Alíquota não cadastrada na impressora fiscal.-1.01-Almoço executivo"});
}

TEST_F(Refusal, NoBalanceFamily) {
    data_.products[0].cdFamiliSald = "";
    build();
    expectRefused(
        {"Operação bloqueada. O produto 1.01-Almoço executivo deve ser associado a uma família para ser "
         "utilizado na venda crédito pessoal. - Ana Souza"});
}

TEST_F(Refusal, QuotesInRequestValuesNeverChangeTheFilter) {
    build();
    // A consumer type holding quotes selects no row of another type and breaks nothing.
    ds::Packet packet = station::requestPacket(data_, {passage("21", 0, "1201")});
    int typeField = packet.fieldIndex("CDTIPOCONS");
    packet.fields[typeField] = ds::FieldDef::string("CDTIPOCONS", 20);  // a host may send a wider column
    for (std::string type : {"0'1", "01' OR '1'='1", "'", "01'"}) {
        sink_.clear();
        packet.records[0].cells[typeField] = type;
        Variant result;
        module_->request({Variant::packet(packet)}, result);
        ASSERT_EQ(messages().size(), 1u) << type;
        EXPECT_EQ(messages()[0].rfind("Não existem produtos", 0), 0u) << messages()[0];
    }
    EXPECT_EQ(device_->count("AbreCupom"), 0);
}

TEST_F(Refusal, AnUnreadablePassageIsToldAndTheBatchGoesOn) {
    build();
    run({passage("21", 0, "12x5"), passage("22", 1, "1202")});
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0], "Ana Souza: a hora da passagem '12x5' não pode ser lida");
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQLOGCAT = '21'"), 1);
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQLOGCAT = '22'"), 0);
    EXPECT_EQ(device_->count("AbreCupom"), 1);
    EXPECT_EQ(recorder_->priceArgs.size(), 1u);  // Ana never reached the price service
}

}  // namespace
