#include "station/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/atomic_file.h"

namespace zel::host {

Journal::~Journal() {
    if (fd_ >= 0) close();
}

void Journal::begin(const CurrentPassage& p) {
    nlohmann::json j = {{"record", p.record},
                        {"seq", p.seq},
                        {"client", p.client},
                        {"consumer", p.consumer},
                        {"name", p.name},
                        {"moment", p.moment},
                        {"couponBefore", p.couponBefore}};
    const std::string text = j.dump();
    // The file removed under the open one (recovery between two passes of a
    // resident service removes what a pass left): opened again by name.
    struct stat st {};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || st.st_nlink == 0)) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) {
        fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            throw FileWriteError(
                fmt::format("the run journal {} cannot be written: {}", file_.string(), std::strerror(errno)));
    }
    // The file is empty here (cleared after the passage before, or new); a
    // longer leftover is cut to this passage's length.
    overwriteOpenFile(fd_, file_, text, "the run journal");
}

std::optional<CurrentPassage> Journal::read() const {
    std::ifstream in(file_);
    if (!in) return std::nullopt;
    try {
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().empty()) return std::nullopt;
        nlohmann::json j = nlohmann::json::parse(text.str());
        CurrentPassage p;
        p.record = j.value("record", "");
        p.seq = j.value("seq", "");
        p.client = j.value("client", "");
        p.consumer = j.value("consumer", "");
        p.name = j.value("name", "");
        p.moment = j.value("moment", "");
        p.couponBefore = j.value("couponBefore", int64_t(0));
        return p;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void Journal::clear() {
    if (fd_ >= 0 && ::ftruncate(fd_, 0) == 0) return;
    close();
}

void Journal::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    std::error_code ec;
    std::filesystem::remove(file_, ec);
}

}  // namespace zel::host
