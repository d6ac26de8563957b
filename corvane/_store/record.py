"""The category record (_store.json): how a category is stored, and which of its files are live.

A record is a PivotRecord or an UnstackRecord; ``from_json`` turns the stored JSON object into
one and ``to_json`` gives back the object to store. Both keep the keys, their order and their
values exactly as every client of format 1 has written them, so stores of earlier clients read
and a rewrite without a change writes the same bytes:

    pivot     kind, layout, grouping, then for the "block" layout columns, complete, dtype,
              index, column_axis, for the "frame" layout schema; pending while set
    unstack   kind, parts ([{file, rows}]), next, keys
    both      format, category (the name, which a folder of a long name does not show)

``index`` and ``column_axis`` are codec's axis specs ({dtype, name[, kind]}), the same that
block files keep in their footers, so they stay plain mappings here.
"""

from __future__ import annotations

import dataclasses
import re

from ..exceptions import LocalStorageError

FORMAT = 1
LAYOUTS = ("block", "frame")
PART_NAME = re.compile(r"^part-\d+\.parquet$")


class _Record:
    def to_json(self, category: str) -> dict:
        """The JSON object to store for ``category``."""
        return dict(self._body(), format=FORMAT, category=category)


@dataclasses.dataclass
class PivotRecord(_Record):
    """A pivot category.

    layout      "block" (numeric frames, fast) or "frame" (anything else pandas can write)
    grouping    "monthly" or "daily": one data file per month or per day
    columns     (block) id of the category's column list, the union of every update's
                columns in order of first appearance
    complete    (block) every stored row has every column; once false, an integer dtype
                becomes float64 so that missing cells can be NaN
    dtype       (block) the value dtype, promoted by numpy rules when updates differ
    index, column_axis   (block) dtype and name of the index and of the column labels
    schema      (frame) the Arrow schema of an empty frame, serialised and in base64
    pending     a rewrite of every data file to this record is under way (the next writer
                finishes it)
    """

    layout: str
    grouping: str
    columns: str | None = None
    complete: bool = True
    dtype: str | None = None
    index: dict | None = None
    column_axis: dict | None = None
    schema: str | None = None
    pending: bool = False

    kind = "pivot"

    @property
    def is_block(self) -> bool:
        return self.layout == "block"

    def settled(self, **changes) -> PivotRecord:
        """This record with ``changes``, not pending."""
        return dataclasses.replace(self, pending=False, **changes)

    def _body(self) -> dict:
        body = {"kind": self.kind, "layout": self.layout, "grouping": self.grouping}
        if self.is_block:
            body.update(columns=self.columns, complete=self.complete, dtype=self.dtype,
                        index=self.index, column_axis=self.column_axis)
        else:
            body["schema"] = self.schema
        if self.pending:
            body["pending"] = True
        return body

    @classmethod
    def _from_body(cls, raw: dict) -> PivotRecord:
        if raw["layout"] not in LAYOUTS:
            raise ValueError(raw["layout"])
        if raw["layout"] == "frame":
            return cls(layout="frame", grouping=raw["grouping"], schema=raw["schema"],
                       pending=bool(raw.get("pending")))
        return cls(layout="block", grouping=raw["grouping"], columns=raw["columns"],
                   complete=raw["complete"], dtype=raw["dtype"], index=raw["index"],
                   column_axis=raw["column_axis"], pending=bool(raw.get("pending")))


@dataclasses.dataclass
class Part:
    """One data file of an unstack table and its row count."""

    file: str
    rows: int


@dataclasses.dataclass
class UnstackRecord(_Record):
    """An unstack category: the table is its ``parts`` in order; ``next`` numbers the next
    part written; ``keys``, the columns the stored rows are unique on (None until the first
    update that writes the record)."""

    parts: list = dataclasses.field(default_factory=list)
    next: int = 0
    keys: list | None = None

    kind = "unstack"

    def new_part(self) -> Part:
        """A part under a name no file of the category has had."""
        part = Part(file=f"part-{self.next:08d}.parquet", rows=0)
        self.next += 1
        return part

    def _body(self) -> dict:
        return {"kind": self.kind,
                "parts": [{"file": p.file, "rows": p.rows} for p in self.parts],
                "next": self.next, "keys": self.keys}

    @classmethod
    def _from_body(cls, raw: dict) -> UnstackRecord:
        parts = [Part(file=p["file"], rows=p["rows"]) for p in raw["parts"]]
        # A part is a file of the category's own folder: a name that leads elsewhere is
        # not one this store wrote.
        if not all(isinstance(p.file, str) and PART_NAME.match(p.file) for p in parts):
            raise ValueError("part name")
        return cls(parts=parts, next=raw["next"], keys=raw.get("keys"))


_KINDS = {cls.kind: cls for cls in (PivotRecord, UnstackRecord)}


def from_json(raw, category: str):
    """The record that the JSON value ``raw`` of ``category``'s _store.json holds."""
    try:
        if raw.get("format") != FORMAT:
            raise ValueError("format")
        return _KINDS[raw["kind"]]._from_body(raw)
    except (AttributeError, KeyError, TypeError, ValueError):
        raise LocalStorageError(user_message="本地存储格式无法识别: " + category) from None


def stored_category(raw) -> str | None:
    """The category name that the JSON value of a _store.json keeps, if any: the name of a
    category whose folder is named after its hash."""
    if isinstance(raw, dict) and isinstance(raw.get("category"), str):
        return raw["category"]
    return None
