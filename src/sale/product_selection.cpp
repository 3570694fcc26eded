// Product selection: one turnstile passage becomes a fiscal sale. This file
// holds the order of the whole run and the choice and preparation of products;
// the printer strands are in fiscal/emission.cpp.
#include <cctype>

#include <fmt/format.h>

#include "external/utility/utility.h"
#include "platform/dataset/filter.h"
#include "platform/error.h"
#include "platform/text.h"
#include "sale/trunc2.h"
#include "service/message_catalogue.h"
#include "service/module.h"

namespace zel {
namespace {

// The service window test on texts HHMM: a window before midnight contains
// start..end, one over midnight start..2359 and 0000..end, start = end none.
std::string windowTest(const std::string& h) {
    std::string q = ds::quoteFilterLiteral(h);
    return "(((" + q + " >= HRINISERTUR AND " + q + " <= HRFINSERTUR ) AND (HRINISERTUR < HRFINSERTUR)) OR ( NOT(" + q +
           " < HRINISERTUR AND " + q + " > HRFINSERTUR ) AND (HRINISERTUR > HRFINSERTUR)))";
}

void filterOn(ds::Table& t, const std::string& expression) {
    t.setFiltered(false);
    t.setFilter("");
    t.setFilter(expression);
    t.setFiltered(true);
}

void copyField(ds::Table& to, const char* field, ds::Table& from) {
    ds::Field src = from.field(field);
    ds::Field dst = to.field(field);
    if (src.isNull()) dst.clear();
    else dst.setValue(src.value());
}

bool allDigits(const std::string& s) {
    for (unsigned char c : s)
        if (!std::isdigit(c)) return false;
    return true;
}

// The price failure codes and the catalogue keys of their texts, in the order
// they are compared.
const std::pair<const char*, const char*> kPriceFailures[] = {
    {"PRECNCAD", "Preco_deve"}, {"TABENCAD", "TabePrec"},   {"DTCLI", "VigenciaCli"},        {"DTPAR", "VigenciaPar"},
    {"DTLOJ", "VigenciaLoj"},   {"PRECZERO", "Preco_Zero"}, {"BLOQUEADO", "Prod_bloqueado"},
};

}  // namespace

bool TrdmGeraCupomVenda::SelecionaProdutos() {
    try {
        return selectAndSell();
    } catch (const std::exception& e) {
        mensagem(e.what());
        return false;
    }
}

bool TrdmGeraCupomVenda::refuse(const std::string& text) {
    mensagem(text);
    return false;
}

void TrdmGeraCupomVenda::readRequestRow() {
    ds::Table& r = cdsEmiteCupom;
    nmConsumidor = r.field("NMCONSUMIDOR").asString();
    cdFilial = r.field("CDFILIAL").asString();
    run.cdIdConsumid = r.field("CDIDCONSUMID").asString();
    cdConsumidor = r.field("CDCONSUMIDOR").asString();
    nrSeqLogCat = r.field("NRSEQLOGCAT").asString();
    nrSeqArqImp = r.field("NRSEQARQIMP").asString();
    cdCaixa = r.field("CDCAIXA").asString();
    cdCliente = r.field("CDCLIENTE").asString();
    run.cdTipoCons = r.field("CDTIPOCONS").asString();
    std::string hora = r.field("HORAREAL").asString();

    // A passage whose moment cannot be read is refused before anything reaches
    // the printer or the database.
    DateTime data;
    ds::Field dataReal = r.field("DATAREAL");
    try {
        data = dataReal.asDateTime();
    } catch (const std::exception&) {
        throw Error(fmt::format("{}: a data da passagem '{}' não pode ser lida", nmConsumidor, dataReal.asString()));
    }
    if (dataReal.isNull() || data.isEmpty()) throw Error(fmt::format("{}: a passagem não tem data", nmConsumidor));
    bool hourOk = (hora.size() == 4 || hora.size() == 6) && allDigits(hora) && std::stoi(hora.substr(0, 2)) < 24 &&
                  std::stoi(hora.substr(2, 2)) < 60 && (hora.size() == 4 || std::stoi(hora.substr(4, 2)) < 60);
    if (!hourOk) throw Error(fmt::format("{}: a hora da passagem '{}' não pode ser lida", nmConsumidor, hora));
    run.horaReal = hora.substr(0, 4);
    std::string seconds = hora.size() >= 6 ? hora.substr(4, 2) : "00";
    dtHrReal = DateTime(
        data.dateOnly().value() +
        DateTime::fromTime(std::stoi(hora.substr(0, 2)), std::stoi(hora.substr(2, 2)), std::stoi(seconds)).value());
}

// The services of the consumer type serving the hour HHMM, then those of the
// branch serving it: the first of the two that is not empty is the moment's.
void TrdmGeraCupomVenda::filterTypeServices(const std::string& t, const std::string& h) {
    filterOn(cdsProdServtCon,
             "CDTIPOCONS = " + ds::quoteFilterLiteral(t) + " AND IDCARGAUTOPS = 'S' AND " + windowTest(h));
}

void TrdmGeraCupomVenda::filterBranchServices(const std::string& h) {
    filterOn(cdsProdServ, "IDCARGAUTOPR = 'S' AND " + windowTest(h));
}

std::string TrdmGeraCupomVenda::firstProductOfMoment(const std::string& t, const std::string& h) {
    filterTypeServices(t, h);
    cdsProdServtCon.first();
    if (!cdsProdServtCon.eof()) return cdsProdServtCon.field("CDPRODUTO").asString();
    filterBranchServices(h);
    cdsProdServ.first();
    return cdsProdServ.eof() ? std::string() : cdsProdServ.field("CDPRODUTO").asString();
}

VariantArray TrdmGeraCupomVenda::priceArgs(const std::string& branch, const std::string& client,
                                           const std::string& consumer, const std::string& cdProduto) {
    // The price of this moment: the clock's hh:mm:ss without its separator, cut to HHMM.
    std::string now = timeToStr(clock().now(), fs());
    if (now.size() > 2) now.erase(2, 1);
    return {branch, idUtTabPrecLvdc == "S" ? std::string() : client, cdProduto, cdLoja, consumer, now.substr(0, 4),
            std::string()};
}

int TrdmGeraCupomVenda::chooseProducts() {
    const std::string& t = run.cdTipoCons;
    const std::string& h = run.horaReal;
    filterTypeServices(t, h);
    for (cdsProdServtCon.first(); !cdsProdServtCon.eof(); cdsProdServtCon.next()) {
        cdsProdutoGeral.append();
        for (const char* f : {"CDFILIAL", "CDCAIXA", "CDSERVFILI", "VRLIMCONSERV", "HRINISERTUR", "HRFINSERTUR",
                              "CDTIPOCONS", "CDPRODUTO", "QTLIMCONPRSE", "IDCARGAUTOPS", "IDIMPCUPOMAUT"})
            copyField(cdsProdutoGeral, f, cdsProdServtCon);
        cdsProdutoGeral.field("QTLIMCONPROD").setAsFloat(0);
        cdsProdutoGeral.field("IDCARGAUTOPR").setAsString("");
        cdsProdutoGeral.post();
    }
    if (cdsProdutoGeral.recordCount() > 0) return cdsProdutoGeral.recordCount();

    // Only when no consumer-type row serves the moment.
    filterBranchServices(h);
    for (cdsProdServ.first(); !cdsProdServ.eof(); cdsProdServ.next()) {
        cdsProdutoGeral.append();
        for (const char* f : {"CDFILIAL", "CDCAIXA", "CDSERVFILI", "VRLIMCONSERV", "HRINISERTUR", "HRFINSERTUR",
                              "CDPRODUTO", "IDIMPCUPOMAUT", "QTLIMCONPROD", "IDCARGAUTOPR"})
            copyField(cdsProdutoGeral, f, cdsProdServ);
        cdsProdutoGeral.field("CDTIPOCONS").setAsString("");
        cdsProdutoGeral.field("IDCARGAUTOPS").setAsString("");
        cdsProdutoGeral.field("QTLIMCONPRSE").setAsFloat(0);
        cdsProdutoGeral.post();
    }
    return cdsProdutoGeral.recordCount();
}

TrdmGeraCupomVenda::RowReads TrdmGeraCupomVenda::readsOfRow() {
    ds::Table& r = cdsEmiteCupom;
    RowReads reads;
    reads.branch = r.field("CDFILIAL").asString();
    reads.register_ = r.field("CDCAIXA").asString();
    reads.client = r.field("CDCLIENTE").asString();
    reads.consumer = r.field("CDCONSUMIDOR").asString();
    reads.idConsumid = trimSpaces(r.field("CDIDCONSUMID").asString());
    if (idParImprLimVdc != "N") reads.consumptionDay = r.field("DATAREAL").asDateTime().dateOnly();
    // The price of the row's first product of the moment, which its sale asks
    // first, goes with them.
    std::string hora = r.field("HORAREAL").asString();
    if (hora.size() >= 4 && allDigits(hora))
        reads.product = firstProductOfMoment(r.field("CDTIPOCONS").asString(), hora.substr(0, 4));
    return reads;
}

void TrdmGeraCupomVenda::sendRowReads(const RowReads& r) {
    db.readAheadOfSale(r.branch, r.register_, r.client, r.consumer, r.idConsumid, dtMoviFiscal, r.consumptionDay);
    if (!r.product.empty()) service().expectPrice(priceArgs(r.branch, r.client, r.consumer, r.product));
}

void TrdmGeraCupomVenda::sendNextRowReadsWithCommit(int n, int total) {
    db::Connection& c = db.adcGeraCupomVenda;
    c.forgetReadsWithCommit();
    nextRowReads_.reset();
    if (n >= total || !c.readsAheadAtAll()) return;
    // The cursor steps to the next row and back: the current row is not
    // left, and the product filters are set again by its own selection.
    RowReads next;
    cdsEmiteCupom.next();
    if (cdsEmiteCupom.eof()) return;
    try {
        next = readsOfRow();
    } catch (const std::exception&) {
        cdsEmiteCupom.prior();
        return;  // a row that cannot be read is refused when its turn comes
    }
    cdsEmiteCupom.prior();
    nextRowReads_ = std::move(next);
    c.readAheadWithCommit([this] {
        if (nextRowReads_) sendRowReads(*nextRowReads_);
    });
}

bool TrdmGeraCupomVenda::selectAndSell() {
    // 1. Reset.
    for (ds::Table* t : {&cdsItems, &cdsFamiliaSaldo, &cdsProdutoGeral}) {
        t->close();
        t->create();
    }
    vrTxServTotal = vrAcrItem = vrAcrTotal = vrMoviVend = 0;
    nrCpfRespCon.clear();
    cdCCusClie.clear();
    nrSeqItem.clear();
    cupomAberto = false;
    run = Run{};

    // 2. The request row, 3. the consumer, 4. the balances before the sale.
    readRequestRow();
    // What the sale reads before its transaction travels together; what is
    // left unused when the passage ends is not kept for the next one.
    struct ForgetReadAhead {
        db::Connection& c;
        ~ForgetReadAhead() { c.forgetReadAhead(); }
    } forget{db.adcGeraCupomVenda};
    if (!rowReadAhead_) readAheadOfRow();
    rowReadAhead_ = false;
    db.getConsumidor(run.cdIdConsumid, cdCliente, cdFilial, cdConsumidor, run.nmConsumidorDb, nrCpfRespCon,
                     run.nmFantClie, cdCCusClie);
    cdsConsultaSaldo.setData(db.getConsSaldFam(cdFilial, cdCliente, cdConsumidor));

    // 5. The products of the moment.
    if (chooseProducts() == 0) return refuse(formatMessage(msg("PRODUTO_NAO"), {nmConsumidor}));

    // 6. Each product: prepared, then sold on the printer.
    const double q = 1;
    for (cdsProdutoGeral.first(); !cdsProdutoGeral.eof(); cdsProdutoGeral.next()) {
        std::string cdProduto = cdsProdutoGeral.field("CDPRODUTO").asString();
        cdsProdutos.setFiltered(false);
        if (!cdsProdutos.locate("CDPRODUTO", Variant(cdProduto)))
            return refuse(formatMessage(msg("PROD_CAD_SERV"), {nmConsumidor, run.cdIdConsumid}));

        try {
            Variant result =
                service().ChamaFuncaoGetRetornaPreco(priceArgs(cdFilial, cdCliente, cdConsumidor, cdProduto),
                                                     cdsRetornaPreco);
            ext::CheckResultServ(result, true, 0);
        } catch (const std::exception& e) {
            std::string code = e.what();
            for (auto& [failure, key] : kPriceFailures)
                if (code == failure) return refuse(msg(key));
            return refuse(code);
        }

        std::string vrPrecoText = cdsRetornaPreco.field("VRPRECO").asString();
        std::string vrPrecoClieText = cdsRetornaPreco.field("VRPRECOCLIE").asString();
        double vrPreco = strToFloat(vrPrecoText, fs());
        double vrPrecoClie = strToFloat(vrPrecoClieText, fs());
        double vrDesconto = strToFloat(cdsRetornaPreco.field("VRDESCONTO").asString(), fs());
        double vrAcrescimo = strToFloat(cdsRetornaPreco.field("VRACRESCIMO").asString(), fs());
        vrAcrItem = Trunc2(vrAcrescimo * q, fs());
        vrAcrTotal += vrAcrItem;
        double desconto = Trunc2(vrDesconto * q, fs());
        double precoUnitario = Trunc2(vrPreco, fs()) + Trunc2(vrPrecoClie, fs());
        vrMoviVend += vrPreco - desconto + vrAcrItem;

        std::string cdAliqImpFis, idAliqImpFis;
        std::string cdArvProd = cdsProdutos.field("CDARVPROD").asString();
        std::string nmProduto = cdsProdutos.field("NMPRODUTO").asString();
        if (!VerificaAliquota(cdProduto, cdAliqImpFis, idAliqImpFis))
            return refuse(msg("ALIQ_NCAD") + "-" + cdArvProd + "-" + nmProduto);
        std::string familia = cdsProdutos.field("CDFAMILISALD").asString();
        if (familia.empty())
            return refuse(formatMessage(msg("Ope_Fam_Prod"), {cdArvProd + "-" + nmProduto}) + " - " + nmConsumidor);

        if (!cupomAberto && !abreCupom()) return false;
        if (!vendeItem(cdAliqImpFis, idAliqImpFis, vrPrecoText, vrPrecoClieText, precoUnitario, desconto)) return false;
        addFamiliaSaldo(familia, q * precoUnitario);
    }

    // 7. The closing.
    if (!cupomAberto) return false;
    return fechaCupom();
}

}  // namespace zel
