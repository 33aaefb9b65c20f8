// The program's JSON document: a tagged value parsed from text, queried, built in code and written
// back as compact text. Strings keep their escapes as written; numbers keep their integer kind.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

class JsonValue {
public:
    enum Type : uint32_t {
        OBJECT = 0,
        ARRAY = 1,
        STRING = 2,
        NUMBER = 3,
        BOOLEAN = 4,
        NULL_VALUE = 5,
        UNDEFINED = 6
    };
    // Number kinds kept in the low two bits of the number word.
    enum NumberKind : uint32_t { UNSIGNED_INTEGER = 0, SIGNED_INTEGER = 2, LONG_DOUBLE = 3 };

    class ParseError : public std::exception {
    public:
        ParseError(const char* function, char offending, size_t position);
        const char* what() const noexcept override { return _message.c_str(); }

    private:
        std::string _message;
    };

    JsonValue() = default;
    explicit JsonValue(Type type);
    JsonValue(const std::string& text);
    JsonValue(const char* text);
    JsonValue(bool value);
    JsonValue(unsigned long value);
    JsonValue(unsigned int value) : JsonValue(static_cast<unsigned long>(value)) {}
    JsonValue(long value);
    JsonValue(int value) : JsonValue(static_cast<long>(value)) {}
    JsonValue(long double value);
    JsonValue(double value) : JsonValue(static_cast<long double>(value)) {}

    JsonValue(const JsonValue&) = default;
    JsonValue(JsonValue&& other) noexcept;
    JsonValue& operator=(const JsonValue&) = default;
    JsonValue& operator=(JsonValue&& other) noexcept;
    JsonValue& operator=(const std::string& text);
    ~JsonValue() = default;

    // Replaces this value by the document in [text, text + length); throws ParseError.
    void parse(const char* text, size_t length);
    void parse(const std::string& text) { parse(text.data(), text.size()); }

    Type getType() const { return _type; }
    std::string getTypeString() const;
    bool isNumber() const { return _type == NUMBER; }
    NumberKind numberKind() const { return static_cast<NumberKind>(_numberWord & 3u); }

    std::vector<std::string> keys() const;
    bool hasMember(const std::string& key) const;
    JsonValue& operator[](const std::string& key);
    JsonValue& operator[](const char* key) { return (*this)[std::string(key)]; }
    JsonValue& operator[](int index);
    size_t size() const;
    // The element values of an array or the member values of an object, in order; throws for any
    // other type.
    std::vector<const JsonValue*> iterableValues() const;

    explicit operator unsigned long() const;
    explicit operator double() const;
    explicit operator std::string() const;

    std::string stringify() const;
    void stringifyTo(std::string& out) const;

private:
    struct ParseFrame {
        const char* start;
        const char* pos;
        const char* end;
        unsigned depth;
    };
    void _parseValue(ParseFrame& frame);
    void _parseObject(ParseFrame& frame);
    void _parseArray(ParseFrame& frame);
    void _parseString(ParseFrame& frame);
    void _parseNumber(ParseFrame& frame);
    void _reset(Type type);
    std::string _numberText() const;

    Type _type = UNDEFINED;
    std::string _string;
    // Number kind in bits 0-1 plus 0x40 once a number holds a value; 0 or 1 for a boolean.
    uint64_t _numberWord = 0;
    union {
        uint64_t u;
        int64_t s;
        long double f;
    } _number{};
    std::vector<JsonValue> _elements;
    std::map<std::string, JsonValue> _members;
};

// text as a JSON string, quoted, with its quotes, backslashes and control characters escaped.
std::string jsonString(const std::string& text);
void appendJsonString(std::string& out, const std::string& text);
