"""Result files that are whole or not there: each is written to a temporary
file beside it and renamed into place once complete; on any failure, an
interruption included, the temporary is removed and an earlier file of that
name is left as it was."""

from __future__ import annotations

import contextlib
import os
import tempfile

from ._korvo import KorvoError


@contextlib.contextmanager
def whole(path: str):
    """Yields the temporary path to write; renames it to `path` when the block ends.

    A failure to write is a KorvoError naming `path` and the system's reason.
    """
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=os.path.basename(path) + ".partial-", dir=folder)
    os.close(fd)
    try:
        yield temp
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temp, 0o666 & ~mask)
        os.replace(temp, path)
    except OSError as e:
        _remove(temp)
        raise KorvoError(f"cannot write {path}: {e.strerror or e}") from None
    except BaseException:
        _remove(temp)
        raise


def write_text(path: str, text: str) -> None:
    with whole(path) as temp:
        with open(temp, "w", encoding="utf-8", newline="") as f:
            f.write(text)


def _remove(temp: str) -> None:
    try:
        os.unlink(temp)
    except FileNotFoundError:
        pass
