// The stub generator's writer: layout, parameter kinds, imports and pairing.
#include "stubgen/stub_writer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <expected>
#include <format>
#include <source_location>
#include <string>

namespace corvid_py::stubgen {
namespace {

ClassIdentity square_identity() { return {.high = 1, .low = 1}; }
ClassIdentity shape_identity() { return {.high = 1, .low = 2}; }
ClassIdentity other_identity() { return {.high = 2, .low = 1}; }
ClassIdentity unregistered_identity() { return {.high = 3, .low = 1}; }

TypeExpression int_type() { return builtin_type("int"); }
TypeExpression bool_type() { return builtin_type("bool"); }
TypeExpression square_type() { return module_class("shapes", "Square"); }
TypeExpression squares_type() { return list_of(square_type()); }
TypeExpression other_type() { return module_class("other", "Other"); }
std::string one() { return "1"; }
std::string no() { return "False"; }

constexpr std::array new_parameters = {
    ParameterStub{"side", int_type, one, ParameterKind::positional_or_keyword},
};
constexpr std::array scale_parameters = {
    ParameterStub{"factor", int_type, nullptr, ParameterKind::positional_only},
    ParameterStub{"about", other_type, nullptr, ParameterKind::positional_or_keyword},
    ParameterStub{"rest", int_type, nullptr, ParameterKind::var_positional},
    ParameterStub{"exact", bool_type, no, ParameterKind::keyword_only},
    ParameterStub{"options", int_type, nullptr, ParameterKind::var_keyword},
};
constexpr std::array unit_parameters = {
    ParameterStub{"side", int_type, nullptr, ParameterKind::keyword_only},
};
constexpr std::array square_methods = {
    MethodStub{"__new__", new_parameters, square_type,
               "Makes a square.\n\nSide \"length\" \\ in units.", MethodKind::constructor},
    MethodStub{"scale", scale_parameters, squares_type, "", MethodKind::instance},
    MethodStub{"unit", unit_parameters, square_type, "", MethodKind::static_method},
    MethodStub{"count", {}, int_type, "", MethodKind::class_method},
};
constexpr std::array other_methods = {
    MethodStub{"value", {}, int_type, "", MethodKind::instance},
};

constexpr ClassStub square = {"shapes", "Square", "", square_identity, false};
constexpr ClassStub shape = {"shapes", "Shape", "A shape.", shape_identity, true};
constexpr ClassStub other = {"other", "Other", "", other_identity, true};
constexpr MethodGroupStub square_group = {square_identity, square_methods,
                                          std::source_location::current()};
constexpr MethodGroupStub other_group = {other_identity, other_methods,
                                         std::source_location::current()};

class stub_writer_test : public ::testing::Test {
protected:
    StubRegistry<ClassStub> classes;
    StubRegistry<MethodGroupStub> method_groups;
    StubRegistration<ClassStub> square_registration{classes, square};
    StubRegistration<ClassStub> shape_registration{classes, shape};
    StubRegistration<ClassStub> other_registration{classes, other};
    StubRegistration<MethodGroupStub> other_group_registration{method_groups, other_group};
    StubRegistration<MethodGroupStub> square_group_registration{method_groups, square_group};
};

TEST_F(stub_writer_test, writes_the_classes_of_one_module) {
    EXPECT_EQ(write_module_stub("shapes", classes, method_groups),
              R"(# Type stub of the shapes module, generated from its stub records; do not edit.

import builtins
import other
import typing

__all__ = ["Shape", "Square"]

class Shape:
    """
    A shape.
    """

@typing.final
class Square:
    def __new__(cls, side: builtins.int = 1) -> Square:
        """
        Makes a square.

        Side \"length\" \\ in units.
        """

    def scale(self, factor: builtins.int, /, about: other.Other, *rest: builtins.int, exact: builtins.bool = False, **options: builtins.int) -> builtins.list[Square]: ...

    @staticmethod
    def unit(*, side: builtins.int) -> Square: ...

    @classmethod
    def count(cls) -> builtins.int: ...
)");
}

TEST_F(stub_writer_test, fails_for_a_module_without_classes) {
    EXPECT_EQ(write_module_stub("circles", classes, method_groups),
              std::unexpected("no class of module 'circles'"));
}

TEST_F(stub_writer_test, fails_for_a_method_group_without_its_class) {
    constexpr MethodGroupStub orphan = {unregistered_identity, other_methods,
                                        std::source_location::current()};
    const StubRegistration<MethodGroupStub> orphan_registration(method_groups, orphan);
    const auto stub = write_module_stub("shapes", classes, method_groups);
    ASSERT_FALSE(stub.has_value());
    EXPECT_EQ(stub.error(),
              std::format("the method group described at {}:{}:{} belongs to no class",
                          orphan.location.file_name(), orphan.location.line(),
                          orphan.location.column()));
}

}  // namespace
}  // namespace corvid_py::stubgen
