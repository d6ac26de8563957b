"""The commands. Each returns its exit code; failures raise (see main)."""

from __future__ import annotations

import contextlib
import json
import os
import sys
import tempfile
import time

from ..CorvaneClient import CorvaneClient
from ..exceptions import CorvaneError, LocalStorageError, SyncError
from ..ParquetManager import ParquetDataManager
from . import exit_codes
from .exit_codes import CommandError
from .options import api_token, storage_path
from .report import ReportingClient


def _client(args, cls=CorvaneClient):
    # The command prints each failure once, with its code; the library need not log it too.
    return cls(api_token(args), storage_path(args), api_url=args.api_url,
               log_level=args.log_level, display_errors=False)


def _print_json(value) -> None:
    print(json.dumps(value, ensure_ascii=False))


def _print_table(rows: list[list], header: list[str]) -> None:
    cells = [header] + [["-" if v is None else str(v) for v in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    for row in cells:
        print("  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip())


@contextlib.contextmanager
def _run_lock(store: ParquetDataManager, wait: bool):
    """Hold the storage root's run lock; a second run waits (saying so) or gives up."""
    lock = store.run_lock()
    if not lock.acquire(wait=False):
        busy = f"another corvane run is using {store.save_path}"
        if not wait:
            raise CommandError(busy + "; not waiting (--no-wait)", exit_codes.LOCKED)
        print(f"corvane: {busy}; waiting for it to finish", file=sys.stderr, flush=True)
        lock.acquire()
    try:
        yield
    finally:
        lock.release()


# -- update ------------------------------------------------------------------------------
def update(args) -> int:
    store = ParquetDataManager(storage_path(args))
    with _run_lock(store, wait=not args.no_wait), _client(args, ReportingClient) as client:
        started = time.monotonic()
        failure = None
        try:
            client.UpdateAllCategory(args.mode)
        except CorvaneError as e:
            failure = e
        report = {"mode": args.mode, "seconds": round(time.monotonic() - started, 3),
                  "categories": client.report.categories()}
    if failure is not None:
        report["error"] = {"code": failure.code, "message": failure.user_message}
    if args.json:
        _print_json(report)
    elif report["categories"]:
        _print_table([[c["name"], c["status"], c["partitions_downloaded"],
                       c["partitions_skipped"], c["bytes"]] for c in report["categories"]],
                     ["category", "status", "downloaded", "skipped", "bytes"])
    if failure is not None:
        if isinstance(failure, SyncError):
            failure = _storage_failure(report["categories"]) or failure
        raise failure
    return exit_codes.OK


def _storage_failure(categories: list[dict]) -> LocalStorageError | None:
    """The first category failure of the local storage (a full disk, say): it, not the
    count of failed categories, is what the run's end reports, since every category that
    follows meets it too."""
    for entry in categories:
        error = entry.get("error")
        if error is not None and error["code"] == LocalStorageError.default_code:
            return LocalStorageError(user_message=error["message"])
    return None


# -- status ------------------------------------------------------------------------------
def _remote_state(client: CorvaneClient, category: str) -> dict:
    """The partitions of an authorised category that the store lacks (``missing``), holds
    without a matching hash record (``changed``), or holds although the service no longer
    lists them (``dropped``); reads metadata only and writes nothing."""
    store = client.CV_db
    if client._validate_category_name(category) == "pivot":
        keys = client._get_category_meta(category).get("partition_keys") or []
        partitions = [client._validate_partition_name(key) for key in keys]
    else:
        partitions = ["full"]  # an unstack category is one partition
    missing, changed = [], []
    for partition in partitions:
        # Held as an update that fetches only what changed decides (rows and a matching
        # hash record, or stored without rows).
        meta = client._get_partition_meta(category, partition)
        if not client._partition_held(category, partition, meta):
            (changed if store.holds_partition(category, partition) else missing).append(partition)
    return {"missing": missing, "changed": changed,
            "dropped": store.unlisted_partitions(category, partitions)}


def _remote_states(client: CorvaneClient) -> dict:
    try:
        return {name: _remote_state(client, name) for name in client.ListCategories()}
    except CorvaneError:
        raise
    except Exception as e:  # malformed metadata: the client's own public form
        raise client._as_corvane_error(e) from None


_NOT_HELD = {"kind": None, "partitions": 0, "first": None, "last": None, "bytes": 0,
             "generations": 0, "history_bytes": 0}


_REMOTE_FIELDS = ("missing", "changed", "dropped")


def status(args) -> int:
    if args.remote:
        with _client(args) as client:  # its store is the one read: one store per command
            store = client.CV_db
            remote = _remote_states(client)
            entries = _status_entries(store, remote, True)
    else:
        entries = _status_entries(ParquetDataManager(storage_path(args)), {}, False)
    if args.json:
        _print_json({"categories": entries})
        return exit_codes.OK
    header = ["category", "partitions", "first", "last", "bytes", "generations", "history_bytes"]
    columns = ["name", "partitions", "first", "last", "bytes", "generations", "history_bytes"]
    if args.remote:
        header += list(_REMOTE_FIELDS)
    rows = []
    for entry in entries:
        row = [entry[c] for c in columns]
        if args.remote:
            row += [None if entry[f] is None else len(entry[f]) for f in _REMOTE_FIELDS]
        rows.append(row)
    _print_table(rows, header)
    return exit_codes.OK


def _status_entries(store: ParquetDataManager, remote: dict, with_remote: bool) -> list[dict]:
    local = store._get_all_categories()
    entries = []
    for name in sorted(set(local) | set(remote)):
        stats = store.category_stats(name) if name in local else None
        entry = {"name": name, "folder": store.category_folder(name), "local": stats is not None,
                 **(stats or _NOT_HELD)}
        if with_remote:
            state = remote.get(name)
            for field in _REMOTE_FIELDS:
                entry[field] = state and state[field]
        entries.append(entry)
    return entries


# -- list --------------------------------------------------------------------------------
def list_categories(args) -> int:
    if args.local:
        names = ParquetDataManager(storage_path(args))._get_all_categories()
    else:
        with _client(args) as client:
            names = client.ListCategories()
    if args.json:
        _print_json({"categories": names})
    else:
        for name in names:
            print(name)
    return exit_codes.OK


# -- get ---------------------------------------------------------------------------------
def _write_frame(frame, out: str) -> None:
    """Write ``frame`` to ``out`` whole or not at all (a temporary file renamed over it)."""
    target = os.path.abspath(out)
    try:
        fd, tmp = tempfile.mkstemp(prefix=".corvane-", dir=os.path.dirname(target))
        os.close(fd)
        try:
            if target.lower().endswith(".csv"):
                frame.to_csv(tmp)
            else:
                frame.to_parquet(tmp)  # the index is kept (a plain RangeIndex as metadata)
            os.replace(tmp, target)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise
    except OSError as e:
        raise LocalStorageError.from_os_error(
            e, user_message=f"cannot write {out}: {e.strerror}") from None


def _stored(store: ParquetDataManager, category: str) -> dict:
    stats = store.category_stats(category)
    if stats is None:
        raise CommandError(f"{category} is not stored in {store.save_path}", exit_codes.USAGE)
    return stats


def get(args) -> int:
    if args.as_of is not None:  # the past is in the store alone: no session
        store = ParquetDataManager(storage_path(args))
        chosen = {"as_of": args.as_of, "columns": args.columns}
        if _stored(store, args.category)["kind"] == "pivot":
            frame = store.read_pivot_category(args.category, args.start, args.end, **chosen)
        else:
            frame = store.read_unstack_category(args.category, **chosen)
    else:
        with _client(args) as client:
            frame = client.GetCategory(args.category, args.start, args.end, columns=args.columns)
    _write_frame(frame, args.out)
    return exit_codes.OK


# -- history -----------------------------------------------------------------------------
def _jsonable(frame) -> list:
    rows = frame.to_dict("records")
    for row in rows:
        row["committed"] = row["committed"].isoformat()
    return rows


def show_history(args) -> int:
    store = ParquetDataManager(storage_path(args))
    _stored(store, args.category)
    generations = store.list_category_history(args.category)
    if args.json:
        details = store.list_category_history(args.category, details=True)
        by_generation = {}
        for row in _jsonable(details):
            by_generation.setdefault(row.pop("generation"), []).append(
                {k: row[k] for k in ("partition", "change", "old_version", "new_version",
                                     "old_hash", "new_hash")})
        entries = _jsonable(generations)
        for entry in entries:
            entry["partitions"] = by_generation.get(entry["generation"], [])
        _print_json({"category": args.category, "generations": entries})
        return exit_codes.OK
    rows = [[g.generation, g.committed.isoformat(), g.mode, len(g.added), len(g.replaced),
             len(g.removed)] for g in generations.itertuples()]
    _print_table(rows, ["generation", "committed (UTC)", "mode", "added", "replaced", "removed"])
    return exit_codes.OK


# -- prune -------------------------------------------------------------------------------
def prune(args) -> int:
    store = ParquetDataManager(storage_path(args))
    if args.all:
        names = store._get_all_categories()
    else:
        _stored(store, args.category)
        names = [args.category]
    rows = []
    for name in names:
        done = store.prune_history(name, keep_generations=args.keep_generations,
                                   older_than_days=args.older_than, dry_run=args.dry_run)
        rows.append([name, len(done["generations"]), done["files"], done["bytes"]])
    verb = "would remove" if args.dry_run else "removed"
    _print_table(rows, ["category", "generations no longer readable", f"files {verb}",
                        f"bytes {verb}"])
    return exit_codes.OK


COMMANDS = {"update": update, "status": status, "list": list_categories, "get": get,
            "history": show_history, "prune": prune}
