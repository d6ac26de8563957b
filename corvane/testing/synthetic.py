"""Small synthetic market data: deterministic for a given seed."""

from __future__ import annotations

__all__ = ["instrument_codes", "synthetic_pivot", "synthetic_unstack"]


def instrument_codes(n: int) -> list[str]:
    """``n`` distinct codes in the exchange style: "000001.SZ", "600002.SH", "000003.SZ"..."""
    return [f"{i + 1:06d}.SZ" if i % 2 == 0 else f"{600000 + i + 1:06d}.SH" for i in range(n)]


def synthetic_pivot(start, end, n_instruments: int, seed: int = 0, freq: str = "B",
                    nan_fraction: float = 0.0):
    """A wide frame of float64 prices: a DatetimeIndex named "date", one column per code.

    ``nan_fraction`` of the cells are NaN, as for suspended instruments.
    """
    import numpy as np
    import pandas as pd

    dates = pd.date_range(start, end, freq=freq, name="date")
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.02, size=(len(dates), n_instruments))
    prices = 10.0 * np.exp(np.cumsum(steps, axis=0))
    if nan_fraction > 0:
        prices[rng.random(prices.shape) < nan_fraction] = np.nan
    return pd.DataFrame(prices, index=dates, columns=instrument_codes(n_instruments))


def synthetic_unstack(n_rows: int, seed: int = 0, start: str = "2024-01-02"):
    """A long frame of ``n_rows`` rows: "date", "code", "open", "close", "volume".

    Every (date, code) pair occurs once, so ["date", "code"] identifies a row.
    """
    import numpy as np
    import pandas as pd

    n_codes = max(1, int(n_rows ** 0.5))
    n_dates = -(-n_rows // n_codes)
    dates = pd.bdate_range(start, periods=n_dates)
    codes = instrument_codes(n_codes)
    rng = np.random.default_rng(seed)
    opens = rng.uniform(5.0, 50.0, n_rows)
    return pd.DataFrame({
        "date": np.repeat(dates.values, n_codes)[:n_rows],
        "code": np.tile(np.array(codes, dtype=object), n_dates)[:n_rows],
        "open": opens,
        "close": opens * rng.normal(1.0, 0.02, n_rows),
        "volume": rng.integers(1_000, 10_000_000, n_rows).astype("int64"),
    })
