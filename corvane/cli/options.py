"""Command-line options, the storage path and the token."""

from __future__ import annotations

import argparse
import datetime
import logging
import os

from .._store import history, ledger
from .exit_codes import USAGE, CommandError

TOKEN_VARIABLE = "CORVANE_API_TOKEN"
PATH_VARIABLE = "CORVANE_SAVE_PATH"
DEFAULT_PATH = "~/corvane-data"
UPDATE_MODES = ("changed", "incremental", "full")
OUTPUT_FORMATS = (".parquet", ".csv")
_LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # A stray word may be a token ("--token abc" makes "abc" the command): never echo it.
        if message.startswith("unrecognized arguments"):
            message = "unrecognized arguments (not shown; the token is never an argument)"
        elif "invalid choice:" in message:
            message = message[:message.index("invalid choice:")] + "invalid choice (not shown); " \
                + message[message.index("(choose from") + 1:].rstrip(")")
        super().error(message)


def _day(value: str) -> str:
    try:
        # fromisoformat also takes "20240105"; the store reads "YYYY-MM-DD" only.
        if len(value) == 10 and datetime.date.fromisoformat(value):
            return value
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(f"not a YYYY-MM-DD date: {value!r}")


def _output(value: str) -> str:
    if not value.lower().endswith(OUTPUT_FORMATS):
        raise argparse.ArgumentTypeError(f"the file name must end in .parquet or .csv: {value!r}")
    return value


def _as_of(value: str):
    """A generation number (negative from the latest) or ISO 8601 time with an offset."""
    text = value.strip()
    as_of = int(text) if text.lstrip("-").isdigit() else text
    try:
        ledger.check_as_of(as_of)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return as_of


def _columns(value: str) -> list:
    names = [name.strip() for name in value.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError("an empty name in the list")
    try:
        return history.wanted_columns(names)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _count(least: int):
    def parse(value: str) -> int:
        try:
            number = int(value)
        except ValueError:
            number = None
        if number is None or number < least:
            raise argparse.ArgumentTypeError(f"a whole number of at least {least}, not {value!r}")
        return number
    return parse


def _log_level(value: str) -> int:
    name = value.upper()
    if name not in _LOG_LEVELS:
        raise argparse.ArgumentTypeError(f"choose from {', '.join(_LOG_LEVELS)}")
    return getattr(logging, name)


def build_parser(commands) -> argparse.ArgumentParser:
    """The parser; ``commands`` maps each command name to the function that runs it."""
    # No abbreviations: "--token X" must not be read as "--token-file X".
    parser = _Parser(prog="corvane", allow_abbrev=False,
                     description="Update, inspect and export the local corvane store.",
                     epilog=f"The API token comes from ${TOKEN_VARIABLE} or from the first "
                            "line of --token-file; it is never an argument.")
    parser.add_argument("--path", default=None,
                        help=f"storage directory (default: ${PATH_VARIABLE}, then {DEFAULT_PATH})")
    parser.add_argument("--api-url", default=None,
                        help="API address (default: $CORVANE_API_URL, then the service's own)")
    parser.add_argument("--token-file", default=None,
                        help=f"file whose first line is the API token (default: ${TOKEN_VARIABLE})")
    parser.add_argument("--log-level", type=_log_level, default=logging.INFO,
                        metavar="LEVEL", help="DEBUG, INFO (default), WARNING or ERROR")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)

    update = sub.add_parser("update", allow_abbrev=False,
                            help="download what the account is authorised for")
    update.add_argument("--mode", choices=UPDATE_MODES, default="changed",
                        help="changed (default): what is missing or restated; incremental: the "
                             "last 60 days; full: everything")
    update.add_argument("--json", action="store_true", help="print the report as JSON")
    update.add_argument("--no-wait", action="store_true",
                        help="exit with code 6 instead of waiting for another run on --path")

    status = sub.add_parser("status", allow_abbrev=False, help="what the store holds")
    status.add_argument("--remote", action="store_true",
                        help="also the partitions missing or changed against the service")
    status.add_argument("--json", action="store_true", help="print JSON")

    listing = sub.add_parser("list", allow_abbrev=False, help="category names")
    listing.add_argument("--local", action="store_true",
                         help="the categories stored locally (no token needed)")
    listing.add_argument("--json", action="store_true", help="print JSON")

    get = sub.add_parser("get", allow_abbrev=False, help="write one category to a file")
    get.add_argument("category", help='category name, e.g. "cn_stock_pivot#close"')
    get.add_argument("--start", type=_day, default=None, help="first date, YYYY-MM-DD")
    get.add_argument("--end", type=_day, default=None, help="last date, YYYY-MM-DD")
    get.add_argument("--out", type=_output, required=True, metavar="FILE",
                     help="FILE.parquet (index kept) or FILE.csv (index as first column)")
    get.add_argument("--as-of", type=_as_of, default=None, metavar="TIME|GEN",
                     help="the category as the store held it: an ISO 8601 time with an offset "
                          "(2024-05-01T18:00+08:00) or a generation (-1 the latest); read from "
                          "the store alone (no token needed)")
    get.add_argument("--columns", type=_columns, default=None, metavar="A,B,C",
                     help="only these instruments (columns), in this order")

    shown = sub.add_parser("history", allow_abbrev=False,
                           help="the generations of a stored category")
    shown.add_argument("category", help='category name, e.g. "cn_stock_pivot#close"')
    shown.add_argument("--json", action="store_true",
                       help="print JSON, with each changed partition's versions and hashes")

    prune = sub.add_parser("prune", allow_abbrev=False,
                           help="remove history that no kept generation reads")
    which = prune.add_mutually_exclusive_group(required=True)
    which.add_argument("category", nargs="?", default=None, help="one category")
    which.add_argument("--all", action="store_true", help="every stored category")
    keep = prune.add_mutually_exclusive_group(required=True)
    keep.add_argument("--keep-generations", type=_count(1), metavar="N",
                      help="keep the latest N generations")
    keep.add_argument("--older-than", type=_count(0), metavar="DAYS",
                      help="keep the generations committed in the last DAYS days")
    prune.add_argument("--dry-run", action="store_true", help="say what would go; remove nothing")

    for name, run in commands.items():
        sub.choices[name].set_defaults(run=run)
    return parser


def storage_path(args) -> str:
    path = args.path or os.environ.get(PATH_VARIABLE) or DEFAULT_PATH
    return os.path.abspath(os.path.expanduser(path))


def api_token(args) -> str:
    """The token from --token-file (its first line) or the environment; never shown."""
    if args.token_file is not None:
        try:
            with open(args.token_file, encoding="utf-8") as f:
                token = f.readline().strip()
        except (OSError, UnicodeDecodeError) as e:
            reason = e.strerror if isinstance(e, OSError) else "not UTF-8 text"
            raise CommandError(f"cannot read the token file {args.token_file}: {reason}",
                               USAGE) from None
        if not token:
            raise CommandError(f"the token file {args.token_file} has no token on its first "
                               "line", USAGE)
        return token
    token = os.environ.get(TOKEN_VARIABLE, "").strip()
    if not token:
        raise CommandError(f"no API token: set {TOKEN_VARIABLE} or give --token-file FILE "
                           "(its first line is the token)", USAGE)
    return token
