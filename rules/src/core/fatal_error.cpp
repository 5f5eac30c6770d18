#include "core/fatal_error.h"

#include <utility>

namespace tralix {

FatalError::FatalError(std::string message, std::source_location where)
    : std::runtime_error(message), message_(std::move(message)), where_(where) {}

std::string FatalError::report() const {
    return std::string(where_.file_name()) + ":" + std::to_string(where_.line()) + ": " + message_;
}

void fatal_stop(std::string message, std::source_location where) {
    throw FatalError(std::move(message), where);
}

}  // namespace tralix
