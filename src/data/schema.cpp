// Applying and checking the compiled-in schema files.
#include "data/schema.h"

#include <zel/schema_files.h>

#include <algorithm>

#include "platform/db/dialect.h"

namespace zel {

std::vector<SchemaFile> schemaFiles(db::Backend backend) {
    std::vector<SchemaFile> out;
    std::string_view dir = backend == db::Backend::Sqlite3      ? "sqlite"
                           : backend == db::Backend::PostgreSql ? "postgresql"
                                                                : "";
    if (dir.empty()) return out;
    // The backend's own files and those written alike for every backend
    // (db/common), together in file-name order.
    for (const auto& f : generated::kSchemaFiles)
        if (f.backend == dir || f.backend == "common") out.push_back({f.name, f.text});
    std::stable_sort(out.begin(), out.end(), [](const SchemaFile& a, const SchemaFile& b) { return a.name < b.name; });
    return out;
}

void applySchema(db::Connection& connection) {
    connection.ensureConnected();
    std::vector<SchemaFile> files = schemaFiles(connection.backend());
    if (files.empty())
        throw db::DbError("no schema files for " + std::string(db::backendName(connection.backend())) +
                          "; the schema of " + connection.describe() + " is kept by its owners");
    bool own = !connection.inTransaction();
    if (own) connection.beginTransaction();
    try {
        for (const SchemaFile& f : files) {
            int n = 0;
            for (const std::string& stmt : db::splitStatements(f.text)) {
                ++n;
                try {
                    connection.executeDirect(stmt);
                } catch (const std::exception& e) {
                    throw db::DbError("schema file " + std::string(f.name) + ", statement " + std::to_string(n) + ": " +
                                      e.what());
                }
            }
        }
    } catch (...) {
        if (own) connection.rollback();
        throw;
    }
    if (own) connection.commit();
}

const std::vector<std::string>& statementTables() {
    static const std::vector<std::string> tables = {"CONSUMIDOR", "CLIENFILIAL", "CLIENTE",      "NOVOCODIGO",
                                                    "TIPORECE",   "SALDOCONS",   "FAMSALDOFILI", "FAMILIASALDO",
                                                    "VENDA",      "ITEMVENDA",   "LOGCATRACA",   "LOGCATRACAPK"};
    return tables;
}

void verifySchema(db::Connection& connection, const std::vector<std::string>& tables) {
    for (const std::string& t : tables) {
        try {
            // A query that reads no row: it fails only when the table is missing.
            connection.executeDirect("SELECT 1 FROM " + t + " WHERE 1 = 0");
        } catch (const std::exception& e) {
            throw db::DbError(connection.describe() + " lacks the table " + t + " (" + e.what() + ")");
        }
    }
}

}  // namespace zel
