"""Embedding: the model directory checked, and texts turned into rows with its tokenizer and
`corvid_py.StaticEmbedding`, once loaded per process."""
