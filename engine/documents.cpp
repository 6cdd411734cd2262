/*
 * documents.cpp: parsing request bodies into documents and the document
 * operations of an index: add (parse, check every id, write the batch in
 * one transaction), get, delete and page, and the rewrite of every
 * document's terms when the settings that shape them change. What a
 * document becomes in the index is the indexer's (indexer.h), the layout's
 * (layout.h) and the index settings' (settings.h), read once per write
 * under the write lock.
 *
 * Bodies are read with yyjson and YYJSON_READ_NUMBER_AS_RAW, so numbers keep
 * the exact text the client sent (no rounding of 0.1 or of 20-digit ids),
 * both in the stored JSON and in the indexed text. NDJSON is read value after
 * value with YYJSON_READ_STOP_WHEN_DONE; yyjson reports byte offsets relative
 * to where each read began, so they are shifted to offsets in the whole body.
 *
 * Import speed matters (batches of thousands of documents per call): each
 * document is read once (the first batch of a new index twice, to check it
 * before the index is made), the token vector and the traversal stack are
 * reused across documents, and the only index structures built are the terms
 * with their positions and the id term. Memory is bounded too: documents are
 * read and indexed one at a time, and the limits of documents.h bound what
 * one document may cost.
 */
#include "documents.h"

#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "error.h"
#include "indexer.h"
#include "json.h"
#include "layout.h"
#include "messages.h"
#include "prior.h"
#include "system.h"
#include "text.h"

namespace lmx {
namespace {

constexpr yyjson_read_flag kReadFlags = YYJSON_READ_NUMBER_AS_RAW;

/* Xapian buffers the postings of the documents it is given and writes them
 * to its tables every XAPIAN_FLUSH_THRESHOLD documents (read from the
 * environment when a writer opens; 10000 when unset), inside a transaction
 * too. It counts documents, not bytes, so ten large documents stay buffered
 * whole: 13 documents of 200,000 distinct words took 1 GB. A writer for a
 * batch is therefore opened with a threshold that keeps the buffered
 * documents to about kFlushBytes of body text (at most about 70 MB of
 * postings), and the default for batches of small documents, where flushing
 * more often would only cost time. */
constexpr const char *kFlushVariable = "XAPIAN_FLUSH_THRESHOLD";
constexpr size_t kFlushBytes = 1 << 20;
constexpr size_t kXapianFlushDefault = 10000;
constexpr int kMaxPageLimit = 10000;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

size_t skip_space(std::string_view s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

/* A failure of the body at document position (1-based; 0: the body as a
 * whole) and byte offset (-1: unknown). */
Error body_error(const std::string &text, size_t position, long long offset,
                 lumidex_error_code code = LUMIDEX_ERROR_INVALID_BODY) {
  BodyPosition where;
  where.known = true;
  where.document = position;
  where.byte_offset = offset;
  return Error(text, code, where);
}

/* A document beyond one of the limits of documents.h; what names the limit
 * ("it holds more than 1000000 words"). */
Error too_large(size_t position, long long offset, const std::string &what) {
  return body_error("Document at position " + std::to_string(position) +
                        " is too large: " + what + ".",
                    position, offset, LUMIDEX_ERROR_DOCUMENT_TOO_LARGE);
}

std::string nested_too_deep() {
  return "it is nested deeper than " + std::to_string(kMaxNestingDepth) +
         " levels, the most a document may be";
}

/* What scan_value found about the JSON value starting at s[from]. */
struct Extent {
  /* One past the bracket that closes the value; s.size() when it is not
   * closed or is no object or array. */
  size_t end = 0;
  /* Whether a bracket lies deeper than the depth asked for (the scan stops
   * there). */
  bool too_deep = false;
  /* Commas met at depth 1 before the scan stopped: the number of members
   * of an array before the one being scanned. */
  size_t commas = 0;
};

/* Finds the extent of the object or array starting at s[from] from its
 * brackets and string quotes alone, in one pass that keeps nothing. This is
 * a scan, not a parse: yyjson then reads exactly that span, once, and
 * reports any error in it where it would have in the whole body, because in
 * text that is valid so far the scan and yyjson agree on which bracket
 * closes the value. yyjson sizes its copy and its value pool from the
 * length it is given, so a value read from a longer span (the rest of a
 * line of thousands of documents) costs time and memory for the whole
 * span. Anything else (a number, a string) is not a document and is
 * refused after one read, so its extent is the rest of s. */
Extent scan_value(std::string_view s, size_t from, size_t max_depth) {
  Extent x;
  x.end = s.size();
  if (s[from] != '{' && s[from] != '[') return x;
  size_t depth = 0;
  for (size_t i = from; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i)
        if (s[i] == '\\') ++i;
      if (i >= s.size()) break;
    } else if (c == '{' || c == '[') {
      if (++depth > max_depth) {
        x.too_deep = true;
        return x;
      }
    } else if (c == '}' || c == ']') {
      if (--depth == 0) {
        x.end = i + 1;
        return x;
      }
    } else if (c == ',' && depth == 1) {
      ++x.commas;
    }
  }
  return x;
}

Error json_error(const yyjson_read_err &err, size_t base, long position) {
  size_t offset = base + err.pos;
  std::string text = msg::invalid_json(
      position > 0 ? static_cast<unsigned long long>(position) : 0, offset,
      err.msg ? err.msg : "invalid JSON");
  return body_error(text, position > 0 ? static_cast<size_t>(position) : 0,
                    static_cast<long long>(offset));
}

Error not_an_object(size_t position, long long offset) {
  return body_error(msg::not_an_object(position), position, offset);
}

/* The length in bytes of the largest document of body, from the extents of
 * its values alone (a value that is no object or array counts to the end of
 * the body: it is refused anyway), and in *count (may be null) how many
 * values it holds. One pass over the bytes, nothing kept. */
size_t largest_document(std::string_view body, size_t *count = nullptr) {
  size_t pos = skip_space(body, 0);
  bool array = pos < body.size() && body[pos] == '[';
  if (array) pos = skip_space(body, pos + 1);
  size_t largest = 0, values = 0;
  while (pos < body.size() && !(array && body[pos] == ']')) {
    Extent x = scan_value(body, pos, SIZE_MAX);
    largest = std::max(largest, x.end - pos);
    ++values;
    pos = skip_space(body, x.end);
    if (array && pos < body.size() && body[pos] == ',')
      pos = skip_space(body, pos + 1);
  }
  if (count) *count = values;
  return largest;
}

/* The number of documents of body, as the scan above counts them (a body
 * that is refused later may count differently; it is never written). */
unsigned long long count_documents(std::string_view body) {
  size_t count = 0;
  largest_document(body, &count);
  return count;
}

/* A writer on index whose buffered postings are written out at least every
 * kFlushBytes of document text, for documents of up to largest bytes (see
 * kFlushVariable). A threshold the deployer set lower is kept. */
Xapian::WritableDatabase flushing_writer(Catalog &catalog,
                                         const std::string &index,
                                         size_t largest) {
  const char *set = getenv(kFlushVariable);
  std::string saved = set ? set : "";
  size_t every = kXapianFlushDefault;
  if (set && atol(set) > 0) every = static_cast<size_t>(atol(set));
  every = std::min(
      every, std::max<size_t>(1, kFlushBytes / std::max<size_t>(1, largest)));
  sys::set_environment(kFlushVariable, std::to_string(every).c_str());
  try {
    Xapian::WritableDatabase db = catalog.writer(index);
    sys::set_environment(kFlushVariable, set ? saved.c_str() : nullptr);
    return db;
  } catch (...) {
    sys::set_environment(kFlushVariable, set ? saved.c_str() : nullptr);
    throw;
  }
}

/* A writer for the batch body, sized for its largest document. */
Xapian::WritableDatabase batch_writer(Catalog &catalog,
                                      const std::string &index,
                                      std::string_view body) {
  return flushing_writer(catalog, index, largest_document(body));
}

/* Reads the value at body[pos, end), the extent scan_value found. */
yyjson_doc *read_value(std::string_view body, size_t pos, size_t end,
                       long position) {
  yyjson_read_err err;
  yyjson_doc *tree =
      yyjson_read_opts(const_cast<char *>(body.data() + pos), end - pos,
                       kReadFlags | YYJSON_READ_STOP_WHEN_DONE, nullptr, &err);
  if (!tree) throw json_error(err, pos, position);
  return tree;
}

/* The documents of a body, one at a time in body order: the members of a
 * JSON array (read whole, 16 bytes a value), or the values of a stream
 * (NDJSON, one object, or objects parted by any whitespace, newlines or
 * not). A stream value is scanned and read once, from where the previous
 * one ended, and its tree is freed when the next is read: yyjson takes at
 * least 800 bytes for the tree of even the smallest value, so keeping the
 * trees of a body of 500,000 small documents would take 400 MB. */
class BodyReader {
 public:
  /* Throws for a body without documents; reads a JSON array whole. */
  explicit BodyReader(std::string_view body) : body_(body) {
    pos_ = skip_space(body, 0);
    if (pos_ == body.size())
      throw body_error(
          "The body holds no documents: send a JSON array of objects, "
          "one object, or one object per line.",
          0, -1);
    if (body[pos_] == '[') read_array();
  }

  /* The next document, valid until the following call, or null after the
   * last. Throws for a value that is not valid JSON or not an object. */
  yyjson_val *next() {
    ++position_;
    if (array_) {
      yyjson_val *item = yyjson_arr_iter_next(&members_);
      if (item && !yyjson_is_obj(item)) throw not_an_object(position_, -1);
      return item;
    }
    tree_.reset();
    if (pos_ >= body_.size()) return nullptr;
    offset_ = static_cast<long long>(pos_);
    Extent x = scan_value(body_, pos_, kMaxNestingDepth);
    if (x.too_deep) throw too_large(position_, offset_, nested_too_deep());
    tree_.reset(read_value(body_, pos_, x.end, static_cast<long>(position_)));
    yyjson_val *root = yyjson_doc_get_root(tree_.get());
    if (!yyjson_is_obj(root)) throw not_an_object(position_, offset_);
    pos_ = skip_space(body_, pos_ + yyjson_doc_get_read_size(tree_.get()));
    return root;
  }

  /* 1-based position of the document next() returned last. */
  size_t position() const { return position_; }
  /* Its byte offset in the body; -1 inside a JSON array, whose members'
   * offsets the reader does not report. */
  long long offset() const { return array_ ? -1 : offset_; }

 private:
  void read_array() {
    /* The documents lie one level below the body's array. */
    Extent x = scan_value(body_, pos_, kMaxNestingDepth + 1);
    if (x.too_deep) throw too_large(x.commas + 1, -1, nested_too_deep());
    yyjson_read_err err;
    tree_.reset(yyjson_read_opts(const_cast<char *>(body_.data()), body_.size(),
                                 kReadFlags, nullptr, &err));
    if (!tree_) throw json_error(err, 0, 0);
    array_ = true;
    yyjson_arr_iter_init(yyjson_doc_get_root(tree_.get()), &members_);
  }

  struct TreeFree {
    void operator()(yyjson_doc *t) const { yyjson_doc_free(t); }
  };
  std::string_view body_;
  size_t pos_ = 0;
  size_t position_ = 0;
  long long offset_ = -1;
  bool array_ = false;
  yyjson_arr_iter members_{};
  std::unique_ptr<yyjson_doc, TreeFree> tree_;
};

/* True when raw number text is an integer (no fraction, no exponent). */
bool integer_text(const char *raw, size_t len) {
  size_t i = (len > 0 && raw[0] == '-') ? 1 : 0;
  if (i == len) return false;
  for (; i < len; ++i) {
    if (raw[i] < '0' || raw[i] > '9') return false;
  }
  return true;
}

}  // namespace

bool id_of_value(yyjson_val *v, std::string *id) {
  std::string_view text;
  bool usable = false;
  if (yyjson_is_str(v)) {
    text = std::string_view(yyjson_get_str(v), yyjson_get_len(v));
    usable = valid_identifier(text);
  } else if (yyjson_is_raw(v)) {
    text = std::string_view(yyjson_get_raw(v), yyjson_get_len(v));
    usable = text.size() <= 127 && integer_text(text.data(), text.size());
  }
  if (usable) id->assign(text);
  return usable;
}

std::string shown_id_value(yyjson_val *v) {
  if (yyjson_is_str(v) || yyjson_is_raw(v))
    return msg::backticked(std::string_view(
        yyjson_is_str(v) ? yyjson_get_str(v) : yyjson_get_raw(v),
        yyjson_get_len(v)));
  return std::string(yyjson_get_type_desc(v));
}

namespace {

/* The id of obj under primary key pk, or throws naming its position
 * (1-based) and byte offset (-1: unknown). */
std::string document_id(yyjson_val *obj, const std::string &pk, size_t position,
                        long long offset) {
  yyjson_val *v = yyjson_obj_getn(obj, pk.data(), pk.size());
  if (!v) throw body_error(msg::no_primary_key(position, pk), position, offset);
  std::string id;
  if (id_of_value(v, &id)) return id;
  throw body_error(
      msg::invalid_primary_key_value(position, pk, shown_id_value(v)),
      position, offset);
}

/* The partial document obj applied to the document db stores under id:
 * each top-level member of obj replaces the stored one of that name in
 * place, or is added after the others. Null when db stores no document id
 * (obj is then the whole document). The stored document is read as the
 * write sees it, so a second change of one id in a batch applies over the
 * first. */
Doc merged_document(Xapian::WritableDatabase &db, const std::string &id,
                    yyjson_val *obj) {
  const std::string term = std::string(kIdPrefix) + id;
  Xapian::PostingIterator p = db.postlist_begin(term);
  if (p == db.postlist_end(term)) return nullptr;
  std::string data = db.get_document(*p).get_data();
  Doc stored(yyjson_read_opts(data.data(), data.size(), kReadFlags, nullptr,
                              nullptr));
  yyjson_val *base = yyjson_doc_get_root(stored.get());
  if (!yyjson_is_obj(base))
    throw Error("Document " + msg::backticked(id) +
                " of the index is not stored as a JSON object.");
  MutDoc merged(checked(yyjson_mut_doc_new(nullptr)));
  yyjson_mut_doc *out = merged.get();
  yyjson_mut_val *root = checked(yyjson_val_mut_copy(out, base));
  yyjson_mut_doc_set_root(out, root);
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(obj, idx, max, key, val) {
    yyjson_mut_val *mkey = checked(yyjson_val_mut_copy(out, key));
    yyjson_mut_val *mval = checked(yyjson_val_mut_copy(out, val));
    if (!yyjson_mut_obj_replace(root, mkey, mval))
      require(yyjson_mut_obj_add(root, mkey, mval));
  }
  return Doc(checked(yyjson_mut_doc_imut_copy(out, nullptr)));
}

/* A stored document's id under primary key pk. */
std::string stored_id(yyjson_val *obj, const std::string &pk) {
  return document_id(obj, pk, 0, -1);
}

/* Reads the documents of body one at a time, builds the Xapian document of
 * each under primary key pk with indexer and hands it to use (id,
 * document). With merge_with, each is first applied to the document that
 * database stores under its id (merged_document). Stops after most
 * documents. Throws for the first document that is invalid or beyond a
 * limit of documents.h, naming its position. Returns the number of
 * documents. */
template <typename Use>
long each_document(BodyReader &reader, const std::string &pk, Indexer &indexer,
                   Use use, Xapian::WritableDatabase *merge_with = nullptr,
                   double most = -1) {
  long count = 0;
  while (most < 0 || count < most) {
    yyjson_val *obj = reader.next();
    if (!obj) break;
    std::string id = document_id(obj, pk, reader.position(), reader.offset());
    Doc merged = merge_with ? merged_document(*merge_with, id, obj) : nullptr;
    if (merged) obj = yyjson_doc_get_root(merged.get());
    Xapian::Document doc;
    try {
      indexer.build(obj, pk, id, doc);
    } catch (const Error &e) {
      if (e.code() != LUMIDEX_ERROR_DOCUMENT_TOO_LARGE) throw;
      throw too_large(reader.position(), reader.offset(), e.what());
    }
    use(id, doc);
    ++count;
  }
  return count;
}

/* While an index's reference rests on fewer than kLengthSample documents,
 * each batch is measured too. When the mean of all measured moves more
 * than this fraction away from the reference, the reference becomes that
 * mean and the index's documents (fewer than kLengthSample: a small index)
 * are normalised again; otherwise the reference stays, so that what is
 * written stays comparable with what is there. So an index fed one
 * document at a time does not keep the length of its first for good. */
constexpr double kLengthDrift = 0.1;
/* ... as long as that rewrite stays small: the index's documents at most
 * this long altogether, counted as the longest times their number (raw
 * lengths: about a word each). The rewrite happens inside the batch's
 * writer, whose buffer is sized for the batch's documents, not for the
 * index's (kFlushVariable). */
constexpr double kRenormaliseLength = 1 << 19;

/* The document stored under docid did of db, built under primary key pk by
 * indexer into doc. */
void build_stored(Xapian::Database &db, Xapian::docid did,
                  const std::string &pk, Indexer &indexer,
                  Xapian::Document &doc) {
  std::string data = db.get_document(did).get_data();
  std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> tree(
      yyjson_read(data.data(), data.size(), kReadFlags), yyjson_doc_free);
  yyjson_val *obj = yyjson_doc_get_root(tree.get());
  if (!yyjson_is_obj(obj))
    throw Error("Document " + std::to_string(did) +
                " of the index is not stored as a JSON object.");
  std::string id = stored_id(obj, pk);
  try {
    indexer.build(obj, pk, id, doc);
  } catch (const Error &e) {
    if (e.code() != LUMIDEX_ERROR_DOCUMENT_TOO_LARGE) throw;
    throw Error("Document " + msg::backticked(id) +
                    " is too large for these settings: " + e.what() + ".",
                LUMIDEX_ERROR_DOCUMENT_TOO_LARGE);
  }
}

/* Rewrites the documents ids of db under settings, their word weights
 * normalised against reference (0: raw). Returns the longest raw length
 * written. */
double rewrite_each(Xapian::WritableDatabase &db,
                    const std::vector<Xapian::docid> &ids,
                    const IndexSettings &settings, double reference,
                    const RewriteProgress &progress) {
  const std::string pk = Catalog::primary_key_of(db);
  const unsigned long long total = ids.size();
  const unsigned long long every = progress_step(total);
  Indexer indexer(settings, reference);
  unsigned long long done = 0;
  double longest = 0;
  for (Xapian::docid did : ids) {
    Xapian::Document doc;
    build_stored(db, did, pk, indexer, doc);
    longest = std::max(longest, indexer.last_length());
    db.replace_document(did, doc);
    ++done;
    if (progress && (done % every == 0 || done == total)) progress(done, total);
  }
  if (progress && total == 0) progress(0, 0);
  return longest;
}

/* The docids of db's documents, in order. */
std::vector<Xapian::docid> all_docids(const Xapian::Database &db) {
  std::vector<Xapian::docid> ids;
  ids.reserve(db.get_doccount());
  for (auto it = db.postlist_begin(""); it != db.postlist_end(""); ++it)
    ids.push_back(*it);
  return ids;
}

/* The reference length a batch (body, under pk and settings) is written
 * with, and the record to store once it is: reference 0 for raw weights,
 * which an index that holds them keeps (until its terms are rewritten),
 * and which a first batch without any word takes. The first batch of an
 * empty index (fresh) is measured, on up to kLengthSample documents; so is
 * each batch while fewer have been, which may normalise the index's
 * documents again (kLengthDrift). */
LengthReference batch_reference(Xapian::WritableDatabase &db,
                                std::string_view body, const std::string &pk,
                                const IndexSettings &settings, bool fresh,
                                bool merge, PriorKeeper &priors) {
  LengthReference r = fresh ? LengthReference() : length_reference(db);
  if (!fresh && (r.reference == 0 || r.measured >= kLengthSample)) return r;
  BodyReader reader(body);
  Indexer raw(settings);
  double sum = 0;
  long count = each_document(
      reader, pk, raw,
      [&](const std::string &, Xapian::Document &) {
        sum += raw.last_length();
      },
      merge ? &db : nullptr, kLengthSample - r.measured);
  LengthReference next = r;
  next.measured = r.measured + static_cast<double>(count);
  if (next.measured > 0)
    next.mean = (r.mean * r.measured + sum) / next.measured;
  if (!(next.mean > 0)) return r;
  const bool small =
      r.longest * static_cast<double>(db.get_doccount()) <= kRenormaliseLength;
  if (fresh || (small && std::abs(next.mean - r.reference) >
                             kLengthDrift * r.reference)) {
    next.reference = next.mean;
    if (!fresh) {
      next.longest = std::max(
          next.longest,
          rewrite_each(db, all_docids(db), settings, next.reference, {}));
      /* The documents were written anew, without their stored priors. */
      priors.note_all();
    }
  }
  return next;
}

/* Adds every document of body in one transaction: a failure at any
 * document cancels it, so nothing of the batch is written. The settings
 * are read once, under the write lock, so the whole batch is indexed as
 * the settings committed with it say. merge: each document changes the
 * stored one of its id in part (merged_document). progress, when set, is
 * told of every document written, of total. */
long write_batch(Xapian::WritableDatabase &db, std::string_view body,
                 const std::string &pk, bool merge = false,
                 unsigned long long total = 0,
                 const RewriteProgress &progress = {}) {
  IndexSettings settings = read_settings(db);
  const unsigned long long every = progress_step(total);
  unsigned long long done = 0;
  /* Every document of an empty index is written from here on, so it
   * holds what this indexer writes. */
  const bool fresh = db.get_doccount() == 0;
  /* An empty index stores its priors from its first batch on; one that
   * does not yet keeps without until its terms are rewritten. The first
   * batch stores every document's prior at its end (a document may be
   * written twice in it); a later one those of the names its documents
   * bear, before and after. */
  PriorKeeper priors(fresh || index_layout(db).stored_priors);
  if (fresh) priors.note_all();
  db.begin_transaction(true);
  try {
    LengthReference r =
        batch_reference(db, body, pk, settings, fresh, merge, priors);
    BodyReader reader(body);
    Indexer indexer(settings, r.reference);
    double longest = 0;
    long count = each_document(
        reader, pk, indexer,
        [&](const std::string &id, Xapian::Document &doc) {
          longest = std::max(longest, indexer.last_length());
          const std::string term = std::string(kIdPrefix) + id;
          priors.note_stored(db, term);
          priors.note_new(doc);
          db.replace_document(term, doc);
          if (progress && (++done % every == 0 || done == total))
            progress(done, total);
        },
        merge ? &db : nullptr);
    priors.store(db);
    if (r.reference > 0) {
      r.longest = std::max(r.longest, longest);
      mark_normalised(db, r, priors.active());
    } else if (fresh) {
      mark_pair_terms(db);
    }
    Catalog::touch(db);
    db.commit_transaction();
    return count;
  } catch (...) {
    cancel_transaction(db);
    throw;
  }
}

/* add_documents (merge false) and update_documents (merge true). */
long write_documents(Catalog &catalog, const std::string &index,
                     const std::string &new_primary_key, std::string_view body,
                     bool merge, const RewriteProgress &progress) {
  Catalog::require_valid_name(index);
  if (!catalog.exists(index)) {
    /* Check the whole batch against the key the new index will have (ids,
     * and the size limits, which only building the documents tells) before
     * making it, so a refused batch leaves no empty index behind. This reads
     * and builds the first batch of a new index twice, one document at a
     * time. */
    Catalog::require_valid_key(new_primary_key);
    BodyReader check(body);
    Indexer indexer;
    each_document(check, new_primary_key, indexer,
                  [](const std::string &, Xapian::Document &) {});
    catalog.try_create(index, new_primary_key);
  }
  Xapian::WritableDatabase db = batch_writer(catalog, index, body);
  /* The key is read under the write lock: another process may have created
   * the index with a different key in the meantime. */
  std::string pk = Catalog::primary_key_of(db);
  unsigned long long total = progress ? count_documents(body) : 0;
  long count = write_batch(db, body, pk, merge, total, progress);
  db.close();
  return count;
}

}  // namespace

long add_documents(Catalog &catalog, const std::string &index,
                   const std::string &new_primary_key, std::string_view body) {
  return write_documents(catalog, index, new_primary_key, body, false, {});
}

long update_documents(Catalog &catalog, const std::string &index,
                      std::string_view body, const RewriteProgress &progress) {
  return write_documents(catalog, index, "id", body, true, progress);
}

unsigned long long progress_step(unsigned long long total) {
  return std::max<unsigned long long>(
      1, std::min<unsigned long long>(1000, total / 100));
}

std::string get_document(Catalog &catalog, const std::string &index,
                         const std::string &id) {
  Catalog::require_valid_name(index);
  Xapian::Database *db = catalog.reader(index);
  if (!db)
    throw Error(msg::index_not_found(index), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  std::string out;
  bool found = false;
  if (valid_identifier(id)) {
    found = fresh_read(*db, [&] {
      Xapian::PostingIterator p = db->postlist_begin(kIdPrefix + id);
      if (p == db->postlist_end(kIdPrefix + id)) return false;
      out = db->get_document(*p).get_data();
      return true;
    });
  }
  if (!found)
    throw Error(msg::document_not_found(id, index),
                LUMIDEX_ERROR_DOCUMENT_NOT_FOUND);
  return out;
}

void delete_document(Catalog &catalog, const std::string &index,
                     const std::string &id) {
  Catalog::require_valid_name(index);
  Xapian::WritableDatabase db = catalog.writer(index);
  std::string term = kIdPrefix + id;
  if (!valid_identifier(id) || db.get_termfreq(term) == 0)
    throw Error(msg::document_not_found(id, index),
                LUMIDEX_ERROR_DOCUMENT_NOT_FOUND);
  PriorKeeper priors(index_layout(db).stored_priors);
  db.begin_transaction(true);
  try {
    priors.note_stored(db, term);
    db.delete_document(term);
    priors.store(db);
    Catalog::touch(db);
    db.commit_transaction();
  } catch (...) {
    cancel_transaction(db);
    throw;
  }
  db.close();
}

bool documents_page(Catalog &catalog, const std::string &index,
                    unsigned long long after, int limit,
                    std::string *out_text) {
  Catalog::require_valid_name(index);
  Xapian::Database *db = catalog.reader(index);
  if (!db) return false;
  if (limit < 1) limit = 1;
  if (limit > kMaxPageLimit) limit = kMaxPageLimit;

  fresh_read(*db, [&] {
    yyjson_mut_val *root = nullptr;
    MutDoc page = new_object_doc(&root);
    yyjson_mut_doc *out = page.get();
    yyjson_mut_val *documents = checked(yyjson_mut_arr(out));
    Xapian::docid last = 0;
    bool more = false;
    /* Docids are 32-bit: a position at or past the largest has nothing
     * after it. */
    if (after < db->get_lastdocid()) {
      Xapian::PostingIterator it = db->postlist_begin("");
      Xapian::PostingIterator end = db->postlist_end("");
      it.skip_to(static_cast<Xapian::docid>(after + 1));
      int count = 0;
      for (; it != end && count < limit; ++it, ++count) {
        /* The stored document is compact JSON already: written as it is. */
        std::string data = db->get_document(*it).get_data();
        require(yyjson_mut_arr_append(
            documents,
            checked(yyjson_mut_rawncpy(out, data.data(), data.size()))));
        last = *it;
      }
      more = it != end;
    }
    require(yyjson_mut_obj_add_val(out, root, "documents", documents) &&
            yyjson_mut_obj_add_uint(out, root, "next", more ? last : 0));
    *out_text = written(out);
  });
  return true;
}

void cancel_transaction(Xapian::WritableDatabase &db) noexcept {
  try {
    db.cancel_transaction();
  } catch (...) {
    /* The transaction may already be gone; closing discards it anyway. */
  }
}

/* A document's length in Xapian (the sum of its words' weights) is no byte
 * count, but a word weighs at least 1 and takes at least two bytes of text
 * with its separator, so twice the largest length is a safe stand-in for
 * the largest document's size. */
Xapian::WritableDatabase rewrite_writer(Catalog &catalog,
                                        const std::string &index) {
  Xapian::Database *db = catalog.reader(index);
  if (!db)
    throw Error(msg::index_not_found(index), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  /* With normalised weights Xapian's lengths are no longer raw ones, so
   * the longest raw length written stands in for them (layout.h). */
  double longest = fresh_read(*db, [&] {
    LengthReference r = length_reference(*db);
    return r.reference > 0
               ? r.longest
               : static_cast<double>(db->get_doclength_upper_bound());
  });
  return flushing_writer(catalog, index, 2 * static_cast<size_t>(longest));
}

void rewrite_documents(Xapian::WritableDatabase &db,
                       const IndexSettings &settings,
                       const RewriteProgress &progress) {
  /* The docids first: the documents are replaced as they are read. */
  const std::vector<Xapian::docid> ids = all_docids(db);
  /* The reference is measured on documents spread over the whole index,
   * under the new settings, before any is written. */
  const std::string pk = Catalog::primary_key_of(db);
  const size_t step = std::max<size_t>(
      1, static_cast<size_t>(std::ceil(ids.size() / kLengthSample)));
  Indexer raw(settings);
  LengthReference r;
  double sum = 0;
  for (size_t k = 0; k < ids.size(); k += step) {
    Xapian::Document doc;
    build_stored(db, ids[k], pk, raw, doc);
    sum += raw.last_length();
    ++r.measured;
  }
  if (r.measured > 0) r.mean = sum / r.measured;
  if (r.mean > 0) r.reference = r.mean;
  r.longest = rewrite_each(db, ids, settings, r.reference, progress);
  /* Every document was written anew, its name perhaps from another
   * field: every prior is stored again. */
  PriorKeeper priors(true);
  priors.note_all();
  priors.store(db);
  if (r.reference > 0)
    mark_normalised(db, r, true);
  else
    mark_pair_terms(db);
}

}  // namespace lmx
