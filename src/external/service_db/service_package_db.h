// The service package's stand-in on the station's database: prices, fiscal
// codes and approximate taxes, concluded and cancelled sales, the access log,
// and progress handed to the host.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "external/service_package.h"
#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/db/query.h"
#include "platform/locale.h"

namespace zel::ext {

// Failure codes of a price answer.
inline constexpr std::string_view kPriceNotRegistered = "PRECNCAD";  // the table has no row for the product
inline constexpr std::string_view kPriceNoTable = "TABENCAD";        // no table configured or the one named is missing
inline constexpr std::string_view kPriceClientExpired = "DTCLI";     // the client's table is out of validity
inline constexpr std::string_view kPriceStandardExpired = "DTPAR";   // the branch's standard table is out of validity
inline constexpr std::string_view kPriceStoreExpired = "DTLOJ";      // the store's table is out of validity
inline constexpr std::string_view kPriceZero = "PRECZERO";           // the price is not above zero
inline constexpr std::string_view kPriceBlocked = "BLOQUEADO";       // blocked, or outside its hour window

// Whether the hour `hhmm` lies in the window from `start` to `end` (texts
// HHMM compared as texts, both ends included). A start after the end runs
// over midnight; a start equal to the end holds no hour; an empty end or start
// sorts before every hour, as the service windows of the products do.
bool insideHourWindow(std::string_view hhmm, std::string_view start, std::string_view end);

// The stand-in. It keeps a connection of its own to the station's database
// (connected on first use, session set up as the utility library does); the
// tables it reads and writes are in db/<backend>/100_prices.sql to
// 130_access_log.sql besides VENDA, ITEMVENDA, SALDOCONS and NOVOCODIGO.
//
// Prices: the second value names the client. When it is not empty and the
// client has a table (CLIENTABPREC), that table is used; else, when the store
// (fourth value) has one (LOJATABPREC), the store's; else the branch's
// standard table (FILIALTABPREC); none: TABENCAD. The table chosen must exist
// (TABEPRECO, else TABENCAD) and be valid on the clock's day (else DTCLI,
// DTLOJ or DTPAR; no fall-back to the next table). Its row for the product:
// none PRECNCAD; blocked, or the hour HHMM of the sixth value (index 5)
// outside the row's hour window, BLOQUEADO; a price not above zero PRECZERO.
// The fifth value (index 4, the consumer) and the seventh are not used.
//
// Concluded sales are stored in one transaction: VENDA ("O", DTENTRVENDA the
// day of the passage, value 29), ITEMVENDA (quantity QTPRODCOMVEN, unit price
// VRPRECCOMVEN, surcharge VRACRCOMVEN, discount VRDESCCOMVEN of each line of
// cdsVenda), VENDACUPOM (printer serial and coupon number, counter, movement
// date, passage, ...), ITEMVENDACUPOM, MOVCAIXA (the rows of cdsMovCaixa) and
// the debit of SALDOCONS per family of cdsFamiliaSaldo (a missing balance row
// is created at minus the amount), recorded in VENDASALDOFAM. A coupon already
// stored (same serial and coupon number) is not stored again.
//
// Cancelled sales: a coupon already stored as concluded is turned into a
// cancelled sale (IDSITUVENDA "C"), its family debits credited back and its
// cash movements marked undone, since the printer cancelled it; a coupon not
// stored is stored as cancelled (never counted as consumption); an empty sale
// table stores nothing.
class DatabaseServicePackage final : public ServicePackage {
  public:
    using ProgressStarted = std::function<void(const std::string& text)>;
    using ProgressEnded = std::function<void()>;

    // `connectionString` as db::Connection takes it. The format settings are
    // copied (numbers of the tax answers are written with them); the clock
    // must outlive the package.
    DatabaseServicePackage(std::string connectionString, const FormatSettings& formatSettings, const Clock& clock);
    ~DatabaseServicePackage() override;
    DatabaseServicePackage(const DatabaseServicePackage&) = delete;
    DatabaseServicePackage& operator=(const DatabaseServicePackage&) = delete;

    // The host's progress display; either may be empty.
    void setProgress(ProgressStarted started, ProgressEnded ended);

    // The connection its statements run on: the one given to runOn while that
    // one is open on the same database as its own, else its own.
    db::Connection& connection();
    // Offers `shared` (a connection with the same session settings that
    // outlives the use; nullptr takes the offer back). A process whose module
    // and service each kept a SQLite connection made each drop and read again
    // the pages of its cache whenever the other wrote.
    void runOn(db::Connection* shared) { shared_ = shared; }

    const FormatSettings& formatSettings() const { return fs_; }

    // Calls `started` with the text.
    void AtivaProcesso(int32_t kind, const std::string& text, int32_t position, int32_t total) override;
    void DesativaProcesso() override;

    Variant ChamaFuncaoGetRetornaPreco(const VariantArray& values, ds::Table& cdsRetornaPreco) override;
    // Sends the price's reads ahead, with the fiscal codes and tax rates.
    void expectPrice(const VariantArray& values) override;
    void getProdCodCestNcm(const std::string& cdProduto, Variant& oleProdCestNcm) override;
    // Per line of the sale: quantity × (VRPRECCOMVEN + VRUNITVENDCL) −
    // VRDESCCOMVEN + VRACRCOMVEN, times the rates of the product's NCM
    // (ALIQAPROXNCM; a product without NCM or rates adds nothing). Amounts
    // rounded to cents, written with two decimals and the station's decimal
    // separator; element 2 the sources of the rates used, joined with " / ".
    // Returns the sum of both amounts.
    double CalculoIcmsDFederal(const Variant& cdsVenda, Variant& oleRetImposto, double amount) override;

    // Returns serviceAnswerOk(). When `answer` is a list of at least three
    // elements: element 0 true, element 1 the sale number NRSEQVENDA,
    // element 2 "GRAVADA" for a sale stored now, "JA_GRAVADA" for a coupon
    // already stored. Bad values raise ArgumentError, a database failure
    // DbError; nothing is stored then.
    Variant SetConcluiFechamento(const VariantArray& tables, const VariantArray& values, Variant& answer) override;
    // Returns "OK" when recorded (or nothing to record); a database failure
    // comes back as its text (nothing stored); bad values raise ArgumentError.
    std::string IncluiVendaCan(const VariantArray& values, Variant& answer) override;
    // One row of LOGCONTROLEACESSO with the clock's moment; not 14 texts:
    // ArgumentError; a database failure: DbError.
    void LogControleAcess(const std::vector<std::string>& texts) override;

  private:
    std::string nextSaleNumber(const std::string& cdFilial, const std::string& cdCaixa);
    // The queries behind getProdCodCestNcm, the rates of CalculoIcmsDFederal
    // and the sale counter of nextSaleNumber, so that a call before them can
    // read them ahead with the very texts and values they run with.
    static db::sql::Select fiscalCodesQuery(const std::string& cdProduto);
    static db::sql::Select priceQuery(const std::string& cdFilial, const std::string& cdCliente,
                                      const std::string& cdLoja, const std::string& cdProduto);
    static db::sql::Select taxRatesQuery(const std::string& cdProduto);
    // The named counter of a register's sale numbers.
    static std::string saleCounterKey(const std::string& cdFilial, const std::string& cdCaixa);
    static db::sql::Select saleCounterQuery(const std::string& cdFilial, const std::string& cdCaixa);
    static db::sql::Select saleNumberCheckQuery(const std::string& cdFilial, const std::string& cdCaixa,
                                                const std::string& number);
    // The reads of nextSaleNumber that can go ahead of it: the counter, and
    // the check of the number that most likely comes next.
    std::vector<db::sql::Select> saleNumberReadAhead(const std::string& cdFilial, const std::string& cdCaixa) const;
    // The last sale number this process handed out for the register and the
    // one after it; none before its first sale.
    std::optional<std::pair<std::string, std::string>> numberAfterLast(const std::string& cdFilial,
                                                                       const std::string& cdCaixa) const;
    // On a server, the last sale number this process handed out for the
    // register and the one after it; none before its first sale, nor on SQLite.
    std::optional<std::pair<std::string, std::string>> guessedSaleNumber(const std::string& cdFilial,
                                                                         const std::string& cdCaixa);
    // Moves the register's counter from `previous` to `number` in the caller's
    // transaction, and fails that transaction when the counter holds
    // anything else.
    void claimSaleNumber(const std::string& cdFilial, const std::string& cdCaixa, const std::string& previous,
                         const std::string& number);

    db::Connection own_;
    db::Connection* shared_ = nullptr;
    // Per counter, the last sale number handed out here: only a guess of
    // the next one, which the database confirms or not.
    std::map<std::string, std::string> lastSaleNumber_;
    FormatSettings fs_;
    const Clock& clock_;
    ProgressStarted started_;
    ProgressEnded ended_;
};

}  // namespace zel::ext
