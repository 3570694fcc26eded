// The printer's paper tape against golden files, line for line.
#include <cstdlib>

#include "external/utility/param_packet.h"
#include "external/printer/printer_tape.h"
#include "printer_fixture.h"

namespace zel::ext::testing {
namespace {

std::filesystem::path golden(const std::string& name) {
    return std::filesystem::path(ZEL_SOURCE_DIR) / "tests/external/golden" / name;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string l;
    while (std::getline(s, l)) out.push_back(l);
    return out;
}

// Compares a tape with its golden file; ZEL_UPDATE_GOLDEN=1 rewrites the file.
void expectGolden(const std::filesystem::path& tape, const std::string& name) {
    std::string actual = readFile(tape);
    if (const char* u = std::getenv("ZEL_UPDATE_GOLDEN"); u && std::string(u) == "1") writeFile(golden(name), actual);
    ASSERT_TRUE(std::filesystem::exists(golden(name))) << golden(name);
    std::vector<std::string> want = lines(readFile(golden(name))), got = lines(actual);
    for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
        ASSERT_LT(i, got.size()) << "tape ends before line " << i + 1 << ": " << want[i];
        ASSERT_LT(i, want.size()) << "tape has an extra line " << i + 1 << ": " << got[i];
        EXPECT_EQ(got[i], want[i]) << "line " << i + 1;
    }
}

class TapeTest : public PrinterTest {};

TEST_F(TapeTest, WholeCouponThroughTheSlotsMatchesTheGoldenTape) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    DevicePackage& d = printer;
    Variant packet, answer;
    ASSERT_TRUE(open(d, packet));
    ASSERT_TRUE(sell(d, "7891000100103", "2106.90.90#0101000#PRATO FEITO COM ARROZ, FEIJÃO E SALADA", 12.5));
    ASSERT_TRUE(sell(d, "SUCO", "Suco de laranja 300 ml", 4.75, "02", "t", 0.25, 0.10));
    SaleForClosing sale;
    sale.movement = 15.0;  // the client company pays the rest
    sale.spent = {{"001", 12.5}, {"002", 4.75}};
    ASSERT_TRUE(close(d, sale, answer));
    ASSERT_TRUE(grandTotal(d));
    expectGolden(files_.tape, "coupon.txt");
    for (const auto& receipt : readTapeReceipts(files_.tape))
        for (const std::string& l : receipt) EXPECT_LE(displayWidth(l), 48u) << l;
}

TEST_F(TapeTest, CancelledCouponPrintsTheCancellationReceipt) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "SUCO", "Suco de laranja", 4.75, "02", "T"));
    SaleForClosing sale;
    sale.movement = 4.75;
    sale.idParImprLimVdc = "N";
    sale.balances = {};
    sale.spent = {};
    sale.consumerCpf = "";
    ASSERT_TRUE(close(printer, sale, answer));
    ASSERT_TRUE(cancel(printer, answer));
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "7891000100103", "Prato feito", 12.5));
    ASSERT_TRUE(cancel(printer, answer));  // cancelled while open
    expectGolden(files_.tape, "cancel.txt");
    auto receipts = readTapeReceipts(files_.tape);
    ASSERT_EQ(receipts.size(), 3u);
}

// Amounts reach the printer with binary noise or more than two decimals; it
// cuts them as the sale does, so the coupon agrees with the stored sale.
TEST_F(TapeTest, NoisyAmountsAreCutToTheCentAsTheSaleCutsThem) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "A", "Prato", 44.889999999999995));
    ASSERT_TRUE(sell(printer, "B", "Suco", 2.10999999, "02", "T", 0.129999999, 0.119));
    const CouponItem& juice = printer.state().open->items.at(1);
    EXPECT_EQ(juice.unitPriceCents, 211);
    EXPECT_EQ(juice.discountCents, 13);
    EXPECT_EQ(juice.surchargeCents, 11);
    EXPECT_EQ(juice.amountCents, 209);
    SaleForClosing sale;
    sale.movement = 46.988999999999997;  // 44,89 + 2,09, with three decimals
    sale.spent = {{"001", 12.999}};
    sale.stateTax = 1.2399999999;
    sale.federalTax = 2.349;
    ASSERT_TRUE(close(printer, sale, answer));
    EXPECT_DOUBLE_EQ(answer.items().at(3).toDouble(FormatSettings{}), 46.98);
    auto receipts = readTapeReceipts(files_.tape);
    ASSERT_EQ(receipts.size(), 1u);
    const std::vector<std::string>& r = receipts[0];
    auto has = [&](const std::string& left, const std::string& right) {
        for (const std::string& l : r)
            if (l.starts_with(left) && l.ends_with(" " + right)) return true;
        return false;
    };
    EXPECT_TRUE(has("TOTAL R$", "46,98"));
    EXPECT_TRUE(has("Débito consumidor", "46,98"));  // the payment agrees with the total
    EXPECT_TRUE(has("    1 UN X 2,11", "2,11"));
    EXPECT_TRUE(has("    desconto item", "-0,13"));
    EXPECT_TRUE(has("    acréscimo item", "+0,11"));
    EXPECT_TRUE(has("  Estadual R$", "1,24"));
    EXPECT_TRUE(has("  Federal R$", "2,34"));
    EXPECT_TRUE(has("ALMOÇO", "12,99"));
    for (const std::string& l : r) {
        EXPECT_EQ(l.find("TROCO"), std::string::npos) << l;
        EXPECT_EQ(l.find("Parte da empresa"), std::string::npos) << l;
    }
}

TEST_F(TapeTest, APaymentOfNoisyCentsPrintsItsCutAndAgreesWithTheTotal) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "A", "Prato", 46.99));
    SaleForClosing sale;
    sale.movement = 46.998999999999995;
    ASSERT_TRUE(close(printer, sale, answer));
    auto receipts = readTapeReceipts(files_.tape);
    ASSERT_EQ(receipts.size(), 1u);
    std::string text;
    for (const std::string& l : receipts[0]) text += l + "\n";
    EXPECT_NE(text.find("TOTAL R$                                   46,99\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Débito consumidor                          46,99\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("TROCO"), std::string::npos) << text;  // rounding would have made 47,00 and a change of 0,01
}

TEST(TapeFormat, MoneyHasThousandsAndTwoDecimals) {
    EXPECT_EQ(tapeMoney(0), "0,00");
    EXPECT_EQ(tapeMoney(5), "0,05");
    EXPECT_EQ(tapeMoney(123456789), "1.234.567,89");
    EXPECT_EQ(tapeMoney(-150), "-1,50");
}

}  // namespace
}  // namespace zel::ext::testing
