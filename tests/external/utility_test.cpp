// The shared utility library as the service relies on it.
#include <sstream>

#include <gtest/gtest.h>

#include "external/utility/args.h"
#include "external/printer/fiscal_printer_sim.h"
#include "external/utility/param_packet.h"
#include "external/utility/utility.h"
#include "platform/error.h"
#include "printer_fixture.h"

namespace zel::ext::testing {
namespace {

// Worked out by hand from the rule documented in utility.h.
const std::string kCipherOfAbc123 = ":.foEz$";

FixedClock clockAt() { return FixedClock(DateTime::fromFields({2026, 12, 8, 9, 15, 30, 250})); }

TEST(Mensagem, TheFixedFormReachesEverySinkWithItsMoment) {
    FixedClock clock = clockAt();
    CollectingSink kept;
    std::ostringstream printed;
    PrintingSink printing(printed);
    std::filesystem::path log = std::filesystem::temp_directory_path() / ("zel-log-" + std::to_string(::getpid()));
    std::filesystem::remove(log);
    LogFileSink logFile(log);
    FanOutSink all({&printing, &kept, &logFile});
    Messenger m(all, clock);

    m.Mensagem("Produto não cadastrado - José", "", "N", "N", TTipoMsg::Registro, "", "ZEL", 0, nullptr);
    clock.advanceMilliseconds(1000);
    m.Mensagem("segunda\nlinha", "", "N", "N", TTipoMsg::Registro, "", "ZEL", 0, nullptr);

    ASSERT_EQ(kept.messages().size(), 2u);
    const Message& first = kept.messages()[0];
    EXPECT_EQ(first.text, "Produto não cadastrado - José");
    EXPECT_EQ(first.kind, TTipoMsg::Registro);
    EXPECT_EQ(first.idEsquema, "ZEL");
    EXPECT_EQ(first.flag1, "N");
    EXPECT_EQ(first.moment, clockAt().now());
    EXPECT_EQ(printed.str(), "[Registro] ZEL: Produto não cadastrado - José\n[Registro] ZEL: segunda linha\n");
    EXPECT_EQ(readFile(log),
              "2026-12-08 09:15:30.250 [Registro] ZEL: Produto não cadastrado - José\n"
              "2026-12-08 09:15:31.250 [Registro] ZEL: segunda linha\n");
    std::filesystem::remove(log);
}

TEST(Mensagem, ALogFileThatCannotBeWrittenIsAnError) {
    FixedClock clock = clockAt();
    LogFileSink bad("/nonexistent-dir/zel/log.txt");
    Messenger m(bad, clock);
    EXPECT_THROW(m.Mensagem("x", "", "N", "N", TTipoMsg::Registro, "", "ZEL", 0, nullptr), Error);
}

TEST(MensagemMetodo, GoodAnswersPassSilentlyAndAFailureIsReportedThenRaised) {
    FixedClock clock = clockAt();
    CollectingSink kept;
    Messenger m(kept, clock);
    for (const Variant& good : {Variant(), Variant::null(), Variant(true), Variant(""), Variant("ok"),
                                serviceAnswerOk(), Variant(VariantArray{})})
        EXPECT_TRUE(m.MensagemMetodo(good, true, 10, "setConcluiFechamento", "Srv_Zel92000", "d", "ZEL"));
    EXPECT_TRUE(kept.messages().empty());

    try {
        m.MensagemMetodo(serviceAnswerFailure("saldo insuficiente"), true, 10, "setConcluiFechamento", "Srv_Zel92000",
                         "cdsVenda-cdsMovCaixa", "ZEL");
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Falha em Srv_Zel92000.setConcluiFechamento: saldo insuficiente [cdsVenda-cdsMovCaixa]");
    }
    ASSERT_EQ(kept.messages().size(), 1u);
    EXPECT_EQ(kept.messages()[0].kind, TTipoMsg::Erro);
    EXPECT_EQ(kept.messages()[0].code, 10);

    EXPECT_FALSE(m.MensagemMetodo(Variant("tabela bloqueada"), false, 10, "IncluiVendaCan", "Cli_Res02000", "", "ZEL"));
    EXPECT_EQ(kept.messages().back().text, "Falha em Cli_Res02000.IncluiVendaCan: tabela bloqueada");
    EXPECT_FALSE(m.MensagemMetodo(Variant(false), false, 10, "M", "U", "", "ZEL"));
}

TEST(CheckResultServ, RaisesExactlyTheFailureCode) {
    EXPECT_TRUE(CheckResultServ(priceResultOk(), true, 0));
    for (const char* code : {"PRECNCAD", "TABENCAD", "DTCLI", "DTPAR", "DTLOJ", "PRECZERO", "BLOQUEADO",
                             "Serviço de preços indisponível"}) {
        try {
            CheckResultServ(priceResultFailure(code), true, 0);
            FAIL() << code;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), code);
        }
        EXPECT_FALSE(CheckResultServ(priceResultFailure(code), false, 0));
    }
    EXPECT_THROW(CheckResultServ(Variant("PRECNCAD"), true, 0), ArgumentError);
    EXPECT_THROW(CheckResultServ(Variant(VariantArray{}), true, 0), ArgumentError);
    EXPECT_THROW(CheckResultServ(Variant(VariantArray{Variant(1.5)}), true, 0), ArgumentError);
}

TEST(Ajusta, NumbersGetZerosOnTheLeftTextsBlanksOnTheRightAndNothingIsCut) {
    EXPECT_EQ(Ajusta("2", 3), "002");
    EXPECT_EQ(Ajusta("001", 3), "001");
    EXPECT_EQ(Ajusta("0002", 3), "002");
    EXPECT_EQ(Ajusta(" 15 ", 4), "0015");
    EXPECT_EQ(Ajusta("123456", 10), "0000123456");
    EXPECT_EQ(Ajusta("", 4), "    ");
    EXPECT_EQ(Ajusta("AB", 4), "AB  ");
    EXPECT_EQ(Ajusta("ção", 4), "ção ");  // characters, not bytes
    EXPECT_EQ(Ajusta("-5", 3), "-5 ");    // a sign makes it a text
    EXPECT_THROW(Ajusta("1000", 3), Error);
    EXPECT_THROW(Ajusta("ABCDE", 4), Error);
}

TEST(SmallHelpers, EmptyStringIifAndTheCatalogue) {
    EXPECT_TRUE(EmptyString(""));
    EXPECT_TRUE(EmptyString(" \t\r\n"));
    EXPECT_FALSE(EmptyString(" 0 "));
    EXPECT_EQ(iif(true, Variant(1), Variant("b")), Variant(1));
    EXPECT_EQ(iif(false, Variant(1), Variant("b")), Variant("b"));

    TMessages msg({"Preco_Zero|Preço do produto deve ser maior que zero.", "", "Inicia_Processo|Aguarde! %s/%s.",
                   "Vazio|", "Com|barra|dentro"});
    EXPECT_EQ(msg.Msg("Preco_Zero"), "Preço do produto deve ser maior que zero.");
    EXPECT_EQ(msg.Msg("Inicia_Processo"), "Aguarde! %s/%s.");
    EXPECT_EQ(msg.Msg("Vazio"), "");
    EXPECT_EQ(msg.Msg("Com"), "barra|dentro");
    EXPECT_THROW(msg.Msg("preco_zero"), Error);
    EXPECT_THROW(msg.Msg("Desconhecida"), Error);
}

TEST(RecebeParams, ReadsTheOpeningNumbersAndNamesWhatIsWrong) {
    Variant packet = makeParamPacket("AbreCupom", {{"CUPNR", Variant("000012")}, {"CONTCUPOM", Variant("000034")}});
    EXPECT_EQ(RecebeParams(packet, "CUPNR").toText(FormatSettings{}), "000012");
    EXPECT_EQ(RecebeParams(packet, "contcupom").toText(FormatSettings{}), "000034");
    try {
        RecebeParams(packet, "NRCAIXA");
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_EQ(std::string(e.what()), "RecebeParams: the parameter packet holds no value NRCAIXA");
    }
    EXPECT_THROW(RecebeParams(Variant(), "CUPNR"), ArgumentError);
    Variant broken(VariantArray{Variant(VariantArray{Variant("PACOTE"), Variant("AbreCupom")}), Variant("CUPNR")});
    try {
        RecebeParams(broken, "CUPNR");
        FAIL();
    } catch (const ArgumentError& e) {
        EXPECT_EQ(std::string(e.what()), "RecebeParams: parameter packet position 1 is not a [name, value] pair");
    }
}

TEST(Cipher, UncriptoInvertsCriptoAndRefusesAWrongKeyOrADamagedText) {
    const std::string md5 = "0cc175b9c0f1b6a831c399e269772661";
    for (int key = 0; key <= 9; ++key) EXPECT_EQ(Uncripto(Cripto(md5, key), key), md5);
    EXPECT_EQ(Uncripto(Cripto("", kIdentKey), kIdentKey), "");
    EXPECT_EQ(Uncripto(Cripto(" ~!{}|", 3), 3), " ~!{}|");
    // Files written by the tools must stay readable: the cipher of a known text is fixed.
    EXPECT_EQ(Cripto("abc123", kIdentKey), kCipherOfAbc123);
    std::string c = Cripto(md5, kIdentKey);
    EXPECT_NE(c.substr(1), md5);
    EXPECT_THROW(Uncripto(c, kIdentKey - 1), Error);
    std::string damaged = c;
    damaged[5] = damaged[5] == 'a' ? 'b' : 'a';
    EXPECT_THROW(Uncripto(damaged, kIdentKey), Error);
    EXPECT_THROW(Uncripto("", kIdentKey), Error);
    EXPECT_THROW(Uncripto("a\x01", kIdentKey), Error);
    EXPECT_THROW(Cripto("ção", kIdentKey), Error);
    EXPECT_THROW(Cripto("x", 10), Error);
}

}  // namespace
}  // namespace zel::ext::testing
