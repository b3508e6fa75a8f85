// Builders of type annotations for the stub records.
#include "corvid_py/type_expression.hpp"

#include <cstddef>
#include <format>
#include <utility>

namespace corvid_py {

namespace {

// Wraps `element` in the generic `generic` that `module` defines; the result
// is composed, so it has no owning module.
TypeExpression generic_of(std::string_view module, std::string_view generic,
                          TypeExpression element) {
    element.text = std::format("{}.{}[{}]", module, generic, element.text);
    element.imports.emplace(module);
    element.owning_module.reset();
    return element;
}

}  // namespace

TypeExpression builtin_type(std::string_view name) {
    return {
        .text = std::format("builtins.{}", name),
        .imports = {"builtins"},
        .type_refs = {},
        .owning_module = std::nullopt,
    };
}

std::string qualified_class_name(std::string_view module, std::string_view name) {
    const std::size_t dot = module.rfind('.');
    const std::string_view last_component =
        dot == std::string_view::npos ? module : module.substr(dot + 1);
    return std::format("{}.{}", last_component, name);
}

TypeExpression module_class(std::string_view module, std::string_view name) {
    return {
        .text = qualified_class_name(module, name),
        .imports = {std::string(module)},
        .type_refs = {{std::string(name), std::string(module)}},
        .owning_module = std::string(module),
    };
}

TypeExpression sequence_of(TypeExpression element) {
    return generic_of("typing", "Sequence", std::move(element));
}

TypeExpression list_of(TypeExpression element) {
    return generic_of("builtins", "list", std::move(element));
}

}  // namespace corvid_py
