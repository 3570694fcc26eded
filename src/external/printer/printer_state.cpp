// Reading, checking and atomically writing the simulated printer's state file.
#include "external/printer/printer_state.h"

#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/atomic_file.h"
#include "platform/money.h"

namespace zel::ext {

using nlohmann::json;

namespace {

constexpr const char* kFormat = "zel-fiscal-printer-state";
// Version 1 kept only the totals of the last coupon; version 2 adds its items,
// the cancelled amount and the last receipt owed to the tape. Both are read.
constexpr int kVersion = 2;

uint64_t fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

int64_t momentMs(DateTime d) { return d.totalMilliseconds(); }
DateTime fromMs(int64_t ms) { return DateTime(static_cast<double>(ms) / DateTime::kMsPerDay); }

json itemJson(const CouponItem& i) {
    return {{"number", i.number},
            {"code", i.code},
            {"description", i.description},
            {"unit", i.unit},
            {"rateCode", i.rateCode},
            {"rateKind", i.rateKind},
            {"rateHundredths", i.rateHundredths},
            {"quantityMilli", i.quantityMilli},
            {"unitPriceCents", i.unitPriceCents},
            {"discountCents", i.discountCents},
            {"surchargeCents", i.surchargeCents},
            {"amountCents", i.amountCents}};
}

json itemsJson(const std::vector<CouponItem>& items) {
    json out = json::array();
    for (const CouponItem& i : items) out.push_back(itemJson(i));
    return out;
}

json bodyJson(const PrinterState& s) {
    json rates = json::array();
    for (const PrinterRate& r : s.rates)
        rates.push_back({{"code", r.code}, {"rateHundredths", r.rateHundredths}, {"kind", r.kind}});
    json open = nullptr;
    if (s.open) {
        open = {{"cupNr", s.open->cupNr},
                {"contCupom", s.open->contCupom},
                {"openedMs", momentMs(s.open->opened)},
                {"consumerName", s.open->consumerName},
                {"consumerCpf", s.open->consumerCpf},
                {"items", itemsJson(s.open->items)}};
    }
    json last = nullptr;
    if (s.lastCoupon)
        last = {{"cupNr", s.lastCoupon->cupNr},
                {"contCupom", s.lastCoupon->contCupom},
                {"closedMs", momentMs(s.lastCoupon->closed)},
                {"totalCents", s.lastCoupon->totalCents},
                {"ident", s.lastCoupon->ident},
                {"cancelled", s.lastCoupon->cancelled},
                {"closedNormally", s.lastCoupon->closedNormally},
                {"items", itemsJson(s.lastCoupon->items)},
                {"cancelledCents", s.lastCoupon->cancelledCents}};
    const PrinterIdentity& id = s.identity;
    return {{"identity",
             {{"serial", id.serial},
              {"model", id.model},
              {"make", id.make},
              {"type", id.type},
              {"dateOffsetDays", id.dateOffsetDays},
              {"saleAddress", id.saleAddress}}},
            {"rates", rates},
            {"cupNr", s.cupNr},
            {"contCupom", s.contCupom},
            {"grandTotalCents", s.grandTotalCents},
            {"cancelTotalCents", s.cancelTotalCents},
            {"open", open},
            {"lastCoupon", last},
            {"companyCnpj", s.companyCnpj},
            {"companyIe", s.companyIe},
            {"lastReceipt",
             s.lastReceipt ? json{{"number", s.lastReceipt->number}, {"text", s.lastReceipt->text}} : json(nullptr)}};
}

// Typed reads of the state document; a fault names the file and the field.
class Reader {
  public:
    explicit Reader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void fail(const std::string& field, const std::string& problem) const {
        throw PrinterStateError(
            fmt::format("printer state file {}: {} {}; the printer is unusable until the "
                        "file is repaired or restored",
                        source_, field, problem));
    }
    const json& member(const json& obj, const std::string& path, const char* key) const {
        if (!obj.is_object()) fail(path, "is not an object");
        auto it = obj.find(key);
        if (it == obj.end()) fail(path + "." + key, "is missing");
        return *it;
    }
    std::string text(const json& obj, const std::string& path, const char* key) const {
        const json& v = member(obj, path, key);
        if (!v.is_string()) fail(path + "." + key, "is not a text");
        return v.get<std::string>();
    }
    int64_t integer(const json& obj, const std::string& path, const char* key, int64_t min = 0,
                    int64_t max = INT64_MAX) const {
        const json& v = member(obj, path, key);
        if (!v.is_number_integer()) fail(path + "." + key, "is not an integer");
        int64_t n = v.get<int64_t>();
        if (n < min || n > max) fail(path + "." + key, fmt::format("is {}, outside {} to {}", n, min, max));
        return n;
    }
    bool boolean(const json& obj, const std::string& path, const char* key) const {
        const json& v = member(obj, path, key);
        if (!v.is_boolean()) fail(path + "." + key, "is not a Boolean");
        return v.get<bool>();
    }

  private:
    std::string source_;
};

constexpr int64_t kMaxCounter = 999999;
constexpr int64_t kMaxMoney = INT64_MAX / 4;
// Bounds of the amounts the printer accepts for an item (a million units, a
// thousand million per unit), so that quantity x price cannot overflow.
constexpr int64_t kMaxQuantityMilli = 1'000'000'000;
constexpr int64_t kMaxPriceCents = 100'000'000'000;

std::vector<CouponItem> readItems(const json& items, const std::string& path, const Reader& r) {
    if (!items.is_array()) r.fail(path, "is not a list");
    std::vector<CouponItem> out;
    for (size_t i = 0; i < items.size(); ++i) {
        const json& j = items[i];
        std::string p = fmt::format("{}[{}]", path, i);
        CouponItem it;
        it.number = static_cast<int32_t>(r.integer(j, p, "number", 1, 999));
        it.code = r.text(j, p, "code");
        it.description = r.text(j, p, "description");
        it.unit = r.text(j, p, "unit");
        it.rateCode = r.text(j, p, "rateCode");
        it.rateKind = r.text(j, p, "rateKind");
        it.rateHundredths = r.integer(j, p, "rateHundredths", 0, 10000);
        it.quantityMilli = r.integer(j, p, "quantityMilli", 1, kMaxQuantityMilli);
        it.unitPriceCents = r.integer(j, p, "unitPriceCents", 1, kMaxPriceCents);
        it.discountCents = r.integer(j, p, "discountCents", 0, kMaxPriceCents);
        it.surchargeCents = r.integer(j, p, "surchargeCents", 0, kMaxPriceCents);
        it.amountCents = r.integer(j, p, "amountCents", 0, kMaxMoney);
        if (it.number != static_cast<int32_t>(i + 1)) r.fail(p + ".number", fmt::format("is not {}", i + 1));
        if (it.amountCents !=
            lineGrossCents(it.quantityMilli, it.unitPriceCents) - it.discountCents + it.surchargeCents)
            r.fail(p + ".amountCents", "is not quantity x unit price - discount + surcharge");
        out.push_back(std::move(it));
    }
    return out;
}

int64_t sumOf(const std::vector<CouponItem>& items) {
    int64_t sum = 0;
    for (const CouponItem& i : items) sum += i.amountCents;
    return sum;
}

PrinterState stateFromBody(const json& b, int64_t version, const Reader& r) {
    PrinterState s;
    const json& id = r.member(b, "body", "identity");
    s.identity.serial = r.text(id, "identity", "serial");
    s.identity.model = r.text(id, "identity", "model");
    s.identity.make = r.text(id, "identity", "make");
    s.identity.type = static_cast<int32_t>(r.integer(id, "identity", "type", 0, 9999));
    s.identity.dateOffsetDays = static_cast<int32_t>(r.integer(id, "identity", "dateOffsetDays", -36500, 36500));
    s.identity.saleAddress = r.text(id, "identity", "saleAddress");
    const json& rates = r.member(b, "body", "rates");
    if (!rates.is_array()) r.fail("rates", "is not a list");
    for (size_t i = 0; i < rates.size(); ++i) {
        std::string p = fmt::format("rates[{}]", i);
        s.rates.push_back({r.text(rates[i], p, "code"), r.integer(rates[i], p, "rateHundredths", 0, 10000),
                           r.text(rates[i], p, "kind")});
    }
    s.cupNr = r.integer(b, "body", "cupNr", 0, kMaxCounter);
    s.contCupom = r.integer(b, "body", "contCupom", 0, kMaxCounter);
    s.grandTotalCents = r.integer(b, "body", "grandTotalCents", 0, kMaxMoney);
    s.cancelTotalCents = r.integer(b, "body", "cancelTotalCents", 0, kMaxMoney);
    s.companyCnpj = r.text(b, "body", "companyCnpj");
    s.companyIe = r.text(b, "body", "companyIe");
    const json& open = r.member(b, "body", "open");
    if (!open.is_null()) {
        OpenCoupon o;
        o.cupNr = r.integer(open, "open", "cupNr", 1, kMaxCounter);
        o.contCupom = r.integer(open, "open", "contCupom", 1, kMaxCounter);
        o.opened = fromMs(r.integer(open, "open", "openedMs"));
        o.consumerName = r.text(open, "open", "consumerName");
        o.consumerCpf = r.text(open, "open", "consumerCpf");
        o.items = readItems(r.member(open, "open", "items"), "open.items", r);
        s.open = std::move(o);
    }
    const json& last = r.member(b, "body", "lastCoupon");
    if (!last.is_null()) {
        ClosedCoupon c;
        c.cupNr = r.integer(last, "lastCoupon", "cupNr", 1, kMaxCounter);
        c.contCupom = r.integer(last, "lastCoupon", "contCupom", 1, kMaxCounter);
        c.closed = fromMs(r.integer(last, "lastCoupon", "closedMs"));
        c.totalCents = r.integer(last, "lastCoupon", "totalCents", 0, kMaxMoney);
        c.ident = r.text(last, "lastCoupon", "ident");
        c.cancelled = r.boolean(last, "lastCoupon", "cancelled");
        c.closedNormally = r.boolean(last, "lastCoupon", "closedNormally");
        if (version >= 2) {
            c.items = readItems(r.member(last, "lastCoupon", "items"), "lastCoupon.items", r);
            c.cancelledCents = r.integer(last, "lastCoupon", "cancelledCents", 0, kMaxMoney);
            if (!c.items.empty() && sumOf(c.items) != c.totalCents)
                r.fail("lastCoupon.items", "do not add up to lastCoupon.totalCents");
            if (!c.cancelled && c.cancelledCents != 0)
                r.fail("lastCoupon.cancelledCents", "is set on a coupon not cancelled");
        } else if (c.cancelled) {
            c.cancelledCents = c.totalCents;  // what the cancellation added, before the amount was kept
        }
        s.lastCoupon = std::move(c);
    }
    if (version >= 2) {
        const json& receipt = r.member(b, "body", "lastReceipt");
        if (!receipt.is_null()) {
            LastReceipt lr;
            lr.number = r.integer(receipt, "lastReceipt", "number", 1, kMaxMoney);
            lr.text = r.text(receipt, "lastReceipt", "text");
            s.lastReceipt = std::move(lr);
        }
    }
    return s;
}

// Texts that are not UTF-8 are written with replacement characters rather than
// refused, so a strange consumer name can never stop the printer.
std::string canonical(const json& j, int indent = -1) {
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace

int64_t OpenCoupon::subtotalCents() const { return sumOf(items); }

DateTime roundToMillisecond(DateTime moment) { return fromMs(moment.totalMilliseconds()); }

std::string sixDigits(int64_t counter) { return fmt::format("{:06d}", counter); }

PrinterState loadPrinterState(const std::filesystem::path& path) {
    Reader r(path.string());
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw PrinterStateError(
            fmt::format("printer state file {} cannot be read; the printer is unusable until "
                        "it is restored (a new printer is made with the station set-up)",
                        path.string()));
    std::stringstream buf;
    buf << in.rdbuf();
    json doc = json::parse(buf.str(), nullptr, false);
    if (doc.is_discarded()) r.fail("content", "is not a readable state document (damaged or cut short)");
    if (!doc.is_object() || !doc.contains("format") || doc["format"] != kFormat)
        r.fail("format", "is not that of a printer state");
    int64_t version = r.integer(doc, "document", "version");
    if (version < 1 || version > kVersion) r.fail("version", "is not one this printer reads");
    const json& body = r.member(doc, "document", "body");
    std::string sum = r.text(doc, "document", "checksum");
    if (sum != fmt::format("{:016x}", fnv1a(canonical(body)))) r.fail("checksum", "does not match its content");
    return stateFromBody(body, version, r);
}

void savePrinterState(const std::filesystem::path& path, const PrinterState& state) {
    json body = bodyJson(state);
    json doc = {{"format", kFormat},
                {"version", kVersion},
                {"body", body},
                {"checksum", fmt::format("{:016x}", fnv1a(canonical(body)))}};
    writeFileAtomically(path, canonical(doc, 1) + "\n", "printer state");
}

}  // namespace zel::ext
