"""A category's history: its generations and the files that earlier generations still need.

Every update that changes a category's stored rows is one generation. The ledger keeps one
small JSON entry per generation in ``_history/`` inside the category folder; a pivot data
file or an unstack part that an update replaces or deletes is first given a second name
there (a hard link, so nothing is copied), and readers of an earlier generation open it.

    _history/
        gen-00000001.json          one entry per generation, created exclusively
        month=2024-01/<v>.parquet  a pivot file as a generation saw it; <v> is the version
                                   written in the file's footer ("base" before history)
        part-00000003.parquet      an unstack part that the current record no longer lists
        .run-<id>                  marker of a run in progress (flock held while it lives)

An entry: ``generation``, ``committed`` (UTC, ISO 8601), ``mode``, ``record`` (the
category record as it was committed: how to read the generation's files) and ``changes``
({partition: {change, old, new[, old_hash, new_hash]}}; ``old``/``new`` are versions,
pivot partitions are named by their key ("2024-01"), an unstack table is "full").
Generation 1 of a category stored before history is its state then (mode "baseline").

A data file's version is the ``version`` of its footer; the version that a generation saw
of a partition is the last ``new`` of the entries up to it. A reader compares it with the
current file's footer and opens the kept file when they differ, so that files replaced by
a run not yet committed (or killed) are found without any other record.
"""

from __future__ import annotations

import contextlib
import datetime
import errno
import fcntl
import os
import secrets
import shutil
import threading

from ..exceptions import APIError, LocalStorageError
from . import codec, dates, files
from .ledger import FOLDER, Ledger, first_readable, now_text, published_at, versions_at

BASE = "base"  # the version of a pivot file written before history (its footer has none)
_RUN_PREFIX = ".run-"
UNSTACK_PARTITION = "full"


def new_version() -> str:
    return secrets.token_hex(8)




def file_version(footer: dict) -> str:
    return footer.get("version") or BASE






# -- kept files ----------------------------------------------------------------------------
def kept_pivot_path(cat_path: str, folder_name: str, version: str) -> str:
    return os.path.join(cat_path, FOLDER, folder_name, version + ".parquet")


def kept_part_path(cat_path: str, part: str) -> str:
    return os.path.join(cat_path, FOLDER, part)


def _second_name(path: str, target: str) -> None:
    """Give the file ``path`` the name ``target`` too, durably. Without hard links the one
    file is copied (never more than the partition being replaced)."""
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        files.make_dir(os.path.dirname(folder))
        files.make_dir(folder)
    try:
        os.link(path, target)
    except FileExistsError:
        return
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV):
            raise
        with files.replacing(target) as f, open(path, "rb") as source:
            shutil.copyfileobj(source, f)
        return
    files.fsync_dir(folder)


def pivot_file(cat_path: str, grouping: str, partition: str, version: str, kept_files=None):
    """The StoredFile of ``partition`` at ``version``: the current file when its footer
    says so, else the kept one; None when neither exists (pruned). ``kept_files``: see
    codec.stored_files."""
    folder_name = dates.folder_name(grouping, partition)
    current = os.path.join(cat_path, folder_name, "data.parquet")
    with contextlib.suppress(FileNotFoundError):
        [stored] = codec.stored_files([current], kept_files)
        if file_version(stored.footer) == version:
            return stored
    with contextlib.suppress(FileNotFoundError):
        return codec.stored_files([kept_pivot_path(cat_path, folder_name, version)], kept_files)[0]
    return None


def part_path(cat_path: str, part: str) -> str:
    """Where an unstack part is now: in the folder while the current record lists it (or
    until the next writer moves it), else kept."""
    current = os.path.join(cat_path, part)
    return current if os.path.exists(current) else kept_part_path(cat_path, part)


# -- a run: the changes that become one generation -----------------------------------------
class _RunMarker:
    """``_history/.run-<id>``, flock-ed while the run lives: a writer that can lock one it
    did not create knows its run died before committing."""

    def __init__(self, history_folder: str):
        files.make_dir(os.path.dirname(history_folder), sync=False)
        files.make_dir(history_folder)
        self.path = os.path.join(history_folder, _RUN_PREFIX + secrets.token_hex(8))
        self._fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
        fcntl.flock(self._fd, fcntl.LOCK_EX)

    def close(self) -> None:
        if self._fd is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path)
            os.close(self._fd)
            self._fd = None


def dead_runs(history_folder: str) -> list:
    """The markers of runs that died before committing (their lock is free)."""
    dead = []
    try:
        names = os.listdir(history_folder)
    except FileNotFoundError:
        return dead
    for name in names:
        if not name.startswith(_RUN_PREFIX):
            continue
        path = os.path.join(history_folder, name)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            dead.append(path)
        except BlockingIOError:
            pass
        finally:
            os.close(fd)
    return dead


class Run:
    """The changes of one update run of one category, until they are committed as one
    generation. Every method runs under the category's exclusive lock."""

    def __init__(self, mode: str, spans_updates: bool = True):
        """``spans_updates``: the run's updates each take the lock on their own, so a
        marker says it lives; a run of one update is covered by the writer marker."""
        self.mode = mode
        self._spans_updates = spans_updates
        self.changes = {}  # partition -> {"change", "old", "new"}
        self.hashes = {}   # partition -> published hash the client gave
        self._marker = None
        self._entries = None
        self._names = None
        self._lock = threading.Lock()  # partitions are written on threads

    # -- at the start of each update, under the lock ----------------------------------
    def begin(self, cat, held) -> None:
        """Make sure the ledger covers what the store holds before anything is changed:
        generation 1 of a category stored before history, a generation for what a run
        that died left."""
        ledger = Ledger(cat.path, cat.name)
        names = ledger.names()
        if self._entries is not None and names == self._names:
            entries = self._entries  # a later update of the run, the ledger as it was
        else:
            entries = ledger.entries()
        if held is not None and not entries and not self.changes:  # stored before history
            entries = [ledger.create(_snapshot(cat, held, "baseline", _record_time(cat)), 0)]
        else:
            recovered = settle(cat, held, entries, ledger)
            if recovered is not None:
                entries.append(recovered)
        self._entries = entries
        self._names = ledger.names()

    def referenced_parts(self) -> set:
        """The unstack parts that some generation's record lists."""
        return {p["file"] for e in self._entries or [] for p in e["record"].get("parts", ())}

    # -- the changes ------------------------------------------------------------------
    def mark(self, cat) -> None:
        """Announce the run before its first change to the folder."""
        if not self._spans_updates:
            return
        with self._lock:
            if self._marker is None:
                self._marker = _RunMarker(os.path.join(cat.path, FOLDER))

    def replacing(self, cat, grouping: str, partition: str, path: str, footer: dict,
                  new: str | None) -> None:
        """The current file of ``partition`` (its ``footer``) is about to be replaced by
        version ``new`` (None: deleted). A version some generation saw is kept first."""
        self.mark(cat)
        old = file_version(footer)
        with self._lock:  # one thread per partition: only the table is shared
            change = self.changes.get(partition)
        if change is None:
            _second_name(path, kept_pivot_path(cat.path, dates.folder_name(grouping, partition), old))
            with self._lock:
                self.changes[partition] = {"change": "replaced" if new else "removed",
                                           "old": old, "new": new}
            return
        if new is None:
            if change["change"] == "added":
                del self.changes[partition]
            else:
                change.update(change="removed", new=None)
        else:
            change["new"] = new
            if change["change"] == "removed":
                change["change"] = "replaced"

    def adding(self, cat, partition: str, new: str) -> None:
        self.mark(cat)
        with self._lock:
            change = self.changes.get(partition)
            if change is None:
                self.changes[partition] = {"change": "added", "old": None, "new": new}
            else:
                change.update(change="replaced" if change["old"] else "added", new=new)

    def table_changed(self, cat, had_parts: bool) -> None:
        """An unstack table got a new record (the commit of its parts)."""
        self.mark(cat)
        change = self.changes.get(UNSTACK_PARTITION)
        if change is None:
            self.changes[UNSTACK_PARTITION] = {
                "change": "replaced" if had_parts else "added", "old": None, "new": None}

    def note_hash(self, partition: str, published: str) -> None:
        self.hashes[partition] = published

    # -- the end ----------------------------------------------------------------------
    def commit(self, cat) -> dict | None:
        """Write the generation (under the lock), or nothing when no stored row changed."""
        try:
            if not self.changes:
                return None
            held = cat.read_record()
            if held is None:  # nothing committed: a first update that failed
                return None
            ledger = Ledger(cat.path, cat.name)
            known = self._entries is not None and ledger.names() == self._names
            entries = self._entries if known else ledger.entries()
            old_hashes = published_at(entries, 1 << 62)
            changes = {}
            for partition in sorted(self.changes):
                change = dict(self.changes[partition])
                if held.kind == "unstack":
                    change["old"] = change["new"] = None
                if change["change"] != "added" and partition in old_hashes:
                    change["old_hash"] = old_hashes[partition]
                if change["change"] != "removed" and partition in self.hashes:
                    change["new_hash"] = self.hashes[partition]
                changes[partition] = change
            entry = {"committed": now_text(), "mode": self.mode,
                     "record": held.to_json(cat.name), "changes": changes}
            latest = entries[-1]["generation"] if entries else 0
            return ledger.create(entry, latest)
        finally:
            self.close()

    def close(self) -> None:
        self.changes = {}
        self.hashes = {}
        self._entries = None
        if self._marker is not None:
            self._marker.close()
            self._marker = None


def _record_time(cat) -> str:
    """When a category stored before history was last written: its record's time."""
    stamp = os.stat(os.path.join(cat.path, "_store.json")).st_mtime
    return datetime.datetime.fromtimestamp(stamp, datetime.UTC).isoformat(timespec="microseconds")


def _current_versions(cat, held) -> dict:
    if held.kind == "unstack":
        return {UNSTACK_PARTITION: None}
    found = {}
    for path, _, _ in cat.partitions():
        key = dates.parse_folder(os.path.basename(os.path.dirname(path)))[1]
        found[key] = file_version(codec.StoredFile(path).footer)
    return found


def _snapshot(cat, held, mode: str, committed: str) -> dict:
    changes = {key: {"change": "added", "old": None, "new": version}
               for key, version in _current_versions(cat, held).items()}
    return {"committed": committed, "mode": mode, "record": held.to_json(cat.name),
            "changes": changes}


def settle(cat, held, entries, ledger: Ledger, writer_died: bool = False) -> dict | None:
    """The generation of what a writer that died left uncommitted (a run whose marker's
    lock is free, or, with ``writer_died``, an update that left the writer marker), or
    None. Runs under the exclusive lock."""
    dead = dead_runs(ledger.folder)
    recovered = None
    if entries and (dead or writer_died):
        recovered = recover(cat, held, entries, ledger)
    for path in dead:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
    return recovered


def recover(cat, held, entries, ledger: Ledger) -> dict | None:
    """The generation of what a run that died changed: the current files compared with
    what the ledger's latest generation holds."""
    latest = entries[-1]
    before = versions_at(entries, latest["generation"])
    now = _current_versions(cat, held) if held is not None else {}
    changes = {}
    for key in sorted(set(before) | set(now)):
        old, new = before.get(key, False), now.get(key, False)
        if held is not None and held.kind == "unstack":
            if held.to_json(cat.name) != latest["record"]:
                changes[key] = {"change": "replaced", "old": None, "new": None}
            continue
        if old is False:
            changes[key] = {"change": "added", "old": None, "new": new}
        elif new is False:
            changes[key] = {"change": "removed", "old": old, "new": None}
        elif old != new:
            changes[key] = {"change": "replaced", "old": old, "new": new}
    record_json = held.to_json(cat.name) if held is not None else latest["record"]
    if not changes and record_json == latest["record"]:
        return None
    entry = {"committed": now_text(), "mode": "recovered", "record": record_json,
             "changes": changes}
    return ledger.create(entry, latest["generation"])




# -- reading a generation -------------------------------------------------------------------
def entries_of(cat, held) -> list:
    """The ledger of a stored category; a category stored before history, not yet written
    since, reads as its one generation (not written: a reader never writes)."""
    entries = Ledger(cat.path, cat.name).entries()
    if not entries and held is not None:
        entries = [dict(_snapshot(cat, held, "baseline", _record_time(cat)), generation=1)]
    return entries


def count(cat) -> int:
    """How many generations of a stored category can be read (one before history)."""
    entries = Ledger(cat.path, cat.name).entries()
    first = first_readable(cat.path)
    return max(1, sum(1 for e in entries if e["generation"] >= first))




def generation_files(cat, entries, entry, kept_files=None):
    """A callable (lo, hi) -> the StoredFiles of ``entry``'s generation meeting [lo, hi),
    by date (as pivot_read wants them). ``kept_files``: see codec.stored_files."""
    grouping = entry["record"]["grouping"]
    held = versions_at(entries, entry["generation"])

    def files_in(lo, hi):
        chosen = []
        for partition, version in held.items():
            parsed = dates.parse_folder(dates.folder_name(grouping, partition))
            if parsed is not None and dates.overlaps(parsed[2], parsed[3], lo, hi):
                chosen.append((parsed[2], partition, version))
        chosen.sort()
        found = []
        for _, partition, version in chosen:
            stored = pivot_file(cat.path, grouping, partition, version, kept_files)
            if stored is None:
                raise LocalStorageError(
                    user_message=f"本地历史文件缺失: {cat.name} 第 {entry['generation']} 代 {partition}")
            found.append(stored)
        return found

    return files_in


def wanted_columns(columns):
    """``columns`` as a list of distinct texts (None stays None)."""
    if columns is None:
        return None
    if isinstance(columns, str) or not isinstance(columns, (list, tuple)):
        raise TypeError(f"columns must be a list of names, not {type(columns).__name__}")
    seen, twice = set(), []
    for name in columns:
        if name in seen and name not in twice:
            twice.append(name)
        seen.add(name)
    if twice:
        raise ValueError(f"columns: {twice!r} given more than once")
    return list(columns)


def refuse_unknown(category: str, columns, known) -> None:
    unknown = [name for name in columns if name not in known]
    if unknown:
        raise APIError(user_message=f"数据类别 {category} 从未有过这些列: {unknown!r}")


def history_bytes(cat_path: str) -> int:
    folder = os.path.join(cat_path, FOLDER)
    return sum(os.path.getsize(os.path.join(d, name))
               for d, _, names in os.walk(folder) for name in names)
