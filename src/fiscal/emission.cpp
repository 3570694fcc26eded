// The dialogue with the fiscal printer within a product selection run: the
// coupon opened at the first product, each item sold and recorded, and the
// closing with its 53 values and the grand-total update.
#include <fmt/format.h>

#include "external/utility/utility.h"
#include "platform/text.h"
#include "sale/trunc2.h"
#include "service/module.h"

namespace zel {

extern const char* const kReceiptTypeFilter;

bool TrdmGeraCupomVenda::abreCupom() {
    run.packet = device().Params_AbreCupom_Kva00000(idEsquema, run.nrAbertura, nrCpfRespCon, run.nmConsumidorDb,
                                                    dsEndeVenda, cupNr, contCupom, "", "", "", "", "", "", "", false);
    if (!device().AbreCupom(run.packet)) return false;
    cupNr = ext::RecebeParams(run.packet, "CUPNR").toText(fs());
    contCupom = ext::RecebeParams(run.packet, "CONTCUPOM").toText(fs());
    db.setGravaCupomInicial(cdFilial, cdCaixa, cupNr, dtMoviFiscal);  // never stops the sale
    cupomAberto = true;
    return true;
}

bool TrdmGeraCupomVenda::vendeItem(const std::string& cdAliqImpFis, const std::string& idAliqImpFis,
                                   const std::string& vrPrecoText, const std::string& vrPrecoClieText,
                                   double precoUnitario, double desconto) {
    const double q = 1;
    ds::Table& produto = cdsProdutos;
    std::string cdProduto = produto.field("CDPRODUTO").asString();
    std::string nmProduto = produto.field("NMPRODUTO").asString();
    std::string cdArvProd = produto.field("CDARVPROD").asString();
    std::string sgUnidade = produto.field("SGUNIDADE").asString();
    std::string vrPeAlImpFis = produto.field("VRPEALIMPFIS").asString();
    cdBarProduto = produto.field("CDBARPRODUTO").asString();

    oleProdCestNcm = Variant(VariantArray(2));
    service().getProdCodCestNcm(cdProduto, oleProdCestNcm);
    std::string ncm = oleProdCestNcm.items().at(0).toText(fs());
    std::string cest = oleProdCestNcm.items().at(1).toText(fs());

    run.packet = Variant::null();
    std::string itemCode = !cdBarProduto.empty() ? cdBarProduto : cdArvProd;
    std::string description = (cest.empty() ? "" : cest + "#") + (ncm.empty() ? "" : ncm + "#") + nmProduto;
    run.packet = device().Params_VendaItem_Kva00000(
        idEsquema, "", "D", itemCode, description, cdAliqImpFis, idAliqImpFis, sgUnidade, "", vrPeAlImpFis, "",
        run.nrAbertura, q, precoUnitario, Trunc2(desconto, fs()), Trunc2(vrAcrItem, fs()), false);
    if (!device().VendaItem(run.packet)) return false;

    AddProduto(cdProduto, "", nmProduto, "", cdsProdutoGeral.field("CDSERVFILI").asString(), floatToStr(q, fs()),
               sgUnidade, vrPrecoText, floatToStr(desconto, fs()), floatToStr(vrAcrItem, fs()), cdArvProd,
               vrPrecoClieText, produto.field("CDIMPOSTO").asString(), vrPeAlImpFis, "", "", "", "");
    cdsItems.edit();
    cdsItems.field("NRCUPOMFIS").setAsString(cupNr);
    cdsItems.field("NRCONTCUPOMFISC").setAsString(contCupom);
    cdsItems.post();
    // The item file always holds every item the printer accepted, with its
    // coupon number and counter; written whole over the old content, not
    // flushed (recovery reads the printer's memory, never this file).
    cdsItems.saveToFile(itemFile, itemFilePath(), ds::PacketForm::Binary);
    return true;
}

bool TrdmGeraCupomVenda::fechaCupom() {
    InsereMovCaixa(true);

    cdsConfTipoRece.setFiltered(false);
    cdsConfTipoRece.setFilter(kReceiptTypeFilter);
    cdsConfTipoRece.setFiltered(true);

    if (idParImprLimVdc != "N") {
        DateTime dataVenda = cdsEmiteCupom.field("DATAREAL").asDateTime().dateOnly();
        cdsVrSaldConsumi.setData(db.getVrSaldConsumi(cdFilial, cdCliente, trimSpaces(run.cdIdConsumid),
                                                     ModuleDatabase::PrimeiroDiaMes(dataVenda), dataVenda));
        cdsVrSaldConsumi.first();
        bool hasRow = !cdsVrSaldConsumi.eof();
        run.vrMaxDebCons = hasRow ? cdsVrSaldConsumi.field("VRMAXDEBCONS").asString() : std::string();
        run.vrLimDebCons = hasRow ? cdsVrSaldConsumi.field("VRLIMDEBCONS").asString() : std::string();
    }

    PreencheVenda();

    oleRetImposto = Variant(VariantArray(3));
    service().CalculoIcmsDFederal(cdsVenda.dataVariant(), oleRetImposto, 0.0);
    std::string impostoFederal = oleRetImposto.items().at(0).toText(fs());
    std::string impostoEstadual = oleRetImposto.items().at(1).toText(fs());

    Variant answer(VariantArray(10));
    const Variant empty(std::string{});
    VariantArray c(53, empty);
    c[0] = stTotCv;
    c[1] = dsMd5Paf;
    c[2] = idEsquema;
    c[3] = idTipoImpFis;
    c[4] = false;
    c[5] = false;
    c[6] = int32_t(0);
    c[7] = int32_t(0);
    c[8] = int32_t(0);
    c[9] = idUtilTef;
    c[10] = dsObsCupFis;
    c[11] = false;
    c[13] = cdsMovCaixa.dataVariant();
    c[14] = cdsConfTipoRece.dataVariant();
    c[15] = cdCliente;
    c[16] = run.nmFantClie;
    c[17] = run.cdIdConsumid;
    c[18] = nmConsumidor;
    c[19] = nrCpfRespCon;
    c[20] = nmConsumidor;
    c[22] = cdOperador;
    c[23] = nmOperador;
    c[24] = nrSeqItem;
    c[25] = idImpBarrCup;
    c[26] = nmPadBarrCup;
    c[27] = idImpSaldoCupom;
    c[32] = cdsConsultaSaldo.dataVariant();
    c[33] = cdsFamiliaSaldo.dataVariant();
    c[34] = Variant::null();
    c[35] = idTpTelaVe;
    c[36] = "1";
    c[37] = int32_t(0);
    c[38] = int32_t(0);
    c[39] = dsMensCpfCup;
    c[40] = idImprCupTefRed;
    c[41] = ecfImp;
    c[42] = cupNr;
    c[43] = sgEstadoFili;
    c[44] = nrInsJurEmpr;
    c[45] = cdInscEstaEmpr;
    c[46] = idParImprLimVdc;
    c[47] = run.vrMaxDebCons;
    c[48] = run.vrLimDebCons;
    c[49] = cdsVrSaldConsumi.dataVariant();
    c[50] = strToFloat(impostoEstadual, fs());
    c[51] = strToFloat(impostoFederal, fs());
    c[52] = int32_t(0);

    bool fechado = device().FechaCupom(c, Variant(), answer);
    retFechaCupom = answer.items().at(2).toText(fs());

    run.packet = device().Params_Atu_TotGeral_Kva00000(cdFilial, cdCaixa, nrSerieImp, idEsquema, "N", false, "", "", "",
                                                       "", 0.0, 0.0);
    device().Atu_TotGeral(run.packet);
    cupomAberto = false;
    return fechado;
}

}  // namespace zel
