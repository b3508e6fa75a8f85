"""Embeds a generated corpus with corvid-embed and with the numpy recipe a user would write.

    scripts/dev build/venv/bin/python bench/corpus.py [--lines N] [--rounds N] [--out FILE]
                                                      [--cluster | --compressed | --scaling]

Generates (once, under build/bench/corpus) 400,000 lines of made-up words drawn with Zipf's law
(frequency about 1/rank), the same texts as JSON Lines and as Parquet, and two tokenizers trained
on the first corpus it generates, each with its own 30,000 x 256 F32 table: a 30,000-id WordPiece
one, and a ByteLevel BPE one of at most 30,000 ids, which the tool's word cache does not cover.
Then times, as whole processes and interleaved in rounds, all with TOKENIZERS_PARALLELISM=false so
that the worker count is the only parallelism: the numpy recipe (encode_batch, table[ids].mean(0),
normalise), `corvid-embed --workers 1` on the text, JSON Lines and Parquet files, `--workers 2` on
the text file, a process that reads the text file's lines into a list and calls
embed_texts(workers=1) on them, and the numpy recipe and `--workers 1` with the ByteLevel BPE
tokenizer; each round, two CPU-bound processes against one, for the parallelism the machine has
to give while others use it. The numpy recipe also times its loop alone, and the embed_texts
process the call alone, on texts already in memory. The corvid-embed runs record the calling
process's own CPU time and peak resident memory (its workers excluded); `--workers 2` is also run
on the first 100,000 lines, to show that the parent's memory does not grow with the corpus. Also
times encode_batch and encode a line in this process. Checks that every corvid-embed and
embed_texts output equals a loop of StaticEmbedding.embed_tokens(tokenizer.encode(line).ids) with
its model bit for bit; exits non-zero otherwise. Prints a Markdown report, writes it to --out
(default build/bench/corpus.md) and the figures to build/bench/corpus.json.

With --cluster, it times instead, with sharded output (--shard-rows 20,000), `--workers 1`
against `--scheduler` on a Dask LocalCluster of 2 worker processes with one thread each, started
afresh before each round's timing: the cluster's first run (which loads the model in every
worker, as `--workers 1` does in its process), a later run on the same corpus, and one on its
first 100,000 lines; the client's own CPU time and peak resident memory, each round's ratios
beside what two CPU-bound processes got, and the same check of every output (report
build/bench/cluster.md, figures build/bench/cluster.json).

With --compressed, it times `--workers 2` on the corpus cut into 8 files, plain, gzipped and
Zstandard-compressed, and checks that the three outputs are byte-identical (build/bench/compressed.md).

With --scaling, on 2,000,000 lines unless --lines says otherwise, it times with shards of 100,000 rows
`--workers 1`, `--workers 2` and `--scheduler` on a LocalCluster like --cluster's, started afresh
for that run alone, whose first run it is; `--workers 1` again on a corpus of a fifth of the
lines (400,000 by default); and start-up, as the wall time of `--workers 1` and of `--workers 2`
on a one-line file. It reports the parent's or client's CPU time as a share of the two cores over
the run, the peak resident memory of the processes that embed, the ratios with each round's two
CPU-bound processes against one, and the same check of every whole-corpus output (report
build/bench/scaling.md, figures build/bench/scaling.json).

Outputs go to a temporary directory under build/bench/corpus, removed at the end; the corpora and
models stay there for the next run.
"""

import argparse
import contextlib
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
from generate_model import write_model  # noqa: E402

WORK_DIR = REPO / "build" / "bench" / "corpus"
MODEL_DIR = WORK_DIR / "model"
BPE_DIR = WORK_DIR / "model-bpe"
VOCABULARY = 30_000
COLUMNS = 256
ENVIRONMENT = {**os.environ, "TOKENIZERS_PARALLELISM": "false"}
# Each child mode's first argument is the file it writes its own figures to (see timed).
COMMAND = [sys.executable, __file__, "--measure-parent"]
RECIPE = [sys.executable, __file__, "--numpy-recipe"]
WORKERS_1 = [*COMMAND, "--quiet", "--workers", "1"]
WORKERS_2 = [*COMMAND, "--quiet", "--workers", "2"]
# Name: (command, model directory, input suffix).
RUNS = {
    "numpy recipe": (RECIPE, MODEL_DIR, ".txt"),
    "embed_texts": ([sys.executable, __file__, "--embed-texts"], MODEL_DIR, ".txt"),
    "corvid-embed --workers 1": (WORKERS_1, MODEL_DIR, ".txt"),
    "corvid-embed --workers 2": (WORKERS_2, MODEL_DIR, ".txt"),
    "corvid-embed --workers 1, JSON Lines": (WORKERS_1, MODEL_DIR, ".jsonl"),
    "corvid-embed --workers 1, Parquet": (WORKERS_1, MODEL_DIR, ".parquet"),
    "numpy recipe, ByteLevel BPE": (RECIPE, BPE_DIR, ".txt"),
    "corvid-embed --workers 1, ByteLevel BPE": (WORKERS_1, BPE_DIR, ".txt"),
}
SMALL_LINES = 100_000
SHARD_ROWS = 20_000
SCALING_SHARD_ROWS = 100_000
# Peak memory that grows by no more than this factor from a fifth of the corpus to all of it is flat.
FLAT = 1.1


# ---- Corpus, tokenizers and models ----------------------------------------------------------


def made_up_words(rng: np.random.Generator, count: int) -> list[str]:
    onsets = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w",
              "br", "cr", "st", "th", "sh", "pl", "gr", "tr"]
    vowels = ["a", "e", "i", "o", "u", "ai", "ea", "ou", "y"]
    codas = ["", "", "n", "r", "s", "t", "l", "ng", "ck", "m"]
    words: set[str] = set()
    while len(words) < count:
        syllables = rng.integers(1, 5)
        words.add("".join(rng.choice(onsets) + rng.choice(vowels) + rng.choice(codas)
                          for _ in range(syllables)))
    return sorted(words)


def write_corpus(path: pathlib.Path, lines: int) -> None:
    """Lines of 6 to 24 words drawn with Zipf's law (the word of rank r with frequency about 1/r),
    capitalised, some punctuation and numbers: about 20 token ids a line."""
    rng = np.random.default_rng(13)
    words = np.array(made_up_words(rng, 60_000))
    weights = 1 / (np.arange(len(words)) + 1.0)
    weights /= weights.sum()
    lengths = rng.integers(6, 25, lines)
    # All words drawn at once: choice with weights recomputes their sums on every call.
    drawn = iter(rng.choice(words, int(lengths.sum()), p=weights))
    with open(path, "w", encoding="utf-8") as file:
        for length in lengths:
            line = [next(drawn) for _ in range(length)]
            line[0] = line[0].capitalize()
            if rng.random() < 0.3:
                line.insert(int(rng.integers(len(line))), str(rng.integers(1, 2000)) + ",")
            file.write(" ".join(line) + rng.choice([".", ".", "?", "!", ""]) + "\n")


def prepare(lines: int) -> pathlib.Path:
    """The text corpus of `lines` lines, and the WordPiece model if there is none yet."""
    corpus = WORK_DIR / f"zipf-{lines}.txt"
    if not corpus.exists():
        WORK_DIR.mkdir(parents=True, exist_ok=True)
        write_corpus(corpus, lines)
    if not (MODEL_DIR / "tokenizer.json").exists():
        from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors, trainers

        tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
        tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
        tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
        specials = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]
        with open(corpus, encoding="utf-8") as file:
            tokenizer.train_from_iterator(file, trainers.WordPieceTrainer(vocab_size=VOCABULARY,
                                                                          special_tokens=specials))
        tokenizer.post_processor = processors.TemplateProcessing(
            single="[CLS] $A [SEP]", special_tokens=[(s, tokenizer.token_to_id(s)) for s in ("[CLS]", "[SEP]")])
        write_model(MODEL_DIR, rows=VOCABULARY, dim=COLUMNS, seed=VOCABULARY)
        tokenizer.save(str(MODEL_DIR / "tokenizer.json"))
    return corpus


def write_records(corpus: pathlib.Path) -> None:
    """The corpus as JSON Lines and as Parquet, if not there yet."""
    if corpus.with_suffix(".parquet").exists():
        return
    import pyarrow
    import pyarrow.parquet

    texts = corpus.read_text(encoding="utf-8").splitlines()
    with open(corpus.with_suffix(".jsonl"), "w", encoding="utf-8") as file:
        file.writelines(json.dumps({"id": n, "text": text}) + "\n" for n, text in enumerate(texts))
    pyarrow.parquet.write_table(pyarrow.table({"id": range(len(texts)), "text": texts}),
                                corpus.with_suffix(".parquet"), row_group_size=10_000)


def prepare_bpe(corpus: pathlib.Path) -> None:
    """The ByteLevel BPE model, if there is none yet."""
    if (BPE_DIR / "tokenizer.json").exists():
        return
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=VOCABULARY, initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    with open(corpus, encoding="utf-8") as file:
        # Without their newlines, as the lines are embedded.
        tokenizer.train_from_iterator((line.rstrip("\n") for line in file), trainer)
    tokenizer.post_processor = processors.ByteLevel(trim_offsets=False)
    write_model(BPE_DIR, rows=VOCABULARY, dim=COLUMNS, seed=VOCABULARY + 1)
    tokenizer.save(str(BPE_DIR / "tokenizer.json"))


def first_lines(corpus: pathlib.Path, count: int) -> pathlib.Path:
    """A file of the corpus's first `count` lines, kept beside it."""
    path = corpus.with_name(f"{corpus.stem}-first-{count}.txt")
    if not path.exists():
        with open(corpus, encoding="utf-8") as source:
            path.write_text("".join(line for _, line in zip(range(count), source)), encoding="utf-8")
    return path


# ---- Child processes, each writing its own figures to a report file -------------------------


def peak_rss_mib() -> float:
    """This process's peak resident memory. VmHWM starts afresh at exec, where ru_maxrss keeps
    the forking process's peak."""
    return next(int(line.split()[1]) for line in pathlib.Path("/proc/self/status").read_text().splitlines()
                if line.startswith("VmHWM:")) / 1024


def measure_parent(report: str, arguments: list[str]) -> None:
    """Runs the command in this process and writes its own CPU seconds and peak RSS (its
    children's excluded), and the largest peak RSS among the processes it started and waited for
    (its workers and the janitor of its temporary files)."""
    import resource

    from corvid_embed.command import main as command

    try:
        command(arguments)
    finally:
        usage = resource.getrusage(resource.RUSAGE_SELF)
        # A child's ru_maxrss also counts its memory before its exec: at least this process's
        # resident memory when it started the child.
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        pathlib.Path(report).write_text(json.dumps({"cpu": usage.ru_utime + usage.ru_stime,
                                                    "peak_rss_mib": peak_rss_mib(),
                                                    "children_peak_rss_mib": children.ru_maxrss / 1024}))


def numpy_recipe(report: str, arguments: list[str]) -> None:
    """The recipe on MODEL_DIR INPUT OUTPUT. Writes the seconds of its loop alone: the texts in
    memory, the tokenizer and table loaded."""
    from safetensors.numpy import load_file
    from tokenizers import Tokenizer

    model_dir, input_path, output = arguments
    tokenizer = Tokenizer.from_file(str(pathlib.Path(model_dir) / "tokenizer.json"))
    table = next(iter(load_file(str(pathlib.Path(model_dir) / "model.safetensors")).values()))
    with open(input_path, encoding="utf-8") as file:
        texts = file.read().splitlines()
    result = np.empty((len(texts), table.shape[1]), np.float32)
    start = time.perf_counter()
    for first in range(0, len(texts), 1024):
        for i, encoding in enumerate(tokenizer.encode_batch(texts[first:first + 1024]), first):
            mean = table[encoding.ids].mean(0)
            result[i] = mean / max(np.linalg.norm(mean), np.float32(1e-12))
    seconds = time.perf_counter() - start
    np.save(output, result)
    pathlib.Path(report).write_text(json.dumps({"in_process_seconds": seconds}))


def embed_texts_run(report: str, arguments: list[str]) -> None:
    """Reads INPUT's lines into a list and embeds them with embed_texts(MODEL_DIR, texts,
    workers=1) into OUTPUT. Writes the seconds of the call alone, its loading of the model
    included."""
    from corvid_embed import embed_texts

    model_dir, input_path, output = arguments
    with open(input_path, encoding="utf-8") as file:
        texts = file.read().splitlines()
    start = time.perf_counter()
    rows = embed_texts(model_dir, texts, workers=1)
    seconds = time.perf_counter() - start
    np.save(output, rows)
    pathlib.Path(report).write_text(json.dumps({"in_process_seconds": seconds}))


CHILDREN = {"--measure-parent": measure_parent, "--numpy-recipe": numpy_recipe, "--embed-texts": embed_texts_run}


# ---- Checks and measures --------------------------------------------------------------------


def load_output(output: pathlib.Path) -> np.ndarray:
    """A .npy file's rows, or those of a directory of shards in its manifest's order."""
    if not output.is_dir():
        return np.load(output)
    shards = json.loads((output / "manifest.json").read_text())["shards"]
    return np.concatenate([np.load(output / shard["path"]) for shard in shards])


def check(corpus: pathlib.Path, model_dir: pathlib.Path, outputs: list[pathlib.Path]) -> list[str]:
    """Failures: outputs that differ from the per-line loop with the model of `model_dir`."""
    from tokenizers import Tokenizer

    from corvid_py import StaticEmbedding

    tokenizer = Tokenizer.from_file(str(model_dir / "tokenizer.json"))
    model = StaticEmbedding(str(model_dir))
    texts = corpus.read_text(encoding="utf-8").splitlines()
    expected = np.empty((len(texts), COLUMNS), np.float32)
    for row, text in zip(expected, texts):
        row[:] = model.embed_tokens(tokenizer.encode(text).ids)
    return [f"{output.name} ({model_dir.name}) differs from the per-line loop" for output in outputs
            if load_output(output).tobytes() != expected.tobytes()]


def tokenizer_costs(corpus: pathlib.Path, count: int = 20_000) -> dict[str, float]:
    """Microseconds a line for encode_batch and encode, in this process."""
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(str(MODEL_DIR / "tokenizer.json"))
    texts = corpus.read_text(encoding="utf-8").splitlines()[:count]
    count = len(texts)
    ways = {
        "encode_batch": lambda: [e.ids for s in range(0, count, 1024) for e in tokenizer.encode_batch(texts[s:s + 1024])],
        "encode": lambda: [tokenizer.encode(text).ids for text in texts],
    }
    costs = {}
    for name, way in ways.items():
        start = time.perf_counter()
        ids = way()
        costs[name] = (time.perf_counter() - start) / count * 1e6
    costs["ids a line"] = sum(map(len, ids)) / count
    return costs


def parallel_headroom() -> float:
    """How much faster two CPU-bound processes get through twice the work than one gets through
    once: 2.0 on two idle cores, less when others use them. The bound for --workers 2."""
    spin = [sys.executable, "-c", "sum(range(60_000_000))"]
    start = time.perf_counter()
    subprocess.run(spin, check=True)
    one = time.perf_counter() - start
    start = time.perf_counter()
    for process in [subprocess.Popen(spin) for _ in range(2)]:
        process.wait()
    return 2 * one / (time.perf_counter() - start)


def timed(command: list[str], report: pathlib.Path | None) -> tuple[float, dict]:
    """Wall seconds of the command, and its CPU seconds (workers included) with the figures it
    writes to `report` when it is one of this script's child modes."""
    import resource

    if report is not None:
        command = [*command[:3], str(report), *command[3:]]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, env=ENVIRONMENT)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    usage = json.loads(report.read_text()) if report else {}
    usage["all_cpu"] = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return seconds, usage


@contextlib.contextmanager
def local_cluster(scratch: pathlib.Path) -> Iterator:
    """A fresh LocalCluster of two one-thread worker processes, both up and idle, their files
    under `scratch`."""
    import dask
    import distributed

    # Dask's statistical profiler samples each running task's stack every 10 ms, which costs a
    # pure-Python loop like tokenising about a seventh of a worker's CPU; clusters that serve
    # such work turn it off (docs/corpus.md says how). The scheduler's and workers' files go
    # under `scratch`, removed with it.
    dask.config.set({"distributed.worker.profile.enabled": False, "temporary-directory": str(scratch)})
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  silence_logs=40) as cluster:
        with distributed.Client(cluster) as watcher:
            watcher.wait_for_workers(2)
        yield cluster


def verdict(met: bool) -> str:
    return "met" if met else "NOT met"


def publish(args: argparse.Namespace, text: str, figures_name: str | None = None, figures: dict | None = None) -> None:
    """Prints the report and writes it to --out, and the figures beside it."""
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    if figures_name:
        (args.out.parent / figures_name).write_text(json.dumps(figures))
    print(text, end="")


# ---- Modes ----------------------------------------------------------------------------------


def corpus_main(args: argparse.Namespace, corpus: pathlib.Path, scratch: pathlib.Path) -> list[str]:
    """The numpy recipe against corvid-embed and embed_texts, with either tokenizer."""
    write_records(corpus)
    prepare_bpe(corpus)
    small = first_lines(corpus, SMALL_LINES)
    seconds: dict[str, list[float]] = {name: [] for name in RUNS}
    usage: dict[str, list[dict]] = {name: [] for name in RUNS}
    outputs = {name: scratch / f"out-{index}.npy" for index, name in enumerate(RUNS)}
    report = scratch / "report.json"
    headroom = []
    for round_index in range(args.rounds):
        names = list(RUNS)
        names = names[round_index % len(names):] + names[:round_index % len(names)]
        for name in names:
            command, model_dir, suffix = RUNS[name]
            output = ["-o", str(outputs[name])] if command[:3] == COMMAND else [str(outputs[name])]
            taken, figures = timed([*command, str(model_dir), str(corpus.with_suffix(suffix)), *output], report)
            usage[name].append(figures)
            seconds[name].append(taken)
        headroom.append(parallel_headroom())
    small_lines = min(SMALL_LINES, args.lines)
    small_seconds, small_usage = timed([*WORKERS_2, str(MODEL_DIR), str(small), "-o", str(scratch / "out-small.npy")],
                                       report)
    rates = {name: args.lines / statistics.median(values) for name, values in seconds.items()}
    in_process = {name: args.lines / statistics.median(u["in_process_seconds"] for u in usage[name])
                  for name in RUNS if "in_process_seconds" in usage[name][0]}
    failures = []
    for model_dir in (MODEL_DIR, BPE_DIR):
        failures += check(corpus, model_dir, [outputs[name] for name, (command, model, _) in RUNS.items()
                                              if model == model_dir and command != RECIPE])
    costs = tokenizer_costs(corpus)

    def median(name: str, key: str) -> float:
        return statistics.median(u[key] for u in usage[name])

    two_name = "corvid-embed --workers 2"
    recipe, one, two, call = (rates["numpy recipe"], rates["corvid-embed --workers 1"], rates[two_name],
                              in_process["embed_texts"])
    parent_share = median(two_name, "cpu") / (2 * statistics.median(seconds[two_name]))
    lines = [f"### Embedding a corpus: {args.lines:,} Zipf lines, {VOCABULARY:,} x {COLUMNS} F32, WordPiece "
             f"unless named (median of {args.rounds} runs, whole processes)", "",
             "| Run | Texts/s | Seconds | CPU s, all processes | Texts/s, loop or call alone | Parent CPU s | "
             "Parent peak RSS MiB |", "|---|---:|---:|---:|---:|---:|---:|"]
    for name in RUNS:
        alone = f"{in_process[name]:,.0f}" if name in in_process else ""
        parent = (f"{median(name, 'cpu'):.2f} | {median(name, 'peak_rss_mib'):.0f}" if "cpu" in usage[name][0]
                  else " | ")
        lines.append(f"| {name} | {rates[name]:,.0f} | {statistics.median(seconds[name]):.2f} | "
                     f"{median(name, 'all_cpu'):.2f} | {alone} | {parent} |")
    lines.append(f"| {two_name}, first {small_lines:,} lines | {small_lines / small_seconds:,.0f} | "
                 f"{small_seconds:.2f} | {small_usage['all_cpu']:.2f} |  | {small_usage['cpu']:.2f} | "
                 f"{small_usage['peak_rss_mib']:.0f} |")
    lines += [""] + [f"- {label} / numpy recipe: {rates[name] / recipe:.2f}x ({verdict(rates[name] / recipe >= goal)}, "
                     f"goal ≥ {goal}x); by CPU seconds: {median('numpy recipe', 'all_cpu') / median(name, 'all_cpu'):.2f}x"
                     for label, name, goal in (("workers 1", "corvid-embed --workers 1", 10),
                                               ("workers 1, Parquet", "corvid-embed --workers 1, Parquet", 8),
                                               ("workers 1, JSON Lines", "corvid-embed --workers 1, JSON Lines", 5))]
    bpe = rates["corvid-embed --workers 1, ByteLevel BPE"] / rates["numpy recipe, ByteLevel BPE"]
    lines += [f"- embed_texts, the call alone, / numpy recipe, its whole process: {call / recipe:.2f}x "
              f"({verdict(call / recipe >= 12)}, goal ≥ 12x); against the recipe's loop alone on texts in memory: "
              f"{call / in_process['numpy recipe']:.2f}x",
              f"- ByteLevel BPE, outside the word cache: workers 1 / numpy recipe {bpe:.2f}x "
              "(goal: no lower than before a change)",
              f"- workers 2 / workers 1: {two / one:.2f}x ({verdict(two / one >= 1.7)}, goal ≥ 1.7x); two CPU-bound "
              f"processes against one on this machine during the run: {statistics.median(headroom):.2f}x",
              f"- parent CPU with --workers 2: {median(two_name, 'cpu'):.2f} s, {100 * parent_share:.1f}% of wall "
              f"time x 2 ({verdict(parent_share <= 0.10)}, goal ≤ 10%)",
              f"- parent peak RSS with --workers 2: {small_usage['peak_rss_mib']:.0f} MiB at {small_lines:,} lines, "
              f"{median(two_name, 'peak_rss_mib'):.0f} MiB at {args.lines:,}",
              f"- µs a line, WordPiece ({costs['ids a line']:.1f} ids): encode_batch {costs['encode_batch']:.1f}, "
              f"encode {costs['encode']:.1f} (in this process, first 20,000 lines); corvid-embed in memory "
              f"(embed_texts, the call alone) {1e6 / call:.1f}",
              "- exactness: " + ("; ".join(failures) if failures else
                                 "every corvid-embed and embed_texts output bit-identical to the per-line loop")]
    publish(args, "\n".join(lines) + "\n", "corpus.json", {
        "texts_per_second": rates, "in_process_texts_per_second": in_process, "lines": args.lines,
        "parallel_headroom": statistics.median(headroom), "parent": usage, "parent_small": small_usage,
        "microseconds_a_line": costs})
    return failures


def cluster_main(args: argparse.Namespace, corpus: pathlib.Path, scratch: pathlib.Path) -> list[str]:
    """`--workers 1` against a LocalCluster of two one-thread worker processes, sharded output.
    Each round starts a fresh cluster before its timing, so that its first run loads the model
    and fills each worker's word cache as `--workers 1` does; the runs after it find them loaded,
    as on a cluster that serves one run after another."""
    import shutil

    small = first_lines(corpus, SMALL_LINES)
    sharded = [*COMMAND, "--quiet", "--shard-rows", str(SHARD_ROWS)]
    report = scratch / "report.json"
    small_lines = min(SMALL_LINES, args.lines)
    one, cold, warm, small_run = names = ["--workers 1", "--scheduler, the cluster's first run",
                                          "--scheduler, a later run", f"--scheduler, a later run, first {small_lines:,} lines"]
    seconds: dict[str, list[float]] = {name: [] for name in names}
    client: dict[str, list[dict]] = {name: [] for name in names}
    outputs = {name: scratch / f"cluster-out-{index}" for index, name in enumerate(names)}
    headroom = []
    for round_index in range(args.rounds):
        with local_cluster(scratch) as cluster:
            options = {one: ["--workers", "1"], **{name: ["--scheduler", cluster.scheduler_address] for name in names[1:]}}
            # The cluster's runs keep their order; --workers 1 goes before them or after.
            for name in [one, *names[1:]] if round_index % 2 == 0 else [*names[1:], one]:
                shutil.rmtree(outputs[name], ignore_errors=True)
                source = small if name == small_run else corpus
                taken, usage = timed([*sharded, str(MODEL_DIR), str(source), "-o", str(outputs[name]),
                                      *options[name]], report)
                seconds[name].append(taken)
                client[name].append(usage)
        headroom.append(parallel_headroom())
    failures = check(corpus, MODEL_DIR, [outputs[one], outputs[cold], outputs[warm]])
    if load_output(outputs[small_run]).tobytes() != load_output(outputs[one])[:small_lines].tobytes():
        failures.append(f"the output of the first {small_lines:,} lines differs from the whole corpus's")
    rates = {name: (small_lines if name == small_run else args.lines) / statistics.median(values)
             for name, values in seconds.items()}

    def median(name: str, key: str) -> float:
        return statistics.median(u[key] for u in client[name])

    lines = [f"### Embedding a corpus on a Dask LocalCluster: {args.lines:,} Zipf lines, shards of "
             f"{SHARD_ROWS:,} rows (median of {args.rounds} rounds, a fresh cluster each)", "",
             "| Run | Texts/s | Seconds | Client CPU s | Client peak RSS MiB |", "|---|---:|---:|---:|---:|"]
    lines += [f"| corvid-embed {name} | {rates[name]:,.0f} | {statistics.median(seconds[name]):.2f} | "
              f"{median(name, 'cpu'):.2f} | {median(name, 'peak_rss_mib'):.0f} |" for name in names]
    share = max(median(name, "cpu") / (2 * statistics.median(seconds[name])) for name in (cold, warm))
    lines += [""] + [f"- cluster / workers 1, {label}: {rates[name] / rates[one]:.2f}x "
                     f"({verdict(rates[name] / rates[one] >= 1.5)}, goal ≥ 1.5x)"
                     for label, name in (("the cluster's first run", cold), ("a later run", warm))]
    lines += ["", "Each round, since neighbours on a shared machine take cores for seconds at a time:", "",
              "| Round | Two CPU-bound processes against one | Cluster's first run / workers 1 | "
              "Later run / workers 1 |", "|---:|---:|---:|---:|"]
    lines += [f"| {index + 1} | {headroom[index]:.2f}x | {seconds[one][index] / seconds[cold][index]:.2f}x | "
              f"{seconds[one][index] / seconds[warm][index]:.2f}x |" for index in range(args.rounds)]
    lines += ["", f"- two CPU-bound processes against one on this machine during the runs: "
              f"{statistics.median(headroom):.2f}x",
              f"- client CPU on the cluster: at most {100 * share:.1f}% of wall time x 2 "
              f"({verdict(share <= 0.10)}, goal ≤ 10%)",
              f"- client peak RSS on the cluster: {median(small_run, 'peak_rss_mib'):.0f} MiB at {small_lines:,} lines, "
              f"{median(warm, 'peak_rss_mib'):.0f} MiB at {args.lines:,}",
              "- exactness: " + ("; ".join(failures) if failures else
                                 "every output bit-identical to the per-line loop")]
    publish(args, "\n".join(lines) + "\n", "cluster.json",
            {"seconds": seconds, "client": client, "parallel_headroom": headroom})
    return failures


def compressed_main(args: argparse.Namespace, corpus: pathlib.Path, scratch: pathlib.Path) -> list[str]:
    """`--workers 2` on the corpus as 8 plain files, against the same 8 files gzipped and
    Zstandard-compressed (each compressed file one piece), in rounds; every output byte-identical."""
    import gzip
    from compression import zstd

    directory = WORK_DIR / f"{corpus.stem}-split"
    directory.mkdir(exist_ok=True)
    lines = corpus.read_bytes().splitlines(keepends=True)
    kinds = {"plain": ".txt", "gzip": ".txt.gz", "Zstandard": ".txt.zst"}
    files: dict[str, list[str]] = {kind: [] for kind in kinds}
    for index in range(8):
        data = b"".join(lines[index * len(lines) // 8:(index + 1) * len(lines) // 8])
        for kind, suffix in kinds.items():
            path = directory / f"part-{index}{suffix}"
            if not path.exists():
                path.write_bytes({"plain": lambda: data, "gzip": lambda: gzip.compress(data, mtime=0),
                                  "Zstandard": lambda: zstd.compress(data)}[kind]())
            files[kind].append(str(path))
    seconds: dict[str, list[float]] = {kind: [] for kind in kinds}
    outputs = {kind: scratch / f"compressed-out-{index}.npy" for index, kind in enumerate(kinds)}
    for round_index in range(args.rounds):
        for kind in kinds if round_index % 2 == 0 else reversed(kinds):
            taken, _ = timed([*WORKERS_2, str(MODEL_DIR), *files[kind], "-o", str(outputs[kind])],
                             scratch / "report.json")
            seconds[kind].append(taken)
    plain = outputs["plain"].read_bytes()
    failures = [f"the {kind} files' output differs from the plain files'" for kind in kinds
                if outputs[kind].read_bytes() != plain]
    rate = {kind: args.lines / statistics.median(values) for kind, values in seconds.items()}
    report = [f"### `--workers 2` on 8 files, plain and compressed: {args.lines:,} Zipf lines "
              f"(median of {args.rounds} rounds)", "", "| Files | Texts/s | Seconds | Against plain |",
              "|---|---:|---:|---:|"]
    report += [f"| {kind} | {rate[kind]:,.0f} | {statistics.median(seconds[kind]):.2f} | "
               f"{rate[kind] / rate['plain']:.2f}x |" for kind in kinds]
    report += ["", "- goal: compressed at least 0.8x plain: " +
               ("met" if min(rate.values()) >= 0.8 * rate["plain"] else "NOT met"),
               "- exactness: " + ("; ".join(failures) if failures else "every output byte-identical to the plain files'")]
    publish(args, "\n".join(report) + "\n")
    return failures


def scaling_main(args: argparse.Namespace, corpus: pathlib.Path, scratch: pathlib.Path) -> list[str]:
    """`--workers 1`, `--workers 2` and a fresh LocalCluster's first run on the whole corpus,
    `--workers 1` on a corpus of a fifth of its lines, and start-up."""
    import shutil

    import distributed

    fifth_lines = args.lines // 5
    fifth = prepare(fifth_lines)
    one_line = first_lines(corpus, 1)
    one, two, on_cluster, one_fifth = names = ["--workers 1", "--workers 2", "--scheduler, the cluster's first run",
                                               f"--workers 1, {fifth_lines:,} lines"]
    options = {one: ["--workers", "1"], two: ["--workers", "2"], one_fifth: ["--workers", "1"]}
    seconds: dict[str, list[float]] = {name: [] for name in names}
    usage: dict[str, list[dict]] = {name: [] for name in names}
    startup: dict[str, list[float]] = {one: [], two: []}
    # Shards, as on a cluster a single .npy file would be joined from its parts by the client.
    outputs = {name: scratch / f"scaling-out-{index}" for index, name in enumerate(names)}
    report = scratch / "report.json"
    headroom = []
    for round_index in range(args.rounds):
        for name in names[round_index % len(names):] + names[:round_index % len(names)]:
            shutil.rmtree(outputs[name], ignore_errors=True)
            arguments = [str(MODEL_DIR), str(fifth if name == one_fifth else corpus), "-o", str(outputs[name]),
                         "--shard-rows", str(SCALING_SHARD_ROWS)]
            if name == on_cluster:
                # Started for this run alone, so that it is the cluster's first and no idle
                # cluster takes CPU from the other runs.
                with local_cluster(scratch) as cluster:
                    taken, figures = timed([*COMMAND, "--quiet", "--scheduler", cluster.scheduler_address,
                                            *arguments], report)
                    with distributed.Client(cluster) as client:
                        figures["worker_peak_rss_mib"] = sorted(client.run(peak_rss_mib).values())
            else:
                taken, figures = timed([*COMMAND, "--quiet", *options[name], *arguments], report)
            seconds[name].append(taken)
            usage[name].append(figures)
        for name in startup:
            taken, _ = timed([sys.executable, "-m", "corvid_embed", "--quiet", *options[name], str(MODEL_DIR),
                              str(one_line), "-o", str(scratch / "one-line.npy")], None)
            startup[name].append(taken)
        headroom.append(parallel_headroom())
    failures = check(corpus, MODEL_DIR, [outputs[one], outputs[two], outputs[on_cluster]])
    rates = {name: (fifth_lines if name == one_fifth else args.lines) / statistics.median(values)
             for name, values in seconds.items()}

    def median(name: str, key: str) -> float:
        return statistics.median(u[key] for u in usage[name])

    def share(name: str) -> float:
        return median(name, "cpu") / (2 * statistics.median(seconds[name]))

    # The peak RSS of the processes that embed: the run's own process with --workers 1, the
    # largest of those it waited for with --workers 2, each worker's on the cluster.
    cluster_peaks = [statistics.median(peaks) for peaks in zip(*(u["worker_peak_rss_mib"] for u in usage[on_cluster]))]
    embedding_peak = {one: median(one, "peak_rss_mib"), two: median(two, "children_peak_rss_mib"),
                      on_cluster: max(cluster_peaks), one_fifth: median(one_fifth, "peak_rss_mib")}
    lines = [f"### Scaling: {args.lines:,} Zipf lines, {VOCABULARY:,} x {COLUMNS} F32, WordPiece, shards of "
             f"{SCALING_SHARD_ROWS:,} rows (median of {args.rounds} rounds, whole processes)", "",
             "| Run | Texts/s | Seconds | Parent or client CPU s | Its share of 2 cores over the run | "
             "Parent or client peak RSS MiB | Peak RSS MiB of a process that embeds |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for name in names:
        share_cell = f"{100 * share(name):.1f}%" if name in (two, on_cluster) else ""
        lines.append(f"| corvid-embed {name} | {rates[name]:,.0f} | {statistics.median(seconds[name]):.2f} | "
                     f"{median(name, 'cpu'):.2f} | {share_cell} | {median(name, 'peak_rss_mib'):.0f} | "
                     f"{embedding_peak[name]:.0f} |")
    lines += ["", "Each round, since neighbours on a shared machine take cores for seconds at a time:", "",
              "| Round | Two CPU-bound processes against one | Workers 2 / workers 1 | Cluster / workers 1 |",
              "|---:|---:|---:|---:|"]
    lines += [f"| {index + 1} | {headroom[index]:.2f}x | {seconds[one][index] / seconds[two][index]:.2f}x | "
              f"{seconds[one][index] / seconds[on_cluster][index]:.2f}x |" for index in range(args.rounds)]
    flat = embedding_peak[one] <= FLAT * embedding_peak[one_fifth]
    lines += ["", f"- workers 2 / workers 1: {rates[two] / rates[one]:.2f}x ({verdict(rates[two] / rates[one] >= 1.8)}, "
                  "goal ≥ 1.8x)",
              f"- cluster's first run / workers 1: {rates[on_cluster] / rates[one]:.2f}x "
              f"({verdict(rates[on_cluster] / rates[one] >= 1.7)}, goal ≥ 1.7x)",
              f"- two CPU-bound processes against one on this machine during the runs: {statistics.median(headroom):.2f}x",
              f"- CPU time of the run's own process over 2 x wall time: parent with --workers 2 {100 * share(two):.1f}% "
              f"({verdict(share(two) <= 0.10)}), client on the cluster {100 * share(on_cluster):.1f}% "
              f"({verdict(share(on_cluster) <= 0.10)}); goal ≤ 10%",
              f"- peak RSS with --workers 1 (the run's own process, VmHWM): {embedding_peak[one_fifth]:.0f} MiB at "
              f"{fifth_lines:,} lines, {embedding_peak[one]:.0f} MiB at {args.lines:,} "
              f"({verdict(flat)}, goal: flat, at most {FLAT:.1f} times)",
              f"- peak RSS of the workers at {args.lines:,} lines: --workers 2 {embedding_peak[two]:.0f} MiB, the "
              "largest ru_maxrss among the processes the parent waited for (its workers and its janitor; a child's "
              "figure includes the parent's resident memory when it was started); on the cluster "
              + ", ".join(f"{peak:.0f}" for peak in cluster_peaks) + " MiB, each worker process's VmHWM since the "
              "cluster started (Dask's own memory included)",
              f"- start-up, as the wall time of a whole run on a one-line file (from the command's start to its "
              f"exit, its one row written): --workers 1 {statistics.median(startup[one]):.2f} s, --workers 2 "
              f"{statistics.median(startup[two]):.2f} s",
              "- exactness: " + ("; ".join(failures) if failures else
                                 f"every output at {args.lines:,} lines bit-identical to the per-line loop")]
    publish(args, "\n".join(lines) + "\n", "scaling.json", {
        "lines": args.lines, "seconds": seconds, "usage": usage, "startup_seconds": startup,
        "parallel_headroom": headroom})
    return failures


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] in CHILDREN:
        CHILDREN[sys.argv[1]](sys.argv[2], sys.argv[3:])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, help="lines of the corpus (default 400,000; 2,000,000 with --scaling)")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--out", type=pathlib.Path)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--cluster", action="store_true", help="time a Dask LocalCluster against --workers 1")
    mode.add_argument("--compressed", action="store_true", help="time 8 compressed files against 8 plain ones")
    mode.add_argument("--scaling", action="store_true", help="time workers, a cluster, memory and start-up on 2,000,000 lines")
    args = parser.parse_args()
    name = "cluster" if args.cluster else "compressed" if args.compressed else "scaling" if args.scaling else "corpus"
    args.lines = args.lines or (2_000_000 if args.scaling else 400_000)
    args.out = args.out or REPO / "build" / "bench" / f"{name}.md"
    os.environ.update(ENVIRONMENT)
    corpus = prepare(args.lines)
    modes = {"corpus": corpus_main, "cluster": cluster_main, "compressed": compressed_main, "scaling": scaling_main}
    with tempfile.TemporaryDirectory(dir=WORK_DIR, prefix="outputs-") as scratch:
        failures = modes[name](args, corpus, pathlib.Path(scratch))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
