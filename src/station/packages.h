// The outside packages as the host puts them into the service's slots: the
// simulated printer and the database service package, each behind a forwarder
// that times its calls and can end the process at a chosen moment, which is how
// crash rehearsals are made ("crash.after.<operation> = N" in the station's
// configuration: SIGKILL right after the N-th call of that operation returned).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "external/device.h"
#include "external/service_package.h"

namespace zel {
class StationConfig;
}

namespace zel::host {

inline constexpr std::string_view kCrashKeyPrefix = "crash.after.";

// The crash points of a station: operation name → the call after which the
// process kills itself.
class CrashPoints {
  public:
    // Reads every "crash.after.<operation> = N" key. An unknown operation or a
    // value that is not a whole number from 1 up is an Error naming the file,
    // the line and the key.
    static CrashPoints fromConfig(const StationConfig& config);

    void set(const std::string& operation, uint32_t onCall) { rules_[operation] = onCall; }
    // Counts the call; kills the process when it is the one named.
    void after(const char* operation);
    bool empty() const { return rules_.empty(); }

  private:
    std::map<std::string, uint32_t, std::less<>> rules_;
    std::map<std::string, uint32_t, std::less<>> calls_;
};

// Time spent in each package, for the benchmark's breakdown.
struct PackageTimes {
    std::chrono::nanoseconds printer{0};         // the simulated printer (its memory file and tape)
    std::chrono::nanoseconds service{0};         // the service package (its database work)
    std::chrono::nanoseconds moduleDatabase{0};  // the module's own statements
    std::chrono::nanoseconds tableFiles{0};      // table files read and written (cached tables, item file)
    std::chrono::nanoseconds requests{0};        // everything inside the service's entry
};

class HostDevice final : public ext::DevicePackage {
  public:
    HostDevice(ext::DevicePackage& real, CrashPoints& crash, PackageTimes& times)
        : real_(real), crash_(crash), times_(times) {}

    Variant Params_AbreCupom_Kva00000(const std::string& idEsquema, int32_t& nrAbertura, std::string& cpf,
                                      std::string& nome, std::string& endereco, std::string& cupNr,
                                      std::string& contCupom, const std::string& t1, const std::string& t2,
                                      const std::string& t3, const std::string& t4, const std::string& t5,
                                      const std::string& t6, const std::string& t7, bool flag) override;
    Variant Params_VendaItem_Kva00000(const std::string& a1, const std::string& a2, const std::string& a3,
                                      const std::string& a4, const std::string& a5, const std::string& a6,
                                      const std::string& a7, const std::string& a8, const std::string& a9,
                                      const std::string& a10, const std::string& a11, int32_t a12, double a13,
                                      double a14, double a15, double a16, bool a17) override;
    Variant Params_Atu_TotGeral_Kva00000(const std::string& a1, const std::string& a2, const std::string& a3,
                                         const std::string& a4, const std::string& a5, bool a6, const std::string& a7,
                                         const std::string& a8, const std::string& a9, const std::string& a10,
                                         double a11, double a12) override;
    Variant Params_VerificaSerialImp_Kva00000(bool a1, const std::string& a2, const std::string& a3,
                                              const std::string& a4) override;
    bool AbreCupom(Variant& p) override;
    bool VendaItem(Variant& p) override;
    bool FechaCupom(const VariantArray& c, const Variant& u, Variant& a) override;
    bool Atu_TotGeral(Variant& p) override;
    bool VerificaData(const std::string& a, Variant& d, int32_t m1, const std::string& b, int32_t m2) override;
    bool VerificaSerialImp(const Variant& p) override;
    bool Cancela_Cupom_Imp(const VariantArray& v, Variant& a) override;
    DateTime DataMoviFiscal(const std::string& e) override;

  private:
    ext::DevicePackage& real_;
    CrashPoints& crash_;
    PackageTimes& times_;
};

class HostService final : public ext::ServicePackage {
  public:
    HostService(ext::ServicePackage& real, CrashPoints& crash, PackageTimes& times)
        : real_(real), crash_(crash), times_(times) {}

    void AtivaProcesso(int32_t k, const std::string& t, int32_t p, int32_t n) override;
    void DesativaProcesso() override;
    Variant ChamaFuncaoGetRetornaPreco(const VariantArray& v, ds::Table& t) override;
    void expectPrice(const VariantArray& v) override;
    void getProdCodCestNcm(const std::string& p, Variant& out) override;
    double CalculoIcmsDFederal(const Variant& v, Variant& out, double a) override;
    Variant SetConcluiFechamento(const VariantArray& t, const VariantArray& v, Variant& a) override;
    std::string IncluiVendaCan(const VariantArray& v, Variant& a) override;
    void LogControleAcess(const std::vector<std::string>& t) override;

    // Told the error a sale's storing ended in (refused, or its answer lost:
    // the outcome is read from the database afterwards): the service shows
    // its own fixed message for it and goes on, so the cause would be lost.
    void tellRefusals(std::function<void(const std::string&)> tell) { tell_ = std::move(tell); }

  private:
    ext::ServicePackage& real_;
    CrashPoints& crash_;
    PackageTimes& times_;
    std::function<void(const std::string&)> tell_;
};

// The operations a crash point may name.
bool isCrashOperation(std::string_view name);

}  // namespace zel::host
