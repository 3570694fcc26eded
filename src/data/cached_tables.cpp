// Loading of a request: the request table, receipt type "009", the station's
// cached table files, the parameter row, the identification text and the
// fiscal movement date.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include <sys/stat.h>

#include <fmt/format.h>

#include "external/utility/utility.h"
#include "platform/dataset/codec.h"
#include "platform/error.h"
#include "service/module.h"

namespace zel {
namespace fs = std::filesystem;
namespace {

struct CachedFile {
    const char* name;  // under <base>/Dados/Cadastros/
    ds::Table ModuleTables::*table;
};

// In loading order; "ProdrServ" is the file's real name.
const CachedFile kCachedFiles[] = {
    {"ProdServtCon.cds", &ModuleTables::cdsProdServtCon}, {"ProdrServ.cds", &ModuleTables::cdsProdServ},
    {"Produtos.cds", &ModuleTables::cdsProdutos},         {"ControleAcess.cds", &ModuleTables::cdsControleAcess},
    {"FamSaldoFili.cds", &ModuleTables::cdsFamSaldo},     {"AliqSistema.cds", &ModuleTables::cdsAliqSistema},
    {"AliqImpFis.cds", &ModuleTables::cdsAliqImpFis},     {"ConfTipoRece.cds", &ModuleTables::cdsConfTipoRece},
    {"Cad_Cliente.cds", &ModuleTables::cdsCliente},       {"DataMovimento.cds", &ModuleTables::cdsDataMovimento},
};

bool fileExists(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// Loads a table file into a table. A table with declared fields refuses a file
// that lacks one of them; either way a failed load leaves the table as it was.
void loadTable(ds::Table& table, const fs::path& path) { table.loadDeclaredFromFile(path); }

// The identity, size and modification time of a file; false when it cannot be read.
bool fileStamp(const fs::path& p, ModuleTables::FileStamp& stamp) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return false;
    stamp.device = static_cast<uint64_t>(st.st_dev);
    stamp.inode = static_cast<uint64_t>(st.st_ino);
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

int32_t asInteger(ds::Field f) {
    if (f.isNull()) return 0;
    if (f.def().isString()) {
        long long v;
        std::string s = f.asString();
        if (!tryStrToInt(s, v)) throw ConvertError(fmt::format("parameter {}: '{}' is not an integer", f.name(), s));
        return static_cast<int32_t>(v);
    }
    return static_cast<int32_t>(std::llround(f.asFloat()));
}

// A text field reads as a flag when it holds S/N, T/F, Y/N, 1/0 or
// TRUE/FALSE in any letter case; an empty text is false.
bool asFlag(ds::Field f) {
    if (f.isNull()) return false;
    if (f.def().typeCode() == ds::kBool) return f.value().toBool();
    if (!f.def().isString()) return f.asFloat() != 0;
    std::string s = f.asString();
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    if (s == "S" || s == "T" || s == "Y" || s == "1" || s == "TRUE" || s == "SIM") return true;
    if (s.empty() || s == "N" || s == "F" || s == "0" || s == "FALSE" || s == "NAO" || s == "NÃO") return false;
    throw ConvertError(fmt::format("parameter {}: '{}' is not a flag (S or N)", f.name(), f.asString()));
}

}  // namespace

Variant TrdmGeraCupomVenda::getTipoRece() { return db.getTipoRece(); }

void TrdmGeraCupomVenda::CarregaCds(const Variant& packet) {
    // Stage 1: the request table and the receipt type. A failure ends the load
    // without touching the cached tables or the parameters.
    try {
        cdsEmiteCupom.setData(packet);
    } catch (const std::exception&) {
        // A request that is not a table is an empty batch: the rows an earlier
        // request left here must never be charged again.
        cdsEmiteCupom.close();
        return;
    }
    try {
        cdsTipoRece.setData(getTipoRece());
    } catch (const std::exception& e) {
        mensagem(e.what());
        return;
    }

    // Stage 2: the cached tables; a missing file keeps what its table held.
    fs::path cadastros = baseDir() / "Dados" / "Cadastros";
    for (const CachedFile& cf : kCachedFiles) {
        fs::path path = cadastros / cf.name;
        if (!fileExists(path)) continue;
        ds::Table& table = this->*cf.table;
        // The file is looked at before it is read: a change after this look
        // shows at the next load.
        ModuleTables::FileStamp stamp;
        bool stamped = fileStamp(path, stamp);
        auto known = loadedFiles.find(&table);
        if (stamped && known != loadedFiles.end() && known->second.path == path && known->second.stamp == stamp &&
            table.holdsTakenData()) {
            table.returnToTakenState();  // the same rows a new read would give, with their indexes kept
        } else {
            loadedFiles.erase(&table);
            loadTable(table, path);
            ++fileReads[cf.name];
            if (stamped) loadedFiles[&table] = {path, stamp};
        }
        if (cf.table == &ModuleTables::cdsControleAcess) {
            cdOperador = table.field("CDOPERADOR").asString();
            nmOperador = table.field("NMOPERADOR").asString();
        } else if (cf.table == &ModuleTables::cdsDataMovimento) {
            dataMovimento = table.field("DATAMOVIMENTO").asDateTime();
        }
    }

    // Stage 3: the parameter row, each key into its state field in this order.
    fs::path paramFile = baseDir() / "ParametrosZel.cds";
    if (fileExists(paramFile)) {
        loadTable(cdsParametrosZel, paramFile);
        cdsParametrosZel.open();
        auto text = [this](const char* key) { return cdsParametrosZel.field(key).asString(); };
        idEsquema = text("IDESQUEMA");
        cdLoja = text("CDLOJA");
        idUtTabPrecLvdc = text("IDUTTABPRECLVDC");
        stTotCv = text("STTOTCV");
        idTipoImpFis = asInteger(cdsParametrosZel.field("IDTIPOIMPFIS"));
        idUtilTef = text("IDUTILTEF");
        dsObsCupFis = text("DSOBSCUPFIS");
        idImpBarrCup = text("IDIMPBARRCUP");
        nmPadBarrCup = text("NMPADBARRCUP");
        idImpSaldoCupom = text("IDIMPSALDOCUPOM");
        idTpTelaVe = text("IdTpTelaVe");
        ecfImp = text("ECFIMP");
        dsMensCpfCup = text("DSMENSCPFCUP");
        idImprCupTefRed = text("IDIMPRCUPTEFRED");
        dtAberCaix = cdsParametrosZel.field("DTABERCAIX").asDateTime();
        cdEmpresa = text("CDEMPRESA");
        idPaisIntegra = text("IDPAISINTEGRA");
        nrSerieImp = text("NRSERIEIMP");
        idAcrImposto = text("IDACRIMPOSTO");
        dsDirCad = saleDirectory(text("DSDIRCAD"));
        utilizaImpFis = asFlag(cdsParametrosZel.field("UTILIZAIMPFIS"));
        boErroImpressora = asFlag(cdsParametrosZel.field("BOERROIMPRESSORA"));
        dataImp = text("DATAIMP");
        dsModeloEcfVe = text("DSMODELOECFVE");
        dsMarcaEcfVe = text("DSMARCAECFVE");
        idParImprLimVdc = text("IDPARIMPRLIMVDC");
        sgEstadoFili = text("SGESTADOFILI");
        nrInsJurEmpr = text("NRINSJUREMPR");
        cdInscEstaEmpr = text("CDINSCESTAEMPR");
    }

    // Stages 4 and 5: the identification file lies in DSDIRCAD, read again
    // from the parameter table; the directory carries its own separator.
    std::string identPath = saleDirectory(cdsParametrosZel.field("DSDIRCAD").asString()) + "FORSALE.CDS";
    if (fileExists(identPath)) {
        loadTable(cdsIdentPaf, identPath);
        cdsIdentPaf.open();
        dsMd5Paf = "MD-5:" + ext::Uncripto(cdsIdentPaf.field("MD5ARQUIVOTXT").asString(), ext::kIdentKey);
    }

    // Stage 6: the fiscal movement date.
    if (utilizaImpFis && !boErroImpressora) dtMoviFiscal = device().DataMoviFiscal(idEsquema);
    else dtMoviFiscal = clock().today();
}

}  // namespace zel
