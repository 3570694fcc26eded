#include "station/journal.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/atomic_file.h"

namespace zel::host {

void Journal::begin(const CurrentPassage& p) {
    nlohmann::json j = {{"record", p.record},
                        {"seq", p.seq},
                        {"client", p.client},
                        {"consumer", p.consumer},
                        {"name", p.name},
                        {"moment", p.moment},
                        {"couponBefore", p.couponBefore}};
    // A helper only: atomic against a crash of the process, not flushed.
    writeFileAtomically(file_, j.dump(), "the run journal", Durability::Cached);
}

std::optional<CurrentPassage> Journal::read() const {
    std::ifstream in(file_);
    if (!in) return std::nullopt;
    try {
        std::stringstream text;
        text << in.rdbuf();
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
    std::error_code ec;
    std::filesystem::remove(file_, ec);
}

}  // namespace zel::host
