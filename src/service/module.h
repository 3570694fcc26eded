// The service module TrdmGeraCupomVenda: the one object a request works in.
// It owns the connection and statements, the 24 working tables, the message
// catalogue and the request state; its operations live in the folder of their
// subsystem (service/, data/, sale/, fiscal/).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data/statements.h"
#include "data/tables.h"
#include "external/device.h"
#include "external/service_package.h"
#include "external/utility/utility.h"
#include "platform/datetime.h"
#include "platform/locale.h"
#include "platform/variant.h"

namespace zel {

// What the host hands the library before the first request: where the station
// is, its clock and formats, and the outside packages that fill the slots.
struct ServiceHost {
    // The base directory of the cached tables and the parameter file (the
    // directory of the host program's executable when left empty), and where
    // the station's configuration file lies.
    std::filesystem::path baseDir;
    const Clock* clock = nullptr;
    FormatSettings formatSettings;
    ext::DevicePackage* device = nullptr;
    ext::ServicePackage* service = nullptr;
    ext::Messenger* messenger = nullptr;
    // The connection operations of the utility library; left empty, the
    // station's own (util_connection.h) on `baseDir` are used.
    ModuleDatabase::Slots databaseSlots;
};

// The directory of the running program's executable, without a trailing separator.
std::filesystem::path executableDirectory();

class TrdmGeraCupomVenda : public ModuleTables {
  public:
    explicit TrdmGeraCupomVenda(ServiceHost host);

    // ---- components
    ModuleDatabase db;  // adcGeraCupomVenda and the statements
    ext::TMessages msgPadrao;

    // ---- public operations offered to the host
    void StartTrans() { db.StartTrans(); }
    void CommitTrans() { db.CommitTrans(); }
    void RollbackTrans() { db.RollbackTrans(); }
    void MtsDataModuleActivate() { db.MtsDataModuleActivate(); }
    void MtsDataModuleDeactivate() { db.MtsDataModuleDeactivate(); }

    // ---- the request (service/request.cpp)
    // No exception leaves it: errors are told through Mensagem.
    void request(const VariantArray& Params, Variant& Result);
    void runRequest(const VariantArray& Params, Variant& Result);

    // ---- printer check and turnstile log (service/printer_check.cpp)
    bool ErroComunicaImpressora();
    void ApagaLogCatraca();
    void IncLogCatracaPk();

    // ---- cached tables and parameters (data/cached_tables.cpp)
    void CarregaCds(const Variant& packet);
    Variant getTipoRece();
    std::filesystem::path baseDir() const;

    // ---- sale composition (sale/)
    bool SelecionaProdutos();
    void AddProduto(const std::string& cdProduto, const std::string& cdProdPromocao, const std::string& nmProduto,
                    const std::string& cdFamiliSald, const std::string& cdServFili, const std::string& quantidade,
                    const std::string& sgUnidade, const std::string& vrPreco, const std::string& vrDesconto,
                    const std::string& vrAcrescimo, const std::string& cdArvProd, const std::string& vrPrecoClie,
                    const std::string& cdImposto, const std::string& vrPeAlImpFis, const std::string& idPromocao,
                    const std::string& nrSeqProdCom, const std::string& cdPorImpProd, const std::string& idImpCanItem);
    bool VerificaAliquota(const std::string& cdProduto, std::string& cdAliqImpFis, std::string& idAliqImpFis);
    void addFamiliaSaldo(const std::string& cdFamiliSald, double valor);
    void PreencheVenda();
    void InsereMovCaixa(bool gravar);

    // ---- coupon emission (fiscal/emission.cpp); the strands of one product
    // selection run that talk to the printer
    bool abreCupom();
    bool vendeItem(const std::string& cdAliqImpFis, const std::string& idAliqImpFis, const std::string& vrPrecoText,
                   const std::string& vrPrecoClieText, double precoUnitario, double desconto);
    bool fechaCupom();

    // The steps of one product selection run.
    bool selectAndSell();
    void readRequestRow();
    // What the sale of a request row reads before its transaction, taken
    // from the row: sent ahead to a server (nothing elsewhere).
    struct RowReads {
        std::string branch, register_, client, consumer, idConsumid;
        DateTime consumptionDay;  // empty: the day's consumption is not read
        std::string product;      // the first product of the moment, whose price is asked first
    };
    RowReads readsOfRow();
    void sendRowReads(const RowReads& r);
    void readAheadOfRow() { sendRowReads(readsOfRow()); }
    // On a server, the next row's reads are set to travel with the commit
    // that stores the current row's sale, behind it: they see the sale, and
    // the next row finds them answered.
    void sendNextRowReadsWithCommit(int n, int total);
    std::optional<RowReads> nextRowReads_;  // the next row's, as they were sent with the commit
    // The current row's reads were sent ahead already, while the row before
    // it ended: its sale does not send them again.
    bool rowReadAhead_ = false;
    int chooseProducts();
    void filterTypeServices(const std::string& t, const std::string& h);
    void filterBranchServices(const std::string& h);
    // The product chooseProducts would put first for a consumer type at an
    // hour HHMM, or none.
    std::string firstProductOfMoment(const std::string& t, const std::string& h);
    // The values of a price asked now for a product of a consumer.
    VariantArray priceArgs(const std::string& branch, const std::string& client, const std::string& consumer,
                           const std::string& cdProduto);
    bool refuse(const std::string& text);

    // DSDIRCAD as the module uses it: a relative directory (as a station
    // writes it) lies below baseDir; an absolute one stands as it is.
    std::string saleDirectory(const std::string& dsDirCad) const;
    // The path of the item file: dsDirCad followed directly by "cdsVenda.cds".
    std::filesystem::path itemFilePath() const;
    // Where the item file waits, emptied, between sales: "cdsVenda.spare".
    std::filesystem::path spareItemFilePath() const;
    // The item file, kept open while a sale writes it item after item.
    RewrittenFile itemFile{"table file"};

    // ---- messages
    // Mensagem in the one form every refusal uses: (text, "", "N", "N", kind 3,
    // "", idEsquema, 0, no table).
    void mensagem(const std::string& text);
    std::string msg(std::string_view key) const { return msgPadrao.Msg(key); }

    const ServiceHost& host() const { return host_; }
    const FormatSettings& fs() const { return host_.formatSettings; }
    const Clock& clock() const { return *host_.clock; }
    ext::DevicePackage& device() const { return *host_.device; }
    ext::ServicePackage& service() const { return *host_.service; }
    ext::Messenger& messenger() const { return *host_.messenger; }

    // ---- request state, in declaration order
    std::string idUtTabPrecLvdc;
    std::string cdLoja;
    std::string idEsquema;
    std::string cdCliente;
    std::string stTotCv;
    std::string dsMd5Paf;
    std::string idUtilTef;
    std::string dsObsCupFis;
    std::string cdOperador;
    std::string nmOperador;
    std::string idImpBarrCup;
    std::string nmPadBarrCup;
    std::string idImpSaldoCupom;
    std::string idTpTelaVe;
    std::string ecfImp;
    std::string dsMensCpfCup;
    std::string idImprCupTefRed;
    std::string cdEmpresa;
    std::string contCupom;
    std::string idPaisIntegra;
    std::string retFechaCupom;
    std::string nrSerieImp;
    std::string cdFilial;
    std::string nmConsumidor;
    std::string nrCpfRespCon;
    std::string dsEndeVenda;
    std::string idAcrImposto;
    std::string dsDirCad;
    std::string nrSeqItem;
    std::string cdConsumidor;
    std::string cdCCusClie;
    std::string cupNr;
    std::string nrSeqLogCat;
    std::string nrSeqArqImp;
    std::string dataImp;
    std::string cdCaixa;
    std::string sgEstadoFili;
    std::string nrInsJurEmpr;
    std::string cdInscEstaEmpr;
    int32_t idTipoImpFis = 0;
    int32_t nrVendaGerada = 0;
    DateTime dtAberCaix;
    DateTime dtHrReal;
    DateTime dtMoviFiscal;
    DateTime dataMovimento;
    double vrAcrItem = 0;
    double vrAcrTotal = 0;
    double vrMoviVend = 0;
    double vrTxServTotal = 0;
    bool utilizaImpFis = false;
    bool cupomAberto = false;
    bool boErroImpressora = false;
    std::string dsModeloEcfVe;
    std::string dsMarcaEcfVe;
    std::string idParImprLimVdc;
    std::string cdBarProduto;

    // ---- values of one product selection run, shared by its strands
    struct Run {
        std::string cdIdConsumid;
        std::string cdTipoCons;
        std::string horaReal;        // HHMM of the passage
        std::string nmConsumidorDb;  // the consumer's registered name from getConsumidor
        std::string nmFantClie;      // the client's trade name from getConsumidor
        int32_t nrAbertura = 0;      // the opening number of the coupon
        Variant packet;              // the parameter packet, reused for every printer call
        std::string vrMaxDebCons;    // maximum debit and debit limit, as texts
        std::string vrLimDebCons;
        VariantArray retornoFecha;  // the closing's answer list
    } run;

  private:
    TrdmGeraCupomVenda(ServiceHost completedHost, int);
    ServiceHost host_;
};

// Library variables: the one module of the process, and the two exchange lists
// the service package fills. The variants are cleared when the library is
// unloaded.
extern TrdmGeraCupomVenda* rdmGeraCupomVenda;
extern Variant oleRetImposto;
extern Variant oleProdCestNcm;

// Publishes the host's packages and settings to the library; the first request
// creates the module from them. Calling it again before that request replaces
// them; afterwards it changes nothing.
void registerServiceHost(const ServiceHost& host);

}  // namespace zel

namespace Srv_Zel92000 {
// The entry: element 0 of Params is the data packet of the consumer table.
// No exception ever leaves it.
void GeraCupomVenda(const zel::VariantArray& Params, zel::Variant& Result) noexcept;
}  // namespace Srv_Zel92000

// The same entry under its plain name, defined by the shared library
// geracupom_service for hosts that look it up there.
extern "C" void GeraCupomVenda(const zel::VariantArray& Params, zel::Variant& Result) noexcept;
