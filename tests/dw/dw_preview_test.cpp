// A DataWindow drawn from its source alone: the bands once each with empty edit fields,
// nested reports drawn from the lookup or named, and what stops a source from making
// the page crash, loop or grow without end (no parse, too long, cycles, depth, fan-out).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/text.h"
#include "dw/dw_preview.h"
#include "support/test_files.h"

namespace keldrin::dw {
namespace {

using keldrin::test::occurrences;

// A small DataWindow in pixels whose only object (besides `extra`) is a header text.
std::u16string source(const std::string& label, const std::string& extra = "") {
    return utf8ToUtf16(
        "release 9;\r\ndatawindow(units=1 color=16777215)\r\nheader(height=20)\r\n"
        "detail(height=30)\r\ntable(column=(type=char(10) name=a))\r\n"
        "text(band=header text=\"" +
        label + "\" x=\"0\" y=\"0\" width=\"100\" height=\"16\")\r\n" + extra);
}

std::string report(const std::string& dataobject, int x = 0) {
    return "report(band=detail dataobject=\"" + dataobject + "\" x=\"" + std::to_string(x) +
           "\" y=\"0\" width=\"50\" height=\"20\")\r\n";
}

// Lookups from a map of name to source.
SourceLookup lookupIn(const std::map<std::string, std::u16string>& library) {
    return [&library](const std::string& name) -> std::optional<PreviewSource> {
        const auto it = library.find(name);
        if (it == library.end()) return std::nullopt;
        return PreviewSource{it->second, {}};
    };
}

TEST(DwPreview, BandsOnceEachAndColumnsAsEmptyFields) {
    const std::u16string text =
        u"release 6;\r\ndatawindow(units=1 color=16777215)\r\n"
        u"header(height=20)\r\nsummary(height=20)\r\nfooter(height=10)\r\ndetail(height=18)\r\n"
        u"table(column=(type=char(10) name=dept) column=(type=number name=amount))\r\n"
        u"group(level=1 header.height=16 trailer.height=16 by=(\"dept\"))\r\n"
        u"text(band=header text=\"Dept\" x=\"0\" y=\"0\" width=\"100\" height=\"16\")\r\n"
        u"column(band=header.1 id=1 x=\"0\" y=\"0\" width=\"80\" height=\"16\")\r\n"
        u"column(band=detail id=2 x=\"10\" y=\"0\" width=\"60\" height=\"16\" border=\"5\" "
        u"format=\"#,##0.00\")\r\n"
        u"compute(band=trailer.1 expression=\"sum(amount for group 1)\" x=\"0\" y=\"0\" "
        u"width=\"60\" height=\"16\")\r\n";
    const Preview p = previewHtml("d_x", PreviewSource{text, {}}, nullptr, "d_x.srd");
    ASSERT_TRUE(p.drawn);
    EXPECT_TRUE(p.notes.empty());
    const std::string& html = p.html;
    std::size_t at = 0;
    for (const char* band : {"header", "header.1", "detail", "trailer.1", "summary", "footer"}) {
        const std::string marker = std::string("data-band=\"") + band + "\"";
        EXPECT_EQ(occurrences(html, marker), 1u) << band;
        const std::size_t next = html.find(marker);
        EXPECT_GT(next, at) << band << " out of order";
        at = next;
    }
    // Both columns are empty boxes of their size; the one with no border of its own gets one.
    EXPECT_EQ(occurrences(html, "class=\"o column\""), 2u);
    EXPECT_NE(html.find("width:80px;height:16px;background:#fff;border:1px solid #a0a0a0\"></div>"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("border:2px inset #c0c0c0;\"></div>"), std::string::npos) << html;
    // The group's sum over no rows is no text to show.
    EXPECT_EQ(html.find("0.00"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_NE(html.find("<title>d_x.srd</title>"), std::string::npos);
}

TEST(DwPreview, NestedReportsDrawnFromTheLookupOrNamed) {
    const std::map<std::string, std::u16string> library = {
        {"d_inner", source("Inner title", report("d_leaf"))},
        {"d_leaf", source("Leaf & <title>")},
    };
    const Preview p = previewHtml(
        "d_outer", PreviewSource{source("Outer", report("d_inner") + report("d_gone", 60)), {}},
        lookupIn(library), "d_outer");
    ASSERT_TRUE(p.drawn);
    EXPECT_TRUE(p.notes.empty());
    // The children's own pages are elements inside the frames, not pages of their own.
    EXPECT_EQ(occurrences(p.html, "<html>"), 1u);
    EXPECT_EQ(occurrences(p.html, "class=\"dw\""), 3u);
    EXPECT_NE(p.html.find("Inner title"), std::string::npos);
    EXPECT_NE(p.html.find("Leaf &amp; &lt;title&gt;"), std::string::npos);
    EXPECT_LT(p.html.find("Inner title"), p.html.find("Leaf &amp;"));
    // A DataWindow the library does not hold: its frame, with its name shown.
    EXPECT_NE(p.html.find(">d_gone</div>"), std::string::npos) << p.html;
}

TEST(DwPreview, CyclesAndDepthAreRefusedWithANote) {
    // Each nests the next, and the last the first.
    std::map<std::string, std::u16string> circle = {
        {"d_a", source("A", report("d_b"))},
        {"d_b", source("B", report("d_a"))},
    };
    const Preview p = previewHtml("d_a", PreviewSource{circle["d_a"], {}}, lookupIn(circle), "a");
    ASSERT_TRUE(p.drawn);
    ASSERT_EQ(p.notes.size(), 1u);
    EXPECT_NE(p.notes[0].find("d_a: not drawn: it nests itself (in d_b)"), std::string::npos)
        << p.notes[0];
    EXPECT_EQ(occurrences(p.html, "class=\"dw\""), 2u);
    EXPECT_NE(p.html.find("nests itself"), std::string::npos);

    // One that nests itself, in another letter case (names are one regardless of case).
    const Preview self =
        previewHtml("d_self", PreviewSource{source("S", report("D_SELF")), {}}, nullptr, "s");
    ASSERT_EQ(self.notes.size(), 1u);
    EXPECT_NE(self.notes[0].find("D_SELF: not drawn: it nests itself"), std::string::npos);

    // A chain longer than the bound ends in a note at that depth.
    std::map<std::string, std::u16string> chain;
    for (int i = 0; i < 10; ++i)
        chain["d_" + std::to_string(i)] =
            source("level " + std::to_string(i), report("d_" + std::to_string(i + 1)));
    const Preview deep = previewHtml("d_0", PreviewSource{chain["d_0"], {}}, lookupIn(chain), "0");
    ASSERT_EQ(deep.notes.size(), 1u);
    EXPECT_NE(deep.notes[0].find("nested more than " + std::to_string(kPreviewMaxDepth) + " deep"),
              std::string::npos)
        << deep.notes[0];
    EXPECT_EQ(occurrences(deep.html, "class=\"dw\""), kPreviewMaxDepth + 1);
}

TEST(DwPreview, FanOutIsBounded) {
    // Every level nests the next ten times: drawn in full it would be 10^4 DataWindows.
    std::map<std::string, std::u16string> library;
    for (int level = 0; level < 5; ++level) {
        std::string reports;
        for (int i = 0; i < 10; ++i) reports += report("d_" + std::to_string(level + 1), i * 60);
        library["d_" + std::to_string(level)] = source("L", reports);
    }
    const Preview p =
        previewHtml("d_0", PreviewSource{library["d_0"], {}}, lookupIn(library), "fan");
    ASSERT_TRUE(p.drawn);
    EXPECT_EQ(occurrences(p.html, "class=\"dw\""), kPreviewMaxDrawn);
    EXPECT_FALSE(p.notes.empty());
    EXPECT_NE(p.notes.back().find("as many DataWindows as it takes"), std::string::npos);
}

TEST(DwPreview, BadSourcesBecomeNotes) {
    // Does not parse: the page is a note that says where.
    const Preview broken =
        previewHtml("d_bad", PreviewSource{u"release 6;\r\ndatawindow(units=1 \"open", {}}, nullptr,
                    "d_bad.srd");
    EXPECT_FALSE(broken.drawn);
    ASSERT_EQ(broken.notes.size(), 1u);
    EXPECT_EQ(broken.notes[0].rfind("d_bad: the source does not parse: ", 0), 0u)
        << broken.notes[0];
    EXPECT_NE(broken.html.find("class=\"note\""), std::string::npos);
    EXPECT_NE(broken.html.find("class=\"dw\""), std::string::npos);

    // Nesting deep enough to pass the parser's bound.
    std::u16string nested = u"datawindow(";
    for (int i = 0; i < 10000; ++i) nested += u"a=(";
    EXPECT_FALSE(previewHtml("d_deep", PreviewSource{nested, {}}, nullptr, "x").drawn);

    // Too long: refused before it is parsed.
    const std::u16string huge(kPreviewMaxSourceChars + 1, u' ');
    const Preview big = previewHtml("d_big", PreviewSource{huge, {}}, nullptr, "x");
    EXPECT_FALSE(big.drawn);
    ASSERT_EQ(big.notes.size(), 1u);
    EXPECT_NE(big.notes[0].find("too long"), std::string::npos);

    // No datawindow group, and a source the library could not read.
    EXPECT_FALSE(previewHtml("d_none", PreviewSource{u"release 6;", {}}, nullptr, "x").drawn);
    const Preview unread =
        previewHtml("d_u", PreviewSource{{}, "cannot be read: damaged"}, nullptr, "x");
    EXPECT_FALSE(unread.drawn);
    EXPECT_EQ(unread.notes, std::vector<std::string>{"d_u: cannot be read: damaged"});

    // A nested child that does not parse is a note inside its frame; the parent is drawn.
    const std::map<std::string, std::u16string> library = {{"d_child", u"nonsense ((("}};
    const Preview parent = previewHtml("d_p", PreviewSource{source("P", report("d_child")), {}},
                                       lookupIn(library), "p");
    EXPECT_TRUE(parent.drawn);
    ASSERT_EQ(parent.notes.size(), 1u);
    EXPECT_EQ(parent.notes[0].rfind("d_child: ", 0), 0u);
}

}  // namespace
}  // namespace keldrin::dw
