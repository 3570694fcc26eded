#include "station/store.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "platform/db/query.h"

namespace zel::host {
namespace {

using namespace db::sql;

long long number(const std::string& t) {
    try {
        return std::stoll(t);
    } catch (...) {
        return 0;
    }
}

}  // namespace

std::string passageMoment(DateTime day, const std::string& hora) {
    CalendarFields f = day.fields();
    return fmt::format("{:04}-{:02}-{:02} {}:{}:{}", f.year, f.month, f.day, hora.substr(0, 2),
                       hora.size() >= 4 ? hora.substr(2, 2) : std::string("00"),
                       hora.size() >= 6 ? hora.substr(4, 2) : std::string("00"));
}

std::string couponText(int64_t cupNr) { return fmt::format("{:06}", cupNr); }

ChargingOrder ChargingOrder::of(std::string_view record, std::string_view moment, std::string_view seq) {
    return {number(std::string(record)), record, moment, number(std::string(seq))};
}

bool ChargingOrder::operator<(const ChargingOrder& o) const {
    if (record != o.record) return record < o.record;
    if (recordText != o.recordText) return recordText < o.recordText;
    if (moment != o.moment) return moment < o.moment;
    return seq < o.seq;
}

void Store::eachPendingPassage(const std::function<void(PendingPassage&)>& onPassage) {
    auto take = [](ds::Cell& c) {
        if (auto* s = std::get_if<std::string>(&c)) return std::move(*s);
        return cellText(c);
    };
    selectEach(c_, "pending passages",
               "SELECT NRSEQLOGCAT, CDIDCONSUMID, CDCONSUMIDOR, CDCLIENTE, CDTIPOCONS, NMCONSUMIDOR, DATAREAL, "
               "HORAREAL, NRSEQARQIMP FROM LOGCATRACA WHERE CDFILIAL = :P_F AND CDCAIXA = :P_C",
               {text("P_F", branch_), text("P_C", register_)},
               {{"A", db::ColumnType::Text},
                {"B", db::ColumnType::Text},
                {"C", db::ColumnType::Text},
                {"D", db::ColumnType::Text},
                {"E", db::ColumnType::Text},
                {"F", db::ColumnType::Text},
                {"G", db::ColumnType::Date},
                {"H", db::ColumnType::Text},
                {"I", db::ColumnType::Text}},
               [&](Row& r) {
                   PendingPassage p;
                   p.passage = {take(r[0]), take(r[1]),     take(r[2]), take(r[3]), take(r[4]),
                                take(r[5]), cellDate(r[6]), take(r[7]), take(r[8])};
                   p.moment = passageMoment(p.passage.data, p.passage.hora);
                   onPassage(p);
               });
}

std::vector<PendingPassage> Store::pendingPassages() {
    std::vector<PendingPassage> out;
    eachPendingPassage([&](PendingPassage& p) { out.push_back(std::move(p)); });
    std::stable_sort(out.begin(), out.end(), [](const PendingPassage& a, const PendingPassage& b) {
        return ChargingOrder::of(a) < ChargingOrder::of(b);
    });
    return out;
}

std::set<std::string> Store::rowsPending(const std::vector<std::string>& seqs) {
    std::vector<Select> asks;
    asks.reserve(seqs.size());
    for (const std::string& seq : seqs)
        asks.push_back({"passage", "SELECT NRSEQLOGCAT FROM LOGCATRACA WHERE CDFILIAL = :P_F AND NRSEQLOGCAT = :P_S",
                        {text("P_F", branch_), text("P_S", seq)}, {{"A", db::ColumnType::Text}}});
    std::vector<std::vector<Row>> found = selectTogether(c_, asks);
    std::set<std::string> out;
    for (size_t i = 0; i < seqs.size(); ++i)
        if (!found[i].empty()) out.insert(seqs[i]);
    return out;
}

void Store::deleteTurnstileRow(const std::string& seq) {
    exec(c_, "turnstile row of a charged passage",
         "DELETE FROM LOGCATRACA WHERE CDFILIAL = :P_F AND NRSEQLOGCAT = :P_S",
         {text("P_F", branch_), text("P_S", seq)});
}

std::map<PassageKey, Charge> Store::charges(const std::string& from, const std::string& to) {
    std::map<PassageKey, Charge> out;
    for (const auto& r :
         select(c_, "charged passages",
                "SELECT P.CDCLIENTE, P.CDCONSUMIDOR, P.DTHRPASSAGEM, P.NRSEQVENDA, P.NRSERIEIMP, P.NRCUPOMFIS, "
                "V.VRTOTVENDA FROM VENDAPASSAGEM P JOIN VENDA V ON V.CDFILIAL = P.CDFILIAL AND V.CDCAIXA = P.CDCAIXA "
                "AND V.NRSEQVENDA = P.NRSEQVENDA WHERE P.CDFILIAL = :P_F AND P.CDCAIXA = :P_C AND P.DTHRPASSAGEM >= "
                ":P_LO AND P.DTHRPASSAGEM <= :P_HI",
                {text("P_F", branch_), text("P_C", register_), text("P_LO", from), text("P_HI", to)},
                {{"A", db::ColumnType::Text},
                 {"B", db::ColumnType::Text},
                 {"C", db::ColumnType::Text},
                 {"D", db::ColumnType::Text},
                 {"E", db::ColumnType::Text},
                 {"F", db::ColumnType::Text},
                 {"G", db::ColumnType::Float}}))
        out[{cellText(r[0]), cellText(r[1]), cellText(r[2])}] = {cellText(r[3]), cellText(r[4]), cellText(r[5]),
                                                                 cellNumber(r[6])};
    return out;
}

std::map<PassageKey, Charge> Store::chargesOf(const std::vector<PendingPassage>& passages) {
    MomentSpan span;
    for (const PendingPassage& p : passages) span.add(p.moment);
    return charges(span);
}

CouponFate Store::couponFate(const std::string& serial, int64_t cupNr) {
    auto rows =
        select(c_, "coupon of the printer",
               "SELECT V.IDSITUVENDA, VC.DTHRCANCEL FROM VENDACUPOM VC JOIN VENDA V ON V.CDFILIAL = VC.CDFILIAL "
               "AND V.CDCAIXA = VC.CDCAIXA AND V.NRSEQVENDA = VC.NRSEQVENDA WHERE VC.NRSERIEIMP = :P_S AND "
               "VC.NRCUPOMFIS = :P_N",
               {text("P_S", serial), text("P_N", couponText(cupNr))},
               {{"A", db::ColumnType::Text}, {"B", db::ColumnType::Text}});
    if (rows.empty()) return CouponFate::Unknown;
    if (cellText(rows[0][0]) == "C" || !cellText(rows[0][1]).empty()) return CouponFate::Cancelled;
    return CouponFate::Standing;
}

int64_t Store::lastStoredCoupon(const std::string& serial) {
    auto rows =
        select(c_, "last coupon of the printer", "SELECT MAX(NRCUPOMFIS) FROM VENDACUPOM WHERE NRSERIEIMP = :P_S",
               {text("P_S", serial)}, {{"A", db::ColumnType::Text}});
    return rows.empty() ? 0 : number(cellText(rows[0][0]));
}

std::pair<int64_t, int64_t> Store::settleImportCredit(const std::string& record) {
    auto credit = [&] {
        auto rows = select(c_, "import record", "SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = :P_K",
                           {text("P_K", record)}, {{"N", db::ColumnType::Float}});
        return rows.empty() ? int64_t(0) : static_cast<int64_t>(std::llround(cellNumber(rows[0][0])));
    };
    int64_t before = credit();
    exec(c_, "import credit",
         "UPDATE LOGCATRACAPK SET NRVENDAGERADA = (SELECT COUNT(*) FROM VENDAPASSAGEM WHERE NRSEQARQIMP = :P_K) "
         "WHERE NRSEQARQIMPK = :P_K",
         {text("P_K", record)});
    return {before, credit()};
}

std::vector<std::string> Store::importRecordsOutOfStep() {
    std::vector<std::string> out;
    for (const auto& r :
         select(c_, "import credits",
                "SELECT K.NRSEQARQIMPK FROM LOGCATRACAPK K WHERE K.NRSEQARQIMPK IN (SELECT DISTINCT NRSEQARQIMP FROM "
                "VENDAPASSAGEM WHERE CDFILIAL = :P_F AND CDCAIXA = :P_C AND NRSEQARQIMP IS NOT NULL) AND "
                "COALESCE(K.NRVENDAGERADA, 0) <> (SELECT COUNT(*) FROM VENDAPASSAGEM P WHERE P.NRSEQARQIMP = "
                "K.NRSEQARQIMPK)",
                {text("P_F", branch_), text("P_C", register_)}, {{"A", db::ColumnType::Text}}))
        out.push_back(cellText(r[0]));
    return out;
}

void Store::probeWrite() {
    inTransaction(c_, [&] {
        exec(c_, "write check",
             "UPDATE NOVOCODIGO SET NRSEQUENCIAL = NRSEQUENCIAL WHERE CDCONTADOR = (SELECT MIN(CDCONTADOR) FROM "
             "NOVOCODIGO)",
             {});
    });
}

std::map<std::string, ImportStore::Consumer> ImportStore::consumersByCode() {
    std::map<std::string, Consumer> known;
    for (const auto& r :
         select(c_, "consumers",
                "SELECT CDIDCONSUMID, CDCLIENTE, CDCONSUMIDOR, CDTIPOCONS, NMCONSUMIDOR FROM CONSUMIDOR", {},
                {{"A", db::ColumnType::Text},
                 {"B", db::ColumnType::Text},
                 {"C", db::ColumnType::Text},
                 {"D", db::ColumnType::Text},
                 {"E", db::ColumnType::Text}}))
        known[cellText(r[0])] = {cellText(r[1]), cellText(r[2]), cellText(r[3]), cellText(r[4])};
    return known;
}

std::set<std::string> ImportStore::pendingKeys() {
    std::set<std::string> keys;
    for (const auto& r : select(
             c_, "pending", "SELECT CDFILIAL, CDCAIXA, CDCLIENTE, CDCONSUMIDOR, DATAREAL, HORAREAL FROM LOGCATRACA", {},
             {{"A", db::ColumnType::Text},
              {"B", db::ColumnType::Text},
              {"C", db::ColumnType::Text},
              {"D", db::ColumnType::Text},
              {"E", db::ColumnType::Date},
              {"F", db::ColumnType::Text}}))
        keys.insert(cellText(r[0]) + "|" + cellText(r[1]) + "|" + cellText(r[2]) + "|" + cellText(r[3]) + "|" +
                    passageMoment(cellDate(r[4]), cellText(r[5])));
    return keys;
}

std::set<std::string> ImportStore::chargedKeys(const std::string& from, const std::string& to) {
    std::set<std::string> keys;
    for (const auto& r : select(c_, "charged",
                                "SELECT CDFILIAL, CDCAIXA, CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM FROM VENDAPASSAGEM "
                                "WHERE DTHRPASSAGEM >= :P_LO AND DTHRPASSAGEM <= :P_HI",
                                {text("P_LO", from), text("P_HI", to)},
                                {{"A", db::ColumnType::Text},
                                 {"B", db::ColumnType::Text},
                                 {"C", db::ColumnType::Text},
                                 {"D", db::ColumnType::Text},
                                 {"E", db::ColumnType::Text}}))
        keys.insert(cellText(r[0]) + "|" + cellText(r[1]) + "|" + cellText(r[2]) + "|" + cellText(r[3]) + "|" +
                    cellText(r[4]));
    return keys;
}

// The next number of a counter kept in NOVOCODIGO, never below `floor` + 1.
long long ImportStore::nextNumber(const std::string& counter, long long floor) {
    auto rows = select(c_, "counter", "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :P_C",
                       {text("P_C", counter)}, {{"NRSEQUENCIAL", db::ColumnType::Text}});
    long long current = floor;
    if (!rows.empty()) current = std::max(current, number(cellText(rows[0][0])));
    long long next = current + 1;
    if (rows.empty())
        exec(c_, "counter", "INSERT INTO NOVOCODIGO (CDCONTADOR, NRSEQUENCIAL) VALUES (:P_C, :P_N)",
             {text("P_C", counter), text("P_N", std::to_string(next))});
    else
        exec(c_, "counter", "UPDATE NOVOCODIGO SET NRSEQUENCIAL = :P_N WHERE CDCONTADOR = :P_C",
             {text("P_C", counter), text("P_N", std::to_string(next))});
    return next;
}

long long ImportStore::largestNumber(const std::string& sql, const std::string& param) {
    long long best = 0;
    std::vector<Param> params;
    if (!param.empty()) params.push_back(text("P_F", param));
    for (const auto& r : select(c_, "numbers", sql, params, {{"N", db::ColumnType::Text}})) {
        std::string t = cellText(r[0]);
        if (!t.empty() && t.size() < 18 && std::all_of(t.begin(), t.end(), ::isdigit)) best = std::max(best, number(t));
    }
    return best;
}

std::string ImportStore::newImportRecord(DateTime day) {
    long long record = nextNumber("LOGCATRACAPK", largestNumber("SELECT NRSEQARQIMPK FROM LOGCATRACAPK", ""));
    std::string key = std::to_string(record);
    exec(c_, "import record",
         "INSERT INTO LOGCATRACAPK (NRSEQARQIMPK, DTIMPORTACAO, NRVENDAGERADA) VALUES (:P_K, :P_D, NULL)",
         {text("P_K", key), date("P_D", day)});
    return key;
}

long long ImportStore::lastRowNumber(const std::string& branch) {
    return nextNumber("LOGCATRACA" + branch,
                      largestNumber("SELECT NRSEQLOGCAT FROM LOGCATRACA WHERE CDFILIAL = :P_F", branch)) -
           1;
}

void ImportStore::insertPassage(const std::string& branch, const std::string& seq, const std::string& register_,
                                const Consumer& k, const std::string& code, const std::string& record, DateTime day,
                                const std::string& hora) {
    exec(c_, "passage",
         "INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, NMCONSUMIDOR, CDIDCONSUMID, CDCONSUMIDOR, "
         "CDCLIENTE, CDTIPOCONS, NRSEQARQIMP, DATAREAL, HORAREAL) VALUES (:P_F, :P_S, :P_C, :P_N, :P_I, "
         ":P_K, :P_L, :P_T, :P_A, :P_D, :P_H)",
         {text("P_F", branch), text("P_S", seq), text("P_C", register_), textOrNull("P_N", k.nome), text("P_I", code),
          text("P_K", k.cdConsumidor), text("P_L", k.cdCliente), textOrNull("P_T", k.cdTipoCons), text("P_A", record),
          date("P_D", day), text("P_H", hora)});
}

void ImportStore::setRowCounter(const std::string& branch, long long last) {
    exec(c_, "counter", "UPDATE NOVOCODIGO SET NRSEQUENCIAL = :P_N WHERE CDCONTADOR = :P_C",
         {text("P_C", "LOGCATRACA" + branch), text("P_N", std::to_string(last))});
}

}  // namespace zel::host
