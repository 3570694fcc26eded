// The filter language of the working tables: parsed once into a tree, bound to
// a table's fields, evaluated per row with SQL's three-valued logic.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace zel::ds {

// A filter text that does not parse, or names a field the table lacks.
class FilterError : public Error {
  public:
    using Error::Error;
};

// A value as filters, locates and index orders compare it: texts by bytes,
// everything numeric (integers, floats, Booleans, dates and times as day
// counts) as a double.
struct Scalar {
    enum class Kind { Null, Text, Number };
    Kind kind = Kind::Null;
    std::string text;
    double number = 0;

    static Scalar null() { return {}; }
    static Scalar ofText(std::string s) { return {Kind::Text, std::move(s), 0}; }
    static Scalar ofNumber(double d) { return {Kind::Number, {}, d}; }
    bool isNull() const { return kind == Kind::Null; }
};

// How a field's cells compare: as text, as a number, or not at all (BCD,
// nested tables, blobs other than memos).
enum class ScalarKind { Text, Number, Other };
ScalarKind scalarKind(const FieldDef& field);

// The comparable value of a cell of `field`. A date, time or date-time becomes
// its day count with the time of day as the fraction.
Scalar cellScalar(const Cell& cell, const FieldDef& field);
Scalar cellScalar(const Cell& cell, uint8_t typeCode);

// Ordering of index keys: null first, then numbers, then texts by bytes.
int compareScalars(const Scalar& a, const Scalar& b);

// The hash key of a list of values: equal keys exactly when every value is
// equal (with +0 and -0 one number). `foldCase` folds the letters of texts
// (ASCII and Latin-1) so that keys match ignoring letter case.
void appendKey(std::string& key, const Scalar& value, bool foldCase);

// Lower-case of the ASCII and Latin-1 letters of a UTF-8 text.
std::string foldCase(std::string_view utf8);

enum class Truth { False, True, Unknown };

class Filter {
  public:
    // Parses `text`; throws FilterError naming the 1-based character position
    // and what was expected there. An empty or blank text is no filter.
    static Filter parse(std::string_view text);

    Filter();
    ~Filter();
    Filter(Filter&&) noexcept;
    Filter& operator=(Filter&&) noexcept;
    Filter(const Filter&);
    Filter& operator=(const Filter&);

    const std::string& text() const { return text_; }
    bool isEmpty() const;

    // Resolves field names (ignoring letter case) and converts literals
    // compared with numeric or date fields to numbers through `fs`. Throws
    // FilterError naming an unknown field or a literal that does not fit.
    void bind(const std::vector<FieldDef>& fields, const FormatSettings& fs);
    bool isBound() const { return bound_; }

    // Evaluates against a row of the bound fields. A comparison with null is
    // unknown, NOT unknown is unknown, and only a true row passes.
    Truth evaluate(const std::vector<Cell>& row) const;
    bool accepts(const std::vector<Cell>& row) const { return evaluate(row) == Truth::True; }

    // When the bound expression is a conjunction (nested ANDs count as one)
    // with equalities of fields with literals of their kind among its terms:
    // those equalities, one per field, sorted by field; else empty. A row
    // passes the filter exactly when it matches every one of them and
    // evaluateResidual gives true for it, so a table may take the candidates
    // from a hash index on the equality fields and test only the rest.
    struct Equality {
        int field;
        Scalar value;
    };
    const std::vector<Equality>& equalities() const { return equalities_; }
    bool hasEqualities() const { return !equalities_.empty(); }
    // The equalities are the whole filter.
    bool isEqualityConjunction() const { return !equalities_.empty() && residual_.empty(); }
    // The other terms of the conjunction, under the three-valued AND: true
    // when there are none.
    Truth evaluateResidual(const std::vector<Cell>& row) const;

    struct Node;

  private:
    void analyse();

    std::string text_;
    std::unique_ptr<Node> root_;
    bool bound_ = false;
    std::vector<Equality> equalities_;
    std::vector<const Node*> residual_;  // terms of root_ besides the equalities
};

// A text literal of the filter language holding `value` exactly: quoted, with
// quotes inside doubled. Values must enter a filter only through this.
std::string quoteFilterLiteral(std::string_view value);

}  // namespace zel::ds
