"""Category names as folders of the storage root.

A category is one folder directly under the root. Its name is used as it stands when it
is one safe path component; names too long for a folder name (the service allows 264
characters, most file systems 255 bytes) get a hashed folder whose record keeps the name.
Names starting with "." or "_" are refused: they are our temporary, lock and bookkeeping
names, and "_corvane_meta_hash" belongs to the client's hash records.
"""

from __future__ import annotations

import hashlib
import os

from ..exceptions import LocalStorageError

MAX_FOLDER_BYTES = 255
LONG_PREFIX = "_long_"
_FORBIDDEN = ("/", "\\", "\0")


def category_folder(root: str, category) -> str:
    if not isinstance(category, str):
        raise TypeError(f"category must be str, not {type(category).__name__}")
    refused = (not category or category[0] in "._"
               or any(c in category for c in _FORBIDDEN))
    try:
        encoded = category.encode("utf-8")
    except UnicodeEncodeError:
        refused = True
    if refused:
        raise LocalStorageError(user_message="数据类别名称不能用作本地目录: " + repr(category))
    if len(encoded) > MAX_FOLDER_BYTES:
        return os.path.join(root, LONG_PREFIX + hashlib.sha256(encoded).hexdigest())
    return os.path.join(root, category)


def is_category_folder_name(name: str) -> bool:
    """Whether a folder of the root may hold a category (others are never listed)."""
    return name[:1] not in (".", "_", "") or name.startswith(LONG_PREFIX)
