// The chosen instruments of a store's block file, read without the Parquet library.
//
// A block file (corvane/_store/codec.py) holds one row per (instrument, date) cell, grouped
// by instrument, in a `value` column of small data pages with an offset index: the rows of
// a few instruments lie in a few pages, and only those are read and decompressed. The
// footer is read here too, so that a read of a few instruments of many files pays neither
// the Parquet library's footer nor its column reader per file. Whatever is not laid out so
// (files written before small pages, odd or damaged files) is refused (None or False) and
// left to pyarrow, which then gives today's result or error. Files are read with the GIL
// released.
#pragma once

#include "corvane/common/method.h"

namespace corvane::store {

struct FootersParams {
    Arg paths{"paths", ArgType::List};
};
// _block_footers(paths) -> [(corvane footer, Parquet schema, Arrow schema or None: bytes) or
// None, ...]
extern const Method<FootersParams> block_footers;

struct RowsParams {
    Arg jobs{"jobs", ArgType::List};
    Arg out{"out"};
};
// _block_rows(jobs, out) -> [bool, ...]: each job (path, rows, places, instruments, dates,
// first, stop, start) copies the dates [first, stop) of the file's instruments `rows` into
// the rows `places` of the two-dimensional array `out` (of the file's value dtype, which
// the caller knows from the schema), from its column `start` on; False where the file is
// left to pyarrow (some of its output may then be written already).
extern const Method<RowsParams> block_rows;

// Binds the functions above in the module.
void define_block_reads(PyObject* module);

}  // namespace corvane::store
