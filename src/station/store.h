// Every statement the station runs around the service's requests, in one
// place: the pending passages, the ledger of charged passages, the fate of a
// coupon, the import credits. The database is the ledger: whether a passage
// is charged is read here, never from a side file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/db/connection.h"
#include "station/station.h"

namespace zel::host {

// A passage as the ledger knows it, within one branch and register.
struct PassageKey {
    std::string client, consumer, moment;  // moment "YYYY-MM-DD HH:MM:SS"
    auto operator<=>(const PassageKey&) const = default;
};

struct PendingPassage {
    station::Passage passage;
    std::string moment;
    PassageKey key() const { return {passage.cdCliente, passage.cdConsumidor, moment}; }
};

// The standing sale that charges a passage.
struct Charge {
    std::string saleNumber, serial, coupon;
    double total = 0;
};

enum class CouponFate { Unknown, Standing, Cancelled };

class Store {
public:
    Store(db::Connection& c, std::string branch, std::string register_)
        : c_(c), branch_(std::move(branch)), register_(std::move(register_)) {}

    // The station's pending passages: import records in their number order,
    // within each the passages as they happened.
    std::vector<PendingPassage> pendingPassages();
    bool rowPending(const std::string& nrSeqLogCat);
    void deleteTurnstileRow(const std::string& nrSeqLogCat);

    // The ledger's charges of this station's passages between two moments.
    std::map<PassageKey, Charge> charges(const std::string& fromMoment, const std::string& toMoment);

    // What the database holds of a printer's coupon.
    CouponFate couponFate(const std::string& serial, int64_t cupNr);
    // The highest coupon number stored for a printer (0 when none).
    int64_t lastStoredCoupon(const std::string& serial);

    // Sets an import record's credit to the passages charged from it; the
    // credit before, and after.
    std::pair<int64_t, int64_t> settleImportCredit(const std::string& record);
    // The import records of this station's charged passages whose credit
    // differs from what they charged.
    std::vector<std::string> importRecordsOutOfStep();

    // Fails unless the database accepts a write now (read-only file, a lock
    // held past the busy time-out, a server that refuses).
    void probeWrite();

private:
    db::Connection& c_;
    std::string branch_, register_;
};

// "YYYY-MM-DD HH:MM:SS" of a passage's day and HORAREAL (HHMM or HHMMSS).
std::string passageMoment(DateTime day, const std::string& hora);
// Six-digit text of a coupon number.
std::string couponText(int64_t cupNr);

}  // namespace zel::host
