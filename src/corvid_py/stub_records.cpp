// The stub records of the corvid_py module, registered when the library loads.
#include <array>
#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>

#include "corvid_py/method_docs.hpp"
#include "corvid_py/stub_record.hpp"
#include "corvid_py/stub_registry.hpp"
#include "corvid_py/type_expression.hpp"

namespace corvid_py {

namespace {

// The address of an object that exists once per process names the class.
ClassIdentity static_embedding_identity() {
    static constexpr char anchor = 0;
    return {.high = 0, .low = reinterpret_cast<std::uintptr_t>(&anchor)};
}

TypeExpression model_dir_type() { return builtin_type("str"); }
TypeExpression normalize_type() { return builtin_type("bool"); }
std::string normalize_default() { return "True"; }
TypeExpression static_embedding_type() { return module_class("corvid_py", "StaticEmbedding"); }
TypeExpression tokens_type() { return sequence_of(builtin_type("int")); }
TypeExpression embedding_type() { return list_of(builtin_type("float")); }

constexpr std::array new_parameters = {
    ParameterStub{
        .name = "model_dir",
        .type = model_dir_type,
        .default_value = nullptr,
        .kind = ParameterKind::positional_or_keyword,
    },
    ParameterStub{
        .name = "normalize",
        .type = normalize_type,
        .default_value = normalize_default,
        .kind = ParameterKind::positional_or_keyword,
    },
};

constexpr std::array embed_tokens_parameters = {
    ParameterStub{
        .name = "tokens",
        .type = tokens_type,
        .default_value = nullptr,
        .kind = ParameterKind::positional_or_keyword,
    },
};

constexpr std::string_view new_doc =
    "Creates a `StaticEmbedding` from a local directory.\n\n"
    "The directory must contain at least `model.safetensors`. When the\n"
    "`tokenizers` feature is enabled, `tokenizer.json` is also required.\n\n"
    "# Arguments\n"
    "* `model_dir` - Path to the model directory.\n"
    "* `normalize` - If `True`, output embeddings will be L2-normalized.";

// The run-time method doc without its text signature.
constexpr std::string_view embed_tokens_doc = CORVID_EMBED_TOKENS_DESCRIPTION;

constexpr std::array static_embedding_methods = {
    MethodStub{
        .name = "__new__",
        .parameters = new_parameters,
        .return_type = static_embedding_type,
        .docstring = new_doc,
        .kind = MethodKind::constructor,
    },
    MethodStub{
        .name = "embed_tokens",
        .parameters = embed_tokens_parameters,
        .return_type = embedding_type,
        .docstring = embed_tokens_doc,
        .kind = MethodKind::instance,
    },
};

constexpr ClassStub static_embedding_class = {
    .module = "corvid_py",
    .name = "StaticEmbedding",
    .docstring = "",
    .class_identity = static_embedding_identity,
    .subclassable = false,
};

constexpr MethodGroupStub static_embedding_method_group = {
    .class_identity = static_embedding_identity,
    .methods = static_embedding_methods,
    .location = std::source_location::current(),
};

const StubRegistration<MethodGroupStub> method_group_registration(method_group_stub_registry,
                                                                  static_embedding_method_group);
const StubRegistration<ClassStub> class_registration(class_stub_registry, static_embedding_class);

}  // namespace

}  // namespace corvid_py
