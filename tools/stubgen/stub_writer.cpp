// Writes the type stub of one module from the stub registries.
#include "stubgen/stub_writer.hpp"

#include <algorithm>
#include <cstddef>
#include <format>
#include <iterator>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvid_py/type_expression.hpp"

namespace corvid_py::stubgen {

namespace {

// One class of the module with the methods gathered for it.
struct ClassEntry {
    const ClassStub* record;
    ClassIdentity identity;
    std::vector<const MethodStub*> methods;
};

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Replaces each whole occurrence of the dotted name `qualified` in `text`
// with `bare`; "x.corvid_py.A" or "corvid_py.AB" are other names and stay.
void unqualify(std::string& text, std::string_view qualified, std::string_view bare) {
    std::size_t at = 0;
    while ((at = text.find(qualified, at)) != std::string::npos) {
        const std::size_t end = at + qualified.size();
        const bool starts_name = at == 0 || (!is_name_char(text[at - 1]) && text[at - 1] != '.');
        const bool ends_name = end == text.size() || !is_name_char(text[end]);
        if (starts_name && ends_name) {
            text.replace(at, qualified.size(), bare);
            at += bare.size();
        } else {
            at = end;
        }
    }
}

// The body of a triple-quoted string literal holding `text`.
std::string escape_docstring(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Writes the stub of one module; used once, through build.
class StubBuilder {
public:
    explicit StubBuilder(std::string_view module) : module_(module) {}

    // The whole stub: header, the imports the classes need, __all__, classes.
    std::string build(const std::vector<ClassEntry>& classes) {
        for (std::size_t i = 0; i < classes.size(); ++i) {
            if (i > 0) body_ += '\n';
            write_class(classes[i]);
        }
        std::string stub = std::format(
            "# Type stub of the {} module, generated from its stub records; do not edit.\n\n",
            module_);
        for (const std::string& name : imports_) {
            std::format_to(std::back_inserter(stub), "import {}\n", name);
        }
        if (!imports_.empty()) stub += '\n';
        stub += "__all__ = [";
        for (std::size_t i = 0; i < classes.size(); ++i) {
            std::format_to(std::back_inserter(stub), "{}\"{}\"", i == 0 ? "" : ", ",
                           classes[i].record->name);
        }
        stub += "]\n\n";
        stub += body_;
        return stub;
    }

private:
    void write_class(const ClassEntry& entry) {
        const ClassStub& record = *entry.record;
        if (!record.subclassable) {
            imports_.emplace("typing");
            body_ += "@typing.final\n";
        }
        if (entry.methods.empty() && record.docstring.empty()) {
            std::format_to(std::back_inserter(body_), "class {}: ...\n", record.name);
            return;
        }
        std::format_to(std::back_inserter(body_), "class {}:\n", record.name);
        if (!record.docstring.empty()) write_docstring(record.docstring, "    ");
        bool first = record.docstring.empty();
        for (const MethodStub* method : entry.methods) {
            if (!first) body_ += '\n';
            first = false;
            write_method(*method);
        }
    }

    void write_method(const MethodStub& method) {
        const char* receiver = nullptr;
        switch (method.kind) {
            case MethodKind::instance:
                receiver = "self";
                break;
            case MethodKind::static_method:
                body_ += "    @staticmethod\n";
                break;
            case MethodKind::class_method:
                body_ += "    @classmethod\n";
                receiver = "cls";
                break;
            case MethodKind::constructor:
                receiver = "cls";
                break;
        }
        std::format_to(std::back_inserter(body_), "    def {}({}) -> {}:", method.name,
                       parameter_list(receiver, method.parameters),
                       annotation(method.return_type()));
        if (method.docstring.empty()) {
            body_ += " ...\n";
        } else {
            body_ += '\n';
            write_docstring(method.docstring, "        ");
        }
    }

    // The parameters as Python writes them, with the "/" and "*" markers that
    // the parameter kinds call for.
    std::string parameter_list(const char* receiver, std::span<const ParameterStub> parameters) {
        std::vector<std::string> items;
        if (receiver != nullptr) items.emplace_back(receiver);
        bool keywords_marked = false;
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            const ParameterStub& parameter = parameters[i];
            std::string_view prefix;
            switch (parameter.kind) {
                case ParameterKind::positional_only:
                case ParameterKind::positional_or_keyword:
                    break;
                case ParameterKind::keyword_only:
                    if (!keywords_marked) items.emplace_back("*");
                    keywords_marked = true;
                    break;
                case ParameterKind::var_positional:
                    prefix = "*";
                    keywords_marked = true;
                    break;
                case ParameterKind::var_keyword:
                    prefix = "**";
                    break;
            }
            std::string item =
                std::format("{}{}: {}", prefix, parameter.name, annotation(parameter.type()));
            if (parameter.default_value != nullptr) {
                std::format_to(std::back_inserter(item), " = {}", parameter.default_value());
            }
            items.push_back(std::move(item));
            const bool last_positional_only =
                parameter.kind == ParameterKind::positional_only &&
                (i + 1 == parameters.size() ||
                 parameters[i + 1].kind != ParameterKind::positional_only);
            if (last_positional_only) items.emplace_back("/");
        }
        std::string list;
        for (const std::string& item : items) {
            if (!list.empty()) list += ", ";
            list += item;
        }
        return list;
    }

    // The annotation's text as this module's stub writes it; records its imports.
    std::string annotation(TypeExpression type) {
        for (const auto& [name, defining_module] : type.type_refs) {
            if (defining_module == module_) {
                unqualify(type.text, qualified_class_name(module_, name), name);
            }
        }
        for (const std::string& name : type.imports) {
            if (name != module_) imports_.insert(name);
        }
        return std::move(type.text);
    }

    void write_docstring(std::string_view text, std::string_view indent) {
        std::format_to(std::back_inserter(body_), "{}\"\"\"\n", indent);
        std::size_t begin = 0;
        while (begin <= text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string_view::npos) end = text.size();
            const std::string_view line = text.substr(begin, end - begin);
            if (line.empty()) {
                body_ += '\n';
            } else {
                std::format_to(std::back_inserter(body_), "{}{}\n", indent,
                               escape_docstring(line));
            }
            begin = end + 1;
        }
        std::format_to(std::back_inserter(body_), "{}\"\"\"\n", indent);
    }

    std::string_view module_;
    std::set<std::string> imports_;
    std::string body_;
};

}  // namespace

std::expected<std::string, std::string> write_module_stub(
    std::string_view module, const StubRegistry<ClassStub>& classes,
    const StubRegistry<MethodGroupStub>& method_groups) {
    std::vector<ClassEntry> entries;
    std::vector<ClassIdentity> every_class;
    for (const ClassStub& record : classes) {
        every_class.push_back(record.class_identity());
        if (record.module == module) entries.push_back({&record, every_class.back(), {}});
    }
    if (entries.empty()) return std::unexpected(std::format("no class of module '{}'", module));
    std::ranges::sort(entries, {}, [](const ClassEntry& entry) { return entry.record->name; });

    for (const MethodGroupStub& group : method_groups) {
        const ClassIdentity identity = group.class_identity();
        if (std::ranges::find(every_class, identity) == every_class.end()) {
            return std::unexpected(std::format(
                "the method group described at {}:{}:{} belongs to no class",
                group.location.file_name(), group.location.line(), group.location.column()));
        }
        const auto owner = std::ranges::find(entries, identity, &ClassEntry::identity);
        if (owner == entries.end()) continue;  // a class of another module
        for (const MethodStub& method : group.methods) owner->methods.push_back(&method);
    }

    return StubBuilder(module).build(entries);
}

}  // namespace corvid_py::stubgen
