// Catalogue look-up and place-holder filling.
#include "service/message_catalogue.h"

#include <cstdlib>

#include <fmt/format.h>

namespace zel {

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
