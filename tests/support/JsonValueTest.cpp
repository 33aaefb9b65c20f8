#include <gtest/gtest.h>
#include <random>
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
    EXPECT_EQ(parsed("[]").stringify(), "[]");
    // A repeated key keeps the later value; escapes are stored and written as they stand.
    EXPECT_EQ(parsed(R"({"k":1,"k":"v\n\u00e9\"q"})").stringify(), R"({"k":"v\n\u00e9\"q"})");
}

TEST(JsonValue, NumberKindsAndTexts) {
    JsonValue negative = parsed("-5"), positive = parsed("5"), fraction = parsed("5.0"),
              exponent = parsed("5e0");
    EXPECT_EQ(negative.numberKind(), JsonValue::SIGNED_INTEGER);
    EXPECT_EQ(positive.numberKind(), JsonValue::UNSIGNED_INTEGER);
    EXPECT_EQ(fraction.numberKind(), JsonValue::LONG_DOUBLE);
    EXPECT_EQ(exponent.numberKind(), JsonValue::LONG_DOUBLE);
    EXPECT_EQ(static_cast<std::string>(negative), "-5");
    EXPECT_EQ(static_cast<std::string>(positive), "5");
    EXPECT_EQ(static_cast<std::string>(fraction), "5.000000000000000000000e+00");
    EXPECT_EQ(parsed("18446744073709551615").stringify(), "18446744073709551615");
    EXPECT_EQ(parsed("-0").stringify(), "0");
    EXPECT_EQ(static_cast<std::string>(JsonValue(JsonValue::NUMBER)), "NaN");
}

TEST(JsonValue, Conversions) {
    EXPECT_EQ(static_cast<unsigned long>(parsed("42")), 42UL);
    EXPECT_EQ(static_cast<unsigned long>(parsed("true")), 1UL);
    EXPECT_EQ(static_cast<unsigned long>(parsed("2.9")), 2UL);
    EXPECT_EQ(static_cast<unsigned long>(parsed("-1")), 18446744073709551615UL);
    // At or above 2^63 a floating value converts through the top bit.
    EXPECT_EQ(static_cast<unsigned long>(parsed("9.3e18")), 9300000000000000000UL);
    EXPECT_EQ(static_cast<unsigned long>(JsonValue(JsonValue::NUMBER)), 0UL);
    EXPECT_DOUBLE_EQ(static_cast<double>(parsed("-2.5e1")), -25.0);
    EXPECT_THROW(static_cast<unsigned long>(parsed("\"7\"")), std::bad_cast);
    EXPECT_THROW(static_cast<double>(parsed("null")), std::bad_cast);
    EXPECT_THROW(static_cast<unsigned long>(parsed("[1]")), std::bad_cast);

    EXPECT_EQ(static_cast<std::string>(parsed("{\"a\":1}")), "[object Object]");
    EXPECT_EQ(static_cast<std::string>(parsed("[1,\"b\",[2,3],null]")), "1,b,2,3,null");
    EXPECT_EQ(static_cast<std::string>(parsed("false")), "false");
    EXPECT_EQ(static_cast<std::string>(parsed("null")), "null");
    EXPECT_EQ(static_cast<std::string>(JsonValue()), "");
}

TEST(JsonValue, MemberAndElementAccess) {
    JsonValue object = parsed("{\"a\":1}");
    EXPECT_EQ(object["missing"].getTypeString(), "undefined");
    EXPECT_EQ(object.size(), 2u);

    JsonValue fresh(JsonValue::NULL_VALUE);
    fresh["x"] = std::string("y");
    EXPECT_EQ(fresh.stringify(), R"({"x":"y"})");

    JsonValue array;
    array[2] = JsonValue(7UL);
    EXPECT_EQ(array.size(), 3u);
    EXPECT_EQ(array.stringify(), "[,,7]"); // undefined elements write nothing
    EXPECT_EQ(static_cast<unsigned long>(array[-1]), 7UL);
    EXPECT_EQ(array[-3].getTypeString(), "undefined");
    EXPECT_THROW(array[-4], std::out_of_range);

    JsonValue text = parsed("\"s\"");
    try {
        text["k"];
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot access member key ( k ) from non-object type: string");
    }
    try {
        object[0];
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot access element from non-array type: object");
    }
    try {
        text.keys();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Operation 'keys()' is not defined for non-object type");
    }
    try {
        text.size();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Operation 'size()' is not defined for type: string");
    }
    try {
        parsed("3").iterableValues();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot create iterator for non-iterable type: number");
    }
    EXPECT_EQ(parsed("{\"b\":2,\"a\":1}").iterableValues().size(), 2u);
}

TEST(JsonValue, CopyIsDeepAndMoveEmptiesTheSource) {
    JsonValue original = parsed("{\"a\":[1,{\"b\":\"c\"}]}");
    JsonValue copy = original;
    copy["a"][1]["b"] = std::string("changed");
    EXPECT_EQ(original.stringify(), R"({"a":[1,{"b":"c"}]})");
    JsonValue moved = std::move(copy);
    EXPECT_EQ(moved.stringify(), R"({"a":[1,{"b":"changed"}]})");
    EXPECT_EQ(copy.getTypeString(), "undefined"); // NOLINT: moved-from state is defined
}

TEST(JsonValue, ParseErrorsNameFunctionCharacterAndPosition) {
    EXPECT_EQ(parseError("tru"), "parseValue: Unexpected character 't' in stream at position 0");
    EXPECT_EQ(parseError("\"a\tb\""),
              "parseString: Unexpected character 'x09' in stream at position 2");
    EXPECT_EQ(parseError("\"abc"),
              "parseString: Unexpected character 'x00' in stream at position 4");
    EXPECT_EQ(parseError("\"\\q\""),
              "parseString: Unexpected character 'q' in stream at position 2");
    EXPECT_EQ(parseError("\"\\u12g4\""),
              "parseString: Unexpected character 'g' in stream at position 5");
    EXPECT_EQ(parseError("-"), "parseNumber: Unexpected character 'x00' in stream at position 1");
    EXPECT_EQ(parseError("1."), "parseNumber: Unexpected character 'x00' in stream at position 2");
    EXPECT_EQ(parseError("1e+"), "parseNumber: Unexpected character 'x00' in stream at position 3");
    EXPECT_EQ(parseError("-a"), "parseNumber: Unexpected character 'a' in stream at position 1");
    EXPECT_EQ(parseError("{\"a\" 1}"),
              "parseObject: Unexpected character '1' in stream at position 5");
    EXPECT_EQ(parseError("{1:2}"), "parseObject: Unexpected character '1' in stream at position 1");
    EXPECT_EQ(parseError("{\"a\":1,}"),
              "parseObject: Unexpected character '}' in stream at position 7");
    EXPECT_EQ(parseError("[1 2]"), "parseArray: Unexpected character '2' in stream at position 3");
    EXPECT_EQ(parseError("[1,]"), "parseValue: Unexpected character ']' in stream at position 3");
    EXPECT_EQ(parseError(""), "parseValue: Unexpected character 'x00' in stream at position 0");
    EXPECT_EQ(parseError("   "), "parseValue: Unexpected character 'x00' in stream at position 3");
    EXPECT_EQ(parseError("\xff"), "parseValue: Unexpected character 'xff' in stream at position 0");
    EXPECT_EQ(parseError("{} x"), "parseValue: Unexpected character 'x' in stream at position 3");
    EXPECT_EQ(parseError("01"), "parseValue: Unexpected character '1' in stream at position 1");
    EXPECT_EQ(parseError("nul"), "parseValue: Unexpected character 'n' in stream at position 0");
}

TEST(JsonValue, EveryTruncationOfADocumentFailsCleanly) {
    const std::string document =
        R"({"Run_Base_Name":"run","list":[1,-2,3.5e-1,true,false,null],"s":"a\"b\\c\u0041"})";
    ASSERT_NO_THROW(parsed(document));
    for (size_t length = 0; length < document.size(); ++length)
        EXPECT_THROW(parsed(document.substr(0, length)), JsonValue::ParseError) << length;
}

TEST(JsonValue, DeepNestingIsRefusedNotRecursedInto) {
    std::string ok = std::string(1000, '[') + std::string(1000, ']');
    EXPECT_NO_THROW(parsed(ok));
    std::string deep = std::string(100000, '[');
    EXPECT_EQ(parseError(deep), "parseValue: Unexpected character '[' in stream at position 1000");
    std::string objects;
    for (int i = 0; i < 5000; ++i)
        objects += "{\"a\":";
    EXPECT_THROW(parsed(objects), JsonValue::ParseError);
}

TEST(JsonValue, RandomBytesNeverCrash) {
    std::mt19937 random(12345);
    const std::string alphabet = "{}[]\",:-0123456789.eE+tfnrulasx \t\n\\\x01\x80";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        size_t length = random() % 40;
        for (size_t i = 0; i < length; ++i)
            text += alphabet[random() % alphabet.size()];
        try {
            JsonValue value = parsed(text);
            // What parses must survive a write and a re-read unchanged.
            EXPECT_EQ(parsed(value.stringify()).stringify(), value.stringify()) << text;
        } catch (const JsonValue::ParseError&) {
        }
    }
}
