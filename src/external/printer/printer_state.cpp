// Reading, checking and writing the simulated printer's memory: the state
// file and its journal.
#include "external/printer/printer_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

namespace {

PrinterState loadStateFile(const std::filesystem::path& path) {
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

// ---- the body of a journal record, written directly: the fields of
// bodyJson, without building a document first (one is written per operation).

// The length of the UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8Sequence(std::string_view s, size_t i) {
    auto at = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return at(k) >= lo && at(k) <= hi; };
    unsigned c = at(0);
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
}

// A JSON text; bytes that are not UTF-8 become U+FFFD, as in the state file.
void putText(std::string& out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        // A run of plain characters goes in one piece.
        size_t plain = i;
        while (plain < s.size()) {
            unsigned char p = static_cast<unsigned char>(s[plain]);
            if (p < 0x20 || p >= 0x80 || p == '"' || p == '\\') break;
            ++plain;
        }
        if (plain > i) {
            out.append(s.data() + i, plain - i);
            i = plain;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t n = utf8Sequence(s, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        }
        ++i;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) out += fmt::format("\\u{:04x}", c);
                else out += static_cast<char>(c);
        }
    }
    out += '"';
}

struct BodyWriter {
    std::string out;
    bool first = true;

    void key(const char* k) {
        if (!first) out += ',';
        first = false;
        out += '"';
        out += k;
        out += "\":";
    }
    void text(const char* k, std::string_view v) {
        key(k);
        // A long text (the last receipt) stays the same over the records of
        // a coupon's life: escaped once and reused while it does.
        constexpr size_t kLong = 256;
        if (v.size() < kLong) return putText(out, v);
        thread_local std::string source, escaped;
        if (v != source) {
            escaped.clear();
            putText(escaped, v);
            source.assign(v);
        }
        out += escaped;
    }
    void integer(const char* k, int64_t v) {
        key(k);
        fmt::format_to(std::back_inserter(out), "{}", v);
    }
    void boolean(const char* k, bool v) {
        key(k);
        out += v ? "true" : "false";
    }
    void null(const char* k) {
        key(k);
        out += "null";
    }
    template <class F>
    void object(const char* k, F fill) {
        if (k) key(k);
        out += '{';
        first = true;
        fill();
        out += '}';
        first = false;
    }
    template <class T, class F>
    void list(const char* k, const std::vector<T>& items, F fill) {
        key(k);
        out += '[';
        for (size_t i = 0; i < items.size(); ++i) {
            if (i > 0) out += ',';
            object(nullptr, [&] { fill(items[i]); });
        }
        out += ']';
        first = false;
    }
};

void putItem(BodyWriter& w, const CouponItem& i) {
    w.integer("amountCents", i.amountCents);
    w.text("code", i.code);
    w.text("description", i.description);
    w.integer("discountCents", i.discountCents);
    w.integer("number", i.number);
    w.integer("quantityMilli", i.quantityMilli);
    w.text("rateCode", i.rateCode);
    w.integer("rateHundredths", i.rateHundredths);
    w.text("rateKind", i.rateKind);
    w.integer("surchargeCents", i.surchargeCents);
    w.text("unit", i.unit);
    w.integer("unitPriceCents", i.unitPriceCents);
}

// The same document as canonical(bodyJson(s)) for texts that are UTF-8.
std::string bodyText(const PrinterState& s) {
    BodyWriter w;
    w.out.reserve(4096);
    w.object(nullptr, [&] {
        w.integer("cancelTotalCents", s.cancelTotalCents);
        w.text("companyCnpj", s.companyCnpj);
        w.text("companyIe", s.companyIe);
        w.integer("contCupom", s.contCupom);
        w.integer("cupNr", s.cupNr);
        w.integer("grandTotalCents", s.grandTotalCents);
        const PrinterIdentity& id = s.identity;
        w.object("identity", [&] {
            w.integer("dateOffsetDays", id.dateOffsetDays);
            w.text("make", id.make);
            w.text("model", id.model);
            w.text("saleAddress", id.saleAddress);
            w.text("serial", id.serial);
            w.integer("type", id.type);
        });
        if (const auto& c = s.lastCoupon)
            w.object("lastCoupon", [&] {
                w.boolean("cancelled", c->cancelled);
                w.integer("cancelledCents", c->cancelledCents);
                w.integer("closedMs", momentMs(c->closed));
                w.boolean("closedNormally", c->closedNormally);
                w.integer("contCupom", c->contCupom);
                w.integer("cupNr", c->cupNr);
                w.text("ident", c->ident);
                w.list("items", c->items, [&](const CouponItem& i) { putItem(w, i); });
                w.integer("totalCents", c->totalCents);
            });
        else w.null("lastCoupon");
        if (const auto& r = s.lastReceipt)
            w.object("lastReceipt", [&] {
                w.integer("number", r->number);
                w.text("text", r->text);
            });
        else w.null("lastReceipt");
        if (const auto& o = s.open)
            w.object("open", [&] {
                w.text("consumerCpf", o->consumerCpf);
                w.text("consumerName", o->consumerName);
                w.integer("contCupom", o->contCupom);
                w.integer("cupNr", o->cupNr);
                w.list("items", o->items, [&](const CouponItem& i) { putItem(w, i); });
                w.integer("openedMs", momentMs(o->opened));
            });
        else w.null("open");
        w.list("rates", s.rates, [&](const PrinterRate& r) {
            w.text("code", r.code);
            w.text("kind", r.kind);
            w.integer("rateHundredths", r.rateHundredths);
        });
    });
    return std::move(w.out);
}

// A journal record is one line: the version of its body, the checksum of the
// body's text and the body, the whole memory after one change:
//   2 0123456789abcdef {"cancelTotalCents":0,...}
std::string journalRecord(const PrinterState& state) {
    std::string body = bodyText(state);
    return fmt::format("{} {:016x} {}\n", kVersion, fnv1a(body), body);
}

// The whole file; empty when it does not exist.
std::string readJournal(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        throw PrinterStateError(
            fmt::format("printer memory journal {} cannot be read: {}; the printer is unusable "
                        "until it can be",
                        path.string(), std::strerror(errno)));
    }
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            throw PrinterStateError(
                fmt::format("printer memory journal {} cannot be read: {}", path.string(), std::strerror(e)));
        }
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace

std::filesystem::path printerJournalPath(const std::filesystem::path& statePath) {
    std::filesystem::path p = statePath;
    p.replace_extension(".journal");
    return p;
}

StoredPrinterMemory loadPrinterMemory(const std::filesystem::path& path) {
    StoredPrinterMemory m;
    m.state = loadStateFile(path);
    std::filesystem::path journal = printerJournalPath(path);
    std::string text = readJournal(journal);
    Reader r(journal.string());
    size_t pos = 0;
    std::optional<PrinterState> newest;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            // Zeros alone are the room made ahead of the records; anything
            // else is a record whose append never completed.
            m.cutShort = text.find_first_not_of('\0', pos) != std::string::npos;
            break;
        }
        std::string_view line(text.data() + pos, end - pos);
        std::string field = fmt::format("record {}", m.records + 1);
        size_t a = line.find(' '), b = a == std::string_view::npos ? a : line.find(' ', a + 1);
        if (b == std::string_view::npos) r.fail(field, "is not a journal record");
        std::string_view version = line.substr(0, a), sum = line.substr(a + 1, b - a - 1), body = line.substr(b + 1);
        if (version != std::to_string(kVersion)) r.fail(field, "is of a version this printer does not read");
        if (sum != fmt::format("{:016x}", fnv1a(std::string(body)))) r.fail(field, "does not match its checksum");
        json doc = json::parse(body, nullptr, false);
        if (doc.is_discarded()) r.fail(field, "is not a readable record");
        Reader fields(fmt::format("{} ({})", journal.string(), field));
        PrinterState s = stateFromBody(doc, kVersion, fields);
        if (s.identity.serial != m.state.identity.serial)
            r.fail(field, fmt::format("is of printer {}, the state file of printer {}", s.identity.serial,
                                      m.state.identity.serial));
        if (s.lastReceipt && (m.receipts.empty() || m.receipts.back().number != s.lastReceipt->number))
            m.receipts.push_back(*s.lastReceipt);
        newest = std::move(s);
        ++m.records;
        pos = end + 1;
        m.journalBytes = pos;
    }
    if (newest) m.state = std::move(*newest);
    return m;
}

PrinterState loadPrinterState(const std::filesystem::path& path) { return loadPrinterMemory(path).state; }

void savePrinterState(const std::filesystem::path& path, const PrinterState& state) {
    json body = bodyJson(state);
    json doc = {{"format", kFormat},
                {"version", kVersion},
                {"body", body},
                {"checksum", fmt::format("{:016x}", fnv1a(canonical(body)))}};
    writeFileAtomically(path, canonical(doc, 1) + "\n", "printer state");
    // The state file now holds every record of the journal. Should the removal
    // not reach the disk, the journal's last record is this same state.
    std::error_code ec;
    std::filesystem::path journal = printerJournalPath(path);
    if (std::filesystem::remove(journal, ec)) syncDirectory(path.parent_path());
    if (ec)
        throw FileWriteError(
            fmt::format("printer memory journal {} cannot be removed: {}", journal.string(), ec.message()));
}

// ---- the journal

PrinterJournal::PrinterJournal(std::filesystem::path file, uint64_t wholeBytes, size_t records)
    : file_(std::move(file)), bytes_(wholeBytes), records_(records) {}

PrinterJournal::~PrinterJournal() {
    if (fd_ >= 0) ::close(fd_);
}

void PrinterJournal::restart() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    bytes_ = 0;
    allocated_ = 0;
    records_ = 0;
    checked_ = false;
    directoryOwed_ = false;
}

void PrinterJournal::openFile() {
    auto fail = [&](const char* action, int e) {
        throw FileWriteError(fmt::format("printer memory journal {} {}: {}", file_.string(), action, std::strerror(e)));
    };
    if (fd_ < 0) {
        fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) fail("cannot be written", errno);
        checked_ = false;
    }
    if (checked_) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail("cannot be written", errno);
    // Its entry may not be on disk yet (made here, or by a process that died
    // before flushing it): flushed with the first flushed record.
    directoryOwed_ = true;
    // A record cut short by a crash is not part of the memory: it goes before
    // the next one is written after it, and with it the room made ahead.
    if (static_cast<uint64_t>(st.st_size) != bytes_ && ::ftruncate(fd_, static_cast<off_t>(bytes_)) != 0)
        fail("cannot be cut back to its whole records", errno);
    allocated_ = bytes_;
    checked_ = true;
}

// The journal is made longer ahead of its records, with zeros, a stretch at a
// time: a flush of a record written over that room writes the record alone,
// while a flush of a file grown by the record writes its new length too.
constexpr uint64_t kJournalRoom = 256 * 1024;

int PrinterJournal::makeRoom(size_t recordBytes) {
    if (bytes_ + recordBytes <= allocated_) return 0;
    uint64_t end = bytes_ + recordBytes + kJournalRoom;
    static const std::string zeros(64 * 1024, '\0');
    for (uint64_t at = allocated_; at < end;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), end - at));
        ssize_t w = ::pwrite(fd_, zeros.data(), n, static_cast<off_t>(at));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        at += static_cast<uint64_t>(w);
    }
    allocated_ = end;
    return 0;
}

void PrinterJournal::append(const PrinterState& state, Durability durability) {
    std::string record = journalRecord(state);
    openFile();
    int e = makeRoom(record.size());
    size_t done = 0;
    while (e == 0 && done < record.size()) {
        ssize_t n = ::pwrite(fd_, record.data() + done, record.size() - done, static_cast<off_t>(bytes_ + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            e = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (e == 0 && durability == Durability::Flushed && ::fdatasync(fd_) != 0) e = errno;
    if (e != 0) {
        // Taken back, so that the journal ends with its last whole record.
        if (::ftruncate(fd_, static_cast<off_t>(bytes_)) != 0) checked_ = false;
        allocated_ = bytes_;
        throw FileWriteError(
            fmt::format("printer memory journal {} cannot be written: {}", file_.string(), std::strerror(e)));
    }
    bytes_ += record.size();
    ++records_;
    if (durability == Durability::Flushed) {
        if (directoryOwed_) syncDirectory(file_.parent_path());
        directoryOwed_ = false;
        noteDurableWrite();
    }
}

}  // namespace zel::ext
