// Stub records: a constant description of the module's Python surface, from
// which a stub generator outside the module writes a type stub (.pyi).
#pragma once

#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

#include "corvid_py/type_expression.hpp"

namespace corvid_py {

// Records hold builders rather than values so that they stay constants; each
// call returns a new value.
using TypeBuilder = TypeExpression (*)();
// Returns the Python expression text of a parameter's default value.
using DefaultBuilder = std::string (*)();

// Opaque token naming one class: equal for the records of the same class,
// different between classes, stable for the life of the process.
struct ClassIdentity {
    std::uint64_t high;
    std::uint64_t low;
    friend bool operator==(const ClassIdentity&, const ClassIdentity&) = default;
};
using ClassIdentityBuilder = ClassIdentity (*)();

enum class ParameterKind {
    positional_only,
    positional_or_keyword,
    keyword_only,
    var_positional,
    var_keyword,
};

struct ParameterStub {
    std::string_view name;
    TypeBuilder type;
    DefaultBuilder default_value;  // null: the parameter has no default
    ParameterKind kind;
};

enum class MethodKind {
    instance,
    static_method,
    class_method,
    constructor,  // __new__
};

struct MethodStub {
    std::string_view name;
    std::span<const ParameterStub> parameters;  // self and cls excluded
    TypeBuilder return_type;
    std::string_view docstring;  // without a text signature
    MethodKind kind;
};

// The methods of one class; paired with its ClassStub by the identity token.
struct MethodGroupStub {
    ClassIdentityBuilder class_identity;
    std::span<const MethodStub> methods;
    std::source_location location;  // where the group is described
};

struct ClassStub {
    std::string_view module;
    std::string_view name;
    std::string_view docstring;
    ClassIdentityBuilder class_identity;
    // The live class accepts subclasses; otherwise the stub marks it final.
    bool subclassable;
};

}  // namespace corvid_py
