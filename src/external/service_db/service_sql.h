// Small helpers of the service package's stand-in: one-off statements with
// their parameters, ISO moments, and typed reads of the packets it is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/db/query.h"
#include "platform/db/statement.h"
#include "platform/locale.h"

namespace zel::ext::svc {

using db::sql::cellDate;
using db::sql::cellNumber;
using db::sql::cellText;
using db::sql::date;
using db::sql::exec;
using db::sql::isoMoment;
using db::sql::number;
using db::sql::Param;
using db::sql::Row;
using db::sql::select;
using db::sql::send;
using db::sql::text;
using db::sql::textOrNull;

// Rounds to cents, halves away from zero.
double roundCents(double value);

// The rows of a data packet as the user last saw them, read by field name.
// Every failure is an ArgumentError naming the operation, the position of the
// packet in the list and the field.
class PacketReader {
  public:
    PacketReader(const ds::Packet& packet, std::string operation, std::string where, const FormatSettings& fs);

    size_t size() const { return rows_.size(); }
    bool has(std::string_view field) const { return packet_.fieldIndex(field) >= 0; }
    void require(std::string_view field) const;

    std::string text(size_t row, std::string_view field) const;   // blanks on the right dropped
    double number(size_t row, std::string_view field) const;      // null 0; a text in the station's format
    DateTime dateTime(size_t row, std::string_view field) const;  // date and date-time fields; null empty

  private:
    int index(std::string_view field) const;
    [[noreturn]] void fail(size_t row, std::string_view field, const std::string& problem) const;

    const ds::Packet& packet_;
    std::vector<ds::Record> rows_;
    std::string operation_;
    std::string where_;
    FormatSettings fs_;
};

}  // namespace zel::ext::svc
