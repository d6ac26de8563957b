"""Pruning: the history that no kept generation reads goes, decided from the ledger alone;
the latest generation (the current data) always stays."""

from __future__ import annotations

import contextlib
import datetime
import os

from . import dates, files
from .history import kept_part_path, kept_pivot_path
from .ledger import FOLDER, PRUNED, first_readable, versions_at


def needed_files(cat_path: str, entries, first: int) -> set:
    """The paths under _history that generations ``first`` to the latest read."""
    needed = set()
    record = entries[-1]["record"] if entries else {}
    if record.get("kind") == "unstack":
        for entry in entries:
            if entry["generation"] >= first:
                needed.update(kept_part_path(cat_path, p["file"]) for p in entry["record"]["parts"])
        return needed
    grouping = record.get("grouping")
    held = versions_at(entries, first)
    wanted = set(held.items())
    for entry in entries:
        if entry["generation"] > first:
            wanted.update((p, c["new"]) for p, c in entry["changes"].items() if c["new"])
    for partition, version in wanted:
        needed.add(kept_pivot_path(cat_path, dates.folder_name(grouping, partition), version))
    return needed


def kept_paths(cat_path: str) -> list:
    """Every kept data file under _history (pivot versions and unstack parts)."""
    folder = os.path.join(cat_path, FOLDER)
    found = []
    for d, _, names in os.walk(folder):
        found.extend(os.path.join(d, n) for n in names
                     if n.endswith(".parquet") and not n.startswith("."))
    return sorted(found)


def prune_plan(cat, entries, keep_generations=None, older_than_days=None, now=None) -> dict:
    """What pruning would remove: the generations no longer readable and the kept files
    that no remaining generation reads, decided from the ledger alone. The latest
    generation (the current data) always stays."""
    if not entries:
        return {"first": 1, "generations": [], "files": []}
    latest = entries[-1]["generation"]
    first = first_readable(cat.path)
    if keep_generations is not None:
        target = max(first, latest - keep_generations + 1)
    else:
        now = now or datetime.datetime.now(datetime.UTC)
        cutoff = now - datetime.timedelta(days=older_than_days)
        recent = [e["generation"] for e in entries
                  if datetime.datetime.fromisoformat(e["committed"]) >= cutoff]
        target = max(first, min(recent) if recent else latest)
    needed = needed_files(cat.path, entries, target)
    drop = [p for p in kept_paths(cat.path) if p not in needed]
    gone = [e["generation"] for e in entries if first <= e["generation"] < target]
    return {"first": target, "generations": gone, "files": drop}


def prune(cat, plan: dict) -> None:
    """Carry ``plan`` out: the first readable generation is recorded first, then the files
    go (a prune that dies is finished by the next one: the record says what stays)."""
    if plan["first"] > first_readable(cat.path):
        files.write_json(os.path.join(cat.path, FOLDER, PRUNED), {"first": plan["first"]})
    folders = set()
    for path in plan["files"]:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        folders.add(os.path.dirname(path))
    for folder in sorted(folders, reverse=True):
        if folder != os.path.join(cat.path, FOLDER):
            with contextlib.suppress(OSError):  # still holds files another generation reads
                os.rmdir(folder)
    if folders:
        files.fsync_dir(os.path.join(cat.path, FOLDER))
