// The checks of the native tests: each counted, a failed one named on
// standard error; a test program exits with summary().
#pragma once

#include <iostream>
#include <string>

namespace checks {

inline int passed = 0;
inline int failed = 0;

inline void check(bool condition, const std::string& what)
{
    if (condition) {
        ++passed;
    } else {
        ++failed;
        std::cerr << "FAILED: " << what << "\n";
    }
}

// Prints the counts; the exit status of the program.
inline int summary()
{
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace checks
