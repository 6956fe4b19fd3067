// A column's display format applied to decoded values: numbers, percentages, currency,
// dates and times, and what a format not understood leaves alone.
#include <gtest/gtest.h>

#include "dw/display_format.h"

namespace keldrin::dw {
namespace {

TEST(DisplayFormat, ValuesAsTheirColumnsShowThem) {
    const DataValue money{ValueKind::kDecimal, "45700.000", 45700.0};
    const DataValue loss{ValueKind::kNumber, "-1234.5", -1234.5};
    const DataValue part{ValueKind::kNumber, "0.125", 0.125};
    const DataValue gain{ValueKind::kNumber, "0.0625", 0.0625};
    const DataValue day{ValueKind::kDateTime, "1987-02-26T00:00:00", 0};
    const DataValue time{ValueKind::kDateTime, "1987-02-06T15:04:09", 0};
    const DataValue badMonth{ValueKind::kDateTime, "1987-13-06T00:00:00", 0};
    const DataValue text{ValueKind::kText, "abc", 0};
    const DataValue null{};
    struct Case {
        const DataValue& value;
        const char* format;
        const char* shown;
    };
    for (const Case& c : {
             Case{money, "[general]", "45700.000"},
             Case{money, "", "45700.000"},
             Case{money, "#,##0.00", "45,700.00"},
             Case{money, "  #,##0.00 ", "45,700.00"},  // blanks around a format
             Case{money, "$#,##0;($#,##0)", "$45,700"},
             Case{loss, "$#,##0;($#,##0)", "($1,235)"},  // halves away from zero
             Case{loss, "#,##0.00", "-1,234.50"},
             Case{loss, "[currency]", "($1,234.50)"},
             Case{loss, "$#,##0.00;[RED]($#,##0.00)", "($1,234.50)"},
             Case{part, "0%", "13%"},
             Case{part, "0.0%", "12.5%"},
             Case{gain, "+##0.0%;-##0.0%", "+6.3%"},
             Case{gain, "[CURRENCY]", "$0.06"},
             Case{day, "mm/dd/yyyy", "02/26/1987"},
             Case{day, "yyyy-mm-dd", "1987-02-26"},
             Case{day, "[general]", "1987-02-26"},
             Case{time, "mmm d, yy", "Feb 6, 87"},
             Case{time, "mmmm dd, yyyy", "February 06, 1987"},
             Case{time, "m/d/yyyy", "2/6/1987"},
             Case{time, "hh:mm AM/PM", "03:04 PM"},  // "mm" right after hours: minutes
             Case{time, "hh:mm:ss", "15:04:09"},
             Case{badMonth, "mmm d, yy", "1987-13-06T00:00:00"},
             Case{text, "#,##0", "abc"},
             Case{money, "no digits here", "45700.000"},
             Case{null, "#,##0", ""},
         })
        EXPECT_EQ(formatValue(c.value, c.format), c.shown) << c.format;
}

}  // namespace
}  // namespace keldrin::dw
