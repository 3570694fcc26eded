// The price of a product for a sale: the price table that applies (client's,
// store's or the branch's standard one), its validity and the product's row.
#include <fmt/format.h>

#include <cctype>

#include "external/utility/args.h"
#include "external/service_db/service_package_db.h"
#include "external/service_db/service_sql.h"
#include "external/utility/utility.h"
#include "platform/dataset/table.h"

namespace zel::ext {

namespace {

constexpr const char* kOp = "ChamaFuncaoGetRetornaPreco";

bool isHhmm(const std::string& s) {
    if (s.size() != 4) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return std::stoi(s.substr(0, 2)) < 24 && std::stoi(s.substr(2, 2)) < 60;
}

void clearPrice(ds::Table& t) {
    if (!t.declaredFields().empty()) t.create();
    else if (t.isOpen()) t.emptyTable();
}

void setIfPresent(ds::Table& t, std::string_view field, const Variant& v) {
    int i = t.fieldIndex(field);
    if (i >= 0) t.setValue(i, v);
}

}  // namespace

// One statement finds the table that applies (the client's, else the store's,
// else the branch's standard one), the table itself and the product's row in
// it: the first row is the table that applies.
db::sql::Select DatabaseServicePackage::priceQuery(const std::string& cdFilial, const std::string& cdCliente,
                                                  const std::string& cdLoja, const std::string& cdProduto) {
    return {
        "price of the product",
        "SELECT R.NRORDEM, T.CDTABEPREC, T.DTINIVIGTAB, T.DTFIMVIGTAB, I.CDPRODUTO, I.VRPRECITEM, I.VRDESCITEM, "
        "I.VRACREITEM, I.VRPRECOCLIE, I.IDBLOQUEADO, I.HRINIVENDA, I.HRFINVENDA FROM ("
        "SELECT 1 AS NRORDEM, CDFILTABPREC, CDTABEPREC FROM CLIENTABPREC WHERE CDCLIENTE = :P_CDCLIENTE "
        "AND :P_CDCLIENTE <> '' UNION ALL "
        "SELECT 2, CDFILTABPREC, CDTABEPREC FROM LOJATABPREC WHERE CDFILIAL = :P_CDFILIAL AND CDLOJA = :P_CDLOJA "
        "AND :P_CDLOJA <> '' UNION ALL "
        "SELECT 3, CDFILTABPREC, CDTABEPREC FROM FILIALTABPREC WHERE CDFILIAL = :P_CDFILIAL) R "
        "LEFT JOIN TABEPRECO T ON T.CDFILTABPREC = R.CDFILTABPREC AND T.CDTABEPREC = R.CDTABEPREC "
        "LEFT JOIN ITEMTABPREC I ON I.CDFILTABPREC = R.CDFILTABPREC AND I.CDTABEPREC = R.CDTABEPREC "
        "AND I.CDPRODUTO = :P_CDPRODUTO ORDER BY R.NRORDEM",
        {svc::text("P_CDCLIENTE", cdCliente), svc::text("P_CDFILIAL", cdFilial), svc::text("P_CDLOJA", cdLoja),
         svc::text("P_CDPRODUTO", cdProduto)},
        {{"NRORDEM", db::ColumnType::Integer},
         {"CDTABEPREC", db::ColumnType::Text},
         {"DTINIVIGTAB", db::ColumnType::Date},
         {"DTFIMVIGTAB", db::ColumnType::Date},
         {"CDPRODUTO", db::ColumnType::Text},
         {"VRPRECITEM", db::ColumnType::Float},
         {"VRDESCITEM", db::ColumnType::Float},
         {"VRACREITEM", db::ColumnType::Float},
         {"VRPRECOCLIE", db::ColumnType::Float},
         {"IDBLOQUEADO", db::ColumnType::Text},
         {"HRINIVENDA", db::ColumnType::Text},
         {"HRFINVENDA", db::ColumnType::Text}}};
}

void DatabaseServicePackage::expectPrice(const VariantArray& values) {
    // Only what ChamaFuncaoGetRetornaPreco would ask with these values; values
    // it would refuse are left to it.
    if (values.size() != 7) return;
    for (const Variant& v : values)
        if (!v.isText()) return;
    const std::string& cdProduto = values[2].text();
    if (values[0].text().empty() || cdProduto.empty()) return;
    try {
        db::sql::readAhead(connection(), {priceQuery(values[0].text(), values[1].text(), values[3].text(), cdProduto),
                                          fiscalCodesQuery(cdProduto), taxRatesQuery(cdProduto)});
    } catch (const std::exception&) {
        // Not sent: the price is asked when its turn comes.
    }
}

Variant DatabaseServicePackage::ChamaFuncaoGetRetornaPreco(const VariantArray& values, ds::Table& cdsRetornaPreco) {
    ArgReader args(values, kOp, "price list");
    args.expectCount(7);
    const std::string& cdFilial = args.text(0, "branch");
    const std::string& cdCliente = args.text(1, "client");
    const std::string& cdProduto = args.text(2, "product");
    const std::string& cdLoja = args.text(3, "store");
    args.text(4, "consumer");
    const std::string& hhmm = args.text(5, "hour HHMM");
    args.text(6);
    if (cdFilial.empty()) args.fail(0, "branch", "the branch is empty");
    if (cdProduto.empty()) args.fail(2, "product", "the product is empty");
    if (!isHhmm(hhmm)) args.fail(5, "hour HHMM", "'" + hhmm + "' is not an hour HHMM");

    clearPrice(cdsRetornaPreco);

    // The product's fiscal codes and tax rates, which the sale asks next,
    // travel with the price (on a server, one exchange for the three), unless
    // the three were read ahead already (expectPrice).
    db::sql::Select price = priceQuery(cdFilial, cdCliente, cdLoja, cdProduto);
    std::vector<svc::Row> found = std::move(db::sql::selectTogether(
        connection(), {price}, {fiscalCodesQuery(cdProduto), taxRatesQuery(cdProduto)})[0]);
    // No table named, or one named that does not exist.
    auto none = [](const ds::Cell& c) { return std::holds_alternative<std::monostate>(c); };
    if (found.empty() || none(found[0][1])) return priceResultFailure(std::string(kPriceNoTable));
    const svc::Row& applies = found[0];
    const std::string_view expiredCode = svc::cellNumber(applies[0]) == 1   ? kPriceClientExpired
                                         : svc::cellNumber(applies[0]) == 2 ? kPriceStoreExpired
                                                                            : kPriceStandardExpired;
    // Validity is judged on the day of the sale, the clock's day.
    DateTime today = clock_.today();
    DateTime from = svc::cellDate(applies[2]);
    DateTime until = svc::cellDate(applies[3]);
    if (today < from || (!until.isEmpty() && today > until)) return priceResultFailure(std::string(expiredCode));
    if (none(applies[4])) return priceResultFailure(std::string(kPriceNotRegistered));
    const ds::Cell* row = applies.data() + 5;  // the product's row: price, discount, surcharge, ...
    if (svc::cellText(row[4]) == "S") return priceResultFailure(std::string(kPriceBlocked));
    std::string start = svc::cellText(row[5]), end = svc::cellText(row[6]);
    if ((!start.empty() || !end.empty()) && !insideHourWindow(hhmm, start, end))
        return priceResultFailure(std::string(kPriceBlocked));
    double vrPreco = svc::cellNumber(row[0]);
    if (!(vrPreco > 0)) return priceResultFailure(std::string(kPriceZero));

    cdsRetornaPreco.append();
    setIfPresent(cdsRetornaPreco, "VRPRECO", vrPreco);
    setIfPresent(cdsRetornaPreco, "VRDESCONTO", svc::cellNumber(row[1]));
    setIfPresent(cdsRetornaPreco, "VRACRESCIMO", svc::cellNumber(row[2]));
    setIfPresent(cdsRetornaPreco, "VRPRECOCLIE", svc::cellNumber(row[3]));
    // Fixed prices in money: no variable price, amounts not percentages.
    setIfPresent(cdsRetornaPreco, "IDPRECVARIA", "N");
    setIfPresent(cdsRetornaPreco, "IDPERCVALOR", "V");
    setIfPresent(cdsRetornaPreco, "IDACREDESC",
                 svc::cellNumber(row[2]) != 0   ? "A"
                 : svc::cellNumber(row[1]) != 0 ? "D"
                                                : "");
    setIfPresent(cdsRetornaPreco, "VRPRECODIA", vrPreco);
    cdsRetornaPreco.post();
    cdsRetornaPreco.first();
    return priceResultOk();
}

}  // namespace zel::ext
