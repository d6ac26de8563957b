"""The ledger of a category's generations: one JSON entry per generation in ``_history/``,
created exclusively, and which generation an ``as_of`` names (see history.py for what an
entry holds)."""

from __future__ import annotations

import contextlib
import datetime
import errno
import json
import os
import tempfile

from ..exceptions import APIError, CategoryNotFoundError, LocalStorageError
from . import files, record as records

FOLDER = "_history"
_ENTRY_PREFIX, _ENTRY_SUFFIX = "gen-", ".json"


def now_text() -> str:
    return datetime.datetime.now(datetime.UTC).isoformat(timespec="microseconds")


def _entry_name(number: int) -> str:
    return f"{_ENTRY_PREFIX}{number:08d}{_ENTRY_SUFFIX}"


def _entry_number(name: str) -> int | None:
    if name.startswith(_ENTRY_PREFIX) and name.endswith(_ENTRY_SUFFIX):
        digits = name[len(_ENTRY_PREFIX):-len(_ENTRY_SUFFIX)]
        if digits.isdigit():
            return int(digits)
    return None


class Ledger:
    """The generations of one category folder (``path``: the category folder)."""

    def __init__(self, path: str, name: str):
        self.folder = os.path.join(path, FOLDER)
        self._name = name

    def names(self) -> set:
        try:
            return {n for n in os.listdir(self.folder) if _entry_number(n) is not None}
        except FileNotFoundError:
            return set()

    def entries(self) -> list:
        """Every entry, by generation."""
        try:
            names = os.listdir(self.folder)
        except FileNotFoundError:
            return []
        found = []
        for name in names:
            number = _entry_number(name)
            if number is None:
                continue
            entry = files.read_json(os.path.join(self.folder, name))
            if not isinstance(entry, dict) or entry.get("generation") != number:
                raise LocalStorageError(user_message="本地历史记录已损坏: " + self._name,
                                        detail=name)
            found.append(entry)
        found.sort(key=lambda e: e["generation"])
        return found

    def create(self, entry: dict, after: int) -> dict:
        """Add ``entry`` as the first free generation after ``after``. The entry file is
        written and synced under a temporary name, then linked to its final name: a link
        never replaces a file, so an existing generation is never overwritten."""
        files.make_dir(self.folder)
        number = after + 1
        while True:
            entry = dict(entry, generation=number)
            data = json.dumps(entry, ensure_ascii=False, separators=(",", ":")).encode()
            if self._link_new(_entry_name(number), data):
                return entry
            number += 1

    def _link_new(self, name: str, data: bytes) -> bool:
        final = os.path.join(self.folder, name)
        fd, tmp = tempfile.mkstemp(prefix=files.TEMP_PREFIX, dir=self.folder)
        try:
            with open(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(fd)
            try:
                os.link(tmp, final)
            except FileExistsError:
                return False
            except OSError as e:
                if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP):
                    raise
                # No hard links here: an exclusive create holds the name first.
                try:
                    fd = os.open(final, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
                except FileExistsError:
                    return False
                os.close(fd)
                os.replace(tmp, final)
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
        files.fsync_dir(self.folder)
        return True


def versions_at(entries, generation: int) -> dict:
    """{partition: version} of the partitions that ``generation`` held."""
    held = {}
    for entry in entries:
        if entry["generation"] > generation:
            break
        for partition, change in entry["changes"].items():
            if change["change"] == "removed":
                held.pop(partition, None)
            else:
                held[partition] = change["new"]
    return held


def published_at(entries, generation: int) -> dict:
    """{partition: published hash} as of ``generation``, where the client gave one."""
    hashes = {}
    for entry in entries:
        if entry["generation"] > generation:
            break
        for partition, change in entry["changes"].items():
            if change["change"] == "removed":
                hashes.pop(partition, None)
            elif change.get("new_hash"):
                hashes[partition] = change["new_hash"]
    return hashes


def check_as_of(as_of):
    """Refuse an ``as_of`` that names no generation in any category: TypeError for another
    type, ValueError for a naive time, text that is not ISO 8601 with an offset, or 0."""
    if as_of is None:
        return
    if isinstance(as_of, int) and not isinstance(as_of, bool):
        if as_of == 0:
            raise ValueError("as_of: generations count from 1 (or back from -1, the latest), not 0")
        return
    parse_moment(as_of)


def choose(entries, as_of, name: str) -> dict:
    """The entry that ``as_of`` names: an int generation (negative from the latest), or an
    aware datetime / ISO 8601 text with an offset (the latest committed at or before it)."""
    check_as_of(as_of)
    if not entries:
        raise CategoryNotFoundError("数据类别没有历史版本: " + name)
    if isinstance(as_of, int):
        latest = entries[-1]["generation"]
        number = latest + 1 + as_of if as_of < 0 else as_of
        for entry in entries:
            if entry["generation"] == number:
                return entry
        raise APIError(user_message=f"数据类别 {name} 的历史版本为第 1 至 {latest} 代，没有 {as_of}")
    moment = parse_moment(as_of)
    chosen = None
    for entry in entries:
        if datetime.datetime.fromisoformat(entry["committed"]) <= moment:
            chosen = entry
    if chosen is None:
        raise CategoryNotFoundError(
            f"数据类别在 {moment.isoformat()} 之前没有历史版本: {name} "
            f"(first generation committed {entries[0]['committed']})")
    return chosen


def parse_moment(as_of) -> datetime.datetime:
    if isinstance(as_of, str):
        try:
            moment = datetime.datetime.fromisoformat(as_of)
        except ValueError:
            raise ValueError(f"as_of must be ISO 8601 text with an offset, not {as_of!r}") from None
    elif isinstance(as_of, datetime.datetime):
        moment = as_of
    else:
        raise TypeError("as_of must be a timezone-aware datetime, ISO 8601 text with an "
                        f"offset or an int generation, not {type(as_of).__name__}")
    if moment.tzinfo is None or moment.utcoffset() is None:
        raise ValueError("as_of must carry a time zone (a naive time means different moments "
                         "in different time zones): give an aware datetime or an offset such "
                         "as '+00:00'")
    return moment


def stored_record(entry: dict, name: str):
    return records.from_json(entry["record"], name)


PRUNED = "pruned.json"  # {"first": the first generation still readable}


def first_readable(cat_path: str) -> int:
    held = files.read_json(os.path.join(cat_path, FOLDER, PRUNED))
    return held.get("first", 1) if isinstance(held, dict) else 1


def readable(cat, entries) -> list:
    """The entries whose generation can still be read (pruning drops the earliest)."""
    first = first_readable(cat.path)
    return [e for e in entries if e["generation"] >= first]


def check_readable(cat, entry) -> None:
    if entry["generation"] < first_readable(cat.path):
        raise CategoryNotFoundError(
            f"数据类别 {cat.name} 的第 {entry['generation']} 代已清理 (pruned)")
