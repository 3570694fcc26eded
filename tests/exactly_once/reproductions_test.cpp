// The reported ways a passage got charged twice, lost, or left unaccounted,
// each reproduced on its own and followed by a clean run.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <fstream>
#include <thread>

#include "exactly_once/campaign.h"
#include "external/printer/printer_state.h"

namespace zel::eo {
namespace {

using nlohmann::json;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

json parseReport(const ProgramResult& r) {
    // The JSON is the last thing printed; anything before it is progress.
    size_t start = r.output.find("{\n");
    if (start == std::string::npos) start = r.output.find('{');
    if (start == std::string::npos) return json();
    try {
        return json::parse(r.output.substr(start));
    } catch (const std::exception&) {
        return json();
    }
}

ext::PrinterState printer(const TestStation& s) { return ext::loadPrinterState(s.dir() / "printer-state.json"); }

// Trigger that makes every insert into every table fail.
void failEveryInsert(const fs::path& db, bool on) {
    for (const auto& r :
         query(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")) {
        std::string t = r[0].value_or("");
        if (on)
            exec(db, fmt::format("CREATE TRIGGER EO_RO_{0} BEFORE INSERT ON {0} BEGIN "
                                 "SELECT RAISE(ABORT, 'attempt to write a readonly database'); END",
                                 t));
        else exec(db, fmt::format("DROP TRIGGER IF EXISTS EO_RO_{}", t));
    }
}

class Reproduction : public Campaign {};

// (1) The delete of one passage's turnstile row fails after its sale was
// stored; the next run must not charge that passage again.
TEST_F(Reproduction, TurnstileRowDeleteFailsForOnePassage) {
    makeStation(3);
    const PassageRow& p = passages()[1];
    exec(station().db(), "CREATE TRIGGER EO_KEEP BEFORE DELETE ON LOGCATRACA WHEN OLD.NRSEQLOGCAT = " +
                             sqlText(p.number) + " BEGIN SELECT RAISE(ABORT, 'database is locked'); END");
    station().run("first");
    exec(station().db(), "DROP TRIGGER EO_KEEP");
    cleanRunAndCheck("reproductions");
    EXPECT_EQ(standingSalesFor(station().dir(), p), 1);
    EXPECT_FALSE(passagePending(station().dir(), p));
}

// (2) Two runs of one station at the same moment.
TEST_F(Reproduction, TwoRunsAtOnce) {
    makeStation(6);
    Child a = station().startRun("a");
    Child b = station().startRun("b");
    finish(a);
    finish(b);
    cleanRunAndCheck("reproductions");
    for (const PassageRow& p : passages()) EXPECT_LE(standingSalesFor(station().dir(), p), 1) << p.name;
}

// (3) A crash right after an item was sold: the cancellation recorded by the
// next run holds the items and the amount the printer cancelled.
class CrashAfterItem : public Campaign, public ::testing::WithParamInterface<int> {};

TEST_P(CrashAfterItem, RecordedCancellationIsWhatThePrinterCancelled) {
    makeStation(3);
    station().setKey("crash.after.VendaItem", std::to_string(GetParam()));
    ProgramResult crashed = station().run("crashed");
    if (crashed.status != 128 + SIGKILL) {
        // The batch sells fewer items: nothing to cancel, but the run must still be sound.
        cleanRunAndCheck("reproductions");
        return;
    }
    ext::PrinterState atCrash = printer(station());
    ASSERT_TRUE(atCrash.open.has_value()) << "the crash after an item left no coupon open";
    const ext::OpenCoupon open = *atCrash.open;
    cleanRunAndCheck("reproductions");

    ext::PrinterState after = printer(station());
    int64_t cancelledOnPrinter = after.cancelTotalCents - atCrash.cancelTotalCents;
    EXPECT_EQ(cancelledOnPrinter, open.subtotalCents()) << "the printer cancelled something else than the open coupon";
    Rows rec =
        query(station().db(),
              "SELECT V.VRTOTVENDA, (SELECT COUNT(*) FROM ITEMVENDA I WHERE I.CDFILIAL = V.CDFILIAL AND "
              "I.CDCAIXA = V.CDCAIXA AND I.NRSEQVENDA = V.NRSEQVENDA) FROM VENDACUPOM VC JOIN VENDA V ON "
              "V.CDFILIAL = VC.CDFILIAL AND V.CDCAIXA = VC.CDCAIXA AND V.NRSEQVENDA = VC.NRSEQVENDA "
              "WHERE VC.NRSERIEIMP = " +
                  sqlText(atCrash.identity.serial) + " AND VC.NRCUPOMFIS = " + sqlText(ext::sixDigits(open.cupNr)) +
                  " AND VC.DTHRCANCEL IS NOT NULL");
    ASSERT_EQ(rec.size(), 1u) << "coupon " << ext::sixDigits(open.cupNr) << " was cancelled but not recorded";
    EXPECT_EQ(cents(std::stod(rec[0][0].value_or("0"))), open.subtotalCents());
    EXPECT_EQ(std::stoi(rec[0][1].value_or("0")), static_cast<int>(open.items.size()));
    // The lines name the station's products, not the codes and texts printed
    // on the coupon (bar code, "NCM#name").
    Rows lines =
        query(station().db(),
              "SELECT I.CDPRODUTO, C.NMPRODUTO FROM VENDACUPOM VC JOIN ITEMVENDA I ON I.CDFILIAL = VC.CDFILIAL "
              "AND I.CDCAIXA = VC.CDCAIXA AND I.NRSEQVENDA = VC.NRSEQVENDA JOIN ITEMVENDACUPOM C ON "
              "C.CDFILIAL = I.CDFILIAL AND C.CDCAIXA = I.CDCAIXA AND C.NRSEQVENDA = I.NRSEQVENDA AND "
              "C.NRSEQITVEND = I.NRSEQITVEND WHERE VC.NRSERIEIMP = " +
                  sqlText(atCrash.identity.serial) + " AND VC.NRCUPOMFIS = " + sqlText(ext::sixDigits(open.cupNr)));
    ASSERT_EQ(lines.size(), open.items.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i][1].value_or("").find('#'), std::string::npos) << lines[i][1].value_or("");
        EXPECT_GT(number(station().db(),
                         "SELECT COUNT(*) FROM ITEMVENDA I JOIN VENDA V ON V.CDFILIAL = I.CDFILIAL AND "
                         "V.CDCAIXA = I.CDCAIXA AND V.NRSEQVENDA = I.NRSEQVENDA WHERE V.IDSITUVENDA "
                         "= 'O' AND I.CDPRODUTO = " +
                             sqlText(lines[i][0].value_or(""))),
                  0)
            << "product " << lines[i][0].value_or("") << " is not one the station sells";
    }
}

INSTANTIATE_TEST_SUITE_P(Index, CrashAfterItem, ::testing::Range(1, 4));

// (4) A crash right after the printer cancelled a coupon, before the
// cancellation was recorded: the next run records it.
TEST_F(Reproduction, CrashAfterCancellationIsRecordedByTheNextRun) {
    makeStation(3);
    // The first consumer's coupon cannot be closed, so it is cancelled.
    station().setKey("printer.fault.FechaCupom", "error@1");
    station().setKey("crash.after.Cancela_Cupom_Imp", "1");
    ProgramResult crashed = station().run("crashed");
    ASSERT_EQ(crashed.status, 128 + SIGKILL) << crashed.output;
    ext::PrinterState atCrash = printer(station());
    ASSERT_TRUE(atCrash.lastCoupon && atCrash.lastCoupon->cancelled) << "the printer cancelled nothing";
    int64_t coupon = atCrash.lastCoupon->cupNr;
    cleanRunAndCheck("reproductions");
    EXPECT_EQ(number(station().db(),
                     "SELECT COUNT(*) FROM VENDACUPOM WHERE NRSERIEIMP = " + sqlText(atCrash.identity.serial) +
                         " AND NRCUPOMFIS = " + sqlText(ext::sixDigits(coupon)) + " AND DTHRCANCEL IS NOT NULL"),
              1)
        << "the cancellation of coupon " << ext::sixDigits(coupon) << " is not recorded";
}

// (5) The tape cannot be written for one run: every coupon that went into the
// grand total is on the tape in the end.
TEST_F(Reproduction, TapeUnwritableForOneRun) {
    makeStation(3);
    fs::path tape = station().dir() / "printer-tape.txt";
    fs::path kept = base() / "tape-before.txt";
    if (fs::exists(tape)) fs::rename(tape, kept);
    fs::create_directory(tape);
    station().run("no-tape");
    fs::remove_all(tape);
    if (fs::exists(kept)) fs::rename(kept, tape);
    cleanRunAndCheck("reproductions");

    ext::PrinterState after = printer(station());
    int64_t onTape = 0;
    for (const TapeReceipt& r : readTape(station().dir()))
        if (!r.cancellation && r.coupon > snapshot().cupNr && r.totalCents > 0) onTape += r.totalCents;
    EXPECT_EQ(after.grandTotalCents - snapshot().grandTotalCents, onTape)
        << "the grand total grew by coupons that are not on the tape";
}

// (6) The printer's memory is put back from an older copy: the station must
// refuse to run rather than reuse coupon numbers.
TEST_F(Reproduction, PrinterMemoryPutBackFromAnOlderCopy) {
    makeStation(4);
    fs::path state = station().dir() / "printer-state.json";
    fs::path copy = base() / "printer-state.copy.json";
    fs::copy_file(state, copy);
    // Three charged, the fourth left pending by a refused opening.
    station().setKey("printer.fault.AbreCupom", "false@4");
    station().run("first");
    station().dropKeysStarting("printer.fault.");
    fs::copy_file(copy, state, fs::copy_options::overwrite_existing);

    ProgramResult again = station().run("after-restore");
    EXPECT_EQ(again.status, 2) << again.output;
    std::string out = lower(again.output);
    EXPECT_TRUE(out.find("printer-state.json") != std::string::npos ||
                out.find("printer memory") != std::string::npos || out.find("printer's memory") != std::string::npos)
        << "the refusal does not name the printer memory: " << again.output;
    // The refused run may leave what it found; the passages must be sound.
    CheckReport r = checkStation(station().dir(), snapshot(), CheckOptions{false});
    int told = 0;
    for (const std::string& v : r.violations)
        if (v.find("passage") != std::string::npos || v.find("charged") != std::string::npos) {
            ADD_FAILURE() << v;
            ++told;
        }
    for (const PassageRow& p : passages()) EXPECT_LE(standingSalesFor(station().dir(), p), 1) << p.name;
    tally("reproductions", told);
}

// (7) A closing that fails on the third consumer and a cancellation that fails
// once: the import record is credited with exactly the sales made.
TEST_F(Reproduction, ClosingAndCancellationFailImportCreditExact) {
    makeStation(3);
    station().setKey("printer.fault.FechaCupom", "error@3");
    station().setKey("printer.fault.Cancela_Cupom_Imp", "error@1");
    station().run("faulty");
    cleanRunAndCheck("reproductions");
    const std::string record = passages()[0].record;
    int charged = 0;
    for (const PassageRow& p : passages())
        if (standingSalesFor(station().dir(), p) == 1) ++charged;
    EXPECT_EQ(number(station().db(),
                     "SELECT IFNULL(NRVENDAGERADA, 0) FROM LOGCATRACAPK WHERE NRSEQARQIMPK = " + sqlText(record)) -
                  static_cast<double>(snapshot().credits.count(record) ? snapshot().credits.at(record) : 0),
              charged);
}

// (8) The run's journal lost after a crash that followed the storing of a sale.
class JournalLost : public Campaign, public ::testing::WithParamInterface<bool> {};

TEST_P(JournalLost, AfterACrashAfterStoringEachPassageIsChargedOnce) {
    makeStation(3);
    station().setKey("crash.after.SetConcluiFechamento", "2");
    ProgramResult crashed = station().run("crashed");
    ASSERT_EQ(crashed.status, 128 + SIGKILL) << crashed.output;
    fs::path journal = station().dir() / "run-journal.json";
    if (GetParam()) fs::remove(journal);
    else std::ofstream(journal, std::ios::trunc);
    cleanRunAndCheck("reproductions");
    for (const PassageRow& p : passages()) {
        EXPECT_EQ(standingSalesFor(station().dir(), p), 1) << p.name;
        EXPECT_FALSE(passagePending(station().dir(), p)) << p.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Journal, JournalLost, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Deleted" : "Emptied"; });

// (9) The database refuses every insert during a run: the coupons printed and
// cancelled then are recorded by a later clean run.
TEST_F(Reproduction, DatabaseReadOnlyDuringARun) {
    makeStation(3);
    failEveryInsert(station().db(), true);
    station().run("read-only");
    failEveryInsert(station().db(), false);
    cleanRunAndCheck("reproductions");
}

// (10) What run --json tells of each passage.
TEST_F(Reproduction, JsonReportsACancelledCouponAsCancelled) {
    makeStation(3);
    // The second consumer's coupon cannot be closed and is cancelled.
    station().setKey("printer.fault.FechaCupom", "error@2");
    ProgramResult r = station().run("faulty");
    json report = parseReport(r);
    ASSERT_TRUE(report.is_object()) << r.output;
    int cancelledOnTape = 0;
    for (const TapeReceipt& t : readTape(station().dir()))
        if (t.cancellation && t.coupon > snapshot().cupNr) ++cancelledOnTape;
    ASSERT_GE(cancelledOnTape, 1) << "no coupon was cancelled on the printer";
    int cancelled = 0, refused = 0;
    for (const json& p : report["passages"]) {
        if (p.value("outcome", "") == "cancelled") ++cancelled;
        if (p.value("outcome", "") == "refused") ++refused;
    }
    EXPECT_EQ(cancelled, cancelledOnTape) << report.dump(2);
    cleanRunAndCheck("reproductions");
}

TEST_F(Reproduction, JsonLeavesNoSilentPendingAfterAClosingAnsweredFalse) {
    makeStation(3);
    station().setKey("printer.fault.FechaCupom", "false@1");
    ProgramResult r = station().run("faulty");
    json report = parseReport(r);
    ASSERT_TRUE(report.is_object()) << r.output;
    ASSERT_EQ(report["passages"].size(), 3u) << report.dump(2);
    for (size_t i = 1; i < report["passages"].size(); ++i) {
        const json& p = report["passages"][i];
        if (p.value("outcome", "") == "pending") {
            EXPECT_FALSE(p["messages"].empty()) << "passage " << i + 1 << " is pending without a word: " << p.dump();
        }
    }
    cleanRunAndCheck("reproductions");
}

// (11) Money: the stored cash movement, the sale's total and what the tape
// printed agree to the cent, on the demo's whole day.
TEST_F(Reproduction, CashMovementSaleTotalAndTapeAgreeToTheCent) {
    makeStation(0);
    station().run("day");
    cleanRunAndCheck("reproductions");
    std::map<std::string, TapeReceipt> tape;
    for (const TapeReceipt& t : readTape(station().dir()))
        if (!t.cancellation) tape[ext::sixDigits(t.coupon)] = t;
    Rows sales = query(station().db(),
                       "SELECT VC.NRCUPOMFIS, V.VRTOTVENDA, VC.VRTOTCLIENTE, (SELECT SUM(M.VRMOVIVEND) FROM MOVCAIXA M "
                       "WHERE M.CDFILIAL = V.CDFILIAL AND M.CDCAIXA = V.CDCAIXA AND M.NRSEQVENDA = V.NRSEQVENDA), "
                       "(SELECT SUM(ROUND(I.QTPRODVEND * I.VRUNITVEND * 1000) - ROUND(I.QTPRODVEND * I.VRUNITVEND * "
                       "100) * 10) FROM ITEMVENDA I WHERE I.CDFILIAL = V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND "
                       "I.NRSEQVENDA = V.NRSEQVENDA) FROM VENDA V JOIN VENDACUPOM VC ON VC.CDFILIAL = V.CDFILIAL AND "
                       "VC.CDCAIXA = V.CDCAIXA AND VC.NRSEQVENDA = V.NRSEQVENDA WHERE V.IDSITUVENDA = 'O' AND "
                       "VC.DTHRCANCEL IS NULL");
    ASSERT_FALSE(sales.empty());
    int thirdDecimal = 0;
    for (const auto& s : sales) {
        const std::string coupon = s[0].value_or("");
        int64_t total = cents(std::stod(s[1].value_or("0")));
        int64_t cash = cents(std::stod(s[3].value_or("0")));
        if (s[4] && std::stod(*s[4]) != 0) ++thirdDecimal;
        EXPECT_EQ(cash, total) << "coupon " << coupon << ": cash movement and sale total differ";
        auto t = tape.find(coupon);
        if (t == tape.end()) {
            ADD_FAILURE() << "coupon " << coupon << " is not on the tape";
            continue;
        }
        int64_t paid = 0;
        for (const auto& [form, amount] : t->second.payments)
            if (form != "Parte da empresa" && form != "TROCO R$") paid += amount;
        EXPECT_EQ(paid, cash) << "coupon " << coupon << ": the tape's payment differs from the cash movement";
        int64_t client = cents(std::stod(s[2].value_or("0")));
        EXPECT_EQ(t->second.totalCents, total + client)
            << "coupon " << coupon << ": the tape's total differs from the sale's total and the client's part";
    }
    std::cout << sales.size() << " sales, " << thirdDecimal << " with amounts of a third decimal\n";
}

}  // namespace
}  // namespace zel::eo

namespace zel::eo {
namespace {

// A turnstile feeds a station that is charging: `import` takes no lock, writes
// its passages in one transaction beside the run, and every passage it wrote
// is charged once by the runs that follow.
class ImportBesideRun : public Campaign {};

TEST_F(ImportBesideRun, EveryImportedPassageIsChargedOnce) {
    makeStation(0);
    Rows codes = query(station().db(), "SELECT CDIDCONSUMID FROM CONSUMIDOR ORDER BY CDIDCONSUMID LIMIT 6");
    ASSERT_FALSE(codes.empty());
    fs::path file = base() / "late.csv";
    {
        std::ofstream out(file);
        int minute = 0;
        for (const auto& c : codes) out << c[0].value_or("") << ";2026-03-16;12:" << 10 + minute++ << ":07\n";
    }
    Child run = station().startRun("beside");
    ProgramResult imported = program({"import", station().dir().string(), file.string()}, base() / "import.out");
    finish(run);
    EXPECT_EQ(imported.status, 0) << imported.output;
    std::string record = scalar(station().db(), "SELECT MAX(CAST(NRSEQARQIMPK AS INTEGER)) FROM LOGCATRACAPK");
    adoptImportRecord(record);
    cleanRunAndCheck("import beside a run");
    // Every passage of the file is charged (in the ledger) or still pending
    // (refused by the service), none lost, and the record credited with the
    // charged ones.
    double charged =
        number(station().db(), "SELECT COUNT(*) FROM VENDAPASSAGEM WHERE NRSEQARQIMP = " + sqlText(record));
    double pending = number(station().db(), "SELECT COUNT(*) FROM LOGCATRACA WHERE NRSEQARQIMP = " + sqlText(record));
    EXPECT_GT(charged, 0);
    EXPECT_EQ(charged + pending, static_cast<double>(codes.size()));
    EXPECT_EQ(number(station().db(), "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = " + sqlText(record)),
              charged);
    // Never two standing sales for one passage, whichever process wrote it.
    EXPECT_EQ(number(station().db(),
                     "SELECT COUNT(*) FROM (SELECT V.CDCONSUMIDOR, VC.DTHRPASSAGEM FROM VENDACUPOM VC JOIN VENDA V ON "
                     "V.CDFILIAL = VC.CDFILIAL AND V.CDCAIXA = VC.CDCAIXA AND V.NRSEQVENDA = VC.NRSEQVENDA WHERE "
                     "V.IDSITUVENDA = 'O' AND VC.DTHRCANCEL IS NULL GROUP BY V.CDCONSUMIDOR, VC.DTHRPASSAGEM HAVING "
                     "COUNT(*) > 1)"),
              0);
}

// A second run while one charges is refused at once, exit 2, naming the holder.
TEST_F(ImportBesideRun, ASecondRunIsRefusedWithTheHolderNamed) {
    makeStation(0);
    Child first = station().startRun("first");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ProgramResult second = station().run("second");
    ProgramResult done = finish(first);
    if (second.status == 2) {
        EXPECT_NE(second.output.find("is in use by pid"), std::string::npos) << second.output;
    } else {
        // The first had already ended: then the second ran after it.
        EXPECT_EQ(done.status == 0 || done.status == 1, true);
    }
    cleanRunAndCheck("two runs at once");
}

}  // namespace
}  // namespace zel::eo
