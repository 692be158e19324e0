// Test kit: tables of cases. Every row carries a `name`, which names its
// test in the list and stands for the row in gtest's messages, instead of
// a dump of the row's bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

// The name generator for INSTANTIATE_TEST_SUITE_P: each test is named by its row.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

// The name generator for a table of signal numbers: SIGINT, SIGTERM, ...
struct SignalName {
    std::string operator()(const ::testing::TestParamInfo<int>& info) const {
        return "SIG" + std::string(sigabbrev_np(info.param));
    }
};

// Declares the fixture of a table whose rows are Case, printed by name.
#define CASE_TABLE(Fixture, Case) CASE_TABLE_ON(Fixture, Case, ::testing::TestWithParam<Case>)
// The same on a parametrised fixture of the suite's own (a Wine case, say).
#define CASE_TABLE_ON(Fixture, Case, Base)                                             \
    [[maybe_unused]] void PrintTo(const Case& c, std::ostream* os) { *os << c.name; } \
    class Fixture : public Base {}
