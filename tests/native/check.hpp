// A small test runner for the native tests: TEST(name) { CHECK(...); }.
// Every test of the executable runs; the exit status counts the failures.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char *name;
    void (*run)();
};

std::vector<Case> &cases();
void fail(const char *file, int line, const std::string &what);

struct Registration {
    Registration(const char *name, void (*run)()) { cases().push_back({name, run}); }
};

template <class A, class B> std::string both(const A &a, const B &b) {
    std::ostringstream out;
    out << "\n    left:  " << a << "\n    right: " << b;
    return out.str();
}

}  // namespace check

#define TEST(name)                                                                                                     \
    static void name();                                                                                                \
    static const check::Registration name##_registration(#name, name);                                                \
    static void name()

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            check::fail(__FILE__, __LINE__, #condition);                                                               \
    } while (0)

#define CHECK_EQ(left, right)                                                                                          \
    do {                                                                                                               \
        const auto &check_left_ = (left);                                                                              \
        const auto &check_right_ = (right);                                                                            \
        if (!(check_left_ == check_right_))                                                                            \
            check::fail(__FILE__, __LINE__, #left " == " #right + check::both(check_left_, check_right_));            \
    } while (0)

#define CHECK_THROWS(type, expression)                                                                                 \
    do {                                                                                                               \
        bool check_thrown_ = false;                                                                                    \
        try {                                                                                                          \
            (void)(expression);                                                                                        \
        } catch (const type &) {                                                                                       \
            check_thrown_ = true;                                                                                      \
        }                                                                                                              \
        if (!check_thrown_)                                                                                            \
            check::fail(__FILE__, __LINE__, #expression " throws " #type);                                             \
    } while (0)
