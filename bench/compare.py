"""Compares corvid_py with the numpy code a user would write instead (and torch when installed).

    scripts/dev build/venv/bin/python bench/compare.py [--out FILE] [--rounds N] [--repeats N]

Generates deterministic model directories under build/bench/models (reused when present), then
measures in this one process, with the implementations interleaved in rounds so that machine drift
hits all of them alike:
  - warm calls (the same ids again) for 1, 16, 128 and 1024 ids: median microseconds and spread;
  - corvid_py's warm calls with the ids held in a list, numpy int64, uint32 and int32 arrays and an
    array('I'), against the list;
  - the first call on a fresh object, load included, in fresh subprocesses, against a plain read of
    the weights file;
  - peak RSS growth of a process that loads and embeds, against the file size, and the resident
    memory of a fully warmed F32 model against its table;
  - peak RSS growth of a first call on a file whose chosen tensor is a small part of it, against
    header + tensor, and on a 48 MiB header of metadata numbers, against the header.
It also checks that corvid_py's results are bit-identical to a sequential float32 reference loop.
Prints a Markdown report and writes it to --out (default build/bench/results.md).
"""

import argparse
import array
import gc
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
from generate_model import write_model  # noqa: E402

MODELS_DIR = REPO / "build" / "bench" / "models"
ID_COUNTS = (1, 16, 128, 1024)
IMPLEMENTATIONS = ("corvid_py", "numpy", "torch")
NORM_FLOOR = np.float32(1e-12)

type Embed = Callable[[Sequence[int]], list[float]]
type Header = dict[str, dict[str, object]]


@dataclass(frozen=True)
class BenchModel:
    rows: int
    dim: int
    dtype: str

    @property
    def name(self) -> str:
        return f"{self.rows} x {self.dim} {self.dtype}"

    @property
    def directory(self) -> pathlib.Path:
        return MODELS_DIR / f"{self.rows}x{self.dim}-{self.dtype}"

    @property
    def weights(self) -> pathlib.Path:
        return self.directory / "model.safetensors"


TABLE_256 = BenchModel(32768, 256, "F32")
TABLE_1024 = BenchModel(32768, 1024, "F32")
TABLE_LARGE = BenchModel(250000, 256, "F32")  # 244 MiB: the memory goals
TABLE_F16 = BenchModel(32768, 256, "F16")
TABLE_BF16 = BenchModel(32768, 256, "BF16")
MODELS = (TABLE_256, TABLE_1024, TABLE_LARGE, TABLE_F16, TABLE_BF16)
WARM_MODELS = (TABLE_256, TABLE_1024, TABLE_F16, TABLE_BF16)


def ensure_model(model: BenchModel) -> None:
    """Writes the model unless a file of the right size is already there (the generator is
    deterministic, so an existing file of that size holds the same table)."""
    width = {"F32": 4, "F16": 2, "BF16": 2}[model.dtype]
    if model.weights.exists() and model.weights.stat().st_size > model.rows * model.dim * width:
        return
    write_model(model.directory, model.rows, model.dim, model.dtype, seed=model.rows + model.dim)


def token_ids(model: BenchModel, count: int) -> list[int]:
    """The same pseudo-random ids on every run, duplicates possible, as a Python user passes them."""
    rng = np.random.default_rng(count)
    return [int(i) for i in rng.integers(0, model.rows, count)]


# ---- The numpy code users would write, and the file reading it needs -------------------------


def read_header(path: pathlib.Path) -> tuple[Header, int]:
    """The header of a weights file and the offset of its data section."""
    with open(path, "rb") as file:
        length = int.from_bytes(file.read(8), "little")
        return json.loads(file.read(length)), 8 + length


def load_numpy_table(path: pathlib.Path) -> np.ndarray:
    """The table as float32, as a numpy user loads it: safetensors' numpy loader, converted whole
    from F16. numpy has no bfloat16 (the loader refuses it), so BF16 is widened by hand."""
    header, data_start = read_header(path)
    name, entry = next((k, v) for k, v in header.items() if k != "__metadata__")
    if entry["dtype"] == "BF16":
        raw = np.fromfile(path, dtype="<u2", offset=data_start + entry["data_offsets"][0],
                          count=entry["shape"][0] * entry["shape"][1])
        return (raw.astype("<u4") << 16).view("<f4").reshape(entry["shape"])
    from safetensors.numpy import load_file

    table = load_file(str(path))[name]
    return table if table.dtype == np.float32 else table.astype(np.float32)


def numpy_embedder(path: pathlib.Path) -> Embed:
    table = load_numpy_table(path)

    def embed(ids: Sequence[int]) -> list[float]:
        mean = table[ids].sum(0) / np.float32(len(ids))
        return (mean / max(np.linalg.norm(mean), NORM_FLOOR)).tolist()

    return embed


def torch_embedder(path: pathlib.Path) -> Embed:
    import torch
    from safetensors.torch import load_file

    table = next(iter(load_file(str(path)).values())).float()
    offsets = torch.tensor([0])

    def embed(ids: Sequence[int]) -> list[float]:
        mean = torch.nn.functional.embedding_bag(torch.tensor(ids), table, offsets, mode="mean")[0]
        return torch.nn.functional.normalize(mean, dim=0).tolist()

    return embed


def corvid_embedder(path: pathlib.Path) -> Embed:
    import corvid_py

    return corvid_py.StaticEmbedding(str(path.parent)).embed_tokens


EMBEDDERS: dict[str, Callable[[pathlib.Path], Embed]] = {
    "corvid_py": corvid_embedder, "numpy": numpy_embedder, "torch": torch_embedder,
}


def torch_available() -> bool:
    try:
        import torch  # noqa: F401
    except ImportError:
        return False
    return True


# ---- Exactness --------------------------------------------------------------------------------


def reference_rows(path: pathlib.Path) -> np.ndarray:
    """Every row decoded to float32 exactly (F16 widening and BF16 bit shifts are exact)."""
    header, data_start = read_header(path)
    entry = next(v for k, v in header.items() if k != "__metadata__")
    stored = {"F32": "<f4", "F16": "<f2", "BF16": "<u2"}[entry["dtype"]]
    raw = np.fromfile(path, dtype=stored, offset=data_start + entry["data_offsets"][0],
                      count=entry["shape"][0] * entry["shape"][1]).reshape(entry["shape"])
    if entry["dtype"] == "BF16":
        return (raw.astype("<u4") << 16).view("<f4")
    return raw.astype(np.float32)


def reference_embedding(rows: np.ndarray, ids: Sequence[int]) -> list[float]:
    """The mean of the rows and its L2 scaling, one float32 rounding per operation in the fixed
    order: rows summed in list order, squares summed in index order. Element-wise float32 array
    operations round each element once; numpy's reductions (sum, norm) reorder, so none is used."""
    total = np.zeros(rows.shape[1], dtype=np.float32)
    for i in ids:
        total = total + rows[i]
    mean = total / np.float32(len(ids))
    squares = np.float32(0)
    for value in mean:
        squares = np.float32(squares + np.float32(value * value))
    norm = np.sqrt(squares)
    divisor = norm if norm > NORM_FLOOR else NORM_FLOOR
    return (mean / divisor).tolist()


def check_exact(model: BenchModel) -> tuple[bool, str]:
    rows = reference_rows(model.weights)
    embed = corvid_embedder(model.weights)
    for count in ID_COUNTS:
        ids = token_ids(model, count)
        first, again = embed(ids), embed(ids)  # decoded rows, then cached rows
        expected = reference_embedding(rows, ids)
        for got in (first, again):
            if np.asarray(got, np.float32).tobytes() != np.asarray(expected, np.float32).tobytes():
                return False, f"differs at {count} ids"
    return True, "bit-identical at " + ", ".join(map(str, ID_COUNTS)) + " ids"


# ---- Warm calls -------------------------------------------------------------------------------


# A call to time and its argument: the argument is made before the clock starts.
type TimedCall = tuple[Callable[[Any], object], object]


def time_batch(call: TimedCall, calls: int) -> float:
    """Microseconds per call over `calls` back-to-back calls."""
    function, argument = call
    start = time.perf_counter_ns()
    for _ in range(calls):
        function(argument)
    return (time.perf_counter_ns() - start) / calls / 1000


def measure_interleaved(timed: dict[str, TimedCall], rounds: int) -> dict[str, tuple[float, float]]:
    """{name: (median µs, relative spread)}: rounds of one batch of about 3 ms per call, their
    order rotated each round; the spread is the interquartile range / median."""
    names = list(timed)
    calls: dict[str, int] = {}
    for name in names:
        function, argument = timed[name]
        function(argument)  # warm: rows decoded and cached
        calls[name] = max(3, int(3000 / max(time_batch(timed[name], 3), 0.1)))
    samples: dict[str, list[float]] = {name: [] for name in names}
    gc.collect()
    gc.disable()
    try:
        for round_index in range(rounds):
            shift = round_index % len(names)
            for name in names[shift:] + names[:shift]:
                samples[name].append(time_batch(timed[name], calls[name]))
    finally:
        gc.enable()
    results = {}
    for name, values in samples.items():
        quartiles = statistics.quantiles(values, n=4)
        median = statistics.median(values)
        results[name] = (median, (quartiles[2] - quartiles[0]) / median)
    return results


def measure_warm(
    embedders: dict[str, Embed], model: BenchModel, rounds: int
) -> dict[tuple[str, int], tuple[float, float]]:
    """{(impl, count): (median µs, relative spread)}, the implementations interleaved."""
    results = {}
    for count in ID_COUNTS:
        ids = token_ids(model, count)
        timed = measure_interleaved({name: (embed, ids) for name, embed in embedders.items()}, rounds)
        results.update({(name, count): figures for name, figures in timed.items()})
    return results


# ---- Token id inputs: integer arrays against a list -------------------------------------------

TOKEN_INPUT_COUNTS = (1, 16, 1024)
TOKEN_INPUTS: dict[str, Callable[[list[int]], object]] = {
    "list": list,
    "numpy.int64": lambda ids: np.array(ids, dtype=np.int64),
    "numpy.uint32": lambda ids: np.array(ids, dtype=np.uint32),
    "numpy.int32": lambda ids: np.array(ids, dtype=np.int32),
    "array('I')": lambda ids: array.array("I", ids),
}


def token_inputs_report(model: BenchModel, rounds: int) -> list[str]:
    """corvid_py's warm calls with the same ids held in each input type, against a list."""
    embed = corvid_embedder(model.weights)
    names = list(TOKEN_INPUTS)
    lines = ["", f"### Token id inputs on {model.name}, warm calls (median µs per call, ± interquartile "
             "range; ratio to the list)", "",
             "| Ids | " + " | ".join(names) + " | Worst array / list | Goal |", "|---:|" + "---:|" * len(names) + "---|"]
    for count in TOKEN_INPUT_COUNTS:
        ids = token_ids(model, count)
        timed = measure_interleaved({name: (embed, make(ids)) for name, make in TOKEN_INPUTS.items()}, rounds)
        ratios = {name: timed[name][0] / timed["list"][0] for name in names}
        cells = [f"{timed[name][0]:.2f} ± {100 * timed[name][1]:.0f}% ({ratios[name]:.2f}x)" for name in names]
        worst = max(ratio for name, ratio in ratios.items() if name != "list")
        goal = verdict(worst, 1.1, False) if count in (16, 1024) else "-"
        lines.append(f"| {count} | " + " | ".join(cells) + f" | {worst:.2f}x | {goal} |")
    return lines


# ---- Fresh processes: first call and memory ---------------------------------------------------


def status_kib(field: str) -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def child_main(task: str, impl: str, weights: str) -> None:
    """Runs one measurement in this fresh process and prints it as JSON. Imports happen before the
    clock starts: the first call is timed, not the import."""
    path = pathlib.Path(weights)
    if impl == "read":
        start = time.perf_counter()
        with open(path, "rb") as file:
            data = file.read()
        print(json.dumps({"seconds": time.perf_counter() - start, "bytes": len(data)}))
        return
    factory = EMBEDDERS[impl]
    if impl == "torch":
        import safetensors.torch  # noqa: F401
        import torch  # noqa: F401
    elif impl == "numpy":
        import safetensors.numpy  # noqa: F401
    else:
        import corvid_py  # noqa: F401
    header, _ = read_header(path)
    rows, _ = next(v for k, v in header.items() if k != "__metadata__")["shape"]
    gc.collect()
    peak_before, resident_before = status_kib("VmHWM"), status_kib("VmRSS")
    start = time.perf_counter()
    embed = factory(path)
    embed([1, 2, 3])
    seconds = time.perf_counter() - start
    result = {"seconds": seconds, "peak_growth": (status_kib("VmHWM") - peak_before) * 1024}
    if task == "warm-all":
        for first in range(0, rows, 1024):
            embed(range(first, min(first + 1024, rows)))
        gc.collect()
        result["resident_growth"] = (status_kib("VmRSS") - resident_before) * 1024
    print(json.dumps(result))


def run_child(task: str, impl: str, model: BenchModel) -> dict[str, float]:
    command = [sys.executable, __file__, "--child", task, impl, str(model.weights)]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def measure_fresh(
    impls: Sequence[str], model: BenchModel, repeats: int
) -> dict[str, tuple[float, float | None]]:
    """{impl: (median seconds of the first call, median peak RSS growth)}, with "read" the plain
    read of the file. Subprocesses of the implementations alternate within each repeat."""
    seconds: dict[str, list[float]] = {name: [] for name in ("read", *impls)}
    growth: dict[str, list[float]] = {name: [] for name in impls}
    for _ in range(repeats):
        for name in seconds:
            result = run_child("first-call", name, model)
            seconds[name].append(result["seconds"])
            if name != "read":
                growth[name].append(result["peak_growth"])
    return {name: (statistics.median(seconds[name]),
                   statistics.median(growth[name]) if name in growth else None) for name in seconds}


# ---- Load memory: files that are mostly not the tensor -----------------------------------------

LOAD_MEMORY_DIR = MODELS_DIR / "load-memory"
LOAD_MEMORY_REPEATS = 3
METADATA_NUMBERS = 25_000_000  # "0," each: a header of about 48 MiB


@dataclass(frozen=True)
class LoadMemoryCase:
    """A weights file of which the first call needs only the header and a small first tensor."""
    name: str
    directory: pathlib.Path
    header: bytes
    tensor: bytes
    data_length: int  # the tensor and what follows it, left a hole on disk

    @property
    def weights(self) -> pathlib.Path:
        return self.directory / "model.safetensors"

    def ensure_written(self) -> None:
        """Writes the file unless one of its size is there (its contents are fixed)."""
        size = 8 + len(self.header) + self.data_length
        if self.weights.exists() and self.weights.stat().st_size == size:
            return
        self.directory.mkdir(parents=True, exist_ok=True)
        with open(self.weights, "wb") as file:
            file.write(len(self.header).to_bytes(8, "little") + self.header + self.tensor)
            file.truncate(size)


def f32_entry(shape: tuple[int, int], begin: int) -> dict[str, object]:
    return {"dtype": "F32", "shape": list(shape), "data_offsets": [begin, begin + shape[0] * shape[1] * 4]}


def multi_tensor_case() -> LoadMemoryCase:
    """A 4 MiB table, then a 1 GiB tensor that the first call has no use for."""
    table = np.random.default_rng(1).standard_normal((4096, 256), dtype=np.float32).tobytes()
    other = {"dtype": "U8", "shape": [2**20, 1024], "data_offsets": [len(table), len(table) + 2**30]}
    header = json.dumps({"table": f32_entry((4096, 256), 0), "other": other}).encode()
    return LoadMemoryCase("4 MiB table, then a 1 GiB tensor", LOAD_MEMORY_DIR / "multi-tensor", header, table,
                          len(table) + 2**30)


def metadata_numbers_case() -> LoadMemoryCase:
    """A valid 48 MiB header: 25 million numbers in `__metadata__`, then a 4 KiB table."""
    table = np.ones((4, 256), np.float32).tobytes()
    header = (b'{"__metadata__":{"numbers":[' + b"0," * (METADATA_NUMBERS - 1) + b'0]},"table":' +
              json.dumps(f32_entry((4, 256), 0)).encode() + b"}")
    return LoadMemoryCase("25 million numbers in `__metadata__`", LOAD_MEMORY_DIR / "metadata-numbers", header,
                          table, len(table))


def load_memory_child(directory: str) -> None:
    """Prints the peak RSS growth, in bytes, of a first call in this fresh process."""
    import corvid_py

    gc.collect()
    peak_before = status_kib("VmHWM")
    corvid_py.StaticEmbedding(directory).embed_tokens([0, 1, 2])
    print((status_kib("VmHWM") - peak_before) * 1024)


def measure_load_memory(case: LoadMemoryCase) -> float:
    """Median peak growth over fresh processes, one per measurement."""
    command = [sys.executable, __file__, "--load-memory-child", str(case.directory)]
    return statistics.median(
        int(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        for _ in range(LOAD_MEMORY_REPEATS))


def size_text(size: int) -> str:
    return mib(size) if size >= 2**20 else f"{size / 1024:.1f} KiB"


def load_memory_section() -> list[str]:
    """Goals: growth at most header + tensor + 1 MiB, whatever else the file holds; at most 12x a
    header whose metadata is one huge array."""
    lines = ["", "### Peak RSS growth of a first call on files that are mostly not the tensor "
             f"(fresh processes, median of {LOAD_MEMORY_REPEATS})", "",
             "| File | Size | Header | Tensor | corvid_py | Ratio | Goal |", "|---|---:|---:|---:|---:|---|---|"]
    multi, metadata = multi_tensor_case(), metadata_numbers_case()
    for case in (multi, metadata):
        case.ensure_written()
        growth = measure_load_memory(case)
        if case is multi:
            needed = len(case.header) + len(case.tensor)
            ratio = growth / needed
            cell = f"{ratio:.2f}x header + tensor"
            goal = verdict(ratio, round((needed + 2**20) / needed, 2), False) + ": header + tensor + 1 MiB"
        else:
            ratio = growth / len(case.header)
            cell, goal = f"{ratio:.2f}x header", verdict(ratio, 12, False)
        lines.append(f"| {case.name} | {mib(case.weights.stat().st_size)} | {size_text(len(case.header))} | "
                     f"{size_text(len(case.tensor))} | {mib(growth)} | {cell} | {goal} |")
    return lines


# ---- Report -----------------------------------------------------------------------------------


def verdict(ratio: float, goal: float, at_least: bool) -> str:
    met = ratio >= goal if at_least else ratio <= goal
    return f"{'met' if met else 'NOT met'} ({'≥' if at_least else '≤'} {goal}x)"


def warm_goal(model: BenchModel, count: int) -> float | None:
    if model.dim == 1024:
        return {1: 1.4, 1024: 2.5}.get(count)
    return 2.5 if count in (1, 16, 1024) else None


def machine_line() -> str:
    cpu = "unknown processor"
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    import numpy

    versions = f"Python {platform.python_version()}, numpy {numpy.__version__}"
    if torch_available():
        import torch

        versions += f", torch {torch.__version__}"
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; {versions}"


def mib(size: float) -> str:
    return f"{size / 2**20:.1f} MiB"


def report(args: argparse.Namespace) -> tuple[str, bool]:
    """The Markdown report, and whether every result was bit-identical to the reference."""
    impls = [name for name in IMPLEMENTATIONS if name != "torch" or torch_available()]
    lines = [f"Machine: {machine_line()}.", ""]
    all_exact = True

    lines += ["### Exactness (corvid_py against a sequential float32 reference loop)", "",
              "| Model | Result |", "|---|---|"]
    for model in WARM_MODELS:
        exact, text = check_exact(model)
        all_exact &= exact
        lines.append(f"| {model.name} | {text if exact else 'MISMATCH: ' + text} |")

    lines += ["", "### Warm calls, normalised (median µs per call, ± interquartile range)", "",
              "| Model | Ids | " + " | ".join(impls) + " | numpy / corvid_py | Goal |",
              "|---|---:|" + "---:|" * len(impls) + "---:|---|"]
    warm_timings = {}
    for model in WARM_MODELS:
        warm = measure_warm({name: EMBEDDERS[name](model.weights) for name in impls}, model, args.rounds)
        warm_timings[model.name] = {name: [warm[name, count][0] for count in ID_COUNTS] for name in impls}
        gc.collect()
        for count in ID_COUNTS:
            cells = [f"{warm[name, count][0]:.2f} ± {100 * warm[name, count][1]:.0f}%" for name in impls]
            ratio = warm["numpy", count][0] / warm["corvid_py", count][0]
            goal = warm_goal(model, count)
            lines.append(f"| {model.name} | {count} | " + " | ".join(cells) +
                         f" | {ratio:.2f}x | {verdict(ratio, goal, True) if goal else '-'} |")
    lines += token_inputs_report(TABLE_256, args.rounds)

    lines += ["", f"### First call on a fresh object, load included (fresh processes, median of "
              f"{args.repeats})", "",
              "| Model | File | Plain read | " + " | ".join(impls) + " | corvid_py / read | Goal |",
              "|---|---:|---:|" + "---:|" * len(impls) + "---:|---|"]
    memory_rows = []
    for model in MODELS:
        fresh = measure_fresh(impls, model, args.repeats)
        read = fresh["read"][0]
        ratio = fresh["corvid_py"][0] / read
        cells = [f"{1000 * fresh[name][0]:.1f} ms" for name in impls]
        lines.append(f"| {model.name} | {mib(model.weights.stat().st_size)} | {1000 * read:.1f} ms | " +
                     " | ".join(cells) + f" | {ratio:.2f}x | {verdict(ratio, 1.3, False)} |")
        memory_rows.append((model, fresh))

    lines += ["", "### Peak RSS growth of a process that loads and embeds 3 ids (median)", "",
              "| Model | File | " + " | ".join(impls) + " | corvid_py / file | Goal |",
              "|---|---:|" + "---:|" * len(impls) + "---:|---|"]
    for model, fresh in memory_rows:
        size = model.weights.stat().st_size
        ratio = fresh["corvid_py"][1] / size
        goal = verdict(ratio, 1.1, False) if model == TABLE_LARGE else "-"
        cells = [mib(fresh[name][1]) for name in impls]
        lines.append(f"| {model.name} | {mib(size)} | " + " | ".join(cells) + f" | {ratio:.2f}x | {goal} |")

    model = TABLE_LARGE
    table_size = model.rows * model.dim * 4
    lines += ["", f"### Resident memory growth after every row of {model.name} was embedded once", "",
              "| Table | " + " | ".join(impls) + " | corvid_py / table | Goal |",
              "|---:|" + "---:|" * len(impls) + "---:|---|"]
    resident = {name: run_child("warm-all", name, model)["resident_growth"] for name in impls}
    ratio = resident["corvid_py"] / table_size
    lines.append(f"| {mib(table_size)} | " + " | ".join(mib(resident[name]) for name in impls) +
                 f" | {ratio:.2f}x | {verdict(ratio, 1.1, False)} |")
    lines += load_memory_section()
    save_warm_timings(args.out.parent / "warm.json", warm_timings)
    return "\n".join(lines) + "\n", all_exact


def save_warm_timings(path: pathlib.Path, timings: dict[str, dict[str, list[float]]]) -> None:
    """Median µs per warm call, by model and implementation, at ID_COUNTS ids: bench/chart.py
    draws them."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"id_counts": ID_COUNTS, "microseconds": timings}))


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child_main(*sys.argv[2:])
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--load-memory-child":
        load_memory_child(sys.argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=REPO / "build" / "bench" / "results.md")
    parser.add_argument("--rounds", type=int, default=21, help="rounds of warm-call batches")
    parser.add_argument("--repeats", type=int, default=5, help="fresh processes per first-call figure")
    args = parser.parse_args()
    for model in MODELS:
        ensure_model(model)
    text, all_exact = report(args)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    print(text, end="")
    print(f"\n(written to {args.out})", file=sys.stderr)
    if not all_exact:
        sys.exit("a result differs from the sequential float32 reference")


if __name__ == "__main__":
    main()
