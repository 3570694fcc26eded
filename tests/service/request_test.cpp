// Requests through the service module with the real stand-ins: a concluded
// batch, refusals, broken-off emissions and the printer check.
#include <gtest/gtest.h>

#include "support/station_fixture.h"

using namespace zel;
using namespace zel::testing;

namespace {

class Request : public StationTest {};

TEST_F(Request, ABatchOfThreeIsConcluded) {
    build();
    // Ana and Bruno at lunch, Carla on the night shift.
    clock_.set(at(12, 5));
    run({passage("11", 0, "1201"), passage("12", 1, "120530"), passage("13", 2, "2330")});
    for (const auto& m : messages()) ADD_FAILURE() << "message: " << m;

    ASSERT_EQ(progress_.size(), 3u);
    EXPECT_EQ(progress_[0], "Aguarde! Gerando venda para o consumidor Ana Souza. Consumidor: 1/3.");
    EXPECT_EQ(progress_[2], "Aguarde! Gerando venda para o consumidor Carla Dias. Consumidor: 3/3.");
    EXPECT_EQ(ended_, 3);

    EXPECT_EQ(receipts().size(), 3u);
    EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'O'"), 3);
    EXPECT_EQ(number("SELECT COUNT(*) FROM ITEMVENDA"), 3);
    EXPECT_EQ(number("SELECT COUNT(*) FROM MOVCAIXA"), 3);
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA"), 0);
    EXPECT_EQ(number("SELECT NRVENDAGERADA FROM LOGCATRACAPK WHERE NRSEQARQIMPK = '7'"), 3);
    // Ana's lunch costs 25.90 + 4.10 of the client's part in family 001.
    EXPECT_NEAR(number("SELECT VRSALDCONFAM FROM SALDOCONS WHERE CDCONSUMIDOR = '1001' AND CDFAMILISALD = '001'"),
                150 - 30.0, 1e-9);
    // Carla's coffee 7.25 in family 002.
    EXPECT_NEAR(number("SELECT VRSALDCONFAM FROM SALDOCONS WHERE CDCONSUMIDOR = '1003' AND CDFAMILISALD = '002'"),
                50 - 7.25, 1e-9);
    EXPECT_FALSE(std::filesystem::exists(layout_.itemFile()));
    EXPECT_FALSE(module_->cupomAberto);
    EXPECT_EQ(module_->nrVendaGerada, 3);

    // Each passage's price was announced before it was asked, with the very
    // values asked: the next passage's while the one before was ending, so
    // Carla's coffee of the night shift at Bruno's end.
    const auto& asked = recorder_->priceArgs;
    ASSERT_EQ(asked.size(), 3u);
    for (size_t k = 0; k < asked.size(); ++k) {
        bool announced = false;
        for (const auto& [values, askedBefore] : recorder_->expectedPrices)
            announced = announced || (values == asked[k] && askedBefore <= k);
        EXPECT_TRUE(announced) << "price " << k + 1 << " of product " << asked[k][2].text();
    }
    EXPECT_NE(asked[2][2], asked[0][2]);  // the night shift's product is another
    const auto& last = recorder_->expectedPrices.back();
    EXPECT_EQ(last.first, asked[2]);
    EXPECT_EQ(last.second, 2u);  // announced after Bruno's price, before Carla's
}

}  // namespace
