#pragma once

#include <string>

namespace norva_core::text_forms {

// The shortest text that reads back as the same number, written the way Python writes a float:
// "1234.5", "1.0", "1e-05", "1e+16", "inf", "nan".
std::string float_repr(double value);

}  // namespace norva_core::text_forms
