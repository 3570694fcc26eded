// Trunc2: the two-decimal cut of every amount of the sale.
#include "sale/trunc2.h"

#include <cmath>

namespace zel {

double Trunc2(double x, const FormatSettings& fs) {
    if (std::fabs(x) < 0.001) return 0;
    std::string s = floatToStr(x, fs);
    size_t sep = s.find(fs.decimalSeparator);
    if (sep == std::string::npos) return strToFloat(s, fs);
    // Integer part, separator and at most two decimals; the rest is dropped.
    double v = strToFloat(s.substr(0, sep + 3), fs);
    std::string next = sep + 3 < s.size() ? s.substr(sep + 3, 4) : std::string();
    if (next == "9999") v += s[0] == '-' ? -0.01 : 0.01;
    return v;
}

}  // namespace zel
