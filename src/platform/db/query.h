// One-off statements with named parameters, for the programs and packages
// that run a few statements of their own: a parameter list built inline, the
// rows read whole, cells read as text, number or date.
#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/db/statement.h"

namespace zel::db::sql {

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
// A write whose count nobody reads: sent ahead inside a transaction on a
// server, its failure shown at the next exchange or the commit (see
// Command::send); run at once elsewhere.
void send(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params);
// Runs a query; its rows with the declared columns.
std::vector<Row> select(db::Connection& c, const std::string& name, const std::string& sql,
                        const std::vector<Param>& params, const std::vector<db::ResultColumn>& columns);

// A query of selectTogether.
struct Select {
    std::string name, sql;
    std::vector<Param> params;
    std::vector<db::ResultColumn> columns;
};
// Runs one query so described.
std::vector<Row> select(db::Connection& c, const Select& query);
// Runs queries together: on PostgreSQL in one exchange
// (with whatever waits to be answered), none when every one was read ahead
// already, elsewhere one after another. Their
// rows, in the queries' order. The queries of `later` travel in the same
// exchange behind them, read ahead (Query::readAhead) for the runs of the
// same texts and values that come later; elsewhere they wait for those runs.
std::vector<std::vector<Row>> selectTogether(db::Connection& c, const std::vector<Select>& queries,
                                             const std::vector<Select>& later = {});
// Sends the queries ahead (Query::readAhead) without waiting for anything: a
// later select or selectTogether with the same texts and values takes their
// answers instead of asking again. Nothing is sent on SQLite.
void readAhead(db::Connection& c, const std::vector<Select>& queries);

// Runs a query and hands each row to `onRow` as it is read, keeping none: for
// long results. `onRow` must not run statements of its own on `c`.
void selectEach(db::Connection& c, const std::string& name, const std::string& sql, const std::vector<Param>& params,
                const std::vector<db::ResultColumn>& columns, const std::function<void(Row&)>& onRow);

std::string cellText(const ds::Cell& cell);  // null ""; numbers in invariant form
double cellNumber(const ds::Cell& cell);     // null 0
DateTime cellDate(const ds::Cell& cell);     // a Date column's cell; null the empty date

// "YYYY-MM-DD HH:MM:SS" (with ".mmm" when `millis`).
std::string isoMoment(DateTime dt, bool millis = false);

// Runs `work` in a transaction of its own: committed when it returns, rolled
// back when it throws.
template <typename F>
auto inTransaction(db::Connection& c, F&& work) {
    c.ensureConnected();
    c.beginTransaction();
    try {
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            c.commit();
        } else {
            auto result = work();
            c.commit();
            return result;
        }
    } catch (...) {
        try {
            c.rollback();
        } catch (...) {}
        throw;
    }
}

}  // namespace zel::db::sql
