// The lines of the service module's message catalogue msgPadrao, and the
// filling of their place-holders.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel {

// key|text lines in catalogue order; one line is empty.
std::vector<std::string> msgPadraoLines();

// Fills the place-holders of a catalogue text in order: %s takes the next
// value as it is, %d the same, %.2m the next value as an amount with two
// decimals; %% is a percent sign. Missing values leave the place-holder empty.
std::string formatMessage(std::string_view pattern, const std::vector<std::string>& values);

}  // namespace zel
