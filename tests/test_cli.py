"""The corvane command, end to end: each run is a subprocess against the local service."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import shutil
import struct
import subprocess
import sys
import termios
import threading

import pandas as pd
import pytest

from corvane.cli.report import ReportingClient, UpdateReport
from corvane.exceptions import SerializationError
from corvane.ParquetManager import ParquetDataManager
from corvane import CorvaneClient
from corvane.testing import (data_key_for, free_port, parquet_bytes, synthetic_pivot,
                             synthetic_unstack)
from helpers import running_service

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

MONTHLY = "cn_stock_pivot#close"
DAILY = "cn_index_pivot#open"
UNSTACK = "cn_trade_unstack#deal"
_OWN_VARIABLES = ("CORVANE_API_TOKEN", "CORVANE_API_URL", "CORVANE_SAVE_PATH")


def corvane(*args, token=None, url=None, stderr=subprocess.PIPE, secrets=(), **popen):
    """Run the command with only the variables given (no token, URL or path inherited);
    nothing in ``secrets`` may show in its output."""
    env = {k: v for k, v in os.environ.items() if k not in _OWN_VARIABLES}
    if token is not None:
        env["CORVANE_API_TOKEN"] = token
    if url is not None:
        env["CORVANE_API_URL"] = url
    result = subprocess.run([sys.executable, "-m", "corvane", *args], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=stderr, timeout=300, **popen)
    for secret in secrets:
        assert secret not in result.stdout and secret not in (result.stderr or "")
    return result


def publish_market(publisher) -> dict:
    frames = {
        MONTHLY: synthetic_pivot("2024-01-01", "2024-03-31", 6),
        DAILY: synthetic_pivot("2024-02-05", "2024-02-09", 4, seed=1),
        UNSTACK: synthetic_unstack(200),
    }
    publisher.publish_pivot(MONTHLY, frames[MONTHLY], partition_mode="monthly")
    publisher.publish_pivot(DAILY, frames[DAILY], partition_mode="daily")
    publisher.publish_unstack(UNSTACK, frames[UNSTACK], duplicate_keys=["date", "code"])
    return frames


def payload_bytes(service, category) -> tuple[int, int]:
    """(partitions, payload bytes) as published."""
    meta = json.loads(service.publisher.get_raw("corvane:meta:category:" + category))
    keys = meta["partition_keys"]
    return len(keys), sum(len(service.publisher.get_raw(data_key_for(category, p))) for p in keys)


def files_under(folder) -> dict:
    """Every file under ``folder`` with its size and modification time."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            info = os.stat(os.path.join(root, name))
            found[os.path.relpath(os.path.join(root, name), folder)] = (info.st_size,
                                                                        info.st_mtime_ns)
    return found


def last_line(result) -> str:
    return result.stderr.rstrip("\n").splitlines()[-1]


@pytest.fixture(scope="module")
def market():
    with running_service(categories=[]) as svc:
        publish_market(svc.publisher)
        yield svc


@pytest.fixture(scope="module")
def updated(market, tmp_path_factory):
    """A store filled by one full update; (its path, the run)."""
    path = str(tmp_path_factory.mktemp("cli") / "store")
    run = corvane("--path", path, "update", "--mode", "full", "--json", token=market.token,
                  url=market.url)
    return path, run


# ---------------------------------------------------------------- update

def test_full_update_reports_each_category_without_secrets_or_bars(market, updated):
    path, run = updated
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["mode"] == "full" and report["seconds"] >= 0
    expected = []
    for name in sorted([MONTHLY, DAILY, UNSTACK]):
        partitions, size = payload_bytes(market, name)
        expected.append({"name": name, "status": "ok", "partitions_downloaded": partitions,
                         "partitions_skipped": 0, "bytes": size})
    assert report["categories"] == expected
    assert "数据更新完成" in run.stderr          # the library's log lines, on stderr
    assert "%|" not in run.stderr               # no progress bar off a terminal
    for secret in market.secrets():
        assert secret not in run.stdout and secret not in run.stderr
        for folder, _, names in os.walk(path):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    assert secret.encode() not in f.read()


def test_incremental_update_with_the_token_from_a_file(market, updated, tmp_path):
    path, _ = updated
    token_file = tmp_path / "token"
    token_file.write_text(market.token + "\nnot the token\n")
    run = corvane("--path", path, "--token-file", str(token_file), "--api-url", market.url,
                  "update", "--mode", "incremental", "--json", secrets=market.secrets())
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["mode"] == "incremental"
    # The pivot histories end long before the 60-day window; the unstack one is always whole.
    assert [(c["name"], c["partitions_downloaded"]) for c in report["categories"]] == [
        (DAILY, 0), (MONTHLY, 0), (UNSTACK, 1)]


def test_a_failing_category_exits_1_and_is_named(service, tmp_path):
    publish_market(service.publisher)
    broken = "cn_bond_pivot#yield"
    frame = synthetic_pivot("2024-01-02", "2024-01-05", 3, seed=3)
    service.publisher.publish_partition(broken, "2024-01", parquet_bytes(frame),
                                        hash="sha256:" + "0" * 64)
    service.publisher.publish_category_meta(broken, partition_mode="monthly",
                                            partition_keys=["2024-01"])
    run = corvane("--path", str(tmp_path), "update", "--mode", "full", "--json",
                  token=service.token, url=service.url, secrets=service.secrets())
    assert run.returncode == 1, run.stderr
    report = json.loads(run.stdout)
    by_name = {c["name"]: c for c in report["categories"]}
    assert by_name[broken] == {
        "name": broken, "status": "failed", "partitions_downloaded": 0,
        "partitions_skipped": 0, "bytes": len(service.publisher.get_raw(
            data_key_for(broken, "2024-01"))),
        "error": {"code": SerializationError.default_code,
                  "message": SerializationError.default_user_message}}
    assert all(by_name[n]["status"] == "ok" for n in (MONTHLY, DAILY, UNSTACK))
    assert report["error"]["code"] == "SYNC_INCOMPLETE"
    assert last_line(run).startswith("corvane: ") and "(SYNC_INCOMPLETE)" in last_line(run)


def restate(publisher, category, partition, frame) -> None:
    """Publish new rows for one partition of a published category (its metadata stays)."""
    publisher.publish_partition(category, partition, parquet_bytes(frame))


def test_default_update_fetches_only_what_changed(service, tmp_path):
    frames = publish_market(service.publisher)
    path = str(tmp_path / "store")
    assert corvane("--path", path, "update", "--mode", "full", token=service.token,
                   url=service.url).returncode == 0
    restate(service.publisher, MONTHLY, "2024-02", frames[MONTHLY].loc["2024-02"] + 1.0)
    run = corvane("--path", path, "update", "--json", token=service.token, url=service.url)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["mode"] == "changed"
    assert [(c["name"], c["partitions_downloaded"], c["partitions_skipped"])
            for c in report["categories"]] == [(DAILY, 0, 5), (MONTHLY, 1, 2), (UNSTACK, 0, 1)]


def test_a_second_update_waits_for_the_first_or_exits_6(market, tmp_path):
    path = str(tmp_path / "store")
    first = ParquetDataManager(path).run_lock()
    assert first.acquire(wait=False)
    try:
        refused = corvane("--path", path, "update", "--no-wait", token=market.token,
                          url=market.url)
        assert refused.returncode == 6
        assert refused.stderr.splitlines() == [
            f"corvane: another corvane run is using {path}; not waiting (--no-wait)"]
        env = {k: v for k, v in os.environ.items() if k not in _OWN_VARIABLES}
        env["CORVANE_API_TOKEN"] = market.token
        waiting = subprocess.Popen(
            [sys.executable, "-m", "corvane", "--path", path, "--api-url", market.url,
             "update", "--mode", "full", "--json"],
            env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # Its first words say that it waits; nothing else happens until the lock is free.
        assert waiting.stderr.readline() == (
            f"corvane: another corvane run is using {path}; waiting for it to finish\n")
        assert ParquetDataManager(path)._get_all_categories() == []
    finally:
        first.release()
    out, _ = waiting.communicate(timeout=300)
    assert waiting.returncode == 0
    assert [c["status"] for c in json.loads(out)["categories"]] == ["ok"] * 3


def test_progress_bars_show_on_a_terminal(market, tmp_path):
    controller, terminal = pty.openpty()
    # A new terminal is 0 columns wide, where tqdm draws nothing.
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        run = corvane("--path", str(tmp_path), "update", "--mode", "full", token=market.token,
                      url=market.url, stderr=terminal)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's other end is closed: everything is read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    assert run.returncode == 0
    assert "同步 " + MONTHLY in shown.decode() and "%|" in shown.decode()


# ---------------------------------------------------------------- status, list, get

def test_status_and_local_list_need_no_token(updated):
    path, _ = updated
    run = corvane("--path", path, "status", "--json")
    assert run.returncode == 0, run.stderr
    entries = json.loads(run.stdout)["categories"]
    assert [e["name"] for e in entries] == sorted([MONTHLY, DAILY, UNSTACK])
    by_name = {e["name"]: e for e in entries}
    assert by_name[MONTHLY] == {
        "name": MONTHLY, "folder": os.path.join(path, MONTHLY), "local": True, "kind": "pivot",
        "partitions": 3, "first": "2024-01-01", "last": "2024-03-29",
        "bytes": ParquetDataManager(path).category_stats(MONTHLY)["bytes"], "generations": 1,
        "history_bytes": ParquetDataManager(path).category_stats(MONTHLY)["history_bytes"]}
    assert by_name[DAILY]["partitions"] == 5 and by_name[DAILY]["last"] == "2024-02-09"
    assert by_name[UNSTACK]["kind"] == "unstack" and by_name[UNSTACK]["first"] is None
    listed = corvane("--path", path, "list", "--local", "--json")
    assert json.loads(listed.stdout) == {"categories": sorted([MONTHLY, DAILY, UNSTACK])}


def test_remote_status_names_missing_changed_and_dropped_partitions(service, tmp_path):
    frames = publish_market(service.publisher)
    # A month published without rows is held once stored, as an update would decide.
    service.publisher.publish_partition(MONTHLY, "2024-04", parquet_bytes(frames[MONTHLY].iloc[:0]))
    service.publisher.publish_category_meta(MONTHLY, partition_mode="monthly", partition_keys=[
        "2024-01", "2024-02", "2024-03", "2024-04"])
    path = str(tmp_path / "store")
    assert corvane("--path", path, "update", "--mode", "full", token=service.token,
                   url=service.url).returncode == 0
    late = "cn_fund_pivot#nav"
    service.publisher.publish_pivot(late, synthetic_pivot("2024-01-02", "2024-02-28", 2))
    restate(service.publisher, MONTHLY, "2024-02", frames[MONTHLY].loc["2024-02"] + 1.0)
    shutil.rmtree(os.path.join(path, MONTHLY, "month=2024-01"))       # a record, no rows
    with CorvaneClient(api_token=service.token, save_path=path, api_url=service.url) as client:
        os.unlink(client._get_hash_path(MONTHLY, "2024-03"))          # rows, no record
    days = json.loads(service.publisher.get_raw("corvane:meta:category:" + DAILY))["partition_keys"]
    service.publisher.publish_category_meta(DAILY, partition_mode="daily", partition_keys=days[1:])
    held = files_under(path)

    run = corvane("--path", path, "status", "--remote", "--json", token=service.token,
                  url=service.url, secrets=service.secrets())
    assert run.returncode == 0, run.stderr
    by_name = {e["name"]: e for e in json.loads(run.stdout)["categories"]}
    remote = lambda name: tuple(by_name[name][f] for f in ("missing", "changed", "dropped"))
    assert remote(MONTHLY) == (["2024-01"], ["2024-02", "2024-03"], [])
    assert remote(DAILY) == ([], [], [days[0]])                      # its rows stay
    assert remote(UNSTACK) == ([], [], [])
    assert by_name[late] == {
        "name": late, "folder": os.path.join(path, late), "local": False, "kind": None,
        "partitions": 0, "first": None, "last": None, "bytes": 0, "generations": 0,
        "history_bytes": 0, "missing": ["2024-01", "2024-02"], "changed": [], "dropped": []}
    # Metadata only: nothing was downloaded or stored.
    assert files_under(path) == held
    table = corvane("--path", path, "status", "--remote", token=service.token, url=service.url)
    assert table.stdout.splitlines()[0].split()[-3:] == ["missing", "changed", "dropped"]


@pytest.mark.parametrize("store", ["new", "stored, records deleted"])
def test_remote_status_writes_nothing(market, updated, tmp_path, store):
    path = str(tmp_path / "store")
    os.mkdir(path)
    if store != "new":
        shutil.copytree(updated[0], path, dirs_exist_ok=True)
        shutil.rmtree(os.path.join(path, "_corvane_meta_hash"))
    held = files_under(path), sorted(os.listdir(path))
    run = corvane("--path", path, "status", "--remote", "--json", token=market.token,
                  url=market.url)
    assert run.returncode == 0, run.stderr
    partitions = {MONTHLY: ["2024-01", "2024-02", "2024-03"],
                  DAILY: [f"2024-02-0{d}" for d in range(5, 10)], UNSTACK: ["full"]}
    # Rows without their hash records are changed; a new store misses everything.
    field = "missing" if store == "new" else "changed"
    assert {e["name"]: e[field] for e in json.loads(run.stdout)["categories"]} == partitions
    assert (files_under(path), sorted(os.listdir(path))) == held


def test_get_writes_parquet_with_its_index_and_csv_with_it_first(updated, market, tmp_path):
    path, _ = updated
    store = ParquetDataManager(path)
    outputs = {}
    for category, name, dates in ((MONTHLY, "m.parquet", ["--start", "2024-02-01"]),
                                  (MONTHLY, "m.csv", ["--end", "2024-01-31"]),
                                  (UNSTACK, "u.parquet", [])):
        out = str(tmp_path / name)
        run = corvane("--path", path, "get", category, *dates, "--out", out,
                      token=market.token, url=market.url, secrets=market.secrets())
        assert run.returncode == 0, run.stderr
        outputs[name] = out
    pd.testing.assert_frame_equal(pd.read_parquet(outputs["m.parquet"]),
                                  store.read_pivot_category(MONTHLY, "2024-02-01", None))
    pd.testing.assert_frame_equal(pd.read_parquet(outputs["u.parquet"]),
                                  store.read_unstack_category(UNSTACK))
    expected = store.read_pivot_category(MONTHLY, None, "2024-01-31")
    written = pd.read_csv(outputs["m.csv"], index_col=0, parse_dates=True)
    assert written.index.name == expected.index.name == "date"
    pd.testing.assert_frame_equal(written, expected, check_freq=False, check_index_type=False)
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]  # no temporary left


def test_history_get_as_of_and_prune(service, tmp_path):
    frames = publish_market(service.publisher)
    path = str(tmp_path / "store")
    assert corvane("--path", path, "update", "--mode", "full", token=service.token,
                   url=service.url).returncode == 0
    store = ParquetDataManager(path)
    first = store.read_pivot_category(MONTHLY)
    restate(service.publisher, MONTHLY, "2024-02", frames[MONTHLY].loc["2024-02"] * 2.0)
    assert corvane("--path", path, "update", token=service.token, url=service.url).returncode == 0

    # No token from here on: history lives in the store.
    shown = corvane("--path", path, "history", MONTHLY)
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    assert lines[0].split()[:4] == ["generation", "committed", "(UTC)", "mode"]
    assert [line.split()[0] for line in lines[1:]] == ["1", "2"] and "changed" in lines[2]
    listed = json.loads(corvane("--path", path, "history", MONTHLY, "--json").stdout)
    assert [g["replaced"] for g in listed["generations"]] == [[], ["2024-02"]]
    [partition] = listed["generations"][1]["partitions"]
    assert partition["partition"] == "2024-02" and partition["new_hash"].startswith("sha256:")

    out = str(tmp_path / "old.parquet")
    chosen = list(first.columns[[3, 0]])
    run = corvane("--path", path, "get", MONTHLY, "--as-of", "1", "--columns", ",".join(chosen),
                  "--start", "2024-02-01", "--out", out)
    assert run.returncode == 0, run.stderr
    pd.testing.assert_frame_equal(pd.read_parquet(out), first.loc["2024-02-01":, chosen])
    naive = corvane("--path", path, "get", MONTHLY, "--as-of", "2024-05-01T00:00", "--out", out)
    assert naive.returncode == 2 and "time zone" in naive.stderr

    status = json.loads(corvane("--path", path, "status", "--json").stdout)
    by_name = {e["name"]: e for e in status["categories"]}
    assert by_name[MONTHLY]["generations"] == 2 and by_name[MONTHLY]["history_bytes"] > 0

    dry = corvane("--path", path, "prune", "--all", "--keep-generations", "1", "--dry-run")
    assert dry.returncode == 0, dry.stderr
    assert ParquetDataManager(path).read_pivot_category(MONTHLY, as_of=1).equals(first)
    pruned = corvane("--path", path, "prune", MONTHLY, "--keep-generations", "1")
    assert pruned.returncode == 0, pruned.stderr
    assert [line.split()[:3] for line in pruned.stdout.splitlines()[1:]] == [[MONTHLY, "1", "1"]]
    gone = corvane("--path", path, "get", MONTHLY, "--as-of", "1", "--out", out)
    assert gone.returncode == 2 and "pruned" in gone.stderr
    both = corvane("--path", path, "prune", MONTHLY, "--keep-generations", "1", "--older-than", "3")
    assert both.returncode == 2


# ---------------------------------------------------------------- failures

REFUSED_TOKEN = "tok-refused-0123456789abcdef"


@pytest.mark.parametrize("token, args, code, said", [
    (None, ["list"], 2, "set CORVANE_API_TOKEN or give --token-file FILE"),
    (None, ["--token-file", "{empty}", "list"], 2, "has no token on its first line"),
    (None, ["--token-file", "{tmp}/none", "list"], 2, "cannot read the token file"),
    (REFUSED_TOKEN, ["list"], 3, "(AUTH_INVALID)"),
    ("good", ["--api-url", "http://127.0.0.1:{port}", "list"], 4, "(NETWORK_ERROR)"),
    ("good", ["get", "cn_none_pivot#x", "--out", "{tmp}/x.csv"], 2, "(CATEGORY_NOT_FOUND)"),
    ("good", ["--path", "{empty}", "update", "--mode", "full"], 5, "(LOCAL_STORAGE_FAILED)"),
    ("good", ["get", MONTHLY, "--out", "{tmp}/no/x.parquet"], 5, "(LOCAL_STORAGE_FAILED)"),
    ("good", ["get", MONTHLY, "--out", "{tmp}/x.json"], 2, "must end in .parquet or .csv"),
])
def test_failures_exit_with_their_code_and_one_line(market, updated, tmp_path, token, args,
                                                    code, said):
    (tmp_path / "empty").write_text("")
    values = {"tmp": str(tmp_path), "empty": str(tmp_path / "empty"), "port": free_port()}
    run = corvane("--path", updated[0], *[a.format(**values) for a in args],
                  token=market.token if token == "good" else token, url=market.url,
                  secrets=[*market.secrets(), REFUSED_TOKEN])
    assert run.returncode == code, run.stderr
    assert last_line(run).startswith(("corvane: ", "corvane get: ")), run.stderr
    assert said in last_line(run)


@pytest.mark.parametrize("disk", ["full", "read-only"])
def test_a_full_or_read_only_disk_ends_an_update_with_its_cause(market, small_disk, disk):
    said = small_disk.break_as(disk)
    run = corvane("--path", small_disk.path, "update", "--mode", "full", "--json",
                  token=market.token, url=market.url, secrets=market.secrets())
    assert run.returncode == 5, run.stderr
    assert last_line(run) == f"corvane: {said} (LOCAL_STORAGE_FAILED)"
    if disk == "read-only":  # not even the run lock can be taken: no run, no report
        assert run.stdout == ""
        return
    report = json.loads(run.stdout)
    assert [(c["status"], c["error"]) for c in report["categories"]] == [
        ("failed", {"code": "LOCAL_STORAGE_FAILED", "message": said})] * 3
    assert report["error"]["code"] == "SYNC_INCOMPLETE"


# ---------------------------------------------------------------- the report's tally

def test_the_commands_client_reads_ahead_as_any_caller(market, tmp_path):
    class Watching(ReportingClient):
        def _json_get_required(self, key):
            if key.startswith("corvane:meta:category:"):
                on_caller = threading.current_thread() is threading.main_thread()
                self.category_reads.append((key.rsplit(":", 1)[1], on_caller))
            return super()._json_get_required(key)

    Watching.category_reads = []
    with Watching(market.token, str(tmp_path), api_url=market.url) as client:
        client.UpdateAllCategory()
        entries = client.report.categories()
    names = sorted([MONTHLY, DAILY, UNSTACK])
    assert [(e["name"], e["status"]) for e in entries] == [(n, "ok") for n in names]
    # Only the first category's metadata is read when its turn comes.
    assert sorted(Watching.category_reads) == sorted([(names[0], True)] + [(n, False) for n in names[1:]])


def test_the_commands_client_builds_one_store_and_counts_what_it_stores(market, tmp_path,
                                                                       monkeypatch):
    built = []
    build = ParquetDataManager.__init__
    monkeypatch.setattr(ParquetDataManager, "__init__",
                        lambda store, *a, **k: (built.append(store), build(store, *a, **k))[1])
    with ReportingClient(market.token, str(tmp_path), api_url=market.url) as client:
        assert len(built) == 1
        client.UpdateAllCategory("full")
        counted = {e["name"]: e["partitions_downloaded"] for e in client.report.categories()}
    assert len(built) == 1
    assert counted == {name: payload_bytes(market, name)[0] for name in (MONTHLY, DAILY, UNSTACK)}


def test_the_report_counts_exactly_from_many_threads():
    report = UpdateReport()
    report.started(MONTHLY)
    keys = [f"corvane:data:{MONTHLY}:{i}" for i in range(4000)]

    def work(part):
        for key in part:
            report.considered(MONTHLY, {"data_key": key})
            report.received(key, b"x" * 3)
            report.received("corvane:meta:categories", b"not a payload")
            report.stored(MONTHLY)

    threads = [threading.Thread(target=work, args=(keys[i::8],)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    report.finished(MONTHLY)
    assert report.categories() == [{"name": MONTHLY, "status": "ok",
                                    "partitions_downloaded": 4000, "partitions_skipped": 0,
                                    "bytes": 12000}]
