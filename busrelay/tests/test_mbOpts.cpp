// mbopts.json is strict: known keys with values of their type, or the
// whole file is refused and the defaults (today's behaviour) apply.
#include <gtest/gtest.h>

#include "mbOpts.h"

namespace {

std::string refusal(const std::string &text) {
    MbOptions o;
    o.offlineException = true;
    std::string error;
    EXPECT_FALSE(mb_opts_parse(text, &o, &error)) << text;
    EXPECT_FALSE(o.offlineException) << text;
    return error;
}

TEST(MbOptsFile, OnlyKnownKeysOfTheirTypeAreTaken) {
    MbOptions o;
    std::string error;
    for (const char *off : {"", " \n", "{}", R"({"offlineException": false})"}) {
        o.offlineException = true;
        EXPECT_TRUE(mb_opts_parse(off, &o, &error) && !o.offlineException) << off;
    }
    EXPECT_TRUE(mb_opts_parse("/* site 4 */ {\"offlineException\": true}", &o, &error));
    EXPECT_TRUE(o.offlineException);

    for (const char *wrong : {R"({"offlineException": "true"})", R"({"offlineException": 1})"})
        EXPECT_EQ(refusal(wrong), "\"offlineException\" is not true or false");
    // A misspelt key would otherwise leave the option silently off.
    EXPECT_EQ(refusal(R"({"offlineExceptions": true})"),
              "unknown key \"offlineExceptions\" (known: \"offlineException\")");
    EXPECT_EQ(refusal("[true]"), "not a JSON object");
    for (const std::string &bad :
         {std::string(R"({"offlineException": true)"),
          std::string(R"({"offlineException": true, "offlineException": false})"),
          std::string(R"({"offlineException": true} x)"), std::string(5000, '[')})
        EXPECT_EQ(refusal(bad).rfind("not JSON", 0), 0u) << bad.substr(0, 60);
}

}  // namespace
