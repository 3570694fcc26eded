// AddProduto: a priced product becomes a numbered line of the item table.
#include <optional>

#include "external/utility/utility.h"
#include "sale/trunc2.h"
#include "service/module.h"

namespace zel {

void TrdmGeraCupomVenda::AddProduto(const std::string& cdProduto, const std::string& cdProdPromocao,
                                    const std::string& nmProduto, const std::string& cdFamiliSald,
                                    const std::string& cdServFili, const std::string& quantidade,
                                    const std::string& sgUnidade, const std::string& vrPreco,
                                    const std::string& vrDesconto, const std::string& vrAcrescimo,
                                    const std::string& cdArvProd, const std::string& vrPrecoClie,
                                    const std::string& cdImposto, const std::string& vrPeAlImpFis,
                                    const std::string& idPromocao, const std::string& nrSeqProdCom,
                                    const std::string& cdPorImpProd, const std::string& idImpCanItem) {
    // Every number is read before the line is started, so a text that is not a
    // number leaves no half-made line behind.
    double qt = strToFloat(quantidade, fs());
    double preco = strToFloat(vrPreco, fs());
    double desconto = strToFloat(vrDesconto, fs());
    double acrescimo = strToFloat(vrAcrescimo, fs());
    double precoClie = strToFloat(vrPrecoClie, fs());
    std::optional<double> aliquota;
    if (!vrPeAlImpFis.empty()) aliquota = strToFloat(vrPeAlImpFis, fs());

    ds::Table& t = cdsItems;
    auto text = [&t](const char* field, const std::string& value) { t.field(field).setAsString(value); };
    auto number = [&t](const char* field, double value) { t.field(field).setAsFloat(value); };
    t.insert();
    text("CDPRODUTO", cdProduto);
    text("NMPRODUTO", nmProduto);
    number("VRPRECCOMVEN", Trunc2(preco, fs()));
    text("QTPRODCOMVEN", floatToStr(qt, fs()));
    number("VRDESCCOMVEN", desconto);
    text("NRLUGARMESA", "");
    t.field("DTINCLUSAO").setAsDateTime(clock().now());
    text("stCdAliq", cdImposto);
    text("CDARVPROD", cdArvProd);
    text("CDLOJA", cdLoja);
    text("NRMESA", "");
    text("CDFILIAL", cdFilial);
    text("CDVENDEDOR", "");
    text("CDOPERADOR", cdOperador);
    text("CDLOJAIT", "");
    text("IDPRODIMPFIS", "S");
    t.field("DTABERCAIX").setAsDateTime(dtAberCaix);
    text("NRSEQPRODCOM", nrSeqProdCom);
    number("VRACRCOMVEN", vrAcrItem);
    text("CDFAMILISALD", cdFamiliSald);
    text("CDSERVFILI", cdServFili);
    text("NRINSCRCONS", nrCpfRespCon);
    text("NMCONSVEND", nmConsumidor);
    text("SGUNIDADE", sgUnidade);
    number("VRUNITVENDCL", Trunc2(precoClie, fs()));
    text("CDPRODPROMOCAO", cdProdPromocao);
    text("CDORDALIQIMPR", cdImposto);
    if (aliquota) number("VRALIQIMPR", *aliquota);
    text("DSENDEVENDA", dsEndeVenda);
    text("IDPROMOCAO", idPromocao);
    text("CDPRODIMPFIS", cdBarProduto);

    // The line's values read back from the row, as the totals below use them.
    double qtLinha = strToFloat(t.field("QTPRODCOMVEN").asString(), fs());
    double precoLinha = t.field("VRPRECCOMVEN").asFloat();
    double descontoLinha = t.field("VRDESCCOMVEN").asFloat();
    if (idAcrImposto == "S") {
        double taxa = cdsAliqSistema.field("VRPEALIMPFIS").asFloat();
        number("VRTXSERVICO", taxa * (qtLinha * precoLinha - descontoLinha) / 100);
    }
    ds::Field txServico = t.field("VRTXSERVICO");
    vrTxServTotal += txServico.isNull() ? 0 : txServico.asFloat();

    nrSeqItem = nrSeqItem.empty() ? "001" : ext::Ajusta(std::to_string(std::stoll(nrSeqItem) + 1), 3);
    text("NRSEQ", nrSeqItem);
    number("ACRESITEM", acrescimo);
    double soma =
        Trunc2(Trunc2(qtLinha * Trunc2(precoLinha, fs()), fs()) - descontoLinha + t.field("ACRESITEM").asFloat(), fs());
    number("SOMA", soma);
    text("IDIMPCANITEM", idImpCanItem);
    text("CDPORIMPPROD", cdPorImpProd);
    t.post();

    // Written whole at every change, over the old content and not flushed:
    // after a crash the printer's memory tells what was sold, and recovery
    // only removes this file.
    if (utilizaImpFis) t.saveToFile(itemFile, itemFilePath(), ds::PacketForm::Binary);
}

}  // namespace zel
