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

std::vector<PendingPassage> Store::pendingPassages() {
    std::vector<PendingPassage> out;
    for (const auto& r :
         select(c_, "pending passages",
                "SELECT NRSEQLOGCAT, CDIDCONSUMID, CDCONSUMIDOR, CDCLIENTE, CDTIPOCONS, NMCONSUMIDOR, DATAREAL, HORAREAL, "
                "NRSEQARQIMP FROM LOGCATRACA WHERE CDFILIAL = :P_F AND CDCAIXA = :P_C",
                {text("P_F", branch_), text("P_C", register_)},
                {{"A", db::ColumnType::Text},
                 {"B", db::ColumnType::Text},
                 {"C", db::ColumnType::Text},
                 {"D", db::ColumnType::Text},
                 {"E", db::ColumnType::Text},
                 {"F", db::ColumnType::Text},
                 {"G", db::ColumnType::Date},
                 {"H", db::ColumnType::Text},
                 {"I", db::ColumnType::Text}})) {
        PendingPassage p;
        p.passage = {cellText(r[0]), cellText(r[1]), cellText(r[2]), cellText(r[3]), cellText(r[4]),
                     cellText(r[5]), cellDate(r[6]),  cellText(r[7]), cellText(r[8])};
        p.moment = passageMoment(p.passage.data, p.passage.hora);
        out.push_back(std::move(p));
    }
    std::stable_sort(out.begin(), out.end(), [](const PendingPassage& a, const PendingPassage& b) {
        long long ra = number(a.passage.nrSeqArqImp), rb = number(b.passage.nrSeqArqImp);
        if (ra != rb) return ra < rb;
        if (a.passage.nrSeqArqImp != b.passage.nrSeqArqImp) return a.passage.nrSeqArqImp < b.passage.nrSeqArqImp;
        if (a.moment != b.moment) return a.moment < b.moment;
        return number(a.passage.nrSeqLogCat) < number(b.passage.nrSeqLogCat);
    });
    return out;
}

bool Store::rowPending(const std::string& seq) {
    return !select(c_, "passage", "SELECT NRSEQLOGCAT FROM LOGCATRACA WHERE CDFILIAL = :P_F AND NRSEQLOGCAT = :P_S",
                   {text("P_F", branch_), text("P_S", seq)}, {{"A", db::ColumnType::Text}})
                .empty();
}

void Store::deleteTurnstileRow(const std::string& seq) {
    exec(c_, "turnstile row of a charged passage", "DELETE FROM LOGCATRACA WHERE CDFILIAL = :P_F AND NRSEQLOGCAT = :P_S",
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

CouponFate Store::couponFate(const std::string& serial, int64_t cupNr) {
    auto rows = select(c_, "coupon of the printer",
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
    auto rows = select(c_, "last coupon of the printer",
                       "SELECT MAX(NRCUPOMFIS) FROM VENDACUPOM WHERE NRSERIEIMP = :P_S", {text("P_S", serial)},
                       {{"A", db::ColumnType::Text}});
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

}  // namespace zel::host
