// A Python exception taken off the interpreter and returned as a value instead of propagating.
#pragma once

#include <string>

#include "lib/py_ref.h"
#include "simulation/evaluation.h"

namespace tralix {

class CapturedError : public EvaluationError {
public:
    // Takes the interpreter's current exception; when a failing call left none set, a
    // SystemError "attempted to fetch exception but none was set" stands in for it.
    static std::unique_ptr<CapturedError> take();

    // "{qualified type name}: {str(exception)}", or "<exception str() failed>" after the colon
    // when str() itself fails.
    std::string text() const override;

private:
    explicit CapturedError(PyRef exception) : exception_(std::move(exception)) {}
    PyRef exception_;
};

// The UTF-8 text of a str object, or nothing (with the error cleared) when it cannot be had.
bool utf8_text(PyObject* str, std::string& out);

}  // namespace tralix
