// addFamiliaSaldo: what the sale spends in each balance family.
#include "service/module.h"

namespace zel {

void TrdmGeraCupomVenda::addFamiliaSaldo(const std::string& cdFamiliSald, double valor) {
    ds::Table& t = cdsFamiliaSaldo;
    if (!t.isOpen()) t.create();
    if (t.locate("CDFAMILISALD", Variant(cdFamiliSald))) {
        ds::Field saldo = t.field("VRSALDCONFAM");
        double atual = saldo.isNull() ? 0 : saldo.asFloat();
        t.edit();
        saldo.setAsFloat(atual + valor);
        t.post();
    } else {
        t.append();
        t.field("CDFAMILISALD").setAsString(cdFamiliSald);
        t.field("VRSALDCONFAM").setAsFloat(valor);
        t.post();
    }
}

}  // namespace zel
