#include "convert/path_ops.h"

#include <gtest/gtest.h>

namespace keldrin {
namespace {

struct PathRow {
    const char16_t* path;
    const char16_t* directory;
    const char16_t* fileName;
    const char16_t* withoutExtension;
};

const PathRow kPaths[] = {
    {u"", u".", u"", u""},
    {u"report.psr", u".", u"report.psr", u"report"},
    {u"C:\\Reports\\Sales Report.psr", u"C:\\Reports", u"Sales Report.psr",
     u"C:\\Reports\\Sales Report"},
    {u"C:report.psr", u"C:", u"report.psr", u"C:report"},
    {u"C:\\report.psr", u"C:", u"report.psr", u"C:\\report"},
    {u"/home/u/a.b.psr", u"/home/u", u"a.b.psr", u"/home/u/a.b"},
    {u"dir/", u"dir", u"", u"dir/"},
    {u"/", u"", u"", u"/"},
    // A "." in a directory name is no extension.
    {u"..\\data\\sales", u"..\\data", u"sales", u"..\\data\\sales"},
    {u"my.reports/sales", u"my.reports", u"sales", u"my.reports/sales"},
    {u"v1.0:sales", u"v1.0:", u"sales", u"v1.0:sales"},
    {u"..\\data\\sales.psr", u"..\\data", u"sales.psr", u"..\\data\\sales"},
    {u"a/b\\c.d", u"a/b", u"c.d", u"a/b\\c"},
    {u"noext.", u".", u"noext.", u"noext"},
};

TEST(PathOps, SplitAtTheLastSeparatorAndCutOnlyTheFileNamesExtension) {
    for (const PathRow& row : kPaths) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(row.path).size()));
        EXPECT_EQ(directoryOf(row.path), row.directory);
        EXPECT_EQ(fileNameOf(row.path), row.fileName);
        EXPECT_EQ(withoutExtension(row.path), row.withoutExtension);
    }
}

TEST(PathOps, ToLowerCopyLowersOnlyAsciiCapitals) {
    EXPECT_EQ(toLowerCopy(u"D_Orders AZ@[`az\u00c9\u0414"), u"d_orders az@[`az\u00c9\u0414");
    EXPECT_EQ(toLowerCopy(u""), u"");
}

}  // namespace
}  // namespace keldrin
