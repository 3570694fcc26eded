// Fiscal codes of the products and the approximate taxes of a sale.
#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <optional>

#include "external/utility/args.h"
#include "external/service_db/service_package_db.h"
#include "external/service_db/service_sql.h"
#include "platform/dataset/packet.h"

namespace zel::ext {

namespace {

VariantArray& exchangeList(Variant& list, size_t count, const char* operation) {
    if (!list.isArray() || list.items().size() < count)
        throw ArgumentError(fmt::format("{}: position 1: expected a list of {} values, found {}", operation, count,
                                        list.isArray() ? std::to_string(list.items().size()) + " values"
                                                       : std::string("a ") + Variant::typeName(list.type())));
    return list.items();
}

// Two decimals, the station's separator, no thousands.
std::string moneyText(double value, const FormatSettings& fs) {
    std::string s = fmt::format("{:.2f}", svc::roundCents(value));
    if (s == "-0.00") s = "0.00";
    for (char& c : s)
        if (c == '.') c = fs.decimalSeparator;
    return s;
}

}  // namespace

db::sql::Select DatabaseServicePackage::fiscalCodesQuery(const std::string& cdProduto) {
    return {"fiscal codes of the product",
            "SELECT CDNCM, CDCEST FROM PRODFISCAL WHERE CDPRODUTO = :P_CDPRODUTO",
            {svc::text("P_CDPRODUTO", cdProduto)},
            {{"CDNCM", db::ColumnType::Text}, {"CDCEST", db::ColumnType::Text}}};
}

db::sql::Select DatabaseServicePackage::taxRatesQuery(const std::string& cdProduto) {
    return {"approximate tax rates",
            "SELECT A.VRALIQFEDERAL, A.VRALIQESTADUAL, A.DSFONTEALIQ "
            "FROM PRODFISCAL P, ALIQAPROXNCM A "
            "WHERE P.CDPRODUTO = :P_CDPRODUTO AND A.CDNCM = P.CDNCM",
            {svc::text("P_CDPRODUTO", cdProduto)},
            {{"VRALIQFEDERAL", db::ColumnType::Float},
             {"VRALIQESTADUAL", db::ColumnType::Float},
             {"DSFONTEALIQ", db::ColumnType::Text}}};
}

void DatabaseServicePackage::getProdCodCestNcm(const std::string& cdProduto, Variant& oleProdCestNcm) {
    VariantArray& out = exchangeList(oleProdCestNcm, 2, "getProdCodCestNcm");
    auto rows = svc::select(connection(), fiscalCodesQuery(cdProduto));
    out[0] = Variant(rows.empty() ? std::string() : svc::cellText(rows[0][0]));
    out[1] = Variant(rows.empty() ? std::string() : svc::cellText(rows[0][1]));
}

double DatabaseServicePackage::CalculoIcmsDFederal(const Variant& cdsVenda, Variant& oleRetImposto, double) {
    constexpr const char* kOp = "CalculoIcmsDFederal";
    if (!cdsVenda.isPacket())
        throw ArgumentError(fmt::format("{}: position 0 (cdsVenda): expected a data packet, found a {}", kOp,
                                        Variant::typeName(cdsVenda.type())));
    VariantArray& out = exchangeList(oleRetImposto, 3, kOp);
    svc::PacketReader sale(cdsVenda.asPacket(), kOp, "position 0 (cdsVenda)", fs_);
    sale.require("CDPRODUTO");
    sale.require("QTPRODCOMVEN");
    sale.require("VRPRECCOMVEN");

    struct Rates {
        double federal = 0, state = 0;
        std::string source;
    };
    std::map<std::string, std::optional<Rates>> byProduct;
    double federal = 0, state = 0;
    std::vector<std::string> sources;
    for (size_t i = 0; i < sale.size(); ++i) {
        std::string product = sale.text(i, "CDPRODUTO");
        if (product.empty()) continue;
        auto [it, fresh] = byProduct.try_emplace(product);
        if (fresh) {
            auto rows = svc::select(connection(), taxRatesQuery(product));
            if (!rows.empty())
                it->second = Rates{svc::cellNumber(rows[0][0]), svc::cellNumber(rows[0][1]), svc::cellText(rows[0][2])};
        }
        if (!it->second) continue;
        double price = sale.number(i, "VRPRECCOMVEN") + (sale.has("VRUNITVENDCL") ? sale.number(i, "VRUNITVENDCL") : 0);
        double line = sale.number(i, "QTPRODCOMVEN") * price -
                      (sale.has("VRDESCCOMVEN") ? sale.number(i, "VRDESCCOMVEN") : 0) +
                      (sale.has("VRACRCOMVEN") ? sale.number(i, "VRACRCOMVEN") : 0);
        federal += line * it->second->federal / 100.0;
        state += line * it->second->state / 100.0;
        const std::string& src = it->second->source;
        if (!src.empty() && std::find(sources.begin(), sources.end(), src) == sources.end()) sources.push_back(src);
    }
    std::string joined;
    for (const std::string& s : sources) joined += (joined.empty() ? "" : " / ") + s;
    out[0] = Variant(moneyText(federal, fs_));
    out[1] = Variant(moneyText(state, fs_));
    out[2] = Variant(joined);
    return svc::roundCents(federal) + svc::roundCents(state);
}

}  // namespace zel::ext
