// The throw-away PostgreSQL cluster of the database tests, built into this
// program too so that the service package's cases run on both backends.
#include "db/pg_cluster.cpp"
#include "db/pg_environment.cpp"
