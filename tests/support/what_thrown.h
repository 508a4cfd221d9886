#ifndef TESTS_SUPPORT_WHAT_THROWN_H
#define TESTS_SUPPORT_WHAT_THROWN_H

#include <exception>
#include <string>
#include <typeinfo>

// "<class>: <what()>" of what a call threw, or "(returned)"; compared against Named(...), so
// a failing test shows both the class and the message.
template <class Call>
std::string WhatThrown(Call call) {
    try {
        call();
    } catch (std::exception const& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
    return "(returned)";
}

inline std::string Named(std::type_info const& type, std::string const& text) {
    return std::string(type.name()) + ": " + text;
}

#endif
