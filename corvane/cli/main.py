"""Entry point: parse, run one command, turn its failure into one stderr line and a code."""

from __future__ import annotations

import contextlib
import functools
import sys

from ..exceptions import CorvaneError, LocalStorageError
from . import exit_codes
from .commands import COMMANDS
from .exit_codes import CommandError
from .options import build_parser


@contextlib.contextmanager
def _progress_bars_on_terminal_only():
    """Progress bars belong on a terminal, not in a scheduler's log file. The client looks
    tqdm up in its module's namespace when it draws one, so the command binds it there
    for its own run and restores it afterwards."""
    if sys.stderr.isatty():
        yield
        return
    module = sys.modules["corvane.CorvaneClient"]
    bar = module.tqdm
    module.tqdm = functools.partial(bar, disable=True)
    try:
        yield
    finally:
        module.tqdm = bar


def main(argv: list[str] | None = None) -> int:
    args = build_parser(COMMANDS).parse_args(argv)
    try:
        with _progress_bars_on_terminal_only():
            return args.run(args)
    except CommandError as e:
        print(f"corvane: {e}", file=sys.stderr)
        return e.exit_code
    except CorvaneError as e:
        print(f"corvane: {e.user_message} ({e.code})", file=sys.stderr)
        return exit_codes.for_error(e)
    except OSError as e:  # the storage directory could not be created
        error = LocalStorageError.from_os_error(
            e, user_message=f"cannot use {e.filename or 'the storage directory'}: {e.strerror}")
        print(f"corvane: {error.user_message} ({error.code})", file=sys.stderr)
        return exit_codes.LOCAL_STORAGE
