/*
 * readers.h: record readers for `lumidex import`. Each turns one input file
 * into a sequence of records, each record one compact JSON object.
 *
 * Formats:
 *  - JSON: one array of objects (a single object counts as one record). The
 *    whole file is parsed at once; the parsed document is the memory cost.
 *  - NDJSON: one JSON object per line; blank lines are skipped. Read line by
 *    line, so memory is one line plus one parsed record.
 *  - CSV: a header row naming the columns, then one record per row; every
 *    value is a JSON string, an empty cell is the empty string "" (so each
 *    record has every column), spaces around values are kept as they are.
 *    Quoted fields may hold commas, quotes ("") and line breaks; LF and
 *    CR LF row ends both work. Read in fixed-size chunks.
 *  - Every format: a UTF-8 byte order mark at the start is skipped; text must
 *    be valid UTF-8.
 *
 * Numbers in JSON input are kept exactly as written (1.50 stays 1.50), so a
 * record's compact form is the same text the engine stores and exports.
 * Records are numbered from 1 in each file: array elements, non-blank lines,
 * data rows (the header is not a record).
 */
#ifndef LMX_TOOL_READERS_H
#define LMX_TOOL_READERS_H

#include <cstdint>
#include <memory>
#include <string>

namespace lmxtool {

enum class InputFormat { Json, Ndjson, Csv };

/* The format named by text ("json", "ndjson", "csv"); false for others. */
bool format_from_text(const std::string &text, InputFormat *out);

/* The format of a file from its name's ending (.json; .ndjson or .jsonl;
 * .csv; compared without regard to case); "-" is NDJSON. False when the
 * ending says nothing. */
bool format_from_name(const std::string &path, InputFormat *out);

enum class ReadStatus {
  Record, /* one more record was appended */
  End,    /* the file is done */
  Bad     /* the input is wrong or unreadable; see error() */
};

class RecordReader {
 public:
  virtual ~RecordReader() = default;

  /* Appends the next record as compact JSON (an object, no line feed) to
   * out. After Bad, the reader must not be used again. */
  virtual ReadStatus next(std::string &out) = 0;

  /* Bytes of the file consumed so far (for progress). */
  virtual uint64_t bytes_done() const = 0;

  /* Number of the record last returned, or of the bad record after Bad;
   * 0 when the fault is not in a record (a JSON file that does not parse, a
   * bad CSV header, a read error before the first record). */
  uint64_t record_number() const { return record_; }

  /* Why next() gave Bad: one line, no file name, no record number. */
  const std::string &error() const { return error_; }

 protected:
  ReadStatus bad(uint64_t record, std::string why) {
    record_ = record;
    error_ = std::move(why);
    return ReadStatus::Bad;
  }
  uint64_t record_ = 0;
  std::string error_;
};

/* Opens path ("-" = standard input) as fmt. On failure returns null and puts
 * the reason (one line) in *error. The reader closes the file it opened
 * (never standard input). */
std::unique_ptr<RecordReader> open_reader(const std::string &path,
                                          InputFormat fmt, std::string *error);

/* True when the n bytes at s are valid UTF-8 (no overlong forms, no
 * surrogates, nothing above U+10FFFF). */
bool valid_utf8(const char *s, size_t n);

}  // namespace lmxtool

#endif /* LMX_TOOL_READERS_H */
