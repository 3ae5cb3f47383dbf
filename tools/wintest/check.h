// A few lines of assertion support for the Windows test programs, which run
// under Wine without a test framework: every check prints one line, and the
// program's exit status counts the failures.
#pragma once

#include <cstdio>
#include <string>

namespace wintest {

inline int& FailureCount() {
    static int failures = 0;
    return failures;
}

inline bool Check(bool condition, const std::string& what) {
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!condition) {
        ++FailureCount();
    }
    return condition;
}

// For integers of any width and signedness.
template <typename Actual, typename Expected>
bool CheckEqual(Actual actual, Expected expected, const std::string& what) {
    const auto got = static_cast<long long>(actual);
    const auto wanted = static_cast<long long>(expected);
    Check(got == wanted, what);
    if (got != wanted) {
        std::printf("     got %lld, expected %lld\n", got, wanted);
    }
    return got == wanted;
}

inline void Section(const char* title) {
    std::printf("-- %s\n", title);
    std::fflush(stdout);
}

// The exit status: 0 when every check passed.
inline int Summary(const char* program) {
    std::printf("%s: %d failed check(s)\n", program, FailureCount());
    std::fflush(stdout);
    return FailureCount() == 0 ? 0 : 1;
}

} // namespace wintest
