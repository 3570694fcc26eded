// The database side of the service module: the connection adcGeraCupomVenda,
// the eight stored statements with their providers, the operations that run
// them, and the transaction operations offered to the host.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/db/statement.h"
#include "platform/locale.h"
#include "platform/variant.h"

namespace zel {

class ModuleDatabase {
  public:
    // The utility-library operations this part of the module calls, filled by
    // whoever creates the module (the service wires the utility library; a
    // test may wire recording fakes). Every one must be set.
    struct Slots {
        // The connection string; given an empty text.
        std::function<std::string(const std::string& text)> getStringConexZel;
        std::function<void(db::Connection&)> setADODBSession;
        std::function<void(db::Connection&)> tryConnect;
        std::function<std::string(const std::exception&, const db::Connection&, const std::string&)>
            adoExceptionMessage;
        // A text brought to a length (numbers filled with zeros on the left).
        std::function<std::string(const std::string& text, int length)> ajusta;
    };

    // `formatSettings` is copied here and never changes afterwards: the counter
    // key of setGravaCupomInicial holds a date in its short date format, and a
    // key written under one format would not be found under another. The host
    // builds it once from the station's settings (Portuguese-Brazil by default,
    // "dd/mm/yyyy") before the module is created. Throws Error when a slot is
    // missing.
    ModuleDatabase(Slots slots, const FormatSettings& formatSettings);
    ModuleDatabase(const ModuleDatabase&) = delete;
    ModuleDatabase& operator=(const ModuleDatabase&) = delete;

    const FormatSettings& formatSettings() const { return formatSettings_; }

    // Connection handlers, wired to adcGeraCupomVenda; each runs every time it connects.
    void adcGeraCupomVendaBeforeConnect(db::Connection& sender);
    void adcGeraCupomVendaAfterConnect(db::Connection& sender);

    // Public operations offered to the host.
    void MtsDataModuleActivate();    // connects through TryConnect
    void MtsDataModuleDeactivate();  // disconnects; an open transaction is rolled back
    void StartTrans();               // begins one unless one is open
    void CommitTrans();              // commits the open one; nothing when none is open
    void RollbackTrans();            // rolls back the open one; nothing when none is open

    // The consumer's name, tax number of the responsible person, the client's
    // trade name and cost centre; empty when no row matches. With
    // IDIMPCPFCUPOM "N" the name and tax number are left empty. Database
    // errors leave the operation (no guard); outputs written before keep
    // their values. `cdIdConsumid` is not used.
    void getConsumidor(const std::string& cdIdConsumid, const std::string& cdCliente, const std::string& cdFilial,
                       const std::string& cdConsumidor, std::string& nmConsumidor, std::string& nrCpfRespCon,
                       std::string& nmFantClie, std::string& cdCCusClie);

    // Records the number of the day's first coupon of a branch and register
    // once; empty text on success (also when the day already has one), the
    // error text otherwise.
    Variant setGravaCupomInicial(const std::string& cdFilial, const std::string& cdCaixa, const std::string& cupNr,
                                 DateTime data);
    // "CUPINICIAL" + branch + register + the date in the short date format.
    std::string counterKey(const std::string& cdFilial, const std::string& cdCaixa, DateTime data) const;

    // The packet of adqConSaldFam (CDFAMILISALD, VRSALDCONFAM, NMFAMILISALD)
    // or the error text.
    Variant getConsSaldFam(const std::string& cdFilial, const std::string& cdCliente, const std::string& cdConsumidor);

    static DateTime PrimeiroDiaMes(DateTime data);

    // The packet of adqVrSaldConsumi (VRLIMDEBCONS, VRMAXDEBCONS,
    // VALCONSUMDIA, VALCONSUMMES) or the error text.
    Variant getVrSaldConsumi(const std::string& cdFilial, const std::string& cdCliente, const std::string& cdIdConsumid,
                             DateTime dtIniMes, DateTime dtEntrVenda);

    // Reads ahead what the sale of one passage asks before its transaction:
    // the consumer (getConsumidor), its family balances (getConsSaldFam),
    // whether the day's first coupon is recorded (setGravaCupomInicial) and,
    // when `consumptionDay` is set, the consumption of that day and its
    // month (getVrSaldConsumi). On a server they travel in one exchange with
    // the first of them, and the others find their rows waiting when they
    // run with the same values; a write in between, or a transaction, sends
    // them again. Nothing elsewhere.
    void readAheadOfSale(const std::string& cdFilial, const std::string& cdCaixa, const std::string& cdCliente,
                         const std::string& cdConsumidor, const std::string& cdIdConsumid, DateTime dtMoviFiscal,
                         DateTime consumptionDay);

    // The packet of adqTipoRece (receipt type "009") or the error text.
    Variant getTipoRece();

    // Statement sides of the turnstile-log operations of the service module:
    // they run the command and let a database error out as DbError. On a
    // server the row's removal is sent without waiting for its answer, which
    // the next exchange reads; its failure is dropped there (recovery removes
    // a row left behind).
    void execApagaLogCatraca(const std::string& cdFilial, const std::string& nrSeqLogCat);
    void execIncLogCatracaPk(const std::string& nrSeqArqImp, int32_t nrVendaGerada);
    // Reads the answers still owed (a removal sent last): when a request ends,
    // so that what it wrote is done before the host looks.
    void settleSent() noexcept;

    // The connection and the stored statements.
    db::Connection adcGeraCupomVenda;
    db::Query adqConsumidor;
    db::Query adqCupomInicial;
    db::Command acmInsCupomInicial;
    db::Query adqTipoRece;
    db::Query adqConSaldFam;
    db::Query adqVrSaldConsumi;
    db::Command acmApagaLogCatraca;
    db::Command acmIncLogCatracaPk;
    db::Provider dspTipoRece;
    db::Provider dspConSaldFam;
    db::Provider dspVrSaldConsumi;

  private:
    Variant errorText(const std::exception& e);
    // The values of each read, set alike by the operation and its read ahead.
    void bindConsumidor(const std::string& cdCliente, const std::string& cdFilial, const std::string& cdConsumidor);
    void bindCupomInicial(const std::string& cdFilial, const std::string& cdCaixa, DateTime data);
    void bindConSaldFam(const std::string& cdFilial, const std::string& cdCliente, const std::string& cdConsumidor);
    void bindVrSaldConsumi(const std::string& cdFilial, const std::string& cdCliente, const std::string& cdIdConsumid,
                           DateTime dtIniMes, DateTime dtEntrVenda);

    Slots slots_;
    const FormatSettings formatSettings_;
};

}  // namespace zel
