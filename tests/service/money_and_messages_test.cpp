// The money rule and the message catalogue.
#include <gtest/gtest.h>

#include "platform/error.h"
#include "sale/trunc2.h"
#include "external/utility/utility.h"
#include "service/message_catalogue.h"

using namespace zel;

TEST(Trunc2, CutsTowardsZeroWithTheNinesCorrection) {
    EXPECT_DOUBLE_EQ(Trunc2(1.239), 1.23);
    EXPECT_DOUBLE_EQ(Trunc2(1.2), 1.2);
    EXPECT_DOUBLE_EQ(Trunc2(7), 7);
    EXPECT_DOUBLE_EQ(Trunc2(-1.239), -1.23);
    EXPECT_EQ(Trunc2(0.0009), 0);
    EXPECT_EQ(Trunc2(-0.0009), 0);
    EXPECT_EQ(Trunc2(0.005), 0);
    EXPECT_DOUBLE_EQ(Trunc2(2.10999999), 2.11);
    EXPECT_DOUBLE_EQ(Trunc2(-2.10999999), -2.11);
    EXPECT_DOUBLE_EQ(Trunc2(2.1099), 2.10);
    EXPECT_DOUBLE_EQ(Trunc2(0.1 + 0.2), 0.3);
    EXPECT_DOUBLE_EQ(Trunc2(12.349), 12.34);
    // The separator of the station does not change the result.
    EXPECT_DOUBLE_EQ(Trunc2(12.349, FormatSettings::invariant()), 12.34);
    EXPECT_DOUBLE_EQ(Trunc2(123456789012.999999), 123456789013.0);
}

TEST(MessageCatalogue, SystemKeysHaveTheirExactTexts) {
    ext::TMessages msgPadrao(msgPadraoLines());
    EXPECT_EQ(msgPadrao.Msg("CONSUMIDOR_VAZIO"),
              "Geração das vendas não permitida. Nenhum consumidor foi selecionado.");
    EXPECT_EQ(msgPadrao.Msg("Inicia_Processo"), "Aguarde! Gerando venda para o consumidor %s. Consumidor: %s/%s.");
    EXPECT_EQ(msgPadrao.Msg("Mot_Can_Cup"), "Cupom cancelado nº:");
    EXPECT_EQ(msgPadrao.Msg("ERRO_IMPRESSORA1"),
              "Ocorreu um erro com a impressora fiscal (Data da Impressora). Apenas operações de consulta estão "
              "habilitadas.");
    EXPECT_EQ(
        msgPadrao.Msg("ERRO_IMPRESSORA3"),
        "Ocorreu um erro com a impressora fiscal (Grande Total). Apenas operações de consulta serão habilitadas.");
    EXPECT_THROW(msgPadrao.Msg("NoSuchKey"), Error);
    // Every line but one holds a key; the other keys of the shared set are there in order.
    size_t empty = 0;
    for (const auto& l : msgPadrao.lines()) empty += l.empty();
    EXPECT_EQ(empty, 1u);
    EXPECT_EQ(msgPadrao.lines().front().substr(0, 10), "Principal|");
    EXPECT_EQ(msgPadrao.lines().back().substr(0, 17), "ERRO_IMPRESSORA3|");
    EXPECT_NO_THROW(msgPadrao.Msg("Sub-Total"));
    EXPECT_NO_THROW(msgPadrao.Msg("VrConsDiaFam"));
}

TEST(MessageCatalogue, PlaceHoldersAreFilledInOrder) {
    ext::TMessages msgPadrao(msgPadraoLines());
    EXPECT_EQ(formatMessage(msgPadrao.Msg("Inicia_Processo"), {"Ana", "3", "5"}),
              "Aguarde! Gerando venda para o consumidor Ana. Consumidor: 3/5.");
    EXPECT_EQ(formatMessage("%s - %s.", {"a"}), "a - .");
    EXPECT_EQ(formatMessage("100%% de %.2m", {"12.5"}), "100% de 12.50");
}
