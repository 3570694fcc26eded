// Backend adaptations of statement texts and the small SQL scanner behind them.
#include "platform/db/dialect.h"

#include <cctype>
#include "platform/text.h"

namespace zel::db {
namespace {

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Walks a statement text and calls `plain` for every character outside quotes
// and comments with its position; returns when `plain` returns false.
template <class F>
void scan(std::string_view s, F&& plain) {
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\'' || c == '"') {
            // A doubled quote inside stays inside.
            size_t j = i + 1;
            while (j < s.size()) {
                if (s[j] == c) {
                    if (j + 1 < s.size() && s[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            i = j + 1;
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            size_t end = s.find("*/", i + 2);
            i = end == std::string_view::npos ? s.size() : end + 2;
        } else {
            size_t next = plain(i);
            i = next > i ? next : i + 1;
        }
    }
}

}  // namespace

const Dialect& Dialect::of(Backend backend) {
    static const Dialect sqlite(Backend::Sqlite3, Binding::ByName, DateForm::IsoText);
    static const Dialect postgres(Backend::PostgreSql, Binding::ByName, DateForm::IsoText);
    // The ODBC backend marks each occurrence with "?" and binds by position.
    static const Dialect odbc(Backend::Odbc, Binding::ByOccurrence, DateForm::Timestamp);
    switch (backend) {
        case Backend::Sqlite3:
            return sqlite;
        case Backend::PostgreSql:
            return postgres;
        case Backend::Odbc:
            return odbc;
    }
    return sqlite;
}

std::string Dialect::adaptSql(std::string_view sql) const {
    if (backend_ == Backend::Sqlite3) return renameFunction(sql, "ISNULL", "IFNULL");
    return std::string(sql);
}

std::vector<std::string> parameterOccurrences(std::string_view sql) {
    std::vector<std::string> names;
    scan(sql, [&](size_t i) -> size_t {
        if (sql[i] != ':') return i + 1;
        if (i + 1 < sql.size() && sql[i + 1] == ':') return i + 2;  // a cast, not a parameter
        if (i > 0 && sql[i - 1] == ':') return i + 1;
        size_t j = i + 1;
        if (j >= sql.size() || !isNameStart(sql[j])) return i + 1;
        while (j < sql.size() && isNameChar(sql[j])) ++j;
        names.emplace_back(sql.substr(i + 1, j - i - 1));
        return j;
    });
    return names;
}

std::string numberParameters(std::string_view sql, std::vector<std::string>& names) {
    names.clear();
    std::string out;
    out.reserve(sql.size() + 8);
    size_t copied = 0;
    scan(sql, [&](size_t i) -> size_t {
        if (sql[i] != ':') return i + 1;
        if (i + 1 < sql.size() && sql[i + 1] == ':') return i + 2;
        if (i > 0 && sql[i - 1] == ':') return i + 1;
        size_t j = i + 1;
        if (j >= sql.size() || !isNameStart(sql[j])) return i + 1;
        while (j < sql.size() && isNameChar(sql[j])) ++j;
        names.emplace_back(sql.substr(i + 1, j - i - 1));
        out.append(sql.substr(copied, i - copied));
        out += '$';
        out += std::to_string(names.size());
        copied = j;
        return j;
    });
    out.append(sql.substr(copied));
    return out;
}

std::string renameFunction(std::string_view sql, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(sql.size());
    size_t copied = 0;
    scan(sql, [&](size_t i) -> size_t {
        if (!isNameStart(sql[i]) || (i > 0 && (isNameChar(sql[i - 1]) || sql[i - 1] == ':'))) return i + 1;
        size_t j = i;
        while (j < sql.size() && isNameChar(sql[j])) ++j;
        if (equalsIgnoringCase(sql.substr(i, j - i), from)) {
            size_t k = j;
            while (k < sql.size() && std::isspace(static_cast<unsigned char>(sql[k]))) ++k;
            if (k < sql.size() && sql[k] == '(') {
                out.append(sql.substr(copied, i - copied));
                out.append(to);
                copied = j;
            }
        }
        return j;
    });
    out.append(sql.substr(copied));
    return out;
}

std::vector<std::string> splitStatements(std::string_view script) {
    std::vector<std::string> out;
    size_t start = 0;
    auto push = [&](size_t end) {
        std::string_view piece = script.substr(start, end - start);
        // Keep statements that hold more than blanks and comments.
        bool hasCode = false;
        scan(piece, [&](size_t i) -> size_t {
            if (!std::isspace(static_cast<unsigned char>(piece[i]))) hasCode = true;
            return hasCode ? piece.size() : i + 1;
        });
        if (hasCode) out.emplace_back(piece);
    };
    scan(script, [&](size_t i) -> size_t {
        if (script[i] == ';') {
            push(i);
            start = i + 1;
        }
        return i + 1;
    });
    if (start < script.size()) push(script.size());
    return out;
}

}  // namespace zel::db
