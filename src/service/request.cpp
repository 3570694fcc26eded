// The request: one batch of consumers, each charged, concluded or cancelled,
// and the exported entry that runs it.
#include <exception>
#include <filesystem>

#include <fmt/format.h>

#include "service/message_catalogue.h"
#include "service/module.h"

namespace zel {
namespace {

std::string joinDash(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "-" : "") + items[i];
    return out;
}

VariantArray tenEmpty() { return VariantArray(10); }

}  // namespace

namespace {

// The steps of one row, with the row's own codes read once.
class RowRun {
  public:
    RowRun(TrdmGeraCupomVenda& m, Variant& result) : m_(m), result_(result) {
        rowFilial_ = m.cdsEmiteCupom.field("CDFILIAL").asString();
        rowCaixa_ = m.cdsEmiteCupom.field("CDCAIXA").asString();
    }

    void process(int n, int total) {
        std::string progress = formatMessage(
            m_.msg("Inicia_Processo"),
            {m_.cdsEmiteCupom.field("NMCONSUMIDOR").asString(), std::to_string(n), std::to_string(total)});
        m_.service().AtivaProcesso(0, progress, 0, 0);

        if (!m_.SelecionaProdutos()) {
            if (!m_.cupomAberto) return;  // refused before any coupon; the reason was told
            m_.mensagem(m_.msg("ERRO_EMISSAO_CUPOM") + " - " + m_.nmConsumidor);
            if (m_.utilizaImpFis) cancel();
            return;
        }
        try {
            conclude();
        } catch (const std::exception&) {
            m_.mensagem(m_.msg("ERRO_CONCLUI_FECHAMENTO") + " - " + m_.nmConsumidor);
            if (m_.utilizaImpFis) cancel();
        }
    }

  private:
    // The printed sale goes to the service package to be stored.
    void conclude() {
        std::string description =
            "cdsVenda-cdsMovCaixa-----" +
            joinDash({rowCaixa_, dateToStr(m_.dtAberCaix, m_.fs()), m_.cdEmpresa, "", m_.contCupom, rowFilial_, "", "",
                      m_.cdLoja, "", "POS", "", m_.idPaisIntegra, m_.retFechaCupom, m_.nrSerieImp,
                      std::to_string(m_.idTipoImpFis), "null"});
        Variant holder(tenEmpty());
        Variant vazio = m_.cdsVazio.dataVariant();
        VariantArray tables = {m_.cdsVenda.dataVariant(), m_.cdsMovCaixa.dataVariant(), vazio,
                               m_.cdsFamiliaSaldo.dataVariant()};
        for (int i = 0; i < 6; ++i) tables.push_back(vazio);

        VariantArray values(33, Variant(std::string()));
        values[0] = rowCaixa_;
        values[1] = m_.dtAberCaix;
        values[2] = m_.cdEmpresa;
        values[3] = m_.cupNr;
        values[4] = m_.contCupom;
        values[5] = rowFilial_;
        values[8] = m_.cdLoja;
        values[11] = "POS";
        values[13] = m_.idPaisIntegra;
        values[14] = m_.retFechaCupom;
        values[15] = m_.nrSerieImp;
        values[16] = m_.idTipoImpFis;
        values[17] = m_.dsModeloEcfVe;
        values[18] = m_.dsMarcaEcfVe;
        values[19] = m_.ecfImp;
        values[20] = m_.dataMovimento;
        values[29] = m_.dtHrReal;
        values[32] = "BAL_ZEL";

        Variant answer = m_.service().SetConcluiFechamento(tables, values, holder);
        m_.messenger().MensagemMetodo(answer, true, 10, "setConcluiFechamento", "Srv_Zel92000", description,
                                      m_.idEsquema);
        removeItemFile();
        ++m_.nrVendaGerada;
        try {
            m_.ApagaLogCatraca();
        } catch (const std::exception&) {
            // The sale is stored and counted; a row left in the turnstile log is
            // found again by the host's recovery, never charged twice.
        }
    }

    // The coupon is cancelled on the printer and the cancelled sale recorded.
    void cancel() {
        result_ = Variant(tenEmpty());
        VariantArray cancelValues = {m_.idEsquema, false, false, false, rowFilial_, rowCaixa_, m_.nrSerieImp};
        if (!m_.device().Cancela_Cupom_Imp(cancelValues, result_)) return;

        m_.PreencheVenda();
        result_ = Variant(tenEmpty());
        VariantArray values(15, Variant(std::string()));
        values[0] = m_.cdsVenda.dataVariant();
        values[1] = Variant::null();
        values[2] = rowCaixa_;
        values[3] = m_.cdEmpresa;
        values[5] = m_.nrSerieImp;
        values[6] = m_.dsModeloEcfVe;
        values[7] = m_.dsMarcaEcfVe;
        values[8] = m_.ecfImp;
        values[13] = m_.dataMovimento;
        std::string answer = m_.service().IncluiVendaCan(values, result_);
        m_.messenger().MensagemMetodo(Variant(answer), true, 10, "IncluiVendaCan", "Cli_Res02000",
                                      "cdsvenda.data--" + joinDash({rowCaixa_, m_.cdEmpresa, "", m_.nrSerieImp}),
                                      m_.idEsquema);
        removeItemFile();
        std::vector<std::string> log = {rowFilial_,
                                        rowCaixa_,
                                        "CAN_CUP",
                                        m_.cdOperador,
                                        m_.nmOperador,
                                        "",
                                        m_.msg("Mot_Can_Cup1"),
                                        m_.msg("Mot_Can_Cup") + " "};
        log.resize(14);
        m_.service().LogControleAcess(log);
    }

    void removeItemFile() {
        std::filesystem::path file = m_.itemFilePath();
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) {
            m_.itemFile.close();
            return;
        }
        m_.cdsVenda.close();
        // Gone from its name; kept aside, empty, for the next sale to write.
        m_.itemFile.retire(file, m_.spareItemFilePath());  // the outcome is not examined
    }

    TrdmGeraCupomVenda& m_;
    Variant& result_;
    std::string rowFilial_, rowCaixa_;
};

}  // namespace

void TrdmGeraCupomVenda::request(const VariantArray& Params, Variant& Result) {
    try {
        runRequest(Params, Result);
    } catch (const std::exception& e) {
        // An error outside the rows (a damaged table file, a missing parameter)
        // ends the request; the person at the station is told why.
        mensagem(e.what());
    }
    db.settleSent();
}

void TrdmGeraCupomVenda::runRequest(const VariantArray& Params, Variant& Result) {
    CarregaCds(Params.empty() ? Variant() : Params[0]);
    if (!cdsEmiteCupom.isOpen() || cdsEmiteCupom.isEmpty()) {
        mensagem(msg("CONSUMIDOR_VAZIO"));
        return;
    }
    int n = 1;
    nrVendaGerada = 0;
    if (ErroComunicaImpressora()) return;

    int total = cdsEmiteCupom.recordCount();
    cdsEmiteCupom.first();
    rowReadAhead_ = false;
    while (!cdsEmiteCupom.eof()) {
        std::string failure;
        try {
            sendNextRowReadsWithCommit(n, total);
            RowRun(*this, Result).process(n, total);
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown error";
        }
        db.adcGeraCupomVenda.forgetReadsWithCommit();
        ++n;
        cdsEmiteCupom.next();
        service().DesativaProcesso();
        if (!failure.empty()) {
            // The batch stops here: later rows stay pending and the import
            // record is not credited. The person at the station is told why.
            mensagem(failure);
            return;
        }
        // The next passage's reads travel now, behind all this one wrote, and
        // the server answers them while the station moves on; that passage
        // takes them when it asks with the same values. Those that went with
        // the sale's commit, and still hold, are not sent again.
        rowReadAhead_ = false;
        if (!cdsEmiteCupom.eof()) {
            try {
                if (nextRowReads_) sendRowReads(*nextRowReads_);
                else readAheadOfRow();
                rowReadAhead_ = true;
            } catch (const std::exception&) {
                // A row that cannot be read is refused when its turn comes.
            }
        }
        nextRowReads_.reset();
    }
    IncLogCatracaPk();
}

namespace {
ServiceHost& registeredHost() {
    static ServiceHost host;
    return host;
}
}  // namespace

void registerServiceHost(const ServiceHost& host) { registeredHost() = host; }

}  // namespace zel

namespace Srv_Zel92000 {

void GeraCupomVenda(const zel::VariantArray& Params, zel::Variant& Result) noexcept {
    using namespace zel;
    try {
        if (!rdmGeraCupomVenda) rdmGeraCupomVenda = new TrdmGeraCupomVenda(registeredHost());
    } catch (...) {
        return;  // no packages registered: nothing can be told to anyone
    }
    try {
        rdmGeraCupomVenda->request(Params, Result);
    } catch (const std::exception& e) {
        // An error outside the rows ends the request; it is still told.
        try {
            rdmGeraCupomVenda->mensagem(e.what());
        } catch (...) {}
    } catch (...) {}
}

}  // namespace Srv_Zel92000
