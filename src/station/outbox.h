// The station's outbox: a record the database refused while a sale was being
// cancelled (database down, disk full, a lock held too long) waits here, one
// file per record written atomically, until the next run writes it before
// anything else. The printer already cancelled the coupon; without the outbox
// that cancellation would be printed and never recorded.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace zel::host {

struct OutboxEntry {
    std::filesystem::path file;
    std::string coupon;   // the cancelled coupon, six digits, when known
    VariantArray values;  // the 15 values of the cancelled-sale record
};

class Outbox {
  public:
    explicit Outbox(std::filesystem::path dir) : dir_(std::move(dir)) {}

    // Keeps the record of a cancelled sale. Throws FileWriteError when the
    // station's disk refuses it too.
    void put(const std::string& serial, const std::string& coupon, const VariantArray& values);
    // The waiting records, oldest first. A file that cannot be read is an
    // Error naming it (it is never dropped without a word).
    std::vector<OutboxEntry> entries() const;
    bool holds(const std::string& coupon) const;
    void remove(const OutboxEntry& entry) const;
    const std::filesystem::path& dir() const { return dir_; }

  private:
    std::filesystem::path dir_;
};

}  // namespace zel::host
