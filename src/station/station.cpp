// Building a station: its table files, configuration, printer and database.
#include "station/station.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include <fmt/format.h>

#include "data/schema.h"
#include "data/tables.h"
#include "external/printer/fiscal_printer_sim.h"
#include "platform/db/query.h"
#include "external/utility/util_connection.h"
#include "external/utility/utility.h"
#include "platform/dataset/table.h"
#include "platform/error.h"

namespace zel::station {
namespace {

using ds::FieldDef;

// A table file written through a working table of the given fields.
class TableFile {
  public:
    TableFile(std::string name, std::vector<FieldDef> fields, const FormatSettings& fs)
        : table_(std::move(name), std::move(fields), {}, {}, fs) {
        table_.create();
    }
    explicit TableFile(ds::Table& declared)
        : TableFile(declared.name(), declared.declaredFields(), declared.formatSettings()) {}

    TableFile& row() {
        if (table_.state() != ds::Table::State::Browse) table_.post();
        table_.append();
        return *this;
    }
    TableFile& text(const char* f, const std::string& v) {
        table_.field(f).setAsString(v);
        return *this;
    }
    TableFile& number(const char* f, double v) {
        table_.field(f).setAsFloat(v);
        return *this;
    }
    TableFile& moment(const char* f, DateTime v) {
        table_.field(f).setAsDateTime(v);
        return *this;
    }
    void save(const fs::path& path) {
        if (table_.state() != ds::Table::State::Browse) table_.post();
        table_.saveToFile(path);
    }

  private:
    ds::Table table_;
};

std::string isoDate(DateTime d) {
    CalendarFields f = d.fields();
    return fmt::format("'{:04}-{:02}-{:02}'", f.year, f.month, f.day);
}

std::string sqlNumber(double v) { return floatToStr(v, FormatSettings::invariant()); }

}  // namespace

std::string sqlText(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

std::string sqliteConnection(const Layout& layout) {
    return "sqlite3://db=" + fs::absolute(layout.database()).string();
}

std::string ownSqliteConnection(const Layout& layout) {
    return "sqlite3://db=" + layout.database().filename().string();
}

void writeTableFiles(const Layout& layout, const StationData& d) {
    const FormatSettings& fsx = d.formatSettings;
    fs::create_directories(layout.cadastros());
    fs::create_directories(layout.saleDir());
    ModuleTables declared(fsx);

    TableFile byType(
        "ProdServtCon",
        {FieldDef::string("CDFILIAL", 4), FieldDef::string("CDCAIXA", 3), FieldDef::string("CDSERVFILI", 5),
         FieldDef::floatField("VRLIMCONSERV"), FieldDef::string("HRINISERTUR", 4), FieldDef::string("HRFINSERTUR", 4),
         FieldDef::string("CDTIPOCONS", 2), FieldDef::string("CDPRODUTO", 10), FieldDef::floatField("QTLIMCONPRSE"),
         FieldDef::string("IDCARGAUTOPS", 1), FieldDef::string("IDIMPCUPOMAUT", 1)},
        fsx);
    for (const ServiceByType& s : d.byType)
        byType.row()
            .text("CDFILIAL", d.cdFilial)
            .text("CDCAIXA", d.cdCaixa)
            .text("CDSERVFILI", s.cdServFili)
            .number("VRLIMCONSERV", s.vrLimConServ)
            .text("HRINISERTUR", s.hrIni)
            .text("HRFINSERTUR", s.hrFin)
            .text("CDTIPOCONS", s.cdTipoCons)
            .text("CDPRODUTO", s.cdProduto)
            .number("QTLIMCONPRSE", s.qtLimConPrSe)
            .text("IDCARGAUTOPS", s.idCargAutoPs)
            .text("IDIMPCUPOMAUT", s.idImpCupomAut);
    byType.save(layout.table("ProdServtCon.cds"));

    TableFile byWindow(
        "ProdrServ",
        {FieldDef::string("CDFILIAL", 4), FieldDef::string("CDCAIXA", 3), FieldDef::string("CDSERVFILI", 5),
         FieldDef::floatField("VRLIMCONSERV"), FieldDef::string("HRINISERTUR", 4), FieldDef::string("HRFINSERTUR", 4),
         FieldDef::string("CDPRODUTO", 10), FieldDef::string("IDIMPCUPOMAUT", 1), FieldDef::floatField("QTLIMCONPROD"),
         FieldDef::string("IDCARGAUTOPR", 1)},
        fsx);
    for (const ServiceByWindow& s : d.byWindow)
        byWindow.row()
            .text("CDFILIAL", d.cdFilial)
            .text("CDCAIXA", d.cdCaixa)
            .text("CDSERVFILI", s.cdServFili)
            .number("VRLIMCONSERV", s.vrLimConServ)
            .text("HRINISERTUR", s.hrIni)
            .text("HRFINSERTUR", s.hrFin)
            .text("CDPRODUTO", s.cdProduto)
            .text("IDIMPCUPOMAUT", s.idImpCupomAut)
            .number("QTLIMCONPROD", s.qtLimConProd)
            .text("IDCARGAUTOPR", s.idCargAutoPr);
    byWindow.save(layout.table("ProdrServ.cds"));

    TableFile products(
        "Produtos",
        {FieldDef::string("CDPRODUTO", 10), FieldDef::string("CDARVPROD", 20), FieldDef::string("NMPRODUTO", 50),
         FieldDef::string("CDFAMILISALD", 3), FieldDef::string("CDBARPRODUTO", 20), FieldDef::string("SGUNIDADE", 10),
         FieldDef::floatField("VRPEALIMPFIS"), FieldDef::string("CDIMPOSTO", 2)},
        fsx);
    TableFile taxes("AliqSistema",
                    {FieldDef::string("CDPRODUTO", 10), FieldDef::floatField("VRPEALIMPFIS"),
                     FieldDef::string("IDTPIMPOSFIS", 1), FieldDef::string("CDIMPOSTO", 2)},
                    fsx);
    for (const Product& p : d.products) {
        products.row()
            .text("CDPRODUTO", p.cdProduto)
            .text("CDARVPROD", p.cdArvProd)
            .text("NMPRODUTO", p.nmProduto)
            .text("CDFAMILISALD", p.cdFamiliSald)
            .text("CDBARPRODUTO", p.cdBarProduto)
            .text("SGUNIDADE", p.sgUnidade)
            .number("VRPEALIMPFIS", p.taxRate)
            .text("CDIMPOSTO", p.cdImposto);
        taxes.row()
            .text("CDPRODUTO", p.cdProduto)
            .number("VRPEALIMPFIS", p.taxRate)
            .text("IDTPIMPOSFIS", p.idTpImposFis)
            .text("CDIMPOSTO", p.cdImposto);
    }
    products.save(layout.table("Produtos.cds"));
    taxes.save(layout.table("AliqSistema.cds"));

    TableFile access("ControleAcess", {FieldDef::string("CDOPERADOR", 12), FieldDef::string("NMOPERADOR", 50)}, fsx);
    access.row().text("CDOPERADOR", d.cdOperador).text("NMOPERADOR", d.nmOperador);
    access.save(layout.table("ControleAcess.cds"));

    TableFile families(declared.cdsFamSaldo);
    int order = 1;
    for (const Family& f : d.families)
        families.row()
            .text("CDFILIAL", d.cdFilial)
            .text("CDFAMILISALD", f.cd)
            .text("NRORDAPRSALD", fmt::format("{:03}", order++))
            .text("NMFAMILISALD", f.nm)
            .moment("DTULTATUFAMS", d.dtAberCaix)
            .text("IDPERMCARGACRED", "S");
    families.save(layout.table("FamSaldoFili.cds"));

    TableFile rates(declared.cdsAliqImpFis);
    for (const PrinterRateRow& r : d.printerRates)
        rates.row().text("CDALIQIMPFIS", r.code).number("VRALIQIMPFIS", r.rate).text("IDALIQIMPFIS", r.kind);
    rates.save(layout.table("AliqImpFis.cds"));

    TableFile receipts(declared.cdsConfTipoRece);
    for (const ReceiptType& r : d.receiptTypes) {
        receipts.row()
            .text("CDFILIAL", d.cdFilial)
            .text("CDTIPORECE", r.cdTipoRece)
            .text("NMTIPORECE", r.nmTipoRece)
            .text("IDTIPORECE", r.idTipoRece)
            .text("DSIMPFISCAL", r.dsImpFiscal);
        if (!r.cdFpImpFis.empty()) receipts.text("CDFPIMPFIS", r.cdFpImpFis);
        if (!r.idMostraRece.empty()) receipts.text("IDMOSTRARECE", r.idMostraRece);
    }
    receipts.save(layout.table("ConfTipoRece.cds"));

    TableFile clients(declared.cdsCliente);
    for (const Client& c : d.clients)
        clients.row()
            .text("CDCLIENTE", c.cdCliente)
            .text("IDTPIJURCLIE", "J")
            .text("NMRAZSOCCLIE", c.razao)
            .text("NMFANTCLIE", c.fantasia)
            .text("CDFILTABPREC", c.priceTable.empty() ? "" : d.cdFilial)
            .text("CDTABEPREC", c.priceTable);
    clients.save(layout.table("Cad_Cliente.cds"));

    TableFile movement("DataMovimento", {FieldDef::dateTime("DATAMOVIMENTO")}, fsx);
    movement.row().moment("DATAMOVIMENTO", d.dataMovimento);
    movement.save(layout.table("DataMovimento.cds"));

    // The parameter row.
    std::vector<FieldDef> pf;
    for (const char* k : {"IDESQUEMA", "CDLOJA", "IDUTTABPRECLVDC", "STTOTCV"}) pf.push_back(FieldDef::string(k, 20));
    pf.push_back(FieldDef::int32("IDTIPOIMPFIS"));
    for (const char* k : {"IDUTILTEF", "DSOBSCUPFIS", "IDIMPBARRCUP", "NMPADBARRCUP", "IDIMPSALDOCUPOM", "IdTpTelaVe",
                          "ECFIMP", "DSMENSCPFCUP", "IDIMPRCUPTEFRED"})
        pf.push_back(FieldDef::string(k, 60));
    pf.push_back(FieldDef::dateTime("DTABERCAIX"));
    for (const char* k : {"CDEMPRESA", "IDPAISINTEGRA", "NRSERIEIMP", "IDACRIMPOSTO"})
        pf.push_back(FieldDef::string(k, 20));
    pf.push_back(FieldDef::string("DSDIRCAD", 255));
    for (const char* k : {"UTILIZAIMPFIS", "BOERROIMPRESSORA", "DATAIMP", "DSMODELOECFVE", "DSMARCAECFVE",
                          "IDPARIMPRLIMVDC", "SGESTADOFILI", "NRINSJUREMPR", "CDINSCESTAEMPR"})
        pf.push_back(FieldDef::string(k, 30));
    TableFile params("ParametrosZel", pf, fsx);
    params.row()
        .text("IDESQUEMA", d.idEsquema)
        .text("CDLOJA", d.cdLoja)
        .text("IDUTTABPRECLVDC", d.idUtTabPrecLvdc)
        .text("STTOTCV", "N")
        .number("IDTIPOIMPFIS", d.idTipoImpFis)
        .text("IDUTILTEF", "N")
        .text("DSOBSCUPFIS", "Volte sempre!")
        .text("IDIMPBARRCUP", "N")
        .text("NMPADBARRCUP", "")
        .text("IDIMPSALDOCUPOM", "S")
        .text("IdTpTelaVe", "1")
        .text("ECFIMP", d.ecfImp)
        .text("DSMENSCPFCUP", "CPF do consumidor")
        .text("IDIMPRCUPTEFRED", "N")
        .moment("DTABERCAIX", d.dtAberCaix)
        .text("CDEMPRESA", d.cdEmpresa)
        .text("IDPAISINTEGRA", "BR")
        .text("NRSERIEIMP", d.nrSerieImp)
        .text("IDACRIMPOSTO", d.idAcrImposto)
        .text("DSDIRCAD", layout.ownDsDirCad())
        .text("UTILIZAIMPFIS", d.utilizaImpFis ? "S" : "N")
        .text("BOERROIMPRESSORA", d.boErroImpressora ? "S" : "N")
        .text("DATAIMP", "")
        .text("DSMODELOECFVE", d.dsModeloEcfVe)
        .text("DSMARCAECFVE", d.dsMarcaEcfVe)
        .text("IDPARIMPRLIMVDC", d.idParImprLimVdc)
        .text("SGESTADOFILI", d.sgEstadoFili)
        .text("NRINSJUREMPR", d.nrInsJurEmpr)
        .text("CDINSCESTAEMPR", d.cdInscEstaEmpr);
    params.save(layout.parameters());

    TableFile ident("FORSALE", {FieldDef::string("MD5ARQUIVOTXT", 100)}, fsx);
    ident.row().text("MD5ARQUIVOTXT", ext::Cripto(d.md5, ext::kIdentKey));
    ident.save(layout.identification());
}

void writeConfig(const Layout& layout, const StationData& d, const std::string& connectionString) {
    // The configuration may hold the database's password: only its owner reads it.
    int fd = ::open(layout.config().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw Error(fmt::format("{}: cannot write the configuration", layout.config().string()));
    ::close(fd);
    std::error_code ec;
    fs::permissions(layout.config(), fs::perms::owner_read | fs::perms::owner_write, ec);
    std::ofstream out(layout.config(), std::ios::trunc);
    out << "# The station's configuration: key = value\n"
        << "# the database: sqlite3://db=FILE (a relative FILE lies in this directory) or\n"
        << "# postgresql://host=H port=P dbname=D user=U password=W\n"
        << "database = " << connectionString << "\n"
        << "# the branch and cash register whose passages this station charges\n"
        << "branch = " << d.cdFilial << "\n"
        << "register = " << d.cdCaixa << "\n"
        << "# format settings of the station\n"
        << "decimal_separator = " << d.formatSettings.decimalSeparator << "\n"
        << "short_date_format = " << d.formatSettings.shortDateFormat << "\n"
        << "long_time_format = " << d.formatSettings.longTimeFormat << "\n"
        << "code_page = windows-1252\n"
        << "# printer faults for rehearsals, e.g. printer.fault.VendaItem = false@3\n"
        << "# crash rehearsals: the process kills itself right after the N-th call, e.g.\n"
        << "# crash.after.FechaCupom = 1\n";
    if (!out) throw Error(fmt::format("{}: cannot write the configuration", layout.config().string()));
}

void fillDatabase(db::Connection& c, const StationData& d) {
    auto exec = [&c](const std::string& sql) { c.executeDirect(sql); };
    c.beginTransaction();
    try {
        exec("INSERT INTO TIPORECE (CDTIPORECE, NMTIPORECE) VALUES ('009', 'Débito consumidor')");
        for (const Client& cl : d.clients) {
            exec(fmt::format("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, NMFANTCLIE) VALUES ({}, {}, {})",
                             sqlText(cl.cdCliente), sqlText(cl.razao), sqlText(cl.fantasia)));
            exec(fmt::format("INSERT INTO CLIENFILIAL (CDCLIENTE, CDFILIAL) VALUES ({}, {})", sqlText(cl.cdCliente),
                             sqlText(d.cdFilial)));
            if (!cl.priceTable.empty())
                exec(fmt::format("INSERT INTO CLIENTABPREC (CDCLIENTE, CDFILTABPREC, CDTABEPREC) VALUES ({}, {}, {})",
                                 sqlText(cl.cdCliente), sqlText(d.cdFilial), sqlText(cl.priceTable)));
        }
        for (const Family& f : d.families) {
            exec(fmt::format("INSERT INTO FAMILIASALDO (CDFAMILISALD, NMFAMILISALD) VALUES ({}, {})", sqlText(f.cd),
                             sqlText(f.nm)));
            exec(fmt::format("INSERT INTO FAMSALDOFILI (CDFILIAL, CDFAMILISALD) VALUES ({}, {})", sqlText(d.cdFilial),
                             sqlText(f.cd)));
        }
        for (const Consumer& k : d.consumers) {
            exec(fmt::format(
                "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, NRCPFRESPCON, "
                "CDCCUSCLIE, IDIMPCPFCUPOM, CDTIPOCONS, VRLIMDEBCONS, VRMAXDEBCONS) VALUES ({}, {}, {}, {}, {}, {}, "
                "{}, {}, {}, {})",
                sqlText(k.cdCliente), sqlText(k.cdConsumidor), sqlText(k.cdIdConsumid), sqlText(k.nome), sqlText(k.cpf),
                sqlText(k.centroCusto), sqlText(k.idImpCpfCupom), sqlText(k.cdTipoCons), sqlNumber(k.limiteDebito),
                sqlNumber(k.maximoDebito)));
            for (const auto& [fam, saldo] : k.saldos)
                exec(
                    fmt::format("INSERT INTO SALDOCONS (CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD, VRSALDCONFAM) VALUES "
                                "({}, {}, {}, {})",
                                sqlText(k.cdCliente), sqlText(k.cdConsumidor), sqlText(fam), sqlNumber(saldo)));
        }
        for (const PriceTable& t : d.priceTables) {
            exec(
                fmt::format("INSERT INTO TABEPRECO (CDFILTABPREC, CDTABEPREC, NMTABEPREC, DTINIVIGTAB, DTFIMVIGTAB) "
                            "VALUES ({}, {}, {}, {}, {})",
                            sqlText(d.cdFilial), sqlText(t.cdTabePrec), sqlText(t.nome), isoDate(t.inicio),
                            t.fim.isEmpty() ? std::string("NULL") : isoDate(t.fim)));
            for (const PriceItem& i : t.itens)
                exec(fmt::format(
                    "INSERT INTO ITEMTABPREC (CDFILTABPREC, CDTABEPREC, CDPRODUTO, VRPRECITEM, VRDESCITEM, VRACREITEM, "
                    "VRPRECOCLIE, IDBLOQUEADO, HRINIVENDA, HRFINVENDA) VALUES ({}, {}, {}, {}, {}, {}, {}, {}, {}, {})",
                    sqlText(d.cdFilial), sqlText(t.cdTabePrec), sqlText(i.cdProduto), sqlNumber(i.preco),
                    sqlNumber(i.desconto), sqlNumber(i.acrescimo), sqlNumber(i.precoClie),
                    sqlText(i.bloqueado ? "S" : "N"), i.hrIni.empty() ? "NULL" : sqlText(i.hrIni),
                    i.hrFin.empty() ? "NULL" : sqlText(i.hrFin)));
        }
        if (!d.standardTable.empty())
            exec(fmt::format("INSERT INTO FILIALTABPREC (CDFILIAL, CDFILTABPREC, CDTABEPREC) VALUES ({}, {}, {})",
                             sqlText(d.cdFilial), sqlText(d.cdFilial), sqlText(d.standardTable)));
        if (!d.storeTable.empty())
            exec(fmt::format(
                "INSERT INTO LOJATABPREC (CDFILIAL, CDLOJA, CDFILTABPREC, CDTABEPREC) VALUES ({}, {}, {}, {})",
                sqlText(d.cdFilial), sqlText(d.cdLoja), sqlText(d.cdFilial), sqlText(d.storeTable)));
        for (const Product& p : d.products)
            if (!p.ncm.empty() || !p.cest.empty())
                exec(fmt::format("INSERT INTO PRODFISCAL (CDPRODUTO, CDNCM, CDCEST) VALUES ({}, {}, {})",
                                 sqlText(p.cdProduto), sqlText(p.ncm), sqlText(p.cest)));
        for (const NcmRates& n : d.ncmRates)
            exec(
                fmt::format("INSERT INTO ALIQAPROXNCM (CDNCM, VRALIQFEDERAL, VRALIQESTADUAL, DSFONTEALIQ) VALUES ({}, "
                            "{}, {}, {})",
                            sqlText(n.ncm), sqlNumber(n.federal), sqlNumber(n.estadual), sqlText(n.fonte)));
        c.commit();
    } catch (...) {
        c.rollback();
        throw;
    }
    if (!d.passages.empty()) insertPassages(c, d, d.passages, "1");
}

void insertPassages(db::Connection& c, const StationData& d, const std::vector<Passage>& passages,
                    const std::string& nrSeqArqImp) {
    c.beginTransaction();
    try {
        c.executeDirect(
            fmt::format("INSERT INTO LOGCATRACAPK (NRSEQARQIMPK, DTIMPORTACAO, NRVENDAGERADA) VALUES ({}, {}, NULL)",
                        sqlText(nrSeqArqImp), isoDate(passages.empty() ? d.dtAberCaix : passages.front().data)));
        for (const Passage& p : passages)
            c.executeDirect(fmt::format(
                "INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, NMCONSUMIDOR, CDIDCONSUMID, CDCONSUMIDOR, "
                "CDCLIENTE, CDTIPOCONS, NRSEQARQIMP, DATAREAL, HORAREAL) VALUES ({}, {}, {}, {}, {}, {}, {}, {}, {}, "
                "{}, {})",
                sqlText(d.cdFilial), sqlText(p.nrSeqLogCat), sqlText(d.cdCaixa), sqlText(p.nmConsumidor),
                sqlText(p.cdIdConsumid), sqlText(p.cdConsumidor), sqlText(p.cdCliente), sqlText(p.cdTipoCons),
                sqlText(nrSeqArqImp), isoDate(p.data), sqlText(p.hora)));
        c.commit();
    } catch (...) {
        c.rollback();
        throw;
    }
}

ds::Packet requestPacket(const StationData& d, const std::vector<Passage>& passages) {
    ds::Table t(
        "cdsEmiteCupom",
        {FieldDef::string("NMCONSUMIDOR", 60), FieldDef::string("CDFILIAL", 4), FieldDef::string("CDCAIXA", 3),
         FieldDef::string("CDIDCONSUMID", 20), FieldDef::string("CDCONSUMIDOR", 20), FieldDef::string("CDCLIENTE", 15),
         FieldDef::string("CDTIPOCONS", 2), FieldDef::string("NRSEQLOGCAT", 10), FieldDef::string("NRSEQARQIMP", 10),
         FieldDef::dateTime("DATAREAL"), FieldDef::string("HORAREAL", 6)},
        {}, {}, d.formatSettings);
    t.create();
    for (const Passage& p : passages) {
        t.append();
        t.field("NMCONSUMIDOR").setAsString(p.nmConsumidor);
        t.field("CDFILIAL").setAsString(d.cdFilial);
        t.field("CDCAIXA").setAsString(d.cdCaixa);
        t.field("CDIDCONSUMID").setAsString(p.cdIdConsumid);
        t.field("CDCONSUMIDOR").setAsString(p.cdConsumidor);
        t.field("CDCLIENTE").setAsString(p.cdCliente);
        t.field("CDTIPOCONS").setAsString(p.cdTipoCons);
        t.field("NRSEQLOGCAT").setAsString(p.nrSeqLogCat);
        t.field("NRSEQARQIMP").setAsString(p.nrSeqArqImp);
        t.field("DATAREAL").setAsDateTime(p.data.dateOnly());
        t.field("HORAREAL").setAsString(p.hora);
        t.post();
    }
    return t.data();
}

bool databaseHoldsStation(db::Connection& c) {
    auto rows = db::sql::select(c, "receipt type", "SELECT CDTIPORECE FROM TIPORECE WHERE CDTIPORECE = '009'", {},
                                {{"CDTIPORECE", db::ColumnType::Text}});
    return !rows.empty();
}

void createStation(const fs::path& dir, const StationData& d) {
    Layout layout{dir};
    if (fs::exists(layout.config())) throw Error(fmt::format("{}: a station already exists here", dir.string()));
    fs::create_directories(dir);
    writeTableFiles(layout, d);
    std::string conn = d.connectionString.empty() ? sqliteConnection(layout) : d.connectionString;

    ext::PrinterSetup setup;
    setup.identity.serial = d.nrSerieImp;
    setup.identity.model = d.dsModeloEcfVe;
    setup.identity.make = d.dsMarcaEcfVe;
    setup.identity.type = d.idTipoImpFis;
    setup.identity.saleAddress = d.saleAddress;
    for (const PrinterRateRow& r : d.printerRates)
        setup.rates.push_back({r.code, static_cast<int64_t>(std::llround(r.rate * 100)), r.kind});
    setup.companyCnpj = d.nrInsJurEmpr;
    setup.companyIe = d.cdInscEstaEmpr;
    ext::SimulatedPrinter::create(ext::SimulatedPrinterFiles::inStation(dir), setup);

    db::Connection connection(conn);
    connection.connect();
    util::SetADODBSession(connection);
    applySchema(connection);
    // A database that already serves a station of the installation (another
    // register on the same server) keeps its consumers, prices and balances;
    // this station adds only its own passages.
    if (databaseHoldsStation(connection)) {
        if (!d.passages.empty()) insertPassages(connection, d, d.passages, "1");
    } else {
        fillDatabase(connection, d);
    }
    db::refreshStatistics(connection);
    connection.disconnect();
    // The configuration comes last: a directory with it is a finished station.
    writeConfig(layout, d, d.connectionString.empty() ? ownSqliteConnection(layout) : conn);
}

StationData sampleStation(DateTime day) {
    StationData d;
    d.dtAberCaix = day.dateOnly();
    d.dataMovimento = day.dateOnly();
    d.families = {{"001", "Refeição"}, {"002", "Lanche"}};
    d.printerRates = {{"01", 18, "T"}, {"02", 12, "T"}, {"03", 7, "T"}, {"S1", 5, "S"}};
    d.receiptTypes = {{"010", "Dinheiro", "1", "01", "S", "Dinheiro"},
                      {"009", "Débito consumidor", "9", "05", "S", "Convenio"}};
    d.products = {
        {"0001", "1.01", "Almoço executivo", "001", "7891000100011", "UN", 18, "01", "T", "21069090", "1700100"},
        {"0002", "1.02", "Jantar", "001", "", "UN", 18, "01", "T", "21069090", ""},
        {"0003", "2.01", "Café com pão de queijo", "002", "7891000100035", "UN", 12, "02", "T", "", ""},
    };
    d.byType = {{"ALM", "1100", "1430", "01", "0001"},
                {"JAN", "1800", "2100", "01", "0002"},
                {"NOT", "2300", "0200", "02", "0003"}};
    d.byWindow = {{"CAF", "0600", "0930", "0003"}};
    d.clients = {{"000001", "Metalúrgica Horizonte Ltda", "Horizonte", ""}};
    d.consumers = {
        {"000001", "1001", "900001", "Ana Souza", "123.456.789-09", "CC10", "S", "01", 300, 600, {{"001", 150}}},
        {"000001",
         "1002",
         "900002",
         "Bruno Lima",
         "987.654.321-00",
         "CC10",
         "N",
         "01",
         300,
         600,
         {{"001", 80}, {"002", 20}}},
        {"000001", "1003", "900003", "Carla Dias", "", "CC20", "S", "02", 200, 400, {{"002", 50}}},
    };
    PriceTable standard{"P01", "Tabela padrão", day.dateOnly(), DateTime(), {}};
    standard.inicio = DateTime(day.dateOnly().value() - 30);
    standard.itens = {{"0001", 25.9, 0, 0, 4.1}, {"0002", 22.5, 1.5, 0.25, 0}, {"0003", 7.25, 0, 0, 0}};
    d.priceTables = {standard};
    d.standardTable = "P01";
    d.ncmRates = {{"21069090", 13.45, 18, "IBPT 2026"}};
    return d;
}

StationData demoStation(DateTime day, uint32_t seed, int consumersPerClient) {
    StationData d = sampleStation(day);
    std::mt19937 rng(seed);
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    d.clients = {{"000001", "Metalúrgica Horizonte Ltda", "Horizonte", ""},
                 {"000002", "Hospital Santa Clara S.A.", "Santa Clara", "CLI2"},
                 {"000003", "Transportes Rota Sul Ltda", "Rota Sul", ""}};
    const char* first[] = {"Ana",    "Bruno", "Carla",  "Diego",  "Elisa", "Fábio", "Gabriela",
                           "Heitor", "Íris",  "João",   "Karina", "Luís",  "Marta", "Nélson",
                           "Otávio", "Paula", "Renata", "Sérgio", "Tânia", "Vítor"};
    const char* last[] = {"Souza",     "Lima",    "Dias",    "Araújo", "Conceição", "Ferreira",
                          "Gonçalves", "Pereira", "Ribeiro", "Simões", "Assunção",  "Nogueira"};
    d.consumers.clear();
    int id = 1;
    for (const Client& c : d.clients)
        for (int i = 0; i < consumersPerClient; ++i, ++id) {
            Consumer k;
            k.cdCliente = c.cdCliente;
            k.cdConsumidor = fmt::format("{}", 1000 + id);
            k.cdIdConsumid = fmt::format("{}", 900000 + id);
            k.nome = std::string(first[pick(20)]) + " " + last[pick(12)];
            k.cpf = fmt::format("{:03}.{:03}.{:03}-{:02}", pick(1000), pick(1000), pick(1000), pick(100));
            k.centroCusto = fmt::format("CC{}", 10 * (1 + pick(4)));
            k.idImpCpfCupom = pick(4) == 0 ? "N" : "S";
            k.cdTipoCons = pick(3) == 0 ? "02" : "01";
            k.limiteDebito = 300;
            k.maximoDebito = 600;
            k.saldos = {{"001", 50.0 + pick(300)}, {"002", 10.0 + pick(60)}};
            d.consumers.push_back(k);
        }
    PriceTable client{"CLI2", "Convênio Santa Clara", DateTime(day.dateOnly().value() - 10), DateTime(), {}};
    client.itens = {{"0001", 21.0, 0, 0, 6.5}, {"0002", 19.9, 0, 0, 3.0}, {"0003", 6.0, 0, 0, 0}};
    d.priceTables.push_back(client);
    // A day of passages: lunch, dinner and the night shift.
    int seq = 1;
    for (const Consumer& k : d.consumers) {
        std::vector<std::string> hours;
        if (k.cdTipoCons == "01") {
            hours.push_back(fmt::format("{:02}{:02}{:02}", 11 + pick(3), pick(60), pick(60)));
            if (pick(3) == 0) hours.push_back(fmt::format("{:02}{:02}", 18 + pick(3), pick(60)));
        } else {
            hours.push_back(fmt::format("{:02}{:02}", pick(2) ? 23 : 1, pick(60)));
        }
        for (const std::string& h : hours)
            d.passages.push_back({fmt::format("{}", seq++), k.cdIdConsumid, k.cdConsumidor, k.cdCliente, k.cdTipoCons,
                                  k.nome, day.dateOnly(), h, "1"});
    }
    return d;
}

}  // namespace zel::station
