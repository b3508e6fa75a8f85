"""Times what the command costs before it does any work: answering --help, and a Dask client's run
of one line on a cluster whose worker has the model loaded (starting, connecting, checking the
model, planning, one task), which is the fixed cost that separates a cluster's first run from
later ones. Also lists the heavy libraries each imports.

    scripts/dev build/venv/bin/python bench/startup.py [--rounds N] [--python INTERPRETER]

--python times another installation's command (an older build, say) against the same cluster.
Prints the median seconds of N rounds (default 9)."""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
sys.path.insert(0, str(REPO / "tests" / "python"))
from corpus_models import write_model_dir  # noqa: E402

HEAVY = ("corvid_py", "tokenizers", "numpy", "distributed", "pyarrow", "tqdm")
REPORT_IMPORTS = ("import atexit, sys; atexit.register(lambda: print(' '.join(sorted({m for m in sys.modules "
                  "if m in %r})), file=sys.stderr)); from corvid_embed.command import main; main()" % (HEAVY,))


def median_seconds(command: list[str], rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def imported(python: str, arguments: list[str]) -> str:
    run = subprocess.run([python, "-c", REPORT_IMPORTS, *arguments], capture_output=True, text=True, timeout=120)
    return run.stderr.splitlines()[-1] or "none of them"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args()
    import distributed

    with tempfile.TemporaryDirectory(dir=REPO / "build") as directory, \
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=":0") as cluster:
        model_dir = write_model_dir(Path(directory) / "model")
        (Path(directory) / "line.txt").write_text("the crow\n")
        runs = {
            "--help": ["--help"],
            "a Dask client's run of one line": [str(model_dir), str(Path(directory) / "line.txt"), "-o",
                                                str(Path(directory) / "out.npy"), "--quiet",
                                                "--scheduler", cluster.scheduler_address],
        }
        print(f"| `corvid-embed` ({args.python}) | median seconds of {args.rounds} | heavy libraries imported |")
        print("|---|---:|---|")
        for name, arguments in runs.items():
            seconds = median_seconds([args.python, "-m", "corvid_embed", *arguments], args.rounds)
            print(f"| {name} | {seconds:.3f} | {imported(args.python, arguments)} |")


if __name__ == "__main__":
    main()
