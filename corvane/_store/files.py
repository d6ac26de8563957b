"""File-system primitives: atomic replacement, directory sync, advisory locks, JSON files.

Every file of the store reaches its final name by renaming a fully written, fsynced
temporary file of the same folder, so a reader or a crash sees either the old or the new
file, never a partial one. Temporary names start with a dot, which our readers skip and
which pyarrow.dataset ignores by default.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import tempfile

from ..exceptions import LocalStorageError

TEMP_PREFIX = ".tmp-"
LOCK_NAME = ".lock"
WRITE_BUFFER = 1 << 20  # few write calls for pyarrow's many small ones, bounded memory


def fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_dir(path: str, sync: bool = True) -> bool:
    """Create one folder level if missing; True when created. With ``sync`` its entry is
    made durable at once, otherwise the caller syncs the parent later."""
    try:
        os.mkdir(path)
    except FileExistsError:
        return False
    if sync:
        fsync_dir(os.path.dirname(path))
    return True


def put_marker(path: str, empty_file: str) -> bool:
    """Create the empty marker file ``path``; False when it is there already.

    Where the file system allows, the marker is a second name of ``empty_file`` (the
    folder's lock file, which nobody writes): a name costs no new inode, and allocating
    one is what a small update's bookkeeping spends most on a busy file system."""
    try:
        os.link(empty_file, path)
        return True
    except FileExistsError:
        return False
    except OSError:  # no hard links on this file system: a file of its own
        pass
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
    except FileExistsError:
        return False
    return True


@contextlib.contextmanager
def replacing(path: str, new_folder: bool = False, sync_folder: bool = True):
    """Yield a binary file open on a new temporary file beside ``path``; on a normal exit it
    is flushed, fsynced, closed and renamed onto ``path`` and the folder fsynced. On an
    error it is removed.

    The file is written through the descriptor that created it: reopened by name with
    O_TRUNC (as pyarrow opens a path), ext4 starts writing it back at close, a second
    write-back besides the fsync's that costs more than writing a daily partition's file.

    ``new_folder``: the folder was just created unsynced, so its parent is fsynced last.
    Syncing it after the file costs little: the file's own sync has usually committed the
    folder's creation with it. ``sync_folder=False``: the caller writes several files of
    the folder and fsyncs it once afterwards."""
    folder = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=folder)
    try:
        with open(fd, "wb", buffering=WRITE_BUFFER) as f:
            yield f
            f.flush()
            os.fsync(fd)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    if sync_folder:
        fsync_dir(folder)
    if new_folder:
        fsync_dir(os.path.dirname(folder))


def write_bytes(path: str, data: bytes) -> None:
    with replacing(path) as f:
        f.write(data)


def write_json(path: str, value) -> None:
    write_bytes(path, json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode())


def read_json(path: str):
    """The JSON value stored at ``path``, or None when there is no such file."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    try:
        return json.loads(data)
    except ValueError as e:
        raise LocalStorageError(user_message="本地存储文件已损坏: " + os.path.basename(path),
                                detail=str(e)) from None


def remove_temporaries(folder: str) -> None:
    """Delete temporary files left in ``folder`` by a writer that died.

    Only call this while holding the category's exclusive lock: every live writer holds it."""
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return
    for entry in entries:
        if entry.name.startswith(TEMP_PREFIX):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(entry.path)


class FolderLock:
    """An advisory lock (flock) on ``folder``/.lock: exclusive for writers, shared for readers.

    flock locks belong to the open file description, so two threads of one process that
    each take the lock exclude each other just as two processes do."""

    def __init__(self, folder: str, exclusive: bool):
        self._path = os.path.join(folder, LOCK_NAME)
        self._exclusive = exclusive
        self._fd = None

    def acquire(self, wait: bool = True) -> bool:
        """Take the lock; without ``wait`` give up at once (False) when another holder has it."""
        try:
            self._fd = os.open(self._path, os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as e:
            # A reader of a read-only copy of the store goes on without the lock: nobody
            # can be writing there.
            if self._exclusive or e.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
                raise
            return True
        operation = fcntl.LOCK_EX if self._exclusive else fcntl.LOCK_SH
        try:
            fcntl.flock(self._fd, operation if wait else operation | fcntl.LOCK_NB)
        except BlockingIOError:
            self.release()
            return False
        except BaseException:
            self.release()
            raise
        return True

    def release(self) -> None:
        if self._fd is not None:
            os.close(self._fd)  # closing releases the flock
            self._fd = None

    def __enter__(self):
        self.acquire()
        return self

    def __exit__(self, *exc):
        self.release()
