// A station directory: its layout, and the building of a complete station
// (table files, parameter and identification files, configuration, printer,
// database) from a description of its data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/locale.h"

namespace zel::station {

namespace fs = std::filesystem;

// Where everything of a station lies, below its directory.
struct Layout {
    fs::path dir;

    fs::path config() const { return dir / "geracupom.conf"; }
    fs::path parameters() const { return dir / "ParametrosZel.cds"; }
    fs::path cadastros() const { return dir / "Dados" / "Cadastros"; }
    fs::path table(const std::string& file) const { return cadastros() / file; }
    fs::path saleDir() const { return dir / "Venda"; }
    std::string dsDirCad() const { return (saleDir() / "").string(); }  // with its trailing separator
    // DSDIRCAD as the station writes it: relative to its directory ("Venda/"),
    // so that the directory can be moved or restored elsewhere.
    std::string ownDsDirCad() const { return (saleDir().filename() / "").string(); }
    fs::path identification() const { return saleDir() / "FORSALE.CDS"; }
    fs::path itemFile() const { return saleDir() / "cdsVenda.cds"; }
    fs::path database() const { return dir / "station.db"; }
    fs::path log() const { return dir / "geracupom.log"; }
    fs::path lastRun() const { return dir / "last-run.json"; }
};

struct ServiceByType {  // a row of ProdServtCon.cds
    std::string cdServFili, hrIni, hrFin, cdTipoCons, cdProduto;
    double vrLimConServ = 0, qtLimConPrSe = 0;
    std::string idCargAutoPs = "S", idImpCupomAut = "S";
};

struct ServiceByWindow {  // a row of ProdrServ.cds
    std::string cdServFili, hrIni, hrFin, cdProduto;
    double vrLimConServ = 0, qtLimConProd = 0;
    std::string idCargAutoPr = "S", idImpCupomAut = "S";
};

struct Product {
    std::string cdProduto, cdArvProd, nmProduto, cdFamiliSald, cdBarProduto, sgUnidade = "UN";
    double taxRate = 0;  // VRPEALIMPFIS, in percent
    std::string cdImposto = "01";
    std::string idTpImposFis = "T";
    std::string ncm, cest;  // fiscal codes kept by the service package
};

struct PrinterRateRow {
    std::string code;  // CDALIQIMPFIS
    double rate = 0;
    std::string kind = "T";
};

struct ReceiptType {  // a row of ConfTipoRece.cds
    std::string cdTipoRece, nmTipoRece, idTipoRece = "9", cdFpImpFis, idMostraRece = "S", dsImpFiscal;
};

struct Family {
    std::string cd, nm;
};

struct Client {
    std::string cdCliente, razao, fantasia;
    std::string priceTable;  // the client's own price table, "" for none
};

struct Consumer {
    std::string cdCliente, cdConsumidor, cdIdConsumid, nome, cpf, centroCusto;
    std::string idImpCpfCupom = "S";
    std::string cdTipoCons;
    double limiteDebito = 0, maximoDebito = 0;
    std::map<std::string, double> saldos;  // balance per family
};

struct PriceItem {
    std::string cdProduto;
    double preco = 0, desconto = 0, acrescimo = 0, precoClie = 0;
    bool bloqueado = false;
    std::string hrIni{}, hrFin{};
};

struct PriceTable {
    std::string cdTabePrec, nome;
    DateTime inicio, fim;  // fim empty: no end
    std::vector<PriceItem> itens;
};

struct NcmRates {
    std::string ncm;
    double federal = 0, estadual = 0;
    std::string fonte;
};

// One turnstile passage, as LOGCATRACA keeps it.
struct Passage {
    std::string nrSeqLogCat, cdIdConsumid, cdConsumidor, cdCliente, cdTipoCons, nmConsumidor;
    DateTime data;
    std::string hora;  // HHMM or HHMMSS
    std::string nrSeqArqImp;
};

// Everything a station holds. Defaults make a working station with no data.
struct StationData {
    std::string cdFilial = "0001", cdCaixa = "001", cdLoja = "01", cdEmpresa = "01";
    std::string idEsquema = "ZEL", nmLoja = "Restaurante Central";
    std::string nrSerieImp = "SIM0000000001", dsModeloEcfVe = "SIM-48", dsMarcaEcfVe = "Simulada", ecfImp = "001";
    int idTipoImpFis = 1;
    bool utilizaImpFis = true, boErroImpressora = false;
    std::string idUtTabPrecLvdc = "N", idAcrImposto = "N", idParImprLimVdc = "S";
    std::string sgEstadoFili = "SP", nrInsJurEmpr = "12.345.678/0001-95", cdInscEstaEmpr = "123.456.789.110";
    std::string saleAddress = "Av. Paulista, 1000 - São Paulo";
    DateTime dtAberCaix, dataMovimento;
    std::string cdOperador = "AUTO", nmOperador = "Caixa automático";
    std::string md5 = "0123456789ABCDEF0123456789ABCDEF";  // of the fiscal application, kept ciphered
    FormatSettings formatSettings;
    std::string connectionString;  // "" for the station's own SQLite database

    std::vector<ServiceByType> byType;
    std::vector<ServiceByWindow> byWindow;
    std::vector<Product> products;
    std::vector<PrinterRateRow> printerRates;
    std::vector<ReceiptType> receiptTypes;
    std::vector<Family> families;
    std::vector<Client> clients;
    std::vector<Consumer> consumers;
    std::vector<PriceTable> priceTables;    // the branch's tables
    std::string standardTable, storeTable;  // which table serves the branch and the store
    std::vector<NcmRates> ncmRates;
    std::vector<Passage> passages;  // imported under the import record "1"
};

// A small station with one client, three consumers, two families, lunch,
// dinner and a night shift, three products and their prices.
StationData sampleStation(DateTime day);

// A believable demo: a few client companies and consumer types, families and
// balances, windows for lunch, dinner and a night shift over midnight, products
// with tax rates and fiscal codes, price tables, and a day of passages.
StationData demoStation(DateTime day, uint32_t seed, int consumersPerClient = 12);

// Builds the station in `dir` (created when missing; refused when it already
// holds a station). Writes every file, creates the printer, applies the schema
// and fills the database.
void createStation(const fs::path& dir, const StationData& data);

// The parts, for tests that build a station piece by piece.
void writeTableFiles(const Layout& layout, const StationData& data);
void writeConfig(const Layout& layout, const StationData& data, const std::string& connectionString);
void fillDatabase(db::Connection& connection, const StationData& data);
// Whether the database already holds a station's data (its receipt type "009").
bool databaseHoldsStation(db::Connection& connection);
void insertPassages(db::Connection& connection, const StationData& data, const std::vector<Passage>& passages,
                    const std::string& nrSeqArqImp);

// The request table of the service for some passages (columns NMCONSUMIDOR,
// CDFILIAL, CDCAIXA, CDIDCONSUMID, CDCONSUMIDOR, CDCLIENTE, CDTIPOCONS,
// NRSEQLOGCAT, NRSEQARQIMP, DATAREAL, HORAREAL).
ds::Packet requestPacket(const StationData& data, const std::vector<Passage>& passages);

// The connection string of the station's own SQLite database.
std::string sqliteConnection(const Layout& layout);
// The same as the station's configuration keeps it: relative to the station's
// directory ("sqlite3://db=station.db").
std::string ownSqliteConnection(const Layout& layout);

// A literal for SQL text: quotes doubled.
std::string sqlText(const std::string& s);

}  // namespace zel::station
