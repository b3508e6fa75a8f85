// Writes the type stub (.pyi text) of one module from the stub registries.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "corvid_py/stub_record.hpp"
#include "corvid_py/stub_registry.hpp"

namespace corvid_py::stubgen {

// The stub of `module`: the merged imports, __all__, then its classes in name
// order, each with the methods of every method group that carries the class's
// identity token. Names of the module's own classes are written unqualified.
// Fails with a message when the module has no class or a method group belongs
// to no registered class.
[[nodiscard]] std::expected<std::string, std::string> write_module_stub(
    std::string_view module, const StubRegistry<ClassStub>& classes,
    const StubRegistry<MethodGroupStub>& method_groups);

}  // namespace corvid_py::stubgen
