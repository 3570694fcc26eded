// The filters the service itself sets on its working tables: the product
// choice by consumer type and by service window, and the receipt type of the
// cash movement. The texts are read back from the tables the service filtered,
// and the rows they let through are seen in what reaches the printer.
#include <gtest/gtest.h>

#include "platform/dataset/table.h"
#include "support/station_fixture.h"

using namespace zel;
using namespace zel::testing;

namespace {

std::string windowOf(const std::string& h) {
    return "(((" + std::string("'") + h + "' >= HRINISERTUR AND '" + h +
           "' <= HRFINSERTUR ) AND (HRINISERTUR < HRFINSERTUR)) OR ( NOT('" + h + "' < HRINISERTUR AND '" + h +
           "' > HRFINSERTUR ) AND (HRINISERTUR > HRFINSERTUR)))";
}

class ServiceFilters : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        // Enough balance for every sale of a test.
        for (station::Consumer& k : data_.consumers)
            for (auto& [family, balance] : k.saldos) balance = 10000;
    }
    // Whether a passage of the consumer at the hour is sold (one request each).
    bool sells(size_t consumer, const std::string& hora) {
        size_t before = device_->itemArgs.size();
        run({passage(std::to_string(++seq_), consumer, hora)});
        return device_->itemArgs.size() > before;
    }
    int seq_ = 40;
};

TEST_F(ServiceFilters, TheProductChoiceSendsTheTextsOfTheConsumerTypeAndTheWindow) {
    build();
    // Ana (type 01) at lunch: the consumer-type table answers.
    run({passage("31", 0, "120130")});
    EXPECT_EQ(module_->cdsProdServtCon.filter(), "CDTIPOCONS = '01' AND IDCARGAUTOPS = 'S' AND " + windowOf("1201"));
    EXPECT_TRUE(module_->cdsProdServtCon.filtered());
    // Ana at breakfast: no consumer-type row, the by-service table answers.
    run({passage("32", 0, "0700")});
    EXPECT_EQ(module_->cdsProdServtCon.filter(), "CDTIPOCONS = '01' AND IDCARGAUTOPS = 'S' AND " + windowOf("0700"));
    EXPECT_EQ(module_->cdsProdServ.filter(), "IDCARGAUTOPR = 'S' AND " + windowOf("0700"));
    EXPECT_TRUE(module_->cdsProdServ.filtered());
    EXPECT_EQ(device_->itemArgs.size(), 2u);
}

TEST_F(ServiceFilters, AWindowHoldsBothItsEndsAndNoMinuteMore) {
    data_.byType.push_back({"EQ", "1500", "1500", "01", "0001"});  // start = end: never
    build();
    // Lunch 1100..1430 for Ana (type 01).
    EXPECT_FALSE(sells(0, "1059"));
    EXPECT_TRUE(sells(0, "1100"));
    EXPECT_TRUE(sells(0, "1430"));
    EXPECT_TRUE(sells(0, "143059"));  // the seconds do not move the hour out
    EXPECT_FALSE(sells(0, "1431"));
    EXPECT_FALSE(sells(0, "1500"));
    // The night shift 2300..0200 for Carla (type 02) runs over midnight.
    EXPECT_FALSE(sells(2, "2259"));
    EXPECT_TRUE(sells(2, "2300"));
    EXPECT_TRUE(sells(2, "2359"));
    EXPECT_TRUE(sells(2, "0000"));
    EXPECT_TRUE(sells(2, "0200"));
    EXPECT_FALSE(sells(2, "0201"));
    // Breakfast 0600..0930 by service alone, for every type.
    EXPECT_TRUE(sells(2, "0930"));
    EXPECT_FALSE(sells(2, "0931"));
}

TEST_F(ServiceFilters, ConsumerTypeRowsOfTheMomentWinOverTheServiceRows) {
    data_.byWindow.push_back({"ALX", "1100", "1430", "0003"});
    data_.byType.push_back({"CF2", "0600", "0930", "02", "0002"});
    build();
    run({passage("31", 0, "1201")});  // Ana at lunch: the meal only, not the coffee
    ASSERT_EQ(device_->itemArgs.size(), 1u);
    EXPECT_EQ(device_->itemArgs[0][3], Variant("7891000100011"));
    run({passage("32", 1, "0700")});  // Bruno (type 01) at breakfast: the coffee by service
    ASSERT_EQ(device_->itemArgs.size(), 2u);
    EXPECT_EQ(device_->itemArgs[1][3], Variant("7891000100035"));
    run({passage("33", 2, "0700")});  // Carla (type 02) at breakfast: her type's dinner product only
    ASSERT_EQ(device_->itemArgs.size(), 3u);
    EXPECT_EQ(device_->itemArgs[2][3], Variant("1.02"));
}

TEST_F(ServiceFilters, AnHourThatIsNoHourOfTheDayIsRefusedBeforeThePrinter) {
    build();
    for (const char* hora : {"2400", "240000", "1260", "120060", "12:0", "955"}) {
        SCOPED_TRACE(hora);
        sink_.clear();
        run({passage(std::to_string(++seq_), 0, hora)});
        EXPECT_EQ(device_->count("AbreCupom"), 0);
        ASSERT_FALSE(messages().empty());
        EXPECT_NE(messages().front().find("'" + std::string(hora) + "'"), std::string::npos) << messages().front();
    }
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA"), 6);
    EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA"), 0);
}

TEST_F(ServiceFilters, TheCashMovementTakesTheFirstShownReceiptTypeOfKindNineWithAPrinterForm) {
    data_.receiptTypes = {
        {"010", "Dinheiro", "1", "01", "S", "Dinheiro"},          // not of kind 9
        {"008", "Débito oculto", "9", "05", "N", "Oculto"},       // hidden
        {"007", "Débito sem forma", "9", "", "S", "Sem forma"},   // no printer form
        {"006", "Débito convênio", "9", "06", "", "Convenio 6"},  // shown when unset
        {"009", "Débito consumidor", "9", "05", "S", "Convenio"},
    };
    build();
    run({passage("31", 0, "1201")});
    for (const auto& m : messages()) ADD_FAILURE() << "message: " << m;
    ASSERT_EQ(recorder_->concludeCalls, 1);
    const ds::Packet& mov = recorder_->concludeTables[1].asPacket();
    ASSERT_EQ(mov.liveRecords().size(), 1u);
    const ds::Record r = mov.liveRecords()[0];
    EXPECT_EQ(r.cells[mov.fieldIndex("CDTIPORECE")], ds::Cell(std::string("006")));
    EXPECT_EQ(r.cells[mov.fieldIndex("CDFPIMPFIS")], ds::Cell(std::string("06")));
    EXPECT_EQ(r.cells[mov.fieldIndex("DSIMPFISCAL")], ds::Cell(std::string("Convenio 6")));
    // The closing hands the printer the receipt types under the same filter.
    EXPECT_EQ(module_->cdsConfTipoRece.filter(),
              "(IDMOSTRARECE = 'S' OR IDMOSTRARECE IS NULL) AND CDFPIMPFIS IS NOT NULL AND IDTIPORECE = '9'");
    EXPECT_TRUE(module_->cdsConfTipoRece.filtered());
}

TEST_F(ServiceFilters, WithOnlyHiddenReceiptTypesTheMovementHasNone) {
    data_.receiptTypes = {
        {"010", "Dinheiro", "1", "01", "S", "Dinheiro"},
        {"008", "Débito oculto", "9", "05", "N", "Oculto"},
        {"009", "Débito consumidor", "9", "05", "S", "Convenio"},
    };
    data_.receiptTypes[2].idMostraRece = "N";
    build();
    run({passage("31", 0, "1201")});
    ASSERT_EQ(device_->count("AbreCupom"), 1);
    // Whatever the conclusion says of it, the movement built names no receipt type.
    EXPECT_EQ(module_->cdsMovCaixa.field("CDTIPORECE").asString(), "");
    EXPECT_NEAR(module_->cdsMovCaixa.field("VRMOVIVEND").asFloat(), 25.9, 1e-9);
}

}  // namespace
