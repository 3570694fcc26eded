// Money of the station in whole cents. Amounts reach the station as
// floating-point numbers that the sale's arithmetic may leave with binary
// noise or more than two decimals (46.998999999999995); everything that
// prints or stores an amount brings it to cents with the sale's own cut, so
// the coupon, the stored sale and the cash movement hold the same figure.
#pragma once

#include <cstdint>

namespace zel {

// The sale's two-decimal cut in cents: the amount read at 15 significant
// digits (which removes the binary noise), the decimals after the second
// dropped, and one cent added away from zero when the dropped decimals begin
// with four nines (2.10999999 is 2.11). 46.998999999999995 is 4699.
int64_t cutToCents(double amount);

// Cents as a floating-point amount with two decimals (4699 is 46.99).
double centsToAmount(int64_t cents);

// quantity × unit price of a line, cut to the cent (quantity in thousandths).
int64_t lineGrossCents(int64_t quantityMilli, int64_t unitPriceCents);

}  // namespace zel
