// The service module's construction, its messages, and the library variables.
#include "service/module.h"

#include <unistd.h>

#include <climits>

#include "external/utility/util_connection.h"
#include "platform/error.h"
#include "service/message_catalogue.h"

namespace zel {

TrdmGeraCupomVenda* rdmGeraCupomVenda = nullptr;
Variant oleRetImposto;
Variant oleProdCestNcm;

namespace {

// The exchange lists are cleared when the library is unloaded, oleProdCestNcm first.
struct LibraryVariables {
    ~LibraryVariables() {
        oleProdCestNcm = Variant();
        oleRetImposto = Variant();
    }
} libraryVariables;

SystemClock& systemClock() {
    static SystemClock clock;
    return clock;
}

ServiceHost completed(ServiceHost host) {
    if (host.baseDir.empty()) host.baseDir = executableDirectory();
    if (!host.clock) host.clock = &systemClock();
    if (!host.device || !host.service || !host.messenger)
        throw Error("the service needs the device package, the service package and the utility library");
    ModuleDatabase::Slots& s = host.databaseSlots;
    std::filesystem::path station = host.baseDir;
    if (!s.getStringConexZel)
        s.getStringConexZel = [station](const std::string& text) { return util::_GetStringConexZel(station, text); };
    if (!s.setADODBSession) s.setADODBSession = [](db::Connection& c) { util::SetADODBSession(c); };
    if (!s.tryConnect) s.tryConnect = [](db::Connection& c) { util::TryConnect(c); };
    if (!s.adoExceptionMessage) s.adoExceptionMessage = util::ADOExceptionMessage;
    if (!s.ajusta) s.ajusta = ext::Ajusta;
    return host;
}

}  // namespace

std::filesystem::path executableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::filesystem::current_path();
    return std::filesystem::path(std::string(buf, static_cast<size_t>(n))).parent_path();
}

TrdmGeraCupomVenda::TrdmGeraCupomVenda(ServiceHost host) : TrdmGeraCupomVenda(completed(std::move(host)), 0) {}

TrdmGeraCupomVenda::TrdmGeraCupomVenda(ServiceHost host, int)
    : ModuleTables(host.formatSettings),
      db(host.databaseSlots, host.formatSettings),
      msgPadrao(msgPadraoLines()),
      host_(std::move(host)) {}

std::filesystem::path TrdmGeraCupomVenda::baseDir() const { return host_.baseDir; }

std::string TrdmGeraCupomVenda::saleDirectory(const std::string& dir) const {
    if (dir.empty() || std::filesystem::path(dir).is_absolute()) return dir;
    return (baseDir() / dir).lexically_normal().string();
}

std::filesystem::path TrdmGeraCupomVenda::itemFilePath() const {
    return std::filesystem::path(dsDirCad + "cdsVenda.cds");
}

std::filesystem::path TrdmGeraCupomVenda::spareItemFilePath() const {
    return std::filesystem::path(dsDirCad + "cdsVenda.spare");
}

void TrdmGeraCupomVenda::mensagem(const std::string& text) {
    messenger().Mensagem(text, "", "N", "N", ext::TTipoMsg::Registro, "", idEsquema, 0, nullptr);
}

}  // namespace zel
