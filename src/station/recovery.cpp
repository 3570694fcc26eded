#include "station/recovery.h"

#include <algorithm>
#include <map>

#include <fmt/format.h>

#include "external/utility/utility.h"
#include "platform/dataset/table.h"
#include "platform/money.h"

namespace zel::host {
namespace {

// The station's products by the code the printer sells them under (the bar
// code, else CDARVPROD): product code, name, tree and balance family.
struct PrintedProduct {
    std::string cdProduto, nmProduto, cdArvProd, cdFamiliSald;
};

std::map<std::string, PrintedProduct> productsByPrintedCode(const Station& s) {
    std::map<std::string, PrintedProduct> out;
    try {
        ds::Table t("Produtos", {}, {}, {}, s.formatSettings);
        t.loadFromFile(s.layout.table("Produtos.cds"));
        auto text = [&](const char* f) { return t.fieldIndex(f) >= 0 ? t.field(f).asString() : std::string(); };
        for (t.first(); !t.eof(); t.next()) {
            PrintedProduct p{text("CDPRODUTO"), text("NMPRODUTO"), text("CDARVPROD"), text("CDFAMILISALD")};
            std::string bar = text("CDBARPRODUTO");
            out.emplace(bar.empty() ? p.cdArvProd : bar, p);
        }
    } catch (const std::exception&) {
        // Without the product file the printer's own codes and names are kept.
    }
    return out;
}

// The items of a coupon as the lines of the sale table of its cancelled sale.
ds::Packet saleOfItems(const Station& s, const std::vector<ext::CouponItem>& items, int64_t cupNr, int64_t contCupom,
                       const std::optional<CurrentPassage>& who) {
    std::map<std::string, PrintedProduct> products =
        items.empty() ? std::map<std::string, PrintedProduct>() : productsByPrintedCode(s);
    using ds::FieldDef;
    std::vector<FieldDef> fields;
    for (const char* f : {"CDFILIAL", "CDPRODUTO", "NMPRODUTO", "CDARVPROD", "CDFAMILISALD", "CDORDALIQIMPR",
                          "NRCUPOMFIS", "NRCONTCUPOMFISC", "CDCLIENTE", "CDCONSUMIDOR"})
        fields.push_back(FieldDef::string(f, 60));
    for (const char* f : {"QTPRODCOMVEN", "VRPRECCOMVEN", "VRACRCOMVEN", "VRDESCCOMVEN", "VRALIQIMPR"})
        fields.push_back(FieldDef::floatField(f));
    ds::Table sale("cdsVenda", fields, {}, {}, s.formatSettings);
    sale.create();
    for (const ext::CouponItem& it : items) {
        sale.append();
        sale.field("CDFILIAL").setAsString(s.branch);
        auto known = products.find(it.code);
        if (known != products.end()) {
            sale.field("CDPRODUTO").setAsString(known->second.cdProduto);
            sale.field("NMPRODUTO").setAsString(known->second.nmProduto);
            sale.field("CDARVPROD").setAsString(known->second.cdArvProd);
            sale.field("CDFAMILISALD").setAsString(known->second.cdFamiliSald);
        } else {
            sale.field("CDPRODUTO").setAsString(it.code);
            sale.field("NMPRODUTO").setAsString(it.description);
        }
        sale.field("CDORDALIQIMPR").setAsString(it.rateCode);
        sale.field("NRCUPOMFIS").setAsString(couponText(cupNr));
        sale.field("NRCONTCUPOMFISC").setAsString(couponText(contCupom));
        sale.field("CDCLIENTE").setAsString(who ? who->client : std::string());
        sale.field("CDCONSUMIDOR").setAsString(who ? who->consumer : std::string());
        sale.field("QTPRODCOMVEN").setAsFloat(static_cast<double>(it.quantityMilli) / 1000);
        sale.field("VRPRECCOMVEN").setAsFloat(centsToAmount(it.unitPriceCents));
        sale.field("VRACRCOMVEN").setAsFloat(centsToAmount(it.surchargeCents));
        sale.field("VRDESCCOMVEN").setAsFloat(centsToAmount(it.discountCents));
        sale.field("VRALIQIMPR").setAsFloat(static_cast<double>(it.rateHundredths) / 100);
        sale.post();
    }
    return sale.data();
}

}  // namespace

Recovery::Recovery(const Station& station, Store& store, ext::SimulatedPrinter& printer, ext::ServicePackage& service)
    : s_(station),
      store_(store),
      printer_(printer),
      service_(service),
      outbox_(station.layout.dir / "outbox"),
      interrupted_(Journal(station.layout.dir / "run-current.json").read()) {}

void Recovery::repaired(std::string line) { repairs_.push_back(std::move(line)); }

std::string Recovery::whoText(const std::optional<CurrentPassage>& who) const {
    if (!who) return std::string();
    return fmt::format(" (consumer {} {}, passage {})", who->consumer, who->name, who->seq);
}

std::vector<std::string> Recovery::all() {
    drainOutbox();
    checkPrinterNotBehind();
    cancelOpenCoupon();
    cancelClosedCouponNeverStored();
    recordPrintedCancellation();
    deleteRowsOfChargedPassages();
    settleImportCredits();
    removeLeftovers();
    return repairs_;
}

void Recovery::drainOutbox() {
    for (const OutboxEntry& e : outbox_.entries()) {
        Variant answer = Variant(answerList());
        std::string r = service_.IncluiVendaCan(e.values, answer);
        std::string reason;
        if (ext::serviceAnswerFailed(Variant(r), &reason))
            throw StationError(
                fmt::format("the cancelled sale of coupon {} waits in {}: the database still refuses "
                            "it: {}",
                            e.coupon, e.file.string(), reason));
        outbox_.remove(e);
        repaired(fmt::format("the cancelled sale of coupon {} that waited in the outbox is recorded", e.coupon));
    }
}

void Recovery::checkPrinterNotBehind() {
    const ext::PrinterState& st = printer_.state();
    int64_t stored = store_.lastStoredCoupon(st.identity.serial);
    if (stored > st.cupNr)
        throw StationError(fmt::format(
            "the printer memory {} is behind the database: its last coupon is {} but the database holds coupon {} of "
            "printer {}; coupon numbers never go back — put back the printer memory this station last wrote",
            printer_.files().state.string(), couponText(st.cupNr), couponText(stored), st.identity.serial));
}

void Recovery::cancelOnPrinter(const std::string& what) {
    VariantArray values = {Variant(s_.params.idEsquema),
                           Variant(false),
                           Variant(false),
                           Variant(false),
                           Variant(s_.branch),
                           Variant(s_.register_),
                           Variant(printer_.state().identity.serial)};
    Variant answer = Variant(answerList());
    if (!printer_.Cancela_Cupom_Imp(values, answer))
        throw StationError(
            fmt::format("{}: the printer refused to cancel it: {}", what, printer_.status().lastRefusal));
}

bool Recovery::recordCancelled(const std::optional<CurrentPassage>& who) {
    const ext::PrinterState& st = printer_.state();
    const ext::ClosedCoupon& last = *st.lastCoupon;
    ds::Packet sale = saleOfItems(s_, last.items, last.cupNr, last.contCupom, who);
    const StationParams& p = s_.params;
    VariantArray values = {Variant::packet(std::move(sale)),
                           Variant::null(),
                           Variant(s_.register_),
                           Variant(p.cdEmpresa),
                           Variant(last.items.empty() ? couponText(last.cupNr) : std::string()),
                           Variant(st.identity.serial),
                           Variant(p.modelo),
                           Variant(p.marca),
                           Variant(p.ecfImp),
                           Variant(last.items.empty() ? s_.branch : std::string()),
                           Variant(last.items.empty() ? couponText(last.contCupom) : std::string()),
                           Variant(""),
                           Variant(""),
                           Variant(p.dataMovimento),
                           Variant("")};
    Variant answer = Variant(answerList());
    std::string r;
    std::string reason;
    try {
        r = service_.IncluiVendaCan(values, answer);
    } catch (const std::exception& e) {
        r = e.what();
    }
    bool ok = !ext::serviceAnswerFailed(Variant(r), &reason);
    if (ok) {
        service_.LogControleAcess({s_.branch, s_.register_, "CAN_CUP", "RECOVERY", "geracupom recovery", "",
                                   "Cancelamento de cupom.", "Cupom cancelado nº: " + couponText(last.cupNr), "", "",
                                   "", "", "", ""});
        return true;
    }
    outbox_.put(st.identity.serial, couponText(last.cupNr), values);
    repaired(fmt::format("the cancelled sale of coupon {} waits in the outbox: the database refused it: {}",
                         couponText(last.cupNr), reason));
    return false;
}

void Recovery::cancelOpenCoupon() {
    const ext::PrinterState& st = printer_.state();
    if (!st.open) return;
    int64_t cupNr = st.open->cupNr;
    std::string what =
        fmt::format("coupon {} was left open on the printer{}", couponText(cupNr), whoText(interrupted_));
    cancelOnPrinter(what);
    size_t items = printer_.state().lastCoupon ? printer_.state().lastCoupon->items.size() : 0;
    bool recorded = recordCancelled(interrupted_);
    repaired(fmt::format("{}: cancelled on the printer{}; the passage stays pending", what,
                         recorded ? fmt::format(" and recorded as a cancelled sale of {} item(s)", items)
                                  : std::string(" (its record waits in the outbox)")));
}

void Recovery::cancelClosedCouponNeverStored() {
    const ext::PrinterState& st = printer_.state();
    if (!st.lastCoupon || !st.lastCoupon->closedNormally || st.lastCoupon->cancelled) return;
    int64_t cupNr = st.lastCoupon->cupNr;
    if (store_.couponFate(st.identity.serial, cupNr) != CouponFate::Unknown) return;
    std::string what = fmt::format("coupon {} was closed on the printer but its sale was never stored{}",
                                   couponText(cupNr), whoText(interrupted_));
    cancelOnPrinter(what);
    bool recorded = recordCancelled(interrupted_);
    repaired(fmt::format("{}: cancelled on the printer{}; the passage stays pending", what,
                         recorded ? std::string(" and recorded as a cancelled sale") : std::string()));
}

void Recovery::recordPrintedCancellation() {
    const ext::PrinterState& st = printer_.state();
    if (!st.lastCoupon || !st.lastCoupon->cancelled) return;
    int64_t cupNr = st.lastCoupon->cupNr;
    if (store_.couponFate(st.identity.serial, cupNr) == CouponFate::Cancelled) return;
    if (outbox_.holds(couponText(cupNr))) return;
    bool recorded = recordCancelled(interrupted_);
    if (recorded)
        repaired(fmt::format("coupon {} was cancelled on the printer but not recorded{}: recorded now",
                             couponText(cupNr), whoText(interrupted_)));
}

void Recovery::deleteRowsOfChargedPassages() {
    // Read row by row, twice when some are charged: the span of their
    // moments first, then the charged ones; a long list is never held whole.
    MomentSpan span;
    store_.eachPendingPassage([&](PendingPassage& p) { span.add(p.moment); });
    std::map<PassageKey, Charge> charged = store_.charges(span);
    if (charged.empty()) return;
    std::vector<PendingPassage> pending;
    store_.eachPendingPassage([&](PendingPassage& p) {
        if (charged.count(p.key())) pending.push_back(std::move(p));
    });
    std::stable_sort(pending.begin(), pending.end(), [](const PendingPassage& a, const PendingPassage& b) {
        return ChargingOrder::of(a) < ChargingOrder::of(b);
    });
    for (const PendingPassage& p : pending) {
        auto c = charged.find(p.key());
        if (c == charged.end()) continue;
        try {
            store_.deleteTurnstileRow(p.passage.nrSeqLogCat);
        } catch (const std::exception& e) {
            repaired(
                fmt::format("the passage {} is charged by coupon {} but its turnstile row cannot be deleted ({}); "
                            "it is not charged again",
                            p.passage.nrSeqLogCat, c->second.coupon, e.what()));
            continue;
        }
        repaired(fmt::format(
            "the passage {} of consumer {} {} at {} is charged by coupon {} but its turnstile row was "
            "still pending: row deleted, nothing printed again",
            p.passage.nrSeqLogCat, p.passage.cdConsumidor, p.passage.nmConsumidor, p.moment, c->second.coupon));
    }
}

void Recovery::settleImportCredits() {
    for (const std::string& record : store_.importRecordsOutOfStep()) {
        auto [before, after] = store_.settleImportCredit(record);
        repaired(fmt::format("import record {} credited with the {} passage(s) charged from it (it said {})", record,
                             after, before));
    }
}

void Recovery::removeLeftovers() {
    std::error_code ec;
    fs::path item = s_.params.saleDir / "cdsVenda.cds";
    if (fs::exists(item, ec)) {
        fs::remove(item, ec);
        repaired("the item file of an unfinished sale was removed");
    }
    Journal(s_.layout.dir / "run-current.json").clear();
    for (const fs::path& old : {s_.layout.dir / "run-journal.json", s_.layout.dir / "run-current.txt"})
        fs::remove(old, ec);
    // Scratch files of writes a crash cut short: the file they were to replace
    // still holds its old content, whole.
    for (const fs::path& dir : {s_.layout.dir, s_.params.saleDir, outbox_.dir()})
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.path().extension() == ".tmp") fs::remove(e.path(), ec);
}

std::optional<int64_t> Recovery::afterConsumer(const CurrentPassage& passage) {
    const ext::PrinterState& st = printer_.state();
    std::optional<CurrentPassage> who = passage;
    if (st.open) {
        int64_t cupNr = st.open->cupNr;
        std::string what = fmt::format("coupon {} was left open by the service{}", couponText(cupNr), whoText(who));
        cancelOnPrinter(what);
        bool recorded = recordCancelled(who);
        repaired(fmt::format("{}: cancelled on the printer{}", what,
                             recorded ? std::string(" and recorded as a cancelled sale") : std::string()));
        return cupNr;
    }
    // A database that stopped answering cannot say: the record is tried, and
    // kept in the outbox when refused.
    auto recorded = [&](int64_t cupNr) {
        try {
            return store_.couponFate(st.identity.serial, cupNr) == CouponFate::Cancelled;
        } catch (const std::exception&) {
            return false;
        }
    };
    if (st.lastCoupon && st.lastCoupon->cupNr > passage.couponBefore && st.lastCoupon->cancelled &&
        !outbox_.holds(couponText(st.lastCoupon->cupNr)) && !recorded(st.lastCoupon->cupNr)) {
        int64_t cupNr = st.lastCoupon->cupNr;
        if (recordCancelled(who) && !st.lastCoupon->items.empty())
            repaired(fmt::format("coupon {}{} was cancelled on the printer but not recorded: recorded now",
                                 couponText(cupNr), whoText(who)));
        return cupNr;
    }
    return std::nullopt;
}

}  // namespace zel::host
