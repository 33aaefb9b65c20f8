#include "JsonValue.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <typeinfo>

namespace {

// Nesting beyond this is refused rather than recursed into: no real metadata document comes close,
// and it keeps hostile input from exhausting the stack.
constexpr unsigned MAX_NESTING_DEPTH = 1000;
constexpr uint64_t NUMBER_HAS_VALUE = 0x40;

bool is_json_space(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
// Appends code point c as UTF-8.
void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

uint32_t hex4(const char* p) {
    return static_cast<uint32_t>(std::strtoul(std::string(p, 4).c_str(), nullptr, 16));
}

// The text of a JSON string's body whose escapes the parser has checked.
std::string unescaped(const char* begin, const char* end) {
    std::string out;
    out.reserve(static_cast<size_t>(end - begin));
    for (const char* p = begin; p < end; ++p) {
        if (*p != '\\') {
            out += *p;
            continue;
        }
        char e = *++p;
        switch (e) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            uint32_t c = hex4(p + 1);
            p += 4;
            // A surrogate pair is one code point; a lone surrogate stands for U+FFFD.
            if (c >= 0xd800 && c < 0xdc00 && end - p > 6 && p[1] == '\\' && p[2] == 'u') {
                uint32_t low = hex4(p + 3);
                if (low >= 0xdc00 && low < 0xe000) {
                    c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                    p += 6;
                }
            }
            append_utf8(out, c >= 0xd800 && c < 0xe000 ? 0xfffd : c);
            break;
        }
        default: // '"', '\\' and '/'
            out += e;
        }
    }
    return out;
}

bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

JsonValue::ParseError::ParseError(const char* function, char offending, size_t position) {
    // The message buffer is sized as (name length + 198) rounded down to whole 128-byte blocks.
    size_t capacity = ((std::strlen(function) + 198) / 128) * 128;
    std::vector<char> buffer(capacity, '\0');
    if (static_cast<signed char>(offending) >= 33)
        std::snprintf(buffer.data(), capacity,
                      "%s: Unexpected character '%c' in stream at position %lu", function,
                      offending, static_cast<unsigned long>(position));
    else
        std::snprintf(buffer.data(), capacity,
                      "%s: Unexpected character 'x%.2hhx' in stream at position %lu", function,
                      static_cast<unsigned char>(offending), static_cast<unsigned long>(position));
    _message = buffer.data();
}

JsonValue::JsonValue(Type type) {
    _reset(type);
}

JsonValue::JsonValue(const std::string& text) : _type(STRING), _string(text) {}

JsonValue::JsonValue(const char* text) : _type(STRING), _string(text ? text : "") {}

JsonValue::JsonValue(bool value) : _type(BOOLEAN), _numberWord(value ? 1 : 0) {}

JsonValue::JsonValue(unsigned long value)
    : _type(NUMBER), _numberWord(UNSIGNED_INTEGER | NUMBER_HAS_VALUE) {
    _number.u = value;
}

JsonValue::JsonValue(long value) : _type(NUMBER), _numberWord(SIGNED_INTEGER | NUMBER_HAS_VALUE) {
    _number.s = value;
}

JsonValue::JsonValue(long double value)
    : _type(NUMBER), _numberWord(LONG_DOUBLE | NUMBER_HAS_VALUE) {
    _number.f = value;
}

JsonValue::JsonValue(JsonValue&& other) noexcept
    : _type(other._type), _string(std::move(other._string)), _numberWord(other._numberWord),
      _number(other._number), _elements(std::move(other._elements)),
      _members(std::move(other._members)) {
    other._reset(UNDEFINED);
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
    if (this != &other) {
        _type = other._type;
        _string = std::move(other._string);
        _numberWord = other._numberWord;
        _number = other._number;
        _elements = std::move(other._elements);
        _members = std::move(other._members);
        other._reset(UNDEFINED);
    }
    return *this;
}

JsonValue& JsonValue::operator=(const std::string& text) {
    _reset(STRING);
    _string = text;
    return *this;
}

void JsonValue::_reset(Type type) {
    _type = type;
    _string.clear();
    _numberWord = 0;
    _number.u = 0;
    _elements.clear();
    _members.clear();
}

std::string JsonValue::getTypeString() const {
    static const char* const NAMES[] = {"object",  "array", "string",   "number",
                                        "boolean", "null",  "undefined"};
    if (static_cast<uint32_t>(_type) > UNDEFINED)
        throw std::out_of_range("map::at");
    return NAMES[_type];
}

std::vector<std::string> JsonValue::keys() const {
    if (_type != OBJECT)
        throw std::runtime_error("Operation 'keys()' is not defined for non-object type");
    std::vector<std::string> result;
    result.reserve(_members.size());
    for (const auto& member : _members)
        result.push_back(member.first);
    return result;
}

bool JsonValue::hasMember(const std::string& key) const {
    return _type == OBJECT && _members.count(key) != 0;
}

JsonValue& JsonValue::operator[](const std::string& key) {
    if (_type == NULL_VALUE || _type == UNDEFINED)
        _reset(OBJECT);
    if (_type != OBJECT)
        throw std::runtime_error("Cannot access member key ( " + key +
                                 " ) from non-object type: " + getTypeString());
    return _members[key];
}

JsonValue& JsonValue::operator[](int index) {
    if (_type == NULL_VALUE || _type == UNDEFINED)
        _reset(ARRAY);
    if (_type != ARRAY)
        throw std::runtime_error("Cannot access element from non-array type: " + getTypeString());
    if (index < 0) {
        size_t magnitude = static_cast<size_t>(-static_cast<long>(index));
        if (magnitude > _elements.size())
            throw std::out_of_range("Negative indices may not exceed the length of the array");
        return _elements[_elements.size() - magnitude];
    }
    if (static_cast<size_t>(index) >= _elements.size())
        _elements.resize(static_cast<size_t>(index) + 1);
    return _elements[static_cast<size_t>(index)];
}

size_t JsonValue::size() const {
    if (_type == ARRAY)
        return _elements.size();
    if (_type == OBJECT)
        return _members.size();
    throw std::runtime_error("Operation 'size()' is not defined for type: " + getTypeString());
}

std::vector<const JsonValue*> JsonValue::iterableValues() const {
    std::vector<const JsonValue*> values;
    if (_type == ARRAY) {
        for (const JsonValue& element : _elements)
            values.push_back(&element);
    } else if (_type == OBJECT) {
        for (const auto& member : _members)
            values.push_back(&member.second);
    } else {
        throw std::runtime_error("Cannot create iterator for non-iterable type: " +
                                 getTypeString());
    }
    return values;
}

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

std::string jsonString(const std::string& text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

JsonValue::operator unsigned long() const {
    if (_type == BOOLEAN)
        return _numberWord ? 1 : 0;
    if (_type != NUMBER || (_numberWord & 3u) == 1)
        throw std::bad_cast();
    if (!(_numberWord & NUMBER_HAS_VALUE))
        return 0;
    switch (numberKind()) {
    case UNSIGNED_INTEGER:
        return _number.u;
    case SIGNED_INTEGER:
        return static_cast<unsigned long>(_number.s);
    default: {
        const long double twoTo63 = 9223372036854775808.0L;
        // Outside what a 64-bit integer holds (or NaN) the conversion has no value.
        if (!(_number.f >= -twoTo63 && _number.f < 2 * twoTo63))
            throw std::range_error("The JSON number " + _numberText() +
                                   " is out of the range of a whole number");
        if (_number.f >= twoTo63)
            return static_cast<unsigned long>(static_cast<long>(_number.f - twoTo63)) | (1UL << 63);
        return static_cast<unsigned long>(static_cast<long>(_number.f));
    }
    }
}

JsonValue::operator double() const {
    if (_type == BOOLEAN)
        return _numberWord ? 1.0 : 0.0;
    if (_type != NUMBER || (_numberWord & 3u) == 1)
        throw std::bad_cast();
    if (!(_numberWord & NUMBER_HAS_VALUE))
        return 0.0;
    switch (numberKind()) {
    case UNSIGNED_INTEGER:
        return static_cast<double>(_number.u);
    case SIGNED_INTEGER:
        return static_cast<double>(_number.s);
    default:
        return static_cast<double>(_number.f);
    }
}

std::string JsonValue::_numberText() const {
    if (!(_numberWord & NUMBER_HAS_VALUE))
        return "NaN";
    char buffer[128] = {0};
    switch (numberKind()) {
    case UNSIGNED_INTEGER:
        std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(_number.u));
        break;
    case SIGNED_INTEGER:
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(_number.s));
        break;
    default:
        std::snprintf(buffer, sizeof buffer, "%.*Le", 21, _number.f);
        break;
    }
    return buffer;
}

JsonValue::operator std::string() const {
    switch (_type) {
    case OBJECT:
        return "[object Object]";
    case ARRAY: {
        std::string joined;
        for (size_t i = 0; i < _elements.size(); ++i) {
            if (i)
                joined += ',';
            joined += static_cast<std::string>(_elements[i]);
        }
        return joined;
    }
    case STRING:
        return _string;
    case NUMBER:
        return _numberText();
    case BOOLEAN:
        return _numberWord ? "true" : "false";
    case NULL_VALUE:
        return "null";
    default:
        return "";
    }
}

void JsonValue::stringifyTo(std::string& out) const {
    switch (_type) {
    case OBJECT: {
        out += '{';
        bool first = true;
        for (const auto& member : _members) {
            if (!first)
                out += ',';
            first = false;
            appendJsonString(out, member.first);
            out += ':';
            member.second.stringifyTo(out);
        }
        out += '}';
        break;
    }
    case ARRAY:
        out += '[';
        for (size_t i = 0; i < _elements.size(); ++i) {
            if (i)
                out += ',';
            _elements[i].stringifyTo(out);
        }
        out += ']';
        break;
    case STRING:
        appendJsonString(out, _string);
        break;
    case NUMBER:
        out += _numberText();
        break;
    case BOOLEAN:
        out += _numberWord ? "true" : "false";
        break;
    case NULL_VALUE:
        out += "null";
        break;
    default:
        break;
    }
}

std::string JsonValue::stringify() const {
    std::string out;
    stringifyTo(out);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Parsing

namespace {

[[noreturn]] void fail_parse(const char* function, const char* start, const char* pos,
                             const char* end) {
    char offending = pos < end ? *pos : '\0';
    throw JsonValue::ParseError(function, offending, static_cast<size_t>(pos - start));
}

void skip_space(const char*& pos, const char* end) {
    while (pos < end && is_json_space(*pos))
        ++pos;
}

} // namespace

void JsonValue::parse(const char* text, size_t length) {
    ParseFrame frame{text, text, text + length, 0};
    _reset(NULL_VALUE);
    _parseValue(frame);
    // A document is one value: anything after it but whitespace is an error.
    if (frame.pos != frame.end)
        fail_parse("parseValue", frame.start, frame.pos, frame.end);
}

void JsonValue::_parseValue(ParseFrame& frame) {
    skip_space(frame.pos, frame.end);
    if (frame.pos >= frame.end)
        fail_parse("parseValue", frame.start, frame.pos, frame.end);
    char c = *frame.pos;
    auto word = [&](const char* literal) {
        size_t length = std::strlen(literal);
        return static_cast<size_t>(frame.end - frame.pos) >= length &&
               std::memcmp(frame.pos, literal, length) == 0;
    };
    if (c == '"') {
        _parseString(frame);
    } else if (c == '{' || c == '[') {
        if (frame.depth >= MAX_NESTING_DEPTH)
            fail_parse("parseValue", frame.start, frame.pos, frame.end);
        ++frame.depth;
        if (c == '{')
            _parseObject(frame);
        else
            _parseArray(frame);
        --frame.depth;
    } else if (c == '-' || is_digit(c)) {
        _parseNumber(frame);
    } else if (word("true")) {
        _reset(BOOLEAN);
        _numberWord = 1;
        frame.pos += 4;
    } else if (word("false")) {
        _reset(BOOLEAN);
        frame.pos += 5;
    } else if (word("null")) {
        _reset(NULL_VALUE);
        frame.pos += 4;
    } else {
        fail_parse("parseValue", frame.start, frame.pos, frame.end);
    }
    skip_space(frame.pos, frame.end);
}

void JsonValue::_parseString(ParseFrame& frame) {
    const char* begin = ++frame.pos; // past the opening quote
    const char* p = begin;
    for (;;) {
        if (p >= frame.end)
            fail_parse("parseString", frame.start, p, frame.end);
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"')
            break;
        if (c < 0x20)
            fail_parse("parseString", frame.start, p, frame.end);
        if (c == '\\') {
            ++p;
            if (p >= frame.end)
                fail_parse("parseString", frame.start, p, frame.end);
            char e = *p;
            if (e == 'u') {
                for (int i = 0; i < 4; ++i) {
                    ++p;
                    if (p >= frame.end || !is_hex(*p))
                        fail_parse("parseString", frame.start, p, frame.end);
                }
            } else if (!std::strchr("\"\\/bfnrt", e) || e == '\0') {
                fail_parse("parseString", frame.start, p, frame.end);
            }
        }
        ++p;
    }
    _reset(STRING);
    if (std::memchr(begin, '\\', static_cast<size_t>(p - begin)))
        _string = unescaped(begin, p);
    else
        _string.assign(begin, p);
    frame.pos = p + 1;
}

void JsonValue::_parseNumber(ParseFrame& frame) {
    const char* begin = frame.pos;
    const char* p = begin;
    bool negative = false;
    bool integer = true;
    auto needDigit = [&]() {
        if (p >= frame.end || !is_digit(*p))
            fail_parse("parseNumber", frame.start, p, frame.end);
    };
    if (*p == '-') {
        negative = true;
        ++p;
    }
    needDigit();
    if (*p == '0') {
        ++p;
    } else {
        while (p < frame.end && is_digit(*p))
            ++p;
    }
    if (p < frame.end && *p == '.') {
        integer = false;
        ++p;
        needDigit();
        while (p < frame.end && is_digit(*p))
            ++p;
    }
    if (p < frame.end && (*p == 'e' || *p == 'E')) {
        integer = false;
        ++p;
        if (p < frame.end && (*p == '+' || *p == '-'))
            ++p;
        needDigit();
        while (p < frame.end && is_digit(*p))
            ++p;
    }
    // The text is not zero-terminated at the number's end: convert a copy.
    std::string digits(begin, p);
    _reset(NUMBER);
    errno = 0;
    if (integer && !negative) {
        _number.u = std::strtoull(digits.c_str(), nullptr, 10);
        _numberWord = UNSIGNED_INTEGER | NUMBER_HAS_VALUE;
    } else if (integer) {
        _number.s = std::strtoll(digits.c_str(), nullptr, 10);
        _numberWord = SIGNED_INTEGER | NUMBER_HAS_VALUE;
    } else {
        _number.f = std::strtold(digits.c_str(), nullptr);
        _numberWord = LONG_DOUBLE | NUMBER_HAS_VALUE;
        if (std::isinf(_number.f))
            errno = ERANGE;
    }
    // A count beyond 64 bits, or a number beyond the floating range, would be read as another
    // number (saturated, or infinite) without a word: refuse it where it starts.
    if (errno == ERANGE && (integer || std::isinf(_number.f)))
        fail_parse("parseNumber", frame.start, begin, frame.end);
    frame.pos = p;
}

void JsonValue::_parseObject(ParseFrame& frame) {
    _reset(OBJECT);
    ++frame.pos; // past '{'
    skip_space(frame.pos, frame.end);
    if (frame.pos < frame.end && *frame.pos == '}') {
        ++frame.pos;
        return;
    }
    for (;;) {
        if (frame.pos >= frame.end || *frame.pos != '"')
            fail_parse("parseObject", frame.start, frame.pos, frame.end);
        JsonValue key;
        key._parseString(frame);
        skip_space(frame.pos, frame.end);
        if (frame.pos >= frame.end || *frame.pos != ':')
            fail_parse("parseObject", frame.start, frame.pos, frame.end);
        ++frame.pos;
        JsonValue value;
        value._parseValue(frame);
        _members[key._string] = std::move(value);
        if (frame.pos < frame.end && *frame.pos == ',') {
            ++frame.pos;
            skip_space(frame.pos, frame.end);
            continue;
        }
        if (frame.pos < frame.end && *frame.pos == '}') {
            ++frame.pos;
            return;
        }
        fail_parse("parseObject", frame.start, frame.pos, frame.end);
    }
}

void JsonValue::_parseArray(ParseFrame& frame) {
    _reset(ARRAY);
    ++frame.pos; // past '['
    skip_space(frame.pos, frame.end);
    if (frame.pos < frame.end && *frame.pos == ']') {
        ++frame.pos;
        return;
    }
    for (;;) {
        JsonValue element;
        element._parseValue(frame);
        _elements.push_back(std::move(element));
        if (frame.pos < frame.end && *frame.pos == ',') {
            ++frame.pos;
            continue;
        }
        if (frame.pos < frame.end && *frame.pos == ']') {
            ++frame.pos;
            return;
        }
        fail_parse("parseArray", frame.start, frame.pos, frame.end);
    }
}
