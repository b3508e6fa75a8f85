// The stub registries: the records registered at load, push order and
// concurrent pushes.
#include "corvid_py/stub_registry.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <latch>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace corvid_py {
namespace {

template <class Record>
std::vector<const Record*> walk(const StubRegistry<Record>& registry) {
    std::vector<const Record*> records;
    for (const Record& record : registry) records.push_back(&record);
    return records;
}

TEST(stub_registry_test, holds_one_node_each_after_load) {
    EXPECT_EQ(walk(class_stub_registry).size(), 1U);
    EXPECT_EQ(walk(method_group_stub_registry).size(), 1U);
}

TEST(stub_registry_test, class_and_method_group_carry_the_same_identity) {
    const ClassStub& class_record = *class_stub_registry.begin();
    const MethodGroupStub& method_group = *method_group_stub_registry.begin();
    EXPECT_EQ(class_record.class_identity(), method_group.class_identity());
    EXPECT_EQ(class_record.module, "corvid_py");
    EXPECT_EQ(class_record.name, "StaticEmbedding");
}

TEST(stub_registry_test, lists_methods_and_parameters_in_declaration_order) {
    const MethodGroupStub& method_group = *method_group_stub_registry.begin();
    std::vector<std::string> names;
    for (const MethodStub& method : method_group.methods) {
        names.emplace_back(method.name);
        for (const ParameterStub& parameter : method.parameters) {
            names.push_back("  " + std::string(parameter.name));
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"__new__", "  model_dir", "  normalize",
                                               "embed_tokens", "  tokens"}));
    EXPECT_EQ(method_group.methods[0].kind, MethodKind::constructor);
    EXPECT_EQ(method_group.methods[1].kind, MethodKind::instance);
}

// Every annotation of the module with its imports, type refs and owning module.
TEST(stub_registry_test, annotations_name_their_imports_and_modules) {
    struct Expected {
        std::string text;
        std::set<std::string> imports;
        std::map<std::string, std::string> type_refs;
        std::optional<std::string> owning_module;
    };
    const std::vector<Expected> expected = {
        {"builtins.str", {"builtins"}, {}, std::nullopt},
        {"builtins.bool", {"builtins"}, {}, std::nullopt},
        {"corvid_py.StaticEmbedding",
         {"corvid_py"},
         {{"StaticEmbedding", "corvid_py"}},
         "corvid_py"},
        {"typing.Sequence[builtins.int]", {"builtins", "typing"}, {}, std::nullopt},
        {"builtins.list[builtins.float]", {"builtins"}, {}, std::nullopt},
    };
    std::vector<TypeExpression> actual;
    for (const MethodStub& method : method_group_stub_registry.begin()->methods) {
        for (const ParameterStub& parameter : method.parameters) {
            actual.push_back(parameter.type());
        }
        actual.push_back(method.return_type());
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].text);
        EXPECT_EQ(actual[i].text, expected[i].text);
        EXPECT_EQ(actual[i].imports, expected[i].imports);
        EXPECT_EQ(actual[i].type_refs, expected[i].type_refs);
        EXPECT_EQ(actual[i].owning_module, expected[i].owning_module);
    }
}

TEST(stub_registry_test, later_pushes_come_first) {
    const std::vector<int> values = {1, 2, 3};
    StubRegistry<int> registry;
    std::vector<StubRegistry<int>::Node> nodes(values.begin(), values.end());
    for (auto& node : nodes) registry.push(node);
    std::vector<int> seen;
    for (const int value : registry) seen.push_back(value);
    EXPECT_EQ(seen, (std::vector<int>{3, 2, 1}));
}

TEST(stub_registry_test, concurrent_pushes_lose_no_node) {
    constexpr int thread_count = 8;
    constexpr int pushes_per_thread = 2000;
    std::vector<int> values(thread_count * pushes_per_thread);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i);
    std::vector<StubRegistry<int>::Node> nodes(values.begin(), values.end());
    StubRegistry<int> registry;
    std::latch start(thread_count);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                for (int i = 0; i < pushes_per_thread; ++i) {
                    registry.push(nodes[static_cast<std::size_t>(t * pushes_per_thread + i)]);
                }
            });
        }
    }
    // Each value once, and each thread's values newest first.
    std::set<int> seen;
    std::vector<int> last_of_thread(thread_count, pushes_per_thread);
    for (const int value : registry) {
        EXPECT_TRUE(seen.insert(value).second) << value;
        const auto thread = static_cast<std::size_t>(value / pushes_per_thread);
        EXPECT_LT(value % pushes_per_thread, last_of_thread[thread]) << value;
        last_of_thread[thread] = value % pushes_per_thread;
    }
    EXPECT_EQ(seen.size(), values.size());
}

}  // namespace
}  // namespace corvid_py
