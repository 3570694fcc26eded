// VerificaAliquota: a product's single tax row and the printer's matching rate.

#include "platform/dataset/filter.h"
#include "service/module.h"
#include "platform/text.h"

namespace zel {
namespace {

void removeFilter(ds::Table& t) {
    t.setFilter("");
    t.setFiltered(false);
}

}  // namespace

bool TrdmGeraCupomVenda::VerificaAliquota(const std::string& cdProduto, std::string& cdAliqImpFis,
                                          std::string& idAliqImpFis) {
    ds::Table& sistema = cdsAliqSistema;
    removeFilter(sistema);
    sistema.setFilter("CDPRODUTO = " + ds::quoteFilterLiteral(cdProduto));
    sistema.setFiltered(true);

    int rows = sistema.recordCount();
    if (rows != 1) {
        removeFilter(sistema);
        mensagem(msg(rows > 1 ? "IMPOSTO_ERR" : "IMPOS_NCAD"));
        return false;
    }
    sistema.first();
    // Without a fiscal printer, and for printers that take the product's own
    // rate, the tax row stays current under its filter.
    if (!utilizaImpFis) return true;
    if (idTipoImpFis == 16 || idTipoImpFis == 21 || idTipoImpFis == 26 || idTipoImpFis == 30) return true;

    double rate = sistema.field("VRPEALIMPFIS").asFloat();
    std::string kind = sistema.field("IDTPIMPOSFIS").asString();
    bool found = false;
    ds::Table& impressora = cdsAliqImpFis;
    for (impressora.first(); !impressora.eof(); impressora.next()) {
        if (impressora.field("VRALIQIMPFIS").asFloat() == rate &&
            equalsIgnoringCase(impressora.field("IDALIQIMPFIS").asString(), kind)) {
            found = true;
            break;
        }
    }
    // The filter goes; the product's tax row stays current.
    removeFilter(sistema);
    sistema.locate("CDPRODUTO", Variant(cdProduto));
    if (!found) {
        mensagem(msg("ALIQ_NCAD"));
        return false;
    }
    cdAliqImpFis = impressora.field("CDALIQIMPFIS").asString();
    idAliqImpFis = impressora.field("IDALIQIMPFIS").asString();
    return true;
}

}  // namespace zel
