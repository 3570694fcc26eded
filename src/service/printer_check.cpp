// The printer check before the first consumer, and the upkeep of the turnstile
// log after each sale and after the batch.
#include "external/utility/utility.h"
#include "service/module.h"

namespace zel {

bool TrdmGeraCupomVenda::ErroComunicaImpressora() {
    auto fail = [this](const char* key) {
        mensagem(msg(key));
        boErroImpressora = true;
        return true;
    };
    Variant printerDate;
    if (!device().VerificaData(idEsquema, printerDate, 0, dataImp, 1)) return fail("ERRO_IMPRESSORA1");

    Variant serial = device().Params_VerificaSerialImp_Kva00000(utilizaImpFis, dsDirCad, idEsquema, nrSerieImp);
    if (!device().VerificaSerialImp(serial)) return fail("ERRO_IMPRESSORA2");

    // A coupon left open by the previous request: its grand total is not final.
    if (cupomAberto) return false;

    Variant total = device().Params_Atu_TotGeral_Kva00000(cdFilial, cdCaixa, nrSerieImp, idEsquema, "S", false, "", "",
                                                          "", "", 0.0, 0.0);
    if (device().Atu_TotGeral(total)) {
        boErroImpressora = false;
        return false;
    }
    return fail("ERRO_IMPRESSORA3");
}

void TrdmGeraCupomVenda::ApagaLogCatraca() {
    if (ext::EmptyString(nrSeqLogCat)) return;
    db.execApagaLogCatraca(cdFilial, nrSeqLogCat);
}

void TrdmGeraCupomVenda::IncLogCatracaPk() {
    if (ext::EmptyString(nrSeqArqImp)) return;
    db.execIncLogCatracaPk(nrSeqArqImp, nrVendaGerada);
}

}  // namespace zel
