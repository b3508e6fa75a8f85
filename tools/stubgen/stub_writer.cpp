// Writes the type stub of one module from the stub registries.
#include "stubgen/stub_writer.hpp"

#include <cstddef>
#include <format>
#include <iterator>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "corvid_py/type_expression.hpp"

namespace corvid_py::stubgen {

namespace {

// A record the writer cannot turn into a correct stub; write_module_stub
// returns its message.
class StubError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message) { throw StubError(message); }

// The writer handles only what this module's records use; anything else
// stops the generator rather than be written half right.
[[noreturn]] void unsupported(std::string_view what) {
    fail(std::format("the stub writer does not handle {}", what));
}

// Writes the stub of one module; used once, through build.
class StubBuilder {
public:
    explicit StubBuilder(std::string_view module) : module_(module) {}

    // The whole stub: header, the imports the class needs, __all__, the class.
    std::string build(const ClassStub& record, std::span<const MethodStub> methods) {
        write_class(record, methods);
        std::string stub = std::format(
            "# Type stub of the {} module, generated from its stub records; do not edit.\n\n",
            module_);
        for (const std::string& name : imports_) {
            std::format_to(std::back_inserter(stub), "import {}\n", name);
        }
        std::format_to(std::back_inserter(stub), "\n__all__ = [\"{}\"]\n\n", record.name);
        stub += body_;
        return stub;
    }

private:
    void write_class(const ClassStub& record, std::span<const MethodStub> methods) {
        if (record.subclassable) unsupported(std::format("the subclassable class {}", record.name));
        if (!record.docstring.empty()) {
            unsupported(std::format("a docstring on the class {}", record.name));
        }
        imports_.emplace("typing");
        std::format_to(std::back_inserter(body_), "@typing.final\nclass {}:\n", record.name);
        for (std::size_t i = 0; i < methods.size(); ++i) {
            if (i > 0) body_ += '\n';
            write_method(methods[i]);
        }
    }

    void write_method(const MethodStub& method) {
        std::string_view receiver;
        switch (method.kind) {
            case MethodKind::instance:
                receiver = "self";
                break;
            case MethodKind::constructor:
                receiver = "cls";
                break;
            case MethodKind::static_method:
            case MethodKind::class_method:
                unsupported(std::format("the static or class method {}", method.name));
        }
        if (method.docstring.empty()) {
            unsupported(std::format("the method {} without a docstring", method.name));
        }
        std::string parameters(receiver);
        for (const ParameterStub& parameter : method.parameters) {
            if (parameter.kind != ParameterKind::positional_or_keyword) {
                unsupported(
                    std::format("the parameter {} of {}, which is not positional-or-keyword",
                                parameter.name, method.name));
            }
            std::format_to(std::back_inserter(parameters), ", {}: {}", parameter.name,
                           annotation(parameter.type()));
            if (parameter.default_value != nullptr) {
                std::format_to(std::back_inserter(parameters), " = {}", parameter.default_value());
            }
        }
        std::format_to(std::back_inserter(body_), "    def {}({}) -> {}:\n", method.name,
                       parameters, annotation(method.return_type()));
        write_docstring(method.name, method.docstring);
    }

    // The annotation's text as this module's stub writes it; records its
    // imports. A class of this module, named alone, is written bare.
    std::string annotation(TypeExpression type) {
        if (!type.type_refs.empty()) {
            const auto& [name, defining_module] = *type.type_refs.begin();
            if (type.type_refs.size() > 1 || defining_module != module_ ||
                type.text != qualified_class_name(module_, name)) {
                unsupported(std::format(
                    "the annotation {}, which names a class yet is not just a class of {}",
                    type.text, module_));
            }
            return name;
        }
        imports_.insert(type.imports.begin(), type.imports.end());
        return std::move(type.text);
    }

    void write_docstring(std::string_view method, std::string_view text) {
        if (text.find_first_of("\"\\") != std::string_view::npos) {
            unsupported(std::format("a quote or backslash in the docstring of {}", method));
        }
        body_ += "        \"\"\"\n";
        std::size_t begin = 0;
        while (begin <= text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string_view::npos) end = text.size();
            const std::string_view line = text.substr(begin, end - begin);
            if (!line.empty()) std::format_to(std::back_inserter(body_), "        {}", line);
            body_ += '\n';
            begin = end + 1;
        }
        body_ += "        \"\"\"\n";
    }

    std::string_view module_;
    std::set<std::string> imports_;
    std::string body_;
};

// The one class of `module` and the methods of its one method group.
std::string write_stub(std::string_view module, const StubRegistry<ClassStub>& classes,
                       const StubRegistry<MethodGroupStub>& method_groups) {
    const ClassStub* record = nullptr;
    for (const ClassStub& candidate : classes) {
        if (candidate.module == module) record = &candidate;
    }
    if (record == nullptr) fail(std::format("no class of module '{}'", module));
    for (const ClassStub& other : classes) {
        if (&other != record) {
            unsupported(std::format("a second class ({}.{})", other.module, other.name));
        }
    }

    const MethodGroupStub* group = nullptr;
    for (const MethodGroupStub& candidate : method_groups) {
        if (candidate.class_identity() != record->class_identity()) {
            fail(std::format("the method group described at {}:{}:{} belongs to no class",
                             candidate.location.file_name(), candidate.location.line(),
                             candidate.location.column()));
        }
        if (group != nullptr) {
            unsupported(std::format("a second method group for {}", record->name));
        }
        group = &candidate;
    }
    if (group == nullptr || group->methods.empty()) {
        unsupported(std::format("the class {} without methods", record->name));
    }
    return StubBuilder(module).build(*record, group->methods);
}

}  // namespace

std::expected<std::string, std::string> write_module_stub(
    std::string_view module, const StubRegistry<ClassStub>& classes,
    const StubRegistry<MethodGroupStub>& method_groups) {
    try {
        return write_stub(module, classes, method_groups);
    } catch (const StubError& error) {
        return std::unexpected(error.what());
    }
}

}  // namespace corvid_py::stubgen
