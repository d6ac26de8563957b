"""An update that kills itself at a chosen point:
``python sync_crash_job.py SAVE_PATH API_URL METHOD CATEGORY N before|after``.

The token comes in the environment (CORVANE_JOB_TOKEN). METHOD is a method of the client
(``_write_local_hash``, ``_sync_pivot_category``, ...) or of its store (``set_category_meta``,
``update_pivot_category``, ...); the process SIGKILLs itself at the N-th call of it for
CATEGORY, before or after the call runs, as an out-of-memory kill or a reboot would stop it.
METHOD ``os.replace`` counts the renames of every file (data, records) from CATEGORY's first
store call on, the methods of client and store left as they are. It exits with 3 when that
point is never reached."""

from __future__ import annotations

import os
import signal
import sys

import corvane as cv


def category_started(client, category: str) -> list:
    """[True] once the store has been asked about CATEGORY: an attribute of the store class,
    so that neither the client's nor the store's methods are replaced on the instance."""
    started = [False]
    store_class = type(client.CV_db)
    original = store_class.set_category_meta

    def set_category_meta(self, name, *args, **kwargs):
        started[0] |= name == category
        return original(self, name, *args, **kwargs)

    store_class.set_category_meta = set_category_meta
    return started


def arm(client, method: str, category: str, nth: int, when: str) -> None:
    if method.startswith("os."):
        owner, method, started = os, method[3:], category_started(client, category)
    else:
        owner, started = client.CV_db if hasattr(client.CV_db, method) else client, None
    original = getattr(owner, method)
    calls = 0

    def wrapper(*args, **kwargs):
        nonlocal calls
        if started is not None:
            mine = started[0]
        else:
            mine = kwargs.get("category", args[0] if args else None) == category
        calls += mine
        fatal = mine and calls == nth
        if fatal and when == "before":
            os.kill(os.getpid(), signal.SIGKILL)
        result = original(*args, **kwargs)
        if fatal:
            os.kill(os.getpid(), signal.SIGKILL)
        return result

    setattr(owner, method, wrapper)


if __name__ == "__main__":
    save_path, url, method, category, nth, when = sys.argv[1:]
    client = cv.CorvaneClient(api_token=os.environ["CORVANE_JOB_TOKEN"], save_path=save_path,
                              api_url=url)
    arm(client, method, category, int(nth), when)
    client.UpdateAllCategory("full")
    client.close()
    sys.exit(3)
