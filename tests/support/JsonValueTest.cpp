#include <gtest/gtest.h>
#include <stdexcept>
#include <typeinfo>

#include "support/JsonValue.h"

namespace {

JsonValue parsed(const std::string& text) {
    JsonValue value;
    value.parse(text);
    return value;
}

std::string parseError(const std::string& text) {
    try {
        parsed(text);
    } catch (const JsonValue::ParseError& e) {
        return e.what();
    }
    return "<parsed>";
}

} // namespace

TEST(JsonValue, RoundTripSortsKeysAndDropsWhitespace) {
    JsonValue value = parsed(" { \"b\" : 1 , \"a\" : [ true , null , \"x\" ] } ");
    EXPECT_EQ(value.stringify(), R"({"a":[true,null,"x"],"b":1})");
    EXPECT_EQ(value.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(parsed("{}").stringify(), "{}");
    // A repeated key keeps the later value. Escapes are read as what they stand for (a pair of
    // surrogates as one character) and written again where JSON needs them.
    JsonValue escaped = parsed(R"({"k":1,"k":"v\n\u00e9\"q\\\/\ud83d\ude00\u0001"})");
    EXPECT_EQ(static_cast<std::string>(escaped["k"]), "v\n\xc3\xa9\"q\\/\xf0\x9f\x98\x80\x01");
    EXPECT_EQ(escaped.stringify(), "{\"k\":\"v\\n\xc3\xa9\\\"q\\\\/\xf0\x9f\x98\x80\\u0001\"}");
    EXPECT_EQ(parsed(escaped.stringify()).stringify(), escaped.stringify());
}

// Numbers keep their kind and text; conversions follow the run's uses (counts, percentages).
TEST(JsonValue, NumbersAndConversions) {
    EXPECT_EQ(parsed("-5").numberKind(), JsonValue::SIGNED_INTEGER);
    EXPECT_EQ(parsed("5").numberKind(), JsonValue::UNSIGNED_INTEGER);
    // As strings: numbers as written or in full precision, arrays joined, objects as JavaScript
    // does.
    EXPECT_EQ(static_cast<std::string>(parsed("-5")), "-5");
    EXPECT_EQ(static_cast<std::string>(parsed("5.0")), "5.000000000000000000000e+00");
    EXPECT_EQ(static_cast<std::string>(parsed("[{\"a\":1},\"b\",[2,3],null,false]")),
              "[object Object],b,2,3,null,false");
    EXPECT_EQ(parsed("18446744073709551615").stringify(), "18446744073709551615");
    EXPECT_EQ(static_cast<unsigned long>(parsed("42")), 42UL);
    EXPECT_EQ(static_cast<unsigned long>(parsed("2.9")), 2UL);
    // At or above 2^63 a floating value converts through the top bit.
    EXPECT_EQ(static_cast<unsigned long>(parsed("9.3e18")), 9300000000000000000UL);
    EXPECT_DOUBLE_EQ(static_cast<double>(parsed("-2.5e1")), -25.0);
    EXPECT_THROW(static_cast<unsigned long>(parsed("\"7\"")), std::bad_cast);
    EXPECT_THROW(static_cast<unsigned long>(parsed("1e30")), std::range_error);
}

TEST(JsonValue, ParseErrorsNameFunctionCharacterAndPosition) {
    const std::pair<const char*, const char*> cases[] = {
        {"tru", "parseValue: Unexpected character 't' in stream at position 0"},
        {"\"a\tb\"", "parseString: Unexpected character 'x09' in stream at position 2"},
        {"\"abc", "parseString: Unexpected character 'x00' in stream at position 4"},
        {"-", "parseNumber: Unexpected character 'x00' in stream at position 1"},
        {"{\"a\" 1}", "parseObject: Unexpected character '1' in stream at position 5"},
        {"{\"a\":1,}", "parseObject: Unexpected character '}' in stream at position 7"},
        {"[1 2]", "parseArray: Unexpected character '2' in stream at position 3"},
        {"   ", "parseValue: Unexpected character 'x00' in stream at position 3"},
        {"{} x", "parseValue: Unexpected character 'x' in stream at position 3"},
        {"01", "parseValue: Unexpected character '1' in stream at position 1"},
        // Beyond 64 bits, or beyond the floating range: not silently another number.
        {"18446744073709551616", "parseNumber: Unexpected character '1' in stream at position 0"},
        {"[-1e99999]", "parseNumber: Unexpected character '-' in stream at position 1"},
    };
    for (const auto& [text, message] : cases)
        EXPECT_EQ(parseError(text), message) << text;
}

TEST(JsonValue, DeepNestingIsRefusedNotRecursedInto) {
    std::string ok = std::string(1000, '[') + std::string(1000, ']');
    EXPECT_NO_THROW(parsed(ok));
    std::string deep = std::string(100000, '[');
    EXPECT_EQ(parseError(deep), "parseValue: Unexpected character '[' in stream at position 1000");
}
