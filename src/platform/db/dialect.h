// What each backend needs of a statement: the adaptations of its text, how
// named parameters are bound and how dates travel. All of it lives here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/db/connection.h"

namespace zel::db {

class Dialect {
  public:
    enum class Binding {
        ByName,        // the backend binds :NAME itself, once for all its occurrences
        ByOccurrence,  // each occurrence is a positional marker and gets the value again
    };
    enum class DateForm {
        IsoText,    // 'YYYY-MM-DD', compared with a DATE column (SQLite keeps dates as ISO text)
        Timestamp,  // a date-time value at midnight
    };

    static const Dialect& of(Backend backend);

    Backend backend() const { return backend_; }
    Binding binding() const { return binding_; }
    DateForm dateForm() const { return dateForm_; }

    // The text the backend gets. SQLite cannot parse a call of ISNULL (a
    // postfix operator there), so ISNULL( becomes IFNULL( outside quotes and
    // comments; PostgreSQL and the installation's database take the text as it
    // stands (the PostgreSQL schema defines an ISNULL function).
    std::string adaptSql(std::string_view sql) const;

  private:
    Dialect(Backend b, Binding bi, DateForm df) : backend_(b), binding_(bi), dateForm_(df) {}
    Backend backend_;
    Binding binding_;
    DateForm dateForm_;
};

// The :NAME parameters of a statement text, one entry per occurrence, in text
// order. Quotes, double-quoted identifiers, comments and "::" casts are skipped.
std::vector<std::string> parameterOccurrences(std::string_view sql);

// The text with each :NAME parameter replaced by $1, $2, ... in text order,
// one number per occurrence (the server then judges the type of each place
// on its own, as for a statement the client library prepares); `names` gets
// the name of each number.
std::string numberParameters(std::string_view sql, std::vector<std::string>& names);

// Replaces every call of the function `from` (a name followed by "(") outside
// quotes and comments by `to`; names are compared ignoring letter case.
std::string renameFunction(std::string_view sql, std::string_view from, std::string_view to);

// The statements of a script, split at ";" outside quotes and comments; blank
// statements are dropped. Used to apply schema files.
std::vector<std::string> splitStatements(std::string_view script);

}  // namespace zel::db
