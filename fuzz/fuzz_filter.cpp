// libFuzzer target: arbitrary filter texts parsed, bound to a small table and
// evaluated over its rows; every refusal must be a zel::Error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/dataset/table.h"

namespace {

zel::ds::Table& smallTable() {
    using zel::ds::FieldDef;
    static zel::ds::Table t = [] {
        zel::ds::Table table("cdsFuzz",
                             {FieldDef::string("NAME", 10), FieldDef::string("HRINI", 4), FieldDef::floatField("QTD"),
                              FieldDef::dateTime("DT"), FieldDef::int32("N"), FieldDef::boolean("B")},
                             {{"byQtd", "QTD;NAME"}}, "byQtd");
        table.create();
        const char* names[] = {"a", "B", "O'x", "", "\xc3\x89"};
        for (int i = 0; i < 5; ++i) {
            table.append();
            table.field("NAME").setAsString(names[i]);
            if (i != 2) table.field("HRINI").setAsString(i == 3 ? "" : "2200");
            if (i != 1) table.field("QTD").setAsFloat(i * 1.5 - 2);
            if (i != 4) table.field("DT").setAsDateTime(zel::DateTime(46000.5 + i));
            table.field("N").setAsFloat(i);
            if (i % 2 == 0) table.field("B").setAsString(i == 0 ? "true" : "false");
            table.post();
        }
        return table;
    }();
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    zel::ds::Table& t = smallTable();
    try {
        t.setFiltered(false);
        t.setFilter(text);
        t.setFiltered(true);
        int walked = 0;
        for (t.first(); !t.eof(); t.next()) {
            (void)t.asString(0);
            ++walked;
        }
        if (walked != t.recordCount()) __builtin_trap();
    } catch (const zel::Error&) {}
    try {
        // The same text as a value: quoted, it must parse and match by bytes.
        t.setFiltered(false);
        t.setFilter("NAME = " + zel::ds::quoteFilterLiteral(text));
        t.setFiltered(true);
        for (t.first(); !t.eof(); t.next())
            if (t.asString(0) != text) __builtin_trap();
    } catch (const zel::Error&) {
        __builtin_trap();  // a quoted literal always parses
    }
    return 0;
}
