// Layout of the coupons and cancellation receipts on the 48-column tape.
#include "external/printer/printer_tape.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <fmt/format.h>

#include "platform/atomic_file.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/text.h"

namespace zel::ext {

namespace {

constexpr size_t kWidth = kTapeColumns;

// Byte offset of the character at index `chars`.
size_t byteOffset(std::string_view s, size_t chars) {
    size_t seen = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (seen == chars) return i;
            ++seen;
        }
    }
    return s.size();
}

std::string cutTo(std::string_view s, size_t w) { return std::string(s.substr(0, byteOffset(s, w))); }

std::string padRight(std::string_view s, size_t w) {
    std::string out = cutTo(s, w);
    return out + std::string(w - displayWidth(out), ' ');
}

std::string rule(char c) { return std::string(kWidth, c); }

std::string center(std::string_view s) {
    std::string t = cutTo(s, kWidth);
    size_t left = (kWidth - displayWidth(t)) / 2;
    return std::string(left, ' ') + t;
}

// Left text and right text on one line; the right one is never cut.
std::string twoCols(std::string_view left, std::string_view right) {
    size_t rw = displayWidth(right);
    if (rw >= kWidth) return cutTo(right, kWidth);
    std::string l = cutTo(left, kWidth - rw - (left.empty() ? 0 : 1));
    return l + std::string(kWidth - rw - displayWidth(l), ' ') + std::string(right);
}

// Breaks a text into lines of the tape, at blanks where it can.
void wrap(std::vector<std::string>& out, std::string_view text, std::string_view indent = {}) {
    std::string rest(text);
    bool first = true;
    while (true) {
        std::string prefix = first ? std::string() : std::string(indent);
        size_t room = kWidth - displayWidth(prefix);
        if (displayWidth(rest) <= room) {
            out.push_back(prefix + rest);
            return;
        }
        size_t cut = byteOffset(rest, room);
        size_t blank = rest.rfind(' ', cut);
        size_t end = (blank != std::string::npos && blank > 0) ? blank : cut;
        out.push_back(prefix + rest.substr(0, end));
        rest = rest.substr(end);
        if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
        first = false;
    }
}

std::string quantityText(int64_t milli) {
    std::string s = std::to_string(milli / 1000);
    int64_t frac = milli % 1000;
    if (frac != 0) {
        std::string f = fmt::format("{:03d}", frac);
        while (f.back() == '0') f.pop_back();
        s += "," + f;
    }
    return s;
}

std::string rateText(const CouponItem& it) {
    std::string kind = it.rateKind.empty() ? "T" : it.rateKind;
    std::string pct = tapeMoney(it.rateHundredths) + "%";
    return it.rateCode.empty() ? kind + pct : kind + it.rateCode + " " + pct;
}

void header(std::vector<std::string>& out, const std::string& cnpj, const std::string& ie, DateTime moment,
            int64_t cupNr, int64_t contCupom) {
    FormatSettings fs = FormatSettings::brazil();
    out.push_back(rule('='));
    wrap(out, "CNPJ: " + cnpj);
    wrap(out, "IE: " + ie);
    out.push_back(rule('-'));
    out.push_back(twoCols(formatDateTime("dd/mm/yyyy hh:nn:ss", moment, fs),
                          "CCF:" + sixDigits(contCupom) + " COO:" + sixDigits(cupNr)));
}

constexpr std::string_view kSeqLabel = "SEQ. FITA: ";

void footer(std::vector<std::string>& out, const PrinterIdentity& p, int64_t receiptNumber) {
    out.push_back(rule('-'));
    wrap(out, "ECF: " + p.make + " " + p.model);
    wrap(out, "FAB: " + p.serial);
    out.push_back(std::string(kSeqLabel) + sixDigits(receiptNumber));
    out.push_back(rule('='));
}

}  // namespace

size_t displayWidth(std::string_view text) { return utf8Length(text); }

std::string tapeMoney(int64_t cents) {
    bool negative = cents < 0;
    uint64_t v = negative ? static_cast<uint64_t>(-(cents + 1)) + 1 : static_cast<uint64_t>(cents);
    std::string whole = std::to_string(v / 100);
    std::string grouped;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += '.';
        grouped += whole[i];
    }
    return (negative ? "-" : "") + grouped + fmt::format(",{:02d}", v % 100);
}

std::vector<std::string> couponLines(const TapeCoupon& c) {
    std::vector<std::string> out;
    header(out, c.companyCnpj, c.companyIe, c.moment, c.cupNr, c.contCupom);
    out.push_back(center("CUPOM FISCAL"));
    out.push_back("ITEM CÓDIGO DESCRIÇÃO");
    out.push_back("QTD. UN. VL.UNIT(R$) ST              VL.ITEM(R$)");
    out.push_back(rule('-'));
    for (const CouponItem& it : c.items) {
        wrap(out, fmt::format("{:03d} {} {}", it.number, it.code, it.description), "    ");
        std::string grossLeft = fmt::format("    {} {} X {} {}", quantityText(it.quantityMilli), it.unit,
                                            tapeMoney(it.unitPriceCents), rateText(it));
        out.push_back(twoCols(grossLeft, tapeMoney(it.amountCents - it.surchargeCents + it.discountCents)));
        if (it.discountCents != 0) out.push_back(twoCols("    desconto item", "-" + tapeMoney(it.discountCents)));
        if (it.surchargeCents != 0) out.push_back(twoCols("    acréscimo item", "+" + tapeMoney(it.surchargeCents)));
    }
    out.push_back(rule('-'));
    out.push_back(twoCols("TOTAL R$", tapeMoney(c.totalCents)));
    for (const TapePayment& p : c.payments) out.push_back(twoCols(p.form, tapeMoney(p.cents)));
    if (c.clientPartCents > 0) out.push_back(twoCols("Parte da empresa", tapeMoney(c.clientPartCents)));
    if (c.changeCents > 0) out.push_back(twoCols("TROCO R$", tapeMoney(c.changeCents)));
    if (!c.consumerName.empty() || !c.consumerCpf.empty()) {
        out.push_back(rule('-'));
        if (!c.consumerName.empty()) wrap(out, "CONSUMIDOR: " + c.consumerName);
        if (!c.consumerCpf.empty()) wrap(out, "CPF/CNPJ: " + c.consumerCpf);
    }
    if (!c.families.empty()) {
        out.push_back(rule('-'));
        out.push_back(padRight("SALDO POR FAMÍLIA", 24) + fmt::format("{:>12}{:>12}", "ANTERIOR", "VENDA"));
        for (const TapeFamily& f : c.families) {
            std::string nums = fmt::format("{:>12}{:>12}", tapeMoney(f.balanceCents), tapeMoney(f.spentCents));
            out.push_back(twoCols(f.name, nums));
        }
    }
    if (c.printLimits) {
        out.push_back(rule('-'));
        out.push_back(twoCols("LIMITE DE DÉBITO", c.debitLimit));
        out.push_back(twoCols("DÉBITO MÁXIMO", c.maxDebit));
        if (c.dayConsumptionCents) out.push_back(twoCols("CONSUMO DO DIA", tapeMoney(*c.dayConsumptionCents)));
        if (c.monthConsumptionCents) out.push_back(twoCols("CONSUMO DO MÊS", tapeMoney(*c.monthConsumptionCents)));
    }
    out.push_back(rule('-'));
    out.push_back("Val. aprox. dos tributos:");
    out.push_back(twoCols("  Federal R$", tapeMoney(c.taxFederalCents)));
    out.push_back(twoCols("  Estadual R$", tapeMoney(c.taxStateCents)));
    if (!c.md5Line.empty()) wrap(out, c.md5Line);
    footer(out, c.printer, c.receiptNumber);
    return out;
}

std::vector<std::string> cancellationLines(const TapeCancellation& r) {
    std::vector<std::string> out;
    header(out, r.companyCnpj, r.companyIe, r.moment, r.cupNr, r.contCupom);
    out.push_back(center("CUPOM FISCAL CANCELADO"));
    out.push_back(rule('-'));
    out.push_back(twoCols("COO do cupom cancelado", sixDigits(r.cupNr)));
    out.push_back(twoCols("CCF do cupom cancelado", sixDigits(r.contCupom)));
    out.push_back(r.wasOpen ? "Cancelado em aberto" : "Cancelado após o fechamento");
    out.push_back(twoCols("VALOR CANCELADO R$", tapeMoney(r.totalCents)));
    footer(out, r.printer, r.receiptNumber);
    return out;
}

std::string receiptText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text + "\n";
}

std::optional<int64_t> lastReceiptNumberOnTape(const std::filesystem::path& tape) {
    // The end of a whole receipt: "SEQ. FITA: <digits>", the closing rule, a blank line.
    const std::string end = "\n" + rule('=') + "\n\n";
    constexpr size_t kTail = 128;
    int fd = ::open(tape.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    off_t size = ::lseek(fd, 0, SEEK_END);
    std::string tail;
    if (size > 0) {
        size_t want = std::min<size_t>(kTail, static_cast<size_t>(size));
        tail.resize(want);
        ssize_t n = ::pread(fd, tail.data(), want, size - static_cast<off_t>(want));
        tail.resize(n < 0 ? 0 : static_cast<size_t>(n));
    }
    ::close(fd);
    if (tail.size() < end.size() || tail.compare(tail.size() - end.size(), end.size(), end) != 0) return std::nullopt;
    tail.resize(tail.size() - end.size());
    size_t from = tail.rfind('\n');
    if (from == std::string::npos) return std::nullopt;  // the line is not whole within the tail
    std::string_view line = std::string_view(tail).substr(from + 1);
    if (!line.starts_with(kSeqLabel)) return std::nullopt;
    std::string_view digits = line.substr(kSeqLabel.size());
    if (digits.empty() || digits.size() > 15) return std::nullopt;
    int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

TapeEnd lastWholeReceiptOnTape(const std::filesystem::path& tape) {
    TapeEnd out;
    constexpr size_t kLookBack = 1 << 20;
    int fd = ::open(tape.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    off_t size = ::lseek(fd, 0, SEEK_END);
    std::string tail;
    if (size > 0) {
        size_t want = std::min<size_t>(kLookBack, static_cast<size_t>(size));
        tail.resize(want);
        ssize_t n = ::pread(fd, tail.data(), want, size - static_cast<off_t>(want));
        tail.resize(n < 0 ? 0 : static_cast<size_t>(n));
    }
    ::close(fd);
    out.blank = tail.empty();
    // The end of a whole receipt: "SEQ. FITA: <digits>", the closing rule, a blank line.
    const std::string end = "\n" + rule('=') + "\n\n";
    size_t at = tail.size();
    while (at > 0) {
        size_t found = tail.rfind(end, at - 1);
        if (found == std::string::npos) break;
        at = found;
        size_t from = tail.rfind('\n', found == 0 ? 0 : found - 1);
        if (found == 0 || from == std::string::npos) break;  // the line is not whole within the look-back
        std::string_view line = std::string_view(tail).substr(from + 1, found - from - 1);
        if (!line.starts_with(kSeqLabel)) continue;
        std::string_view digits = line.substr(kSeqLabel.size());
        if (digits.empty() || digits.size() > 15) continue;
        int64_t n = 0;
        bool ok = true;
        for (char c : digits) {
            if (c < '0' || c > '9') ok = false;
            else n = n * 10 + (c - '0');
        }
        if (!ok) continue;
        out.lastWhole = n;
        break;
    }
    return out;
}

std::vector<std::vector<std::string>> readTapeReceipts(const std::filesystem::path& tape) {
    std::vector<std::vector<std::string>> receipts;
    std::ifstream in(tape, std::ios::binary);
    if (!in) return receipts;
    std::vector<std::string> current;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            if (!current.empty()) receipts.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(line);
        }
    }
    if (!current.empty()) receipts.push_back(std::move(current));
    return receipts;
}

}  // namespace zel::ext
