// The document reader's bounds on nesting depth and alias expansion, to the level.
#include <string>

#include <gtest/gtest.h>

#include "vedov/document/document.hpp"
#include "vedov/document/node_tree.hpp"
#include "zam/failure.hpp"

namespace {

std::string failure_of(const std::string& text) {
    try {
        vedov::from_yaml(text);
    } catch (const zam::Failure& f) {
        return f.message();
    }
    return {};
}

bool mentions(const std::string& message, const char* text) {
    return message.find(text) != std::string::npos;
}

std::string nested(std::size_t depth) {
    return "a: " + std::string(depth, '[') + std::string(depth, ']') + "\n";
}

TEST(DepthLimit, RootMappingCountsAsOneLevel) {
    using vedov::document::max_depth;
    // The root mapping and max_depth - 1 sequences: deep, yet within bounds.
    EXPECT_TRUE(mentions(failure_of(nested(max_depth - 1)), "missing field `meas`"));
    EXPECT_TRUE(mentions(failure_of(nested(max_depth)), "recursion limit exceeded"));
}

TEST(DepthLimit, AliasesCountWithTheDepthTheyExpandTo) {
    using vedov::document::max_depth;
    // An anchored node 100 levels deep, used where it would nest past the limit.
    const std::string anchor = "a: &deep " + std::string(100, '[') + std::string(100, ']') + "\n";
    const auto used_at = [&](std::size_t depth) {
        return failure_of(anchor + "b: " + std::string(depth, '[') + "*deep" +
                          std::string(depth, ']') + "\n");
    };
    EXPECT_TRUE(mentions(used_at(max_depth - 101), "missing field `meas`"));
    EXPECT_TRUE(mentions(used_at(max_depth - 100), "recursion limit exceeded"));
}

// Bombs of every kind and their cost in time and memory: test_hostile_input.py.
TEST(ExpansionLimit, OrdinaryReuseOfAnchorsLoads) {
    std::string text =
        "meas: []\nphi: []\nts: []\ncom: []\ncov_model: []\n"
        "meas_lines:\n- &line {x0: 1, xz: 2, y0: 3, yz: 4}\n";
    for (int k = 0; k < 20000; ++k) text += "- *line\n";
    text += "simul_dt: 0.0\nmeas_dt: 0.0\n";
    EXPECT_EQ(vedov::from_yaml(text).meas_lines.size(), 20001u);
}

}  // namespace
