// The filter language: lexer, recursive-descent parser into a tree, binding to
// a table's fields and three-valued evaluation.
#include "platform/dataset/filter.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "platform/datetime.h"

namespace zel::ds {

// ---------------------------------------------------------------- values

ScalarKind scalarKind(const FieldDef& field) {
    switch (field.typeCode()) {
        case kString:
        case kWString:
            return ScalarKind::Text;
        case kBytes:
            return field.subtype() == "Text" ? ScalarKind::Text : ScalarKind::Other;
        case kInt:
        case kUInt:
        case kBool:
        case kFloat:
        case kDate:
        case kTime:
        case kDateTime:
            return ScalarKind::Number;
        default:
            return ScalarKind::Other;
    }
}

Scalar cellScalar(const Cell& cell, uint8_t typeCode) {
    if (auto* s = std::get_if<std::string>(&cell)) return Scalar::ofText(*s);
    if (auto* d = std::get_if<double>(&cell)) {
        if (typeCode == kDateTime) return Scalar::ofNumber(DateTime::fromPacketDateTime(*d).value());
        return Scalar::ofNumber(*d);
    }
    if (auto* i = std::get_if<int64_t>(&cell)) {
        auto v32 = static_cast<int32_t>(std::clamp<int64_t>(*i, INT32_MIN, INT32_MAX));
        if (typeCode == kDate) return Scalar::ofNumber(DateTime::fromPacketDate(v32).value());
        if (typeCode == kTime) return Scalar::ofNumber(DateTime::fromPacketTime(v32).value());
        return Scalar::ofNumber(static_cast<double>(*i));
    }
    if (auto* b = std::get_if<bool>(&cell)) return Scalar::ofNumber(*b ? 1 : 0);
    return Scalar::null();
}

Scalar cellScalar(const Cell& cell, const FieldDef& field) { return cellScalar(cell, field.typeCode()); }

int compareScalars(const Scalar& a, const Scalar& b) {
    if (a.kind != b.kind) return static_cast<int>(a.kind) < static_cast<int>(b.kind) ? -1 : 1;
    switch (a.kind) {
        case Scalar::Kind::Null:
            return 0;
        case Scalar::Kind::Number:
            return a.number < b.number ? -1 : (b.number < a.number ? 1 : 0);
        case Scalar::Kind::Text: {
            int c = a.text.compare(b.text);
            return c < 0 ? -1 : (c > 0 ? 1 : 0);
        }
    }
    return 0;
}

std::string foldCase(std::string_view s) {
    std::string out(s);
    for (size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c + 32);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            // U+00C0..U+00DE are the Latin-1 capitals (U+00D7 is the sign ×).
            auto d = static_cast<unsigned char>(out[i + 1]);
            if (d >= 0x80 && d <= 0x9E && d != 0x97) out[i + 1] = static_cast<char>(d + 0x20);
            ++i;
        }
    }
    return out;
}

void appendKey(std::string& key, const Scalar& value, bool fold) {
    switch (value.kind) {
        case Scalar::Kind::Null:
            key += 'Z';
            break;
        case Scalar::Kind::Number: {
            key += 'N';
            double d = value.number == 0 ? 0.0 : value.number;  // +0 and -0 are one key
            char bytes[sizeof d];
            std::memcpy(bytes, &d, sizeof d);
            key.append(bytes, sizeof d);
            break;
        }
        case Scalar::Kind::Text: {
            key += 'T';
            auto n = static_cast<uint32_t>(value.text.size());
            char len[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                           static_cast<char>(n >> 24)};
            key.append(len, 4);
            key += fold ? foldCase(value.text) : value.text;
            break;
        }
    }
}

std::string quoteFilterLiteral(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

// ---------------------------------------------------------------- tree

enum class CompareOp { Eq, Ne, Lt, Gt, Le, Ge };

struct Filter::Node {
    enum class Kind { And, Or, Not, Compare, IsNull, Field, Literal };
    Kind kind;
    std::vector<std::unique_ptr<Node>> kids;
    CompareOp op = CompareOp::Eq;
    bool negated = false;  // IS NOT NULL
    size_t pos = 0;        // 1-based character of the node's first token
    // Field: name as written; after binding its index, type and kind.
    std::string name;
    int field = -1;
    uint8_t typeCode = 0;
    ScalarKind fieldKind = ScalarKind::Other;
    // Literal: the value as written (text, or a number with its spelling) and,
    // after binding, the value converted to the type it is compared with.
    Scalar literal;
    std::string spelling;
    Scalar bound;

    explicit Node(Kind k) : kind(k) {}

    std::unique_ptr<Node> clone() const {
        auto n = std::make_unique<Node>(kind);
        for (auto& k : kids) n->kids.push_back(k->clone());
        n->op = op;
        n->negated = negated;
        n->pos = pos;
        n->name = name;
        n->field = field;
        n->typeCode = typeCode;
        n->fieldKind = fieldKind;
        n->literal = literal;
        n->spelling = spelling;
        n->bound = bound;
        return n;
    }
};

namespace {

using Node = Filter::Node;

constexpr size_t kMaxDepth = 200;

size_t charPosition(std::string_view text, size_t byteOffset) {
    size_t n = 1;
    for (size_t i = 0; i < byteOffset && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
    return n;
}

std::string shortText(std::string_view text) {
    if (text.size() <= 120) return std::string(text);
    return std::string(text.substr(0, 117)) + "...";
}

struct Token {
    enum class Type { End, Name, Text, Number, Op, LParen, RParen, Minus };
    Type type = Type::End;
    std::string value;  // name, text value, number spelling, operator
    bool bracketed = false;
    size_t offset = 0;
};

bool isNameStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool isNameChar(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }

bool keywordIs(const Token& t, const char* kw) {
    return t.type == Token::Type::Name && !t.bracketed && t.value.size() == std::strlen(kw) &&
           std::equal(t.value.begin(), t.value.end(), kw,
                      [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) { advance(); }

    std::unique_ptr<Node> parseAll() {
        auto n = parseOr(0);
        if (tok_.type != Token::Type::End) fail("AND, OR or the end of the text");
        return n;
    }

  private:
    std::string_view text_;
    size_t at_ = 0;
    Token tok_;

    [[noreturn]] void failAt(size_t offset, const std::string& what) const {
        throw FilterError(
            fmt::format("filter \"{}\": at character {}: {}", shortText(text_), charPosition(text_, offset), what));
    }

    std::string describe(const Token& t) const {
        switch (t.type) {
            case Token::Type::End:
                return "the end of the text";
            case Token::Type::Name:
                return fmt::format("'{}'", shortText(t.value));
            case Token::Type::Text:
                return "a text literal";
            case Token::Type::Number:
                return fmt::format("the number {}", t.value);
            case Token::Type::Op:
                return fmt::format("'{}'", t.value);
            case Token::Type::LParen:
                return "'('";
            case Token::Type::RParen:
                return "')'";
            case Token::Type::Minus:
                return "'-'";
        }
        return "?";
    }

    [[noreturn]] void fail(const std::string& expected) const {
        failAt(tok_.offset, fmt::format("expected {}, found {}", expected, describe(tok_)));
    }

    void advance() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
        tok_ = Token{};
        tok_.offset = at_;
        if (at_ >= text_.size()) return;
        auto c = static_cast<unsigned char>(text_[at_]);
        if (c == '\'') {
            std::string v;
            size_t i = at_ + 1;
            for (;;) {
                if (i >= text_.size()) failAt(at_, "text literal not closed by a quote");
                if (text_[i] == '\'') {
                    if (i + 1 < text_.size() && text_[i + 1] == '\'') {
                        v += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                v += text_[i++];
            }
            tok_.type = Token::Type::Text;
            tok_.value = std::move(v);
            at_ = i;
        } else if (c == '[') {
            size_t end = text_.find(']', at_ + 1);
            if (end == std::string_view::npos) failAt(at_, "field name in brackets not closed by ']'");
            if (end == at_ + 1) failAt(at_, "expected a field name inside the brackets");
            tok_.type = Token::Type::Name;
            tok_.bracketed = true;
            tok_.value = std::string(text_.substr(at_ + 1, end - at_ - 1));
            at_ = end + 1;
        } else if (isNameStart(c)) {
            size_t i = at_;
            while (i < text_.size() && isNameChar(static_cast<unsigned char>(text_[i]))) ++i;
            tok_.type = Token::Type::Name;
            tok_.value = std::string(text_.substr(at_, i - at_));
            at_ = i;
        } else if (std::isdigit(c) ||
                   (c == '.' && at_ + 1 < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_ + 1])))) {
            size_t i = at_;
            auto digits = [&] {
                while (i < text_.size() && std::isdigit(static_cast<unsigned char>(text_[i]))) ++i;
            };
            digits();
            if (i < text_.size() && text_[i] == '.') {
                ++i;
                digits();
            }
            if (i < text_.size() && (text_[i] == 'e' || text_[i] == 'E')) {
                size_t j = i + 1;
                if (j < text_.size() && (text_[j] == '+' || text_[j] == '-')) ++j;
                if (j < text_.size() && std::isdigit(static_cast<unsigned char>(text_[j]))) {
                    i = j;
                    digits();
                }
            }
            if (i < text_.size() && isNameChar(static_cast<unsigned char>(text_[i])))
                failAt(i, fmt::format("unexpected character '{}' in a number", text_[i]));
            tok_.type = Token::Type::Number;
            tok_.value = std::string(text_.substr(at_, i - at_));
            at_ = i;
        } else if (c == '(' || c == ')') {
            tok_.type = c == '(' ? Token::Type::LParen : Token::Type::RParen;
            ++at_;
        } else if (c == '-') {
            tok_.type = Token::Type::Minus;
            ++at_;
        } else if (c == '=' || c == '<' || c == '>') {
            size_t len = 1;
            if (at_ + 1 < text_.size()) {
                char d = text_[at_ + 1];
                if ((c == '<' && (d == '=' || d == '>')) || (c == '>' && d == '=')) len = 2;
            }
            tok_.type = Token::Type::Op;
            tok_.value = std::string(text_.substr(at_, len));
            at_ += len;
        } else {
            std::string shown =
                c >= 0x20 && c < 0x7F ? fmt::format("'{}'", static_cast<char>(c)) : fmt::format("byte 0x{:02X}", c);
            failAt(at_, "unexpected character " + shown);
        }
    }

    std::unique_ptr<Node> parseOr(size_t depth) {
        auto first = parseAnd(depth);
        if (!keywordIs(tok_, "OR")) return first;
        auto n = std::make_unique<Node>(Node::Kind::Or);
        n->pos = first->pos;
        n->kids.push_back(std::move(first));
        while (keywordIs(tok_, "OR")) {
            advance();
            n->kids.push_back(parseAnd(depth));
        }
        return n;
    }

    std::unique_ptr<Node> parseAnd(size_t depth) {
        auto first = parseNot(depth);
        if (!keywordIs(tok_, "AND")) return first;
        auto n = std::make_unique<Node>(Node::Kind::And);
        n->pos = first->pos;
        n->kids.push_back(std::move(first));
        while (keywordIs(tok_, "AND")) {
            advance();
            n->kids.push_back(parseNot(depth));
        }
        return n;
    }

    std::unique_ptr<Node> parseNot(size_t depth) {
        if (depth > kMaxDepth) failAt(tok_.offset, "expression nested too deeply");
        if (keywordIs(tok_, "NOT")) {
            auto n = std::make_unique<Node>(Node::Kind::Not);
            n->pos = charPosition(text_, tok_.offset);
            advance();
            n->kids.push_back(parseNot(depth + 1));
            return n;
        }
        return parsePredicate(depth);
    }

    std::unique_ptr<Node> parsePredicate(size_t depth) {
        if (tok_.type == Token::Type::LParen) {
            advance();
            auto inner = parseOr(depth + 1);
            if (tok_.type != Token::Type::RParen) fail("')'");
            advance();
            return inner;
        }
        auto left = parseOperand();
        if (keywordIs(tok_, "IS")) {
            auto n = std::make_unique<Node>(Node::Kind::IsNull);
            n->pos = left->pos;
            advance();
            if (keywordIs(tok_, "NOT")) {
                n->negated = true;
                advance();
            }
            if (!keywordIs(tok_, "NULL")) fail(n->negated ? "NULL" : "NULL or NOT NULL");
            advance();
            n->kids.push_back(std::move(left));
            return n;
        }
        if (tok_.type != Token::Type::Op) fail("a comparison (=, <>, <, >, <=, >=) or IS [NOT] NULL");
        auto n = std::make_unique<Node>(Node::Kind::Compare);
        n->pos = left->pos;
        const std::string& o = tok_.value;
        n->op = o == "="    ? CompareOp::Eq
                : o == "<>" ? CompareOp::Ne
                : o == "<"  ? CompareOp::Lt
                : o == ">"  ? CompareOp::Gt
                : o == "<=" ? CompareOp::Le
                            : CompareOp::Ge;
        advance();
        n->kids.push_back(std::move(left));
        n->kids.push_back(parseOperand());
        return n;
    }

    std::unique_ptr<Node> parseOperand() {
        size_t pos = charPosition(text_, tok_.offset);
        if (tok_.type == Token::Type::Name) {
            if (!tok_.bracketed && (keywordIs(tok_, "AND") || keywordIs(tok_, "OR") || keywordIs(tok_, "NOT") ||
                                    keywordIs(tok_, "IS") || keywordIs(tok_, "NULL")))
                fail("a field name, a text literal or a number");
            auto n = std::make_unique<Node>(Node::Kind::Field);
            n->pos = pos;
            n->name = tok_.value;
            advance();
            return n;
        }
        if (tok_.type == Token::Type::Text) {
            auto n = std::make_unique<Node>(Node::Kind::Literal);
            n->pos = pos;
            n->literal = Scalar::ofText(tok_.value);
            n->spelling = tok_.value;
            advance();
            return n;
        }
        bool negative = false;
        if (tok_.type == Token::Type::Minus) {
            negative = true;
            advance();
            if (tok_.type != Token::Type::Number) fail("a number after '-'");
        }
        if (tok_.type == Token::Type::Number) {
            auto n = std::make_unique<Node>(Node::Kind::Literal);
            n->pos = pos;
            n->spelling = (negative ? "-" : "") + tok_.value;
            double v = 0;
            if (!tryStrToFloat(n->spelling, FormatSettings::invariant(), v))
                failAt(tok_.offset, fmt::format("the number {} is out of range", n->spelling));
            n->literal = Scalar::ofNumber(v);
            advance();
            return n;
        }
        fail("a field name, a text literal or a number");
    }
};

bool isDateType(uint8_t code) { return code == kDate || code == kTime || code == kDateTime; }

// Gives `lit` the type of the field it is compared with.
void bindLiteral(Node& lit, const Node* other, const FormatSettings& fs, std::string_view text) {
    lit.bound = lit.literal;
    if (!other || other->kind != Node::Kind::Field) return;
    if (other->fieldKind == ScalarKind::Text && lit.literal.kind == Scalar::Kind::Number) {
        lit.bound = Scalar::ofText(lit.spelling);
    } else if (other->fieldKind == ScalarKind::Number && lit.literal.kind == Scalar::Kind::Text) {
        const std::string& s = lit.literal.text;
        double v = 0;
        bool ok = false;
        if (isDateType(other->typeCode)) {
            try {
                DateTime dt = other->typeCode == kTime   ? strToTime(s, fs)
                              : other->typeCode == kDate ? strToDate(s, fs)
                                                         : strToDateTime(s, fs);
                v = dt.value();
                ok = true;
            } catch (const ConvertError&) {}
        } else {
            ok = tryStrToFloat(s, FormatSettings::invariant(), v) || tryStrToFloat(s, fs, v);
        }
        if (!ok)
            throw FilterError(fmt::format("filter \"{}\": at character {}: '{}' is not a {} for field {}",
                                          shortText(text), lit.pos, shortText(s),
                                          isDateType(other->typeCode) ? "date or time" : "number", other->name));
        lit.bound = Scalar::ofNumber(v);
    }
}

void bindNode(Node& n, const std::vector<FieldDef>& fields, const FormatSettings& fs, std::string_view text) {
    for (auto& k : n.kids) bindNode(*k, fields, fs, text);
    switch (n.kind) {
        case Node::Kind::Field: {
            int found = -1;
            for (size_t i = 0; i < fields.size(); ++i) {
                const std::string& f = fields[i].name;
                if (f.size() == n.name.size() && std::equal(f.begin(), f.end(), n.name.begin(), [](char a, char b) {
                        return std::toupper(static_cast<unsigned char>(a)) ==
                               std::toupper(static_cast<unsigned char>(b));
                    })) {
                    found = static_cast<int>(i);
                    break;
                }
            }
            if (found < 0)
                throw FilterError(
                    fmt::format("filter \"{}\": at character {}: unknown field {}", shortText(text), n.pos, n.name));
            n.field = found;
            n.typeCode = fields[static_cast<size_t>(found)].typeCode();
            n.fieldKind = scalarKind(fields[static_cast<size_t>(found)]);
            break;
        }
        case Node::Kind::Compare: {
            for (auto& k : n.kids)
                if (k->kind == Node::Kind::Field && k->fieldKind == ScalarKind::Other)
                    throw FilterError(fmt::format("filter \"{}\": at character {}: field {} cannot be compared",
                                                  shortText(text), k->pos, k->name));
            Node& a = *n.kids[0];
            Node& b = *n.kids[1];
            if (a.kind == Node::Kind::Literal) bindLiteral(a, &b, fs, text);
            if (b.kind == Node::Kind::Literal) bindLiteral(b, &a, fs, text);
            break;
        }
        case Node::Kind::Literal:
            n.bound = n.literal;
            break;
        default:
            break;
    }
}

Scalar operandValue(const Node& n, const std::vector<Cell>& row) {
    if (n.kind == Node::Kind::Literal) return n.bound;
    if (n.field < 0 || static_cast<size_t>(n.field) >= row.size()) return Scalar::null();
    return cellScalar(row[static_cast<size_t>(n.field)], n.typeCode);
}

// A number beside a text compares as its invariant spelling.
void alignKinds(Scalar& a, Scalar& b) {
    if (a.kind == b.kind) return;
    Scalar& num = a.kind == Scalar::Kind::Number ? a : b;
    num = Scalar::ofText(floatToStr(num.number, FormatSettings::invariant()));
}

Truth evaluateNode(const Node& n, const std::vector<Cell>& row) {
    switch (n.kind) {
        case Node::Kind::And: {
            Truth r = Truth::True;
            for (auto& k : n.kids) {
                Truth t = evaluateNode(*k, row);
                if (t == Truth::False) return Truth::False;
                if (t == Truth::Unknown) r = Truth::Unknown;
            }
            return r;
        }
        case Node::Kind::Or: {
            Truth r = Truth::False;
            for (auto& k : n.kids) {
                Truth t = evaluateNode(*k, row);
                if (t == Truth::True) return Truth::True;
                if (t == Truth::Unknown) r = Truth::Unknown;
            }
            return r;
        }
        case Node::Kind::Not: {
            Truth t = evaluateNode(*n.kids[0], row);
            return t == Truth::Unknown ? t : (t == Truth::True ? Truth::False : Truth::True);
        }
        case Node::Kind::IsNull: {
            bool null = operandValue(*n.kids[0], row).isNull();
            return null != n.negated ? Truth::True : Truth::False;
        }
        case Node::Kind::Compare: {
            Scalar a = operandValue(*n.kids[0], row);
            Scalar b = operandValue(*n.kids[1], row);
            if (a.isNull() || b.isNull()) return Truth::Unknown;
            alignKinds(a, b);
            bool r = false;
            if (a.kind == Scalar::Kind::Number) {
                double x = a.number, y = b.number;
                switch (n.op) {
                    case CompareOp::Eq:
                        r = x == y;
                        break;
                    case CompareOp::Ne:
                        r = x != y;
                        break;
                    case CompareOp::Lt:
                        r = x < y;
                        break;
                    case CompareOp::Gt:
                        r = x > y;
                        break;
                    case CompareOp::Le:
                        r = x <= y;
                        break;
                    case CompareOp::Ge:
                        r = x >= y;
                        break;
                }
            } else {
                int c = a.text.compare(b.text);
                switch (n.op) {
                    case CompareOp::Eq:
                        r = c == 0;
                        break;
                    case CompareOp::Ne:
                        r = c != 0;
                        break;
                    case CompareOp::Lt:
                        r = c < 0;
                        break;
                    case CompareOp::Gt:
                        r = c > 0;
                        break;
                    case CompareOp::Le:
                        r = c <= 0;
                        break;
                    case CompareOp::Ge:
                        r = c >= 0;
                        break;
                }
            }
            return r ? Truth::True : Truth::False;
        }
        case Node::Kind::Field:
        case Node::Kind::Literal:
            break;
    }
    return Truth::Unknown;
}

// An equality of a field with a literal of its own kind, which a hash index on
// the field answers exactly as the row test would; null when `n` is none.
const Node* indexableEquality(const Node& n, Filter::Equality& eq) {
    if (n.kind != Node::Kind::Compare || n.op != CompareOp::Eq) return nullptr;
    const Node* f = n.kids[0].get();
    const Node* l = n.kids[1].get();
    if (f->kind == Node::Kind::Literal) std::swap(f, l);
    if (f->kind != Node::Kind::Field || l->kind != Node::Kind::Literal) return nullptr;
    bool kindsMatch = (f->fieldKind == ScalarKind::Text && l->bound.kind == Scalar::Kind::Text) ||
                      (f->fieldKind == ScalarKind::Number && l->bound.kind == Scalar::Kind::Number);
    if (!kindsMatch) return nullptr;
    eq = {f->field, l->bound};
    return &n;
}

// Splits the terms of a conjunction (nested ANDs flattened) into equalities a
// hash index answers, one per field, and the rest. A row passes the whole
// exactly when it passes every term, so both parts together decide it.
void splitConjunction(const Node& n, std::vector<Filter::Equality>& eqs, std::vector<const Node*>& rest) {
    if (n.kind == Node::Kind::And) {
        for (auto& k : n.kids) splitConjunction(*k, eqs, rest);
        return;
    }
    Filter::Equality eq;
    if (indexableEquality(n, eq)) {
        bool fieldTaken =
            std::any_of(eqs.begin(), eqs.end(), [&](const Filter::Equality& e) { return e.field == eq.field; });
        if (!fieldTaken) {  // a field compared twice: the second is tested on the rows
            eqs.push_back(std::move(eq));
            return;
        }
    }
    rest.push_back(&n);
}

}  // namespace

// ---------------------------------------------------------------- Filter

Filter::Filter() = default;
Filter::~Filter() = default;
Filter::Filter(Filter&&) noexcept = default;
Filter& Filter::operator=(Filter&&) noexcept = default;

Filter::Filter(const Filter& o) : text_(o.text_), root_(o.root_ ? o.root_->clone() : nullptr), bound_(o.bound_) {
    if (bound_) analyse();  // the terms point into this copy's own tree
}

void Filter::analyse() {
    equalities_.clear();
    residual_.clear();
    if (!root_) return;
    std::vector<Equality> eq;
    std::vector<const Node*> rest;
    splitConjunction(*root_, eq, rest);
    if (eq.empty()) return;
    std::sort(eq.begin(), eq.end(), [](const Equality& a, const Equality& b) { return a.field < b.field; });
    equalities_ = std::move(eq);
    residual_ = std::move(rest);
}

Truth Filter::evaluateResidual(const std::vector<Cell>& row) const {
    Truth t = Truth::True;
    for (const Node* n : residual_) {
        Truth k = evaluateNode(*n, row);
        if (k == Truth::False) return Truth::False;
        if (k == Truth::Unknown) t = Truth::Unknown;
    }
    return t;
}

Filter& Filter::operator=(const Filter& o) {
    if (this != &o) {
        Filter copy(o);
        *this = std::move(copy);
    }
    return *this;
}

Filter Filter::parse(std::string_view text) {
    Filter f;
    f.text_ = std::string(text);
    bool blank =
        std::all_of(text.begin(), text.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    if (!blank) f.root_ = Parser(text).parseAll();
    return f;
}

bool Filter::isEmpty() const { return !root_; }

void Filter::bind(const std::vector<FieldDef>& fields, const FormatSettings& fs) {
    bound_ = false;
    equalities_.clear();
    residual_.clear();
    if (!root_) {
        bound_ = true;
        return;
    }
    bindNode(*root_, fields, fs, text_);
    analyse();
    bound_ = true;
}

Truth Filter::evaluate(const std::vector<Cell>& row) const {
    if (!root_) return Truth::True;
    if (!bound_) throw FilterError(fmt::format("filter \"{}\" is not bound to a table", shortText(text_)));
    return evaluateNode(*root_, row);
}

}  // namespace zel::ds
