// A filter whose conjunction holds equalities is answered from a hash index on
// those fields with the other terms tested on the candidates only: on random
// tables and filters (nulls, letter case, numbers compared with text
// literals, a field compared twice) it gives the rows a walk of every row
// gives, in the same order.
#include <gtest/gtest.h>

#include <random>

#include "platform/dataset/filter.h"
#include "platform/dataset/table.h"

using namespace zel;
using namespace zel::ds;

namespace {

std::vector<FieldDef> fields() {
    return {FieldDef::floatField("ID"), FieldDef::string("K1", 3), FieldDef::string("K2", 3), FieldDef::floatField("N"),
            FieldDef::string("H", 4)};
}

Table randomTable(std::mt19937& rng, int rows) {
    Table t("cdsRandom", fields());
    t.create();
    const char* texts[] = {"a", "A", "b", "", nullptr};
    const double numbers[] = {1, 2, -0.0, 0, 2.5};
    const char* hours[] = {"0800", "0900", "1200", "2330", nullptr};
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int i = 0; i < rows; ++i) {
        t.append();
        t.field("ID").setAsFloat(i);
        if (const char* s = texts[pick(5)]) t.field("K1").setAsString(s);
        if (const char* s = texts[pick(5)]) t.field("K2").setAsString(s);
        if (pick(6) != 0) t.field("N").setAsFloat(numbers[pick(5)]);
        if (const char* s = hours[pick(5)]) t.field("H").setAsString(s);
        t.post();
    }
    return t;
}

// A conjunction of random terms, nested or not; equalities of each kind, a
// field compared twice, comparisons, NOT, OR and null tests among them.
std::string randomFilter(std::mt19937& rng) {
    static const char* terms[] = {
        "K1 = 'a'",       "K1 = 'A'",       "'b' = K1",
        "K2 = 'a'",       "K2 = ''",        "N = 1",
        "N = '2'",        "N = 0",          "2.5 = N",
        "H = '0900'",     "H >= '0900'",    "H IS NULL",
        "K1 IS NOT NULL", "NOT (K2 = 'b')", "(K1 = 'b' OR N = 2)",
        "N > 0",          "K2 < 'b'",       "NOT(H < '0800' AND H > '2300')",
    };
    int n = 1 + static_cast<int>(rng() % 4);
    std::string f;
    for (int i = 0; i < n; ++i) {
        std::string term = terms[rng() % (sizeof terms / sizeof *terms)];
        if (i == 0) {
            f = term;
        } else if (rng() % 3 == 0) {
            f = "(" + f + ") AND " + term;
        } else {
            f += " AND " + term;
        }
    }
    return f;
}

std::vector<int> walk(Table& t) {
    std::vector<int> ids;
    for (t.first(); !t.eof(); t.next()) ids.push_back(static_cast<int>(t.field("ID").asFloat()));
    return ids;
}

TEST(IndexedFilter, RandomConjunctionsGiveTheRowsOfAFullWalk) {
    std::mt19937 rng(20240611);
    int indexed = 0;
    for (int round = 0; round < 40; ++round) {
        Table t = randomTable(rng, 50 + static_cast<int>(rng() % 300));
        for (int k = 0; k < 25; ++k) {
            std::string text = randomFilter(rng);
            Filter f = Filter::parse(text);
            f.bind(fields(), FormatSettings{});
            if (f.hasEqualities()) ++indexed;
            // The full walk: every row through the whole expression.
            std::vector<int> expected;
            t.setFiltered(false);
            for (t.first(); !t.eof(); t.next()) {
                std::vector<Cell> row;
                for (const char* name : {"ID", "K1", "K2", "N", "H"}) {
                    Field fld = t.field(name);
                    if (fld.isNull()) row.emplace_back(std::in_place_type<std::monostate>);
                    else if (std::string(name) == "ID" || std::string(name) == "N")
                        row.emplace_back(std::in_place_type<double>, fld.asFloat());
                    else row.emplace_back(std::in_place_type<std::string>, fld.asString());
                }
                if (f.accepts(row)) expected.push_back(static_cast<int>(t.field("ID").asFloat()));
            }
            t.setFilter(text);
            t.setFiltered(true);
            EXPECT_EQ(walk(t), expected) << text;
            EXPECT_EQ(t.recordCount(), static_cast<int>(expected.size())) << text;
        }
    }
    EXPECT_GT(indexed, 500) << "most random filters must take the indexed road";
}

TEST(IndexedFilter, OnlyConjunctionsWithEqualitiesAreSplit) {
    auto split = [](const char* text) {
        Filter f = Filter::parse(text);
        f.bind(fields(), FormatSettings{});
        std::string out;
        for (const auto& e : f.equalities()) out += std::to_string(e.field) + " ";
        return out + (f.isEqualityConjunction() ? "whole" : "rest");
    };
    EXPECT_EQ(split("K2 = 'a' AND K1 = 'b'"), "1 2 whole");
    EXPECT_EQ(split("K1 = 'a' AND (N = 1 AND H > '0900')"), "1 3 rest");
    EXPECT_EQ(split("K1 = 'a' AND K1 = 'b'"), "1 rest");  // the second is tested on the rows
    EXPECT_EQ(split("K1 = 'a' OR N = 1"), "rest");
    EXPECT_EQ(split("NOT (K1 = 'a' AND N = 1)"), "rest");
    EXPECT_EQ(split("K1 > 'a' AND N < 1"), "rest");
    // A copy keeps its own terms.
    Filter f = Filter::parse("K1 = 'a' AND H >= '0900'");
    f.bind(fields(), FormatSettings{});
    Filter copy = f;
    f = Filter();
    std::vector<Cell> row{1.0, std::string("a"), std::monostate{}, 1.0, std::string("1000")};
    EXPECT_EQ(copy.evaluateResidual(row), Truth::True);
    row[4] = std::monostate{};
    EXPECT_EQ(copy.evaluateResidual(row), Truth::Unknown);
}

TEST(IndexedFilter, ProductSelectionByTypeAndHourUsesTheIndex) {
    Table t("cdsProdServtCon",
            {FieldDef::string("CDPRODUTO", 10), FieldDef::string("CDTIPOCONS", 2), FieldDef::string("IDCARGAUTOPS", 1),
             FieldDef::string("HRINISERTUR", 4), FieldDef::string("HRFINSERTUR", 4)});
    t.create();
    auto add = [&](const char* prod, const char* type, const char* auto_, const char* ini, const char* fim) {
        t.append();
        t.field("CDPRODUTO").setAsString(prod);
        t.field("CDTIPOCONS").setAsString(type);
        t.field("IDCARGAUTOPS").setAsString(auto_);
        t.field("HRINISERTUR").setAsString(ini);
        t.field("HRFINSERTUR").setAsString(fim);
        t.post();
    };
    for (int i = 0; i < 2000; ++i) add(("X" + std::to_string(i)).c_str(), i % 2 ? "02" : "03", "S", "0000", "2359");
    add("P1", "01", "S", "2200", "0600");
    add("P2", "01", "N", "2200", "0600");
    add("P3", "01", "S", "1100", "1300");
    add("P4", "01", "S", "0700", "0800");
    std::string h = "2330";
    std::string text = "CDTIPOCONS = '01' AND IDCARGAUTOPS = 'S' AND ((('" + h + "' >= HRINISERTUR AND '" + h +
                       "' <= HRFINSERTUR ) AND (HRINISERTUR < HRFINSERTUR)) OR ( NOT('" + h + "' < HRINISERTUR AND '" +
                       h + "' > HRFINSERTUR ) AND (HRINISERTUR > HRFINSERTUR)))";
    Filter f = Filter::parse(text);
    f.bind({FieldDef::string("CDPRODUTO", 10), FieldDef::string("CDTIPOCONS", 2), FieldDef::string("IDCARGAUTOPS", 1),
            FieldDef::string("HRINISERTUR", 4), FieldDef::string("HRFINSERTUR", 4)},
           FormatSettings{});
    EXPECT_EQ(f.equalities().size(), 2u);
    t.setFilter(text);
    t.setFiltered(true);
    std::vector<std::string> got;
    for (t.first(); !t.eof(); t.next()) got.push_back(t.field("CDPRODUTO").asString());
    EXPECT_EQ(got, std::vector<std::string>{"P1"});
}

}  // namespace

namespace {

// A table kept from its last load is only reused while none of its rows
// changed; returning to the taken state puts it back on its first row.
TEST(TakenData, KeptUntilARowChanges) {
    Table src("cdsSrc", fields());
    src.create();
    for (int i = 0; i < 3; ++i) {
        src.append();
        src.field("ID").setAsFloat(i);
        src.field("K1").setAsString(i == 1 ? "a" : "b");
        src.post();
    }
    Table t("cdsKept");
    EXPECT_FALSE(t.holdsTakenData());
    t.setData(src.data());
    EXPECT_TRUE(t.holdsTakenData());
    t.setFilter("K1 = 'b'");
    t.setFiltered(true);
    t.next();
    t.returnToTakenState();
    EXPECT_EQ(t.field("ID").asFloat(), 0);  // first row of the filtered walk
    EXPECT_TRUE(t.holdsTakenData());
    t.edit();
    t.field("K1").setAsString("c");
    t.post();
    EXPECT_FALSE(t.holdsTakenData());
}

}  // namespace
