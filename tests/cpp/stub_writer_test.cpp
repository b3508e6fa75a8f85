// The stub generator's writer: layout, imports, pairing, and refusal of
// records it does not handle.
#include "stubgen/stub_writer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <expected>
#include <format>
#include <ostream>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

namespace corvid_py::stubgen {
namespace {

ClassIdentity square_identity() { return {.high = 1, .low = 1}; }
ClassIdentity other_identity() { return {.high = 2, .low = 1}; }
ClassIdentity unregistered_identity() { return {.high = 3, .low = 1}; }

TypeExpression int_type() { return builtin_type("int"); }
TypeExpression ints_type() { return sequence_of(int_type()); }
TypeExpression square_type() { return module_class("shapes", "Square"); }
TypeExpression squares_type() { return list_of(square_type()); }
TypeExpression other_type() { return module_class("other", "Other"); }
std::string one() { return "1"; }

constexpr auto positional_or_keyword = ParameterKind::positional_or_keyword;

constexpr std::array new_parameters = {
    ParameterStub{"side", int_type, nullptr, positional_or_keyword},
    ParameterStub{"scale", int_type, one, positional_or_keyword},
};
constexpr std::array grow_parameters = {
    ParameterStub{"steps", ints_type, nullptr, positional_or_keyword},
};
constexpr std::array square_methods = {
    MethodStub{"__new__", new_parameters, square_type, "Makes a square.\n\nSide in units.",
               MethodKind::constructor},
    MethodStub{"grow", grow_parameters, int_type, "Grows it.", MethodKind::instance},
};

constexpr ClassStub square = {"shapes", "Square", "", square_identity, false};
constexpr ClassStub other = {"other", "Other", "", other_identity, false};
constexpr MethodGroupStub square_group = {square_identity, square_methods,
                                          std::source_location::current()};

class stub_writer_test : public ::testing::Test {
protected:
    StubRegistry<ClassStub> classes;
    StubRegistry<MethodGroupStub> method_groups;
    StubRegistration<ClassStub> square_registration{classes, square};
    StubRegistration<MethodGroupStub> square_group_registration{method_groups, square_group};
};

TEST_F(stub_writer_test, writes_the_class_with_its_methods) {
    EXPECT_EQ(write_module_stub("shapes", classes, method_groups),
              R"(# Type stub of the shapes module, generated from its stub records; do not edit.

import builtins
import typing

__all__ = ["Square"]

@typing.final
class Square:
    def __new__(cls, side: builtins.int, scale: builtins.int = 1) -> Square:
        """
        Makes a square.

        Side in units.
        """

    def grow(self, steps: typing.Sequence[builtins.int]) -> builtins.int:
        """
        Grows it.
        """
)");
}

TEST_F(stub_writer_test, fails_for_a_module_without_classes) {
    EXPECT_EQ(write_module_stub("circles", classes, method_groups),
              std::unexpected("no class of module 'circles'"));
}

TEST_F(stub_writer_test, fails_for_a_method_group_without_its_class) {
    constexpr MethodGroupStub orphan = {unregistered_identity, square_methods,
                                        std::source_location::current()};
    const StubRegistration<MethodGroupStub> orphan_registration(method_groups, orphan);
    const auto stub = write_module_stub("shapes", classes, method_groups);
    ASSERT_FALSE(stub.has_value());
    EXPECT_EQ(stub.error(),
              std::format("the method group described at {}:{}:{} belongs to no class",
                          orphan.location.file_name(), orphan.location.line(),
                          orphan.location.column()));
}

TEST_F(stub_writer_test, refuses_a_second_method_group_or_class) {
    const StubRegistration<MethodGroupStub> second_group(method_groups, square_group);
    EXPECT_EQ(write_module_stub("shapes", classes, method_groups),
              std::unexpected("the stub writer does not handle a second method group for Square"));
    const StubRegistration<ClassStub> second_class(classes, other);
    EXPECT_EQ(write_module_stub("shapes", classes, method_groups),
              std::unexpected("the stub writer does not handle a second class (other.Other)"));
}

// One class of "shapes" with one method group: a record the writer refuses.
struct UnsupportedRecord {
    std::string_view name;
    ClassStub record;
    std::span<const MethodStub> methods;
    std::string_view refusal;  // after "the stub writer does not handle "
};

// Names the case; GoogleTest would otherwise print its bytes, padding included.
void PrintTo(const UnsupportedRecord& record, std::ostream* out) { *out << record.name; }

class stub_writer_refusal_test : public ::testing::TestWithParam<UnsupportedRecord> {};

TEST_P(stub_writer_refusal_test, fails_with_a_message) {
    const UnsupportedRecord& record = GetParam();
    StubRegistry<ClassStub> classes;
    StubRegistry<MethodGroupStub> method_groups;
    const StubRegistration<ClassStub> class_registration(classes, record.record);
    const MethodGroupStub group = {square_identity, record.methods,
                                   std::source_location::current()};
    const StubRegistration<MethodGroupStub> group_registration(method_groups, group);
    EXPECT_EQ(write_module_stub("shapes", classes, method_groups),
              std::unexpected(std::format("the stub writer does not handle {}", record.refusal)));
}

constexpr std::array keyword_only_parameters = {
    ParameterStub{"steps", int_type, nullptr, ParameterKind::keyword_only},
};
constexpr std::array keyword_only_method = {
    MethodStub{"grow", keyword_only_parameters, int_type, "Grows it.", MethodKind::instance},
};
constexpr std::array class_method = {
    MethodStub{"count", {}, int_type, "Counts them.", MethodKind::class_method},
};
constexpr std::array other_module_return = {
    MethodStub{"peer", {}, other_type, "Its peer.", MethodKind::instance},
};
constexpr std::array own_class_in_a_list = {
    MethodStub{"split", {}, squares_type, "Splits it.", MethodKind::instance},
};
constexpr std::array undocumented_method = {
    MethodStub{"grow", {}, int_type, "", MethodKind::instance},
};
constexpr std::array quoting_docstring = {
    MethodStub{"grow", {}, int_type, "Grows it \"fast\".", MethodKind::instance},
};

INSTANTIATE_TEST_SUITE_P(
    unsupported, stub_writer_refusal_test,
    ::testing::Values(
        UnsupportedRecord{"subclassable_class", {"shapes", "Square", "", square_identity, true},
                          square_methods, "the subclassable class Square"},
        UnsupportedRecord{"class_docstring",
                          {"shapes", "Square", "A square.", square_identity, false},
                          square_methods, "a docstring on the class Square"},
        UnsupportedRecord{"no_methods", square, {}, "the class Square without methods"},
        UnsupportedRecord{"keyword_only_parameter", square, keyword_only_method,
                          "the parameter steps of grow, which is not positional-or-keyword"},
        UnsupportedRecord{"class_method", square, class_method, "the static or class method count"},
        UnsupportedRecord{"class_of_another_module", square, other_module_return,
                          "the annotation other.Other, which names a class yet is not just a "
                          "class of shapes"},
        UnsupportedRecord{"own_class_inside_a_generic", square, own_class_in_a_list,
                          "the annotation builtins.list[shapes.Square], which names a class yet "
                          "is not just a class of shapes"},
        UnsupportedRecord{"method_without_docstring", square, undocumented_method,
                          "the method grow without a docstring"},
        UnsupportedRecord{"quote_in_docstring", square, quoting_docstring,
                          "a quote or backslash in the docstring of grow"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace corvid_py::stubgen
