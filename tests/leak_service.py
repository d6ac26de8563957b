"""A local service with two small categories, in a process of its own, for the reference
leak tests: whatever the service allocates stays out of the process whose counts they
compare. Prints one JSON line (address, token, Redis port and password), then serves until
its standard input closes."""

import json
import sys

from corvane.testing import LocalService, synthetic_pivot, synthetic_unstack

PIVOT = "cn_stock_pivot#close"
UNSTACK = "cn_fund_unstack#nav"


def main():
    with LocalService() as svc:
        svc.publisher.publish_pivot(PIVOT, synthetic_pivot("2024-01-01", "2024-03-31", 20))
        svc.publisher.publish_unstack(UNSTACK, synthetic_unstack(200),
                                      duplicate_keys=["date", "code"])
        print(json.dumps({"url": svc.url, "token": svc.token, "redis_port": svc.redis.port,
                          "redis_password": svc.redis.password}), flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
