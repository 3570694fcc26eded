// The simulated fiscal printer: each operation checks its input, applies the
// configured fault, changes the printer's memory atomically and prints.
#include "external/printer/fiscal_printer_sim.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "external/utility/args.h"
#include "external/utility/param_packet.h"
#include "external/printer/printer_tape.h"
#include "external/utility/utility.h"
#include "platform/atomic_file.h"
#include "platform/dataset/packet.h"
#include "platform/money.h"
#include "platform/text.h"

namespace zel::ext {

namespace {

int64_t nextCounter(int64_t c) { return c >= 999999 ? 1 : c + 1; }

std::string moneyText(int64_t cents) { return tapeMoney(cents); }

// Text to number in the station's format, or else in the invariant one.
bool readNumber(std::string_view text, const FormatSettings& fs, double& out) {
    return tryStrToFloat(text, fs, out) || tryStrToFloat(text, FormatSettings::invariant(), out);
}

// Amounts beyond these are refused rather than risk an overflow of the totals.
constexpr double kMaxQuantity = 1e6;
constexpr double kMaxPrice = 1e9;

// Reads the columns of a packet handed in the closing list.
class PacketColumns {
  public:
    PacketColumns(const ArgReader& args, size_t pos, std::string_view role, const FormatSettings& fs)
        : args_(args),
          pos_(pos),
          role_(role),
          packet_(args.packet(pos, role)),
          fs_(fs),
          rows_(packet_.liveRecordOrder()),
          replaced_(packet_.replacedRecords()) {}

    size_t rows() const { return rows_.size(); }
    bool hasField(std::string_view name) const { return packet_.fieldIndex(name) >= 0; }

    int field(std::string_view name) const {
        int i = packet_.fieldIndex(name);
        if (i < 0) args_.fail(pos_, role_, fmt::format("the packet has no field {}", name));
        return i;
    }
    // A "not changed" cell of a modified row stands for the value it replaces.
    const ds::Cell& cell(size_t row, int field) const {
        return packet_.resolvedCell(rows_[row], static_cast<size_t>(field), replaced_);
    }
    std::string text(size_t row, std::string_view name) const {
        const ds::Cell& c = cell(row, field(name));
        if (auto* s = std::get_if<std::string>(&c)) return *s;
        if (auto* i = std::get_if<int64_t>(&c)) return std::to_string(*i);
        if (auto* d = std::get_if<double>(&c)) return floatToStr(*d, fs_);
        return {};
    }
    int64_t cents(size_t row, std::string_view name) const {
        const ds::Cell& c = cell(row, field(name));
        double v = 0;
        if (auto* d = std::get_if<double>(&c)) v = *d;
        else if (auto* i = std::get_if<int64_t>(&c)) v = static_cast<double>(*i);
        else if (auto* s = std::get_if<std::string>(&c)) {
            if (!readNumber(*s, fs_, v))
                args_.fail(pos_, role_, fmt::format("field {} of row {} is not an amount: '{}'", name, row + 1, *s));
        }
        if (!std::isfinite(v) || std::fabs(v) > kMaxPrice)
            args_.fail(pos_, role_, fmt::format("field {} of row {} is out of range", name, row + 1));
        return cutToCents(v);
    }

  private:
    const ArgReader& args_;
    size_t pos_;
    std::string role_;
    const ds::Packet& packet_;
    const FormatSettings& fs_;
    std::vector<size_t> rows_;
    std::vector<int64_t> replaced_;
};

// The closing list: 53 values of fixed types.
void checkClosingList(const ArgReader& a) {
    a.expectCount(53);
    for (size_t p : {0, 1, 2, 9, 10, 12}) a.text(p);
    a.integer(3, "printer type");
    for (size_t p : {4, 5, 11}) a.boolean(p);
    for (size_t p : {6, 7, 8, 37, 38, 52}) a.integer(p);
    a.packet(13, "cash movement");
    a.packet(14, "receipt types");
    for (size_t p = 15; p <= 31; ++p) a.text(p);
    a.packet(32, "balances per family");
    a.packet(33, "sale per family");
    a.nothing(34);
    for (size_t p = 35; p <= 48; ++p)
        if (p != 37 && p != 38) a.text(p);
    a.packet(49, "consumption");
    a.number(50, "state tax");
    a.number(51, "federal tax");
}

VariantArray& answerSlots(Variant& answer, const char* operation) {
    if (!answer.isArray() || answer.items().size() != 10)
        throw ArgumentError(fmt::format("{}: the answer list must be an array of 10 values, found {}", operation,
                                        answer.isArray() ? fmt::format("an array of {}", answer.items().size())
                                                         : std::string("a ") + Variant::typeName(answer.type())));
    return answer.items();
}

std::string couponIdent(const PrinterState& s, int64_t cupNr, int64_t contCupom) {
    return fmt::format("{}-{}-{}", s.identity.serial, sixDigits(cupNr), sixDigits(contCupom));
}

}  // namespace

std::vector<PrinterRate> ratesFromAliqImpFis(const ds::Packet& table, std::string_view source) {
    auto field = [&](const char* name) {
        int i = table.fieldIndex(name);
        if (i < 0) throw Error(fmt::format("{}: the tax-rate table has no field {}", source, name));
        return static_cast<size_t>(i);
    };
    size_t code = field("CDALIQIMPFIS"), rate = field("VRALIQIMPFIS"), kind = field("IDALIQIMPFIS");
    std::vector<int64_t> replaced = table.replacedRecords();
    std::vector<PrinterRate> out;
    size_t row = 0;
    for (size_t r : table.liveRecordOrder()) {
        ++row;
        auto text = [&](size_t f) {
            const ds::Cell& c = table.resolvedCell(r, f, replaced);
            if (auto* s = std::get_if<std::string>(&c)) return *s;
            return std::string();
        };
        const ds::Cell& rc = table.resolvedCell(r, rate, replaced);
        double v = -1;
        if (auto* d = std::get_if<double>(&rc)) v = *d;
        else if (auto* i = std::get_if<int64_t>(&rc)) v = static_cast<double>(*i);
        if (!std::isfinite(v) || v < 0 || v > 100)
            throw Error(fmt::format("{}: row {} has no rate between 0 and 100 in VRALIQIMPFIS", source, row));
        out.push_back({text(code), std::llround(v * 100), text(kind)});
    }
    return out;
}

SimulatedPrinterFiles SimulatedPrinterFiles::inStation(const std::filesystem::path& stationDir) {
    return {stationDir / "printer-state.json", stationDir / "printer-tape.txt", stationDir / "printer-grand-total.txt"};
}

bool SimulatedPrinter::takesProductRate(int32_t type) { return type == 16 || type == 21 || type == 26 || type == 30; }

void SimulatedPrinter::create(const SimulatedPrinterFiles& files, const PrinterSetup& setup) {
    std::error_code ec;
    if (std::filesystem::exists(files.state, ec))
        throw Error(fmt::format("a printer state already exists at {}; a printer is never started again",
                                files.state.string()));
    if (setup.identity.serial.empty()) throw Error("a new printer needs a serial number");
    PrinterState s;
    s.identity = setup.identity;
    s.rates = setup.rates;
    s.companyCnpj = setup.companyCnpj;
    s.companyIe = setup.companyIe;
    savePrinterState(files.state, s);  // and a journal left by another printer goes
}

SimulatedPrinter::SimulatedPrinter(SimulatedPrinterFiles files, const Clock& clock, FormatSettings fs,
                                   PrinterFaults faults)
    : files_(std::move(files)),
      clock_(&clock),
      fs_(std::move(fs)),
      faults_(std::move(faults)),
      tape_(std::make_unique<AppendedFile>("printer tape")),
      grandTotal_(std::make_unique<RewrittenFile>("grand total file")) {
    std::error_code ec;
    if (!std::filesystem::exists(files_.state, ec)) {
        problem_ =
            fmt::format("no printer state file at {}; the station's set-up makes a new printer", files_.state.string());
        return;
    }
    StoredPrinterMemory memory;
    try {
        memory = loadPrinterMemory(files_.state);
    } catch (const PrinterStateError& e) {
        problem_ = e.what();
        return;
    }
    state_ = std::move(memory.state);
    unflushedReceipts_ = std::move(memory.receipts);
    journal_ = std::make_unique<PrinterJournal>(printerJournalPath(files_.state), memory.journalBytes, memory.records);
    // The tape may have lost receipts of the journal to a power cut. A
    // journal left by a crash is folded into the state file by the next
    // printer that changes the memory: one that only reads it (a status) may
    // run beside a printer at work and writes nothing but owed receipts.
    if (!unflushedReceipts_.empty()) tapeFlushOwed_ = true;
    bringTapeUpToDate();
}

SimulatedPrinter::~SimulatedPrinter() {
    if (!journal_ || !state_ || !changed_) return;
    try {
        if (bringTapeUpToDate()) compact();
    } catch (...) {
        // The journal stays; the next start reads it.
    }
}

const PrinterState& SimulatedPrinter::state() const {
    if (!state_) throw PrinterStateError(problem_);
    return *state_;
}

PrinterStatus SimulatedPrinter::status() const {
    PrinterStatus st;
    st.usable = usable();
    st.problem = problem_;
    st.lastRefusal = lastRefusal_;
    st.tapeProblem = tapeProblem_;
    if (!state_) return st;
    const PrinterState& s = *state_;
    st.identity = s.identity;
    st.cupNr = sixDigits(s.cupNr);
    st.contCupom = sixDigits(s.contCupom);
    st.grandTotalCents = s.grandTotalCents;
    st.cancelTotalCents = s.cancelTotalCents;
    st.couponOpen = s.open.has_value();
    if (s.open) {
        st.openCupNr = sixDigits(s.open->cupNr);
        st.openItems = s.open->items.size();
        st.openSubtotalCents = s.open->subtotalCents();
    }
    st.lastCoupon = s.lastCoupon;
    return st;
}

bool SimulatedPrinter::enter(const char* operation) {
    if (!state_) throw PrinterStateError(fmt::format("{}: {}", operation, problem_));
    if (const FaultRule* rule = faults_.strike(operation)) {
        uint32_t n = faults_.calls(operation);
        if (rule->action == FaultAction::RaiseError)
            throw SimulatedFault(fmt::format("{}: simulated printer fault at call {}", operation, n));
        lastRefusal_ = fmt::format("{}: simulated false answer at call {}", operation, n);
        return false;
    }
    return true;
}

bool SimulatedPrinter::refuse(std::string reason) {
    lastRefusal_ = std::move(reason);
    return false;
}

DateTime SimulatedPrinter::printerNow() const {
    return roundToMillisecond(DateTime(clock_->now().value() + state_->identity.dateOffsetDays));
}

// The journal is written whole to the state file once it holds this much.
constexpr uint64_t kJournalBytesBeforeCompaction = 1 << 20;

void SimulatedPrinter::commit(PrinterState next, Durability durability) {
    journal_->append(next, durability);
    changed_ = true;
    state_ = std::move(next);
    if (state_->lastReceipt &&
        (unflushedReceipts_.empty() || unflushedReceipts_.back().number != state_->lastReceipt->number))
        unflushedReceipts_.push_back(*state_->lastReceipt);
    if (bringTapeUpToDate() && journal_->bytes() >= kJournalBytesBeforeCompaction) compact();
}

bool SimulatedPrinter::bringTapeUpToDate() {
    if (!state_ || !state_->lastReceipt) return true;
    const LastReceipt& last = *state_->lastReceipt;
    if (tapeEndsWith_ == last.number) return true;
    // Usually this printer put the receipt before on the tape itself and the
    // new one follows it; else the tape's end tells, past a receipt cut short
    // only when it must.
    TapeEnd end;
    if (tapeEndsWith_ >= 0 && tapeEndsWith_ + 1 == last.number) end = {false, tapeEndsWith_};
    else if (std::optional<int64_t> n = lastReceiptNumberOnTape(files_.tape)) end = {false, n};
    else end = lastWholeReceiptOnTape(files_.tape);
    if (end.lastWhole && *end.lastWhole >= last.number) {
        // A tape ahead of the memory (a memory restored from a copy) is left as it is.
        tapeEndsWith_ = *end.lastWhole;
        tapeProblem_.clear();
        return true;
    }
    // What the tape lacks: the receipts after its last whole one; on a tape
    // of an older printer, whose receipts carry no number, the last one only.
    std::vector<const LastReceipt*> owed;
    for (const LastReceipt& r : unflushedReceipts_)
        if (end.lastWhole ? r.number > *end.lastWhole : end.blank) owed.push_back(&r);
    if (owed.empty() || owed.back()->number != last.number) owed = {&last};
    for (const LastReceipt* r : owed) {
        try {
            tape_->append(files_.tape, r->text);
        } catch (const FileWriteError& e) {
            tapeProblem_ = fmt::format("receipt {} is not on the tape yet: {}", sixDigits(r->number), e.what());
            return false;
        }
        tapeEndsWith_ = r->number;
        tapeFlushOwed_ = true;
    }
    tapeProblem_.clear();
    return true;
}

bool SimulatedPrinter::compact() {
    try {
        if (tapeFlushOwed_ && std::filesystem::exists(files_.tape)) flushFile(files_.tape, "printer tape");
        tapeFlushOwed_ = false;
        savePrinterState(files_.state, *state_);
    } catch (const FileWriteError&) {
        return false;
    }
    journal_->restart();
    unflushedReceipts_.clear();
    changed_ = false;
    return true;
}

bool SimulatedPrinter::tapeReady(const char* operation) {
    if (!bringTapeUpToDate()) return refuse(fmt::format("{}: {}", operation, tapeProblem_));
    if (int e = tape_->ready(files_.tape); e != 0) {
        tapeProblem_ = fmt::format("the printer tape {} cannot be written: {}", files_.tape.string(), std::strerror(e));
        return refuse(fmt::format("{}: {}", operation, tapeProblem_));
    }
    return true;
}

int64_t SimulatedPrinter::nextReceiptNumber() const {
    return state_->lastReceipt ? state_->lastReceipt->number + 1 : 1;
}

// ---- builders ----

Variant SimulatedPrinter::Params_AbreCupom_Kva00000(const std::string& idEsquema, int32_t& nrAbertura,
                                                    std::string& nrCpfRespCon, std::string& nmConsumidor,
                                                    std::string& dsEndeVenda, std::string& cupNr,
                                                    std::string& contCupom, const std::string& text1,
                                                    const std::string& text2, const std::string& text3,
                                                    const std::string& text4, const std::string& text5,
                                                    const std::string& text6, const std::string& text7, bool flag) {
    enter("Params_AbreCupom_Kva00000");
    dsEndeVenda = state_->identity.saleAddress;
    return makeParamPacket("AbreCupom", {{"IDESQUEMA", idEsquema},
                                         {"NRABERTURA", nrAbertura},
                                         {"NRCPFRESPCON", nrCpfRespCon},
                                         {"NMCONSUMIDOR", nmConsumidor},
                                         {"DSENDEVENDA", dsEndeVenda},
                                         {"CUPNR", cupNr},
                                         {"CONTCUPOM", contCupom},
                                         {"TEXTO1", text1},
                                         {"TEXTO2", text2},
                                         {"TEXTO3", text3},
                                         {"TEXTO4", text4},
                                         {"TEXTO5", text5},
                                         {"TEXTO6", text6},
                                         {"TEXTO7", text7},
                                         {"FLAG", flag}});
}

Variant SimulatedPrinter::Params_VendaItem_Kva00000(const std::string& idEsquema, const std::string& text2,
                                                    const std::string& mode, const std::string& itemCode,
                                                    const std::string& description, const std::string& rateCode,
                                                    const std::string& rateKind, const std::string& unit,
                                                    const std::string& text9, const std::string& productRate,
                                                    const std::string& text11, int32_t nrAbertura, double quantity,
                                                    double unitPrice, double discount, double surcharge, bool flag) {
    enter("Params_VendaItem_Kva00000");
    return makeParamPacket("VendaItem", {{"IDESQUEMA", idEsquema},
                                         {"TEXTO2", text2},
                                         {"MODO", mode},
                                         {"CODIGO", itemCode},
                                         {"DESCRICAO", description},
                                         {"CDALIQUOTA", rateCode},
                                         {"TPALIQUOTA", rateKind},
                                         {"UNIDADE", unit},
                                         {"TEXTO9", text9},
                                         {"ALIQPRODUTO", productRate},
                                         {"TEXTO11", text11},
                                         {"NRABERTURA", nrAbertura},
                                         {"QUANTIDADE", quantity},
                                         {"PRECOUNIT", unitPrice},
                                         {"DESCONTO", discount},
                                         {"ACRESCIMO", surcharge},
                                         {"FLAG", flag}});
}

Variant SimulatedPrinter::Params_Atu_TotGeral_Kva00000(const std::string& cdFilial, const std::string& cdCaixa,
                                                       const std::string& nrSerieImp, const std::string& idEsquema,
                                                       const std::string& mode, bool flag, const std::string& text7,
                                                       const std::string& text8, const std::string& text9,
                                                       const std::string& text10, double amount1, double amount2) {
    enter("Params_Atu_TotGeral_Kva00000");
    return makeParamPacket("Atu_TotGeral", {{"CDFILIAL", cdFilial},
                                            {"CDCAIXA", cdCaixa},
                                            {"NRSERIEIMP", nrSerieImp},
                                            {"IDESQUEMA", idEsquema},
                                            {"MODO", mode},
                                            {"FLAG", flag},
                                            {"TEXTO7", text7},
                                            {"TEXTO8", text8},
                                            {"TEXTO9", text9},
                                            {"TEXTO10", text10},
                                            {"VALOR1", amount1},
                                            {"VALOR2", amount2}});
}

Variant SimulatedPrinter::Params_VerificaSerialImp_Kva00000(bool utilizaImpFis, const std::string& dsDirCad,
                                                            const std::string& idEsquema,
                                                            const std::string& nrSerieImp) {
    enter("Params_VerificaSerialImp_Kva00000");
    return makeParamPacket("VerificaSerialImp", {{"UTILIZAIMPFIS", utilizaImpFis},
                                                 {"DSDIRCAD", dsDirCad},
                                                 {"IDESQUEMA", idEsquema},
                                                 {"NRSERIEIMP", nrSerieImp}});
}

// ---- driver operations ----

bool SimulatedPrinter::AbreCupom(Variant& packet) {
    if (!enter("AbreCupom")) return false;
    ParamPacketView p(packet, "AbreCupom", "AbreCupom");
    for (const char* k : {"IDESQUEMA", "NRCPFRESPCON", "NMCONSUMIDOR", "DSENDEVENDA", "CUPNR", "CONTCUPOM", "TEXTO1",
                          "TEXTO2", "TEXTO3", "TEXTO4", "TEXTO5", "TEXTO6", "TEXTO7"})
        p.text(k);
    p.integer("NRABERTURA");
    p.boolean("FLAG");
    if (state_->open) return refuse(fmt::format("AbreCupom: coupon {} is still open", sixDigits(state_->open->cupNr)));
    if (!tapeReady("AbreCupom")) return false;

    PrinterState next = *state_;
    next.cupNr = nextCounter(next.cupNr);
    next.contCupom = nextCounter(next.contCupom);
    OpenCoupon o;
    o.cupNr = next.cupNr;
    o.contCupom = next.contCupom;
    o.opened = printerNow();
    o.consumerName = p.text("NMCONSUMIDOR");
    o.consumerCpf = p.text("NRCPFRESPCON");
    next.open = std::move(o);
    commit(std::move(next), Durability::Cached);
    setParam(packet, "CUPNR", Variant(sixDigits(state_->cupNr)), "AbreCupom");
    setParam(packet, "CONTCUPOM", Variant(sixDigits(state_->contCupom)), "AbreCupom");
    return true;
}

bool SimulatedPrinter::VendaItem(Variant& packet) {
    if (!enter("VendaItem")) return false;
    ParamPacketView p(packet, "VendaItem", "VendaItem");
    for (const char* k : {"IDESQUEMA", "TEXTO2", "MODO", "CODIGO", "DESCRICAO", "CDALIQUOTA", "TPALIQUOTA", "UNIDADE",
                          "TEXTO9", "ALIQPRODUTO", "TEXTO11"})
        p.text(k);
    p.integer("NRABERTURA");
    double quantity = p.number("QUANTIDADE"), price = p.number("PRECOUNIT");
    double discount = p.number("DESCONTO"), surcharge = p.number("ACRESCIMO");
    p.boolean("FLAG");

    if (!state_->open) return refuse("VendaItem: no coupon is open");
    if (!std::isfinite(quantity) || quantity <= 0 || quantity > kMaxQuantity)
        return refuse(fmt::format("VendaItem: quantity {} refused", quantity));
    if (!std::isfinite(price) || price <= 0 || price > kMaxPrice)
        return refuse(fmt::format("VendaItem: unit price {} refused", price));
    if (!std::isfinite(discount) || !std::isfinite(surcharge) || discount < 0 || surcharge < 0 ||
        discount > kMaxPrice || surcharge > kMaxPrice)
        return refuse("VendaItem: a discount or surcharge below zero or out of range");
    if (state_->open->items.size() >= 999) return refuse("VendaItem: a coupon holds at most 999 items");

    CouponItem it;
    const std::string& code = p.text("CDALIQUOTA");
    const std::string& kind = p.text("TPALIQUOTA");
    if (takesProductRate(state_->identity.type) || !fiscalInUse_) {
        double rate = 0;
        if (!readNumber(p.text("ALIQPRODUTO"), fs_, rate) || rate < 0 || rate > 100)
            return refuse(fmt::format("VendaItem: the product's rate '{}' is not a rate", p.text("ALIQPRODUTO")));
        it.rateKind = kind.empty() ? "T" : kind;
        it.rateHundredths = std::llround(rate * 100);
    } else {
        const PrinterRate* found = nullptr;
        for (const PrinterRate& r : state_->rates)
            if (r.code == code && equalsIgnoringCase(r.kind, kind)) {
                found = &r;
                break;
            }
        if (!found) return refuse(fmt::format("VendaItem: no rate {} of kind '{}' in the printer", code, kind));
        it.rateCode = found->code;
        it.rateKind = found->kind;
        it.rateHundredths = found->rateHundredths;
    }
    it.quantityMilli = std::llround(quantity * 1000);
    // Amounts are cut to the cent as the sale cuts them, so that the coupon
    // prints what the stored sale holds.
    it.unitPriceCents = cutToCents(price);
    if (it.quantityMilli <= 0 || it.unitPriceCents <= 0)
        return refuse("VendaItem: quantity or price below the printer's resolution");
    it.discountCents = cutToCents(discount);
    it.surchargeCents = cutToCents(surcharge);
    int64_t gross = lineGrossCents(it.quantityMilli, it.unitPriceCents);
    if (it.discountCents > gross) return refuse("VendaItem: the discount exceeds the item's value");
    it.amountCents = gross - it.discountCents + it.surchargeCents;
    it.number = static_cast<int32_t>(state_->open->items.size() + 1);
    it.code = p.text("CODIGO");
    it.description = p.text("DESCRICAO");
    it.unit = p.text("UNIDADE");

    if (!tapeReady("VendaItem")) return false;
    PrinterState next = *state_;
    next.open->items.push_back(std::move(it));
    commit(std::move(next), Durability::Cached);
    return true;
}

bool SimulatedPrinter::FechaCupom(const VariantArray& closing, const Variant& /*unused*/, Variant& answer) {
    if (!enter("FechaCupom")) return false;
    ArgReader a(closing, "FechaCupom", "closing list");
    checkClosingList(a);
    VariantArray& slots = answerSlots(answer, "FechaCupom");
    if (!state_->open) return refuse("FechaCupom: no coupon is open");
    if (state_->open->items.empty()) return refuse("FechaCupom: the open coupon has no item");

    const OpenCoupon& open = *state_->open;
    TapeCoupon t;
    t.companyCnpj = a.text(44);
    t.companyIe = a.text(45);
    t.moment = printerNow();
    t.cupNr = open.cupNr;
    t.contCupom = open.contCupom;
    t.items = open.items;
    t.totalCents = open.subtotalCents();

    PacketColumns movement(a, 13, "cash movement", fs_);
    int64_t paid = 0;
    for (size_t r = 0; r < movement.rows(); ++r) {
        int64_t cents = movement.cents(r, "VRMOVIVEND");
        std::string form = movement.text(r, "NMTIPORECE");
        if (form.empty() && movement.hasField("CDTIPORECE")) form = "Recebimento " + movement.text(r, "CDTIPORECE");
        t.payments.push_back({form, cents});
        paid += cents;
    }
    if (paid < t.totalCents) t.clientPartCents = t.totalCents - paid;
    else t.changeCents = paid - t.totalCents;

    t.consumerName = !a.text(18).empty() ? a.text(18) : !a.text(20).empty() ? a.text(20) : open.consumerName;
    t.consumerCpf = !a.text(19).empty() ? a.text(19) : open.consumerCpf;

    PacketColumns balances(a, 32, "balances per family", fs_);
    PacketColumns spent(a, 33, "sale per family", fs_);
    std::vector<std::pair<std::string, TapeFamily>> families;  // by family code
    for (size_t r = 0; r < balances.rows(); ++r) {
        TapeFamily f;
        std::string code = balances.text(r, "CDFAMILISALD");
        f.name = balances.hasField("NMFAMILISALD") ? balances.text(r, "NMFAMILISALD") : std::string();
        if (f.name.empty()) f.name = code;
        f.balanceCents = balances.cents(r, "VRSALDCONFAM");
        families.emplace_back(code, f);
    }
    for (size_t r = 0; r < spent.rows(); ++r) {
        std::string code = spent.text(r, "CDFAMILISALD");
        int64_t cents = spent.cents(r, "VRSALDCONFAM");
        auto it = std::find_if(families.begin(), families.end(), [&](auto& e) { return e.first == code; });
        if (it == families.end()) it = families.insert(families.end(), {code, TapeFamily{code, 0, 0}});
        it->second.spentCents += cents;
    }
    for (auto& [code, f] : families) t.families.push_back(f);

    t.printLimits = a.text(46) != "N";
    if (t.printLimits) {
        t.maxDebit = a.text(47);
        t.debitLimit = a.text(48);
        double v = 0;
        if (readNumber(t.maxDebit, fs_, v) && std::isfinite(v) && std::fabs(v) <= kMaxPrice)
            t.maxDebit = moneyText(cutToCents(v));
        if (readNumber(t.debitLimit, fs_, v) && std::isfinite(v) && std::fabs(v) <= kMaxPrice)
            t.debitLimit = moneyText(cutToCents(v));
        PacketColumns consumption(a, 49, "consumption", fs_);
        if (consumption.rows() > 0) {
            if (consumption.hasField("VALCONSUMDIA")) t.dayConsumptionCents = consumption.cents(0, "VALCONSUMDIA");
            if (consumption.hasField("VALCONSUMMES")) t.monthConsumptionCents = consumption.cents(0, "VALCONSUMMES");
        }
    }
    double stateTax = a.number(50, "state tax"), federalTax = a.number(51, "federal tax");
    if (!std::isfinite(stateTax) || !std::isfinite(federalTax) || std::fabs(stateTax) > kMaxPrice ||
        std::fabs(federalTax) > kMaxPrice)
        a.fail(50, "taxes", "an approximate tax is out of range");
    t.taxStateCents = cutToCents(stateTax);
    t.taxFederalCents = cutToCents(federalTax);
    t.md5Line = a.text(1);
    t.printer = state_->identity;
    t.receiptNumber = nextReceiptNumber();
    if (!tapeReady("FechaCupom")) return false;

    PrinterState next = *state_;
    std::string ident = couponIdent(next, open.cupNr, open.contCupom);
    next.grandTotalCents += t.totalCents;
    next.lastCoupon =
        ClosedCoupon{open.cupNr, open.contCupom, t.moment, t.totalCents, ident, false, true, open.items, 0};
    next.open.reset();
    if (!t.companyCnpj.empty()) next.companyCnpj = t.companyCnpj;
    if (!t.companyIe.empty()) next.companyIe = t.companyIe;
    next.lastReceipt = LastReceipt{t.receiptNumber, receiptText(couponLines(t))};
    // The memory is the record; the tape follows it (and is brought up to date
    // later when this append fails). Flushed: the station stores the sale next.
    commit(std::move(next), Durability::Flushed);

    slots[0] = Variant(sixDigits(t.cupNr));
    slots[1] = Variant(sixDigits(t.contCupom));
    slots[2] = Variant(ident);
    slots[3] = Variant(static_cast<double>(t.totalCents) / 100);
    return true;
}

bool SimulatedPrinter::Atu_TotGeral(Variant& packet) {
    if (!enter("Atu_TotGeral")) return false;
    ParamPacketView p(packet, "Atu_TotGeral", "Atu_TotGeral");
    for (const char* k :
         {"CDFILIAL", "CDCAIXA", "NRSERIEIMP", "IDESQUEMA", "MODO", "TEXTO7", "TEXTO8", "TEXTO9", "TEXTO10"})
        p.text(k);
    p.boolean("FLAG");
    p.number("VALOR1");
    p.number("VALOR2");
    if (p.text("NRSERIEIMP") != state_->identity.serial)
        return refuse(fmt::format("Atu_TotGeral: the station expects printer {}, this one is {}", p.text("NRSERIEIMP"),
                                  state_->identity.serial));
    std::string text = fmt::format(
        "serial = {}\ncdFilial = {}\ncdCaixa = {}\ngrandTotal = {}\ncancelTotal = {}\ncupNr = {}\nmoment = {}\n",
        state_->identity.serial, p.text("CDFILIAL"), p.text("CDCAIXA"), moneyText(state_->grandTotalCents),
        moneyText(state_->cancelTotalCents), sixDigits(state_->cupNr),
        formatDateTime("yyyy-mm-dd hh:nn:ss", printerNow(), FormatSettings::invariant()));
    // A copy of what the memory holds for a person to read, written again by
    // every update: over the old content, not flushed.
    grandTotal_->write(files_.grandTotal, text);
    setParam(packet, "GTOTAL", Variant(static_cast<double>(state_->grandTotalCents) / 100), "Atu_TotGeral");
    return true;
}

bool SimulatedPrinter::VerificaData(const std::string& /*idEsquema*/, Variant& printerDate, int32_t /*mode1*/,
                                    const std::string& dataImp, int32_t /*mode2*/) {
    if (!enter("VerificaData")) return false;
    DateTime now = printerNow();
    printerDate = Variant(now);
    if (now.dateOnly() != clock_->today())
        return refuse(fmt::format("VerificaData: the printer's date {} is not the station's date {}",
                                  dateToStr(now, fs_), dateToStr(clock_->today(), fs_)));
    if (!EmptyString(dataImp)) {
        try {
            DateTime last = strToDate(dataImp, fs_);
            if (now.dateOnly() < last.dateOnly())
                return refuse(fmt::format("VerificaData: the printer's date {} is before the last date {}",
                                          dateToStr(now, fs_), dataImp));
        } catch (const ConvertError&) {
            // not a date: nothing to compare with
        }
    }
    return true;
}

bool SimulatedPrinter::VerificaSerialImp(const Variant& packet) {
    if (!enter("VerificaSerialImp")) return false;
    ParamPacketView p(packet, "VerificaSerialImp", "VerificaSerialImp");
    fiscalInUse_ = p.boolean("UTILIZAIMPFIS");
    p.text("DSDIRCAD");
    p.text("IDESQUEMA");
    if (p.text("NRSERIEIMP") != state_->identity.serial)
        return refuse(fmt::format("VerificaSerialImp: the station expects printer {}, this one is {}",
                                  p.text("NRSERIEIMP"), state_->identity.serial));
    return true;
}

bool SimulatedPrinter::Cancela_Cupom_Imp(const VariantArray& values, Variant& answer) {
    if (!enter("Cancela_Cupom_Imp")) return false;
    ArgReader a(values, "Cancela_Cupom_Imp", "value list");
    a.expectCount(7);
    a.text(0, "idEsquema");
    for (size_t p : {1, 2, 3}) a.boolean(p);
    a.text(4, "CDFILIAL");
    a.text(5, "CDCAIXA");
    const std::string& serial = a.text(6, "nrSerieImp");
    VariantArray& slots = answerSlots(answer, "Cancela_Cupom_Imp");
    if (serial != state_->identity.serial)
        return refuse(fmt::format("Cancela_Cupom_Imp: the station expects printer {}, this one is {}", serial,
                                  state_->identity.serial));

    if (!state_->open && !(state_->lastCoupon && !state_->lastCoupon->cancelled))
        return refuse("Cancela_Cupom_Imp: no open coupon and no closed coupon that may still be cancelled");
    if (!tapeReady("Cancela_Cupom_Imp")) return false;

    PrinterState next = *state_;
    TapeCancellation r;
    r.receiptNumber = nextReceiptNumber();
    r.companyCnpj = next.companyCnpj;
    r.companyIe = next.companyIe;
    r.moment = printerNow();
    r.printer = next.identity;
    if (next.open) {
        r.cupNr = next.open->cupNr;
        r.contCupom = next.open->contCupom;
        r.totalCents = next.open->subtotalCents();
        r.wasOpen = true;
        next.lastCoupon = ClosedCoupon{r.cupNr,
                                       r.contCupom,
                                       r.moment,
                                       r.totalCents,
                                       couponIdent(next, r.cupNr, r.contCupom),
                                       true,
                                       false,
                                       std::move(next.open->items),
                                       r.totalCents};
        next.open.reset();
    } else if (next.lastCoupon && !next.lastCoupon->cancelled) {
        r.cupNr = next.lastCoupon->cupNr;
        r.contCupom = next.lastCoupon->contCupom;
        r.totalCents = next.lastCoupon->totalCents;
        next.lastCoupon->cancelled = true;
        next.lastCoupon->cancelledCents = r.totalCents;
    } else {
        return refuse("Cancela_Cupom_Imp: no open coupon and no closed coupon that may still be cancelled");
    }
    next.cancelTotalCents += r.totalCents;
    next.lastReceipt = LastReceipt{r.receiptNumber, receiptText(cancellationLines(r))};
    // Flushed: the station records the cancelled sale next.
    commit(std::move(next), Durability::Flushed);
    slots[0] = Variant(sixDigits(r.cupNr));
    slots[1] = Variant(sixDigits(r.contCupom));
    slots[2] = Variant(state_->lastCoupon->ident);
    slots[3] = Variant(static_cast<double>(r.totalCents) / 100);
    return true;
}

DateTime SimulatedPrinter::DataMoviFiscal(const std::string& /*idEsquema*/) {
    enter("DataMoviFiscal");
    return printerNow().dateOnly();
}

}  // namespace zel::ext
