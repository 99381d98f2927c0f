// The name generator of a parameterised test whose case carries its own name: a `name` member that converts to a
// string (a std::string, a std::string_view or a C string).
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace ryx::test {

struct NameOfCase {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param) const {
        return std::string(param.param.name);
    }
};

}  // namespace ryx::test
