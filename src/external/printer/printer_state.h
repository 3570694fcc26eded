// The memory of the simulated fiscal printer: identity, programmed tax rates,
// counters and totals, the coupon in progress, the last finished coupon with
// its items and the last receipt (which the tape must end with); kept in a
// small file of the station, rewritten atomically after every change. It is
// the fiscal record: the tape and the station's files follow it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

// Reads and checks a state file: format, checksum, every field and its type.
// Throws PrinterStateError naming the file and what is wrong.
PrinterState loadPrinterState(const std::filesystem::path& path);
// Replaces the file atomically and flushed (one durable write). Throws
// zel::FileWriteError naming the file and the reason; the old file is then kept.
void savePrinterState(const std::filesystem::path& path, const PrinterState& state);

}  // namespace zel::ext
