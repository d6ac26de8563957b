"""``python -m corvane.testing serve [--tls] [--data small|medium]``: a local service to try the
client against, filled with synthetic data, running until Ctrl-C or SIGTERM.

``python -m corvane.testing relay --to PORT [--delay-ms D] [--bandwidth-mbit B]``: a relay
that makes the service at PORT look far away (see `LinkRelay`), in a process of its own so
that the client under measurement never holds up its timing."""

from __future__ import annotations

import argparse
import datetime
import signal
import threading

from . import LinkRelay, LocalService
from .synthetic import synthetic_pivot, synthetic_unstack

# (category, instruments, years of history, partition mode) per data set, plus the size of
# its one unstack category. Histories end today, so that an incremental update finds work.
_DATA_SETS = {
    "small": {
        "pivot": [
            ("cn_stock_pivot#close", 50, 1.0, "monthly"),
            ("cn_stock_pivot#open", 50, 1.0, "monthly"),
            ("cn_stock_pivot#volume", 50, 0.25, "daily"),
        ],
        "unstack_rows": 2_000,
    },
    "medium": {
        "pivot": [
            ("cn_stock_pivot#close", 500, 3.0, "monthly"),
            ("cn_stock_pivot#open", 500, 3.0, "monthly"),
            ("cn_stock_pivot#high", 500, 3.0, "monthly"),
            ("cn_stock_pivot#low", 500, 3.0, "monthly"),
            ("cn_stock_pivot#volume", 500, 3.0, "daily"),
        ],
        "unstack_rows": 200_000,
    },
}


def publish_data_set(publisher, name: str) -> list[str]:
    """Publish one of the synthetic data sets; returns its category names."""
    data_set = _DATA_SETS[name]
    categories = []
    today = datetime.date.today()
    for seed, (category, n, years, mode) in enumerate(data_set["pivot"]):
        start = today - datetime.timedelta(days=round(365 * years))
        frame = synthetic_pivot(start.isoformat(), today.isoformat(), n, seed=seed,
                                nan_fraction=0.01)
        publisher.publish_pivot(category, frame, partition_mode=mode)
        categories.append(category)
    category = "cn_stock_unstack#daily_bar"
    publisher.publish_unstack(category, synthetic_unstack(data_set["unstack_rows"]),
                              duplicate_keys=["date", "code"])
    categories.append(category)
    return categories


def _stop_requests() -> threading.Event:
    """An event set by Ctrl-C or SIGTERM (`kill`), from now on: either ends the command
    cleanly, which SIGTERM's default would not (redis-server left to its death signal, the
    temporary folders left behind). Set rather than raised, so that a request arriving
    before the command waits, or while it shuts down, is never lost or half handled. A
    SIGINT ignored when the command started (a background job of a script) stays ignored,
    as it does for every command."""
    requested = threading.Event()

    def stop(signum, frame):
        requested.set()

    signal.signal(signal.SIGTERM, stop)
    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
        signal.signal(signal.SIGINT, stop)
    return requested


def _serve(args: argparse.Namespace) -> None:
    with LocalService(tls=args.tls, expires_in=args.expires_in,
                      set_cert_env=False) as svc:
        categories = publish_data_set(svc.publisher, args.data)
        stop = _stop_requests()
        print(f"API URL:   {svc.url}")
        print(f"API token: {svc.token}")
        if svc.ca_path:
            print(f"Redis speaks TLS: set SSL_CERT_FILE={svc.ca_path}")
        print(f"{len(categories)} categories: {', '.join(categories)}")
        print("Ctrl-C stops the service.", flush=True)
        stop.wait()


def _relay(args: argparse.Namespace) -> None:
    bandwidth = args.bandwidth_mbit * 1e6 / 8 if args.bandwidth_mbit else None
    with LinkRelay(args.to, delay=args.delay_ms / 1e3, bandwidth=bandwidth,
                   port=args.port) as relay:
        stop = _stop_requests()
        print(f"Relay port: {relay.port}", flush=True)
        stop.wait()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m corvane.testing",
                                     description="A local stand-in for the data service.")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="run a local service with synthetic data")
    serve.add_argument("--tls", action="store_true", help="serve Redis over TLS")
    serve.add_argument("--data", choices=sorted(_DATA_SETS), default="small",
                       help="size of the synthetic data set")
    serve.add_argument("--expires-in", type=int, default=3600,
                       help="ticket lifetime in seconds")
    relay = commands.add_parser("relay", help="relay a loopback port over a slow, far link")
    relay.add_argument("--to", type=int, required=True, help="the port to relay to")
    relay.add_argument("--port", type=int, default=0, help="the port to listen on (0: any)")
    relay.add_argument("--delay-ms", type=float, default=0.0, help="delay in each direction")
    relay.add_argument("--bandwidth-mbit", type=float, default=0.0,
                       help="cap of each direction, all connections together (0: none)")
    args = parser.parse_args(argv)
    {"serve": _serve, "relay": _relay}[args.command](args)


if __name__ == "__main__":
    main()
