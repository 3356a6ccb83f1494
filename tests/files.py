"""Writing the files of a test project."""

from pathlib import Path


def write(path, text):
    """Write `text` (UTF-8, line ends as given) or bytes to `path`, making its folders."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return path
