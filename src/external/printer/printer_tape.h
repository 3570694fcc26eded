// The paper tape of the simulated fiscal printer: a UTF-8 text file of the
// station, 48 columns, to which every coupon and cancellation receipt is
// appended as it would be printed. Each receipt ends with its number on the
// tape ("SEQ. FITA: 000012" above the closing rule), so that the printer can
// tell whether the tape already holds the last receipt of its memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "external/printer/printer_state.h"
#include "platform/atomic_file.h"
#include "platform/datetime.h"

namespace zel::ext {

inline constexpr int kTapeColumns = 48;

struct TapePayment {
    std::string form;  // the receipt type's name
    int64_t cents = 0;
};

struct TapeFamily {
    std::string name;
    int64_t balanceCents = 0;  // the consumer's balance before the sale
    int64_t spentCents = 0;    // what this sale spends in the family
};

struct TapeCoupon {
    std::string companyCnpj;
    std::string companyIe;
    DateTime moment;
    int64_t cupNr = 0;
    int64_t contCupom = 0;
    std::vector<CouponItem> items;
    int64_t totalCents = 0;
    std::vector<TapePayment> payments;
    int64_t clientPartCents = 0;  // the part the client company pays (total beyond the payments)
    int64_t changeCents = 0;      // payments beyond the total
    std::string consumerName;
    std::string consumerCpf;
    std::vector<TapeFamily> families;
    bool printLimits = false;
    std::string debitLimit;  // as the station gave it
    std::string maxDebit;
    std::optional<int64_t> dayConsumptionCents;
    std::optional<int64_t> monthConsumptionCents;
    int64_t taxFederalCents = 0;
    int64_t taxStateCents = 0;
    std::string md5Line;
    PrinterIdentity printer;
    int64_t receiptNumber = 0;  // the receipt's number on the tape
};

struct TapeCancellation {
    std::string companyCnpj;
    std::string companyIe;
    DateTime moment;
    int64_t cupNr = 0;  // the coupon cancelled
    int64_t contCupom = 0;
    int64_t totalCents = 0;
    bool wasOpen = false;  // cancelled before it was closed
    PrinterIdentity printer;
    int64_t receiptNumber = 0;
};

std::vector<std::string> couponLines(const TapeCoupon& coupon);
std::vector<std::string> cancellationLines(const TapeCancellation& receipt);

// "1.234,56"; negative amounts with a leading minus.
std::string tapeMoney(int64_t cents);

// A receipt as it goes on the tape: each line ended by a line feed, and a
// blank line after the receipt.
std::string receiptText(const std::vector<std::string>& lines);

// The number of the receipt the tape ends with; none when the tape is absent,
// unreadable, empty, or does not end with a whole numbered receipt (a tape of
// an older printer, or a receipt cut short).
std::optional<int64_t> lastReceiptNumberOnTape(const std::filesystem::path& tape);

// What the end of a tape holds once a receipt cut short is set aside.
struct TapeEnd {
    bool blank = true;  // absent, unreadable or empty
    // The number of the last whole numbered receipt within the last MiB;
    // none when there is none (a tape of an older printer).
    std::optional<int64_t> lastWhole;
};
TapeEnd lastWholeReceiptOnTape(const std::filesystem::path& tape);

// The receipts of a tape file, oldest first, each as its lines; an absent file
// holds none.
std::vector<std::vector<std::string>> readTapeReceipts(const std::filesystem::path& tape);

// Characters (not bytes) of a UTF-8 text.
size_t displayWidth(std::string_view text);

}  // namespace zel::ext
