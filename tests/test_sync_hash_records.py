"""Local hash records: where they live, what they hold, how they are replaced."""

import hashlib
import os

import pytest

from corvane.exceptions import InvalidCategoryError, LocalStorageError, ProtocolError, SerializationError
from helpers import assert_public

CATEGORY = "cn_stock_pivot#close"
HASH = "sha256:" + "ab" * 32


@pytest.fixture
def client(bare_client, tmp_path):
    bare_client.save_path = str(tmp_path)  # the records need only the storage path
    return bare_client


def records_dir(client):
    return os.path.join(client.save_path, "_corvane_meta_hash")


def test_record_name_is_the_digest_of_both_names(client):
    path = client._get_hash_path(CATEGORY, "2024-05")
    digest = hashlib.sha256(f"{CATEGORY}\x002024-05".encode()).hexdigest()
    assert path == os.path.join(records_dir(client), digest + ".txt")
    assert os.path.isdir(records_dir(client))
    # Stable, and the existing directory is fine.
    assert client._get_hash_path(CATEGORY, "2024-05") == path
    assert client._get_hash_path(CATEGORY, "2024-06") != path
    assert client._get_hash_path("cn_stock_unstack#close", "2024-05") != path


@pytest.mark.parametrize("category, partition, error", [
    ("cn_stock#close", "2024", InvalidCategoryError),
    (CATEGORY, "2024-5", ProtocolError),
    (CATEGORY, "../x", ProtocolError),
])
def test_record_path_needs_valid_names(client, category, partition, error):
    with pytest.raises(error):
        client._get_hash_path(category, partition)


def test_record_holds_exactly_the_hash_and_is_replaced(client):
    client._write_local_hash(CATEGORY, "2024", HASH)
    path = client._get_hash_path(CATEGORY, "2024")
    with open(path, "rb") as record:
        assert record.read() == HASH.encode()
    other = "sha256:" + "cd" * 32
    client._write_local_hash(CATEGORY, "2024", other)
    with open(path, "rb") as record:
        content = record.read()
    assert content == other.encode() and len(content) == 71
    assert os.listdir(records_dir(client)) == [os.path.basename(path)]


@pytest.mark.parametrize("bad", ["sha256:" + "AB" * 32, "sha256:abc", "md5:" + "ab" * 32, ""])
def test_ill_formed_hash_is_not_written(client, bad):
    with pytest.raises(SerializationError):
        client._write_local_hash(CATEGORY, "2024", bad)
    assert not os.path.exists(records_dir(client)) or os.listdir(records_dir(client)) == []


def test_failed_rename_leaves_no_temporary_file(client):
    # A directory where the record should go makes the final rename fail for real.
    os.makedirs(client._get_hash_path(CATEGORY, "full"))
    with pytest.raises(LocalStorageError) as raised:
        client._write_local_hash(CATEGORY, "full", HASH)
    assert_public(raised.value, from_none=True)
    assert not [name for name in os.listdir(records_dir(client)) if name.startswith(".tmp_")]


@pytest.mark.parametrize("stored, remote, expected", [
    (HASH, HASH, True),
    (HASH + "\n", HASH, True),
    ("  " + HASH + "\r\n", HASH, True),
    (HASH.upper().replace("SHA256", "sha256"), HASH, False),
    (HASH, "sha256:" + "cd" * 32, False),
    (HASH, "", False),
    (None, HASH, False),
])
def test_check_local_hash(client, stored, remote, expected):
    if stored is not None:
        with open(client._get_hash_path(CATEGORY, "2024-01-02"), "w", encoding="utf-8") as record:
            record.write(stored)
    assert client._check_local_hash(CATEGORY, "2024-01-02", remote) is expected


def test_empty_remote_hash_is_decided_before_any_name_check(client):
    assert client._check_local_hash("not a category", "nor a partition", "") is False
    assert not os.path.exists(records_dir(client))


@pytest.mark.parametrize("method, args", [
    ("_get_hash_path", (CATEGORY, 2024)),
    ("_check_local_hash", (CATEGORY, "2024", None)),
    ("_write_local_hash", (CATEGORY, "2024", HASH.encode())),
])
def test_arguments_must_be_text(client, method, args):
    with pytest.raises(TypeError, match="has incorrect type"):
        getattr(client, method)(*args)
