// The record of a call's Python objects and settings, handed to every game driver. It borrows
// the objects: the entry function holds their references for the whole call.
#pragma once

#include <cstdint>

#include "module/py_ref.h"
#include "search/config.h"

namespace tralix {

struct GameContext {
    PyObject* result_queue = nullptr;  // receives the result of a finished game
    PyObject* pipe = nullptr;          // gives the replies, one per request
    Config config;
    std::int32_t id = 0;  // tags every request and the result
};

}  // namespace tralix
