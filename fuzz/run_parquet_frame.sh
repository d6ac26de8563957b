#!/usr/bin/env bash
# fuzz/run_parquet_frame.sh [seconds]: builds the partition decoder fuzzer with clang
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) around an embedded Python 3.14
# with pandas, writes its seed corpus with pyarrow, and runs it for a bounded time (60 s by
# default). Crashes are left in build/fuzz/ as crash-* files.
set -euo pipefail
# shellcheck source=fuzz/setup.sh
. "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
fuzz_setup parquet_frame

# shellcheck disable=SC2046 # the flags are words
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$repo" $(python3.14-config --includes) $(pkg-config --cflags parquet arrow) \
  "$here/parquet_frame_fuzz.cpp" "$repo/corvane/sync/parquet_frame.cpp" \
  "$repo/corvane/sync/footer_fields.cpp" "$repo/corvane/sync/chunk_pages.cpp" \
  "$repo/corvane/sync/plan_memo.cpp" \
  "$repo/corvane/common/call.cpp" "$repo/corvane/common/error.cpp" \
  $(pkg-config --libs parquet arrow) $(python3.14-config --ldflags --embed) \
  -o "$out/parquet_frame_fuzz"

# Seeds: payloads as pyarrow writes them (first byte even), and descriptions of written files
# with the pandas metadata that pyarrow gives such a frame (first byte odd).
python3.14 - "$corpus" <<'PY'
import io, json, sys
import numpy as np, pandas as pd, pyarrow as pa, pyarrow.parquet as pq

corpus = sys.argv[1]
dates = pd.date_range("2024-01-01", periods=4, name="date")

def frame(index, columns="ab"):
    return pd.DataFrame(np.arange(len(index) * len(columns), dtype="float64").reshape(len(index), -1),
                        index=index, columns=list(columns)).rename_axis(columns="code")

def seed(name, data):
    with open(f"{corpus}/seed-{name}", "wb") as out:
        out.write(data)

def payload(f, **options):
    sink = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(f), sink, **options)
    return sink.getvalue()

shapes = {
    "dates": payload(frame(dates)),
    "dates-us-groups": payload(frame(dates.as_unit("us")), row_group_size=1),
    "range": payload(frame(pd.RangeIndex(4))),
    "text": payload(frame(pd.Index(list("pqrs"), name="date"))),
    "no-arrow-schema": payload(frame(dates), store_schema=False),
    "snappy-v2": payload(frame(dates), compression="snappy", data_page_version="2.0"),
    "plain": payload(frame(dates), use_dictionary=False, compression="none"),
    "nulls-v1": payload(frame(dates).where(lambda f: f > 2), compression="none"),
    "nulls-v2-zstd": payload(frame(dates).where(lambda f: f > 2), compression="zstd",
                             data_page_version="2.0"),
    "wide": payload(frame(dates, [f"c{i}" for i in range(40)])),
}
sink = io.BytesIO()
pq.write_table(pa.table({"a": [1.0, None]}), sink)
shapes["no-pandas"] = sink.getvalue()
for name, data in shapes.items():
    seed("raw-" + name, b"\x00" + data)
    seed("raw-cut-" + name, b"\x00" + data[: len(data) // 2])

# Written files: 2 value columns, then the index kind (1: timestamp[ns], 2: [us], 3: text),
# 4 rows, the Arrow schema stored.
for kind, index in [(1, dates), (2, dates.as_unit("us")), (3, pd.Index(list("pqrs"), name="date"))]:
    metadata = pa.Table.from_pandas(frame(index)).schema.metadata[b"pandas"]
    seed(f"written-{kind}", bytes([1, 1, kind, 3, 1]) + metadata)
metadata = pa.Table.from_pandas(frame(pd.RangeIndex(4))).schema.metadata[b"pandas"]
seed("written-range", bytes([1, 1, 0, 3, 0]) + metadata)
PY
printf '%s\n' '"PAR1"' '"ARROW:schema"' '"pandas"' '"index_columns"' '"column_indexes"' \
  '"columns"' '"\"name\""' '"field_name"' '"pandas_type"' '"numpy_type"' '"metadata"' \
  '"float64"' '"datetime"' '"datetime64[ns]"' '"unicode"' '"object"' '"range"' '"null"' \
  '"__index_level_0__"' '"{}"' '"[]"' >"$out/parquet_frame.dict"

cd "$out"
# The embedded interpreter keeps its start-up allocations until exit: no leak report.
ASAN_OPTIONS=detect_leaks=0 ./parquet_frame_fuzz -max_total_time="$seconds" -max_len=16384 \
  -rss_limit_mb=4096 -dict="$out/parquet_frame.dict" -print_final_stats=1 "$corpus"
