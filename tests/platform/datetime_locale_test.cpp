// Date-times, their packet encodings, and the station's number and date texts.
#include <gtest/gtest.h>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/text.h"
#include "platform/variant.h"

using namespace zel;

TEST(DateTime, EpochAndCalendarRoundTrip) {
    EXPECT_EQ(DateTime::fromDate(1899, 12, 30).value(), 0);
    EXPECT_EQ(DateTime::fromDate(1900, 1, 1).value(), 2);
    EXPECT_EQ(DateTime::fromDate(2000, 2, 29).value(), 36585);
    for (int y : {1, 1600, 1899, 1900, 2000, 2024, 2100, 9999})
        for (int m : {1, 2, 12}) {
            DateTime d = DateTime::fromDate(y, m, DateTime::daysInMonth(y, m));
            CalendarFields f = d.fields();
            EXPECT_EQ(f.year, y);
            EXPECT_EQ(f.month, m);
            EXPECT_EQ(f.day, DateTime::daysInMonth(y, m));
        }
    EXPECT_THROW(DateTime::fromDate(2023, 2, 29), ConvertError);
}

TEST(DateTime, PacketEncodingsAreExact) {
    DateTime d = DateTime::fromFields({2026, 12, 8, 12, 34, 56, 789});
    EXPECT_EQ(DateTime::fromPacketDateTime(d.packetDateTime()).totalMilliseconds(), d.totalMilliseconds());
    EXPECT_EQ(DateTime::fromPacketDate(d.packetDate()), d.dateOnly());
    EXPECT_EQ(d.packetTime(), ((12 * 60 + 34) * 60 + 56) * 1000 + 789);
    EXPECT_EQ(DateTime::fromPacketDate(1).fields().year, 1);
    // Before the epoch the time of day still counts forward: 1899-12-29 06:00.
    DateTime before = DateTime::fromPacketDateTime((DateTime::kPacketDayOffset - 1) * DateTime::kMsPerDay + 21600000.0);
    EXPECT_DOUBLE_EQ(before.value(), -1.25);
    EXPECT_EQ(before.fields().day, 29);
    EXPECT_EQ(before.fields().hour, 6);
    EXPECT_DOUBLE_EQ(before.packetDateTime(), (DateTime::kPacketDayOffset - 1) * DateTime::kMsPerDay + 21600000.0);
}

TEST(DateTime, ClockIsInjectable) {
    FixedClock clock(DateTime::fromFields({2026, 1, 31, 18, 30, 0, 0}));
    EXPECT_EQ(clock.today(), DateTime::fromDate(2026, 1, 31));
    clock.advanceMilliseconds(6 * 3600 * 1000);
    EXPECT_EQ(clock.today(), DateTime::fromDate(2026, 2, 1));
}

TEST(Locale, GeneralFloatFormat) {
    FormatSettings br;
    EXPECT_EQ(floatToStr(0, br), "0");
    EXPECT_EQ(floatToStr(12, br), "12");
    EXPECT_EQ(floatToStr(12.5, br), "12,5");
    EXPECT_EQ(floatToStr(-0.25, br), "-0,25");
    EXPECT_EQ(floatToStr(0.1 + 0.2, br), "0,3");
    EXPECT_EQ(floatToStr(1.005, br), "1,005");
    EXPECT_EQ(floatToStr(2.675 * 100, br), "267,5");
    EXPECT_EQ(floatToStr(1e20, br), "100000000000000000000");
    EXPECT_EQ(floatToStr(0.000012, br), "0,000012");
    EXPECT_EQ(floatToStr(123456789.123456789, br), "123456789,123457");
    EXPECT_EQ(floatToStr(12.5, FormatSettings::invariant()), "12.5");
    // A value exactly halfway at the 15th digit goes to the even digit.
    EXPECT_EQ(floatToStr(1000000000000005.0, br), "1000000000000000");
    EXPECT_EQ(floatToStr(1000000000000015.0, br), "1000000000000020");
    EXPECT_EQ(floatToStr(-1e-300, br).substr(0, 6), "-0,000");
    EXPECT_EQ(floatToStr(-1e-300, br).size(), 303u);
}

// Names are matched in either case of their ASCII letters, and only of those:
// signs that differ from each other in the letters' case bit stay different.
TEST(Text, NamesEqualIgnoringTheCaseOfLettersOnly) {
    EXPECT_TRUE(equalsIgnoringCase("CdProduto", "CDPRODUTO"));
    EXPECT_TRUE(equalsIgnoringCase("vr_saldo_1", "VR_SALDO_1"));
    EXPECT_TRUE(equalsIgnoringCase("", ""));
    EXPECT_FALSE(equalsIgnoringCase("CDPRODUTO", "CDPRODUT"));
    EXPECT_FALSE(equalsIgnoringCase("CDPRODUTA", "CDPRODUTO"));
    for (auto [a, b] : {std::pair{"@", "`"}, {"[", "{"}, {"]", "}"}, {"^", "~"}, {"_", "\x7f"}, {"0", "\x10"},
                        {"\xc3\x89", "\xc3\xa9"}})  // and "É" is not "é": not ASCII
        EXPECT_FALSE(equalsIgnoringCase(a, b)) << a << " " << b;
}

TEST(Locale, StrictTextToNumber) {
    FormatSettings br;
    EXPECT_DOUBLE_EQ(strToFloat("12,5", br), 12.5);
    EXPECT_DOUBLE_EQ(strToFloat(" -3 ", br), -3);
    EXPECT_DOUBLE_EQ(strToFloat("1,5E2", br), 150);
    for (const char* bad : {"", "12.5", "1,2,3", "abc", "12a", ",", "-", "1e", "1.000,5"})
        EXPECT_THROW(strToFloat(bad, br), ConvertError) << bad;
    EXPECT_DOUBLE_EQ(strToFloat("12.5", FormatSettings::invariant()), 12.5);
    EXPECT_EQ(strToInt("042"), 42);
    EXPECT_THROW(strToInt("4 2"), ConvertError);
}

TEST(Locale, DateAndTimeTexts) {
    FormatSettings br;
    DateTime dt = DateTime::fromFields({2026, 3, 7, 9, 5, 3, 0});
    EXPECT_EQ(dateToStr(dt, br), "07/03/2026");
    EXPECT_EQ(timeToStr(dt, br), "09:05:03");
    EXPECT_EQ(formatDateTime("ddmmyyyy", dt, br), "07032026");
    EXPECT_EQ(strToDate("07/03/2026", br), dt.dateOnly());
    EXPECT_EQ(strToDateTime("07/03/2026 09:05:03", br), dt);
    EXPECT_THROW(strToDate("31/02/2026", br), ConvertError);
    EXPECT_THROW(strToDate("2026-03-07", br), ConvertError);
    EXPECT_THROW(strToTime("25:00:00", br), ConvertError);
}

TEST(Variant, ValueListsAndConversions) {
    VariantArray values = valueList(3);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_TRUE(values[2].isText());
    EXPECT_EQ(values[2].text(), "");
    VariantArray answers = answerList();
    ASSERT_EQ(answers.size(), 10u);
    for (const Variant& v : answers) EXPECT_TRUE(v.isEmpty());

    EXPECT_EQ(Variant(2.5).toText(FormatSettings{}), "2,5");
    EXPECT_DOUBLE_EQ(Variant("2,5").toDouble(FormatSettings{}), 2.5);
    EXPECT_THROW(Variant("2x").toDouble(FormatSettings{}), ConvertError);
    EXPECT_EQ(Variant::null().toText(FormatSettings{}), "");
    EXPECT_THROW(Variant("text").asPacket(), Error);
    Variant arr(VariantArray{Variant(1), Variant("a")});
    Variant copy = arr;
    copy.items()[0] = Variant(2);
    EXPECT_EQ(arr.items()[0].toInt(FormatSettings{}), 1);  // arrays copy on write
}
