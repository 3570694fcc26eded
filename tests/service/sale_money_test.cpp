// The money of a sale where the cuts show: prices and client parts with a
// third decimal, a surcharge on every line, two products of one balance family,
// and the tax surcharge. Each amount is followed from the price row to the
// tables the closing and the conclusion receive.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <set>

#include "platform/dataset/table.h"
#include "support/station_fixture.h"

using namespace zel;
using namespace zel::testing;

namespace {

// The rows of a data packet by the text of one of its fields.
std::map<std::string, ds::Record> rowsBy(const ds::Packet& p, const char* key) {
    std::map<std::string, ds::Record> out;
    int k = p.fieldIndex(key);
    for (const ds::Record& r : p.liveRecords()) out[std::get<std::string>(r.cells[k])] = r;
    return out;
}

double cellOf(const ds::Packet& p, const ds::Record& r, const char* field) {
    const ds::Cell& c = r.cells[p.fieldIndex(field)];
    return std::holds_alternative<double>(c) ? std::get<double>(c) : -999999;
}

class SaleMoney : public StationTest {
  protected:
    // Ana's lunch sells three products: the meal and a juice of family 001,
    // a coffee of family 002; every price and client part has a third decimal
    // and every line a surcharge.
    void threeProductsWithThirdDecimals() {
        data_.products.push_back({"0004", "1.04", "Suco natural", "001", "", "UN", 18, "01", "T", "", ""});
        data_.byType.push_back({"ALM", "1100", "1430", "01", "0004"});
        data_.byType.push_back({"ALM", "1100", "1430", "01", "0003"});
        data_.priceTables[0].itens = {{"0001", 25.919, 0.337, 0.456, 4.105},
                                      {"0004", 3.555, 0, 0.789, 1.009},
                                      {"0003", 7.25, 0, 0.1, 0},
                                      {"0002", 22.5, 1.5, 0.25, 0}};
    }
};

TEST_F(SaleMoney, ThirdDecimalsAreCutWhereTheSaleCutsThem) {
    threeProductsWithThirdDecimals();
    build();
    run({passage("31", 0, "1201")});
    for (const auto& m : messages()) ADD_FAILURE() << "message: " << m;
    ASSERT_EQ(recorder_->concludeCalls, 1);

    // The printer sells each product at its cut price plus its cut client part.
    ASSERT_EQ(device_->itemArgs.size(), 3u);
    std::multiset<long long> printed;
    for (const VariantArray& a : device_->itemArgs)
        printed.insert(std::llround(a[13].toDouble(FormatSettings{}) * 100));
    EXPECT_EQ(printed, (std::multiset<long long>{3001, 455, 725}));

    // The cash movement charges the consumer the uncut price, less the cut
    // discount, plus the cut surcharge, and leaves the client's part out:
    // (25.919 - 0.33 + 0.45) + (3.555 + 0.78) + (7.25 + 0.10).
    const ds::Packet& mov = recorder_->concludeTables[1].asPacket();
    ASSERT_EQ(mov.liveRecords().size(), 1u);
    EXPECT_NEAR(cellOf(mov, mov.liveRecords().at(0), "VRMOVIVEND"), 37.724, 1e-9);
    // The database keeps it in cents, cut as the sale cuts.
    EXPECT_NEAR(number("SELECT VRMOVIVEND FROM MOVCAIXA"), 37.72, 1e-9);

    // Two products of family 001 add up; the family spends the cut unit prices
    // with the client's part: 25.91 + 4.10 + 3.55 + 1.00.
    const ds::Packet& families = recorder_->concludeTables[3].asPacket();
    auto fam = rowsBy(families, "CDFAMILISALD");
    ASSERT_EQ(fam.size(), 2u);
    EXPECT_NEAR(cellOf(families, fam["001"], "VRSALDCONFAM"), 34.56, 1e-9);
    EXPECT_NEAR(cellOf(families, fam["002"], "VRSALDCONFAM"), 7.25, 1e-9);
    EXPECT_EQ(device_->closing[33].asPacket().liveRecords().size(), 2u);
    EXPECT_NEAR(number("SELECT VRSALDCONFAM FROM SALDOCONS WHERE CDCONSUMIDOR = '1001' AND CDFAMILISALD = '001'"),
                150 - 34.56, 1e-9);

    // Each sale line carries its own surcharge; the sale's total surcharge is
    // the same on every line.
    const ds::Packet& venda = recorder_->concludeTables[0].asPacket();
    auto lines = rowsBy(venda, "CDPRODUTO");
    ASSERT_EQ(lines.size(), 3u);
    const std::map<std::string, std::array<double, 4>> expected = {// price, client part, discount, surcharge
                                                                   {"0001", {25.91, 4.10, 0.33, 0.45}},
                                                                   {"0004", {3.55, 1.00, 0, 0.78}},
                                                                   {"0003", {7.25, 0, 0, 0.10}}};
    for (const auto& [code, v] : expected) {
        SCOPED_TRACE(code);
        const ds::Record& r = lines[code];
        EXPECT_NEAR(cellOf(venda, r, "VRPRECCOMVEN"), v[0], 1e-9);
        EXPECT_NEAR(cellOf(venda, r, "VRUNITVENDCL"), v[1], 1e-9);
        EXPECT_NEAR(cellOf(venda, r, "VRDESCCOMVEN"), v[2], 1e-9);
        EXPECT_NEAR(cellOf(venda, r, "VRACRCOMVEN"), v[3], 1e-9);
        EXPECT_NEAR(cellOf(venda, r, "ACRESITEM"), v[3], 1e-9);
        EXPECT_NEAR(cellOf(venda, r, "VRACRCOMANDA"), 1.33, 1e-9);
    }

    // The lines are numbered one after the other.
    std::set<std::string> numbers;
    for (const auto& [code, r] : lines) numbers.insert(std::get<std::string>(r.cells[venda.fieldIndex("NRSEQ")]));
    EXPECT_EQ(numbers, (std::set<std::string>{"001", "002", "003"}));

    // The line totals of the item table: cut price, less discount, plus surcharge.
    std::map<std::string, double> soma;
    for (module_->cdsItems.first(); !module_->cdsItems.eof(); module_->cdsItems.next())
        soma[module_->cdsItems.field("CDPRODUTO").asString()] = module_->cdsItems.field("SOMA").asFloat();
    EXPECT_NEAR(soma["0001"], 26.03, 1e-9);
    EXPECT_NEAR(soma["0004"], 4.33, 1e-9);
    EXPECT_NEAR(soma["0003"], 7.35, 1e-9);
}

TEST_F(SaleMoney, TheTaxSurchargeIsTakenOnTheCutPriceLessTheDiscount) {
    threeProductsWithThirdDecimals();
    data_.idAcrImposto = "S";
    build();
    run({passage("31", 0, "1201")});
    for (const auto& m : messages()) ADD_FAILURE() << "message: " << m;
    ASSERT_EQ(recorder_->concludeCalls, 1);
    // 18 % of 25.91 - 0.33, 18 % of 3.55, 12 % of 7.25; not cut.
    const double total = 0.18 * (25.91 - 0.33) + 0.18 * 3.55 + 0.12 * 7.25;
    EXPECT_NEAR(module_->vrTxServTotal, total, 1e-9);
    const ds::Packet& venda = recorder_->concludeTables[0].asPacket();
    ASSERT_EQ(venda.liveRecords().size(), 3u);
    for (const ds::Record& r : venda.liveRecords()) EXPECT_NEAR(cellOf(venda, r, "VRTXSERVICO"), total, 1e-9);
}

TEST_F(SaleMoney, TwoPassagesOfOneRequestKeepTheirOwnAmounts) {
    threeProductsWithThirdDecimals();
    build();
    // Ana, then Bruno at dinner: nothing of Ana's sale reaches Bruno's.
    clock_.set(at(19, 0));
    run({passage("31", 0, "1201"), passage("32", 1, "1900")});
    for (const auto& m : messages()) ADD_FAILURE() << "message: " << m;
    ASSERT_EQ(recorder_->concludeCalls, 2);
    const ds::Packet& mov = recorder_->concludeTables[1].asPacket();
    // Bruno's dinner: 22.50, discount 1.50, surcharge 0.25.
    EXPECT_NEAR(cellOf(mov, mov.liveRecords().at(0), "VRMOVIVEND"), 21.25, 1e-9);
    const ds::Packet& families = recorder_->concludeTables[3].asPacket();
    auto fam = rowsBy(families, "CDFAMILISALD");
    ASSERT_EQ(fam.size(), 1u);
    EXPECT_NEAR(cellOf(families, fam["001"], "VRSALDCONFAM"), 22.5, 1e-9);
}

// A batch that sold nothing still credits its import record, with 0: a null
// count would say the batch never ended.
TEST_F(SaleMoney, ABatchWhoseOnlyPassageIsCancelledCreditsItsRecordWithZero) {
    faults_.set("VendaItem", "false@1");
    build();
    run({passage("31", 0, "1201")});
    ASSERT_EQ(recorder_->cancelled.size(), 1u);
    EXPECT_EQ(scalar("SELECT CASE WHEN NRVENDAGERADA IS NULL THEN 'null' ELSE 'set' END FROM LOGCATRACAPK WHERE "
                     "NRSEQARQIMPK = '7'"),
              "set");
    EXPECT_EQ(number("SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '7'"), 0);
}

}  // namespace
