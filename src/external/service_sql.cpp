// Helpers of the service package's stand-in: statements, moments, packet reads.
#include "external/service_sql.h"

#include <fmt/format.h>

#include <cmath>

#include "external/args.h"

namespace zel::ext::svc {

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
        if (p.null)
            st.setNull(p.name);
        else if (p.type == db::ParamType::Text)
            st.setText(p.name, p.text);
        else if (p.type == db::ParamType::Float)
            st.setFloat(p.name, p.number);
        else
            st.setDate(p.name, p.date);
    }
}

}  // namespace

int64_t exec(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params) {
    db::Command cmd(c, name, sql, declare(params));
    bindValues(cmd, params);
    return cmd.execute();
}

std::vector<Row> select(db::Connection& c, const std::string& name, const std::string& sql,
                        const std::vector<Param>& params, const std::vector<db::ResultColumn>& columns) {
    db::Query q(c, name, sql, declare(params), columns);
    bindValues(q, params);
    q.open();
    std::vector<Row> rows = q.rows();
    q.close();
    return rows;
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
    std::string s = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", f.year, f.month, f.day, f.hour, f.minute,
                                f.second);
    if (millis) s += fmt::format(".{:03}", f.millisecond);
    return s;
}

double roundCents(double value) {
    double r = std::round(std::abs(value) * 100.0 + 1e-7) / 100.0;
    return value < 0 ? -r : r;
}

PacketReader::PacketReader(const ds::Packet& packet, std::string operation, std::string where,
                           const FormatSettings& fs)
    : packet_(packet), rows_(packet.liveRecords()), operation_(std::move(operation)), where_(std::move(where)), fs_(fs) {}

void PacketReader::fail(size_t row, std::string_view field, const std::string& problem) const {
    throw ArgumentError(fmt::format("{}: {}, line {}, field {}: {}", operation_, where_, row + 1, field, problem));
}

int PacketReader::index(std::string_view field) const {
    int i = packet_.fieldIndex(field);
    if (i < 0) throw ArgumentError(fmt::format("{}: {} has no field {}", operation_, where_, field));
    return i;
}

void PacketReader::require(std::string_view field) const { index(field); }

std::string PacketReader::text(size_t row, std::string_view field) const {
    const ds::Cell& c = rows_.at(row).cells.at(static_cast<size_t>(index(field)));
    std::string s = cellText(c);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

double PacketReader::number(size_t row, std::string_view field) const {
    const ds::Cell& c = rows_.at(row).cells.at(static_cast<size_t>(index(field)));
    if (const auto* s = std::get_if<std::string>(&c)) {
        double v = 0;
        if (s->find_first_not_of(' ') == std::string::npos) return 0;
        if (!tryStrToFloat(*s, fs_, v)) fail(row, field, "'" + *s + "' is not a number");
        return v;
    }
    if (std::holds_alternative<bool>(c)) fail(row, field, "a Boolean where a number is expected");
    return cellNumber(c);
}

DateTime PacketReader::dateTime(size_t row, std::string_view field) const {
    int i = index(field);
    const ds::Cell& c = rows_.at(row).cells.at(static_cast<size_t>(i));
    if (ds::isNull(c)) return DateTime();
    uint8_t type = packet_.fields[static_cast<size_t>(i)].typeCode();
    if (type == ds::kDate) return DateTime::fromPacketDate(static_cast<int32_t>(cellNumber(c)));
    if (type == ds::kDateTime) return DateTime::fromPacketDateTime(cellNumber(c));
    fail(row, field, "not a date field");
}

}  // namespace zel::ext::svc
