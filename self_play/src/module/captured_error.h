// A Python exception taken off the interpreter and returned as a value instead of propagating.
#pragma once

#include <memory>
#include <string>

#include "module/py_ref.h"
#include "search/evaluator.h"

namespace tralix {

class CapturedError : public EvaluationError {
public:
    // Takes the interpreter's current exception; when a failing call left none set, a
    // SystemError "attempted to fetch exception but none was set" stands in for it.
    static std::unique_ptr<CapturedError> take();

    // "{qualified type name}: {str(exception)}", or "<exception str() failed>" after the colon
    // when str() itself fails.
    std::string text() const override;
    // The exception itself, borrowed.
    PyObject* exception() const { return exception_.get(); }

private:
    explicit CapturedError(PyRef exception) : exception_(std::move(exception)) {}
    PyRef exception_;
};

}  // namespace tralix
