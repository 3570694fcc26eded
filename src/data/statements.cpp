// The stored statements of the service module and the operations that run them.
#include "data/statements.h"

#include "platform/error.h"

namespace zel {
namespace {

using db::ColumnType;
using db::joinLines;
using db::ParamType;

const std::string kSqlConsumidor = joinLines({
    "SELECT",
    "   CO.CDCONSUMIDOR, CO.NRCPFRESPCON, CL.NMFANTCLIE, CO.CDCCUSCLIE, CO.NMCONSUMIDOR, CO.IDIMPCPFCUPOM",
    "FROM",
    "   CONSUMIDOR CO, CLIENFILIAL CF, CLIENTE CL",
    "WHERE",
    "   CO.CDCONSUMIDOR = :P_CDCONSUMIDOR  AND",
    "   CO.CDCLIENTE    = :P_CDCLIENTE     AND",
    "   CF.CDFILIAL     = :P_CDFILIAL      AND",
    "   CO.CDCLIENTE    = CL.CDCLIENTE     AND",
    "   CO.CDCLIENTE    = CF.CDCLIENTE",
    "",
    "",
    " ",
    " ",
    " ",
});

const std::string kSqlCupomInicial = joinLines({
    "SELECT",
    "   NRSEQUENCIAL",
    "FROM",
    "   NOVOCODIGO",
    "WHERE (CDCONTADOR = :P_CDCONTADOR)",
});

const std::string kSqlInsCupomInicial = joinLines({
    "INSERT INTO  NOVOCODIGO ",
    "   (CDCONTADOR, NRSEQUENCIAL) ",
    "VALUES",
    "   (:P_CDCONTADOR, :P_NRSEQUENCIAL)",
});

const std::string kSqlTipoRece = joinLines({
    "SELECT CDTIPORECE,NMTIPORECE",
    "  FROM TIPORECE",
    " WHERE CDTIPORECE = '009'",
    " ",
});

const std::string kSqlConSaldFam = joinLines({
    "SELECT",
    "   A.CDFAMILISALD, A.VRSALDCONFAM, A.NMFAMILISALD",
    "FROM",
    "   (SELECT",
    "       F.CDFAMILISALD, S.VRSALDCONFAM, FA.NMFAMILISALD",
    "    FROM",
    "       SALDOCONS S, FAMSALDOFILI F, FAMILIASALDO FA",
    "    WHERE",
    "       (CDCONSUMIDOR = :P_CDCONSUMIDOR)",
    "    AND(S.CDCLIENTE    = :P_CDCLIENTE)",
    "    AND(F.CDFILIAL = :P_CDFILIAL)",
    "    AND(S.CDFAMILISALD = F.CDFAMILISALD)",
    "    AND(S.CDFAMILISALD = FA.CDFAMILISALD)",
    "    AND(F.CDFAMILISALD = FA.CDFAMILISALD)",
    "    UNION ALL",
    "    SELECT",
    "       F.CDFAMILISALD ,  0, FA.NMFAMILISALD",
    "    FROM",
    "       FAMSALDOFILI F, FAMILIASALDO FA",
    "    WHERE",
    "    (F.CDFAMILISALD = FA.CDFAMILISALD)",
    "    AND F.CDFILIAL = :P_CDFILIAL",
    "    AND F.CDFAMILISALD NOT IN (SELECT F.CDFAMILISALD",
    "                         FROM SALDOCONS S",
    "                         WHERE",
    "                            (CDCONSUMIDOR = :P_CDCONSUMIDOR)",
    "                         AND(S.CDCLIENTE    = :P_CDCLIENTE)",
    "                         AND(S.CDFAMILISALD = F.CDFAMILISALD))",
    "   )A",
    "ORDER BY A.CDFAMILISALD",
});

const std::string kSqlVrSaldConsumi = joinLines({
    "SELECT C.VRLIMDEBCONS, C.VRMAXDEBCONS, A.VALCONSUMDIA, B.VALCONSUMMES",
    "  FROM CONSUMIDOR C, (SELECT SUM(((IT.QTPRODVEND*IT.VRUNITVEND)+IT.VRACRITVEND)-IT.VRDESITVEND) as VALCONSUMDIA",
    "          FROM VENDA VE, ITEMVENDA IT",
    "         WHERE (VE.CDFILIAL     = IT.CDFILIAL    )",
    "           AND (VE.CDCAIXA      = IT.CDCAIXA     )",
    "           AND (VE.NRSEQVENDA   = IT.NRSEQVENDA  )",
    "           AND (VE.CDFILIAL     = :P_CDFILIAL    )",
    "           AND (VE.CDCLIENTE    = :P_CDCLIENTE  )",
    "           AND (VE.CDCONSUMIDOR = (SELECT CDCONSUMIDOR FROM CONSUMIDOR WHERE (CDIDCONSUMID = :P_CDIDCONSUMID) "
    "AND (CDCLIENTE = :P_CDCLIENTE)))",
    "           AND (VE.DTENTRVENDA  = :P_DTENTRVENDA)",
    "           AND (VE.IDSITUVENDA  = 'O')) A, (SELECT "
    "SUM(((IT.QTPRODVEND*IT.VRUNITVEND)+IT.VRACRITVEND)-IT.VRDESITVEND) "
    "as VALCONSUMMES",
    "                                              FROM VENDA VE, ITEMVENDA IT",
    "                                             WHERE (VE.CDFILIAL     = IT.CDFILIAL    )",
    "                                               AND (VE.CDCAIXA      = IT.CDCAIXA     )",
    "                                               AND (VE.NRSEQVENDA   = IT.NRSEQVENDA  )",
    "                                               AND (VE.CDFILIAL     = :P_CDFILIAL         )",
    "                                               AND (VE.CDCLIENTE    = :P_CDCLIENTE   )",
    "                                               AND (VE.CDCONSUMIDOR = (SELECT CDCONSUMIDOR FROM CONSUMIDOR WHERE "
    "(CDIDCONSUMID = :P_CDIDCONSUMID) AND (CDCLIENTE = :P_CDCLIENTE)))",
    "                                               AND (VE.DTENTRVENDA  BETWEEN :P_DTINIMES AND :P_DTENTRVENDA)",
    "                                               AND (VE.IDSITUVENDA  = 'O')) B",
    " WHERE (C.CDCONSUMIDOR = (SELECT CDCONSUMIDOR FROM CONSUMIDOR WHERE (CDIDCONSUMID = :P_CDIDCONSUMID) AND "
    "(CDCLIENTE = :P_CDCLIENTE)))",
    "   AND (C.CDCLIENTE = :P_CDCLIENTE)",
});

const std::string kSqlApagaLogCatraca = joinLines({
    "DELETE FROM LOGCATRACA",
    "WHERE CDFILIAL = :P_CDFILIAL",
    "      AND NRSEQLOGCAT = :P_NRSEQLOGCAT",
});

const std::string kSqlIncLogCatracaPk = joinLines({
    "UPDATE LOGCATRACAPK",
    "        SET NRVENDAGERADA = ISNULL(NRVENDAGERADA,0) + :P_NRVENDAGERADA",
    "WHERE NRSEQARQIMPK = :P_NRSEQARQIMPK",
});

db::ParamDecl text(const char* name) { return {name, ParamType::Text}; }
db::ParamDecl date(const char* name) { return {name, ParamType::Date}; }

}  // namespace

ModuleDatabase::ModuleDatabase(Slots slots, const FormatSettings& formatSettings)
    : adqConsumidor(adcGeraCupomVenda, "adqConsumidor", kSqlConsumidor,
                    {text("P_CDCONSUMIDOR"), text("P_CDCLIENTE"), text("P_CDFILIAL")},
                    {{"CDCONSUMIDOR", ColumnType::Text, 20},
                     {"NRCPFRESPCON", ColumnType::Text, 14},
                     {"NMFANTCLIE", ColumnType::Text, 50},
                     {"CDCCUSCLIE", ColumnType::Text, 20},
                     {"NMCONSUMIDOR", ColumnType::Text, 60},
                     {"IDIMPCPFCUPOM", ColumnType::Text, 1}}),
      adqCupomInicial(adcGeraCupomVenda, "adqCupomInicial", kSqlCupomInicial, {text("P_CDCONTADOR")},
                      {{"NRSEQUENCIAL", ColumnType::Text, 20}}),
      acmInsCupomInicial(adcGeraCupomVenda, "acmInsCupomInicial", kSqlInsCupomInicial,
                         {text("P_CDCONTADOR"), text("P_NRSEQUENCIAL")}),
      adqTipoRece(adcGeraCupomVenda, "adqTipoRece", kSqlTipoRece, {},
                  {{"CDTIPORECE", ColumnType::Text, 3}, {"NMTIPORECE", ColumnType::Text, 40}}),
      adqConSaldFam(adcGeraCupomVenda, "adqConSaldFam", kSqlConSaldFam,
                    {text("P_CDCONSUMIDOR"), text("P_CDCLIENTE"), text("P_CDFILIAL")},
                    {{"CDFAMILISALD", ColumnType::Text, 3},
                     {"VRSALDCONFAM", ColumnType::Float, 0},
                     {"NMFAMILISALD", ColumnType::Text, 40}}),
      adqVrSaldConsumi(
          adcGeraCupomVenda, "adqVrSaldConsumi", kSqlVrSaldConsumi,
          {text("P_CDFILIAL"), text("P_CDCLIENTE"), text("P_CDIDCONSUMID"), date("P_DTENTRVENDA"), date("P_DTINIMES")},
          {{"VRLIMDEBCONS", ColumnType::Float, 0},
           {"VRMAXDEBCONS", ColumnType::Float, 0},
           {"VALCONSUMDIA", ColumnType::Float, 0},
           {"VALCONSUMMES", ColumnType::Float, 0}}),
      acmApagaLogCatraca(adcGeraCupomVenda, "acmApagaLogCatraca", kSqlApagaLogCatraca,
                         {text("P_CDFILIAL"), text("P_NRSEQLOGCAT")}),
      acmIncLogCatracaPk(adcGeraCupomVenda, "acmIncLogCatracaPk", kSqlIncLogCatracaPk,
                         {{"P_NRVENDAGERADA", ParamType::Float}, text("P_NRSEQARQIMPK")}),
      dspTipoRece(adqTipoRece),
      dspConSaldFam(adqConSaldFam),
      dspVrSaldConsumi(adqVrSaldConsumi),
      slots_(std::move(slots)),
      formatSettings_(formatSettings) {
    if (!slots_.getStringConexZel || !slots_.setADODBSession || !slots_.tryConnect || !slots_.adoExceptionMessage ||
        !slots_.ajusta)
        throw Error("the database part of the service module needs every utility-library operation it calls");
    // The removal touches only the turnstile log, which no query reads ahead:
    // the next row's reads, sent with the sale's commit, stay good after it.
    acmApagaLogCatraca.leaveReadsAhead();
    adcGeraCupomVenda.setBeforeConnect([this](db::Connection& c) { adcGeraCupomVendaBeforeConnect(c); });
    adcGeraCupomVenda.setAfterConnect([this](db::Connection& c) { adcGeraCupomVendaAfterConnect(c); });
}

void ModuleDatabase::adcGeraCupomVendaBeforeConnect(db::Connection&) {
    adcGeraCupomVenda.setConnectionString(slots_.getStringConexZel(std::string()));
}

void ModuleDatabase::adcGeraCupomVendaAfterConnect(db::Connection&) { slots_.setADODBSession(adcGeraCupomVenda); }

void ModuleDatabase::MtsDataModuleActivate() { slots_.tryConnect(adcGeraCupomVenda); }
void ModuleDatabase::MtsDataModuleDeactivate() { adcGeraCupomVenda.disconnect(); }

void ModuleDatabase::StartTrans() {
    if (!adcGeraCupomVenda.inTransaction()) adcGeraCupomVenda.beginTransaction();
}
void ModuleDatabase::CommitTrans() {
    if (adcGeraCupomVenda.inTransaction()) adcGeraCupomVenda.commit();
}
void ModuleDatabase::RollbackTrans() {
    if (adcGeraCupomVenda.inTransaction()) adcGeraCupomVenda.rollback();
}

void ModuleDatabase::bindConsumidor(const std::string& cdCliente, const std::string& cdFilial,
                                    const std::string& cdConsumidor) {
    adqConsumidor.setText("P_CDCLIENTE", cdCliente);
    adqConsumidor.setText("P_CDFILIAL", cdFilial);
    adqConsumidor.setText("P_CDCONSUMIDOR", cdConsumidor);
}

void ModuleDatabase::bindCupomInicial(const std::string& cdFilial, const std::string& cdCaixa, DateTime data) {
    adqCupomInicial.setText("P_CDCONTADOR", counterKey(cdFilial, cdCaixa, data));
}

void ModuleDatabase::bindConSaldFam(const std::string& cdFilial, const std::string& cdCliente,
                                    const std::string& cdConsumidor) {
    adqConSaldFam.setText("P_CDCLIENTE", cdCliente);
    adqConSaldFam.setText("P_CDCONSUMIDOR", cdConsumidor);
    adqConSaldFam.setText("P_CDFILIAL", cdFilial);
}

void ModuleDatabase::bindVrSaldConsumi(const std::string& cdFilial, const std::string& cdCliente,
                                       const std::string& cdIdConsumid, DateTime dtIniMes, DateTime dtEntrVenda) {
    adqVrSaldConsumi.setText("P_CDFILIAL", cdFilial);
    adqVrSaldConsumi.setText("P_CDCLIENTE", cdCliente);
    adqVrSaldConsumi.setText("P_CDIDCONSUMID", cdIdConsumid);
    adqVrSaldConsumi.setDate("P_DTINIMES", dtIniMes);
    adqVrSaldConsumi.setDate("P_DTENTRVENDA", dtEntrVenda);
}

void ModuleDatabase::readAheadOfSale(const std::string& cdFilial, const std::string& cdCaixa,
                                     const std::string& cdCliente, const std::string& cdConsumidor,
                                     const std::string& cdIdConsumid, DateTime dtMoviFiscal, DateTime consumptionDay) {
    bindConsumidor(cdCliente, cdFilial, cdConsumidor);
    adqConsumidor.readAhead();
    bindConSaldFam(cdFilial, cdCliente, cdConsumidor);
    adqConSaldFam.readAhead();
    bindCupomInicial(cdFilial, cdCaixa, dtMoviFiscal);
    adqCupomInicial.readAhead();
    if (!consumptionDay.isEmpty()) {
        bindVrSaldConsumi(cdFilial, cdCliente, cdIdConsumid, PrimeiroDiaMes(consumptionDay), consumptionDay);
        adqVrSaldConsumi.readAhead();
    }
}

Variant ModuleDatabase::errorText(const std::exception& e) {
    return Variant(slots_.adoExceptionMessage(e, adcGeraCupomVenda, std::string()));
}

void ModuleDatabase::getConsumidor(const std::string& /*cdIdConsumid*/, const std::string& cdCliente,
                                   const std::string& cdFilial, const std::string& cdConsumidor,
                                   std::string& nmConsumidor, std::string& nrCpfRespCon, std::string& nmFantClie,
                                   std::string& cdCCusClie) {
    adqConsumidor.close();
    bindConsumidor(cdCliente, cdFilial, cdConsumidor);
    adqConsumidor.open();
    // Without a row every field reads as empty text.
    auto field = [&](const char* name) { return adqConsumidor.eof() ? std::string() : adqConsumidor.asText(name); };
    nmConsumidor = field("NMCONSUMIDOR");
    nrCpfRespCon = field("NRCPFRESPCON");
    nmFantClie = field("NMFANTCLIE");
    cdCCusClie = field("CDCCUSCLIE");
    if (field("IDIMPCPFCUPOM") == "N") {
        nmConsumidor.clear();
        nrCpfRespCon.clear();
    }
}

std::string ModuleDatabase::counterKey(const std::string& cdFilial, const std::string& cdCaixa, DateTime data) const {
    return "CUPINICIAL" + cdFilial + cdCaixa + dateToStr(data.dateOnly(), formatSettings_);
}

Variant ModuleDatabase::setGravaCupomInicial(const std::string& cdFilial, const std::string& cdCaixa,
                                             const std::string& cupNr, DateTime data) {
    try {
        adqCupomInicial.close();
        bindCupomInicial(cdFilial, cdCaixa, data);
        adqCupomInicial.open();
        if (!adqCupomInicial.isEmpty()) return Variant(std::string());
        acmInsCupomInicial.setText("P_CDCONTADOR", counterKey(cdFilial, cdCaixa, data));
        acmInsCupomInicial.setText("P_NRSEQUENCIAL", slots_.ajusta(cupNr, 10));
        acmInsCupomInicial.execute();
        return Variant(std::string());
    } catch (const std::exception& e) {
        return errorText(e);
    }
}

Variant ModuleDatabase::getConsSaldFam(const std::string& cdFilial, const std::string& cdCliente,
                                       const std::string& cdConsumidor) {
    try {
        adqConSaldFam.close();
        bindConSaldFam(cdFilial, cdCliente, cdConsumidor);
        adqConSaldFam.open();
        return dspConSaldFam.data();
    } catch (const std::exception& e) {
        return errorText(e);
    }
}

DateTime ModuleDatabase::PrimeiroDiaMes(DateTime data) {
    CalendarFields f = data.fields();
    return DateTime::fromDate(f.year, f.month, 1);
}

Variant ModuleDatabase::getVrSaldConsumi(const std::string& cdFilial, const std::string& cdCliente,
                                         const std::string& cdIdConsumid, DateTime dtIniMes, DateTime dtEntrVenda) {
    try {
        adqVrSaldConsumi.close();
        bindVrSaldConsumi(cdFilial, cdCliente, cdIdConsumid, dtIniMes, dtEntrVenda);
        adqVrSaldConsumi.open();
        return dspVrSaldConsumi.data();
    } catch (const std::exception& e) {
        return errorText(e);
    }
}

Variant ModuleDatabase::getTipoRece() {
    try {
        adqTipoRece.close();
        adqTipoRece.open();
        return dspTipoRece.data();
    } catch (const std::exception& e) {
        return errorText(e);
    }
}

void ModuleDatabase::execApagaLogCatraca(const std::string& cdFilial, const std::string& nrSeqLogCat) {
    acmApagaLogCatraca.setText("P_CDFILIAL", cdFilial);
    acmApagaLogCatraca.setText("P_NRSEQLOGCAT", nrSeqLogCat);
    // The row goes after its sale is stored, and the sale's passage is in the
    // ledger by then: the removal reaches the disk with the next sale's commit.
    // A power cut that takes it back leaves a row the ledger marks as charged,
    // which the next pass leaves alone and recovery removes.
    adcGeraCupomVenda.withoutFlush([this] { acmApagaLogCatraca.send(); });
}

void ModuleDatabase::settleSent() noexcept { adcGeraCupomVenda.settleQuietly(); }

void ModuleDatabase::execIncLogCatracaPk(const std::string& nrSeqArqImp, int32_t nrVendaGerada) {
    acmIncLogCatracaPk.setText("P_NRSEQARQIMPK", nrSeqArqImp);
    acmIncLogCatracaPk.setFloat("P_NRVENDAGERADA", static_cast<double>(nrVendaGerada));
    acmIncLogCatracaPk.execute();
}

}  // namespace zel
