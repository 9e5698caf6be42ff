// The number formats of the one-line result summary. Both round the exact stored
// double correctly (ties to even), keep the sign of negative zero and write NaN as
// "NaN" and the infinities as "inf" / "-inf"; neither depends on the C locale.
#pragma once

#include <string>

namespace tarvo::python {

// Four digits after the point in scientific notation with a bare exponent:
// 0.00123456 -> "1.2346e-3", 12345.6 -> "1.2346e4", 0.0 -> "0.0000e0".
std::string format_scientific4(double value);

// Four digits after the point in fixed notation: 0.95 -> "0.9500".
std::string format_fixed4(double value);

}  // namespace tarvo::python
