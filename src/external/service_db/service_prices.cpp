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

struct TableRef {
    std::string branch, table;
    std::string_view expiredCode;
};

std::optional<TableRef> tableOf(db::Connection& c, const std::string& what, const std::string& sql,
                                std::vector<svc::Param> params, std::string_view expiredCode) {
    auto rows = svc::select(c, what, sql, params,
                            {{"CDFILTABPREC", db::ColumnType::Text}, {"CDTABEPREC", db::ColumnType::Text}});
    if (rows.empty()) return std::nullopt;
    return TableRef{svc::cellText(rows[0][0]), svc::cellText(rows[0][1]), expiredCode};
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

    std::optional<TableRef> ref;
    if (!cdCliente.empty())
        ref = tableOf(connection(), "price table of the client",
                      "SELECT CDFILTABPREC, CDTABEPREC FROM CLIENTABPREC WHERE CDCLIENTE = :P_CDCLIENTE",
                      {svc::text("P_CDCLIENTE", cdCliente)}, kPriceClientExpired);
    if (!ref && !cdLoja.empty())
        ref = tableOf(
            connection(), "price table of the store",
            "SELECT CDFILTABPREC, CDTABEPREC FROM LOJATABPREC WHERE CDFILIAL = :P_CDFILIAL AND CDLOJA = :P_CDLOJA",
            {svc::text("P_CDFILIAL", cdFilial), svc::text("P_CDLOJA", cdLoja)}, kPriceStoreExpired);
    if (!ref)
        ref = tableOf(connection(), "standard price table",
                      "SELECT CDFILTABPREC, CDTABEPREC FROM FILIALTABPREC WHERE CDFILIAL = :P_CDFILIAL",
                      {svc::text("P_CDFILIAL", cdFilial)}, kPriceStandardExpired);
    if (!ref) return priceResultFailure(std::string(kPriceNoTable));

    std::vector<svc::Param> key{svc::text("P_CDFILTABPREC", ref->branch), svc::text("P_CDTABEPREC", ref->table)};
    auto table = svc::select(connection(), "price table",
                             "SELECT DTINIVIGTAB, DTFIMVIGTAB FROM TABEPRECO "
                             "WHERE CDFILTABPREC = :P_CDFILTABPREC AND CDTABEPREC = :P_CDTABEPREC",
                             key, {{"DTINIVIGTAB", db::ColumnType::Date}, {"DTFIMVIGTAB", db::ColumnType::Date}});
    if (table.empty()) return priceResultFailure(std::string(kPriceNoTable));
    // Validity is judged on the day of the sale, the clock's day.
    DateTime today = clock_.today();
    DateTime from = svc::cellDate(table[0][0]);
    DateTime until = svc::cellDate(table[0][1]);
    if (today < from || (!until.isEmpty() && today > until)) return priceResultFailure(std::string(ref->expiredCode));

    key.push_back(svc::text("P_CDPRODUTO", cdProduto));
    auto price =
        svc::select(connection(), "price of the product",
                    "SELECT VRPRECITEM, VRDESCITEM, VRACREITEM, VRPRECOCLIE, IDBLOQUEADO, HRINIVENDA, HRFINVENDA "
                    "FROM ITEMTABPREC WHERE CDFILTABPREC = :P_CDFILTABPREC AND CDTABEPREC = :P_CDTABEPREC "
                    "AND CDPRODUTO = :P_CDPRODUTO",
                    key,
                    {{"VRPRECITEM", db::ColumnType::Float},
                     {"VRDESCITEM", db::ColumnType::Float},
                     {"VRACREITEM", db::ColumnType::Float},
                     {"VRPRECOCLIE", db::ColumnType::Float},
                     {"IDBLOQUEADO", db::ColumnType::Text},
                     {"HRINIVENDA", db::ColumnType::Text},
                     {"HRFINVENDA", db::ColumnType::Text}});
    if (price.empty()) return priceResultFailure(std::string(kPriceNotRegistered));
    const svc::Row& row = price[0];
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
