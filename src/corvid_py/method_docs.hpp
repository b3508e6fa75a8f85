// Docstring text shared by the live method table and the stub records.
#pragma once

// The description of embed_tokens, without its text signature.
#define CORVID_EMBED_TOKENS_DESCRIPTION                                                      \
    "Generates an embedding for a pre-tokenized sequence of token IDs (use whatever "       \
    "tokenization\nlibary you prefer to generate tokens).\n\n"                              \
    "The tensor is loaded lazily on first call. Embeddings are mean-pooled\n"               \
    "and optionally normalized."
