"""Several pivot updates made durable together.

Each update on its own fsyncs its data file before the rename and the folders after it:
three journal commits for a partition of one small file. While a group is open on a thread,
the pivot updates of that thread write their data files as temporaries and leave them
there; ``publish`` fsyncs them all, renames each over its final name and fsyncs each folder
once, so that a group of partitions costs about what one did. Every file still reaches its
name only after its bytes are on disk, so a crash, even of the machine, leaves each file old
or new; what the group defers is the moment the new ones appear.

The category whose files the group holds stays locked (exclusive, with its writer marker)
from its first held file until the group commits, so no reader and no other writer meets
the unpublished state. A writer killed meanwhile leaves temporaries only, which the next
writer sweeps: the marker it left says a writer died. Whatever looks up a data file of the
held category first publishes the held ones (``CategoryFolder`` does that), and the
category's record is written only after them, as ever.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
import threading

from . import files


class DurabilityGroup:
    """The held data files of one thread's pivot updates, all of one category."""

    def __init__(self, on_close, errors):
        self._on_close = on_close
        self._errors = errors          # errors(category): the store's error translation
        self._lock = threading.Lock()  # an update writes a long frame's files on threads
        self._pending = {}             # final path -> (temporary, folder created)
        self._unsynced = {}            # folders whose entries changed (insertion order)
        self._held = None              # (folder path, category, ExitStack holding its lock)
        self._depth = 1

    # -- used by the store -------------------------------------------------------------
    def holds(self, folder: str) -> bool:
        return self._held is not None and self._held[0] == folder

    def hold(self, cat, after_death=None) -> None:
        """Keep ``cat`` locked for its writer until the commit (a category held before it
        is committed first); ``after_death`` as for ``CategoryFolder.updating``."""
        if self.holds(cat.path):
            return
        self.commit()
        stack = contextlib.ExitStack()
        stack.enter_context(cat.updating(after_death))
        self._held = (cat.path, cat.name, stack)

    @contextlib.contextmanager
    def staging(self, path: str):
        """Yield a binary file on a new temporary beside ``path``, held for the next publish."""
        folder = os.path.dirname(path)
        created = files.make_dir(folder, sync=False)
        fd, tmp = tempfile.mkstemp(prefix=files.TEMP_PREFIX, dir=folder)
        try:
            with open(fd, "wb", buffering=files.WRITE_BUFFER) as f:
                yield f
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise
        with self._lock:  # never held twice: a file is read again only once published
            self._pending[path] = (tmp, created)

    def pending(self, paths) -> bool:
        with self._lock:
            return any(path in self._pending for path in paths)

    def folder_changed(self, folder: str) -> None:
        """An entry of ``folder`` changed (a file removed); fsynced with the next publish."""
        with self._lock:
            self._unsynced[folder] = None

    def publish(self) -> None:
        """Every held file made durable and renamed over its final name, then their folders."""
        with self._lock:
            pending, self._pending = self._pending, {}
            try:
                # Every file's write-back started before the first fsync waits: the first
                # journal commit then takes the blocks of all of them, the later fsyncs
                # find little left to do (on Linux, DONTNEED starts the write-back of dirty
                # pages; the pages under write-back stay cached).
                descriptors = []
                try:
                    for tmp, _ in pending.values():
                        descriptors.append(os.open(tmp, os.O_RDONLY | os.O_CLOEXEC))
                        os.posix_fadvise(descriptors[-1], 0, 0, os.POSIX_FADV_DONTNEED)
                    for fd in descriptors:
                        os.fsync(fd)
                finally:
                    for fd in descriptors:
                        os.close(fd)
                for path, (tmp, created) in list(pending.items()):
                    os.replace(tmp, path)
                    del pending[path]
                    folder = os.path.dirname(path)
                    self._unsynced[folder] = None
                    if created:
                        self._unsynced[os.path.dirname(folder)] = None
                # Children first: a new folder's entry in its parent is synced after the
                # folder's own entries, as a single update does it.
                for folder in sorted(self._unsynced, key=len, reverse=True):
                    files.fsync_dir(folder)
                self._unsynced.clear()
            finally:
                for tmp, _ in pending.values():  # not renamed: the files of a failed publish
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(tmp)

    # -- used by the caller ------------------------------------------------------------
    def commit(self) -> None:
        """Publish the held files and let the category go. The group stays open."""
        held, self._held = self._held, None
        if held is None:
            return
        _, category, stack = held
        with self._errors(category), stack:  # the lock released even when the publish fails
            self.publish()

    def close(self) -> None:
        """Commit; the thread's updates are durable one by one again (the outermost close)."""
        self._depth -= 1
        if self._depth > 0:
            return
        try:
            self.commit()
        finally:
            self._on_close()

    def reopened(self) -> DurabilityGroup:
        self._depth += 1
        return self
