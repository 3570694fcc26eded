// The memory of the simulated fiscal printer: identity, programmed tax rates,
// counters and totals, the coupon in progress, the last finished coupon with
// its items and the last receipt (which the tape must end with). It is the
// fiscal record: the tape and the station's files follow it.
//
// It is kept in two files of the station: the state file, the whole memory
// written atomically now and then, and its journal, to which each change
// appends one record holding the whole memory after the change. The newest
// whole record of the journal is the memory; without one, the state file is.
// A change is one append; flushing it is the caller's choice (a change that
// nothing else refers to yet may wait for the next flushed one, which makes
// every earlier record durable with it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/datetime.h"
#include "platform/error.h"

namespace zel::ext {

// A printer state file that cannot be trusted. The printer refuses to work on
// it: resetting would reuse coupon numbers.
class PrinterStateError : public Error {
  public:
    using Error::Error;
};

struct PrinterRate {
    std::string code;            // the printer's rate register, "01"
    int64_t rateHundredths = 0;  // 18,00 % is 1800
    std::string kind;            // "T" (state tax), "S" (service tax)

    bool operator==(const PrinterRate&) const = default;
};

struct PrinterIdentity {
    std::string serial;
    std::string model;
    std::string make;
    // The printer type as the station's parameters name it; types 16, 21, 26
    // and 30 take an item's rate from the product instead of a rate register.
    int32_t type = 1;
    // The printer's own date is the station's date moved by this many days.
    int32_t dateOffsetDays = 0;
    std::string saleAddress;  // given to the opening builder as dsEndeVenda

    bool operator==(const PrinterIdentity&) const = default;
};

// One item as the printer registered it; with the coupon's numbers it is all
// that a stored sale line needs from the printer.
struct CouponItem {
    int32_t number = 0;          // 1, 2, ... within the coupon
    std::string code;            // the item code the station sold it under (CODIGO: bar code, else CDARVPROD)
    std::string description;     // as printed (DESCRICAO: classification texts and product name)
    std::string unit;            // SGUNIDADE
    std::string rateCode;        // the rate register, "01"; empty on printers that take the product's rate
    std::string rateKind;        // "T" (state tax) or "S" (service tax), as the printer keeps it
    int64_t rateHundredths = 0;  // 18,00 % is 1800
    int64_t quantityMilli = 0;   // quantity in thousandths (1 is 1000)
    int64_t unitPriceCents = 0;  // the unit price, cut to the cent
    int64_t discountCents = 0;   // the item's discount, cut to the cent
    int64_t surchargeCents = 0;  // the item's surcharge, cut to the cent
    int64_t amountCents = 0;     // lineGrossCents(quantityMilli, unitPriceCents) - discount + surcharge

    bool operator==(const CouponItem&) const = default;
};

struct OpenCoupon {
    int64_t cupNr = 0;
    int64_t contCupom = 0;
    DateTime opened;
    std::string consumerName;
    std::string consumerCpf;
    std::vector<CouponItem> items;

    int64_t subtotalCents() const;
    bool operator==(const OpenCoupon&) const = default;
};

// The last coupon the printer finished: closed, or cancelled while open. Only a
// closed one that is not cancelled yet may still be cancelled. It keeps its
// items, so that a sale cancelled after a crash can be recorded from the
// printer alone.
struct ClosedCoupon {
    int64_t cupNr = 0;
    int64_t contCupom = 0;
    DateTime closed;
    int64_t totalCents = 0;
    std::string ident;  // the text FechaCupom answered
    bool cancelled = false;
    bool closedNormally = true;     // false when it was cancelled while open
    std::vector<CouponItem> items;  // empty only in a memory written before the printer kept them
    int64_t cancelledCents = 0;     // what the cancellation added to the cancellation total; 0 while not cancelled

    bool operator==(const ClosedCoupon&) const = default;
};

// The last receipt the printer printed, kept in the memory by the same write
// as the change it records. The tape must end with it: when a crash or a tape
// fault kept it off the tape, the printer appends it on its next start or
// operation. Only one receipt can be owed: the printer prints no new one
// before the tape holds this one.
struct LastReceipt {
    int64_t number = 0;  // receipts are numbered 1, 2, ... on the tape
    std::string text;    // exactly as it goes on the tape

    bool operator==(const LastReceipt&) const = default;
};

struct PrinterState {
    PrinterIdentity identity;
    std::vector<PrinterRate> rates;
    int64_t cupNr = 0;      // last coupon number given (six digits, 1 follows 999999)
    int64_t contCupom = 0;  // last coupon counter given
    int64_t grandTotalCents = 0;
    int64_t cancelTotalCents = 0;
    std::optional<OpenCoupon> open;
    std::optional<ClosedCoupon> lastCoupon;
    // The company's tax numbers of the last closing, for receipts printed
    // without a closing list (cancellations).
    std::string companyCnpj;
    std::string companyIe;
    std::optional<LastReceipt> lastReceipt;  // none before the first receipt

    bool operator==(const PrinterState&) const = default;
};

// Moments are kept to the millisecond so that a state saved and read back is
// equal to the one in memory.
DateTime roundToMillisecond(DateTime moment);

// Six-digit text of a counter: 12 gives "000012".
std::string sixDigits(int64_t counter);

// The journal kept beside a state file: "printer-state.journal" beside
// "printer-state.json".
std::filesystem::path printerJournalPath(const std::filesystem::path& statePath);

// The memory as its two files hold it.
struct StoredPrinterMemory {
    PrinterState state;  // the journal's newest whole record, else the state file
    // The last receipts of the journal's records, oldest first, each once: the
    // receipts the tape may still lack after a power cut.
    std::vector<LastReceipt> receipts;
    size_t records = 0;         // whole records in the journal
    uint64_t journalBytes = 0;  // their length; zeros after it are room made ahead
    bool cutShort = false;      // a record a crash cut short follows them (it is not part of the memory)
};

// Reads and checks the state file (format, checksum, every field and its
// type) and then its journal: each record whole and matching its checksum,
// each of the same printer. Throws PrinterStateError naming the file and what
// is wrong. The last record of the journal may be cut short (the process or
// the machine stopped while it was appended): it is left out, as the change it
// was to record never answered.
StoredPrinterMemory loadPrinterMemory(const std::filesystem::path& path);
// The memory alone.
PrinterState loadPrinterState(const std::filesystem::path& path);
// Replaces the state file atomically and flushed (one durable write), then
// removes the journal: the memory is `state` alone. Throws zel::FileWriteError
// naming the file and the reason; the old files are then kept.
void savePrinterState(const std::filesystem::path& path, const PrinterState& state);

// The journal of a printer memory, held open for appending.
class PrinterJournal {
  public:
    // `wholeBytes` and `records`: the journal's whole records as
    // loadPrinterMemory found them; a record cut short after them is cut off
    // before the first append.
    PrinterJournal(std::filesystem::path file, uint64_t wholeBytes, size_t records);
    ~PrinterJournal();
    PrinterJournal(const PrinterJournal&) = delete;
    PrinterJournal& operator=(const PrinterJournal&) = delete;

    // Appends one record holding `state`. Durability::Flushed makes it and
    // every earlier record durable (one durable write); Durability::Cached
    // survives a crash of the process only. Throws zel::FileWriteError naming
    // the journal and the reason; the journal then ends as it did before.
    void append(const PrinterState& state, Durability durability);
    // Bytes of whole records appended or found; 0 after restart().
    uint64_t bytes() const { return bytes_; }
    size_t records() const { return records_; }
    // The journal file was removed (savePrinterState): the next append starts
    // a new one.
    void restart();

  private:
    void openFile();
    int makeRoom(size_t recordBytes);  // 0, or the errno of the failed write

    std::filesystem::path file_;
    uint64_t bytes_ = 0;
    uint64_t allocated_ = 0;  // the file's length: whole records, then zeros
    size_t records_ = 0;
    int fd_ = -1;
    bool checked_ = false;        // the file's length was checked against bytes_
    bool directoryOwed_ = false;  // its directory entry is flushed with the next flushed record
};

}  // namespace zel::ext
