// File names split as the platform reads them: on POSIX "\" and ":" are characters of a
// name, so a library called "x\y.pbl" lies in the current directory and its journal's
// directory is "."; on Windows they separate, and a drive's relative name stays on the
// drive's current directory.
#include "base/path.h"

#include <gtest/gtest.h>

#include <string>

namespace keldrin {
namespace {

struct SplitRow {
    const char16_t* name;
    const char16_t* parent;
    const char16_t* fileName;
};

struct JoinRow {
    const char16_t* directory;
    const char16_t* child;
    const char16_t* joined;
};

#if defined(_WIN32)
const SplitRow kSplits[] = {
    {u"", u".", u""},
    {u"a.pbl", u".", u"a.pbl"},
    {u"dir\\a.pbl", u"dir", u"a.pbl"},
    {u"dir/sub\\a.pbl", u"dir/sub", u"a.pbl"},
    {u"dir\\", u"dir", u""},
    {u"C:a.pbl", u"C:", u"a.pbl"},
    {u"C:\\a.pbl", u"C:\\", u"a.pbl"},
    {u"C:\\", u"C:\\", u""},
    {u"\\a.pbl", u"\\", u"a.pbl"},
    {u"\\\\server\\share\\a.pbl", u"\\\\server\\share\\", u"a.pbl"},
    {u"\\\\server\\share\\d\\a.pbl", u"\\\\server\\share\\d", u"a.pbl"},
};
const JoinRow kJoins[] = {
    {u"", u"f", u"f"},           {u"out", u"f", u"out\\f"}, {u"out/", u"f", u"out/f"},
    {u"out\\", u"f", u"out\\f"}, {u"C:", u"f", u"C:f"},     {u"C:\\", u"f", u"C:\\f"},
};
#else
const SplitRow kSplits[] = {
    {u"", u".", u""},
    {u"a.pbl", u".", u"a.pbl"},
    {u"/home/u/a.pbl", u"/home/u", u"a.pbl"},
    {u"/a.pbl", u"/", u"a.pbl"},
    {u"/", u"/", u""},
    {u"dir/", u"dir", u""},
    {u"x\\y.pbl", u".", u"x\\y.pbl"},
    {u"C:a.pbl", u".", u"C:a.pbl"},
    {u"d/C:\\a.pbl", u"d", u"C:\\a.pbl"},
};
const JoinRow kJoins[] = {
    {u"", u"f", u"f"},         {u"out", u"f", u"out/f"},
    {u"out/", u"f", u"out/f"}, {u"out\\", u"f", u"out\\/f"},
    {u"/", u"f", u"/f"},       {u".", u"f", u"./f"},
};
#endif

TEST(PathTest, SplitsAtThePlatformsLastSeparator) {
    for (const SplitRow& row : kSplits) {
        SCOPED_TRACE(std::u16string(row.name).size());
        EXPECT_EQ(path::parent(row.name), row.parent);
        EXPECT_EQ(path::fileName(row.name), row.fileName);
    }
}

TEST(PathTest, JoinPutsOneSeparatorBetween) {
    for (const JoinRow& row : kJoins) {
        SCOPED_TRACE(std::u16string(row.directory).size());
        EXPECT_EQ(path::join(row.directory, row.child), row.joined);
    }
}

}  // namespace
}  // namespace keldrin
