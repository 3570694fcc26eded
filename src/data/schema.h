// The database schema of the service: the files db/<backend>/*.sql with those
// of db/common/*.sql, compiled in, applied in file-name order; and a check that
// the tables are there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/db/connection.h"

namespace zel {

struct SchemaFile {
    std::string_view name;  // e.g. "030_sales.sql"
    std::string_view text;
};

// The schema files of a backend in the order they are applied; none for ODBC
// (the installation's own database).
std::vector<SchemaFile> schemaFiles(db::Backend backend);

// Applies every schema file of the connection's backend in one transaction.
// Each statement creates only what is missing, so a second run changes
// nothing. Throws DbError naming the file and the failing statement.
void applySchema(db::Connection& connection);

// The tables the statements of the service module read or write.
const std::vector<std::string>& statementTables();

// Throws DbError "… lacks the table X" for the first of `tables` that the
// connected database does not have.
void verifySchema(db::Connection& connection, const std::vector<std::string>& tables = statementTables());

}  // namespace zel
