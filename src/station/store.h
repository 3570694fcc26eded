// Every statement the station runs around the service's requests, in one
// place: the pending passages, the ledger of charged passages, the fate of a
// coupon, the import credits. The database is the ledger: whether a passage
// is charged is read here, never from a side file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
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

// The order pending passages are charged in: import records by number (then
// by text), within a record by moment, then by turnstile sequence number.
struct ChargingOrder {
    long long record = 0;
    std::string_view recordText, moment;
    long long seq = 0;
    static ChargingOrder of(std::string_view record, std::string_view moment, std::string_view seq);
    static ChargingOrder of(const PendingPassage& p) {
        return of(p.passage.nrSeqArqImp, p.moment, p.passage.nrSeqLogCat);
    }
    bool operator<(const ChargingOrder& o) const;
};

// The span of moments of some passages, the ledger's charges of which are
// read at once.
struct MomentSpan {
    std::string from, to;
    bool empty() const { return from.empty(); }
    void add(const std::string& moment) {
        if (empty() || moment < from) from = moment;
        if (to.empty() || moment > to) to = moment;
    }
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
    // The same passages one at a time, as the database gives them (not in
    // that order), keeping none: for lists that are kept compactly.
    void eachPendingPassage(const std::function<void(PendingPassage&)>& onPassage);
    // Which of these turnstile rows are still there (on a server, one
    // exchange for all).
    std::set<std::string> rowsPending(const std::vector<std::string>& nrSeqLogCats);
    void deleteTurnstileRow(const std::string& nrSeqLogCat);

    // The ledger's charges of this station's passages between two moments.
    std::map<PassageKey, Charge> charges(const std::string& fromMoment, const std::string& toMoment);

    std::map<PassageKey, Charge> charges(const MomentSpan& span) {
        return span.empty() ? std::map<PassageKey, Charge>() : charges(span.from, span.to);
    }

    // The ledger's charges of these passages (of their span of moments).
    std::map<PassageKey, Charge> chargesOf(const std::vector<PendingPassage>& passages);

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

// The statements of an import: consumers by their identification code, the
// passages already pending or charged (of any branch and register), the
// counters of import records and turnstile rows, and the rows themselves.
class ImportStore {
  public:
    explicit ImportStore(db::Connection& c) : c_(c) {}

    struct Consumer {
        std::string cdCliente, cdConsumidor, cdTipoCons, nome;
    };
    std::map<std::string, Consumer> consumersByCode();
    // Keys "branch|register|client|consumer|moment" of the pending passages,
    // and of the charged ones between two moments.
    std::set<std::string> pendingKeys();
    std::set<std::string> chargedKeys(const std::string& fromMoment, const std::string& toMoment);

    // A new import record dated `day`; its number.
    std::string newImportRecord(DateTime day);
    // The next turnstile row number of a branch, after the last one given.
    long long lastRowNumber(const std::string& branch);
    void insertPassage(const std::string& branch, const std::string& seq, const std::string& register_,
                       const Consumer& consumer, const std::string& code, const std::string& record, DateTime day,
                       const std::string& hora);
    void setRowCounter(const std::string& branch, long long last);

  private:
    long long nextNumber(const std::string& counter, long long floor);
    long long largestNumber(const std::string& sql, const std::string& param);
    db::Connection& c_;
};

// "YYYY-MM-DD HH:MM:SS" of a passage's day and HORAREAL (HHMM or HHMMSS).
std::string passageMoment(DateTime day, const std::string& hora);
// Six-digit text of a coupon number.
std::string couponText(int64_t cupNr);

}  // namespace zel::host
