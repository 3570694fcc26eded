// The service package's stand-in: its connection, progress, the access log
// and the sale numbers. Prices, taxes and sales are in service_*.cpp.
#include "external/service_db/service_package_db.h"

#include <fmt/format.h>

#include "external/utility/args.h"
#include "external/service_db/service_sql.h"
#include "external/utility/util_connection.h"

namespace zel::ext {

bool insideHourWindow(std::string_view hhmm, std::string_view start, std::string_view end) {
    if (start < end) return hhmm >= start && hhmm <= end;
    if (start > end) return hhmm >= start || hhmm <= end;
    return false;
}

DatabaseServicePackage::DatabaseServicePackage(std::string connectionString, const FormatSettings& formatSettings,
                                               const Clock& clock)
    : own_(std::move(connectionString)), fs_(formatSettings), clock_(clock) {
    own_.setAfterConnect([](db::Connection& c) { util::SetADODBSession(c); });
}

DatabaseServicePackage::~DatabaseServicePackage() = default;

db::Connection& DatabaseServicePackage::connection() {
    if (shared_ && shared_->connected() && shared_->connectionString() == own_.connectionString()) return *shared_;
    return own_;
}

void DatabaseServicePackage::setProgress(ProgressStarted started, ProgressEnded ended) {
    started_ = std::move(started);
    ended_ = std::move(ended);
}

void DatabaseServicePackage::AtivaProcesso(int32_t, const std::string& text, int32_t, int32_t) {
    if (started_) started_(text);
}

void DatabaseServicePackage::DesativaProcesso() {
    if (ended_) ended_();
}

void DatabaseServicePackage::LogControleAcess(const std::vector<std::string>& texts) {
    if (texts.size() != 14)
        throw ArgumentError(
            fmt::format("LogControleAcess: the log entry must hold 14 texts, it holds {}", texts.size()));
    static const char* const kColumns[14] = {"CDFILIAL",     "CDCAIXA",   "CDOPERACAO",   "CDOPERADOR", "NMOPERADOR",
                                             "CDSUPERVISOR", "DSMOTIVO",  "DSOBSERVACAO", "DSTEXTO09",  "DSTEXTO10",
                                             "DSTEXTO11",    "DSTEXTO12", "DSTEXTO13",    "DSTEXTO14"};
    std::string cols = "DTHRLOGACES", marks = ":P_DTHRLOGACES";
    std::vector<svc::Param> params{svc::text("P_DTHRLOGACES", svc::isoMoment(clock_.now(), true))};
    for (size_t i = 0; i < 14; ++i) {
        cols += std::string(", ") + kColumns[i];
        marks += std::string(", :P_") + kColumns[i];
        params.push_back(svc::text(std::string("P_") + kColumns[i], texts[i]));
    }
    svc::exec(connection(), "LogControleAcess", "INSERT INTO LOGCONTROLEACESSO (" + cols + ") VALUES (" + marks + ")",
              params);
}

std::string DatabaseServicePackage::saleCounterKey(const std::string& cdFilial, const std::string& cdCaixa) {
    return "NRSEQVENDA" + cdFilial + cdCaixa;
}

db::sql::Select DatabaseServicePackage::saleCounterQuery(const std::string& cdFilial, const std::string& cdCaixa) {
    return {"counter of the sales",
            "SELECT NRSEQUENCIAL FROM NOVOCODIGO WHERE CDCONTADOR = :P_CDCONTADOR",
            {svc::text("P_CDCONTADOR", saleCounterKey(cdFilial, cdCaixa))},
            {{"NRSEQUENCIAL", db::ColumnType::Text}}};
}

db::sql::Select DatabaseServicePackage::saleNumberCheckQuery(const std::string& cdFilial, const std::string& cdCaixa,
                                                             const std::string& number) {
    return {"sale number check",
            "SELECT NRSEQVENDA FROM VENDA WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA "
            "AND NRSEQVENDA = :P_NRSEQVENDA",
            {svc::text("P_CDFILIAL", cdFilial), svc::text("P_CDCAIXA", cdCaixa), svc::text("P_NRSEQVENDA", number)},
            {{"NRSEQVENDA", db::ColumnType::Text}}};
}

std::vector<db::sql::Select> DatabaseServicePackage::saleNumberReadAhead(const std::string& cdFilial,
                                                                         const std::string& cdCaixa) const {
    std::vector<db::sql::Select> reads{saleCounterQuery(cdFilial, cdCaixa)};
    // The number after the last one this process handed out is most likely
    // the next: its check goes with the counter. Whatever the counter says
    // decides; a guess that misses is checked again.
    if (auto guess = numberAfterLast(cdFilial, cdCaixa))
        reads.push_back(saleNumberCheckQuery(cdFilial, cdCaixa, guess->second));
    return reads;
}

std::optional<std::pair<std::string, std::string>> DatabaseServicePackage::numberAfterLast(
    const std::string& cdFilial, const std::string& cdCaixa) const {
    auto last = lastSaleNumber_.find(saleCounterKey(cdFilial, cdCaixa));
    long long n = 0;
    if (last == lastSaleNumber_.end() || !tryStrToInt(last->second, n)) return std::nullopt;
    return std::make_pair(last->second, fmt::format("{:010}", n + 1));
}

std::optional<std::pair<std::string, std::string>> DatabaseServicePackage::guessedSaleNumber(
    const std::string& cdFilial, const std::string& cdCaixa) {
    if (connection().backend() != db::Backend::PostgreSql) return std::nullopt;
    return numberAfterLast(cdFilial, cdCaixa);
}

void DatabaseServicePackage::claimSaleNumber(const std::string& cdFilial, const std::string& cdCaixa,
                                             const std::string& previous, const std::string& number) {
    // A counter that moved no row divides by zero, and the error fails the
    // transaction on the server itself, before its commit.
    svc::send(connection(), "counter of the sales",
              "WITH MOVED AS (UPDATE NOVOCODIGO SET NRSEQUENCIAL = :P_NRSEQUENCIAL WHERE CDCONTADOR = :P_CDCONTADOR "
              "AND NRSEQUENCIAL = :P_ANTERIOR RETURNING 1) SELECT 1 / COUNT(*) FROM MOVED",
              {svc::text("P_CDCONTADOR", saleCounterKey(cdFilial, cdCaixa)), svc::text("P_NRSEQUENCIAL", number),
               svc::text("P_ANTERIOR", previous)});
}

// Sale numbers of a register come from the named counter "NRSEQVENDA" +
// branch + register; a number some other writer already used is skipped, so
// the counter never hands out a taken key. Runs inside the caller's transaction.
std::string DatabaseServicePackage::nextSaleNumber(const std::string& cdFilial, const std::string& cdCaixa) {
    const std::string key = saleCounterKey(cdFilial, cdCaixa);
    auto rows = svc::select(connection(), saleCounterQuery(cdFilial, cdCaixa));
    long long last = 0;
    bool known = !rows.empty();
    if (known) {
        std::string stored = svc::cellText(rows[0][0]);
        if (!stored.empty() && !tryStrToInt(stored, last))
            throw db::DbError("the counter " + key + " of NOVOCODIGO holds '" + stored + "', not a number");
    }
    std::string number;
    for (long long n = last + 1;; ++n) {
        number = fmt::format("{:010}", n);
        if (svc::select(connection(), saleNumberCheckQuery(cdFilial, cdCaixa, number)).empty()) break;
    }
    lastSaleNumber_[key] = number;
    std::vector<svc::Param> params{svc::text("P_CDCONTADOR", key), svc::text("P_NRSEQUENCIAL", number)};
    if (known)
        svc::send(connection(), "counter of the sales",
                  "UPDATE NOVOCODIGO SET NRSEQUENCIAL = :P_NRSEQUENCIAL WHERE CDCONTADOR = :P_CDCONTADOR", params);
    else
        svc::send(connection(), "counter of the sales",
                  "INSERT INTO NOVOCODIGO (CDCONTADOR, NRSEQUENCIAL) VALUES (:P_CDCONTADOR, :P_NRSEQUENCIAL)", params);
    return number;
}

}  // namespace zel::ext
