// The filter language of the working tables: operators, nulls, the hour
// windows of the product selection, literals and parse errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dataset/filter.h"
#include "platform/dataset/table.h"

using namespace zel;
using namespace zel::ds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// NAME, HRINI, HRFIM, QTD, DT.
Table sampleTable() {
    Table t("cdsTeste", {FieldDef::string("NAME", 20), FieldDef::string("HRINI", 4), FieldDef::string("HRFIM", 4),
                         FieldDef::floatField("QTD"), FieldDef::dateTime("DT")});
    t.create();
    return t;
}

void addRow(Table& t, const char* name, const char* ini, const char* fim, std::optional<double> qtd = {},
            DateTime dt = DateTime()) {
    t.append();
    t.field("NAME").setAsString(name);
    if (ini) t.field("HRINI").setAsString(ini);
    if (fim) t.field("HRFIM").setAsString(fim);
    if (qtd) t.field("QTD").setAsFloat(*qtd);
    if (dt.value() != 0) t.field("DT").setAsDateTime(dt);
    t.post();
}

// The names of the rows that pass `filter`, in walking order.
std::vector<std::string> pass(Table& t, std::string_view filter) {
    t.setFiltered(false);
    t.setFilter(filter);
    t.setFiltered(true);
    std::vector<std::string> names;
    for (t.first(); !t.eof(); t.next()) names.push_back(t.field("NAME").asString());
    EXPECT_EQ(static_cast<int>(names.size()), t.recordCount());
    return names;
}

Table numbers() {
    Table t = sampleTable();
    addRow(t, "a", "0800", "1700", 1);
    addRow(t, "b", "0900", "1000", 2.5);
    addRow(t, "c", nullptr, "1000");  // QTD and HRINI null
    addRow(t, "d", "1000", "0900", -3);
    return t;
}

}  // namespace

TEST(FilterOperators, ComparisonsOnTextAndNumbers) {
    Table t = numbers();
    EXPECT_THAT(pass(t, "QTD = 1"), ElementsAre("a"));
    EXPECT_THAT(pass(t, "QTD <> 1"), ElementsAre("b", "d"));
    EXPECT_THAT(pass(t, "QTD < 2.5"), ElementsAre("a", "d"));
    EXPECT_THAT(pass(t, "QTD <= 2.5"), ElementsAre("a", "b", "d"));
    EXPECT_THAT(pass(t, "QTD > -3"), ElementsAre("a", "b"));
    EXPECT_THAT(pass(t, "QTD >= -3"), ElementsAre("a", "b", "d"));
    EXPECT_THAT(pass(t, "HRINI < HRFIM"), ElementsAre("a", "b"));
    EXPECT_THAT(pass(t, "'0930' >= HRINI"), ElementsAre("a", "b"));
    // A text literal beside a float field is a number in either notation.
    EXPECT_THAT(pass(t, "QTD = '2,5'"), ElementsAre("b"));
    EXPECT_THAT(pass(t, "QTD = '2.5'"), ElementsAre("b"));
    // A number beside a text field compares as its spelling.
    EXPECT_THAT(pass(t, "HRFIM = 1000"), ElementsAre("b", "c"));
}

TEST(FilterOperators, LogicPrecedenceParenthesesAndKeywordCase) {
    Table t = numbers();
    // AND binds tighter than OR.
    EXPECT_THAT(pass(t, "NAME = 'a' OR NAME = 'b' AND QTD = 1"), ElementsAre("a"));
    EXPECT_THAT(pass(t, "(NAME = 'a' OR NAME = 'b') AND QTD = 2.5"), ElementsAre("b"));
    EXPECT_THAT(pass(t, "not (NAME = 'a') and qtd > 0"), ElementsAre("b"));
    EXPECT_THAT(pass(t, "NOT NOT NAME = 'd'"), ElementsAre("d"));
    EXPECT_THAT(pass(t, "name = 'a' Or NaMe = 'd'"), ElementsAre("a", "d"));
    EXPECT_THAT(pass(t, "[NAME] = 'c'"), ElementsAre("c"));
    EXPECT_THAT(pass(t, ""), ElementsAre("a", "b", "c", "d"));
}

TEST(FilterOperators, TextComparesByBytes) {
    Table t = sampleTable();
    addRow(t, "B", "", "");
    addRow(t, "a", "", "");
    addRow(t, "\xc3\x89", "", "");  // É
    EXPECT_THAT(pass(t, "NAME > 'Z'"), ElementsAre("a", "\xc3\x89"));
    EXPECT_THAT(pass(t, "NAME < 'a'"), ElementsAre("B"));
}

TEST(FilterNulls, ComparisonWithNullIsUnknown) {
    Table t = numbers();
    EXPECT_THAT(pass(t, "QTD IS NULL"), ElementsAre("c"));
    EXPECT_THAT(pass(t, "qtd is not null"), ElementsAre("a", "b", "d"));
    // Neither the comparison nor its negation lets the null row through.
    EXPECT_THAT(pass(t, "QTD = 1 OR QTD <> 1"), ElementsAre("a", "b", "d"));
    EXPECT_THAT(pass(t, "NOT (QTD > 0)"), ElementsAre("d"));
    // Unknown OR true is true; unknown AND false is false.
    EXPECT_THAT(pass(t, "QTD > 0 OR NAME = 'c'"), ElementsAre("a", "b", "c"));
    EXPECT_THAT(pass(t, "NOT (QTD > 0 AND NAME = 'x')"), ElementsAre("a", "b", "c", "d"));
    // An empty text is a value, not null.
    addRow(t, "e", "", "0100");
    EXPECT_THAT(pass(t, "HRINI IS NULL"), ElementsAre("c"));
    EXPECT_THAT(pass(t, "HRINI < '0000'"), ElementsAre("e"));
}

TEST(FilterNulls, ReceiptTypeSelection) {
    Table t("cdsConfTipoRece", {FieldDef::string("CDTIPORECE", 3), FieldDef::string("IDMOSTRARECE", 1),
                                FieldDef::string("CDFPIMPFIS", 10), FieldDef::string("IDTIPORECE", 1)});
    t.create();
    auto add = [&](const char* cd, const char* mostra, const char* fp, const char* tipo) {
        t.append();
        t.field("CDTIPORECE").setAsString(cd);
        if (mostra) t.field("IDMOSTRARECE").setAsString(mostra);
        if (fp) t.field("CDFPIMPFIS").setAsString(fp);
        t.field("IDTIPORECE").setAsString(tipo);
        t.post();
    };
    add("001", "S", "01", "9");
    add("002", nullptr, "02", "9");
    add("003", "N", "03", "9");
    add("004", "S", nullptr, "9");
    add("005", "S", "05", "1");
    t.setFilter("(IDMOSTRARECE = 'S' OR IDMOSTRARECE IS NULL) AND CDFPIMPFIS IS NOT NULL AND IDTIPORECE = '9'");
    t.setFiltered(true);
    std::vector<std::string> codes;
    for (t.first(); !t.eof(); t.next()) codes.push_back(t.field("CDTIPORECE").asString());
    EXPECT_THAT(codes, ElementsAre("001", "002"));
}

// The two filters of the product selection, built as it builds them.
namespace {
std::string byTypeFilter(const std::string& type, const std::string& hour) {
    return "CDTIPOCONS = '" + type + "'" + " AND IDCARGAUTOPS = " + "'" + "S" + "'" + " AND (((" + "'" + hour + "'" +
           " >= HRINISERTUR AND " + "'" + hour + "'" + " <= HRFINSERTUR ) AND (HRINISERTUR < HRFINSERTUR)) OR ( NOT(" +
           "'" + hour + "'" + " < HRINISERTUR AND " + "'" + hour + "'" +
           " > HRFINSERTUR ) AND (HRINISERTUR > HRFINSERTUR)))";
}

std::vector<std::string> windowsHolding(const std::string& hour, const std::string& type = "01") {
    Table t("cdsProdServtCon",
            {FieldDef::string("CDPRODUTO", 10), FieldDef::string("CDTIPOCONS", 2), FieldDef::string("IDCARGAUTOPS", 1),
             FieldDef::string("HRINISERTUR", 4), FieldDef::string("HRFINSERTUR", 4)});
    t.create();
    auto add = [&](const char* prod, const char* ini, const char* fim, const char* tipo = "01",
                   const char* carga = "S") {
        t.append();
        t.field("CDPRODUTO").setAsString(prod);
        t.field("CDTIPOCONS").setAsString(tipo);
        t.field("IDCARGAUTOPS").setAsString(carga);
        if (ini) t.field("HRINISERTUR").setAsString(ini);
        if (fim) t.field("HRFINSERTUR").setAsString(fim);
        t.post();
    };
    add("NIGHT", "2200", "0600");
    add("SAME", "1100", "1100");
    add("DAY", "0800", "1700");
    add("OPENSTART", "", "1200");
    add("NULLSTART", nullptr, "1200");
    add("OTHERTYPE", "0000", "2359", "02");
    add("NOLOAD", "0000", "2359", "01", "N");
    t.setFilter(byTypeFilter(type, hour));
    t.setFiltered(true);
    std::vector<std::string> out;
    for (t.first(); !t.eof(); t.next()) out.push_back(t.field("CDPRODUTO").asString());
    return out;
}
}  // namespace

TEST(FilterHourWindows, ProductSelectionWindows) {
    EXPECT_THAT(windowsHolding("2330"), ElementsAre("NIGHT"));
    EXPECT_THAT(windowsHolding("2200"), ElementsAre("NIGHT"));
    EXPECT_THAT(windowsHolding("0000"), ElementsAre("NIGHT", "OPENSTART"));
    EXPECT_THAT(windowsHolding("0600"), ElementsAre("NIGHT", "OPENSTART"));
    EXPECT_THAT(windowsHolding("0601"), ElementsAre("OPENSTART"));
    EXPECT_THAT(windowsHolding("1200"), ElementsAre("DAY", "OPENSTART"));
    EXPECT_THAT(windowsHolding("1100"), ElementsAre("DAY", "OPENSTART"));  // never the 1100-1100 window
    EXPECT_THAT(windowsHolding("0759"), ElementsAre("OPENSTART"));
    EXPECT_THAT(windowsHolding("1700"), ElementsAre("DAY"));
    EXPECT_THAT(windowsHolding("1701"), ElementsAre());
    EXPECT_THAT(windowsHolding("1200", "02"), ElementsAre("OTHERTYPE"));
}

TEST(FilterLiterals, QuotedValuesCannotChangeTheExpression) {
    Table t = sampleTable();
    addRow(t, "O'Brien", "", "");
    addRow(t, "x' OR 'a'='a", "", "");
    addRow(t, "plain", "", "");
    EXPECT_THAT(pass(t, "NAME = 'O''Brien'"), ElementsAre("O'Brien"));
    for (std::string v : {"O'Brien", "x' OR 'a'='a", "plain"})
        EXPECT_THAT(pass(t, "NAME = " + quoteFilterLiteral(v)), ElementsAre(v));
    EXPECT_THAT(pass(t, "NAME = " + quoteFilterLiteral("' OR NAME <> '")), ElementsAre());
    EXPECT_EQ(quoteFilterLiteral("a'b"), "'a''b'");
}

TEST(FilterLiterals, DatesInTheStationsFormat) {
    Table t = sampleTable();
    addRow(t, "old", "", "", 0, DateTime::fromDate(2025, 12, 31));
    addRow(t, "new", "", "", 0, DateTime::fromDate(2026, 2, 1));
    EXPECT_THAT(pass(t, "DT >= '01/01/2026'"), ElementsAre("new"));
    EXPECT_THAT(pass(t, "DT = '31/12/2025'"), ElementsAre("old"));
    EXPECT_THROW(pass(t, "DT = '2026-13-01'"), FilterError);
}

TEST(FilterErrors, NamePositionAndExpectation) {
    auto message = [](std::string_view text) -> std::string {
        try {
            Filter::parse(text);
        } catch (const FilterError& e) {
            return e.what();
        }
        return "parsed";
    };
    EXPECT_THAT(message("NAME = "), HasSubstr("at character 8: expected a field name, a text literal or a number"));
    EXPECT_THAT(message("NAME = 'abc"), HasSubstr("at character 8: text literal not closed"));
    EXPECT_THAT(message("(NAME = 'a'"), HasSubstr("at character 12: expected ')'"));
    EXPECT_THAT(message("NAME == 'a'"), HasSubstr("at character 7"));
    EXPECT_THAT(message("NAME 'a'"), HasSubstr("at character 6: expected a comparison"));
    EXPECT_THAT(message("NAME = 'a' AND"), HasSubstr("at character 15"));
    EXPECT_THAT(message("NAME = 'a' 'b'"), HasSubstr("at character 12: expected AND, OR or the end"));
    EXPECT_THAT(message("QTD IS NOT 1"), HasSubstr("at character 12: expected NULL"));
    EXPECT_THAT(message("QTD = 1 # 2"), HasSubstr("at character 9: unexpected character '#'"));
    // Positions count characters, not bytes.
    EXPECT_THAT(message("'\xc3\xa7\xc3\xa3o' = ="), HasSubstr("at character 9"));
    EXPECT_THAT(message(std::string(1000, '(') + "A = 1"), HasSubstr("nested too deeply"));

    Table t = numbers();
    try {
        t.setFilter("NAME = 'a' AND NOME = 'b'");
        FAIL() << "unknown field accepted";
    } catch (const FilterError& e) {
        EXPECT_THAT(e.what(), HasSubstr("cdsTeste"));
        EXPECT_THAT(e.what(), HasSubstr("unknown field NOME"));
        EXPECT_THAT(e.what(), HasSubstr("at character 16"));
    }
    EXPECT_THROW(t.setFilter("QTD = 'abc'"), FilterError);
    // The filter in force survives a rejected one.
    t.setFilter("NAME = 'b'");
    t.setFiltered(true);
    EXPECT_THROW(t.setFilter("NAME ="), FilterError);
    EXPECT_EQ(t.recordCount(), 1);
}

TEST(FilterIndex, EqualityConjunctionsFollowEveryChangeOfRows) {
    Filter f = Filter::parse("A = 'x' AND (B = 2)");
    f.bind({FieldDef::string("A", 5), FieldDef::floatField("B")}, FormatSettings{});
    ASSERT_TRUE(f.isEqualityConjunction());
    EXPECT_FALSE([] {
        Filter g = Filter::parse("A = 'x' OR B = 2");
        g.bind({FieldDef::string("A", 5), FieldDef::floatField("B")}, FormatSettings{});
        return g.isEqualityConjunction();
    }());

    Table t = numbers();
    t.setFilter("HRFIM = '1000' AND NAME = 'b'");
    t.setFiltered(true);
    EXPECT_EQ(t.recordCount(), 1);
    t.append();
    t.field("NAME").setAsString("b");
    t.field("HRFIM").setAsString("1000");
    t.post();
    EXPECT_EQ(t.recordCount(), 2);
    t.first();
    t.edit();
    t.field("HRFIM").setAsString("1100");
    t.post();
    EXPECT_EQ(t.recordCount(), 1);
    // The indexed and the scanning evaluation agree.
    std::vector<std::string> indexed = pass(t, "HRFIM = '1000'");
    std::vector<std::string> scanned = pass(t, "NOT (HRFIM <> '1000')");
    EXPECT_EQ(indexed, scanned);
    EXPECT_THAT(pass(t, "QTD = 2.5 AND QTD = 2.5"), ElementsAre("b"));
}
