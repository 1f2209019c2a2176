// What the host reads from a client's request line, and every refusal it answers with.
#include <gtest/gtest.h>

#include "fuzz_seeds.h"
#include "request_line.h"
#include "session_config.h"

namespace flumina::host {
namespace {

using nlohmann::json;

struct LineCase {
    const char* line;
    const char* error;  // the reply's error, or its start where the JSON reader's text follows
};

TEST(RequestLineTest, ALineThatIsNoRequestGetsAnErrorThatSaysWhy) {
    const LineCase cases[] = {
        {"{", "request is not valid JSON: "},
        {"[1e999]", "request is not valid JSON: "},
        {R"(["stream"])", "request must be a JSON object, not array"},
        {R"({"id": 1})", "request has no method"},
        {R"({"method": 5})", "method must be a string, not 5"},
        {R"({"method": "stream", "params": {"a": 1}})", R"(params must be an array, not {"a":1})"},
    };
    for (const LineCase& c : cases) {
        const Request request = parseRequest(c.line);
        EXPECT_EQ(request.error.rfind(c.error, 0), 0u) << c.line << " gave " << request.error;
    }
}

TEST(RequestLineTest, ARequestKeepsItsIdAndGetsEmptyParamsWhenItHasNone) {
    const Request request = parseRequest(R"({"id": "x", "method": "searchUSB"})");
    EXPECT_EQ(request.error, "");
    EXPECT_EQ(request.id, "x");
    EXPECT_EQ(request.method, "searchUSB");
    EXPECT_EQ(request.params, json::array());
    EXPECT_EQ(parseRequest(R"({"method": "m"})").id, nullptr);
}

TEST(RequestLineTest, StreamParamsThatAreWrongAreRefusedByName) {
    const std::pair<const char*, const char*> cases[] = {
        {R"(["[]", 7])", "stream takes 3 params [config, useType, caller], not 2"},
        {R"([5, 7, 1])", "the session configuration (params[0]) must be JSON text in a string, not 5"},
        {R"(["[]", 1.5, 1])", "the use type (params[1]) must be an integer, not 1.5"},
        {R"(["[]", 2147483648, 1])", "the use type (params[1]) must be an integer, not 2147483648"},
        {R"(["[]", 18446744073709551615, 1])", "the use type (params[1]) must be an integer, not 18446744073709551615"},
        {R"(["[]", 7, "1"])", R"(the caller (params[2]) must be an integer, not "1")"},
    };
    for (const auto& [params, message] : cases) {
        try {
            streamParams(json::parse(params));
            ADD_FAILURE() << params << " was taken";
        } catch (const BadRequest& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
    const StreamParams taken = streamParams(json::parse(R"(["[]", -1, 4242])"));
    EXPECT_EQ(taken.config, "[]");
    EXPECT_EQ(taken.useType, -1);
    EXPECT_EQ(taken.caller, 4242);
}

TEST(RequestLineTest, AReplyEchoesTextThatIsNotUtf8WithoutThrowing) {
    EXPECT_EQ(replyLine("a\xff", nullptr, "bad \xfe path"),
              "{\"error\":\"bad \xef\xbf\xbd path\",\"id\":\"a\xef\xbf\xbd\",\"result\":null}");
}

TEST(RequestLineTest, EverySeedOfTheFuzzCorpusIsARequestTheHostTakes) {
    const auto seeds = fuzzSeeds("request_line");
    ASSERT_FALSE(seeds.empty());
    for (const auto& [name, line] : seeds) {
        const Request request = parseRequest(line);
        EXPECT_EQ(request.error, "") << name;
        if (request.method != "stream") continue;
        const StreamParams params = streamParams(request.params);
        EXPECT_NO_THROW(parseSession(params.config, params.useType, "/sdcard")) << name;
    }
}

}  // namespace
}  // namespace flumina::host
