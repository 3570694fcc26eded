// Helpers of the service package's stand-in: statements, moments, packet reads.
#include "external/service_db/service_sql.h"

#include <fmt/format.h>

#include <cmath>

#include "external/utility/args.h"

namespace zel::ext::svc {

double roundCents(double value) {
    double r = std::round(std::abs(value) * 100.0 + 1e-7) / 100.0;
    return value < 0 ? -r : r;
}

PacketReader::PacketReader(const ds::Packet& packet, std::string operation, std::string where, const FormatSettings& fs)
    : packet_(packet),
      rows_(packet.liveRecords()),
      operation_(std::move(operation)),
      where_(std::move(where)),
      fs_(fs) {}

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
