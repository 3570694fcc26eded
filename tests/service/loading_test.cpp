// The loading of a request: parameters by name, first rows only, missing and
// damaged files, values kept from an earlier load, the fiscal movement date,
// and the entry as the installation finds it in the shared library.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "platform/dataset/codec.h"
#include "platform/dataset/table.h"
#include "support/station_fixture.h"

using namespace zel;
using namespace zel::testing;

namespace {

class Loading : public StationTest {
  protected:
    void editPacket(const std::filesystem::path& file, const std::function<void(ds::Packet&)>& edit) {
        ds::Packet p = ds::readPacketFile(file);
        edit(p);
        ds::writePacketFile(file, p);
    }
};

TEST_F(Loading, ParametersAreFoundWhateverTheLetterCaseAndOnlyTheFirstRowCounts) {
    build();
    editPacket(layout_.parameters(), [](ds::Packet& p) {
        for (ds::FieldDef& f : p.fields)
            std::transform(f.name.begin(), f.name.end(), f.name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
        ds::Record second = p.records[0];
        second.cells[p.fieldIndex("IDESQUEMA")] = std::string("OUTRO");
        p.records.push_back(second);
    });
    editPacket(layout_.table("ControleAcess.cds"), [](ds::Packet& p) {
        p.records.push_back({0, {std::string("X9"), std::string("Outro operador")}});
    });
    run({passage("41", 0, "1201")});
    EXPECT_TRUE(messages().empty()) << messages().front();
    EXPECT_EQ(module_->idEsquema, "ZEL");
    EXPECT_EQ(module_->idTpTelaVe, "1");
    EXPECT_EQ(module_->nrSerieImp, "SIM0000000001");
    EXPECT_EQ(module_->idTipoImpFis, 1);
    EXPECT_TRUE(module_->utilizaImpFis);
    EXPECT_EQ(module_->dtAberCaix, day_);
    EXPECT_EQ(module_->dsDirCad, layout_.dsDirCad());
    EXPECT_EQ(module_->cdOperador, "AUTO");
    EXPECT_EQ(module_->dsMd5Paf, "MD-5:0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA"), 1);
}

TEST_F(Loading, AMissingFileIsSkipped) {
    build();
    std::filesystem::remove(layout_.table("ControleAcess.cds"));
    std::filesystem::remove(layout_.table("Cad_Cliente.cds"));
    run({passage("41", 0, "1201")});
    EXPECT_TRUE(messages().empty()) << messages().front();
    EXPECT_EQ(module_->cdOperador, "");
    EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA"), 1);
}

TEST_F(Loading, AMissingParameterKeyStopsTheLoadAtThatKey) {
    build();
    editPacket(layout_.parameters(), [](ds::Packet& p) {
        int i = p.fieldIndex("ECFIMP");
        p.fields.erase(p.fields.begin() + i);
        p.records[0].cells.erase(p.records[0].cells.begin() + i);
    });
    run({passage("41", 0, "1201")});
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_NE(messages()[0].find("ECFIMP"), std::string::npos) << messages()[0];
    EXPECT_EQ(module_->idTpTelaVe, "1");   // read before the missing key
    EXPECT_EQ(module_->dsMensCpfCup, "");  // after it: never reached
    EXPECT_TRUE(device_->calls.empty());   // no printer check, no sale
    EXPECT_EQ(number("SELECT COUNT(*) FROM LOGCATRACA"), 1);
}

TEST_F(Loading, ADamagedFileStopsTheLoad) {
    build();
    std::filesystem::resize_file(layout_.table("Produtos.cds"), 40);
    run({passage("41", 0, "1201")});
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_NE(messages()[0].find("Produtos.cds"), std::string::npos) << messages()[0];
    EXPECT_TRUE(device_->calls.empty());
    EXPECT_EQ(module_->idEsquema, "");  // the parameters come after the cached tables
}

TEST_F(Loading, ALaterRequestKeepsTheValuesItDoesNotReach) {
    build();
    run({passage("41", 0, "1201")});
    ASSERT_EQ(module_->idEsquema, "ZEL");
    std::filesystem::remove(layout_.parameters());
    std::filesystem::remove(layout_.table("ControleAcess.cds"));
    sink_.clear();
    run({passage("42", 1, "1205")});
    EXPECT_TRUE(messages().empty()) << messages().front();
    EXPECT_EQ(module_->idEsquema, "ZEL");
    EXPECT_EQ(module_->cdOperador, "AUTO");
    EXPECT_EQ(number("SELECT COUNT(*) FROM VENDA"), 2);
}

TEST_F(Loading, AFirstRequestWithoutParametersFails) {
    build();
    std::filesystem::remove(layout_.parameters());
    run({passage("41", 0, "1201")});
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_NE(messages()[0].find("DSDIRCAD"), std::string::npos) << messages()[0];
    EXPECT_TRUE(device_->calls.empty());
}

TEST_F(Loading, TheFiscalMovementDateComesFromThePrinterOrFromToday) {
    build();
    run({passage("41", 0, "1201")});
    EXPECT_EQ(device_->count("DataMoviFiscal"), 1);
    EXPECT_EQ(module_->dtMoviFiscal, printer_->DataMoviFiscal("ZEL"));

    TearDown();
    SetUp();
    data_.utilizaImpFis = false;
    clock_.set(DateTime::fromFields({2026, 3, 17, 9, 30, 0, 0}));
    build();
    Variant result;
    module_->request({Variant::packet(station::requestPacket(data_, {}))}, result);
    EXPECT_EQ(device_->count("DataMoviFiscal"), 0);
    EXPECT_EQ(module_->dtMoviFiscal, DateTime::fromDate(2026, 3, 17));
}

TEST_F(Loading, AnEmptyBatchIsTold) {
    build();
    Variant result("as passed");
    module_->request({Variant::packet(station::requestPacket(data_, {})), Variant("ignored")}, result);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"Geração das vendas não permitida. Nenhum consumidor foi selecionado."});
    EXPECT_EQ(result, Variant("as passed"));
}

TEST(SharedLibrary, ExportsTheEntryByItsPlainName) {
    void* handle = ::dlopen(ZEL_SERVICE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    using Entry = void (*)(const VariantArray&, Variant&);
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, "GeraCupomVenda"));
    ASSERT_NE(entry, nullptr);
    // Without a host the library can tell no one anything; it must not throw.
    Variant result("kept");
    entry(VariantArray{}, result);
    EXPECT_EQ(result, Variant("kept"));
    ::dlclose(handle);
}

}  // namespace

namespace {

class Entry : public StationTest {};

TEST_F(Entry, TheFirstCallCreatesTheModuleAndLaterCallsReuseIt) {
    build();
    ASSERT_EQ(rdmGeraCupomVenda, nullptr);
    ServiceHost host = module_->host();
    registerServiceHost(host);
    db::Connection c(connection_);
    station::insertPassages(c, data_, {passage("51", 0, "1201")}, "9");
    Variant result;
    Srv_Zel92000::GeraCupomVenda({Variant::packet(station::requestPacket(data_, {passage("51", 0, "1201")}))}, result);
    TrdmGeraCupomVenda* first = rdmGeraCupomVenda;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->nrVendaGerada, 1);
    Srv_Zel92000::GeraCupomVenda({Variant("not a table")}, result);
    EXPECT_EQ(rdmGeraCupomVenda, first);
    EXPECT_TRUE(said("Geração das vendas não permitida. Nenhum consumidor foi selecionado."));
    // The module of the process lives until the process ends; this test owns it.
    delete rdmGeraCupomVenda;
    rdmGeraCupomVenda = nullptr;
}

}  // namespace
