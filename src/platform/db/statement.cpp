// Queries, commands and providers over a SOCI session.
#include "platform/db/statement.h"

#include <chrono>

#include <libpq-fe.h>
#include <soci/soci.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <deque>

#include "platform/db/dialect.h"
#include "platform/locale.h"
#include "platform/text.h"

namespace zel::db {
namespace {

const char* typeName(ParamType t) {
    switch (t) {
        case ParamType::Text:
            return "text";
        case ParamType::Date:
            return "date";
        case ParamType::Float:
            return "float";
    }
    return "?";
}

std::string trimmed(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

std::string numberText(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

// "YYYY-MM-DD" with an optional time "HH:MM:SS[.fff]" after a blank or "T".
bool parseIsoDateTime(std::string_view s, CalendarFields& f) {
    auto num = [&](size_t pos, size_t len, int& out) {
        if (pos + len > s.size()) return false;
        auto r = std::from_chars(s.data() + pos, s.data() + pos + len, out);
        return r.ec == std::errc() && r.ptr == s.data() + pos + len;
    };
    if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
    if (!num(0, 4, f.year) || !num(5, 2, f.month) || !num(8, 2, f.day)) return false;
    if (s.size() >= 19 && (s[10] == ' ' || s[10] == 'T')) {
        if (!num(11, 2, f.hour) || !num(14, 2, f.minute) || !num(17, 2, f.second)) return false;
    }
    return DateTime::isValidDate(f.year, f.month, f.day);
}

ds::Cell fromDateTime(DateTime dt, ColumnType t, const std::string& where) {
    switch (t) {
        case ColumnType::Date:
            return static_cast<int64_t>(dt.dateOnly().packetDate());
        case ColumnType::DateTime:
            return dt.packetDateTime();
        case ColumnType::Text: {
            CalendarFields f = dt.fields();
            char buf[32];
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", f.year, f.month, f.day);
            return std::string(buf);
        }
        default:
            throw DbError(where + ": a date where a number is declared");
    }
}

ds::Cell fromNumber(double v, ColumnType t, const std::string& where) {
    switch (t) {
        case ColumnType::Float:
            return v;
        case ColumnType::Integer:
            return static_cast<int64_t>(v);
        case ColumnType::Text:
            return numberText(v);
        default:
            throw DbError(where + ": a number where a date is declared");
    }
}

ds::Cell fromText(const std::string& s, ColumnType t, const std::string& where) {
    switch (t) {
        case ColumnType::Text:
            return s;
        case ColumnType::Float:
        case ColumnType::Integer: {
            double v = 0;
            std::string_view sv = s;
            while (!sv.empty() && std::isspace(static_cast<unsigned char>(sv.front()))) sv.remove_prefix(1);
            while (!sv.empty() && std::isspace(static_cast<unsigned char>(sv.back()))) sv.remove_suffix(1);
            if (!sv.empty() && sv.front() == '+') sv.remove_prefix(1);
            auto r = std::from_chars(sv.data(), sv.data() + sv.size(), v);
            if (sv.empty() || r.ec != std::errc() || r.ptr != sv.data() + sv.size())
                throw DbError(where + ": '" + s + "' is not a number");
            return fromNumber(v, t, where);
        }
        case ColumnType::Date:
        case ColumnType::DateTime: {
            CalendarFields f;
            if (!parseIsoDateTime(s, f)) throw DbError(where + ": '" + s + "' is not a date");
            return fromDateTime(DateTime::fromFields(f), t, where);
        }
    }
    return s;
}

ds::Cell cellOf(const soci::row& r, size_t i, const ResultColumn& col, const std::string& where) {
    if (r.get_indicator(i) == soci::i_null) return std::monostate{};
    switch (r.get_properties(i).get_data_type()) {
        case soci::dt_string:
        case soci::dt_xml:
            return fromText(r.get<std::string>(i), col.type, where);
        case soci::dt_double:
            return fromNumber(r.get<double>(i), col.type, where);
        case soci::dt_integer:
            if (col.type == ColumnType::Integer) return static_cast<int64_t>(r.get<int>(i));
            return fromNumber(r.get<int>(i), col.type, where);
        case soci::dt_long_long:
            if (col.type == ColumnType::Integer) return static_cast<int64_t>(r.get<long long>(i));
            return fromNumber(static_cast<double>(r.get<long long>(i)), col.type, where);
        case soci::dt_unsigned_long_long:
            return fromNumber(static_cast<double>(r.get<unsigned long long>(i)), col.type, where);
        case soci::dt_date: {
            std::tm tm = r.get<std::tm>(i);
            CalendarFields f{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
            return fromDateTime(DateTime::fromFields(f), col.type, where);
        }
        default:
            throw DbError(where + ": a value of a type this layer does not read");
    }
}

DbError columnsDiffer(const std::string& where, size_t given, size_t declared) {
    return DbError(where + ": the query gives " + std::to_string(given) + " columns, " + std::to_string(declared) +
                   " are declared");
}

// A value a server sent as text, by the type it named, read as the client
// library reads it: integers and numbers as numbers, dates and moments as
// dates, anything else as text.
ds::Cell cellOfServerText(const char* text, Oid type, const ResultColumn& col, const std::string& where) {
    constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700, kFloat8 = 701, kNumeric = 1700,
                  kDate = 1082, kTimestamp = 1114, kTimestampTz = 1184;
    std::string_view s(text);
    switch (type) {
        case kInt2:
        case kInt4:
        case kInt8:
        case kOid: {
            int64_t v = 0;
            auto r = std::from_chars(s.data(), s.data() + s.size(), v);
            if (r.ec != std::errc() || r.ptr != s.data() + s.size())
                throw DbError(where + ": '" + std::string(s) + "' is not a whole number");
            if (col.type == ColumnType::Integer) return v;
            return fromNumber(static_cast<double>(v), col.type, where);
        }
        case kFloat4:
        case kFloat8:
        case kNumeric: {
            double v = 0;
            std::string_view n = s;
            if (!n.empty() && n.front() == '+') n.remove_prefix(1);
            auto r = std::from_chars(n.data(), n.data() + n.size(), v);
            if (n.empty() || r.ec != std::errc() || r.ptr != n.data() + n.size())
                throw DbError(where + ": '" + std::string(s) + "' is not a number");
            return fromNumber(v, col.type, where);
        }
        case kDate:
        case kTimestamp:
        case kTimestampTz: {
            CalendarFields f;
            if (!parseIsoDateTime(s, f)) throw DbError(where + ": '" + std::string(s) + "' is not a date");
            return fromDateTime(DateTime::fromFields(f), col.type, where);
        }
        default:
            return fromText(std::string(s), col.type, where);
    }
}

// Adds the time from its making to its end to the connection's time spent
// running statements.
struct StatementTimer {
    Connection& c;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    ~StatementTimer() { c.addStatementTime(std::chrono::steady_clock::now() - started); }
};

size_t charCount(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

}  // namespace

std::string joinLines(std::initializer_list<std::string_view> lines) {
    std::string out;
    bool firstLine = true;
    for (std::string_view l : lines) {
        if (!firstLine) out += "\r\n";
        out.append(l);
        firstLine = false;
    }
    return out;
}

Statement::Statement(Connection& connection, std::string name, std::string sql, std::vector<ParamDecl> params)
    : connection_(&connection),
      name_(std::move(name)),
      sql_(std::move(sql)),
      params_(std::move(params)),
      occurrences_(parameterOccurrences(sql_)),
      values_(params_.size()) {
    for (const std::string& occ : occurrences_) {
        auto declared = std::find_if(params_.begin(), params_.end(),
                                     [&](const ParamDecl& p) { return equalsIgnoringCase(p.name, occ); });
        if (declared == params_.end())
            throw DbError("statement " + name_ + " uses :" + occ + " but declares no such parameter");
        occurrenceParams_.push_back(static_cast<size_t>(declared - params_.begin()));
    }
}

size_t Statement::paramIndex(std::string_view param, ParamType type) const {
    for (size_t i = 0; i < params_.size(); ++i) {
        if (!equalsIgnoringCase(params_[i].name, param)) continue;
        if (params_[i].type != type)
            throw DbError("parameter " + params_[i].name + " of " + name_ + " is a " + typeName(params_[i].type) +
                          " parameter, not " + typeName(type));
        return i;
    }
    throw DbError("statement " + name_ + " has no parameter " + std::string(param));
}

void Statement::setText(std::string_view param, std::string value) {
    Value& v = values_[paramIndex(param, ParamType::Text)];
    v = Value{};
    v.set = true;
    v.text = std::move(value);
}

void Statement::setDate(std::string_view param, DateTime value) {
    Value& v = values_[paramIndex(param, ParamType::Date)];
    v = Value{};
    v.set = true;
    v.date = value.dateOnly();
}

void Statement::setFloat(std::string_view param, double value) {
    Value& v = values_[paramIndex(param, ParamType::Float)];
    v = Value{};
    v.set = true;
    v.number = value;
}

void Statement::setNull(std::string_view param) {
    for (size_t i = 0; i < params_.size(); ++i)
        if (equalsIgnoringCase(params_[i].name, param)) {
            values_[i] = Value{};
            values_[i].set = true;
            values_[i].null = true;
            return;
        }
    throw DbError("statement " + name_ + " has no parameter " + std::string(param));
}

// The prepared form of a statement: the SOCI statement and the places its
// values are bound from, which keep their addresses while it lives.
struct Statement::Prepared {
    enum class Kind { Text, Number, Moment };
    struct Bind {
        size_t param;      // index of the declared parameter
        std::string name;  // empty when bound by position
        Kind kind;
        bool null;
    };
    std::vector<Bind> binds;
    bool withRows = false;
    std::deque<std::string> texts;
    std::deque<double> numbers;
    std::deque<std::tm> moments;
    std::deque<soci::indicator> indicators;
    std::vector<size_t> slots;  // per bind: its place in texts, numbers or moments
    soci::row row;
    std::unique_ptr<soci::statement> st;
    bool serverSide = false;  // PostgreSQL: releasing it is one more exchange with the server

    ~Prepared() {
        st.reset();  // the statement lets go of the bound places first
        if (serverSide) countTraffic(0, 0, 1);
    }

    bool sameShape(const std::vector<Bind>& other, bool rows) const {
        if (rows != withRows || other.size() != binds.size()) return false;
        for (size_t i = 0; i < binds.size(); ++i)
            if (binds[i].param != other[i].param || binds[i].name != other[i].name || binds[i].kind != other[i].kind ||
                binds[i].null != other[i].null)
                return false;
        return true;
    }
};

Statement::~Statement() {
    connection_->forgetReadAhead(this);
    release();
}

void Statement::release() {
    if (!prepared_) return;
    // Letting go of a server-side statement is an exchange, which cannot
    // pass while commands wait for their answers.
    if (prepared_->serverSide) connection_->settleQuietly();
    connection_->removePrepared(this);
    prepared_.reset();
}

void Statement::requireValues() const {
    for (size_t i : occurrenceParams_)
        if (!values_[i].set) throw DbError("parameter " + params_[i].name + " of " + name_ + " has no value");
}

void Statement::run(const std::vector<ResultColumn>* columns, const RowHandler* onRow, int64_t* affected) {
    if (!onRow) connection_->forgetReadAhead();  // a write: what was read ahead may no longer hold
    else if (answerReadAhead(*onRow)) return;
    // A query on a server inside a transaction goes behind what waits in the
    // pipeline (the BEGIN, the commands sent ahead): one exchange for all.
    if (onRow && connection_->sendsAhead()) {
        queueAhead(*columns, *onRow);
        connection_->settle();
        return;
    }
    StatementTimer timed{*connection_};
    requireValues();

    soci::session& session = connection_->session();  // connects on first use
    const Dialect& dialect = connection_->dialect();
    const ConnectionString& target = connection_->target();
    auto fail = [&](const std::exception& e) {
        return DbError(target.redact(name_ + " on " + target.describe() + ": " + trimmed(e.what())));
    };

    // What is bound: one entry per distinct name, or one per occurrence, and
    // in which form each value travels.
    using Kind = Prepared::Kind;
    std::vector<Prepared::Bind> binds;
    auto kindOf = [&](size_t i) {
        const Value& v = values_[i];
        ParamType type = params_[i].type;
        if (type == ParamType::Float && !v.null) return Kind::Number;
        if (type == ParamType::Date && !v.null && dialect.dateForm() == Dialect::DateForm::Timestamp)
            return Kind::Moment;
        return Kind::Text;
    };
    binds.reserve(occurrences_.size());
    if (dialect.binding() == Dialect::Binding::ByName) {
        for (size_t k = 0; k < occurrences_.size(); ++k) {
            size_t i = occurrenceParams_[k];
            bool seen = std::any_of(binds.begin(), binds.end(), [&](auto& b) { return b.param == i; });
            if (!seen) binds.push_back({i, occurrences_[k], kindOf(i), values_[i].null});
        }
    } else {
        for (size_t i : occurrenceParams_) binds.push_back({i, std::string(), kindOf(i), values_[i].null});
    }

    try {
        if (prepared_ && !prepared_->sameShape(binds, onRow != nullptr)) release();
        if (!prepared_) {
            auto p = std::make_unique<Prepared>();
            p->binds = binds;
            p->withRows = onRow != nullptr;
            p->st = std::make_unique<soci::statement>(session);
            soci::statement& st = *p->st;
            for (const Prepared::Bind& b : p->binds) {
                p->indicators.push_back(b.null ? soci::i_null : soci::i_ok);
                soci::indicator& ind = p->indicators.back();
                switch (b.kind) {
                    case Kind::Number:
                        p->slots.push_back(p->numbers.size());
                        p->numbers.push_back(0);
                        st.exchange(soci::use(p->numbers.back(), ind, b.name));
                        break;
                    case Kind::Moment:
                        p->slots.push_back(p->moments.size());
                        p->moments.push_back(std::tm{});
                        st.exchange(soci::use(p->moments.back(), ind, b.name));
                        break;
                    case Kind::Text:
                        p->slots.push_back(p->texts.size());
                        p->texts.emplace_back();
                        st.exchange(soci::use(p->texts.back(), ind, b.name));
                        break;
                }
            }
            if (p->withRows) st.exchange(soci::into(p->row));
            st.alloc();
            st.prepare(dialect.adaptSql(sql_));
            st.define_and_bind();
            p->serverSide = connection_->backend() == Backend::PostgreSql;
            countTraffic(0, 1, p->serverSide ? 1 : 0);
            prepared_ = std::move(p);
            ++prepareCount_;
            connection_->addPrepared(this, [this] { prepared_.reset(); });
        }
        Prepared& p = *prepared_;
        // This run's values into the bound places.
        for (size_t k = 0; k < p.binds.size(); ++k) {
            const Prepared::Bind& b = p.binds[k];
            const Value& v = values_[b.param];
            switch (b.kind) {
                case Kind::Number:
                    p.numbers[p.slots[k]] = v.number;
                    break;
                case Kind::Moment: {
                    CalendarFields f = v.date.fields();
                    std::tm tm{};
                    tm.tm_year = f.year - 1900;
                    tm.tm_mon = f.month - 1;
                    tm.tm_mday = f.day;
                    p.moments[p.slots[k]] = tm;
                    break;
                }
                case Kind::Text: {
                    std::string text;
                    if (params_[b.param].type == ParamType::Date && !v.null) {
                        CalendarFields f = v.date.fields();
                        char buf[16];
                        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", f.year, f.month, f.day);
                        text = buf;
                    } else if (params_[b.param].type == ParamType::Text) {
                        text = v.text;
                    }
                    p.texts[p.slots[k]] = std::move(text);
                    break;
                }
            }
        }
        countTraffic(1, 0, 1);
        bool got = p.st->execute(true);
        if (onRow && got) {
            if (p.row.size() != columns->size())
                throw columnsDiffer(name_ + " on " + target.describe(), p.row.size(), columns->size());
            do {
                std::vector<ds::Cell> cells;
                cells.reserve(columns->size());
                for (size_t c = 0; c < columns->size(); ++c)
                    cells.push_back(cellOf(p.row, c, (*columns)[c], name_ + ", column " + (*columns)[c].name));
                (*onRow)(cells);
            } while (p.st->fetch());
        }
        if (affected) *affected = p.st->get_affected_rows();
    } catch (const DbError&) {
        release();  // a run broken off leaves nothing half-read behind
        throw;
    } catch (const std::exception& e) {
        release();
        throw fail(e);
    }
}

// How a value travels as text to a server: a number as the client library
// writes it for a bound double, a date as the calendar day.
static std::string serverText(double v) {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 20);
    return std::string(buf, r.ptr);
}

std::vector<const std::string*> Statement::serverValues(std::vector<std::string>& texts) {
    if (numbered_.empty()) {
        std::vector<std::string> names;
        std::string numbered = numberParameters(connection_->dialect().adaptSql(sql_), names);
        numbered_ = std::move(numbered);  // its places are the occurrences, in order
    }
    texts.assign(occurrenceParams_.size(), std::string());
    std::vector<const std::string*> values(occurrenceParams_.size(), nullptr);
    for (size_t k = 0; k < occurrenceParams_.size(); ++k) {
        const Value& v = values_[occurrenceParams_[k]];
        if (v.null) continue;
        switch (params_[occurrenceParams_[k]].type) {
            case ParamType::Text:
                values[k] = &v.text;
                continue;
            case ParamType::Float:
                texts[k] = serverText(v.number);
                break;
            case ParamType::Date: {
                CalendarFields f = v.date.fields();
                char buf[16];
                std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", f.year, f.month, f.day);
                texts[k] = buf;
                break;
            }
        }
        values[k] = &texts[k];
    }
    return values;
}

void Statement::sendAhead() {
    StatementTimer timed{*connection_};
    requireValues();
    std::vector<std::string> texts;
    std::vector<const std::string*> values = serverValues(texts);
    connection_->sendAhead(name_, numbered_, values, leavesReadsAhead_);
}

namespace {

std::string keyOfValues(const std::vector<const std::string*>& values) {
    std::string key;
    for (const std::string* v : values) {
        key += v ? '=' : '~';  // a null and an empty text differ
        if (v) key += *v;
        key += '\x1f';
    }
    return key;
}

}  // namespace

std::string Statement::valuesKey() {
    std::vector<std::string> texts;
    return keyOfValues(serverValues(texts));
}

bool Statement::answerReadAhead(const RowHandler& onRow) {
    if (!readAheadRows_ || !connection_->readsAhead()) return false;
    auto rows = std::move(readAheadRows_);
    if (!connection_->takeReadAhead(this, valuesKey())) return false;
    for (std::vector<ds::Cell>& cells : *rows) onRow(cells);
    return true;
}

void Statement::queueAhead(const std::vector<ResultColumn>& columns, RowHandler onRow) {
    StatementTimer timed{*connection_};
    requireValues();
    std::vector<std::string> texts;
    std::vector<const std::string*> values = serverValues(texts);
    connection_->queueAhead(name_, numbered_, values, resultReader(columns, std::move(onRow)));
}

void Query::readAhead() { sendReadAhead(columns_); }

void Statement::sendReadAhead(const std::vector<ResultColumn>& columns) {
    Connection& c = *connection_;
    // Only on a live session: connecting, and trying again when refused, is
    // left to the run itself, which meets whatever is wrong.
    try {
        if (!c.readsAheadAtAll() || c.lost()) return;
        requireValues();
    } catch (const std::exception&) {
        return;
    }
    StatementTimer timed{c};
    std::vector<std::string> texts;
    std::vector<const std::string*> values = serverValues(texts);
    std::string key = keyOfValues(values);
    // Read ahead with these values already, and still good: kept.
    if (readAheadRows_ && c.readsAhead(this, key)) return;
    auto rows = std::make_shared<std::vector<std::vector<ds::Cell>>>();
    readAheadRows_ = rows;
    const bool inTransaction = c.inTransaction();
    try {
        c.readAhead(this, std::move(key), name_, numbered_, values,
                    resultReader(columns, [rows](std::vector<ds::Cell>& cells) { rows->push_back(std::move(cells)); }));
    } catch (const DbError&) {
        // Not sent: the session is closed, and a transaction with it, which
        // must not pass unnoticed. Outside one the run connects again.
        if (inTransaction) throw;
    }
}

std::function<void(const pg_result*)> Statement::resultReader(const std::vector<ResultColumn>& columns,
                                                              RowHandler onRow) const {
    // The reader keeps what it needs by value: it runs at the next exchange.
    std::string where = name_ + " on " + connection_->target().describe();
    return [columns, name = name_, where, onRow = std::move(onRow)](const pg_result* result) {
        const PGresult* r = result;
        if (static_cast<size_t>(PQnfields(r)) != columns.size())
            throw columnsDiffer(where, static_cast<size_t>(PQnfields(r)), columns.size());
        int rows = PQntuples(r);
        for (int row = 0; row < rows; ++row) {
            std::vector<ds::Cell> cells;
            cells.reserve(columns.size());
            for (size_t c = 0; c < columns.size(); ++c) {
                int col = static_cast<int>(c);
                cells.push_back(PQgetisnull(r, row, col)
                                    ? ds::Cell(std::monostate{})
                                    : cellOfServerText(PQgetvalue(r, row, col), PQftype(r, col), columns[c],
                                                       name + ", column " + columns[c].name));
            }
            onRow(cells);
        }
    };
}

void Command::send() {
    if (!connection().sendsAhead()) {
        execute();
        return;
    }
    sendAhead();
}

int64_t Command::execute() {
    if (connection().sendsAhead()) {
        // On a server inside a transaction the command goes behind what
        // waits for its answer (the BEGIN, commands sent ahead), and the
        // exchange that reads theirs reads its count too.
        sendAhead();
        connection().settle();
        return connection().lastAffected();
    }
    int64_t affected = 0;
    run(nullptr, nullptr, &affected);
    // Outside a transaction a server commits the command on its own, and
    // flushes that commit when the command changed rows.
    if (affected > 0 && !connection().inTransaction() && connection().backend() != Backend::Sqlite3)
        countServerCommit();
    return affected;
}

Query::Query(Connection& connection, std::string name, std::string sql, std::vector<ParamDecl> params,
             std::vector<ResultColumn> columns)
    : Statement(connection, std::move(name), std::move(sql), std::move(params)), columns_(std::move(columns)) {}

void Query::open() {
    close();
    std::vector<std::vector<ds::Cell>> rows;
    RowHandler keep = [&rows](std::vector<ds::Cell>& cells) { rows.push_back(std::move(cells)); };
    run(&columns_, &keep, nullptr);
    rows_ = std::move(rows);
    current_ = 0;
    open_ = true;
}

void Query::each(const RowHandler& onRow) {
    close();
    run(&columns_, &onRow, nullptr);
}

std::shared_ptr<std::vector<std::vector<ds::Cell>>> Query::openAhead(bool* waits) {
    auto rows = std::make_shared<std::vector<std::vector<ds::Cell>>>();
    if (waits) *waits = false;
    if (connection().backend() == Backend::PostgreSql) connection().ensureConnected();
    if (connection().backend() != Backend::PostgreSql || !connection().connected()) {
        open();
        *rows = takeRows();
        close();
        return rows;
    }
    close();
    // Read ahead with these values (and still good): that answer, not another.
    RowHandler keep = [rows](std::vector<ds::Cell>& cells) { rows->push_back(std::move(cells)); };
    if (answerReadAhead(keep)) return rows;
    queueAhead(columns_, std::move(keep));
    if (waits) *waits = true;
    return rows;
}

void Query::close() {
    rows_.clear();
    current_ = 0;
    open_ = false;
}

int Query::columnIndex(std::string_view column) const {
    for (size_t i = 0; i < columns_.size(); ++i)
        if (equalsIgnoringCase(columns_[i].name, column)) return static_cast<int>(i);
    return -1;
}

const ds::Cell& Query::value(std::string_view column) const {
    if (!open_) throw DbError("query " + name() + " is closed");
    int c = columnIndex(column);
    if (c < 0) throw DbError("query " + name() + " has no column " + std::string(column));
    if (eof()) throw DbError("query " + name() + " has no current row");
    return rows_[current_][static_cast<size_t>(c)];
}

bool Query::isNull(std::string_view column) const { return ds::isNull(value(column)); }

std::string Query::asText(std::string_view column) const {
    const ds::Cell& c = value(column);
    if (auto* s = std::get_if<std::string>(&c)) return *s;
    if (auto* d = std::get_if<double>(&c)) return numberText(*d);
    if (auto* i = std::get_if<int64_t>(&c)) {
        ColumnType t = columns_[static_cast<size_t>(columnIndex(column))].type;
        if (t == ColumnType::Date) {
            CalendarFields f = DateTime::fromPacketDate(static_cast<int32_t>(*i)).fields();
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", f.year, f.month, f.day);
            return buf;
        }
        return std::to_string(*i);
    }
    return std::string();
}

double Query::asFloat(std::string_view column) const {
    const ds::Cell& c = value(column);
    if (auto* d = std::get_if<double>(&c)) return *d;
    if (auto* i = std::get_if<int64_t>(&c)) return static_cast<double>(*i);
    if (auto* s = std::get_if<std::string>(&c)) return std::get<double>(fromText(*s, ColumnType::Float, name()));
    return 0;
}

DateTime Query::asDateTime(std::string_view column) const {
    const ds::Cell& c = value(column);
    ColumnType t = columns_[static_cast<size_t>(columnIndex(column))].type;
    if (auto* i = std::get_if<int64_t>(&c); i && t == ColumnType::Date)
        return DateTime::fromPacketDate(static_cast<int32_t>(*i));
    if (auto* d = std::get_if<double>(&c); d && t == ColumnType::DateTime) return DateTime::fromPacketDateTime(*d);
    if (ds::isNull(c)) return DateTime();
    throw DbError("column " + std::string(column) + " of " + name() + " is not a date");
}

ds::Packet Provider::packet() {
    Query& q = *query_;
    if (!q.isOpen()) q.open();
    ds::Packet p;
    const auto& cols = q.columns();
    for (size_t c = 0; c < cols.size(); ++c) {
        const ResultColumn& col = cols[c];
        switch (col.type) {
            case ColumnType::Text: {
                size_t width = static_cast<size_t>(std::max(col.width, 1));
                for (const auto& row : q.rows())
                    if (auto* s = std::get_if<std::string>(&row[c])) width = std::max(width, charCount(*s));
                if (width > 65535)
                    throw DbError("column " + col.name + " of " + q.name() + " holds a text too long for a packet");
                p.fields.push_back(ds::FieldDef::string(col.name, static_cast<int>(width)));
                break;
            }
            case ColumnType::Float:
                p.fields.push_back(ds::FieldDef::floatField(col.name));
                break;
            case ColumnType::Integer:
                p.fields.push_back(ds::FieldDef::int32(col.name));
                break;
            case ColumnType::Date:
                p.fields.push_back(ds::FieldDef::date(col.name));
                break;
            case ColumnType::DateTime:
                p.fields.push_back(ds::FieldDef::dateTime(col.name));
                break;
        }
    }
    p.props.push_back(ds::Property::int32("LCID", 1046));  // Portuguese-Brazil, as the station's files
    p.records.reserve(q.rows().size());
    for (const auto& row : q.rows()) p.records.push_back(ds::Record{0, row});
    return p;
}

Variant Provider::data() { return Variant::packet(packet()); }

}  // namespace zel::db
