// Storing concluded and cancelled sales: the sale and its items, the coupon
// that printed it, its cash movements and the debit of the consumer's balances.
#include <fmt/format.h>

#include <map>

#include "external/utility/args.h"
#include "external/service_db/service_package_db.h"
#include "external/service_db/service_sql.h"
#include "external/utility/utility.h"
#include "platform/dataset/packet.h"
#include "platform/money.h"

namespace zel::ext {

namespace {

using db::sql::inTransaction;
using svc::Param;
using svc::Row;

struct SaleKey {
    std::string branch, register_, number;
    std::vector<Param> params() const {
        return {svc::text("P_CDFILIAL", branch), svc::text("P_CDCAIXA", register_), svc::text("P_NRSEQVENDA", number)};
    }
};

struct Line {
    std::string product, name, tree, family, service, rateCode;
    double quantity = 0, unit = 0, clientUnit = 0, surcharge = 0, discount = 0, rate = 0;
    bool hasRate = false;
    // What the printer sells the line for: quantity × unit price cut to the
    // cent, less the discount, plus the surcharge, each cut to the cent.
    int64_t amountCents() const {
        return lineGrossCents(std::llround(quantity * 1000), cutToCents(unit)) - cutToCents(discount) +
               cutToCents(surcharge);
    }
};

// The lines of cdsVenda; quantity, consumer's unit price, surcharge and
// discount are what the consumption of the day and month adds up.
std::vector<Line> saleLines(const svc::PacketReader& sale) {
    for (const char* f : {"CDPRODUTO", "QTPRODCOMVEN", "VRPRECCOMVEN"}) sale.require(f);
    auto opt = [&](size_t i, const char* f) { return sale.has(f) ? sale.text(i, f) : std::string(); };
    auto num = [&](size_t i, const char* f) { return sale.has(f) ? sale.number(i, f) : 0.0; };
    std::vector<Line> lines;
    for (size_t i = 0; i < sale.size(); ++i) {
        Line l;
        l.product = sale.text(i, "CDPRODUTO");
        l.name = opt(i, "NMPRODUTO");
        l.tree = opt(i, "CDARVPROD");
        l.family = opt(i, "CDFAMILISALD");
        l.service = opt(i, "CDSERVFILI");
        l.rateCode = opt(i, "CDORDALIQIMPR");
        l.quantity = sale.number(i, "QTPRODCOMVEN");
        l.unit = sale.number(i, "VRPRECCOMVEN");
        l.clientUnit = num(i, "VRUNITVENDCL");
        l.surcharge = num(i, "VRACRCOMVEN");
        l.discount = num(i, "VRDESCCOMVEN");
        l.hasRate = sale.has("VRALIQIMPR") && !opt(i, "VRALIQIMPR").empty();
        l.rate = num(i, "VRALIQIMPR");
        lines.push_back(std::move(l));
    }
    return lines;
}

void insertSale(db::Connection& c, const SaleKey& key, const std::string& client, const std::string& consumer,
                DateTime day, const std::string& situation, const std::string& coupon, const std::vector<Line>& lines) {
    int64_t total = 0;
    for (const Line& l : lines) total += l.amountCents();
    std::vector<Param> p = key.params();
    p.push_back(svc::textOrNull("P_CDCLIENTE", client));
    p.push_back(svc::textOrNull("P_CDCONSUMIDOR", consumer));
    p.push_back(svc::date("P_DTENTRVENDA", day));
    p.push_back(svc::text("P_IDSITUVENDA", situation));
    p.push_back(svc::textOrNull("P_NRCUPOMFIS", coupon));
    p.push_back(svc::number("P_VRTOTVENDA", centsToAmount(total)));
    svc::send(c, "sale",
              "INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, IDSITUVENDA, "
              "NRCUPOMFIS, VRTOTVENDA) VALUES (:P_CDFILIAL, :P_CDCAIXA, :P_NRSEQVENDA, :P_CDCLIENTE, :P_CDCONSUMIDOR, "
              ":P_DTENTRVENDA, :P_IDSITUVENDA, :P_NRCUPOMFIS, :P_VRTOTVENDA)",
              p);
    int n = 0;
    for (const Line& l : lines) {
        std::vector<Param> ip = key.params();
        ip.push_back(svc::text("P_NRSEQITVEND", fmt::format("{:04}", ++n)));
        ip.push_back(svc::textOrNull("P_CDPRODUTO", l.product));
        ip.push_back(svc::number("P_QTPRODVEND", l.quantity));
        ip.push_back(svc::number("P_VRUNITVEND", l.unit));
        ip.push_back(svc::number("P_VRACRITVEND", l.surcharge));
        ip.push_back(svc::number("P_VRDESITVEND", l.discount));
        svc::send(
            c, "sale item",
            "INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, CDPRODUTO, QTPRODVEND, VRUNITVEND, "
            "VRACRITVEND, VRDESITVEND) VALUES (:P_CDFILIAL, :P_CDCAIXA, :P_NRSEQVENDA, :P_NRSEQITVEND, "
            ":P_CDPRODUTO, :P_QTPRODVEND, :P_VRUNITVEND, :P_VRACRITVEND, :P_VRDESITVEND)",
            ip);
        ip.resize(4);
        ip.push_back(svc::textOrNull("P_NMPRODUTO", l.name));
        ip.push_back(svc::textOrNull("P_CDARVPROD", l.tree));
        ip.push_back(svc::number("P_VRUNITVENDCL", l.clientUnit));
        ip.push_back(svc::textOrNull("P_CDFAMILISALD", l.family));
        ip.push_back(svc::textOrNull("P_CDSERVFILI", l.service));
        ip.push_back(svc::textOrNull("P_CDORDALIQIMPR", l.rateCode));
        Param rate = svc::number("P_VRALIQIMPR", l.rate);
        rate.null = !l.hasRate;
        ip.push_back(rate);
        svc::send(c, "sale item of the coupon",
                  "INSERT INTO ITEMVENDACUPOM (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, NMPRODUTO, CDARVPROD, "
                  "VRUNITVENDCL, CDFAMILISALD, CDSERVFILI, CDORDALIQIMPR, VRALIQIMPR) VALUES (:P_CDFILIAL, :P_CDCAIXA, "
                  ":P_NRSEQVENDA, :P_NRSEQITVEND, :P_NMPRODUTO, :P_CDARVPROD, :P_VRUNITVENDCL, :P_CDFAMILISALD, "
                  ":P_CDSERVFILI, :P_CDORDALIQIMPR, :P_VRALIQIMPR)",
                  ip);
    }
}

// Adds `delta` to the consumer's balance in a family; a missing balance row
// is created with that amount, so no debit is ever lost. One statement whose
// answer nobody waits for: on a server it travels with the sale's other rows.
void changeBalance(db::Connection& c, const std::string& client, const std::string& consumer, const std::string& family,
                   double delta) {
    svc::send(c, "balance of the family",
              "INSERT INTO SALDOCONS (CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD, VRSALDCONFAM) "
              "VALUES (:P_CDCLIENTE, :P_CDCONSUMIDOR, :P_CDFAMILISALD, :P_VALOR) "
              "ON CONFLICT (CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD) "
              "DO UPDATE SET VRSALDCONFAM = COALESCE(SALDOCONS.VRSALDCONFAM, 0) + EXCLUDED.VRSALDCONFAM",
              {svc::text("P_CDCLIENTE", client), svc::text("P_CDCONSUMIDOR", consumer),
               svc::text("P_CDFAMILISALD", family), svc::number("P_VALOR", delta)});
}

struct StoredCoupon {
    SaleKey key;
    std::string situation;
};

db::sql::Select storedCouponQuery(const std::string& serial, const std::string& coupon) {
    return {"coupon already stored",
            "SELECT C.CDFILIAL, C.CDCAIXA, C.NRSEQVENDA, V.IDSITUVENDA FROM VENDACUPOM C, VENDA V "
            "WHERE C.NRSERIEIMP = :P_NRSERIEIMP AND C.NRCUPOMFIS = :P_NRCUPOMFIS "
            "AND V.CDFILIAL = C.CDFILIAL AND V.CDCAIXA = C.CDCAIXA AND V.NRSEQVENDA = C.NRSEQVENDA",
            {svc::text("P_NRSERIEIMP", serial), svc::text("P_NRCUPOMFIS", coupon)},
            {{"CDFILIAL", db::ColumnType::Text},
             {"CDCAIXA", db::ColumnType::Text},
             {"NRSEQVENDA", db::ColumnType::Text},
             {"IDSITUVENDA", db::ColumnType::Text}}};
}

std::optional<StoredCoupon> storedCouponOf(const std::vector<Row>& rows) {
    if (rows.empty()) return std::nullopt;
    return StoredCoupon{{svc::cellText(rows[0][0]), svc::cellText(rows[0][1]), svc::cellText(rows[0][2])},
                        svc::cellText(rows[0][3])};
}

std::optional<StoredCoupon> storedCoupon(db::Connection& c, const std::string& serial, const std::string& coupon) {
    db::sql::Select q = storedCouponQuery(serial, coupon);
    return storedCouponOf(svc::select(c, q.name, q.sql, q.params, q.columns));
}

// Whether the stored sale `key` is of this client and consumer.
bool sameBuyer(db::Connection& c, const SaleKey& key, const std::string& client, const std::string& consumer) {
    auto rows = svc::select(c, "buyer of the sale",
                            "SELECT CDCLIENTE, CDCONSUMIDOR FROM VENDA WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
                            ":P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA",
                            key.params(), {{"A", db::ColumnType::Text}, {"B", db::ColumnType::Text}});
    return !rows.empty() && svc::cellText(rows[0][0]) == client && svc::cellText(rows[0][1]) == consumer;
}

// The ledger row of a passage: the standing sale that charges it.
struct ChargedPassage {
    std::string number, serial, coupon;
};

db::sql::Select chargedPassageQuery(const std::string& branch, const std::string& register_, const std::string& client,
                                    const std::string& consumer, const std::string& moment) {
    return {"charged passage",
            "SELECT NRSEQVENDA, NRSERIEIMP, NRCUPOMFIS FROM VENDAPASSAGEM WHERE CDFILIAL = :P_F AND "
            "CDCAIXA = :P_C AND CDCLIENTE = :P_L AND CDCONSUMIDOR = :P_K AND DTHRPASSAGEM = :P_M",
            {svc::text("P_F", branch), svc::text("P_C", register_), svc::text("P_L", client),
             svc::text("P_K", consumer), svc::text("P_M", moment)},
            {{"A", db::ColumnType::Text}, {"B", db::ColumnType::Text}, {"C", db::ColumnType::Text}}};
}

std::optional<ChargedPassage> chargedPassageOf(const std::vector<Row>& rows) {
    if (rows.empty()) return std::nullopt;
    return ChargedPassage{svc::cellText(rows[0][0]), svc::cellText(rows[0][1]), svc::cellText(rows[0][2])};
}

// Enters a concluded sale in the ledger of charged passages, with the
// turnstile row and import record the passage came in when that row is
// still there (it is deleted only after the conclusion). The row is found by
// the insert itself: one exchange with the server, not two.
void enterInLedger(db::Connection& c, const SaleKey& key, const std::string& client, const std::string& consumer,
                   DateTime passage, const std::string& serial, const std::string& coupon) {
    CalendarFields f = passage.fields();
    std::string hhmm = fmt::format("{:02}{:02}", f.hour, f.minute);
    std::vector<Param> p = key.params();
    p.push_back(svc::text("P_CDCLIENTE", client));
    p.push_back(svc::text("P_CDCONSUMIDOR", consumer));
    p.push_back(svc::text("P_DTHRPASSAGEM", svc::isoMoment(passage)));
    p.push_back(svc::text("P_NRSERIEIMP", serial));
    p.push_back(svc::text("P_NRCUPOMFIS", coupon));
    // The turnstile row is the first by number among those of the passage;
    // none leaves both columns without a value, as an empty import cell does.
    p.push_back(svc::text("P_F", key.branch));
    p.push_back(svc::text("P_C", key.register_));
    p.push_back(svc::text("P_L", client));
    p.push_back(svc::text("P_K", consumer));
    p.push_back(svc::date("P_D", passage.dateOnly()));
    p.push_back(svc::text("P_HA", f.second == 0 ? hhmm : std::string("-")));
    p.push_back(svc::text("P_HB", hhmm + fmt::format("{:02}", f.second)));
    p.push_back(svc::text("P_F2", key.branch));
    svc::send(c, "charged passage",
              "INSERT INTO VENDAPASSAGEM (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM, "
              "NRSERIEIMP, NRCUPOMFIS, NRSEQLOGCAT, NRSEQARQIMP) SELECT :P_CDFILIAL, :P_CDCAIXA, :P_NRSEQVENDA, "
              ":P_CDCLIENTE, :P_CDCONSUMIDOR, :P_DTHRPASSAGEM, :P_NRSERIEIMP, :P_NRCUPOMFIS, L.NRSEQLOGCAT, "
              "NULLIF(L.NRSEQARQIMP, '') FROM (SELECT 1 AS UM) D LEFT JOIN LOGCATRACA L ON L.CDFILIAL = :P_F2 "
              "AND L.NRSEQLOGCAT = (SELECT MIN(NRSEQLOGCAT) FROM LOGCATRACA WHERE CDFILIAL = :P_F AND CDCAIXA = "
              ":P_C AND CDCLIENTE = :P_L AND CDCONSUMIDOR = :P_K AND DATAREAL = :P_D AND HORAREAL IN (:P_HA, "
              ":P_HB))",
              p);
}

}  // namespace

Variant DatabaseServicePackage::SetConcluiFechamento(const VariantArray& tables, const VariantArray& values,
                                                     Variant& answer) {
    constexpr const char* kOp = "SetConcluiFechamento";
    ArgReader t(tables, kOp, "table list");
    t.expectCount(10);
    svc::PacketReader sale(t.packet(0, "cdsVenda"), kOp, "table 0 (cdsVenda)", fs_);
    svc::PacketReader cash(t.packet(1, "cdsMovCaixa"), kOp, "table 1 (cdsMovCaixa)", fs_);
    svc::PacketReader families(t.packet(3, "cdsFamiliaSaldo"), kOp, "table 3 (cdsFamiliaSaldo)", fs_);

    ArgReader v(values, kOp, "value list");
    v.expectCount(33);
    const std::string& cdCaixa = v.text(0, "CDCAIXA");
    DateTime dtAberCaix = v.dateTime(1, "dtAberCaix");
    const std::string& cdEmpresa = v.text(2, "cdEmpresa");
    const std::string& cupNr = v.text(3, "cupNr");
    const std::string& contCupom = v.text(4, "contCupom");
    const std::string& cdFilial = v.text(5, "CDFILIAL");
    const std::string& cdLoja = v.text(8, "cdLoja");
    const std::string& idPaisIntegra = v.text(13, "idPaisIntegra");
    const std::string& retFechaCupom = v.text(14, "retFechaCupom");
    const std::string& nrSerieImp = v.text(15, "nrSerieImp");
    int64_t idTipoImpFis = v.integer(16, "idTipoImpFis");
    const std::string& model = v.text(17, "dsModeloEcfVe");
    const std::string& make = v.text(18, "dsMarcaEcfVe");
    const std::string& ecfImp = v.text(19, "ecfImp");
    DateTime dataMovimento = v.dateTime(20, "dataMovimento");
    DateTime dtHrReal = v.dateTime(29, "dtHrReal");
    for (size_t pos : {6, 7, 9, 10, 11, 12, 21, 22, 23, 24, 25, 26, 27, 28, 30, 31, 32}) v.text(pos);
    if (cdCaixa.empty()) v.fail(0, "CDCAIXA", "the register is empty");
    if (cdFilial.empty()) v.fail(5, "CDFILIAL", "the branch is empty");
    if (cupNr.empty()) v.fail(3, "cupNr", "the coupon number is empty");
    if (dtHrReal.isEmpty()) v.fail(29, "dtHrReal", "the moment of the passage is not set");

    std::vector<Line> lines = saleLines(sale);
    if (lines.empty()) t.fail(0, "cdsVenda", "the sale has no line");
    sale.require("CDCLIENTE");
    sale.require("CDCONSUMIDOR");
    const std::string client = sale.text(0, "CDCLIENTE");
    const std::string consumer = sale.text(0, "CDCONSUMIDOR");
    const std::string operatorCode = sale.has("CDOPERADOR") ? sale.text(0, "CDOPERADOR") : "";
    const std::string operatorName = sale.has("NMOPERADOR") ? sale.text(0, "NMOPERADOR") : "";
    int64_t clientPart = 0;
    for (const Line& l : lines) clientPart += lineGrossCents(std::llround(l.quantity * 1000), cutToCents(l.clientUnit));

    // The debit per family; a family named twice is debited its sum.
    families.require("CDFAMILISALD");
    families.require("VRSALDCONFAM");
    std::vector<std::pair<std::string, int64_t>> debits;  // cents
    for (size_t i = 0; i < families.size(); ++i) {
        std::string family = families.text(i, "CDFAMILISALD");
        int64_t amount = cutToCents(families.number(i, "VRSALDCONFAM"));
        if (family.empty()) t.fail(3, "cdsFamiliaSaldo", fmt::format("line {} has no family code", i + 1));
        auto it = std::find_if(debits.begin(), debits.end(), [&](auto& d) { return d.first == family; });
        if (it == debits.end()) debits.emplace_back(family, amount);
        else it->second += amount;
    }
    if ((client.empty() || consumer.empty()) && !debits.empty())
        t.fail(0, "cdsVenda", "the sale names no client and consumer whose balances it debits");

    for (const char* f : {"VRMOVIVEND"}) cash.require(f);
    auto cashText = [&](size_t i, const char* f) { return cash.has(f) ? cash.text(i, f) : std::string(); };

    std::string stored = "GRAVADA";
    // The rows of the concluded sale `key`: the sale and its items, its
    // coupon, cash movements and debits, and the passage in the ledger.
    auto writeSale = [&](const SaleKey& key) {
        insertSale(connection(), key, client, consumer, dtHrReal.dateOnly(), "O", cupNr, lines);

        std::vector<Param> p = key.params();
        p.push_back(svc::text("P_NRSERIEIMP", nrSerieImp));
        p.push_back(svc::text("P_NRCUPOMFIS", cupNr));
        p.push_back(svc::textOrNull("P_NRCONTCUPOM", contCupom));
        p.push_back(svc::date("P_DTMOVIMENTO", dataMovimento));
        p.push_back(svc::date("P_DTABERCAIX", dtAberCaix));
        p.push_back(svc::text("P_DTHRPASSAGEM", svc::isoMoment(dtHrReal)));
        p.push_back(svc::textOrNull("P_CDEMPRESA", cdEmpresa));
        p.push_back(svc::textOrNull("P_CDLOJA", cdLoja));
        p.push_back(svc::textOrNull("P_IDPAISINTEGRA", idPaisIntegra));
        p.push_back(svc::text("P_IDTIPOIMPFIS", std::to_string(idTipoImpFis)));
        p.push_back(svc::textOrNull("P_DSMODELOECF", model));
        p.push_back(svc::textOrNull("P_DSMARCAECF", make));
        p.push_back(svc::textOrNull("P_ECFIMP", ecfImp));
        p.push_back(svc::textOrNull("P_DSRETFECHA", retFechaCupom));
        p.push_back(svc::textOrNull("P_CDOPERADOR", operatorCode));
        p.push_back(svc::textOrNull("P_NMOPERADOR", operatorName));
        p.push_back(svc::number("P_VRTOTCLIENTE", centsToAmount(clientPart)));
        p.push_back(svc::text("P_DTHRGRAVACAO", svc::isoMoment(clock_.now())));
        svc::send(connection(), "coupon of the sale",
                  "INSERT INTO VENDACUPOM (NRSERIEIMP, NRCUPOMFIS, CDFILIAL, CDCAIXA, NRSEQVENDA, NRCONTCUPOM, "
                  "DTMOVIMENTO, DTABERCAIX, DTHRPASSAGEM, CDEMPRESA, CDLOJA, IDPAISINTEGRA, IDTIPOIMPFIS, DSMODELOECF, "
                  "DSMARCAECF, ECFIMP, DSRETFECHA, CDOPERADOR, NMOPERADOR, VRTOTCLIENTE, DTHRGRAVACAO) VALUES "
                  "(:P_NRSERIEIMP, :P_NRCUPOMFIS, :P_CDFILIAL, :P_CDCAIXA, :P_NRSEQVENDA, :P_NRCONTCUPOM, "
                  ":P_DTMOVIMENTO, :P_DTABERCAIX, :P_DTHRPASSAGEM, :P_CDEMPRESA, :P_CDLOJA, :P_IDPAISINTEGRA, "
                  ":P_IDTIPOIMPFIS, :P_DSMODELOECF, :P_DSMARCAECF, :P_ECFIMP, :P_DSRETFECHA, :P_CDOPERADOR, "
                  ":P_NMOPERADOR, :P_VRTOTCLIENTE, :P_DTHRGRAVACAO)",
                  p);

        for (size_t i = 0; i < cash.size(); ++i) {
            std::vector<Param> m = key.params();
            m.push_back(svc::text("P_NRORDMOVI", std::to_string(i + 1)));
            for (const char* f :
                 {"IDTIPOMOVIVE", "CDTIPORECE", "NMTIPORECE", "IDTIPORECE", "CDTIPOTROCO", "NRORDTROCO", "CDCLIENTE",
                  "CDCONSUMIDOR", "CDCCUSCLIE", "DSIMPFISCAL", "CDBANCARTCR", "CDFPIMPFIS"})
                m.push_back(svc::textOrNull(std::string("P_") + f, cashText(i, f)));
            DateTime moment = cash.has("DTHRINCMOV") ? cash.dateTime(i, "DTHRINCMOV") : DateTime();
            m.push_back(svc::textOrNull("P_DTHRINCMOV", moment.isEmpty() ? "" : svc::isoMoment(moment)));
            m.push_back(svc::number("P_VRMOVIVEND", centsToAmount(cutToCents(cash.number(i, "VRMOVIVEND")))));
            m.push_back(
                svc::date("P_DTMOVIMCAIXA", cash.has("DTMOVIMCAIXA") ? cash.dateTime(i, "DTMOVIMCAIXA") : DateTime()));
            svc::send(
                connection(), "cash movement",
                "INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRORDMOVI, IDTIPOMOVIVE, CDTIPORECE, "
                "NMTIPORECE, IDTIPORECE, CDTIPOTROCO, NRORDTROCO, CDCLIENTE, CDCONSUMIDOR, CDCCUSCLIE, DSIMPFISCAL, "
                "CDBANCARTCR, CDFPIMPFIS, DTHRINCMOV, VRMOVIVEND, DTMOVIMCAIXA, IDSITUMOVI) VALUES (:P_CDFILIAL, "
                ":P_CDCAIXA, :P_NRSEQVENDA, :P_NRORDMOVI, :P_IDTIPOMOVIVE, :P_CDTIPORECE, :P_NMTIPORECE, "
                ":P_IDTIPORECE, :P_CDTIPOTROCO, :P_NRORDTROCO, :P_CDCLIENTE, :P_CDCONSUMIDOR, :P_CDCCUSCLIE, "
                ":P_DSIMPFISCAL, :P_CDBANCARTCR, :P_CDFPIMPFIS, :P_DTHRINCMOV, :P_VRMOVIVEND, :P_DTMOVIMCAIXA, 'A')",
                m);
        }

        for (const auto& [family, amount] : debits) {
            double debit = centsToAmount(amount);
            if (debit == 0) continue;
            changeBalance(connection(), client, consumer, family, -debit);
            std::vector<Param> d = key.params();
            d.push_back(svc::text("P_CDFAMILISALD", family));
            d.push_back(svc::text("P_CDCLIENTE", client));
            d.push_back(svc::text("P_CDCONSUMIDOR", consumer));
            d.push_back(svc::number("P_VRDEBITO", debit));
            svc::send(
                connection(), "debit of the family",
                "INSERT INTO VENDASALDOFAM (CDFILIAL, CDCAIXA, NRSEQVENDA, CDFAMILISALD, CDCLIENTE, CDCONSUMIDOR, "
                "VRDEBITO) VALUES (:P_CDFILIAL, :P_CDCAIXA, :P_NRSEQVENDA, :P_CDFAMILISALD, :P_CDCLIENTE, "
                ":P_CDCONSUMIDOR, :P_VRDEBITO)",
                d);
        }
        enterInLedger(connection(), key, client, consumer, dtHrReal, nrSerieImp, cupNr);
    };

    // On a server, once this process has stored a sale of the register, the
    // conclusion goes in one exchange: the next number is taken for granted
    // and the rows are written with it at once, and the database refuses them
    // unless all holds that the checks below would find. The ledger's key is
    // the passage (none charged), the coupon's is its number (none stored),
    // the sale's is its number (free), and the counter moves only from the
    // number before it. Refused, the transaction leaves nothing, and the
    // checks run as ever: they answer a retry, or tell what is wrong.
    std::string number;
    if (auto taken = guessedSaleNumber(cdFilial, cdCaixa)) {
        try {
            inTransaction(connection(), [&] {
                SaleKey key{cdFilial, cdCaixa, taken->second};
                claimSaleNumber(cdFilial, cdCaixa, taken->first, taken->second);
                writeSale(key);
            });
            number = taken->second;
            lastSaleNumber_[saleCounterKey(cdFilial, cdCaixa)] = number;
        } catch (const db::DbError&) {}
    }
    if (number.empty())
        number = inTransaction(connection(), [&]() -> std::string {
            // The passage decides: a conclusion retried for its own coupon stores
            // nothing again; any other coupon for a passage already charged, or a
            // coupon number already stored for another sale, is refused.
            // Both are asked at once, and the reads of the sale number go ahead
            // with them: on a server with the transaction's BEGIN, in one exchange.
            const std::string moment = svc::isoMoment(dtHrReal);
            std::vector<std::vector<Row>> found =
                db::sql::selectTogether(connection(),
                                        {chargedPassageQuery(cdFilial, cdCaixa, client, consumer, moment),
                                         storedCouponQuery(nrSerieImp, cupNr)},
                                        saleNumberReadAhead(cdFilial, cdCaixa));
            if (auto charged = chargedPassageOf(found[0])) {
                if (charged->serial == nrSerieImp && charged->coupon == cupNr) {
                    stored = "JA_GRAVADA";
                    return charged->number;
                }
                throw Error(
                    fmt::format("the passage of consumer {} at {} is already charged by coupon {} of printer {}",
                                consumer, moment, charged->coupon, charged->serial));
            }
            auto done = storedCouponOf(found[1]);
            if (done && done->situation == "C")
                throw Error(
                    fmt::format("coupon {} of printer {} was cancelled: it cannot conclude a sale", cupNr, nrSerieImp));
            if (done)
                throw Error(
                    fmt::format("coupon {} of printer {} is already stored for sale {} of register {}: the "
                                "printer's memory is behind the database",
                                cupNr, nrSerieImp, done->key.number, done->key.register_));
            SaleKey key{cdFilial, cdCaixa, nextSaleNumber(cdFilial, cdCaixa)};
            writeSale(key);
            return key.number;
        });

    if (answer.isArray() && answer.items().size() >= 3) {
        answer.items()[0] = Variant(true);
        answer.items()[1] = Variant(number);
        answer.items()[2] = Variant(stored);
    }
    return serviceAnswerOk();
}

std::string DatabaseServicePackage::IncluiVendaCan(const VariantArray& values, Variant& answer) {
    constexpr const char* kOp = "IncluiVendaCan";
    ArgReader v(values, kOp, "value list");
    v.expectCount(15);
    svc::PacketReader sale(v.packet(0, "cdsVenda"), kOp, "position 0 (cdsVenda)", fs_);
    v.nothing(1);
    const std::string& cdCaixa = v.text(2, "CDCAIXA");
    v.text(3, "cdEmpresa");
    const std::string& nrSerieImp = v.text(5, "nrSerieImp");
    for (size_t pos : {4, 6, 7, 8, 9, 10, 11, 12, 14}) v.text(pos);
    DateTime dataMovimento = v.dateTime(13, "dataMovimento");
    if (cdCaixa.empty()) v.fail(2, "CDCAIXA", "the register is empty");

    std::vector<Line> lines = saleLines(sale);
    // The service sends position 4 empty. The host's recovery gives there the
    // number of a coupon cancelled before any item was sold (with the branch
    // at 9 and the coupon counter at 10), so that every coupon number the
    // printer gave is accounted for; without it such a coupon leaves no sale.
    auto lineText = [&](const char* f) { return !lines.empty() && sale.has(f) ? sale.text(0, f) : std::string(); };
    const std::string coupon = lines.empty() ? values[4].text() : lineText("NRCUPOMFIS");
    if (lines.empty() && coupon.empty()) return "OK";
    const std::string cdFilial = lines.empty() ? values[9].text() : (sale.require("CDFILIAL"), lineText("CDFILIAL"));
    if (cdFilial.empty()) v.fail(0, "cdsVenda", "line 1 has no CDFILIAL");
    const std::string counter = lines.empty() ? values[10].text() : lineText("NRCONTCUPOMFISC");
    const std::string client = lineText("CDCLIENTE");
    const std::string consumer = lineText("CDCONSUMIDOR");
    const std::string now = svc::isoMoment(clock_.now());

    bool keepCouponRow = true;
    try {
        std::string result = inTransaction(connection(), [&]() -> std::string {
            if (!coupon.empty()) {
                auto done = storedCoupon(connection(), nrSerieImp, coupon);
                if (done && done->situation == "C") return "OK";
                if (done && !sameBuyer(connection(), done->key, client, consumer)) {
                    // The number is held by another consumer's sale (a printer
                    // memory put back from a copy): that sale stays; this one is
                    // kept as cancelled without the coupon row.
                    done.reset();
                    keepCouponRow = false;
                }
                if (done) {
                    // The printer cancelled a coupon whose sale was stored:
                    // the sale stops counting and its debits are given back.
                    std::vector<Param> k = done->key.params();
                    svc::exec(
                        connection(), "cancellation of the sale",
                        "UPDATE VENDA SET IDSITUVENDA = 'C' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA "
                        "AND NRSEQVENDA = :P_NRSEQVENDA",
                        k);
                    auto debits = svc::select(
                        connection(), "debits of the sale",
                        "SELECT CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD, VRDEBITO FROM VENDASALDOFAM "
                        "WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA",
                        k,
                        {{"CDCLIENTE", db::ColumnType::Text},
                         {"CDCONSUMIDOR", db::ColumnType::Text},
                         {"CDFAMILISALD", db::ColumnType::Text},
                         {"VRDEBITO", db::ColumnType::Float}});
                    for (const svc::Row& d : debits)
                        changeBalance(connection(), svc::cellText(d[0]), svc::cellText(d[1]), svc::cellText(d[2]),
                                      svc::cellNumber(d[3]));
                    svc::exec(connection(), "passage no longer charged",
                              "DELETE FROM VENDAPASSAGEM WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND "
                              "NRSEQVENDA = :P_NRSEQVENDA",
                              k);
                    svc::exec(
                        connection(), "cancellation of the cash movements",
                        "UPDATE MOVCAIXA SET IDSITUMOVI = 'C' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA "
                        "AND NRSEQVENDA = :P_NRSEQVENDA",
                        k);
                    svc::exec(connection(), "cancellation of the coupon",
                              "UPDATE VENDACUPOM SET DTHRCANCEL = :P_DTHRCANCEL WHERE NRSERIEIMP = :P_NRSERIEIMP "
                              "AND NRCUPOMFIS = :P_NRCUPOMFIS",
                              {svc::text("P_DTHRCANCEL", now), svc::text("P_NRSERIEIMP", nrSerieImp),
                               svc::text("P_NRCUPOMFIS", coupon)});
                    return "OK";
                }
            }
            SaleKey key{cdFilial, cdCaixa, nextSaleNumber(cdFilial, cdCaixa)};
            DateTime day = dataMovimento.isEmpty() ? clock_.today() : dataMovimento.dateOnly();
            insertSale(connection(), key, client, consumer, day, "C", coupon, lines);
            if (!coupon.empty() && keepCouponRow) {
                std::vector<Param> p = key.params();
                p.push_back(svc::text("P_NRSERIEIMP", nrSerieImp));
                p.push_back(svc::text("P_NRCUPOMFIS", coupon));
                p.push_back(svc::textOrNull("P_NRCONTCUPOM", counter));
                p.push_back(svc::date("P_DTMOVIMENTO", dataMovimento));
                p.push_back(svc::textOrNull("P_DSMODELOECF", values[6].text()));
                p.push_back(svc::textOrNull("P_DSMARCAECF", values[7].text()));
                p.push_back(svc::textOrNull("P_ECFIMP", values[8].text()));
                p.push_back(svc::textOrNull("P_CDEMPRESA", values[3].text()));
                p.push_back(svc::text("P_DTHRGRAVACAO", now));
                svc::send(connection(), "coupon of the cancelled sale",
                          "INSERT INTO VENDACUPOM (NRSERIEIMP, NRCUPOMFIS, CDFILIAL, CDCAIXA, NRSEQVENDA, NRCONTCUPOM, "
                          "DTMOVIMENTO, DSMODELOECF, DSMARCAECF, ECFIMP, CDEMPRESA, DTHRGRAVACAO, DTHRCANCEL) VALUES "
                          "(:P_NRSERIEIMP, :P_NRCUPOMFIS, :P_CDFILIAL, :P_CDCAIXA, :P_NRSEQVENDA, :P_NRCONTCUPOM, "
                          ":P_DTMOVIMENTO, :P_DSMODELOECF, :P_DSMARCAECF, :P_ECFIMP, :P_CDEMPRESA, :P_DTHRGRAVACAO, "
                          ":P_DTHRGRAVACAO)",
                          p);
            }
            return "OK";
        });
        if (answer.isArray() && !answer.items().empty()) answer.items()[0] = Variant(true);
        return result;
    } catch (const ArgumentError&) {
        throw;
    } catch (const std::exception& e) {
        if (answer.isArray() && answer.items().size() >= 2) {
            answer.items()[0] = Variant(false);
            answer.items()[1] = Variant(std::string(e.what()));
        }
        return std::string("IncluiVendaCan: ") + e.what();
    }
}

}  // namespace zel::ext
