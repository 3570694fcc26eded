// What must hold in a station after any run, however the run ended: each
// turnstile passage charged at most once and never lost, every coupon the
// printer numbered accounted for, balances and import credits that add up,
// and nothing left behind. The checker reads the station's files and database
// directly (never through the program) and compares them with a snapshot
// taken before the runs under test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace zel::eo {

namespace fs = std::filesystem;

// A pending turnstile passage as LOGCATRACA holds it.
struct PassageRow {
    std::string branch;     // CDFILIAL
    std::string number;     // NRSEQLOGCAT
    std::string register_;  // CDCAIXA
    std::string consumer;   // CDCONSUMIDOR
    std::string client;     // CDCLIENTE
    std::string name;       // NMCONSUMIDOR
    std::string record;     // NRSEQARQIMP, the import record
    std::string moment;     // 'YYYY-MM-DD HH:MM:SS' from DATAREAL and HORAREAL
};

// A sale by its key (CDFILIAL, CDCAIXA, NRSEQVENDA).
using SaleKey = std::tuple<std::string, std::string, std::string>;
// A balance by (CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD).
using BalanceKey = std::tuple<std::string, std::string, std::string>;

struct Snapshot {
    std::vector<PassageRow> passages;
    std::map<BalanceKey, int64_t> balancesCents;
    std::map<std::string, int64_t> credits;  // NRSEQARQIMPK -> NRVENDAGERADA (null as 0)
    std::map<SaleKey, bool> sales;           // every sale then, true when it stood
    int64_t cupNr = 0;                       // the printer's last coupon number
    int64_t cancelTotalCents = 0;            // the printer's total of cancellations
    int64_t grandTotalCents = 0;             // the printer's grand total
    std::string serial;                      // the printer's serial number
};

// Takes the snapshot of a station that no program is running on.
Snapshot takeSnapshot(const fs::path& station);

struct CheckOptions {
    // After a clean run nothing may stay open or half done: no open coupon,
    // no item file, no journal of a run.
    bool afterCleanRun = true;
};

struct CheckReport {
    std::vector<std::string> violations;  // one readable line each
    std::vector<std::string> undecided;   // what the checker could not tell from the station
    bool ok() const { return violations.empty(); }
    std::string text() const;  // every line, for a test's failure message
};

CheckReport checkStation(const fs::path& station, const Snapshot& before, const CheckOptions& options = {});

// ---- pieces the tests use on their own

// Standing sales (VENDA 'O' with a coupon not cancelled) that charge the passage.
int standingSalesFor(const fs::path& station, const PassageRow& passage);
// Whether the passage's LOGCATRACA row is still there.
bool passagePending(const fs::path& station, const PassageRow& passage);

// The receipts of the printer's tape, by kind and coupon number.
struct TapeReceipt {
    bool cancellation = false;
    int64_t coupon = 0;                                     // COO (for a cancellation: the coupon cancelled)
    int64_t totalCents = -1;                                // TOTAL R$ or VALOR CANCELADO R$; -1 when not printed
    std::vector<std::pair<std::string, int64_t>> payments;  // lines between TOTAL and the consumer
};
std::vector<TapeReceipt> readTape(const fs::path& station);

// "1.234,56" -> 123456; false when the text is no amount of the tape.
bool parseTapeMoney(const std::string& text, int64_t& cents);

}  // namespace zel::eo
