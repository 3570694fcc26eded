#include "platform/db/query.h"

#include <fmt/format.h>

#include "platform/locale.h"

namespace zel::db::sql {

Param text(std::string name, std::string value) {
    Param p;
    p.name = std::move(name);
    p.text = std::move(value);
    return p;
}

Param textOrNull(std::string name, std::string value) {
    Param p = text(std::move(name), std::move(value));
    p.null = p.text.empty();
    return p;
}

Param number(std::string name, double value) {
    Param p;
    p.name = std::move(name);
    p.type = db::ParamType::Float;
    p.number = value;
    return p;
}

Param date(std::string name, DateTime value) {
    Param p;
    p.name = std::move(name);
    p.type = db::ParamType::Date;
    p.date = value;
    p.null = value.isEmpty();
    return p;
}

namespace {

std::vector<db::ParamDecl> declare(const std::vector<Param>& params) {
    std::vector<db::ParamDecl> decls;
    for (const Param& p : params) decls.push_back({p.name, p.type});
    return decls;
}

void bindValues(db::Statement& st, const std::vector<Param>& params) {
    for (const Param& p : params) {
        if (p.null) st.setNull(p.name);
        else if (p.type == db::ParamType::Text) st.setText(p.name, p.text);
        else if (p.type == db::ParamType::Float) st.setFloat(p.name, p.number);
        else st.setDate(p.name, p.date);
    }
}

}  // namespace

// The key a statement is kept under on its connection: its kind, name, text,
// parameters and result columns.
std::string keyOf(char kind, const std::string& name, const std::string& sql, const std::vector<Param>& params,
                  const std::vector<db::ResultColumn>* columns) {
    std::string key(1, kind);
    key += name;
    key += '\x1f';
    key += sql;
    for (const Param& p : params) {
        key += '\x1f';
        key += p.name;
        key += static_cast<char>('0' + static_cast<int>(p.type));
    }
    if (columns)
        for (const db::ResultColumn& c : *columns) {
            key += '\x1e';
            key += c.name;
            key += static_cast<char>('0' + static_cast<int>(c.type));
            key += std::to_string(c.width);
        }
    return key;
}

namespace {

// The command kept with the connection for this text and parameters (made
// and kept the first time), with this run's values bound.
db::Command& keptCommand(db::Connection& c, const std::string& name, const std::string& sql,
                         const std::vector<Param>& params) {
    std::string key = keyOf('C', name, sql, params, nullptr);
    auto* cmd = static_cast<db::Command*>(c.keptStatement(key));
    if (!cmd)
        cmd = static_cast<db::Command*>(
            &c.keepStatement(key, std::make_unique<db::Command>(c, name, sql, declare(params))));
    bindValues(*cmd, params);
    return *cmd;
}

}  // namespace

int64_t exec(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params) {
    return keptCommand(c, name, sql, params).execute();
}

void send(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params) {
    keptCommand(c, name, sql, params).send();
}

namespace {

// The query kept with the connection for this text, parameters and columns
// (made and kept the first time), with this run's values bound.
db::Query& keptQuery(db::Connection& c, const std::string& name, const std::string& sql,
                     const std::vector<Param>& params, const std::vector<db::ResultColumn>& columns) {
    std::string key = keyOf('Q', name, sql, params, &columns);
    auto* q = static_cast<db::Query*>(c.keptStatement(key));
    if (!q)
        q = static_cast<db::Query*>(
            &c.keepStatement(key, std::make_unique<db::Query>(c, name, sql, declare(params), columns)));
    bindValues(*q, params);
    return *q;
}

}  // namespace

std::vector<Row> select(db::Connection& c, const std::string& name, const std::string& sql,
                        const std::vector<Param>& params, const std::vector<db::ResultColumn>& columns) {
    db::Query& q = keptQuery(c, name, sql, params, columns);
    q.open();
    std::vector<Row> rows = q.takeRows();
    q.close();
    return rows;
}

std::vector<Row> select(db::Connection& c, const Select& query) {
    return select(c, query.name, query.sql, query.params, query.columns);
}

std::vector<std::vector<Row>> selectTogether(db::Connection& c, const std::vector<Select>& queries,
                                             const std::vector<Select>& later) {
    std::vector<std::shared_ptr<std::vector<Row>>> pending;
    pending.reserve(queries.size());
    bool waits = false;
    for (const Select& s : queries) {
        bool thisWaits = false;
        pending.push_back(keptQuery(c, s.name, s.sql, s.params, s.columns).openAhead(&thisWaits));
        waits = waits || thisWaits;
    }
    for (const Select& s : later) keptQuery(c, s.name, s.sql, s.params, s.columns).readAhead();
    // Answered already (read ahead): what was sent meanwhile waits for the
    // next exchange.
    if (waits) c.settle();
    std::vector<std::vector<Row>> out;
    out.reserve(pending.size());
    for (auto& rows : pending) out.push_back(std::move(*rows));
    return out;
}

void readAhead(db::Connection& c, const std::vector<Select>& queries) {
    for (const Select& s : queries) keptQuery(c, s.name, s.sql, s.params, s.columns).readAhead();
}

void selectEach(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params,
                const std::vector<db::ResultColumn>& columns, const std::function<void(Row&)>& onRow) {
    keptQuery(c, name, sql, params, columns).each(onRow);
}

std::string cellText(const ds::Cell& cell) {
    if (const auto* s = std::get_if<std::string>(&cell)) return *s;
    if (const auto* d = std::get_if<double>(&cell)) return floatToStr(*d, FormatSettings::invariant());
    if (const auto* i = std::get_if<int64_t>(&cell)) return std::to_string(*i);
    if (const auto* b = std::get_if<bool>(&cell)) return *b ? "True" : "False";
    return "";
}

double cellNumber(const ds::Cell& cell) {
    if (const auto* d = std::get_if<double>(&cell)) return *d;
    if (const auto* i = std::get_if<int64_t>(&cell)) return static_cast<double>(*i);
    if (const auto* s = std::get_if<std::string>(&cell)) return strToFloat(*s, FormatSettings::invariant());
    return 0;
}

DateTime cellDate(const ds::Cell& cell) {
    if (const auto* i = std::get_if<int64_t>(&cell)) return DateTime::fromPacketDate(static_cast<int32_t>(*i));
    if (const auto* d = std::get_if<double>(&cell)) return DateTime::fromPacketDateTime(*d);
    return DateTime();
}

std::string isoMoment(DateTime dt, bool millis) {
    CalendarFields f = dt.fields();
    std::string s =
        fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", f.year, f.month, f.day, f.hour, f.minute, f.second);
    if (millis) s += fmt::format(".{:03}", f.millisecond);
    return s;
}

}  // namespace zel::db::sql
