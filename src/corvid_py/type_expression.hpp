// Python type annotations as a type stub shows them, with what they need to resolve.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace corvid_py {

struct TypeExpression {
    // The annotation, module-qualified: "builtins.str", "corvid_py.StaticEmbedding".
    std::string text;
    // Modules the stub must import for `text` to resolve.
    std::set<std::string> imports;
    // Bare type name (no dots) to the module that defines it.
    std::map<std::string, std::string> type_refs;
    // The module that defines the annotated type itself; none for builtins and
    // composed types.
    std::optional<std::string> owning_module;
};

// "builtins.{name}", importing builtins.
[[nodiscard]] TypeExpression builtin_type(std::string_view name);

// How an annotation names the class `name` of `module` (a dotted name):
// "{last component of module}.{name}".
[[nodiscard]] std::string qualified_class_name(std::string_view module, std::string_view name);

// A class defined by `module`: its qualified_class_name, with the module as
// import, type ref and owning module.
[[nodiscard]] TypeExpression module_class(std::string_view module, std::string_view name);

// "typing.Sequence[{element}]": the element's needs plus typing.
[[nodiscard]] TypeExpression sequence_of(TypeExpression element);

// "builtins.list[{element}]": the element's needs plus builtins.
[[nodiscard]] TypeExpression list_of(TypeExpression element);

}  // namespace corvid_py
