// The throw-away PostgreSQL cluster of the database tests, built into this
// program too so that the host's end-to-end cases run on PostgreSQL.
#include "db/pg_cluster.cpp"
#include "db/pg_environment.cpp"
