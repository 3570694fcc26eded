// Catalogue look-up and place-holder filling.
#include "service/message_catalogue.h"

#include <cstdlib>

#include <fmt/format.h>

namespace zel {

TMessages::TMessages() {
    for (std::string_view l : defaultLines()) lines_.emplace_back(l);
    index();
}

TMessages::TMessages(std::vector<std::string> lines) : lines_(std::move(lines)) { index(); }

void TMessages::index() {
    for (const std::string& l : lines_) {
        size_t bar = l.find('|');
        if (bar == std::string::npos) continue;
        byKey_.emplace(l.substr(0, bar), l.substr(bar + 1));  // the first line of a key wins
    }
}

std::string TMessages::Msg(std::string_view key) const {
    auto it = byKey_.find(std::string(key));
    return it == byKey_.end() ? std::string() : it->second;
}

bool TMessages::contains(std::string_view key) const { return byKey_.count(std::string(key)) != 0; }

std::string formatMessage(std::string_view pattern, const std::vector<std::string>& values) {
    std::string out;
    size_t next = 0;
    auto take = [&]() { return next < values.size() ? values[next++] : std::string(); };
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 >= pattern.size()) {
            out += pattern[i];
            continue;
        }
        if (pattern[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (pattern[i + 1] == 's' || pattern[i + 1] == 'd') {
            out += take();
            ++i;
        } else if (pattern.substr(i, 4) == "%.2m") {
            std::string v = take();
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            out += end && *end == '\0' && !v.empty() ? fmt::format("{:.2f}", d) : v;
            i += 3;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

}  // namespace zel
