// Recording fakes for the slots of the outside packages: each forwards to the
// real stand-in and keeps the arguments of every call, so a test can check the
// exact values the service sends; hooks let a test make a call fail.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "external/device.h"
#include "external/service_package.h"
#include "platform/dataset/table.h"
#include "platform/error.h"

namespace zel::testing {

class RecordingDevice final : public ext::DevicePackage {
  public:
    explicit RecordingDevice(ext::DevicePackage& real) : real_(real) {}

    std::vector<std::string> calls;
    std::vector<VariantArray> itemArgs;  // the 17 arguments of each item builder call
    VariantArray closing;                // the last closing list
    std::vector<VariantArray> cancels;   // each cancellation list
    VariantArray totalArgs;              // the last grand-total builder call

    Variant Params_AbreCupom_Kva00000(const std::string& idEsquema, int32_t& nrAbertura, std::string& cpf,
                                      std::string& nome, std::string& endereco, std::string& cupNr,
                                      std::string& contCupom, const std::string& t1, const std::string& t2,
                                      const std::string& t3, const std::string& t4, const std::string& t5,
                                      const std::string& t6, const std::string& t7, bool flag) override {
        calls.push_back("Params_AbreCupom_Kva00000");
        return real_.Params_AbreCupom_Kva00000(idEsquema, nrAbertura, cpf, nome, endereco, cupNr, contCupom, t1, t2, t3,
                                               t4, t5, t6, t7, flag);
    }
    Variant Params_VendaItem_Kva00000(const std::string& a1, const std::string& a2, const std::string& a3,
                                      const std::string& a4, const std::string& a5, const std::string& a6,
                                      const std::string& a7, const std::string& a8, const std::string& a9,
                                      const std::string& a10, const std::string& a11, int32_t a12, double a13,
                                      double a14, double a15, double a16, bool a17) override {
        calls.push_back("Params_VendaItem_Kva00000");
        itemArgs.push_back({a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17});
        return real_.Params_VendaItem_Kva00000(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16,
                                               a17);
    }
    Variant Params_Atu_TotGeral_Kva00000(const std::string& a1, const std::string& a2, const std::string& a3,
                                         const std::string& a4, const std::string& a5, bool a6, const std::string& a7,
                                         const std::string& a8, const std::string& a9, const std::string& a10,
                                         double a11, double a12) override {
        calls.push_back("Params_Atu_TotGeral_Kva00000");
        totalArgs = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12};
        return real_.Params_Atu_TotGeral_Kva00000(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12);
    }
    Variant Params_VerificaSerialImp_Kva00000(bool a1, const std::string& a2, const std::string& a3,
                                              const std::string& a4) override {
        calls.push_back("Params_VerificaSerialImp_Kva00000");
        return real_.Params_VerificaSerialImp_Kva00000(a1, a2, a3, a4);
    }
    bool AbreCupom(Variant& p) override { return record("AbreCupom", real_.AbreCupom(p)); }
    bool VendaItem(Variant& p) override { return record("VendaItem", real_.VendaItem(p)); }
    bool FechaCupom(const VariantArray& c, const Variant& u, Variant& a) override {
        closing = c;
        return record("FechaCupom", real_.FechaCupom(c, u, a));
    }
    bool Atu_TotGeral(Variant& p) override { return record("Atu_TotGeral", real_.Atu_TotGeral(p)); }
    bool VerificaData(const std::string& a, Variant& d, int32_t m1, const std::string& b, int32_t m2) override {
        return record("VerificaData", real_.VerificaData(a, d, m1, b, m2));
    }
    bool VerificaSerialImp(const Variant& p) override {
        return record("VerificaSerialImp", real_.VerificaSerialImp(p));
    }
    bool Cancela_Cupom_Imp(const VariantArray& v, Variant& a) override {
        cancels.push_back(v);
        return record("Cancela_Cupom_Imp", real_.Cancela_Cupom_Imp(v, a));
    }
    DateTime DataMoviFiscal(const std::string& e) override {
        calls.push_back("DataMoviFiscal");
        return real_.DataMoviFiscal(e);
    }

    int count(const std::string& op) const {
        int n = 0;
        for (const auto& c : calls) n += c == op;
        return n;
    }

  private:
    bool record(const char* op, bool answer) {
        calls.push_back(op);
        return answer;
    }
    ext::DevicePackage& real_;
};

class RecordingService final : public ext::ServicePackage {
  public:
    explicit RecordingService(ext::ServicePackage& real) : real_(real) {}

    std::vector<VariantArray> priceArgs;
    // The prices announced, each with the number of prices asked before it.
    std::vector<std::pair<VariantArray, size_t>> expectedPrices;
    VariantArray concludeTables, concludeValues;
    int concludeCalls = 0;
    std::vector<VariantArray> cancelled;
    std::vector<std::vector<std::string>> accessLog;
    std::vector<std::string> progress;
    // Hooks run before the call is forwarded; they may throw to make it fail.
    std::function<void()> beforeConclude, beforeItemCodes, beforeCancelled;

    void AtivaProcesso(int32_t k, const std::string& t, int32_t p, int32_t n) override {
        progress.push_back(t);
        real_.AtivaProcesso(k, t, p, n);
    }
    void DesativaProcesso() override { real_.DesativaProcesso(); }
    Variant ChamaFuncaoGetRetornaPreco(const VariantArray& v, ds::Table& t) override {
        priceArgs.push_back(v);
        return real_.ChamaFuncaoGetRetornaPreco(v, t);
    }
    void expectPrice(const VariantArray& v) override {
        expectedPrices.push_back({v, priceArgs.size()});
        real_.expectPrice(v);
    }
    void getProdCodCestNcm(const std::string& p, Variant& out) override {
        if (beforeItemCodes) beforeItemCodes();
        real_.getProdCodCestNcm(p, out);
    }
    double CalculoIcmsDFederal(const Variant& v, Variant& out, double a) override {
        return real_.CalculoIcmsDFederal(v, out, a);
    }
    Variant SetConcluiFechamento(const VariantArray& t, const VariantArray& v, Variant& a) override {
        ++concludeCalls;
        concludeTables = t;
        concludeValues = v;
        if (beforeConclude) beforeConclude();
        return real_.SetConcluiFechamento(t, v, a);
    }
    std::string IncluiVendaCan(const VariantArray& v, Variant& a) override {
        cancelled.push_back(v);
        if (beforeCancelled) beforeCancelled();
        return real_.IncluiVendaCan(v, a);
    }
    void LogControleAcess(const std::vector<std::string>& t) override {
        accessLog.push_back(t);
        real_.LogControleAcess(t);
    }

  private:
    ext::ServicePackage& real_;
};

}  // namespace zel::testing
