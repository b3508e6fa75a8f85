// Writes the type stub (.pyi text) of one module from the stub registries.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "corvid_py/stub_record.hpp"
#include "corvid_py/stub_registry.hpp"

namespace corvid_py::stubgen {

// The stub of `module`: the merged imports, __all__, then its class with the
// methods of the method group that carries the class's identity token; the
// class's own name is written unqualified. Handles only what this module's
// records use (one final class without a docstring, one method group, a
// constructor and instance methods with docstrings, positional-or-keyword
// parameters) and fails with a message on anything else, as when the module
// has no class or a method group belongs to no registered class.
[[nodiscard]] std::expected<std::string, std::string> write_module_stub(
    std::string_view module, const StubRegistry<ClassStub>& classes,
    const StubRegistry<MethodGroupStub>& method_groups);

}  // namespace corvid_py::stubgen
