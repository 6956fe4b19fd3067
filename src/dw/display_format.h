// How a DataWindow column shows a value: its display format ("[general]", "#,##0.00",
// "$#,##0;($#,##0)", "0%", "mm/dd/yyyy", "mmmm d, yyyy", "hh:mm AM/PM" and their kin)
// applied to a decoded value, as a US system shows it.
//
// Numbers: a prefix, digits with or without grouping, decimals and a suffix ("%"
// multiplies by 100); a section after ";" is for negative values; "[currency]" is
// "$#,##0.00;($#,##0.00)"; colour tokens ("[RED]") are dropped; halves round away
// from zero. Dates: "mm" is minutes right after hours and the month everywhere else;
// month names are English. A format not understood shows the value's own text.
#pragma once

#include <string>

#include "dw/report_data.h"

namespace keldrin::dw {

// The value shown for `value` in `format`; empty for a null.
std::string formatValue(const DataValue& value, const std::string& format);

// How a DataWindow's own text is read, for formats, column names and expressions alike:
// without the blanks around it, and with ASCII letters in lower case.
std::string trimBlanks(const std::string& text);
std::string lowerAscii(std::string text);

// The shortest text that reads back as `value` ("0.1", "1e+20"), for values that are not
// shown through a display format: CSV, JSON, graph values.
std::string numberText(double value);

}  // namespace keldrin::dw
