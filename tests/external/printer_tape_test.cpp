// The printer's paper tape against golden files, line for line.
#include <cstdlib>

#include "external/param_packet.h"
#include "external/printer_tape.h"
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

TEST(TapeFormat, MoneyHasThousandsAndTwoDecimals) {
    EXPECT_EQ(tapeMoney(0), "0,00");
    EXPECT_EQ(tapeMoney(5), "0,05");
    EXPECT_EQ(tapeMoney(123456789), "1.234.567,89");
    EXPECT_EQ(tapeMoney(-150), "-1,50");
}

}  // namespace
}  // namespace zel::ext::testing
