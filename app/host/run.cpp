// A run of the station: recovery of what a crash left, then the pending
// passages of the station's branch and register, one call of GeraCupomVenda
// per import record, with progress, messages and the outcome of each passage.
#include <functional>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "external/service_package_db.h"
#include "external/service_sql.h"
#include "external/util_connection.h"
#include "external/utility.h"
#include "host/host.h"
#include "platform/dataset/codec.h"
#include "platform/dataset/table.h"
#include "platform/db/connection.h"
#include "service/module.h"

namespace zel::host {
namespace {

using ext::svc::cellNumber;
using ext::svc::cellText;
using ext::svc::text;
using json = nlohmann::json;

// The station clock: starts at the moment given and runs on with the machine.
class RunningClock final : public Clock {
public:
    explicit RunningClock(DateTime start) : start_(start), steady_(std::chrono::steady_clock::now()) {}
    DateTime now() const override {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - steady_)
                      .count();
        return DateTime(start_.value() + static_cast<double>(ms) / DateTime::kMsPerDay);
    }

private:
    DateTime start_;
    std::chrono::steady_clock::time_point steady_;
};

std::string momentOf(DateTime day, const std::string& hora) {
    CalendarFields f = day.fields();
    return fmt::format("{:04}-{:02}-{:02} {}:{}:{}", f.year, f.month, f.day, hora.substr(0, 2),
                       hora.size() >= 4 ? hora.substr(2, 2) : std::string("00"),
                       hora.size() >= 6 ? hora.substr(4, 2) : std::string("00"));
}

db::Connection& connect(db::Connection& c, const Station& s) {
    try {
        util::TryConnect(c, {1, std::chrono::milliseconds(0)});
        util::SetADODBSession(c);
    } catch (const std::exception& e) {
        throw StationError(fmt::format("the database of the station {} cannot be reached ({}): {}",
                                       s.layout.dir.string(), s.config.source(), e.what()));
    }
    return c;
}

// A pending passage as the request table takes it.
struct Pending {
    station::Passage passage;
    std::string moment;
};

std::vector<Pending> pendingPassages(db::Connection& c, const Station& s) {
    std::vector<Pending> out;
    for (const auto& r : ext::svc::select(
             c, "pending passages",
             "SELECT NRSEQLOGCAT, CDIDCONSUMID, CDCONSUMIDOR, CDCLIENTE, CDTIPOCONS, NMCONSUMIDOR, DATAREAL, HORAREAL, "
             "NRSEQARQIMP FROM LOGCATRACA WHERE CDFILIAL = :P_F AND CDCAIXA = :P_C",
             {text("P_F", s.branch), text("P_C", s.register_)},
             {{"A", db::ColumnType::Text},
              {"B", db::ColumnType::Text},
              {"C", db::ColumnType::Text},
              {"D", db::ColumnType::Text},
              {"E", db::ColumnType::Text},
              {"F", db::ColumnType::Text},
              {"G", db::ColumnType::Date},
              {"H", db::ColumnType::Text},
              {"I", db::ColumnType::Text}})) {
        Pending p;
        p.passage = {cellText(r[0]), cellText(r[1]), cellText(r[2]), cellText(r[3]), cellText(r[4]),
                     cellText(r[5]), ext::svc::cellDate(r[6]), cellText(r[7]), cellText(r[8])};
        p.moment = momentOf(p.passage.data, p.passage.hora);
        out.push_back(std::move(p));
    }
    // Import records in their number order, and in each the passages as they happened.
    auto num = [](const std::string& t) {
        try {
            return std::stoll(t);
        } catch (...) {
            return 0LL;
        }
    };
    std::stable_sort(out.begin(), out.end(), [&](const Pending& a, const Pending& b) {
        long long ra = num(a.passage.nrSeqArqImp), rb = num(b.passage.nrSeqArqImp);
        if (ra != rb) return ra < rb;
        if (a.passage.nrSeqArqImp != b.passage.nrSeqArqImp) return a.passage.nrSeqArqImp < b.passage.nrSeqArqImp;
        if (a.moment != b.moment) return a.moment < b.moment;
        return num(a.passage.nrSeqLogCat) < num(b.passage.nrSeqLogCat);
    });
    return out;
}

bool rowPending(db::Connection& c, const Station& s, const std::string& seq) {
    return !ext::svc::select(c, "passage", "SELECT NRSEQLOGCAT FROM LOGCATRACA WHERE CDFILIAL = :P_F AND NRSEQLOGCAT = :P_S",
                             {text("P_F", s.branch), text("P_S", seq)}, {{"A", db::ColumnType::Text}})
                .empty();
}

// The sales credited so far to an import record (null counts as 0).
int64_t importCredit(db::Connection& c, const std::string& record) {
    auto rows = ext::svc::select(c, "import record", "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = :P_K",
                                 {text("P_K", record)}, {{"N", db::ColumnType::Float}});
    return rows.empty() ? 0 : static_cast<int64_t>(std::llround(cellNumber(rows[0][0])));
}

// The stored sale of a coupon: situation and total; empty when not stored.
struct StoredCoupon {
    std::string situation;
    double total = 0;
    std::string moment, consumer;
};
std::optional<StoredCoupon> storedCoupon(db::Connection& c, const std::string& serial, int64_t cupNr) {
    auto rows = ext::svc::select(
        c, "stored coupon",
        "SELECT V.IDSITUVENDA, V.VRTOTVENDA, VC.DTHRPASSAGEM, V.CDCONSUMIDOR, VC.DTHRCANCEL FROM VENDACUPOM VC JOIN "
        "VENDA V ON V.CDFILIAL = VC.CDFILIAL AND V.CDCAIXA = VC.CDCAIXA AND V.NRSEQVENDA = VC.NRSEQVENDA WHERE "
        "VC.NRSERIEIMP = :P_S AND (VC.NRCUPOMFIS = :P_A OR VC.NRCUPOMFIS = :P_B)",
        {text("P_S", serial), text("P_A", ext::sixDigits(cupNr)), text("P_B", std::to_string(cupNr))},
        {{"A", db::ColumnType::Text},
         {"B", db::ColumnType::Float},
         {"C", db::ColumnType::Text},
         {"D", db::ColumnType::Text},
         {"E", db::ColumnType::Text}});
    if (rows.empty()) return std::nullopt;
    std::string situation = cellText(rows[0][0]);
    if (!cellText(rows[0][4]).empty()) situation = "C";
    return StoredCoupon{situation, cellNumber(rows[0][1]), cellText(rows[0][2]), cellText(rows[0][3])};
}

// ---- the journal of a run: which batch is being charged, and which passage of
// it, so that the recovery knows whose sale a crash interrupted.

fs::path journalPath(const Station& s) { return s.layout.dir / "run-journal.json"; }
fs::path currentPath(const Station& s) { return s.layout.dir / "run-current.txt"; }

void writeFileAtomically(const fs::path& path, const std::string& content) {
    fs::path tmp = path;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) throw StationError(fmt::format("{}: cannot be written", tmp.string()));
    }
    fs::rename(tmp, path);
}

json passageJson(const station::Passage& p) {
    return {{"seq", p.nrSeqLogCat},      {"record", p.nrSeqArqImp}, {"consumer", p.cdConsumidor},
            {"client", p.cdCliente},     {"name", p.nmConsumidor},  {"hour", p.hora},
            {"day", momentOf(p.data, "0000").substr(0, 10)}};
}

struct StationParams {
    std::string idEsquema, cdEmpresa, nrSerieImp, modelo, marca, ecfImp;
    DateTime dataMovimento;
};

StationParams readParams(const Station& s) {
    StationParams p;
    try {
        ds::Table t("ParametrosZel", {}, {}, {}, s.formatSettings);
        t.loadFromFile(s.layout.parameters());
        p.idEsquema = t.field("IDESQUEMA").asString();
        p.cdEmpresa = t.field("CDEMPRESA").asString();
        p.nrSerieImp = t.field("NRSERIEIMP").asString();
        p.modelo = t.field("DSMODELOECFVE").asString();
        p.marca = t.field("DSMARCAECFVE").asString();
        p.ecfImp = t.field("ECFIMP").asString();
        ds::Table m("DataMovimento", {}, {}, {}, s.formatSettings);
        m.loadFromFile(s.layout.table("DataMovimento.cds"));
        p.dataMovimento = m.field("DATAMOVIMENTO").asDateTime();
    } catch (const std::exception& e) {
        throw StationError(fmt::format("{}: {}", s.layout.parameters().string(), e.what()));
    }
    return p;
}

// The item file as the sale table of a cancelled sale.
ds::Packet itemsAsSale(const Station& s, const std::string& coupon, const std::string& consumer,
                       const std::string& client, size_t* lines) {
    using ds::FieldDef;
    ds::Table items("cdsItems", {}, {}, {}, s.formatSettings);
    items.loadFromFile(s.layout.itemFile());
    std::vector<FieldDef> fields;
    const char* texts[] = {"CDFILIAL", "CDPRODUTO", "NMPRODUTO", "CDARVPROD", "CDFAMILISALD", "CDSERVFILI",
                           "CDORDALIQIMPR", "NRCUPOMFIS", "NRCONTCUPOMFISC", "CDCLIENTE", "CDCONSUMIDOR"};
    const char* numbers[] = {"QTPRODCOMVEN", "VRPRECCOMVEN", "VRUNITVENDCL", "VRACRCOMVEN", "VRDESCCOMVEN",
                             "VRALIQIMPR"};
    for (const char* f : texts) fields.push_back(FieldDef::string(f, 60));
    for (const char* f : numbers) fields.push_back(FieldDef::floatField(f));
    ds::Table sale("cdsVenda", fields, {}, {}, s.formatSettings);
    sale.create();
    *lines = 0;
    for (items.first(); !items.eof(); items.next()) {
        sale.append();
        sale.field("CDFILIAL").setAsString(s.branch);
        for (const char* f : {"CDPRODUTO", "NMPRODUTO", "CDARVPROD", "CDFAMILISALD", "CDSERVFILI", "CDORDALIQIMPR",
                              "NRCONTCUPOMFISC"})
            if (items.fieldIndex(f) >= 0) sale.field(f).setAsString(items.field(f).asString());
        sale.field("NRCUPOMFIS").setAsString(coupon);
        sale.field("CDCLIENTE").setAsString(client);
        sale.field("CDCONSUMIDOR").setAsString(consumer);
        for (const char* f : numbers) {
            if (items.fieldIndex(f) < 0) continue;
            std::string v = items.field(f).asString();
            double d = 0;
            if (!v.empty() && !tryStrToFloat(v, s.formatSettings, d)) d = 0;
            sale.field(f).setAsFloat(d);
        }
        sale.post();
        ++*lines;
    }
    return sale.data();
}

}  // namespace

const char* outcomeName(Outcome o) {
    switch (o) {
        case Outcome::Concluded: return "concluded";
        case Outcome::Cancelled: return "cancelled";
        case Outcome::Refused: return "refused";
        case Outcome::Pending: return "pending";
    }
    return "?";
}

// ---- recovery

std::vector<std::string> recoverStation(Station& s, const Clock& clock) {
    std::vector<std::string> repairs;
    db::Connection c(s.connectionString);
    connect(c, s);
    StationParams params = readParams(s);
    ext::SimulatedPrinter printer(ext::SimulatedPrinterFiles::inStation(s.layout.dir), clock, s.formatSettings);
    if (!printer.usable())
        throw StationError(fmt::format("the printer of {} cannot be used: {}", s.layout.dir.string(),
                                       printer.problem()));
    ext::DatabaseServicePackage service(s.connectionString, s.formatSettings, clock);

    // The interrupted batch and passage, if a run was cut short.
    json journal, current;
    if (fs::exists(journalPath(s))) {
        try {
            std::ifstream in(journalPath(s));
            journal = json::parse(in);
        } catch (const std::exception& e) {
            repairs.push_back(fmt::format("the journal of an interrupted run could not be read ({}); ignored", e.what()));
            journal = json();
        }
        if (fs::exists(currentPath(s))) {
            std::ifstream in(currentPath(s));
            std::string index;
            std::getline(in, index);
            try {
                size_t k = std::stoul(index);
                if (journal.is_object() && k < journal["passages"].size()) current = journal["passages"][k];
            } catch (...) {
            }
        }
    }
    std::string who = current.is_object()
                          ? fmt::format(" (consumer {} {}, passage {})", current.value("consumer", ""),
                                        current.value("name", ""), current.value("seq", ""))
                          : std::string();

    auto cancelOnPrinter = [&](const std::string& what) {
        VariantArray values = {Variant(params.idEsquema), Variant(false),        Variant(false),
                               Variant(false),            Variant(s.branch),     Variant(s.register_),
                               Variant(printer.state().identity.serial)};
        Variant answer = Variant(VariantArray(10));
        if (!printer.Cancela_Cupom_Imp(values, answer))
            throw StationError(fmt::format("{}: the printer refused to cancel it: {}", what,
                                           printer.status().lastRefusal));
    };
    auto recordCancelled = [&](int64_t cupNr) -> size_t {
        if (!fs::exists(s.layout.itemFile())) return 0;
        size_t lines = 0;
        ds::Packet sale = itemsAsSale(s, ext::sixDigits(cupNr), current.is_object() ? current.value("consumer", "") : "",
                                      current.is_object() ? current.value("client", "") : "", &lines);
        VariantArray values = {Variant::packet(std::move(sale)),
                               Variant::null(),
                               Variant(s.register_),
                               Variant(params.cdEmpresa),
                               Variant(""),
                               Variant(printer.state().identity.serial),
                               Variant(params.modelo),
                               Variant(params.marca),
                               Variant(params.ecfImp),
                               Variant(""),
                               Variant(""),
                               Variant(""),
                               Variant(""),
                               Variant(params.dataMovimento),
                               Variant("")};
        Variant answer = Variant(VariantArray(10));
        std::string r = service.IncluiVendaCan(values, answer);
        std::string reason;
        if (ext::serviceAnswerFailed(Variant(r), &reason))
            throw StationError(fmt::format("the cancelled sale of coupon {} could not be recorded: {}",
                                           ext::sixDigits(cupNr), reason));
        return lines;
    };
    auto logCancel = [&](int64_t cupNr) {
        service.LogControleAcess({s.branch, s.register_, "CAN_CUP", "RECOVERY", "geracupom recovery", "",
                                  "Cancelamento de cupom.", "Cupom cancelado nº: " + ext::sixDigits(cupNr), "", "", "",
                                  "", "", ""});
    };

    const ext::PrinterState& state = printer.state();
    if (state.open) {
        int64_t cupNr = state.open->cupNr;
        std::string what = fmt::format("coupon {} was left open on the printer{}", ext::sixDigits(cupNr), who);
        cancelOnPrinter(what);
        size_t lines = recordCancelled(cupNr);
        logCancel(cupNr);
        repairs.push_back(fmt::format("{}: cancelled on the printer{}; the passage stays pending", what,
                                      lines ? fmt::format(" and recorded as a cancelled sale of {} item(s)", lines)
                                            : std::string()));
    } else if (state.lastCoupon && state.lastCoupon->closedNormally && !state.lastCoupon->cancelled &&
               !storedCoupon(c, state.identity.serial, state.lastCoupon->cupNr)) {
        int64_t cupNr = state.lastCoupon->cupNr;
        std::string what =
            fmt::format("coupon {} was closed on the printer but its sale was never stored{}", ext::sixDigits(cupNr), who);
        cancelOnPrinter(what);
        size_t lines = recordCancelled(cupNr);
        logCancel(cupNr);
        repairs.push_back(fmt::format("{}: cancelled on the printer and recorded as a cancelled sale of {} item(s); "
                                      "the passage stays pending",
                                      what, lines));
    }

    if (journal.is_object()) {
        // Sales stored whose turnstile row a crash kept: the row goes, no printing again.
        int64_t startCoupon = journal.value("startCoupon", 0);
        int gone = 0;
        std::string record = journal.value("record", "");
        for (const json& p : journal["passages"]) {
            std::string seq = p.value("seq", "");
            if (!rowPending(c, s, seq)) {
                ++gone;
                continue;
            }
            auto rows = ext::svc::select(
                c, "stored sale of a passage",
                "SELECT VC.NRCUPOMFIS FROM VENDACUPOM VC JOIN VENDA V ON V.CDFILIAL = VC.CDFILIAL AND V.CDCAIXA = "
                "VC.CDCAIXA AND V.NRSEQVENDA = VC.NRSEQVENDA WHERE VC.CDFILIAL = :P_F AND VC.CDCAIXA = :P_C AND "
                "VC.DTHRPASSAGEM = :P_M AND V.CDCONSUMIDOR = :P_K AND V.CDCLIENTE = :P_L AND V.IDSITUVENDA = 'O' AND "
                "VC.DTHRCANCEL IS NULL",
                {text("P_F", s.branch), text("P_C", s.register_),
                 text("P_M", p.value("day", "") + " " + p.value("hour", "0000").substr(0, 2) + ":" +
                                 p.value("hour", "0000").substr(2, 2) + ":" +
                                 (p.value("hour", "").size() >= 6 ? p.value("hour", "").substr(4, 2) : "00")),
                 text("P_K", p.value("consumer", "")), text("P_L", p.value("client", ""))},
                {{"A", db::ColumnType::Text}});
            std::string coupon;
            for (const auto& r : rows) {
                std::string t = cellText(r[0]);
                try {
                    if (std::stoll(t) > startCoupon) coupon = t;
                } catch (...) {
                }
            }
            if (coupon.empty()) continue;
            ext::svc::exec(c, "turnstile row of a stored sale",
                           "DELETE FROM LOGCATRACA WHERE CDFILIAL = :P_F AND NRSEQLOGCAT = :P_S",
                           {text("P_F", s.branch), text("P_S", seq)});
            ++gone;
            repairs.push_back(fmt::format("the sale of coupon {} (consumer {} {}, passage {}) was stored but its "
                                          "turnstile row was still pending: row deleted, nothing printed again",
                                          coupon, p.value("consumer", ""), p.value("name", ""), seq));
        }
        // The service credits a batch only at its end, and a crash may come just
        // before or just after that: the record gets what the batch made beyond
        // the credit it had when the batch began, and never twice.
        int64_t missing = 0;
        if (gone > 0 && !record.empty())
            missing = journal.value("creditBefore", int64_t(0)) + gone - importCredit(c, record);
        if (missing > 0) {
            ext::svc::exec(c, "import record",
                           "UPDATE LOGCATRACAPK SET NRVENDAGERADA = COALESCE(NRVENDAGERADA, 0) + :P_N WHERE "
                           "NRSEQARQIMPK = :P_K",
                           {text("P_N", std::to_string(missing)), text("P_K", record)});
            repairs.push_back(fmt::format("import record {} credited with the {} sale(s) of the interrupted run",
                                          record, missing));
        }
        if (repairs.empty()) repairs.push_back("a run had been interrupted; nothing was left half done");
    }
    if (fs::exists(s.layout.itemFile())) {
        fs::remove(s.layout.itemFile());
        repairs.push_back("the item file of an unfinished sale was removed");
    }
    fs::remove(journalPath(s));
    fs::remove(currentPath(s));
    if (!repairs.empty()) {
        ext::LogFileSink log(s.layout.log());
        for (const std::string& r : repairs) {
            ext::Message m;
            m.moment = clock.now();
            m.text = "recovery: " + r;
            m.kind = ext::TTipoMsg::Aviso;
            m.idEsquema = params.idEsquema;
            log.deliver(m);
        }
    }
    return repairs;
}

// ---- the run

namespace {

// Messages of the run: to the log, to the display, and to the passage being worked on.
class RunSink final : public ext::MessageSink {
public:
    explicit RunSink(std::function<void(const ext::Message&)> f) : f_(std::move(f)) {}
    void deliver(const ext::Message& m) override { f_(m); }

private:
    std::function<void(const ext::Message&)> f_;
};

class Display {
public:
    Display(const RunDisplay& d, size_t total) : d_(d), total_(total) {}
    void progress(size_t done, const std::string& text) {
        if (!d_.out) return;
        if (d_.bar) {
            const int width = 24;
            int filled = total_ ? static_cast<int>(width * done / total_) : width;
            std::string t = text.size() > 60 ? text.substr(0, 57) + "..." : text;
            *d_.out << "\r\033[K[" << std::string(filled, '#') << std::string(width - filled, '.') << "] " << done << "/"
                    << total_ << " " << t << std::flush;
            shown_ = true;
        } else {
            *d_.out << text << "\n";
        }
    }
    void line(const std::string& text) {
        if (!d_.out) return;
        if (d_.bar && shown_) *d_.out << "\r\033[K";
        *d_.out << text << "\n";
        shown_ = false;
    }
    void end() {
        if (d_.out && d_.bar && shown_) *d_.out << "\r\033[K" << std::flush;
        shown_ = false;
    }

private:
    RunDisplay d_;
    size_t total_;
    bool shown_ = false;
};

}  // namespace

RunReport runStation(Station& s, const RunOptions& options) {
    RunReport report;
    std::unique_ptr<Clock> clock;
    if (options.now) clock = std::make_unique<RunningClock>(*options.now);
    else clock = std::make_unique<SystemClock>();
    report.started = ext::svc::isoMoment(clock->now());

    db::Connection c(s.connectionString);
    connect(c, s);
    report.repairs = recoverStation(s, *clock);
    Display display(options.display, 0);
    for (const std::string& r : report.repairs) display.line("repair: " + r);

    std::vector<Pending> pending;
    try {
        pending = pendingPassages(c, s);
    } catch (const std::exception& e) {
        throw StationError(fmt::format("the pending passages cannot be read: {}", util::ADOExceptionMessage(e, c, "")));
    }

    PackageTimes localTimes;
    PackageTimes& times = options.times ? *options.times : localTimes;
    ext::SimulatedPrinter printer(ext::SimulatedPrinterFiles::inStation(s.layout.dir), *clock, s.formatSettings,
                                  s.faults);
    if (!printer.usable()) throw StationError(fmt::format("the printer cannot be used: {}", printer.problem()));
    ext::DatabaseServicePackage service(s.connectionString, s.formatSettings, *clock);
    HostDevice device(printer, s.crash, times);
    HostService hostService(service, s.crash, times);

    // Which passage of the current batch is being worked on.
    std::vector<PassageResult*> batch;
    std::vector<int64_t> couponBefore;
    int current = -1;
    size_t done = 0;
    Display live(options.display, pending.size());
    ext::LogFileSink logSink(s.layout.log());
    RunSink runSink([&](const ext::Message& m) {
        if (current >= 0 && current < static_cast<int>(batch.size())) batch[current]->messages.push_back(m.text);
        else report.messages.push_back(m.text);
        live.line(m.text);
    });
    ext::FanOutSink sink({&logSink, &runSink});
    ext::Messenger messenger(sink, *clock);
    auto lastCupNr = [&]() -> int64_t { return printer.usable() ? printer.state().cupNr : 0; };
    service.setProgress(
        [&](const std::string& progressText) {
            ++current;
            if (current < static_cast<int>(couponBefore.size())) couponBefore[current] = lastCupNr();
            writeFileAtomically(currentPath(s), std::to_string(current) + "\n");
            live.progress(done + 1, progressText);
        },
        [&] { ++done; });

    ServiceHost host;
    host.baseDir = s.layout.dir;
    host.clock = clock.get();
    host.formatSettings = s.formatSettings;
    host.device = &device;
    host.service = &hostService;
    host.messenger = &messenger;
    std::unique_ptr<TrdmGeraCupomVenda> ownModule;
    if (options.libraryEntry) registerServiceHost(host);
    else ownModule = std::make_unique<TrdmGeraCupomVenda>(host);

    StationParams params = readParams(s);
    station::StationData shape;
    shape.cdFilial = s.branch;
    shape.cdCaixa = s.register_;
    shape.formatSettings = s.formatSettings;

    report.passages.reserve(pending.size());
    for (size_t i = 0; i < pending.size();) {
        size_t j = i;
        while (j < pending.size() && pending[j].passage.nrSeqArqImp == pending[i].passage.nrSeqArqImp) ++j;
        std::vector<station::Passage> passages;
        json journal = {{"record", pending[i].passage.nrSeqArqImp},
                        {"startCoupon", lastCupNr()},
                        {"creditBefore", importCredit(c, pending[i].passage.nrSeqArqImp)}};
        journal["passages"] = json::array();
        batch.clear();
        for (size_t k = i; k < j; ++k) {
            const station::Passage& p = pending[k].passage;
            passages.push_back(p);
            journal["passages"].push_back(passageJson(p));
            PassageResult r;
            r.nrSeqLogCat = p.nrSeqLogCat;
            r.nrSeqArqImp = p.nrSeqArqImp;
            r.cdConsumidor = p.cdConsumidor;
            r.cdCliente = p.cdCliente;
            r.nmConsumidor = p.nmConsumidor;
            r.moment = pending[k].moment;
            report.passages.push_back(std::move(r));
        }
        for (size_t k = i; k < j; ++k) batch.push_back(&report.passages[k]);
        couponBefore.assign(batch.size(), 0);
        current = -1;
        writeFileAtomically(journalPath(s), journal.dump());
        fs::remove(currentPath(s));

        VariantArray request = {Variant::packet(station::requestPacket(shape, passages))};
        Variant result;
        auto moduleDbTime = [&]() -> std::chrono::nanoseconds {
            TrdmGeraCupomVenda* m = ownModule ? ownModule.get() : rdmGeraCupomVenda;
            return m ? m->db.adcGeraCupomVenda.statementTime() : std::chrono::nanoseconds(0);
        };
        auto requestStarted = std::chrono::steady_clock::now();
        auto dbBefore = moduleDbTime();
        ds::PacketFileTimes filesBefore = ds::packetFileTimes();
        {
        // What the request took, whichever way it ends.
        struct Account {
            std::function<void()> done;
            ~Account() { done(); }
        } account{[&] {
            ds::PacketFileTimes filesAfter = ds::packetFileTimes();
            times.tableFiles += (filesAfter.read - filesBefore.read) + (filesAfter.write - filesBefore.write);
            times.moduleDatabase += moduleDbTime() - dbBefore;
            times.requests += std::chrono::steady_clock::now() - requestStarted;
        }};
        if (ownModule) {
            try {
                ownModule->request(request, result);
            } catch (const std::exception& e) {
                report.messages.push_back(std::string("the request ended: ") + e.what());
            }
        } else {
            Srv_Zel92000::GeraCupomVenda(request, result);
        }
        }
        fs::remove(journalPath(s));
        fs::remove(currentPath(s));
        ++report.batches;

        // What became of each passage.
        const std::string serial = printer.usable() ? printer.state().identity.serial : params.nrSerieImp;
        for (size_t k = 0; k < batch.size(); ++k) {
            PassageResult& r = *batch[k];
            bool reached = static_cast<int>(k) <= current;
            int64_t after = k + 1 < batch.size() && static_cast<int>(k + 1) <= current ? couponBefore[k + 1]
                                                                                       : lastCupNr();
            std::optional<StoredCoupon> stored;
            int64_t coupon = 0;
            if (reached && after != couponBefore[k]) {
                coupon = after;
                stored = storedCoupon(c, serial, coupon);
            }
            if (!rowPending(c, s, r.nrSeqLogCat)) {
                r.outcome = Outcome::Concluded;
                if (stored) {
                    r.coupon = ext::sixDigits(coupon);
                    r.amount = stored->total;
                }
            } else if (stored && stored->situation == "C") {
                r.outcome = Outcome::Cancelled;
                r.coupon = ext::sixDigits(coupon);
            } else if (reached && coupon != 0 && printer.usable() && printer.state().lastCoupon &&
                       printer.state().lastCoupon->cupNr == coupon && printer.state().lastCoupon->cancelled) {
                r.outcome = Outcome::Cancelled;
                r.coupon = ext::sixDigits(coupon);
            } else if (!r.messages.empty()) {
                r.outcome = Outcome::Refused;
            } else {
                r.outcome = Outcome::Pending;
                if (!reached) r.messages.push_back("not reached: the request ended before this passage");
            }
        }
        // A batch in which no passage was reached could not run (the printer check refused).
        if (current < 0 && !batch.empty()) {
            report.couldNotRun = true;
            report.problem = report.messages.empty() ? std::string("the service processed no passage")
                                                     : report.messages.back();
            break;
        }
        i = j;
    }
    live.end();
    report.finished = ext::svc::isoMoment(clock->now());
    try {
        writeFileAtomically(s.layout.lastRun(), report.toJson().dump(2));
    } catch (const std::exception&) {
        // The summary is still shown; only the status command misses it.
    }
    return report;
}

int RunReport::count(Outcome o) const {
    int n = 0;
    for (const PassageResult& p : passages) n += p.outcome == o;
    return n;
}

double RunReport::concludedAmount() const {
    double t = 0;
    for (const PassageResult& p : passages)
        if (p.outcome == Outcome::Concluded) t += p.amount;
    return ext::svc::roundCents(t);
}

int RunReport::exitStatus() const {
    if (couldNotRun) return 2;
    return count(Outcome::Concluded) == static_cast<int>(passages.size()) ? 0 : 1;
}

json RunReport::toJson() const {
    json j;
    j["started"] = started;
    j["finished"] = finished;
    j["repairs"] = repairs;
    j["batches"] = batches;
    j["could_not_run"] = couldNotRun;
    if (couldNotRun) j["problem"] = problem;
    j["messages"] = messages;
    j["passages"] = json::array();
    for (const PassageResult& p : passages) {
        json q = {{"passage", p.nrSeqLogCat}, {"import_record", p.nrSeqArqImp}, {"consumer", p.cdConsumidor},
                  {"client", p.cdCliente},    {"name", p.nmConsumidor},         {"moment", p.moment},
                  {"outcome", outcomeName(p.outcome)}, {"messages", p.messages}};
        if (!p.coupon.empty()) q["coupon"] = p.coupon;
        if (p.outcome == Outcome::Concluded) q["amount"] = p.amount;
        j["passages"].push_back(q);
    }
    j["totals"] = {{"passages", passages.size()},
                   {"concluded", count(Outcome::Concluded)},
                   {"cancelled", count(Outcome::Cancelled)},
                   {"refused", count(Outcome::Refused)},
                   {"pending", count(Outcome::Pending)},
                   {"amount", concludedAmount()}};
    j["exit_status"] = exitStatus();
    return j;
}

std::string RunReport::summaryText() const {
    std::ostringstream o;
    for (const std::string& r : repairs) o << "repaired: " << r << "\n";
    if (couldNotRun) o << "the request could not run: " << problem << "\n";
    if (passages.empty() && !couldNotRun) o << "no passage pending\n";
    for (const PassageResult& p : passages) {
        o << fmt::format("{:<10} {:<8} {:<24} {} ", outcomeName(p.outcome), p.cdConsumidor, p.nmConsumidor,
                         p.moment);
        if (p.outcome == Outcome::Concluded)
            o << fmt::format("coupon {} {:>9.2f}", p.coupon.empty() ? "?" : p.coupon, p.amount);
        else if (p.outcome == Outcome::Cancelled)
            o << "coupon " << p.coupon << " cancelled";
        if (!p.messages.empty() && p.outcome != Outcome::Concluded) o << " — " << p.messages.back();
        o << "\n";
    }
    for (const std::string& m : messages) o << "message: " << m << "\n";
    o << fmt::format("totals: {} passages, {} concluded ({:.2f}), {} cancelled, {} refused, {} pending\n",
                     passages.size(), count(Outcome::Concluded), concludedAmount(), count(Outcome::Cancelled),
                     count(Outcome::Refused), count(Outcome::Pending));
    return o.str();
}

DateTime parseMoment(const std::string& t) {
    int y, mo, d, h, mi, sec = 0;
    char extra;
    int n = std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &extra);
    if ((n != 5 && n != 6) || !DateTime::isValidDate(y, mo, d) || h > 23 || mi > 59 || sec > 59 || h < 0 || mi < 0 ||
        sec < 0)
        throw StationError(fmt::format("\"{}\" is not a moment (YYYY-MM-DD HH:MM[:SS])", t));
    return DateTime::fromFields({y, mo, d, h, mi, sec, 0});
}

}  // namespace zel::host
