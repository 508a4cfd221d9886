#ifndef TESTS_PROVIDER_THROWN_H
#define TESTS_PROVIDER_THROWN_H

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <typeinfo>

// What a call threw: message and code of an exception of exactly the expected class.
struct Thrown {
    std::string message;
    unsigned long code = 0;
};

template <typename E, typename F>
Thrown Catch(F&& call) {
    try {
        call();
    } catch (E const& error) {
        EXPECT_EQ(typeid(error), typeid(E)) << error.what();
        return Thrown{error.what(), error.GetCode()};
    } catch (std::exception const& error) {
        ADD_FAILURE() << "expected " << typeid(E).name() << ", caught " << typeid(error).name()
                      << ": " << error.what();
        return Thrown();
    }
    ADD_FAILURE() << "expected " << typeid(E).name() << ", nothing thrown";
    return Thrown();
}

#endif
