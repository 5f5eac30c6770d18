// The fatal stop: a broken invariant or an unusable input ends the current call. The module
// boundary turns this exception into the Python PanicException; nothing else catches it.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace tralix {

class FatalError : public std::runtime_error {
public:
    FatalError(std::string message, std::source_location where);

    // The message without the location, as Python receives it.
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // "file:line: message", for the report on standard error.
    std::string report() const;

private:
    std::string message_;
    std::source_location where_;
};

// Throws FatalError carrying the message and the caller's source location.
[[noreturn]] void fatal_stop(std::string message,
                             std::source_location where = std::source_location::current());

}  // namespace tralix
