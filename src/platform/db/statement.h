// Parameterised queries and commands with named :NAME parameters, and the
// provider that turns an open query into a data packet.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/datetime.h"
#include "platform/db/connection.h"
#include "platform/variant.h"

namespace zel::db {

// Lines of a stored statement text joined with CR LF, as they go to the database.
std::string joinLines(std::initializer_list<std::string_view> lines);

enum class ParamType { Text, Date, Float };

struct ParamDecl {
    std::string name;
    ParamType type = ParamType::Text;
};

// Result columns are declared by each statement: SQLite reports no type for a
// computed column, and the packet a provider makes must not depend on the backend.
enum class ColumnType { Text, Float, Integer, Date, DateTime };

struct ResultColumn {
    std::string name;
    ColumnType type = ColumnType::Text;
    int width = 0;  // texts: the least packet width; longer values widen the field
};

// What a statement has in common: its name (for messages), its text, and its
// declared parameters with their values. A value set stays until it is set
// again, as the parameters of a stored statement do. A name that occurs
// several times in the text is set once.
//
// The statement is prepared on the connection at its first run and the
// prepared form is run again with the new values on later runs (on
// PostgreSQL a server-side prepared statement, on SQLite a compiled one). It
// is prepared anew after the connection reconnects, after a run failed, and
// when a value turns null or back, which changes how it is bound.
class Statement {
  public:
    Statement(Connection& connection, std::string name, std::string sql, std::vector<ParamDecl> params);
    virtual ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // True while a prepared form is kept on the connection (for tests).
    bool prepared() const { return prepared_ != nullptr; }
    // How many times the statement was prepared so far (for tests).
    int prepareCount() const { return prepareCount_; }

    const std::string& name() const { return name_; }
    const std::string& sql() const { return sql_; }
    Connection& connection() const { return *connection_; }
    const std::vector<ParamDecl>& params() const { return params_; }
    // Occurrences of :NAME in the text, in order.
    const std::vector<std::string>& occurrences() const { return occurrences_; }

    // Throw DbError when the name is not declared or of another type. A text
    // is passed whole whatever its length.
    void setText(std::string_view param, std::string value);
    void setDate(std::string_view param, DateTime value);  // the calendar day; the time of day is dropped
    void setFloat(std::string_view param, double value);
    void setNull(std::string_view param);

  protected:
    struct Value {
        bool set = false;
        bool null = false;
        std::string text;
        DateTime date;
        double number = 0;
    };
    size_t paramIndex(std::string_view param, ParamType type) const;
    void requireValues() const;  // throws DbError naming a parameter without a value
    using RowHandler = std::function<void(std::vector<ds::Cell>&)>;
    // Prepares the statement on the connection with every value bound and runs
    // it; a query's rows go to `onRow` one at a time, as they are read.
    // Errors come as DbError naming the statement and the database.
    void run(const std::vector<ResultColumn>* columns, const RowHandler* onRow, int64_t* affected);
    // Sends the statement ahead with its values (see Connection::sendAhead).
    void sendAhead();
    // The statement's values as they travel to a server as text (null for
    // SQL NULL), one per occurrence; `texts` holds the ones made here.
    std::vector<const std::string*> serverValues(std::vector<std::string>& texts);
    // A query sent behind what waits in the pipeline; its rows go to `onRow`
    // at the next exchange (Connection::queueAhead).
    void queueAhead(const std::vector<ResultColumn>& columns, RowHandler onRow);
    // What reads a server's result into rows of the declared columns for `onRow`.
    std::function<void(const pg_result*)> resultReader(const std::vector<ResultColumn>& columns,
                                                       RowHandler onRow) const;
    // Query::readAhead for these columns.
    void sendReadAhead(const std::vector<ResultColumn>& columns);
    // The values as one text, to tell whether a run has the values of a read ahead.
    std::string valuesKey();
    // Hands `onRow` the rows read ahead for this run, when they were read
    // with its values; false when there are none (they are forgotten).
    bool answerReadAhead(const RowHandler& onRow);

  private:
    struct Prepared;
    void release();

    Connection* connection_;
    std::unique_ptr<Prepared> prepared_;
    int prepareCount_ = 0;
    std::string name_;
    std::string sql_;
    std::vector<ParamDecl> params_;
    std::vector<std::string> occurrences_;
    std::vector<size_t> occurrenceParams_;  // per occurrence: its declared parameter
    std::vector<Value> values_;
    std::string numbered_;                // the text with $1..$n, made at the first send ahead
    // The rows of this statement's last read ahead (Query::readAhead), filled at its exchange.
    std::shared_ptr<std::vector<std::vector<ds::Cell>>> readAheadRows_;

  protected:
    bool leavesReadsAhead_ = false;  // Command::leaveReadsAhead
};

// A statement that changes data. No time-out is set on it.
class Command : public Statement {
  public:
    using Statement::Statement;
    // Runs the command; the number of rows it touched.
    int64_t execute();
    // For a command whose count nobody reads: on a server inside a
    // transaction it is sent ahead and its answer read at the next exchange,
    // where a failure shows (at the latest at the commit); elsewhere it runs
    // at once. Throws DbError.
    void send();
    // For a command that writes nothing any query reads ahead: sending it
    // leaves the answers read ahead on the connection good.
    void leaveReadsAhead() { leavesReadsAhead_ = true; }
};

// A query. Opening it runs it and keeps its rows until it is closed or opened
// again; the cursor starts on the first row. The rows are read at once, so an
// open query holds no cursor or lock in the database.
class Query : public Statement {
  public:
    Query(Connection& connection, std::string name, std::string sql, std::vector<ParamDecl> params,
          std::vector<ResultColumn> columns);

    void open();  // closes first, so each run sees fresh rows
    // Runs the query for rows read later, apart from the query's own: on
    // PostgreSQL it is sent now and its rows arrive with the connection's
    // next exchange (Connection::settle, or any statement run), so that
    // several queries cost one exchange; elsewhere it runs at once. The
    // query is left closed. `waits` (when given) tells whether the rows are
    // still on their way, or were there already (read ahead, or run at once).
    std::shared_ptr<std::vector<std::vector<ds::Cell>>> openAhead(bool* waits = nullptr);
    // On PostgreSQL: sends the query with its present values into the
    // pipeline, to travel with the connection's next exchange, and keeps its
    // rows for its next run with the same values, which then costs no
    // exchange (see Connection::readAhead for how long they hold). Outside a
    // transaction a failure is left to that run to meet. Elsewhere nothing:
    // a read there is not worth saving.
    void readAhead();
    void close();
    bool isOpen() const { return open_; }

    size_t rowCount() const { return rows_.size(); }
    bool isEmpty() const { return rows_.empty(); }
    bool eof() const { return current_ >= rows_.size(); }
    void first() { current_ = 0; }
    void next() {
        if (current_ < rows_.size()) ++current_;
    }

    const std::vector<ResultColumn>& columns() const { return columns_; }
    int columnIndex(std::string_view column) const;  // ignoring letter case; -1 when absent
    // Values of the current row; throw DbError when the query is closed, has no
    // current row or the column is not declared.
    const ds::Cell& value(std::string_view column) const;
    bool isNull(std::string_view column) const;
    std::string asText(std::string_view column) const;   // null reads as ""
    double asFloat(std::string_view column) const;       // null reads as 0
    DateTime asDateTime(std::string_view column) const;  // null reads as the empty date

    const std::vector<std::vector<ds::Cell>>& rows() const { return rows_; }
    // Runs the query and hands each row to `onRow` as it is read, keeping
    // none: the query is left closed. For long results read once.
    void each(const RowHandler& onRow);
    // The rows handed over whole; the query is left open on no row.
    std::vector<std::vector<ds::Cell>> takeRows() {
        current_ = 0;
        return std::move(rows_);
    }

  private:
    std::vector<ResultColumn> columns_;
    std::vector<std::vector<ds::Cell>> rows_;
    size_t current_ = 0;
    bool open_ = false;
};

// Turns a query's rows into a data packet: the fields are the query's declared
// columns, a text field as wide as its declaration and its longest value.
class Provider {
  public:
    explicit Provider(Query& query) : query_(&query) {}
    Query& query() const { return *query_; }
    // Opens the query when it is closed; the packet of all its rows.
    ds::Packet packet();
    Variant data();  // the packet as a variant

  private:
    Query* query_;
};

}  // namespace zel::db
