/*
 * readers.cpp: the JSON, NDJSON and CSV record readers of `lumidex import`
 * (see readers.h for what each format accepts).
 *
 * JSON goes through yyjson with YYJSON_READ_NUMBER_AS_RAW, so numbers keep
 * their written form, and each record is written back compact with yyjson:
 * the same writer and the same flags the engine uses for what it stores, so
 * the text sent is the text kept. One dynamic yyjson allocator per reader is
 * reused record after record instead of a fresh heap round trip each time.
 * CSV goes through libcsv in strict mode (a stray quote is an error, not
 * data) with space trimming turned off; rows are queued by libcsv's
 * callbacks one chunk at a time, so memory is bounded by the chunk size.
 */
#include "readers.h"

#include <csv.h>
#include <strings.h>
#include <sys/stat.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <vector>

#include "platform.h" /* getline on Windows */

namespace lmxtool {
namespace {

const unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
constexpr size_t kCsvChunk = 64 * 1024;

bool starts_with_bom(const char *s, size_t n) {
  return n >= 3 && memcmp(s, kBom, 3) == 0;
}

std::string printf_text(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
std::string printf_text(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

const char *json_kind(yyjson_val *v) {
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_ARR:
      return "an array";
    case YYJSON_TYPE_OBJ:
      return "an object";
    case YYJSON_TYPE_STR:
      return "a string";
    case YYJSON_TYPE_NUM:
    case YYJSON_TYPE_RAW:
      return "a number";
    case YYJSON_TYPE_BOOL:
      return "a boolean";
    case YYJSON_TYPE_NULL:
      return "null";
    default:
      return "nothing";
  }
}

/* An open input: a file we own, or standard input (never closed here). */
struct Input {
  FILE *fp = nullptr;
  bool owned = false;
  ~Input() {
    if (owned && fp) fclose(fp);
  }
};

bool open_input(const std::string &path, Input *in, std::string *error) {
  if (path == "-") {
    in->fp = stdin;
    return true;
  }
  in->fp = fopen(path.c_str(), "rb");
  if (!in->fp) {
    *error = strerror(errno);
    return false;
  }
  in->owned = true;
  struct stat st;
  if (fstat(fileno(in->fp), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = "is a directory";
    return false;
  }
  return true;
}

/* Appends the compact text of v to out using alc. */
bool append_compact(yyjson_val *v, yyjson_alc *alc, std::string &out,
                    std::string *why) {
  size_t len = 0;
  yyjson_write_err err;
  char *text = yyjson_val_write_opts(v, YYJSON_WRITE_NOFLAG, alc, &len, &err);
  if (!text) {
    *why = printf_text("cannot write the record: %s", err.msg);
    return false;
  }
  out.append(text, len);
  alc->free(alc->ctx, text);
  return true;
}

/* ---- NDJSON ------------------------------------------------------------ */

class NdjsonReader : public RecordReader {
 public:
  NdjsonReader() : alc_(yyjson_alc_dyn_new()) {}
  ~NdjsonReader() override {
    free(line_);
    if (alc_) yyjson_alc_dyn_free(alc_);
  }
  Input in; /* the file, opened by open_reader() */

  ReadStatus next(std::string &out) override {
    for (;;) {
      ssize_t n = getline(&line_, &cap_, in.fp);
      if (n < 0) {
        if (ferror(in.fp))
          return bad(count_ + 1,
                     printf_text("read error: %s", strerror(errno)));
        return ReadStatus::End;
      }
      bytes_ += static_cast<uint64_t>(n);
      line_no_++;
      char *s = line_;
      size_t len = static_cast<size_t>(n);
      if (line_no_ == 1 && starts_with_bom(s, len)) {
        s += 3;
        len -= 3;
      }
      if (is_blank(s, len)) continue;
      count_++;
      return parse_line(s, len, out);
    }
  }

  uint64_t bytes_done() const override { return bytes_; }

 private:
  static bool is_blank(const char *s, size_t len) {
    for (size_t i = 0; i < len; i++)
      if (s[i] != ' ' && s[i] != '\t' && s[i] != '\r' && s[i] != '\n')
        return false;
    return true;
  }

  ReadStatus parse_line(char *s, size_t len, std::string &out) {
    if (!alc_) return bad(count_, "out of memory");
    yyjson_read_err err;
    yyjson_doc *doc =
        yyjson_read_opts(s, len, YYJSON_READ_NUMBER_AS_RAW, alc_, &err);
    if (!doc)
      return bad(count_, printf_text("invalid JSON at line %llu, byte %zu: %s",
                                     static_cast<unsigned long long>(line_no_),
                                     err.pos + 1, err.msg));
    yyjson_val *root = yyjson_doc_get_root(doc);
    std::string why;
    bool ok = false;
    if (!yyjson_is_obj(root))
      why = printf_text("line %llu holds %s, not a JSON object",
                        static_cast<unsigned long long>(line_no_),
                        json_kind(root));
    else
      ok = append_compact(root, alc_, out, &why);
    yyjson_doc_free(doc);
    if (!ok) return bad(count_, why);
    record_ = count_;
    return ReadStatus::Record;
  }

  yyjson_alc *alc_;
  char *line_ = nullptr;
  size_t cap_ = 0;
  uint64_t bytes_ = 0;
  uint64_t line_no_ = 0;
  uint64_t count_ = 0;
};

/* ---- JSON array --------------------------------------------------------- */

class JsonReader : public RecordReader {
 public:
  JsonReader() : alc_(yyjson_alc_dyn_new()) {}
  ~JsonReader() override {
    yyjson_doc_free(doc_);
    if (alc_) yyjson_alc_dyn_free(alc_);
  }
  Input in; /* the file, opened by open_reader() */

  ReadStatus next(std::string &out) override {
    if (!loaded_) {
      loaded_ = true;
      ReadStatus st = load();
      if (st != ReadStatus::Record) return st;
    }
    if (index_ >= count_) return ReadStatus::End;
    yyjson_val *v = single_ ? root_ : elements_[index_];
    index_++;
    if (!yyjson_is_obj(v))
      return bad(index_, printf_text("element %zu of the array is %s, not a "
                                     "JSON object",
                                     index_, json_kind(v)));
    std::string why;
    if (!append_compact(v, alc_, out, &why)) return bad(index_, why);
    record_ = index_;
    return ReadStatus::Record;
  }

  uint64_t bytes_done() const override {
    if (count_ == 0) return size_;
    return size_ * index_ / count_;
  }

 private:
  bool read_all(std::string *data) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.fp)) > 0) data->append(buf, n);
    return !ferror(in.fp);
  }

  /* Parses the whole file; Record means "ready to hand out elements". */
  ReadStatus load() {
    if (!alc_) return bad(0, "out of memory");
    std::string data;
    if (!read_all(&data))
      return bad(0, printf_text("read error: %s", strerror(errno)));
    size_ = data.size();
    size_t skip = starts_with_bom(data.data(), data.size()) ? 3 : 0;
    yyjson_read_err err;
    doc_ = yyjson_read_opts(&data[0] + skip, data.size() - skip,
                            YYJSON_READ_NUMBER_AS_RAW, nullptr, &err);
    if (!doc_) return parse_error(data, skip, err);
    root_ = yyjson_doc_get_root(doc_);
    if (yyjson_is_arr(root_)) {
      /* yyjson_arr_get walks from the start each time; collecting the
       * elements once keeps the whole file linear. */
      count_ = yyjson_arr_size(root_);
      elements_.reserve(count_);
      yyjson_val *v;
      yyjson_arr_iter it = yyjson_arr_iter_with(root_);
      while ((v = yyjson_arr_iter_next(&it))) elements_.push_back(v);
    } else if (yyjson_is_obj(root_)) {
      single_ = true;
      count_ = 1;
    } else {
      return bad(0, printf_text("the file holds %s, not an array of JSON "
                                "objects",
                                json_kind(root_)));
    }
    return ReadStatus::Record;
  }

  ReadStatus parse_error(const std::string &data, size_t skip,
                         const yyjson_read_err &err) {
    size_t pos = skip + err.pos;
    size_t line = 1, col = 1;
    for (size_t i = 0; i < pos && i < data.size(); i++) {
      if (data[i] == '\n') {
        line++;
        col = 1;
      } else {
        col++;
      }
    }
    return bad(0, printf_text("invalid JSON at line %zu, column %zu: %s", line,
                              col, err.msg));
  }

  yyjson_alc *alc_;
  yyjson_doc *doc_ = nullptr;
  yyjson_val *root_ = nullptr;
  std::vector<yyjson_val *> elements_;
  bool loaded_ = false;
  bool single_ = false;
  size_t index_ = 0;
  size_t count_ = 0;
  uint64_t size_ = 0;
};

/* ---- CSV ---------------------------------------------------------------- */

class CsvReader : public RecordReader {
 public:
  CsvReader() : alc_(yyjson_alc_dyn_new()) {
    ready_ = csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI) == 0;
    if (ready_) csv_set_space_func(&parser_, no_spaces);
  }
  ~CsvReader() override {
    if (ready_) csv_free(&parser_);
    if (alc_) yyjson_alc_dyn_free(alc_);
  }
  Input in; /* the file, opened by open_reader() */

  ReadStatus next(std::string &out) override {
    if (!ready_ || !alc_) return bad(0, "out of memory");
    if (!have_header_) {
      ReadStatus st = read_header();
      if (st != ReadStatus::Record) return st;
    }
    ReadStatus st = fill();
    if (st != ReadStatus::Record) return st;
    std::vector<std::string> row = std::move(rows_.front());
    rows_.pop_front();
    count_++;
    return emit(row, out);
  }

  uint64_t bytes_done() const override { return bytes_; }

 private:
  static int no_spaces(unsigned char) { return 0; }

  static void on_field(void *s, size_t len, void *data) {
    auto *self = static_cast<CsvReader *>(data);
    self->cur_.emplace_back(s ? static_cast<const char *>(s) : "", len);
  }

  static void on_row(int, void *data) {
    auto *self = static_cast<CsvReader *>(data);
    self->rows_.push_back(std::move(self->cur_));
    self->cur_.clear();
    self->rows_seen_++;
  }

  /* Makes sure a row is queued: Record when one is, End at the end, Bad on
   * a parse or read error (reported only once every good row before it has
   * been handed out). */
  ReadStatus fill() {
    while (rows_.empty()) {
      if (!pending_error_.empty()) return bad(error_record_, pending_error_);
      if (eof_) return ReadStatus::End;
      parse_chunk();
    }
    return ReadStatus::Record;
  }

  void parse_chunk() {
    char buf[kCsvChunk];
    size_t n = fread(buf, 1, sizeof buf, in.fp);
    if (n == 0) {
      if (ferror(in.fp)) {
        set_error(printf_text("read error: %s", strerror(errno)));
        return;
      }
      eof_ = true;
      if (csv_fini(&parser_, on_field, on_row, this) != 0)
        set_error("a quoted field is not closed before the end of the file");
      return;
    }
    const char *s = buf;
    size_t len = n;
    if (bytes_ == 0 && starts_with_bom(s, len)) {
      s += 3;
      len -= 3;
    }
    bytes_ += n;
    if (csv_parse(&parser_, s, len, on_field, on_row, this) != len)
      set_error(csv_error(&parser_) == CSV_EPARSE
                    ? "malformed CSV: a quote inside an unquoted field, or "
                      "text after a closing quote"
                    : csv_strerror(csv_error(&parser_)));
  }

  void set_error(std::string why) {
    cur_.clear();
    eof_ = true;
    /* The row being parsed is the one after every completed row; the header
     * is row 1, so data record k is row k + 1. */
    error_record_ = rows_seen_;
    pending_error_ = std::move(why);
  }

  ReadStatus read_header() {
    ReadStatus st = fill();
    if (st != ReadStatus::Record) {
      if (st == ReadStatus::Bad) record_ = 0;
      return st;
    }
    header_ = std::move(rows_.front());
    rows_.pop_front();
    have_header_ = true;
    std::unordered_set<std::string> seen;
    for (size_t i = 0; i < header_.size(); i++) {
      const std::string &name = header_[i];
      if (name.empty())
        return bad(0, printf_text("header: column %zu has no name", i + 1));
      if (!valid_utf8(name.data(), name.size()))
        return bad(0,
                   printf_text("header: column %zu is not valid UTF-8", i + 1));
      if (!seen.insert(name).second)
        return bad(0, printf_text("header: column %zu repeats the name `%s`",
                                  i + 1, name.c_str()));
    }
    return ReadStatus::Record;
  }

  ReadStatus emit(const std::vector<std::string> &row, std::string &out) {
    if (row.size() != header_.size())
      return bad(count_, printf_text("the row has %zu field%s; the header has "
                                     "%zu",
                                     row.size(), row.size() == 1 ? "" : "s",
                                     header_.size()));
    for (size_t i = 0; i < row.size(); i++)
      if (!valid_utf8(row[i].data(), row[i].size()))
        return bad(count_, printf_text("column `%s` is not valid UTF-8",
                                       header_[i].c_str()));
    yyjson_mut_doc *doc = yyjson_mut_doc_new(alc_);
    if (!doc) return bad(count_, "out of memory");
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, obj);
    for (size_t i = 0; i < row.size(); i++)
      yyjson_mut_obj_add(
          obj, yyjson_mut_strn(doc, header_[i].data(), header_[i].size()),
          yyjson_mut_strn(doc, row[i].data(), row[i].size()));
    size_t len = 0;
    yyjson_write_err err;
    char *text =
        yyjson_mut_write_opts(doc, YYJSON_WRITE_NOFLAG, alc_, &len, &err);
    yyjson_mut_doc_free(doc);
    if (!text)
      return bad(count_, printf_text("cannot write the record: %s", err.msg));
    out.append(text, len);
    alc_->free(alc_->ctx, text);
    record_ = count_;
    return ReadStatus::Record;
  }

  yyjson_alc *alc_;
  struct csv_parser parser_;
  bool ready_ = false;
  bool have_header_ = false;
  bool eof_ = false;
  std::vector<std::string> header_;
  std::vector<std::string> cur_;
  std::deque<std::vector<std::string>> rows_;
  uint64_t rows_seen_ = 0;
  uint64_t count_ = 0;
  uint64_t bytes_ = 0;
  uint64_t error_record_ = 0;
  std::string pending_error_;
};

}  // namespace

bool format_from_text(const std::string &text, InputFormat *out) {
  if (text == "json")
    *out = InputFormat::Json;
  else if (text == "ndjson")
    *out = InputFormat::Ndjson;
  else if (text == "csv")
    *out = InputFormat::Csv;
  else
    return false;
  return true;
}

bool format_from_name(const std::string &path, InputFormat *out) {
  if (path == "-") {
    *out = InputFormat::Ndjson;
    return true;
  }
  size_t dot = path.find_last_of('.');
  size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return false;
  const char *ext = path.c_str() + dot + 1;
  if (strcasecmp(ext, "json") == 0)
    *out = InputFormat::Json;
  else if (strcasecmp(ext, "ndjson") == 0 || strcasecmp(ext, "jsonl") == 0)
    *out = InputFormat::Ndjson;
  else if (strcasecmp(ext, "csv") == 0)
    *out = InputFormat::Csv;
  else
    return false;
  return true;
}

std::unique_ptr<RecordReader> open_reader(const std::string &path,
                                          InputFormat fmt, std::string *error) {
  Input *in = nullptr;
  std::unique_ptr<RecordReader> reader;
  switch (fmt) {
    case InputFormat::Json: {
      auto r = std::make_unique<JsonReader>();
      in = &r->in;
      reader = std::move(r);
      break;
    }
    case InputFormat::Ndjson: {
      auto r = std::make_unique<NdjsonReader>();
      in = &r->in;
      reader = std::move(r);
      break;
    }
    case InputFormat::Csv: {
      auto r = std::make_unique<CsvReader>();
      in = &r->in;
      reader = std::move(r);
      break;
    }
  }
  if (!open_input(path, in, error)) return nullptr;
  return reader;
}

bool valid_utf8(const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; k++) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace lmxtool
