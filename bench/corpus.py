"""Embeds a generated corpus with corvid-embed and with the numpy recipe a user would write.

    scripts/dev build/venv/bin/python bench/corpus.py [--lines N] [--rounds N] [--out FILE] [--cluster | --compressed]

Generates (once, under build/bench/corpus) 400,000 lines of made-up words drawn with Zipf's law
(frequency about 1/rank), the same texts as JSON Lines and as Parquet, a 30,000-id WordPiece
tokenizer trained on them and a 30,000 x 256 F32 table. Then times, as whole processes and
interleaved in rounds, the numpy recipe (encode_batch, table[ids].mean(0), normalise),
`corvid-embed --workers 1` and `--workers 2` on the text file, and `--workers 2` on the JSON Lines
and Parquet files, all with TOKENIZERS_PARALLELISM=false so that the worker count is the only
parallelism; each round, two CPU-bound processes against one, for the parallelism the machine
has to give while others use it. The corvid-embed runs record the calling process's own CPU
time and peak resident memory (its workers excluded); `--workers 2` is also run on the first
100,000 lines, to show that the parent's memory does not grow with the corpus. Checks that every
corvid-embed output equals a loop of StaticEmbedding.embed_tokens(tokenizer.encode(line).ids) bit
for bit, and that the word cache gives every line the ids of tokenizer.encode; exits non-zero
otherwise. Prints a Markdown report, writes it to --out (default build/bench/corpus.md) and the
figures to build/bench/corpus.json.

With --cluster, it times instead, with sharded output (--shard-rows 20,000), `--workers 1`
against `--scheduler` on a Dask LocalCluster of 2 worker processes with one thread each, started
afresh before each round's timing: the cluster's first run (which loads the model in every
worker, as `--workers 1` does in its process), a later run on the same corpus, and one on its
first 100,000 lines; the client's own CPU time and peak resident memory, each round's ratios
beside what two CPU-bound processes got, and the same check of every output (report
build/bench/cluster.md, figures build/bench/cluster.json).

With --compressed, it times `--workers 2` on the corpus cut into 8 files, plain, gzipped and
Zstandard-compressed, and checks that the three outputs are byte-identical (build/bench/compressed.md).
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
from generate_model import write_model  # noqa: E402

WORK_DIR = REPO / "build" / "bench" / "corpus"
MODEL_DIR = WORK_DIR / "model"
VOCABULARY = 30_000
COLUMNS = 256
ENVIRONMENT = {**os.environ, "TOKENIZERS_PARALLELISM": "false"}
COMMAND = [sys.executable, __file__, "--measure-parent"]
# Name: (command, input suffix).
RUNS = {
    "numpy recipe": ([sys.executable, __file__, "--numpy-recipe"], ".txt"),
    "corvid-embed --workers 1": ([*COMMAND, "--quiet", "--workers", "1"], ".txt"),
    "corvid-embed --workers 2": ([*COMMAND, "--quiet", "--workers", "2"], ".txt"),
    "corvid-embed --workers 2, JSON Lines": ([*COMMAND, "--quiet", "--workers", "2"], ".jsonl"),
    "corvid-embed --workers 2, Parquet": ([*COMMAND, "--quiet", "--workers", "2"], ".parquet"),
}
SMALL_LINES = 100_000
SHARD_ROWS = 20_000


# ---- Corpus, tokenizer and model -------------------------------------------------------------


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
    corpus = WORK_DIR / f"zipf-{lines}.txt"
    if not corpus.exists():
        WORK_DIR.mkdir(parents=True, exist_ok=True)
        write_corpus(corpus, lines)
    if not corpus.with_suffix(".parquet").exists():
        import pyarrow
        import pyarrow.parquet

        texts = corpus.read_text(encoding="utf-8").splitlines()
        with open(corpus.with_suffix(".jsonl"), "w", encoding="utf-8") as file:
            file.writelines(json.dumps({"id": n, "text": text}) + "\n" for n, text in enumerate(texts))
        pyarrow.parquet.write_table(pyarrow.table({"id": range(len(texts)), "text": texts}),
                                    corpus.with_suffix(".parquet"), row_group_size=10_000)
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


# ---- The parent's own CPU time and peak memory (a corvid-embed run in a child process) -------


def measure_parent(report: str, arguments: list[str]) -> None:
    """Runs the command in this process and writes its own CPU seconds and peak RSS (its
    children's excluded) to `report`."""
    import resource

    from corvid_embed.command import main as command

    try:
        command(arguments)
    finally:
        usage = resource.getrusage(resource.RUSAGE_SELF)
        # VmHWM starts afresh at exec, where ru_maxrss keeps the forking process's peak.
        peak_kib = next(int(line.split()[1]) for line in pathlib.Path("/proc/self/status").read_text().splitlines()
                        if line.startswith("VmHWM:"))
        pathlib.Path(report).write_text(json.dumps({"cpu": usage.ru_utime + usage.ru_stime,
                                                    "peak_rss_mib": peak_kib / 1024}))


# ---- The numpy recipe (run in a child process) ----------------------------------------------


def numpy_recipe(model_dir: str, input_path: str, output: str) -> None:
    from safetensors.numpy import load_file
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(str(pathlib.Path(model_dir) / "tokenizer.json"))
    table = next(iter(load_file(str(pathlib.Path(model_dir) / "model.safetensors")).values()))
    with open(input_path, encoding="utf-8") as file:
        texts = file.read().splitlines()
    result = np.empty((len(texts), table.shape[1]), np.float32)
    for start in range(0, len(texts), 1024):
        for i, encoding in enumerate(tokenizer.encode_batch(texts[start:start + 1024]), start):
            mean = table[encoding.ids].mean(0)
            result[i] = mean / max(np.linalg.norm(mean), np.float32(1e-12))
    np.save(output, result)


# ---- Checks ---------------------------------------------------------------------------------


def load_output(output: pathlib.Path) -> np.ndarray:
    """A .npy file's rows, or those of a directory of shards in its manifest's order."""
    if not output.is_dir():
        return np.load(output)
    shards = json.loads((output / "manifest.json").read_text())["shards"]
    return np.concatenate([np.load(output / shard["path"]) for shard in shards])


def check(corpus: pathlib.Path, outputs: list[pathlib.Path]) -> list[str]:
    """Failures: corvid-embed outputs that differ from the per-line loop, lines whose word cache
    ids differ from tokenizer.encode."""
    from tokenizers import Tokenizer

    from corvid_embed.embedding.word_cache import word_cached_encoder
    from corvid_py import StaticEmbedding

    tokenizer = Tokenizer.from_file(str(MODEL_DIR / "tokenizer.json"))
    cached = word_cached_encoder(tokenizer)
    model = StaticEmbedding(str(MODEL_DIR))
    texts = corpus.read_text(encoding="utf-8").splitlines()
    failures = [f"word cache ids differ from encode on line {n}"
                for n, text in enumerate(texts, 1) if cached(text) != tokenizer.encode(text).ids][:3]
    expected = np.array([model.embed_tokens(tokenizer.encode(text).ids) for text in texts], np.float32)
    failures += [f"{output.name} differs from the per-line loop" for output in outputs
                 if load_output(output).tobytes() != expected.tobytes()]
    return failures


def tokenizer_costs(corpus: pathlib.Path, count: int = 20_000) -> dict[str, float]:
    """Microseconds a line for encode_batch, encode and the word cache, in this process."""
    from tokenizers import Tokenizer

    from corvid_embed.embedding.word_cache import word_cache_specials, word_cached_encoder

    tokenizer = Tokenizer.from_file(str(MODEL_DIR / "tokenizer.json"))
    texts = corpus.read_text(encoding="utf-8").splitlines()[:count]
    assert word_cache_specials(tokenizer) is not None, "the word cache does not apply"
    cached = word_cached_encoder(tokenizer)
    ways = {
        "encode_batch": lambda: [e.ids for s in range(0, count, 1024) for e in tokenizer.encode_batch(texts[s:s + 1024])],
        "encode": lambda: [tokenizer.encode(text).ids for text in texts],
        "word cache": lambda: [cached(text) for text in texts],
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


# ---- Report ---------------------------------------------------------------------------------


def timed(command: list[str], parent_report: pathlib.Path | None) -> tuple[float, dict]:
    """Wall seconds of the command, and its CPU seconds (workers included) with the parent's own
    figures when it is a corvid-embed run."""
    import resource

    if parent_report is not None:
        command = [*command[:3], str(parent_report), *command[3:]]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, env=ENVIRONMENT)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    usage = json.loads(parent_report.read_text()) if parent_report else {}
    usage["all_cpu"] = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return seconds, usage


def cluster_main(args: argparse.Namespace, corpus: pathlib.Path, small: pathlib.Path) -> None:
    """`--workers 1` against a LocalCluster of two one-thread worker processes, sharded output.
    Each round starts a fresh cluster before its timing, so that its first run loads the model
    and fills each worker's word cache as `--workers 1` does; the runs after it find them loaded,
    as on a cluster that serves one run after another."""
    import shutil

    import dask
    import distributed

    # Dask's statistical profiler samples each running task's stack every 10 ms, which costs a
    # pure-Python loop like tokenising about a seventh of a worker's CPU; clusters that serve
    # such work turn it off (docs/corpus.md says how).
    dask.config.set({"distributed.worker.profile.enabled": False})
    sharded = [*COMMAND, "--quiet", "--shard-rows", str(SHARD_ROWS)]
    report = WORK_DIR / "parent.json"
    small_lines = min(SMALL_LINES, args.lines)
    one, cold, warm, small_run = names = ["--workers 1", "--scheduler, the cluster's first run",
                                          "--scheduler, a later run", f"--scheduler, a later run, first {small_lines:,} lines"]
    seconds: dict[str, list[float]] = {name: [] for name in names}
    client: dict[str, list[dict]] = {name: [] for name in names}
    outputs = {name: WORK_DIR / f"cluster-out-{index}" for index, name in enumerate(names)}
    headroom = []
    for round_index in range(args.rounds):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      silence_logs=40) as cluster:
            with distributed.Client(cluster) as watcher:
                watcher.wait_for_workers(2)
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
    failures = check(corpus, [outputs[one], outputs[cold], outputs[warm]])
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
    verdict = {True: "met", False: "NOT met"}
    lines += [""] + [f"- cluster / workers 1, {label}: {rates[name] / rates[one]:.2f}x "
                     f"({verdict[rates[name] / rates[one] >= 1.5]}, goal ≥ 1.5x)"
                     for label, name in (("the cluster's first run", cold), ("a later run", warm))]
    lines += ["", "Each round, since neighbours on a shared machine take cores for seconds at a time:", "",
              "| Round | Two CPU-bound processes against one | Cluster's first run / workers 1 | "
              "Later run / workers 1 |", "|---:|---:|---:|---:|"]
    lines += [f"| {index + 1} | {headroom[index]:.2f}x | {seconds[one][index] / seconds[cold][index]:.2f}x | "
              f"{seconds[one][index] / seconds[warm][index]:.2f}x |" for index in range(args.rounds)]
    lines += ["", f"- two CPU-bound processes against one on this machine during the runs: "
              f"{statistics.median(headroom):.2f}x",
              f"- client CPU on the cluster: at most {100 * share:.1f}% of wall time x 2 "
              f"({verdict[share <= 0.10]}, goal ≤ 10%)",
              f"- client peak RSS on the cluster: {median(small_run, 'peak_rss_mib'):.0f} MiB at {small_lines:,} lines, "
              f"{median(warm, 'peak_rss_mib'):.0f} MiB at {args.lines:,}",
              "- exactness: " + ("; ".join(failures) if failures else
                                 "every output bit-identical to the per-line loop")]
    text = "\n".join(lines) + "\n"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    (args.out.parent / "cluster.json").write_text(json.dumps({"seconds": seconds, "client": client,
                                                               "parallel_headroom": headroom}))
    print(text, end="")
    sys.exit(1 if failures else 0)


def compressed_main(args: argparse.Namespace, corpus: pathlib.Path) -> None:
    """`--workers 2` on the corpus as 8 plain files, against the same 8 files gzipped and
    Zstandard-compressed (each compressed file one piece), in rounds; every output byte-identical."""
    import gzip
    from compression import zstd

    directory = WORK_DIR / "split"
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
    outputs = {kind: WORK_DIR / f"compressed-out-{index}.npy" for index, kind in enumerate(kinds)}
    for round_index in range(args.rounds):
        for kind in kinds if round_index % 2 == 0 else reversed(kinds):
            taken, _ = timed([*COMMAND, "--quiet", "--workers", "2", str(MODEL_DIR), *files[kind], "-o",
                              str(outputs[kind])], WORK_DIR / "parent.json")
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
    text = "\n".join(report) + "\n"
    print(text)
    args.out.write_text(text)
    if failures:
        sys.exit(1)


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--numpy-recipe":
        numpy_recipe(*sys.argv[2:])
        return
    if len(sys.argv) > 2 and sys.argv[1] == "--measure-parent":
        measure_parent(sys.argv[2], sys.argv[3:])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=400_000)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--out", type=pathlib.Path)
    parser.add_argument("--cluster", action="store_true", help="time a Dask LocalCluster against --workers 1")
    parser.add_argument("--compressed", action="store_true", help="time 8 compressed files against 8 plain ones")
    args = parser.parse_args()
    args.out = args.out or REPO / "build" / "bench" / (
        "cluster.md" if args.cluster else "compressed.md" if args.compressed else "corpus.md")
    os.environ.update(ENVIRONMENT)
    corpus = prepare(args.lines)
    small = WORK_DIR / f"zipf-{args.lines}-first-{SMALL_LINES}.txt"
    if not small.exists():
        with open(corpus, encoding="utf-8") as source:
            small.write_text("".join(line for _, line in zip(range(SMALL_LINES), source)), encoding="utf-8")
    if args.cluster:
        cluster_main(args, corpus, small)
        return
    if args.compressed:
        compressed_main(args, corpus)
        return
    seconds: dict[str, list[float]] = {name: [] for name in RUNS}
    parent: dict[str, list[dict]] = {name: [] for name in RUNS}
    outputs = {name: WORK_DIR / f"out-{index}.npy" for index, name in enumerate(RUNS)}
    report = WORK_DIR / "parent.json"
    headroom = []
    for round_index in range(args.rounds):
        names = list(RUNS)
        names = names[round_index % len(names):] + names[:round_index % len(names)]
        for name in names:
            command, suffix = RUNS[name]
            source = str(corpus.with_suffix(suffix))
            if name == "numpy recipe":
                taken, usage = timed([*command, str(MODEL_DIR), source, str(outputs[name])], None)
            else:
                taken, usage = timed([*command, str(MODEL_DIR), source, "-o", str(outputs[name])], report)
            parent[name].append(usage)
            seconds[name].append(taken)
        headroom.append(parallel_headroom())
    small_lines = min(SMALL_LINES, args.lines)
    small_seconds, small_usage = timed([*RUNS["corvid-embed --workers 2"][0], str(MODEL_DIR), str(small),
                                        "-o", str(WORK_DIR / "out-small.npy")], report)
    rates = {name: args.lines / statistics.median(values) for name, values in seconds.items()}
    failures = check(corpus, [outputs[name] for name in RUNS if name.startswith("corvid")])
    costs = tokenizer_costs(corpus)

    numpy_rate, one, two = (rates[name] for name in list(RUNS)[:3])
    two_name = "corvid-embed --workers 2"
    parent_cpu = statistics.median(u["cpu"] for u in parent[two_name])
    parent_share = parent_cpu / (2 * statistics.median(seconds[two_name]))
    lines = [f"### Embedding a corpus: {args.lines:,} Zipf lines, {VOCABULARY:,} x {COLUMNS} F32, "
             f"WordPiece (median of {args.rounds} runs, whole processes)", "",
             "| Run | Texts/s | Seconds | CPU s, all processes | Parent CPU s | Parent peak RSS MiB |",
             "|---|---:|---:|---:|---:|---:|"]
    for name in RUNS:
        usage = parent[name]
        all_cpu = f"{statistics.median(u['all_cpu'] for u in usage):.2f}"
        cpu = f"{statistics.median(u['cpu'] for u in usage):.2f}" if "cpu" in usage[0] else ""
        rss = f"{statistics.median(u['peak_rss_mib'] for u in usage):.0f}" if "cpu" in usage[0] else ""
        lines.append(f"| {name} | {rates[name]:,.0f} | {statistics.median(seconds[name]):.2f} | {all_cpu} | {cpu} | {rss} |")
    lines.append(f"| {two_name}, first {small_lines:,} lines | {small_lines / small_seconds:,.0f} | "
                 f"{small_seconds:.2f} | {small_usage['all_cpu']:.2f} | {small_usage['cpu']:.2f} | "
                 f"{small_usage['peak_rss_mib']:.0f} |")

    def cpu_of(name: str) -> float:
        return statistics.median(u["all_cpu"] for u in parent[name])

    def verdict(met: bool) -> str:
        return "met" if met else "NOT met"

    lines += ["", f"- workers 2 / workers 1: {two / one:.2f}x ({verdict(two / one >= 1.7)}, goal ≥ 1.7x); two "
                  f"CPU-bound processes against one on this machine during the run: {statistics.median(headroom):.2f}x",
              f"- parent CPU with --workers 2: {parent_cpu:.2f} s, {100 * parent_share:.1f}% of wall time x 2 "
              f"({verdict(parent_share <= 0.10)}, goal ≤ 10%)",
              f"- workers 1 / numpy recipe: {one / numpy_rate:.2f}x ({verdict(one / numpy_rate >= 3)}, goal ≥ 3x); "
              f"by CPU seconds: {cpu_of('numpy recipe') / cpu_of('corvid-embed --workers 1'):.2f}x",
              f"- parent peak RSS with --workers 2: {small_usage['peak_rss_mib']:.0f} MiB at {small_lines:,} lines, "
              f"{statistics.median(u['peak_rss_mib'] for u in parent[two_name]):.0f} MiB at {args.lines:,}",
              f"- tokenising, µs a line ({costs['ids a line']:.1f} ids): encode_batch "
              f"{costs['encode_batch']:.1f}, encode {costs['encode']:.1f}, word cache {costs['word cache']:.1f}",
              "- exactness: " + ("; ".join(failures) if failures else
                                 "every corvid-embed output bit-identical to the per-line loop; "
                                 "word cache ids equal to encode on every line")]
    text = "\n".join(lines) + "\n"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    (args.out.parent / "corpus.json").write_text(json.dumps({
        "texts_per_second": rates, "lines": args.lines, "parallel_headroom": statistics.median(headroom),
        "parent": parent, "parent_small": small_usage}))
    print(text, end="")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
