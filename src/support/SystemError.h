// Errors of the operating system, the one way: the error number is taken where the call failed,
// before any logging or message building can change errno.
#pragma once

#include <string>
#include <system_error>

// The system's text for an error number ("No such file or directory"); safe in any thread.
std::string errorText(int error);

// what, then ": " and the error's text; an error number of 0 stands for EIO (a stream that failed
// without saying why).
std::system_error systemError(int error, const std::string& what);
