"""Reading the inputs: pieces of files that any process can read on its own, their rows counted and
read in batches, and standard input copied to a file that workers can open."""
