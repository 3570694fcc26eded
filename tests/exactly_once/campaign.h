// The fixture of the exactly-once campaign: a fresh demo station per case, a
// snapshot before the runs under test, and a clean run at the end whose
// station must satisfy every invariant.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "exactly_once/invariants.h"
#include "exactly_once/station.h"

namespace zel::eo {

// Whether every case of a matrix runs (ZEL_FULL_MATRIX=1) or a fixed sample.
bool fullMatrix();
// The sample: the first and last index always, the others by a fixed hash of
// the case's name, about one in two.
bool sampled(const std::string& name, int index, int last);

// One line per case "group<TAB>case<TAB>violations" appended to the file named
// by ZEL_EO_TALLY, for the campaign's figures.
void tally(const std::string& group, int violations);

class Campaign : public ::testing::Test {
  protected:
    // A demo station with `passages` pending passages of different consumers
    // (0: the demo's whole day), and its snapshot; on SQLite, or on a fresh
    // database of the tests' PostgreSQL cluster (the case is skipped when
    // that cannot start and ZEL_SKIP_POSTGRES=1 allows it).
    void makeStation(int passages = 3, bool onPostgres = false);
    TestStation& station() { return *station_; }
    const Snapshot& snapshot() const { return snapshot_; }
    fs::path base() const { return base_; }

    // Drops every fault and crash key, runs, and checks the station against
    // the snapshot; adds a failure for each violation and tallies them.
    CheckReport cleanRunAndCheck(const std::string& group);

    // Starts two runs at once and waits for both; before any clean run,
    // nobody may be charged twice.
    void twoRunsAtOnce();

    // Takes into the snapshot the passages of an import record written while a
    // program ran (a turnstile feeding a charging station): those still
    // pending and those the ledger holds as charged, its credit counted from 0.
    void adoptImportRecord(const std::string& record);

    // The passages of the snapshot.
    const std::vector<PassageRow>& passages() const { return snapshot_.passages; }

    void TearDown() override;

  private:
    fs::path base_;
    std::unique_ptr<TestStation> station_;
    Snapshot snapshot_;
};

}  // namespace zel::eo
