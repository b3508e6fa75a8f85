"""Planning: the inputs cut into pieces, their rows counted wherever the caller says, and the rows
grouped into parts, each a small value that any worker can embed on its own."""
