"""Embedding: the model directory checked, and texts turned into rows by the native batch path
with its tokenizer and table, once loaded per process."""
