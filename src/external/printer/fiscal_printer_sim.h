// The stand-in of the device package: a simulated fiscal printer whose memory
// is a state file of the station and whose paper is a text file of the station.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "external/device.h"
#include "external/printer/printer_faults.h"
#include "external/printer/printer_state.h"
#include "platform/datetime.h"
#include "platform/locale.h"

namespace zel::ds {
struct Packet;
}

namespace zel::ext {

struct SimulatedPrinterFiles {
    std::filesystem::path state;       // the printer's memory (and its journal beside it)
    std::filesystem::path tape;        // the paper tape
    std::filesystem::path grandTotal;  // where Atu_TotGeral stores the grand total with the station

    // printer-state.json (with printer-state.journal), printer-tape.txt and
    // printer-grand-total.txt in `stationDir`.
    static SimulatedPrinterFiles inStation(const std::filesystem::path& stationDir);
};

// What a new printer is programmed with.
struct PrinterSetup {
    PrinterIdentity identity;
    std::vector<PrinterRate> rates;  // should match the station's AliqImpFis table
    std::string companyCnpj;         // printed on receipts made before any closing
    std::string companyIe;
};

// The rates of the station's AliqImpFis table (fields CDALIQIMPFIS,
// VRALIQIMPFIS, IDALIQIMPFIS), in its row order, to program a new printer with
// the same registers. Throws zel::Error naming `source` and the field or row
// when the packet lacks a field or holds a rate that is not one.
std::vector<PrinterRate> ratesFromAliqImpFis(const ds::Packet& table, std::string_view source);

// What the host shows for a `status` command.
struct PrinterStatus {
    bool usable = false;
    std::string problem;  // why the printer is unusable
    PrinterIdentity identity;
    std::string cupNr;      // last coupon number given, six digits
    std::string contCupom;  // last coupon counter given
    int64_t grandTotalCents = 0;
    int64_t cancelTotalCents = 0;
    bool couponOpen = false;
    std::string openCupNr;
    size_t openItems = 0;
    int64_t openSubtotalCents = 0;
    std::optional<ClosedCoupon> lastCoupon;
    std::string lastRefusal;  // why the last false answer was given, in this process
    std::string tapeProblem;  // why the tape does not hold the last receipt yet (empty: it does)
};

class SimulatedPrinter final : public DevicePackage {
  public:
    // Writes the state of a new printer. Refuses (zel::Error) when a state file
    // is already there: a printer's counters are never started again.
    static void create(const SimulatedPrinterFiles& files, const PrinterSetup& setup);

    // Loads the memory (the state file and its journal). A missing or damaged
    // memory leaves the printer unusable: every operation then raises
    // PrinterStateError with the reason, and status() tells it. The memory is
    // never rewritten in that case. A usable printer then brings the tape up
    // to date: receipts of the memory that the tape does not hold yet (a
    // crash came between the memory and the tape) are appended; a tape that
    // cannot be written is told by status().
    //
    // The memory is the fiscal record and the tape follows it. An operation
    // that changes the memory (AbreCupom, VendaItem, FechaCupom,
    // Cancela_Cupom_Imp) first appends a receipt the tape still owes and
    // checks that the tape can be written; if not it answers false and
    // changes nothing, as a printer out of paper would. Each change appends
    // one record to the memory's journal. Only the changes that the station
    // records elsewhere are flushed, one durable write each: the closing,
    // whose sale the station then stores, and the cancellation, which it
    // then records. An opening and the items after it are not: until the
    // closing nothing outside the printer refers to them, and a coupon that
    // a power cut takes back is one that was never opened (recovery cancels a
    // coupon left open anyway). Receipts go to the tape unflushed; the journal
    // keeps every receipt made since the tape was last flushed, so that after
    // a power cut the next start prints again what the tape lost. Now and
    // then (and when a printer that changed the memory is closed) the tape is
    // flushed and the memory written whole to the state file, which empties
    // the journal.
    SimulatedPrinter(SimulatedPrinterFiles files, const Clock& clock, FormatSettings fs, PrinterFaults faults = {});
    // Writes the memory whole when this printer changed it (errors are left
    // for the next start, which reads the journal).
    ~SimulatedPrinter() override;
    SimulatedPrinter(SimulatedPrinter&&) = default;
    SimulatedPrinter& operator=(SimulatedPrinter&&) = default;

    bool usable() const { return state_.has_value(); }
    const std::string& problem() const { return problem_; }
    PrinterStatus status() const;
    const PrinterState& state() const;  // throws PrinterStateError when unusable
    const SimulatedPrinterFiles& files() const { return files_; }
    PrinterFaults& faults() { return faults_; }

    Variant Params_AbreCupom_Kva00000(const std::string& idEsquema, int32_t& nrAbertura, std::string& nrCpfRespCon,
                                      std::string& nmConsumidor, std::string& dsEndeVenda, std::string& cupNr,
                                      std::string& contCupom, const std::string& text1, const std::string& text2,
                                      const std::string& text3, const std::string& text4, const std::string& text5,
                                      const std::string& text6, const std::string& text7, bool flag) override;
    Variant Params_VendaItem_Kva00000(const std::string& idEsquema, const std::string& text2, const std::string& mode,
                                      const std::string& itemCode, const std::string& description,
                                      const std::string& rateCode, const std::string& rateKind, const std::string& unit,
                                      const std::string& text9, const std::string& productRate,
                                      const std::string& text11, int32_t nrAbertura, double quantity, double unitPrice,
                                      double discount, double surcharge, bool flag) override;
    Variant Params_Atu_TotGeral_Kva00000(const std::string& cdFilial, const std::string& cdCaixa,
                                         const std::string& nrSerieImp, const std::string& idEsquema,
                                         const std::string& mode, bool flag, const std::string& text7,
                                         const std::string& text8, const std::string& text9, const std::string& text10,
                                         double amount1, double amount2) override;
    Variant Params_VerificaSerialImp_Kva00000(bool utilizaImpFis, const std::string& dsDirCad,
                                              const std::string& idEsquema, const std::string& nrSerieImp) override;

    bool AbreCupom(Variant& packet) override;
    bool VendaItem(Variant& packet) override;
    bool FechaCupom(const VariantArray& closing, const Variant& unused, Variant& answer) override;
    bool Atu_TotGeral(Variant& packet) override;
    bool VerificaData(const std::string& idEsquema, Variant& printerDate, int32_t mode1, const std::string& dataImp,
                      int32_t mode2) override;
    bool VerificaSerialImp(const Variant& packet) override;
    bool Cancela_Cupom_Imp(const VariantArray& values, Variant& answer) override;
    DateTime DataMoviFiscal(const std::string& idEsquema) override;

    // Printer types that take an item's rate from the product's rate.
    static bool takesProductRate(int32_t type);

  private:
    // Counts the call, applies a fault and checks the printer is usable. False:
    // the fault answers false.
    bool enter(const char* operation);
    bool refuse(std::string reason);
    DateTime printerNow() const;
    // Records `next` as the new state in the journal, flushed or not (the
    // memory keeps the old one if that fails), then appends its last receipt
    // if the tape does not end with it.
    void commit(PrinterState next, Durability durability);
    // Appends the receipts of the memory that the tape lacks. False, with
    // tapeProblem_ set, when the tape cannot take them.
    bool bringTapeUpToDate();
    // Flushes the tape and writes the memory whole, emptying the journal, when
    // the tape holds every receipt. False (nothing lost: the journal stays)
    // when it cannot.
    bool compact();
    // Before a change of the memory: the tape holds the last receipt and can
    // take the next. False: refused, with the reason.
    bool tapeReady(const char* operation);
    // The number the next receipt gets.
    int64_t nextReceiptNumber() const;

    SimulatedPrinterFiles files_;
    const Clock* clock_;
    FormatSettings fs_;
    PrinterFaults faults_;
    std::optional<PrinterState> state_;
    std::string problem_;
    std::string lastRefusal_;
    std::string tapeProblem_;
    int64_t tapeEndsWith_ = -1;  // the receipt number the tape is known to end with, in this process
    std::unique_ptr<PrinterJournal> journal_;
    std::unique_ptr<AppendedFile> tape_;  // the tape, kept open between receipts
    std::unique_ptr<RewrittenFile> grandTotal_;
    // The receipts of the journal's records, oldest first: those the tape may
    // lose to a power cut until it is flushed.
    std::vector<LastReceipt> unflushedReceipts_;
    bool tapeFlushOwed_ = false;  // the tape took receipts since it was last flushed
    bool changed_ = false;        // this printer appended to the journal since it was last emptied
    // Whether the installation uses the printer as a fiscal printer, as the
    // serial check of each request tells; without it an item is sold at the
    // product's own rate, the printer's rate table not being consulted.
    bool fiscalInUse_ = true;
};

}  // namespace zel::ext
