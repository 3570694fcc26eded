// The money rule of the sale: amounts cut to two decimals.
#pragma once

#include "platform/locale.h"

namespace zel {

// Cuts x to two decimals towards zero, through its 15-digit decimal text; an
// amount whose text shows "9999" right after the second decimal goes up to the
// next cent, away from zero (2.10999999 gives 2.11). Magnitudes below 0.001
// give 0.
double Trunc2(double x, const FormatSettings& fs = FormatSettings{});

}  // namespace zel
