"""Writing the output: a .npy file, a Parquet file or a directory of shards and their manifest.
For each kind, the caller's writer (where each part writes, what completes the output) beside the
part writer that a worker opens for its part."""
