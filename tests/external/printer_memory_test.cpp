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
    // One coupon of one coffee at 3,00, opened, sold and closed.
    bool sellOneCoffee(DevicePackage& d, Variant& answer) {
        Variant packet;
        return open(d, packet) && sell(d, "A", "Café", 3.0) && close(d, plainSale(3), answer);
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
        ASSERT_TRUE(sellOneCoffee(printer, answer));
        ASSERT_TRUE(cancel(printer, answer));
    }
    rewriteMemory(files_.state, 1, [](json& body) {
        body["lastCoupon"].erase("items");
        body["lastCoupon"].erase("cancelledCents");
        body.erase("lastReceipt");
    });
    {
        SimulatedPrinter old = openPrinter();
        ASSERT_TRUE(old.usable()) << old.problem();
        EXPECT_TRUE(old.state().lastCoupon->items.empty());
        EXPECT_EQ(old.state().lastCoupon->cancelledCents, 300);  // a cancelled coupon's amount went to the total
        Variant packet;
        ASSERT_TRUE(open(old, packet));  // and it works on, journalling in the new format
        EXPECT_EQ(loadPrinterState(files_.state).open, old.state().open);
    }
    EXPECT_EQ(json::parse(readFile(files_.state))["version"], 2);  // written whole when closed
    EXPECT_FALSE(std::filesystem::exists(printerJournalPath(files_.state)));
}

TEST_F(PrinterMemoryTest, ItemsOfTheLastCouponAreCheckedLikeThoseOfTheOpenOne) {
    createPrinter();
    {
        SimulatedPrinter printer = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(sellOneCoffee(printer, answer));
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
        ASSERT_TRUE(sellOneCoffee(printer, answer));
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
    ASSERT_TRUE(sellOneCoffee(printer, answer));
    std::string tape = readFile(files_.tape);
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "B", "Prato", 12.5));

    std::filesystem::remove(files_.tape);
    std::filesystem::create_directory(files_.tape);
    PrinterState memory = loadPrinterState(files_.state);
    EXPECT_FALSE(close(printer, plainSale(12.5), answer));
    EXPECT_NE(printer.status().lastRefusal.find(files_.tape.string()), std::string::npos)
        << printer.status().lastRefusal;
    EXPECT_NE(printer.status().lastRefusal.find("Is a directory"), std::string::npos);
    EXPECT_FALSE(cancel(printer, answer));
    EXPECT_FALSE(sell(printer, "C", "Suco", 4.0));
    EXPECT_EQ(loadPrinterState(files_.state), memory);  // nothing changed
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

// Only the changes that the station records elsewhere are flushed, one
// durable write each: the closing and the cancellation; their receipts wait
// for the tape's flush when the printer is closed, with the memory written
// whole. Reading, refusing and starting with nothing owed flush nothing.
TEST_F(PrinterMemoryTest, FlushesPerOperation) {
    createPrinter();
    uint64_t at = durableWriteCount();
    auto flushes = [&] {
        uint64_t now = durableWriteCount(), n = now - at;
        at = now;
        return n;
    };
    {
        SimulatedPrinter printer = openPrinter();
        EXPECT_EQ(flushes(), 0u);
        Variant packet, answer, date;
        ASSERT_TRUE(open(printer, packet));
        EXPECT_EQ(flushes(), 0u) << "AbreCupom";
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        ASSERT_TRUE(sell(printer, "B", "Suco", 4.0));
        EXPECT_EQ(flushes(), 0u) << "VendaItem";
        EXPECT_FALSE(sell(printer, "A", "refused", 0.0));
        EXPECT_EQ(flushes(), 0u) << "a refusal";
        ASSERT_TRUE(close(printer, plainSale(7), answer));
        EXPECT_EQ(flushes(), 1u) << "FechaCupom";
        ASSERT_TRUE(grandTotal(printer));
        EXPECT_EQ(flushes(), 0u) << "Atu_TotGeral";
        EXPECT_NE(readFile(files_.grandTotal).find("grandTotal = 7,00"), std::string::npos);
        ASSERT_TRUE(cancel(printer, answer));
        EXPECT_EQ(flushes(), 1u) << "Cancela_Cupom_Imp";
        EXPECT_TRUE(printer.VerificaData("ZEL", date, 0, "", 1));
        EXPECT_EQ(flushes(), 0u) << "a check";
    }
    EXPECT_EQ(flushes(), 2u) << "closing: the tape flushed and the memory written whole";
    SimulatedPrinter again = openPrinter();
    EXPECT_EQ(flushes(), 0u) << "a start with nothing owed";
}

// A copy of the station's printer files taken while a printer works: what a
// crash of the process (the copy of what the system holds) or a power cut (a
// copy cut back to what was flushed) leaves to the next start.
class PrinterJournalTest : public PrinterMemoryTest {
  protected:
    std::filesystem::path journal() const { return printerJournalPath(files_.state); }
    SimulatedPrinterFiles crashCopy(const std::string& name) {
        std::filesystem::path dir = files_.state.parent_path() / name;
        std::filesystem::create_directories(dir);
        SimulatedPrinterFiles copy = SimulatedPrinterFiles::inStation(dir);
        for (auto [from, to] : {std::pair{files_.state, copy.state}, std::pair{files_.tape, copy.tape},
                                std::pair{journal(), printerJournalPath(copy.state)}})
            if (std::filesystem::exists(from))
                std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
        return copy;
    }
    SimulatedPrinter openOn(const SimulatedPrinterFiles& f) {
        return SimulatedPrinter(f, clock_, FormatSettings::brazil());
    }
};

TEST_F(PrinterJournalTest, ACrashMidSaleLeavesTheOpenCouponWithItsItemsToTheNextStart) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(sellOneCoffee(printer, answer));
    ASSERT_TRUE(open(printer, packet));
    ASSERT_TRUE(sell(printer, "B", "Prato", 12.5));
    ASSERT_TRUE(sell(printer, "C", "Suco", 4.0));
    EXPECT_EQ(loadPrinterState(files_.state), printer.state());  // the journal is read with the state file

    SimulatedPrinterFiles copy = crashCopy("crash");
    SimulatedPrinter next = openOn(copy);
    ASSERT_TRUE(next.usable()) << next.problem();
    EXPECT_EQ(next.state(), printer.state());
    ASSERT_TRUE(next.status().couponOpen);
    EXPECT_EQ(next.status().openItems, 2u);
    EXPECT_EQ(readFile(copy.tape), readFile(files_.tape));  // nothing owed to the tape
    ASSERT_TRUE(cancel(next, answer));                      // recovery cancels it, from the memory alone
    EXPECT_EQ(next.state().lastCoupon->items.size(), 2u);
    EXPECT_EQ(next.state().cancelTotalCents, 1650);
}

// Each record is the memory as the state file writes it (keys in order, texts
// escaped), whatever the texts hold; it reads back equal.
TEST_F(PrinterJournalTest, ARecordIsTheMemoryAsTheStateFileWritesIt) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(open(printer, packet, "123", "Zé \"Aspas\" \\ barra\ttab\x01\r\n fim"));
    ASSERT_TRUE(sell(printer, "A/1", "Café \u00e7 \xe2\x82\xac", 3.0));
    ASSERT_TRUE(close(printer, plainSale(3), answer));
    ASSERT_TRUE(open(printer, packet));
    std::string records = readFile(journal());
    size_t lines = 0;
    for (size_t from = 0, end; (end = records.find('\n', from)) != std::string::npos; from = end + 1, ++lines) {
        std::string line = records.substr(from, end - from);
        size_t body = line.find(' ', line.find(' ') + 1) + 1;
        ASSERT_GT(body, 0u);
        json parsed = json::parse(line.substr(body));
        EXPECT_EQ(line.substr(body), parsed.dump(-1, ' ', false, json::error_handler_t::replace)) << "record " << lines;
    }
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(loadPrinterState(files_.state), printer.state());
    EXPECT_EQ(loadPrinterState(files_.state).lastCoupon->items[0].description, "Café \u00e7 \xe2\x82\xac");
}

// The tape is flushed when the memory is written whole, not with every
// receipt: a power cut may take several receipts off it, and the journal
// holds every one of them.
TEST_F(PrinterJournalTest, ReceiptsAPowerCutTookOffTheTapeArePrintedAgainInOrder) {
    createPrinter();
    std::string tapeBefore;
    {
        SimulatedPrinter first = openPrinter();
        Variant packet, answer;
        ASSERT_TRUE(open(first, packet));
        ASSERT_TRUE(sell(first, "A", "Café", 3.0));
        ASSERT_TRUE(close(first, plainSale(3), answer));
    }
    tapeBefore = readFile(files_.tape);  // receipt 1, flushed when the printer was closed
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    for (double price : {12.5, 4.0}) {
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "B", "Prato", price));
        ASSERT_TRUE(close(printer, plainSale(price), answer));
    }
    ASSERT_TRUE(cancel(printer, answer));
    std::string whole = readFile(files_.tape);

    SimulatedPrinterFiles copy = crashCopy("power-cut");
    writeFile(copy.tape, tapeBefore);  // receipts 2, 3 and 4 were never flushed
    {
        SimulatedPrinter next = openOn(copy);
        ASSERT_TRUE(next.usable()) << next.problem();
        EXPECT_TRUE(next.status().tapeProblem.empty()) << next.status().tapeProblem;
        EXPECT_EQ(readFile(copy.tape), whole);
    }
    // Cut in the middle of receipt 3: receipts 3 and 4 follow what is left of it.
    ASSERT_EQ(readTapeReceipts(files_.tape).size(), 4u);
    size_t cut = whole.find("SEQ. FITA: 000003");
    ASSERT_NE(cut, std::string::npos);
    copy = crashCopy("cut");
    writeFile(copy.tape, whole.substr(0, cut));
    openOn(copy);
    EXPECT_EQ(lastReceiptNumberOnTape(copy.tape), 4);
    EXPECT_EQ(timesOnTape(copy.tape, 2), 1u);
    EXPECT_EQ(timesOnTape(copy.tape, 3), 1u);
    EXPECT_EQ(timesOnTape(copy.tape, 4), 1u);
    size_t third = whole.rfind("\n\n", cut) + 2;
    EXPECT_EQ(readFile(copy.tape), whole.substr(0, cut) + whole.substr(third));
}

// The last record a crash cut short is no part of the memory and goes before
// the next one is appended; a whole record that does not match its checksum
// makes the printer unusable, as a damaged state file does.
TEST_F(PrinterJournalTest, ARecordCutShortIsLeftOutAndADamagedOneRefused) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    ASSERT_TRUE(open(printer, packet));
    PrinterState opened = printer.state();
    ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
    // The records, then zeros: room made ahead of them, which is no record.
    std::string file = readFile(journal());
    std::string records = file.substr(0, file.find_last_not_of('\0') + 1);
    ASSERT_GT(file.size(), records.size());
    size_t firstEnd = records.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    ASSERT_EQ(records.size(), records.find('\n', firstEnd + 1) + 1);  // two records, one per change
    StoredPrinterMemory whole = loadPrinterMemory(files_.state);
    EXPECT_FALSE(whole.cutShort);
    EXPECT_EQ(whole.records, 2u);
    EXPECT_EQ(whole.journalBytes, records.size());

    // Cut short, with the room after it (a crash in the middle of a record
    // written over the room) or without it (one that grew the file).
    for (bool room : {false, true}) {
        SimulatedPrinterFiles copy = crashCopy(room ? "cut-short-room" : "cut-short");
        std::string cut = records.substr(0, records.size() - 40);
        writeFile(printerJournalPath(copy.state), room ? cut + std::string(file.size() - cut.size(), '\0') : cut);
        StoredPrinterMemory m = loadPrinterMemory(copy.state);
        EXPECT_TRUE(m.cutShort);
        EXPECT_EQ(m.records, 1u);
        EXPECT_EQ(m.state, opened);
        {
            SimulatedPrinter next = openOn(copy);
            ASSERT_TRUE(next.usable()) << next.problem();
            EXPECT_EQ(next.status().openItems, 0u);
            ASSERT_TRUE(sell(next, "B", "Prato", 12.5));
            StoredPrinterMemory after = loadPrinterMemory(copy.state);
            EXPECT_FALSE(after.cutShort);
            EXPECT_EQ(after.records, 2u);
            EXPECT_EQ(after.state, next.state());
        }
        EXPECT_FALSE(std::filesystem::exists(printerJournalPath(copy.state)));  // written whole when closed
        EXPECT_EQ(loadPrinterState(copy.state).open->items.size(), 1u);
    }
    SimulatedPrinterFiles copy = crashCopy("damaged");
    std::string damaged = records;
    size_t price = damaged.find("\"unitPriceCents\":300");
    ASSERT_NE(price, std::string::npos);
    damaged[price + 17] = '9';
    writeFile(printerJournalPath(copy.state), damaged);
    SimulatedPrinter refused = openOn(copy);
    EXPECT_FALSE(refused.usable());
    EXPECT_NE(refused.problem().find(printerJournalPath(copy.state).string()), std::string::npos) << refused.problem();
    EXPECT_NE(refused.problem().find("record 2 does not match its checksum"), std::string::npos) << refused.problem();
    EXPECT_THROW(open(refused, packet), PrinterStateError);
    EXPECT_EQ(readFile(printerJournalPath(copy.state)), damaged);  // never reset

    copy = crashCopy("other-printer");
    PrinterSetup other = standardSetup();
    other.identity.serial = "ZL999";
    std::filesystem::remove(copy.state);
    SimulatedPrinter::create(copy, other);
    writeFile(printerJournalPath(copy.state), records);
    SimulatedPrinter foreign = openOn(copy);
    EXPECT_FALSE(foreign.usable());
    EXPECT_NE(foreign.problem().find("is of printer ZL0123456789"), std::string::npos) << foreign.problem();
}

// A long day: the journal is written whole into the state file once it holds
// a MiB, so it never grows far beyond; the memory and the tape stay whole.
// Its records are written over room made ahead of them, so that most flushes
// leave the file's length as it was.
TEST_F(PrinterJournalTest, TheJournalIsFoldedIntoTheStateFileAsItGrows) {
    createPrinter();
    SimulatedPrinter printer = openPrinter();
    Variant packet, answer;
    uint64_t largest = 0, length = 0;
    int lengthChanges = 0;
    const int sales = 150;
    for (int i = 0; i < sales; ++i) {
        ASSERT_TRUE(open(printer, packet));
        ASSERT_TRUE(sell(printer, "A", "Café", 3.0));
        ASSERT_TRUE(sell(printer, "B", "Prato", 12.5));
        ASSERT_TRUE(close(printer, plainSale(15.5), answer));
        uint64_t now = std::filesystem::exists(journal()) ? std::filesystem::file_size(journal()) : 0;
        if (now != length) ++lengthChanges;
        length = now;
        largest = std::max(largest, now);
    }
    EXPECT_LT(lengthChanges, sales / 4);
    EXPECT_GT(largest, 512u * 1024);
    EXPECT_LT(largest, 1024u * 1024 + 256 * 1024 + 16 * 1024);
    EXPECT_LT(loadPrinterMemory(files_.state).records, static_cast<size_t>(4 * sales));  // folded at least once
    EXPECT_EQ(loadPrinterState(files_.state), printer.state());
    EXPECT_EQ(printer.state().grandTotalCents, 1550 * sales);
    EXPECT_EQ(readTapeReceipts(files_.tape).size(), static_cast<size_t>(sales));
    EXPECT_EQ(lastReceiptNumberOnTape(files_.tape), sales);
}

}  // namespace
}  // namespace zel::ext::testing
