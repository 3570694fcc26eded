// The test program's global environment: the PostgreSQL cluster, started by
// the first case that needs it, is stopped and removed when the cases end,
// whatever their outcome.
#include <gtest/gtest.h>

#include "pg_cluster.h"

namespace {

class PgEnvironment : public ::testing::Environment {
  public:
    void TearDown() override {
        if (zel::testing::PgCluster::sharedCreated()) zel::testing::PgCluster::shared().stop();
    }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PgEnvironment);

}  // namespace
