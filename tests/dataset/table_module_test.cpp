// The module's working tables: their declared structure, index orders, and
// saving and loading them back through table files and packets.
#include <filesystem>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "data/tables.h"

using namespace zel;
using namespace zel::ds;
using ::testing::ElementsAre;

namespace {

// A value for every field of the current pending row, different per row.
void fillRow(Table& t, int n) {
    for (int f = 0; f < t.fieldCount(); ++f) {
        const FieldDef& def = t.fields()[static_cast<size_t>(f)];
        if ((f + n) % 7 == 0) continue;  // leave some fields null
        switch (def.typeCode()) {
            case kFloat:
                t.setAsFloat(f, n * 100.25 + f);
                break;
            case kDateTime:
                t.setAsDateTime(f, DateTime::fromFields({2026, 3, 1 + n, 10, f % 60, n, 123}));
                break;
            case kDate:
                t.setAsDateTime(f, DateTime::fromDate(2026, 4, 1 + n));
                break;
            default:
                t.setAsString(f, def.name + "-" + std::to_string(n) + std::string(300, 'x'));
                break;
        }
    }
}

}  // namespace

TEST(ModuleTables, TheTwentyFourTablesAndTheirDeclaredFields) {
    ModuleTables m;
    std::vector<std::string> names;
    for (Table* t : m.all()) names.push_back(t->name());
    ASSERT_EQ(names.size(), 24u);
    EXPECT_EQ(names.front(), "cdsEmiteCupom");
    EXPECT_EQ(names[14], "cdsVenda");
    EXPECT_EQ(names.back(), "cdsDataMovimento");
    EXPECT_EQ(m.find("CDSVENDA"), &m.cdsVenda);
    EXPECT_EQ(m.find("cdsNada"), nullptr);
    for (Table* t : m.all()) EXPECT_FALSE(t->isOpen()) << t->name();

    EXPECT_EQ(m.cdsRetornaPreco.declaredFields().size(), 8u);
    EXPECT_EQ(m.cdsFamSaldo.declaredFields().size(), 6u);
    EXPECT_EQ(m.cdsConfTipoRece.declaredFields().size(), 36u);
    EXPECT_EQ(m.cdsMovCaixa.declaredFields().size(), 33u);
    EXPECT_EQ(m.cdsVenda.declaredFields().size(), 60u);
    EXPECT_EQ(m.cdsItems.declaredFields().size(), 49u);
    EXPECT_EQ(m.cdsCliente.declaredFields().size(), 8u);
    EXPECT_EQ(m.cdsAliqImpFis.declaredFields().size(), 3u);
    EXPECT_EQ(m.cdsProdutoGeral.declaredFields().size(), 13u);
    EXPECT_EQ(m.cdsFamiliaSaldo.declaredFields().size(), 2u);
    EXPECT_TRUE(m.cdsEmiteCupom.declaredFields().empty());

    const auto& venda = m.cdsVenda.declaredFields();
    EXPECT_EQ(venda[21].name, "NRCUPOMFIS");
    EXPECT_TRUE(venda[21].fixedChar());
    EXPECT_EQ(venda[21].width(), 10);
    EXPECT_EQ(venda[26].name, "IDTPFORPGVEN");
    EXPECT_TRUE(venda[26].fixedChar());
    int fixed = 0;
    for (const auto& f : venda) fixed += f.fixedChar() ? 1 : 0;
    EXPECT_EQ(fixed, 2);
    EXPECT_EQ(venda[35].typeCode(), kDate);  // DTABERCAIX
    EXPECT_EQ(m.cdsItems.declaredFields()[9].name, "stCdAliq");
    EXPECT_EQ(m.cdsItems.declaredFields()[8].width(), 2000);
    EXPECT_EQ(m.cdsItems.indexName(), "DTINCLUSAO");
    EXPECT_EQ(m.cdsAliqImpFis.indexName(), "idxIdAliqVrAliq");
}

TEST(ModuleTables, ItemsWalkInInclusionOrder) {
    ModuleTables m;
    Table& items = m.cdsItems;
    items.create();
    int minutes[] = {30, 5, 50, 5, 0};
    for (int i = 0; i < 5; ++i) {
        items.insert();
        items.field("CDPRODUTO").setAsString("P" + std::to_string(i));
        items.field("DTINCLUSAO").setAsDateTime(DateTime::fromFields({2026, 5, 4, 12, minutes[i], 0, 0}));
        items.post();
    }
    std::vector<std::string> order;
    for (items.first(); !items.eof(); items.next()) order.push_back(items.field("CDPRODUTO").asString());
    EXPECT_THAT(order, ElementsAre("P4", "P1", "P3", "P0", "P2"));
}

TEST(ModuleTables, DeclaredTablesSaveAndLoadBack) {
    auto dir = std::filesystem::temp_directory_path() / ("zel_module_tables_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ModuleTables m;
    ModuleTables fresh;
    for (Table* t : m.all()) {
        if (t->declaredFields().empty()) continue;
        SCOPED_TRACE(t->name());
        t->create();
        for (int n = 0; n < 3; ++n) {
            t->append();
            fillRow(*t, n);
            t->post();
        }
        Table* other = fresh.find(t->name());
        for (PacketForm form : {PacketForm::Binary, PacketForm::Xml}) {
            auto file = dir / (t->name() + (form == PacketForm::Binary ? ".cds" : ".xml"));
            t->saveToFile(file, form);
            other->loadFromFile(file);
            EXPECT_EQ(other->fields(), t->declaredFields());
            EXPECT_EQ(other->data().records, t->data().records);
            EXPECT_EQ(other->recordCount(), 3);
        }
        // And as a packet handed from one table to another.
        other->setData(t->dataVariant());
        EXPECT_EQ(other->data(), t->data());
    }
    std::filesystem::remove_all(dir);
}
