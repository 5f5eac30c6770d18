// Why a search failed: a fixed message and, when the network's channel failed, its error.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "search/evaluator.h"

namespace tralix {

// text() builds the message only when someone wants it, so a discarded failure never calls
// back into the harness's exception objects.
class SearchFailure {
public:
    explicit SearchFailure(std::string message, std::unique_ptr<EvaluationError> cause = nullptr)
        : message_(std::move(message)), cause_(std::move(cause)) {}
    // The message followed by the cause's text form, if any.
    std::string text() const { return cause_ ? message_ + cause_->text() : message_; }
    // The network's failure behind this one, or null.
    const EvaluationError* cause() const { return cause_.get(); }

private:
    std::string message_;
    std::unique_ptr<EvaluationError> cause_;
};

}  // namespace tralix
