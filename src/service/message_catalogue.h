// The message catalogue of the service module and the filling of its
// place-holders.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zel {

// key|text lines; looking a key up gives the text after the bar.
class TMessages {
public:
    TMessages();
    explicit TMessages(std::vector<std::string> lines);

    // The text of a key, or an empty text for a key the catalogue lacks.
    std::string Msg(std::string_view key) const;
    bool contains(std::string_view key) const;
    const std::vector<std::string>& lines() const { return lines_; }

    static const std::vector<std::string_view>& defaultLines();

private:
    void index();
    std::vector<std::string> lines_;
    std::unordered_map<std::string, std::string> byKey_;
};

// Fills the place-holders of a catalogue text in order: %s takes the next
// value as it is, %d the same, %.2m the next value as an amount with two
// decimals; %% is a percent sign. Missing values leave the place-holder empty.
std::string formatMessage(std::string_view pattern, const std::vector<std::string>& values);

}  // namespace zel
