"""An update that kills itself at a chosen point:
``python sync_crash_job.py SAVE_PATH API_URL METHOD CATEGORY N before|after``.

The token comes in the environment (CORVANE_JOB_TOKEN). METHOD is a method of the client
(``_write_local_hash``, ``_sync_pivot_category``, ...) or of its store (``set_category_meta``,
``update_pivot_category``, ...); the process SIGKILLs itself at the N-th call of it for
CATEGORY, before or after the call runs, as an out-of-memory kill or a reboot would stop it.
It exits with 3 when that point is never reached."""

from __future__ import annotations

import os
import signal
import sys

import corvane as cv


def arm(client, method: str, category: str, nth: int, when: str) -> None:
    owner = client.CV_db if hasattr(client.CV_db, method) else client
    original = getattr(owner, method)
    calls = 0

    def wrapper(*args, **kwargs):
        nonlocal calls
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
