// The printer's memory as the record that recovery relies on: the last
// coupon with its items, older memories, and a tape that the memory brings up
// to date after a crash or a tape fault.
#include <functional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "external/printer/printer_state.h"
#include "external/printer/printer_tape.h"
#include "platform/atomic_file.h"
#include "printer_fixture.h"

namespace zel::ext::testing {
namespace {

using nlohmann::json;

// Rewrites a memory file's body and seals it with a checksum that matches, as
// an older printer (or a hand edit with the right tool) would have written it.
void rewriteMemory(const std::filesystem::path& file, int version, const std::function<void(json&)>& edit) {
    json doc = json::parse(readFile(file));
    doc["version"] = version;
    edit(doc["body"]);
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : doc["body"].dump(-1, ' ', false, json::error_handler_t::replace)) {
        h ^= c;
        h *= 1099511628211ull;
    }
    doc["checksum"] = fmt::format("{:016x}", h);
    writeFile(file, doc.dump(1) + "\n");
}

class PrinterMemoryTest : public PrinterTest {
  protected:
    SaleForClosing plainSale(double paid) {
        SaleForClosing sale;
        sale.movement = paid;
        return sale;
    }
};

TEST_F(PrinterMemoryTest, TheLastCouponKeepsItsItemsThroughAReloadWhetherClosedOrCancelled) {
    createPrinter();
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "7891000100103", "2106.90.90#PRATO FEITO", 12.5));
        ASSERT_TRUE(sell(printer, "SUCO", "Suco", 4.75, "02", "T", 0.25, 0.10, 2));
        std::vector<CouponItem> sold = printer.state().open->items;
        ASSERT_TRUE(close(printer, plainSale(21.85), answer));
        ASSERT_TRUE(printer.state().lastCoupon);
        EXPECT_EQ(printer.state().lastCoupon->items, sold);
        EXPECT_EQ(printer.state().lastCoupon->cancelledCents, 0);
    }
    SimulatedPrinter reloaded = openPrinter();
    ASSERT_TRUE(reloaded.usable()) << reloaded.problem();
    const ClosedCoupon& last = *reloaded.state().lastCoupon;
    ASSERT_EQ(last.items.size(), 2u);
    const CouponItem& juice = last.items[1];
    EXPECT_EQ(juice.number, 2);
    EXPECT_EQ(juice.code, "SUCO");
    EXPECT_EQ(juice.description, "Suco");
    EXPECT_EQ(juice.unit, "UN");
    EXPECT_EQ(juice.rateCode, "02");
    EXPECT_EQ(juice.rateKind, "T");
    EXPECT_EQ(juice.rateHundredths, 1200);
    EXPECT_EQ(juice.quantityMilli, 2000);
    EXPECT_EQ(juice.unitPriceCents, 475);
    EXPECT_EQ(juice.discountCents, 25);
    EXPECT_EQ(juice.surchargeCents, 10);
    EXPECT_EQ(juice.amountCents, 935);
    EXPECT_EQ(last.totalCents, 1250 + 935);

    // Cancelled after the closing: the items stay, the amount is that of the coupon.
    Variant answer, packet;
    ASSERT_TRUE(cancel(reloaded, answer));
    EXPECT_EQ(openPrinter().state().lastCoupon->items.size(), 2u);
    EXPECT_EQ(openPrinter().state().lastCoupon->cancelledCents, 2185);

    // Cancelled while open: the open coupon's items become the last coupon's.
    ASSERT_TRUE(open(reloaded, packet));
    ASSERT_TRUE(sell(reloaded, "A", "Café", 3.0));
    ASSERT_TRUE(cancel(reloaded, answer));
    SimulatedPrinter again = openPrinter();
    const ClosedCoupon& c = *again.state().lastCoupon;
    EXPECT_FALSE(c.closedNormally);
    EXPECT_TRUE(c.cancelled);
    ASSERT_EQ(c.items.size(), 1u);
    EXPECT_EQ(c.items[0].description, "Café");
    EXPECT_EQ(c.cancelledCents, 300);
    EXPECT_EQ(again.state().cancelTotalCents, 2185 + 300);
    EXPECT_EQ(again.state(), reloaded.state());
}

TEST_F(PrinterMemoryTest, AMemoryOfTheFirstFormatLoadsWithoutItems) {
    createPrinter();
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        ASSERT_TRUE(close(printer, plainSale(3), answer));
        ASSERT_TRUE(cancel(printer, answer));
    }
    rewriteMemory(files_.state, 1, [](json& body) {
        body["lastCoupon"].erase("items");
        body["lastCoupon"].erase("cancelledCents");
        body.erase("lastReceipt");
    });
    SimulatedPrinter old = openPrinter();
    ASSERT_TRUE(old.usable()) << old.problem();
    EXPECT_TRUE(old.state().lastCoupon->items.empty());
    EXPECT_EQ(old.state().lastCoupon->cancelledCents, 300);  // a cancelled coupon's amount went to the total
    Variant packet;
    ASSERT_TRUE(open(old, packet));  // and it works on, writing the new format
    EXPECT_EQ(json::parse(readFile(files_.state))["version"], 2);
}

TEST_F(PrinterMemoryTest, ItemsOfTheLastCouponAreCheckedLikeThoseOfTheOpenOne) {
    createPrinter();
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        ASSERT_TRUE(close(printer, plainSale(3), answer));
    }
    std::string good = readFile(files_.state);
    const std::vector<std::pair<std::string, std::function<void(json&)>>> damages = {
        {"lastCoupon.items[0].amountCents", [](json& b) { b["lastCoupon"]["items"][0]["amountCents"] = 301; }},
        {"lastCoupon.items", [](json& b) { b["lastCoupon"]["totalCents"] = 400; }},
        {"lastCoupon.items is missing", [](json& b) { b["lastCoupon"].erase("items"); }},
        {"lastCoupon.cancelledCents", [](json& b) { b["lastCoupon"]["cancelledCents"] = 300; }},
        {"lastCoupon.items[0].quantityMilli", [](json& b) { b["lastCoupon"]["items"][0]["quantityMilli"] = "1"; }},
    };
    for (const auto& [field, edit] : damages) {
        writeFile(files_.state, good);
        rewriteMemory(files_.state, 2, edit);
        SimulatedPrinter p = openPrinter();
        EXPECT_FALSE(p.usable()) << field;
        EXPECT_NE(p.problem().find(field), std::string::npos) << p.problem();
    }
}

// How many times the tape holds the receipt numbered `n`.
size_t timesOnTape(const std::filesystem::path& tape, int64_t n) {
    size_t count = 0;
    for (const auto& receipt : readTapeReceipts(tape))
        for (const std::string& line : receipt)
            if (line == "SEQ. FITA: " + sixDigits(n)) ++count;
    return count;
}

TEST_F(PrinterMemoryTest, AReceiptKeptOffTheTapeByACrashIsPrintedOnceByTheNextPrinter) {
    createPrinter();
    std::string tapeBefore;
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        ASSERT_TRUE(close(printer, plainSale(3), answer));
        tapeBefore = readFile(files_.tape);
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "B", "Prato", 12.5));
        ASSERT_TRUE(close(printer, plainSale(12.5), answer));
        EXPECT_EQ(printer.state().lastReceipt->number, 2);
    }
    std::string whole = readFile(files_.tape);
    std::string receipt2 = whole.substr(tapeBefore.size());
    EXPECT_EQ(loadPrinterState(files_.state).lastReceipt->text, receipt2);  // the memory holds what was printed

    // The process died after the memory was written, before the tape was.
    writeFile(files_.tape, tapeBefore);
    {
        SimulatedPrinter next = openPrinter();
        EXPECT_TRUE(next.status().tapeProblem.empty()) << next.status().tapeProblem;
        EXPECT_EQ(readFile(files_.tape), whole);
    }
    SimulatedPrinter third = openPrinter();  // nothing owed any more
    EXPECT_EQ(readFile(files_.tape), whole);
    EXPECT_EQ(timesOnTape(files_.tape, 2), 1u);

    // A receipt cut short (the machine lost power during the append) is
    // followed by the whole one; the tape then ends with it.
    writeFile(files_.tape, tapeBefore + receipt2.substr(0, receipt2.size() / 2));
    SimulatedPrinter afterPowerCut = openPrinter();
    EXPECT_EQ(lastReceiptNumberOnTape(files_.tape), 2);
    EXPECT_EQ(timesOnTape(files_.tape, 2), 1u);

    // A tape of an older printer, whose receipts carry no number, gets the receipt.
    writeFile(files_.tape, "old receipt\n\n");
    EXPECT_EQ(lastReceiptNumberOnTape(files_.tape), std::nullopt);
    SimulatedPrinter onOldTape = openPrinter();
    EXPECT_EQ(readFile(files_.tape), "old receipt\n\n" + receipt2);
}

// A tape that cannot take a receipt stops the printer before its memory
// changes, like a printer out of paper; once the tape is back it works on.
TEST_F(PrinterMemoryTest, ATapeThatCannotBeWrittenRefusesTheChangeUntilItIsBack) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
    ASSERT_TRUE(close(printer, plainSale(3), answer));
    std::string tape = readFile(files_.tape);
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "B", "Prato", 12.5));

    std::filesystem::remove(files_.tape);
    std::filesystem::create_directory(files_.tape);
    std::string memory = readFile(files_.state);
    EXPECT_FALSE(close(printer, plainSale(12.5), answer));
    EXPECT_NE(printer.status().lastRefusal.find(files_.tape.string()), std::string::npos)
        << printer.status().lastRefusal;
    EXPECT_NE(printer.status().lastRefusal.find("Is a directory"), std::string::npos);
    EXPECT_FALSE(cancel(printer, answer));
    EXPECT_FALSE(sell(printer, "C", "Suco", 4.0));
    EXPECT_EQ(readFile(files_.state), memory);  // nothing changed
    EXPECT_TRUE(printer.status().couponOpen);
    EXPECT_EQ(printer.status().grandTotalCents, 300);

    std::filesystem::remove(files_.tape);
    writeFile(files_.tape, tape);
    ASSERT_TRUE(close(printer, plainSale(12.5), answer));
    EXPECT_EQ(printer.status().grandTotalCents, 1550);
    EXPECT_EQ(readTapeReceipts(files_.tape).size(), 2u);
    EXPECT_EQ(lastReceiptNumberOnTape(files_.tape), 2);
}

// The tape fails after the memory took the change (or at the start after a
// crash): the receipt stays owed, no new change is made, and the first
// operation once the tape is back prints it before anything else.
TEST_F(PrinterMemoryTest, AnOwedReceiptIsPrintedFirstWhenTheTapeIsBack) {
    createPrinter();
    std::string tapeBefore;
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        tapeBefore = readFile(files_.tape);
        ASSERT_TRUE(cancel(printer, answer));
    }
    std::string owed = loadPrinterState(files_.state).lastReceipt->text;
    std::filesystem::remove(files_.tape);
    std::filesystem::create_directory(files_.tape);
    SimulatedPrinter printer = openPrinter();
    ASSERT_TRUE(printer.usable());
    EXPECT_NE(printer.status().tapeProblem.find("receipt 000001"), std::string::npos) << printer.status().tapeProblem;
    Variant packet, answer;
    EXPECT_FALSE(open(printer, packet));
    EXPECT_NE(printer.status().lastRefusal.find("AbreCupom: receipt 000001 is not on the tape yet"), std::string::npos)
        << printer.status().lastRefusal;
    EXPECT_FALSE(printer.status().couponOpen);

    std::filesystem::remove(files_.tape);
    writeFile(files_.tape, tapeBefore);
    ASSERT_TRUE(open(printer, packet));
    EXPECT_TRUE(printer.status().tapeProblem.empty());
    EXPECT_EQ(readFile(files_.tape), tapeBefore + owed);
    ASSERT_TRUE(sell(printer, "B", "Prato", 12.5));
    ASSERT_TRUE(close(printer, plainSale(12.5), answer));
    EXPECT_EQ(timesOnTape(files_.tape, 1), 1u);
    EXPECT_EQ(timesOnTape(files_.tape, 2), 1u);
}

// Each change of the memory is one flushed write, each receipt one flushed
// append; reading, refusing and starting with nothing owed flush nothing.
TEST_F(PrinterMemoryTest, FlushesPerOperation) {
    createPrinter();
    uint64_t at = durableWriteCount();
    auto flushes = [&] {
        uint64_t now = durableWriteCount(), n = now - at;
        at = now;
        return n;
    };
    SimulatedPrinter printer = openPrinter();
    EXPECT_EQ(flushes(), 0u);
    Variant packet, answer, date;
    ASSERT_TRUE(open(printer, packet));
    EXPECT_EQ(flushes(), 1u) << "AbreCupom";
    ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
    EXPECT_EQ(flushes(), 1u) << "VendaItem";
    EXPECT_FALSE(sell(printer, "A", "refused", 0.0));
    EXPECT_EQ(flushes(), 0u) << "a refusal";
    ASSERT_TRUE(close(printer, plainSale(3), answer));
    EXPECT_EQ(flushes(), 2u) << "FechaCupom: memory and tape";
    ASSERT_TRUE(grandTotal(printer));
    EXPECT_EQ(flushes(), 1u) << "Atu_TotGeral";
    ASSERT_TRUE(cancel(printer, answer));
    EXPECT_EQ(flushes(), 2u) << "Cancela_Cupom_Imp: memory and tape";
    EXPECT_TRUE(printer.VerificaData("ZEL", date, 0, "", 1));
    SimulatedPrinter again = openPrinter();
    EXPECT_EQ(flushes(), 0u) << "checks and a start with nothing owed";
}

}  // namespace
}  // namespace zel::ext::testing
