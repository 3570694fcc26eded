// The throw-away PostgreSQL cluster of the database tests, built into this
// program too so that the resident service is tried on PostgreSQL.
#include "db/pg_cluster.cpp"
#include "db/pg_environment.cpp"
