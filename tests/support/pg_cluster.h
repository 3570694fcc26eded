// A throw-away PostgreSQL cluster for tests and benchmarks: its own temporary
// directory, a free loopback port, its unix socket inside that directory.
#pragma once

#include <string>

namespace zel::testing {

class PgCluster {
  public:
    // The cluster of this process, started on first use and stopped at exit
    // (also on SIGINT, SIGTERM, SIGABRT, SIGSEGV as far as a signal allows).
    // When it cannot start, `running()` is false and `error()` says why.
    static PgCluster& shared();
    // Whether shared() has been called in this process.
    static bool sharedCreated();

    bool running() const { return running_; }
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    const std::string& directory() const { return dir_; }

    // "postgresql://host=127.0.0.1 port=P dbname=NAME user=postgres"
    std::string connectionString(const std::string& dbname) const;
    // Creates a new, empty database in this cluster and returns its name.
    std::string createDatabase(const std::string& prefix = "zt");

    void stop();  // stops the server and removes the directory; idempotent
    // The server goes down at once, as in a crash, keeping its data; resume()
    // starts it again on the same port. For the cases of a database that
    // stops answering in the middle of a run.
    void halt();
    bool resume();

    // True when ZEL_SKIP_POSTGRES=1: a cluster that cannot start skips the
    // PostgreSQL cases instead of failing them.
    static bool skipAllowed();

  private:
    PgCluster() = default;
    void start();

    bool running_ = false;
    std::string error_;
    std::string dir_;
    int port_ = 0;
    int databases_ = 0;
};

}  // namespace zel::testing
