// The station's repairs, each its own step, the database and the printer's
// memory deciding: records waiting in the outbox, a printer memory behind the
// database, a coupon left open, a coupon closed but never stored, a
// cancellation printed but never recorded, turnstile rows of passages already
// charged, import credits out of step, files an interrupted run left. Run
// before every batch by the holder of the station's lock; also between the
// consumers of a batch, for a coupon the service left behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "external/printer/fiscal_printer_sim.h"
#include "external/service_package.h"
#include "station/host.h"
#include "station/journal.h"
#include "station/outbox.h"
#include "station/store.h"

namespace zel::host {

class Recovery {
  public:
    Recovery(const Station& station, Store& store, ext::SimulatedPrinter& printer, ext::ServicePackage& service);

    // Every repair in order; the lines say what was mended. Throws StationError
    // when the station cannot be charged safely (a printer memory behind the
    // database, a record the database still refuses).
    std::vector<std::string> all();

    void drainOutbox();
    void checkPrinterNotBehind();
    void cancelOpenCoupon();
    void cancelClosedCouponNeverStored();
    void recordPrintedCancellation();
    void deleteRowsOfChargedPassages();
    void settleImportCredits();
    void removeLeftovers();

    // After a consumer: a coupon the service left open is cancelled and
    // recorded, a cancellation it could not record is recorded or kept in the
    // outbox. The coupon concerned, when there was one.
    std::optional<int64_t> afterConsumer(const CurrentPassage& passage);

    const std::vector<std::string>& repairs() const { return repairs_; }
    Outbox& outbox() { return outbox_; }

  private:
    // Records the printer's last coupon, cancelled, as a cancelled sale; kept
    // in the outbox when the database refuses it. True when recorded now.
    bool recordCancelled(const std::optional<CurrentPassage>& who);
    void cancelOnPrinter(const std::string& what);
    void repaired(std::string line);
    std::string whoText(const std::optional<CurrentPassage>& who) const;

    const Station& s_;
    Store& store_;
    ext::SimulatedPrinter& printer_;
    ext::ServicePackage& service_;
    Outbox outbox_;
    std::optional<CurrentPassage> interrupted_;
    std::vector<std::string> repairs_;
};

}  // namespace zel::host
