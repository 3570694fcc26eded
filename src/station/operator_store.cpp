#include "station/operator_store.h"

#include "platform/db/query.h"

namespace zel::host {
namespace {

using namespace db::sql;

std::vector<db::ResultColumn> columns(std::initializer_list<db::ColumnType> types) {
    std::vector<db::ResultColumn> out;
    char name = 'A';
    for (db::ColumnType t : types) out.push_back({std::string(1, name++), t});
    return out;
}

constexpr auto T = db::ColumnType::Text;
constexpr auto F = db::ColumnType::Float;

const char* kSaleColumns =
    "SELECT V.NRSEQVENDA, V.DTENTRVENDA, C.NRCUPOMFIS, C.DTHRPASSAGEM, V.IDSITUVENDA, C.NRSERIEIMP, V.VRTOTVENDA, "
    "COALESCE(C.VRTOTCLIENTE, 0), V.CDCLIENTE, V.CDCONSUMIDOR, C.DTHRCANCEL FROM VENDA V LEFT JOIN VENDACUPOM C ON "
    "C.CDFILIAL = V.CDFILIAL AND C.CDCAIXA = V.CDCAIXA AND C.NRSEQVENDA = V.NRSEQVENDA ";

std::vector<OperatorStore::Sale> sales(db::Connection& c, const std::string& sql, const std::vector<Param>& params) {
    std::vector<OperatorStore::Sale> out;
    for (const auto& r :
         select(c, "sales", sql, params, columns({T, db::ColumnType::Date, T, T, T, T, F, F, T, T, T}))) {
        OperatorStore::Sale s;
        s.number = cellText(r[0]);
        DateTime d = cellDate(r[1]);
        s.day = d.isEmpty() ? std::string() : isoMoment(d).substr(0, 10);
        s.coupon = cellText(r[2]);
        s.passage = cellText(r[3]);
        s.situation = cellText(r[4]);
        s.serial = cellText(r[5]);
        s.total = cellNumber(r[6]);
        s.clientPart = cellNumber(r[7]);
        s.client = cellText(r[8]);
        s.consumer = cellText(r[9]);
        s.cancelledAt = cellText(r[10]);
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace

std::vector<OperatorStore::ConsumerRow> OperatorStore::consumers(const std::string& code) {
    std::vector<ConsumerRow> out;
    for (const char* where : {"CDCONSUMIDOR = :P_K", "CDIDCONSUMID = :P_K"}) {
        for (const auto& r :
             select(c_, "consumer",
                    std::string("SELECT CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, CDTIPOCONS, "
                                "VRLIMDEBCONS, VRMAXDEBCONS FROM CONSUMIDOR WHERE ") +
                        where + " ORDER BY CDCLIENTE",
                    {text("P_K", code)}, columns({T, T, T, T, T, F, F})))
            out.push_back({cellText(r[0]), cellText(r[1]), cellText(r[2]), cellText(r[3]), cellText(r[4]),
                           cellNumber(r[5]), cellNumber(r[6])});
        if (!out.empty()) break;
    }
    return out;
}

std::vector<OperatorStore::Balance> OperatorStore::balances(const std::string& client, const std::string& consumer) {
    std::vector<Balance> out;
    for (const auto& r : select(c_, "balances",
                                "SELECT S.CDFAMILISALD, F.NMFAMILISALD, S.VRSALDCONFAM FROM SALDOCONS S LEFT JOIN "
                                "FAMILIASALDO F ON F.CDFAMILISALD = S.CDFAMILISALD WHERE S.CDCLIENTE = :P_C AND "
                                "S.CDCONSUMIDOR = :P_K ORDER BY S.CDFAMILISALD",
                                {text("P_C", client), text("P_K", consumer)}, columns({T, T, F})))
        out.push_back({cellText(r[0]), cellText(r[1]), cellNumber(r[2])});
    return out;
}

double OperatorStore::consumption(const std::string& client, const std::string& consumer, DateTime from, DateTime to) {
    auto rows =
        select(c_, "consumption",
               "SELECT COALESCE(SUM(VRTOTVENDA), 0) FROM VENDA WHERE CDCLIENTE = :P_C AND CDCONSUMIDOR = :P_K "
               "AND IDSITUVENDA = 'O' AND DTENTRVENDA >= :P_FROM AND DTENTRVENDA <= :P_TO",
               {text("P_C", client), text("P_K", consumer), date("P_FROM", from), date("P_TO", to)}, columns({F}));
    return rows.empty() ? 0 : cellNumber(rows[0][0]);
}

std::vector<OperatorStore::Sale> OperatorStore::lastSales(const std::string& client, const std::string& consumer,
                                                          int count) {
    std::vector<Sale> all = sales(c_,
                                  std::string(kSaleColumns) +
                                      "WHERE V.CDCLIENTE = :P_C AND V.CDCONSUMIDOR = :P_K ORDER BY V.DTENTRVENDA DESC, "
                                      "C.DTHRPASSAGEM DESC, C.DTHRGRAVACAO DESC",
                                  {text("P_C", client), text("P_K", consumer)});
    if (static_cast<int>(all.size()) > count) all.resize(static_cast<size_t>(count));
    return all;
}

std::vector<OperatorStore::Sale> OperatorStore::salesOfDay(DateTime day) {
    return sales(c_,
                 std::string(kSaleColumns) +
                     "WHERE V.CDFILIAL = :P_F AND V.CDCAIXA = :P_R AND V.DTENTRVENDA = :P_D ORDER BY C.NRCUPOMFIS",
                 {text("P_F", branch_), text("P_R", register_), date("P_D", day)});
}

std::vector<OperatorStore::Group> OperatorStore::byServiceWindow(DateTime day) {
    std::vector<Group> out;
    for (const auto& r :
         select(c_, "sales by service window",
                "SELECT COALESCE(IC.CDSERVFILI, ''), COUNT(DISTINCT I.NRSEQVENDA), SUM(I.QTPRODVEND * I.VRUNITVEND + "
                "I.VRACRITVEND - I.VRDESITVEND + I.QTPRODVEND * COALESCE(IC.VRUNITVENDCL, 0)) FROM ITEMVENDA I JOIN "
                "VENDA V ON V.CDFILIAL = I.CDFILIAL AND V.CDCAIXA "
                "= I.CDCAIXA AND V.NRSEQVENDA = I.NRSEQVENDA LEFT JOIN ITEMVENDACUPOM IC ON IC.CDFILIAL = I.CDFILIAL "
                "AND IC.CDCAIXA = I.CDCAIXA AND IC.NRSEQVENDA = I.NRSEQVENDA AND IC.NRSEQITVEND = I.NRSEQITVEND WHERE "
                "V.CDFILIAL = :P_F AND V.CDCAIXA = :P_R AND V.DTENTRVENDA = :P_D AND V.IDSITUVENDA = 'O' GROUP BY "
                "COALESCE(IC.CDSERVFILI, '') ORDER BY 1",
                {text("P_F", branch_), text("P_R", register_), date("P_D", day)}, columns({T, F, F})))
        out.push_back({cellText(r[0]), static_cast<int>(cellNumber(r[1])), cellNumber(r[2])});
    return out;
}

std::vector<OperatorStore::Group> OperatorStore::byBalanceFamily(DateTime day) {
    std::vector<Group> out;
    for (const auto& r :
         select(c_, "sales by balance family",
                "SELECT F.CDFAMILISALD, COUNT(*), SUM(F.VRDEBITO) FROM VENDASALDOFAM F JOIN VENDA V ON V.CDFILIAL = "
                "F.CDFILIAL AND V.CDCAIXA = F.CDCAIXA AND V.NRSEQVENDA = F.NRSEQVENDA WHERE V.CDFILIAL = :P_F AND "
                "V.CDCAIXA = :P_R AND V.DTENTRVENDA = :P_D AND V.IDSITUVENDA = 'O' GROUP BY F.CDFAMILISALD ORDER BY 1",
                {text("P_F", branch_), text("P_R", register_), date("P_D", day)}, columns({T, F, F})))
        out.push_back({cellText(r[0]), static_cast<int>(cellNumber(r[1])), cellNumber(r[2])});
    return out;
}

double OperatorStore::standingTotalOfPrinter(const std::string& serial) {
    auto rows =
        select(c_, "standing coupons of the printer",
               "SELECT COALESCE(SUM(V.VRTOTVENDA + COALESCE(C.VRTOTCLIENTE, 0)), 0) FROM VENDACUPOM C JOIN VENDA "
               "V ON V.CDFILIAL = C.CDFILIAL AND V.CDCAIXA = C.CDCAIXA AND V.NRSEQVENDA = C.NRSEQVENDA WHERE "
               "C.NRSERIEIMP = :P_S AND V.IDSITUVENDA = 'O' AND C.DTHRCANCEL IS NULL",
               {text("P_S", serial)}, columns({F}));
    return rows.empty() ? 0 : cellNumber(rows[0][0]);
}

}  // namespace zel::host
