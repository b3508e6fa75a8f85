"""Shows the installed corvid_py module."""

import inspect

import corvid_py

print("corvid_py exports", corvid_py.__all__)
print("StaticEmbedding" + str(inspect.signature(corvid_py.StaticEmbedding)))
print("StaticEmbedding.embed_tokens" + str(inspect.signature(corvid_py.StaticEmbedding.embed_tokens)))
