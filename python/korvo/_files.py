"""Result files that are whole or not there: each is written to a temporary
file beside it and renamed into place once complete; on any failure, an
interruption included, the temporary is removed and an earlier file of that
name is left as it was."""

from __future__ import annotations

import contextlib
import fcntl
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


@contextlib.contextmanager
def folder_lock(folder: str):
    """Holds the folder's advisory lock (as korvo and korvo-site take it) while
    the block writes there: a second run writing the same files is refused."""
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        yield  # no lock to take; the writes meet the folder's own refusal
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise KorvoError(f"another run is writing its results in {folder}") from None
        except OSError:
            pass  # a file system without locks
        yield
    finally:
        os.close(fd)
