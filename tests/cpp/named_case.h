// Parametrised cases that carry their own name: it names the instance and is
// what a failure prints for the case.
#pragma once

#include <concepts>
#include <ostream>
#include <string>

namespace kestrova::test {

struct NamedCase {
    const char* name;
};

// Found through the base class; chosen over GoogleTest's byte dump as the more constrained.
template <class Case>
    requires std::derived_from<Case, NamedCase>
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The name generator of INSTANTIATE_TEST_SUITE_P.
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

}  // namespace kestrova::test
