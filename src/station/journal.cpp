#include "station/journal.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace zel::host {

Journal::~Journal() {
    if (out_.isOpen()) close();
}

void Journal::begin(const CurrentPassage& p) {
    nlohmann::json j = {{"record", p.record},
                        {"seq", p.seq},
                        {"client", p.client},
                        {"consumer", p.consumer},
                        {"name", p.name},
                        {"moment", p.moment},
                        {"couponBefore", p.couponBefore}};
    // Opened again by name when removed under the open file (recovery between
    // two passes of a resident service removes what a pass left).
    out_.write(file_, j.dump());
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
    if (out_.blank()) return;
    close();
}

void Journal::close() {
    out_.close();
    std::error_code ec;
    std::filesystem::remove(file_, ec);
}

}  // namespace zel::host
