// What filter writes to standard error, the driver's name and the paths
// are any bytes; the JSON and JUnit reports must stay text a CI can parse.

#include <gtest/gtest.h>

#include <string>

#include "report.h"

namespace {

Verdict failed() {
    Verdict v;
    v.test = 2;
    v.surface = "pbuffer";
    // A quote, markup, a tab, an escape character, a lone continuation byte,
    // an overlong slash, a cut-off sequence and one valid two-byte letter.
    v.note = "filter exited with status 3";
    v.errors = {"a\"b<c>&d\te\x1b[0m", "\x80 \xC0\xAF \xE2\x82", "caf\xC3\xA9"};
    return v;
}

TEST(FilterReport, JsonEscapesQuotesControlsAndBrokenUtf8) {
    const std::string o = jsonObject(failed(), "drv\\\"\n");
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD in place of each byte that is not text
    EXPECT_NE(o.find(R"("errors":["a\"b<c>&d\u0009e\u001b[0m",")" + bad + " " + bad + bad + " " + bad + bad +
                     "\",\"caf\xC3\xA9\"]"),
              std::string::npos)
        << o;
    EXPECT_NE(o.find(R"("renderer":"drv\\\"\u000a")"), std::string::npos) << o;
    EXPECT_NE(o.find(R"("width":null,"height":null,"config":null,"bits":null)"), std::string::npos) << o;
    EXPECT_EQ(o.find('\n'), std::string::npos);
}

TEST(FilterReport, JunitEscapesMarkupAndDropsWhatXmlCannotHold) {
    const std::string doc = junitDocument("filter-verify.pbuffer", {failed()}, "r<&>", "");
    EXPECT_NE(doc.find(R"(<property name="renderer" value="r&lt;&amp;&gt;"/>)"), std::string::npos) << doc;
    EXPECT_NE(doc.find("&#10;| a&quot;b&lt;c&gt;&amp;d&#9;e\xEF\xBF\xBD[0m&#10;| \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD "
                       "\xEF\xBF\xBD\xEF\xBF\xBD&#10;| caf\xC3\xA9</failure>"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find(R"(<testsuites tests="1" failures="1" errors="0")"), std::string::npos) << doc;
    EXPECT_EQ(doc.find('\x1b'), std::string::npos);
}

}  // namespace
