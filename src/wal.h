#ifndef MORVATEL_WAL_H_
#define MORVATEL_WAL_H_

// The audited write-ahead log: line format and hash chain (wal/format.h),
// its error (wal/error.h), the writer (wal/writer.h), anchors
// (wal/anchor.h) and the full replay check (wal/replay.h).

#include "wal/anchor.h"
#include "wal/error.h"
#include "wal/format.h"
#include "wal/replay.h"
#include "wal/writer.h"

#endif  // MORVATEL_WAL_H_
