"""The bar drawn for ``progress=True``: tqdm, when it is installed and stdout is a terminal."""

import sys


def make_bar(description):
    """A ``(done, total)`` callable drawing a bar, or None when stdout is not a terminal."""
    try:
        from tqdm import tqdm
    except ImportError:
        raise ImportError(
            "progress=True draws its bar with tqdm, which is not installed: "
            "pip install tqdm (or tarnwell[progress]), or pass a callable"
        ) from None
    if not sys.stdout.isatty():
        return None
    bar = None

    def report(done, total):
        nonlocal bar
        if bar is None:
            bar = tqdm(total=total, desc=description, unit="doc", file=sys.stdout)
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    return report
