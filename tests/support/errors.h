// The text of the exception that a call throws, or "(no error)" when it returns.
#pragma once

#include <exception>
#include <string>

inline std::string errorText(auto&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}
