// libFuzzer target: the JSON parser. Whatever parses must write out and parse back to the same
// text; nothing may crash, hang or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/JsonValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    JsonValue value;
    try {
        value.parse(text);
    } catch (const JsonValue::ParseError&) {
        return 0;
    }
    JsonValue again;
    again.parse(value.stringify());
    if (again.stringify() != value.stringify())
        std::abort();
    return 0;
}
