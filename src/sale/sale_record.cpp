// PreencheVenda: the sale table rebuilt from the item lines.
#include "external/utility/utility.h"
#include "service/module.h"

namespace zel {

void TrdmGeraCupomVenda::PreencheVenda() {
    ds::Table& items = cdsItems;
    ds::Table& venda = cdsVenda;
    ds::Table& aliq = cdsAliqSistema;
    items.first();
    venda.close();
    venda.create();
    while (!items.eof()) {
        // The product's tax row is looked for among all rows, whatever filter the
        // tax-rate check left; that filter stays in force afterwards.
        std::string cdProduto = items.field("CDPRODUTO").asString();
        std::string savedFilter = aliq.filter();
        bool wasFiltered = aliq.filtered();
        aliq.setFiltered(false);
        bool taxRow = aliq.locate("CDPRODUTO", Variant(cdProduto));
        std::string vrPeAlImpFis, cdImposto, idTpImposFis;
        if (taxRow) {
            vrPeAlImpFis = aliq.field("VRPEALIMPFIS").asString();
            cdImposto = aliq.field("CDIMPOSTO").asString();
            idTpImposFis = aliq.field("IDTPIMPOSFIS").asString();
        }
        aliq.setFilter(savedFilter);
        aliq.setFiltered(wasFiltered);

        auto text = [&venda](const char* field, const std::string& value) { venda.field(field).setAsString(value); };
        auto number = [&venda](const char* field, double value) { venda.field(field).setAsFloat(value); };
        auto itemText = [&items](const char* field) { return items.field(field).asString(); };
        auto itemNumber = [&items](const char* field) { return items.field(field).asFloat(); };

        venda.append();
        text("CDFILIAL", cdFilial);
        text("CDLOJA", cdLoja);
        text("CDPRODUTO", cdProduto);
        text("CDPRODPROMOCAO", itemText("CDPRODPROMOCAO"));
        number("QTPRODCOMVEN", strToFloat(itemText("QTPRODCOMVEN"), fs()));
        number("VRPRECCOMVEN", itemNumber("VRPRECCOMVEN"));
        number("VRDESCCOMVEN", itemNumber("VRDESCCOMVEN"));
        text("NRLUGARMESA", itemText("NRLUGARMESA"));
        text("CDARVPROD", itemText("CDARVPROD"));
        text("CDPRODIMPFIS", itemText("CDPRODIMPFIS"));
        text("NMPRODUTO", itemText("NMPRODUTO"));
        text("NRSEQ", itemText("NRSEQ"));
        text("CDVENDEDOR", ext::Ajusta("", 4));
        text("CDVENDEDORITEM", ext::Ajusta("", 4));
        if (taxRow) {
            text("VRPEALIMPFIS", vrPeAlImpFis);
            text("CDIMPOSTO", cdImposto);
            text("IDTPIMPOSFIS", idTpImposFis);
        }
        text("CDLOJAIT", itemText("CDLOJA"));
        text("CDOPERADOR", cdOperador);
        text("NMOPERADOR", nmOperador);
        text("NMLOJA", cdLoja);
        venda.field("DTABERCAIX").setAsDateTime(dtAberCaix.dateOnly());
        number("VRACRCOMANDA", vrAcrTotal);
        number("VRACRCOMVEN", itemNumber("VRACRCOMVEN"));
        text("NMCONSVEND", itemText("NMCONSVEND"));
        text("NRINSCRCONS", itemText("NRINSCRCONS"));
        number("VRUNITVENDCL", itemNumber("VRUNITVENDCL"));
        text("CDFAMILISALD", itemText("CDFAMILISALD"));
        text("CDSERVFILI", itemText("CDSERVFILI"));
        number("ACRESITEM", itemNumber("ACRESITEM"));
        text("NRCONTCUPOMFISC", itemText("NRCONTCUPOMFISC"));
        text("NRCUPOMFIS", itemText("NRCUPOMFIS"));
        text("CDORDALIQIMPR", itemText("CDORDALIQIMPR"));
        number("VRALIQIMPR", itemNumber("VRALIQIMPR"));
        text("DSENDEVENDA", itemText("DSENDEVENDA"));
        text("NRMESA", "");
        text("CDCLIENTE", cdCliente);
        text("CDCONSUMIDOR", cdConsumidor);
        if (vrTxServTotal != 0) number("VRTXSERVICO", vrTxServTotal);
        venda.post();
        items.next();
    }
}

}  // namespace zel
