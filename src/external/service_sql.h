// Small helpers of the service package's stand-in: one-off statements with
// their parameters, ISO moments, and typed reads of the packets it is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/db/statement.h"
#include "platform/locale.h"

namespace zel::ext::svc {

// One parameter value. Integers travel as texts: every backend converts a text
// into an integer column, while a floating-point value may not be accepted.
struct Param {
    std::string name;
    db::ParamType type = db::ParamType::Text;
    bool null = false;
    std::string text;
    double number = 0;
    DateTime date;
};
Param text(std::string name, std::string value);
Param textOrNull(std::string name, std::string value);  // null for the empty text
Param number(std::string name, double value);
Param date(std::string name, DateTime value);  // null for the empty date

using Row = std::vector<ds::Cell>;

// Runs a command; the rows it touched.
int64_t exec(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params);
// Runs a query; its rows with the declared columns.
std::vector<Row> select(db::Connection& c, const std::string& name, const std::string& sql,
                        const std::vector<Param>& params, const std::vector<db::ResultColumn>& columns);

std::string cellText(const ds::Cell& cell);  // null ""; numbers in invariant form
double cellNumber(const ds::Cell& cell);     // null 0
DateTime cellDate(const ds::Cell& cell);     // a Date column's cell; null the empty date

// "YYYY-MM-DD HH:MM:SS" (with ".mmm" when `millis`).
std::string isoMoment(DateTime dt, bool millis = false);

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

    std::string text(size_t row, std::string_view field) const;  // blanks on the right dropped
    double number(size_t row, std::string_view field) const;     // null 0; a text in the station's format
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
