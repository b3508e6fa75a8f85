"""The progress bar on standard error: texts done (of how many, when known) and texts per second."""

import sys

from tqdm import tqdm


def progress_bar(total: int | None, enabled: bool) -> tqdm:
    return tqdm(total=total, disable=not enabled, file=sys.stderr, unit=" texts", unit_scale=True,
                dynamic_ncols=True)
