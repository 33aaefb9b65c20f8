#include "SystemError.h"

#include <cerrno>
#include <cstring>

std::string errorText(int error) {
    char buffer[256];
    // GNU strerror_r: returns a static text or one written into the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

std::system_error systemError(int error, const std::string& what) {
    return std::system_error(error ? error : EIO, std::generic_category(), what);
}
