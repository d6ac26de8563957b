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

struct FooterParams {
    Arg path{"path", ArgType::Str};
};
// _block_footer(path) -> (corvane footer, Parquet schema: bytes) or None
extern const Method<FooterParams> block_footer;

struct RowsParams {
    Arg path{"path", ArgType::Str};
    Arg rows{"rows", ArgType::List};
    Arg instruments{"instruments", ArgType::Int};
    Arg dates{"dates", ArgType::Int};
    Arg out{"out"};
};
// _block_rows(path, rows, instruments, dates, out) -> bool
extern const Method<RowsParams> block_rows;

// Binds the functions above in the module.
void define_block_reads(PyObject* module);

}  // namespace corvane::store
