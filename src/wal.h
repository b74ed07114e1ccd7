#ifndef MORVATEL_WAL_H_
#define MORVATEL_WAL_H_

// The audited write-ahead log: the line format and chain hash
// (wal/format.h), the entry and record on a line (wal/record.h), bounded
// line reading (wal/line_reader.h), the chain tests and walks
// (wal/chain.h), its error (wal/error.h), the writer (wal/writer.h),
// anchors (wal/anchor.h) and the full replay check (wal/replay.h).

#include "wal/anchor.h"
#include "wal/chain.h"
#include "wal/error.h"
#include "wal/format.h"
#include "wal/line_reader.h"
#include "wal/record.h"
#include "wal/replay.h"
#include "wal/writer.h"

#endif  // MORVATEL_WAL_H_
