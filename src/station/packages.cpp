// Forwarders of the outside packages: timing and crash points.
#include "station/packages.h"

#include <csignal>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/dataset/table.h"
#include "platform/error.h"
#include "platform/station_config.h"
#include "platform/text.h"

namespace zel::host {
namespace {

constexpr std::string_view kOperations[] = {"AbreCupom",       "VendaItem",         "FechaCupom",
                                            "Atu_TotGeral",    "Cancela_Cupom_Imp", "SetConcluiFechamento",
                                            "IncluiVendaCan",  "LogControleAcess",  "AtivaProcesso",
                                            "DesativaProcesso"};

// Times one call into `slot`.
class Timed {
  public:
    explicit Timed(std::chrono::nanoseconds& slot) : slot_(slot), start_(std::chrono::steady_clock::now()) {}
    ~Timed() { slot_ += std::chrono::steady_clock::now() - start_; }

  private:
    std::chrono::nanoseconds& slot_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

bool isCrashOperation(std::string_view name) {
    for (std::string_view op : kOperations)
        if (op == name) return true;
    return false;
}

CrashPoints CrashPoints::fromConfig(const StationConfig& config) {
    CrashPoints points;
    for (const StationConfig::Entry& e : config.entries()) {
        if (e.key.size() <= kCrashKeyPrefix.size() ||
            !equalsIgnoringCase(std::string_view(e.key).substr(0, kCrashKeyPrefix.size()), kCrashKeyPrefix))
            continue;
        std::string op = e.key.substr(kCrashKeyPrefix.size());
        std::string where = fmt::format("{}:{}: key {}", config.source(), e.line, e.key);
        if (!isCrashOperation(op))
            throw Error(
                fmt::format("{}: unknown operation \"{}\" (one of AbreCupom, VendaItem, FechaCupom, "
                            "Atu_TotGeral, Cancela_Cupom_Imp, SetConcluiFechamento, IncluiVendaCan, "
                            "LogControleAcess, AtivaProcesso, DesativaProcesso)",
                            where, op));
        long long n = 0;
        bool ok = !e.value.empty() && e.value.size() < 10;
        for (char c : e.value) ok = ok && c >= '0' && c <= '9';
        if (ok) n = std::stoll(e.value);
        if (!ok || n < 1)
            throw Error(fmt::format("{}: \"{}\" is not a call number (1 for the first call)", where, e.value));
        points.set(op, static_cast<uint32_t>(n));
    }
    return points;
}

void CrashPoints::after(const char* operation) {
    if (rules_.empty()) return;
    auto rule = rules_.find(std::string_view(operation));
    if (rule == rules_.end()) return;
    uint32_t n = ++calls_[operation];
    if (n == rule->second) {
        // A power cut: nothing is flushed or unwound.
        ::raise(SIGKILL);
        ::_exit(137);
    }
}

// ---- the printer

Variant HostDevice::Params_AbreCupom_Kva00000(const std::string& idEsquema, int32_t& nrAbertura, std::string& cpf,
                                              std::string& nome, std::string& endereco, std::string& cupNr,
                                              std::string& contCupom, const std::string& t1, const std::string& t2,
                                              const std::string& t3, const std::string& t4, const std::string& t5,
                                              const std::string& t6, const std::string& t7, bool flag) {
    Timed t(times_.printer);
    return real_.Params_AbreCupom_Kva00000(idEsquema, nrAbertura, cpf, nome, endereco, cupNr, contCupom, t1, t2, t3, t4,
                                           t5, t6, t7, flag);
}
Variant HostDevice::Params_VendaItem_Kva00000(const std::string& a1, const std::string& a2, const std::string& a3,
                                              const std::string& a4, const std::string& a5, const std::string& a6,
                                              const std::string& a7, const std::string& a8, const std::string& a9,
                                              const std::string& a10, const std::string& a11, int32_t a12, double a13,
                                              double a14, double a15, double a16, bool a17) {
    Timed t(times_.printer);
    return real_.Params_VendaItem_Kva00000(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17);
}
Variant HostDevice::Params_Atu_TotGeral_Kva00000(const std::string& a1, const std::string& a2, const std::string& a3,
                                                 const std::string& a4, const std::string& a5, bool a6,
                                                 const std::string& a7, const std::string& a8, const std::string& a9,
                                                 const std::string& a10, double a11, double a12) {
    Timed t(times_.printer);
    return real_.Params_Atu_TotGeral_Kva00000(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12);
}
Variant HostDevice::Params_VerificaSerialImp_Kva00000(bool a1, const std::string& a2, const std::string& a3,
                                                      const std::string& a4) {
    Timed t(times_.printer);
    return real_.Params_VerificaSerialImp_Kva00000(a1, a2, a3, a4);
}

#define ZEL_DEVICE_CALL(op, expr) \
    bool answer;                  \
    {                             \
        Timed t(times_.printer);  \
        answer = (expr);          \
    }                             \
    crash_.after(op);             \
    return answer

bool HostDevice::AbreCupom(Variant& p) { ZEL_DEVICE_CALL("AbreCupom", real_.AbreCupom(p)); }
bool HostDevice::VendaItem(Variant& p) { ZEL_DEVICE_CALL("VendaItem", real_.VendaItem(p)); }
bool HostDevice::FechaCupom(const VariantArray& c, const Variant& u, Variant& a) {
    ZEL_DEVICE_CALL("FechaCupom", real_.FechaCupom(c, u, a));
}
bool HostDevice::Atu_TotGeral(Variant& p) { ZEL_DEVICE_CALL("Atu_TotGeral", real_.Atu_TotGeral(p)); }
bool HostDevice::VerificaData(const std::string& a, Variant& d, int32_t m1, const std::string& b, int32_t m2) {
    Timed t(times_.printer);
    return real_.VerificaData(a, d, m1, b, m2);
}
bool HostDevice::VerificaSerialImp(const Variant& p) {
    Timed t(times_.printer);
    return real_.VerificaSerialImp(p);
}
bool HostDevice::Cancela_Cupom_Imp(const VariantArray& v, Variant& a) {
    ZEL_DEVICE_CALL("Cancela_Cupom_Imp", real_.Cancela_Cupom_Imp(v, a));
}
DateTime HostDevice::DataMoviFiscal(const std::string& e) {
    Timed t(times_.printer);
    return real_.DataMoviFiscal(e);
}

#undef ZEL_DEVICE_CALL

// ---- the service package

void HostService::AtivaProcesso(int32_t k, const std::string& text, int32_t p, int32_t n) {
    real_.AtivaProcesso(k, text, p, n);
    crash_.after("AtivaProcesso");
}
void HostService::DesativaProcesso() {
    real_.DesativaProcesso();
    crash_.after("DesativaProcesso");
}
Variant HostService::ChamaFuncaoGetRetornaPreco(const VariantArray& v, ds::Table& table) {
    Timed t(times_.service);
    return real_.ChamaFuncaoGetRetornaPreco(v, table);
}
// A hint, no operation of the service: no crash point names it.
void HostService::expectPrice(const VariantArray& v) {
    Timed t(times_.service);
    real_.expectPrice(v);
}
void HostService::getProdCodCestNcm(const std::string& p, Variant& out) {
    Timed t(times_.service);
    real_.getProdCodCestNcm(p, out);
}
double HostService::CalculoIcmsDFederal(const Variant& v, Variant& out, double a) {
    Timed t(times_.service);
    return real_.CalculoIcmsDFederal(v, out, a);
}
Variant HostService::SetConcluiFechamento(const VariantArray& tables, const VariantArray& v, Variant& a) {
    Variant answer;
    try {
        Timed t(times_.service);
        answer = real_.SetConcluiFechamento(tables, v, a);
    } catch (const std::exception& e) {
        if (tell_) tell_(std::string("storing the sale ended in an error: ") + e.what());
        throw;
    }
    crash_.after("SetConcluiFechamento");
    return answer;
}
std::string HostService::IncluiVendaCan(const VariantArray& v, Variant& a) {
    std::string answer;
    {
        Timed t(times_.service);
        answer = real_.IncluiVendaCan(v, a);
    }
    crash_.after("IncluiVendaCan");
    return answer;
}
void HostService::LogControleAcess(const std::vector<std::string>& texts) {
    {
        Timed t(times_.service);
        real_.LogControleAcess(texts);
    }
    crash_.after("LogControleAcess");
}

}  // namespace zel::host
