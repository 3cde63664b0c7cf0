#include "render.h"

#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "highlight.h"
#include "utf8.h"

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

const char kEllipsis[] = "\xE2\x80\xA6";
const char kColumnGap[] = "  ";
// The member in which the library gives each hit's marked texts.
const char kMarksMember[] = "_highlight";

doc_ptr parse_json(const std::string &text) {
  return doc_ptr(yyjson_read(text.data(), text.size(), 0), yyjson_doc_free);
}

// A cell's text with the byte ranges to highlight (ascending, disjoint).
// Control characters are already replaced by spaces, so a value cannot break
// the table's lines; the replacement keeps every byte offset.
struct marked_text {
  std::string text;
  std::vector<std::pair<size_t, size_t>> marks;
};

std::string printable(std::string_view text) {
  std::string out(text);
  for (char &c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

std::string written_value(yyjson_val *value) {
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> text(yyjson_val_write(value, 0, &len), free);
  return text ? std::string(text.get(), len) : std::string();
}

// A member value as one line of text: arrays are listed with commas, nested
// objects as "key: value" pairs, null as nothing.
std::string flatten(yyjson_val *value) {
  if (yyjson_is_str(value)) return std::string(yyjson_get_str(value), yyjson_get_len(value));
  if (yyjson_is_num(value)) return written_value(value);
  if (yyjson_is_bool(value)) return yyjson_get_bool(value) ? "true" : "false";
  std::string out;
  if (yyjson_is_arr(value)) {
    size_t index, count;
    yyjson_val *element;
    yyjson_arr_foreach(value, index, count, element) {
      std::string part = flatten(element);
      if (part.empty()) continue;
      if (!out.empty()) out += ", ";
      out += part;
    }
  } else if (yyjson_is_obj(value)) {
    size_t index, count;
    yyjson_val *key, *member;
    yyjson_obj_foreach(value, index, count, key, member) {
      if (!out.empty()) out += "; ";
      out.append(yyjson_get_str(key), yyjson_get_len(key));
      out += ": ";
      out += flatten(member);
    }
  }
  return out;
}

// ---- Fitting marked text into a column ----

const char *mark_open(const table_style &style) {
  return style.ansi ? "\x1b[1;33m" : "[";
}
const char *mark_close(const table_style &style) {
  return style.ansi ? "\x1b[0m" : "]";
}
size_t mark_cost(const table_style &style) {
  return style.ansi ? 0 : 2;
}

size_t marked_width(const marked_text &cell, size_t start, const table_style &style) {
  size_t width = utf8_width(std::string_view(cell.text).substr(start));
  for (const auto &mark : cell.marks) {
    if (mark.second > start) width += mark_cost(style);
  }
  return width;
}

// Where to start showing a cell so that its first mark is in view with a
// little context before it, starting at a word when one begins nearby.
size_t window_start(const marked_text &cell, size_t width, const table_style &style) {
  if (cell.marks.empty()) return 0;
  size_t first = cell.marks.front().first;
  size_t through_mark =
      utf8_width(std::string_view(cell.text).substr(0, cell.marks.front().second));
  if (through_mark + mark_cost(style) < width) return 0;

  size_t context = width / 3;
  size_t start = first;
  size_t taken = 0;
  while (start > 0) {
    size_t prev = utf8_back(cell.text, start);
    taken += utf8_width_at(cell.text, prev, start - prev);
    if (taken > context) break;
    start = prev;
  }
  size_t space = cell.text.find(' ', start);
  if (space != std::string::npos && space < first) start = space + 1;
  return start;
}

// The cell in exactly `width` columns: cut with an ellipsis where text is
// left out, padded with spaces when pad is set.
std::string fit(const marked_text &cell, size_t width, bool from_first_mark, bool pad,
                const table_style &style) {
  std::string out;
  size_t used = 0;
  size_t start = from_first_mark ? window_start(cell, width, style) : 0;
  if (start > 0) {
    out += kEllipsis;
    used = 1;
  }
  size_t cost = mark_cost(style) / 2;
  bool fits = used + marked_width(cell, start, style) <= width;
  size_t budget = fits || width == 0 ? width : width - 1;  // room for the closing ellipsis

  size_t mark = 0;
  while (mark < cell.marks.size() && cell.marks[mark].second <= start) ++mark;
  bool in_mark = false;
  size_t pos = start;
  while (true) {
    if (in_mark && pos == cell.marks[mark].second) {
      out += mark_close(style);
      used += cost;
      in_mark = false;
      ++mark;
    }
    if (pos >= cell.text.size()) break;
    size_t len = utf8_step(cell.text, pos);
    size_t char_width = utf8_width_at(cell.text, pos, len);
    if (!in_mark && mark < cell.marks.size() && pos >= cell.marks[mark].first) {
      if (used + 2 * cost + char_width > budget) break;
      out += mark_open(style);
      used += cost;
      in_mark = true;
    }
    if (used + char_width + (in_mark ? cost : 0) > budget) break;
    out.append(cell.text, pos, len);
    used += char_width;
    pos += len;
  }
  if (in_mark) {
    out += mark_close(style);
    used += cost;
  }
  if (pos < cell.text.size() && used < width) {
    out += kEllipsis;
    used += 1;
  }
  if (pad && used < width) out.append(width - used, ' ');
  return out;
}

std::string pad_right(std::string_view text, size_t width) {
  std::string out(text);
  size_t used = utf8_width(text);
  if (used < width) out.append(width - used, ' ');
  return out;
}

std::string pad_left(std::string_view text, size_t width) {
  size_t used = utf8_width(text);
  std::string out(used < width ? width - used : 0, ' ');
  out += text;
  return out;
}

std::string bold(const std::string &text, const table_style &style) {
  return style.ansi ? "\x1b[1m" + text + "\x1b[0m" : text;
}

// ---- Hits ----

struct hit_row {
  std::string rank;
  std::string id;
  marked_text title;
  std::string match_key;  // the member the snippet comes from, shown before it
  marked_text match;
};

marked_text marked(std::string text, const std::vector<std::string> &query,
                   const std::vector<bool> &exact_only) {
  marked_text cell{printable(text), {}};
  for (const word_match &m : matching_words(cell.text, query, exact_only)) {
    cell.marks.emplace_back(m.begin, m.end);
  }
  return cell;
}

size_t distinct_query_words(const std::vector<word_match> &matches) {
  std::vector<size_t> seen;
  for (const word_match &m : matches) {
    if (std::find(seen.begin(), seen.end(), m.query_word) == seen.end())
      seen.push_back(m.query_word);
  }
  return seen.size();
}

// The key of the member shown as the title, or nullptr.
const char *title_key_of(yyjson_val *hit) {
  return yyjson_obj_get(hit, "title") ? "title" : yyjson_obj_get(hit, "name") ? "name" : nullptr;
}

// Whether a member may be shown in the match column: not the id, not the
// title, not the library's marks.
bool may_show(std::string_view name, const std::string &primary_key, const char *title_key) {
  return name != primary_key && !(title_key && name == title_key) && name != kMarksMember;
}

// Picks the member, other than the id and the title, that holds the most
// distinct query words (then the most matching words; the first on a tie).
// Browsing has no query words: then the first member is shown.
void pick_best_member(yyjson_val *hit, const std::string &primary_key, const char *title_key,
                      const std::vector<std::string> &query, const std::vector<bool> &exact_only,
                      bool browsing, hit_row *row) {
  size_t best_distinct = 0, best_count = 0;
  size_t index, count;
  yyjson_val *key, *value;
  yyjson_obj_foreach(hit, index, count, key, value) {
    std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    if (!may_show(name, primary_key, title_key)) continue;
    std::string text = flatten(value);
    if (browsing) {
      row->match_key = printable(name) + ": ";
      row->match = marked_text{printable(text), {}};
      return;
    }
    std::vector<word_match> matches = matching_words(text, query, exact_only);
    size_t distinct = distinct_query_words(matches);
    if (distinct > best_distinct || (distinct == best_distinct && matches.size() > best_count)) {
      best_distinct = distinct;
      best_count = matches.size();
      row->match_key = printable(name) + ": ";
      row->match = marked(text, query, exact_only);
    }
  }
}

hit_row make_hit_row(yyjson_val *hit, size_t rank, const std::string &primary_key,
                     const std::vector<std::string> &query, bool browsing) {
  hit_row row;
  row.rank = std::to_string(rank);
  row.id = printable(flatten(yyjson_obj_getn(hit, primary_key.data(), primary_key.size())));

  std::vector<word_span> words;
  size_t index, count;
  yyjson_val *key, *value;
  yyjson_obj_foreach(hit, index, count, key, value) {
    std::vector<word_span> member_words = split_words(flatten(value));
    words.insert(words.end(), member_words.begin(), member_words.end());
  }
  std::vector<bool> exact_only = exact_query_words(query, words);

  const char *title_key = title_key_of(hit);
  if (title_key) row.title = marked(flatten(yyjson_obj_get(hit, title_key)), query, exact_only);
  pick_best_member(hit, primary_key, title_key, query, exact_only, browsing, &row);
  return row;
}

// A text the library marked, with its tags taken out and their places kept
// as marks. The library does not escape the text, so a document that holds
// a tag itself would be marked there too: the tool's own tags are control
// characters, which documents seldom hold.
marked_text library_marked(std::string_view text, const hits_request &request) {
  const std::string &open = request.mark_open, &close = request.mark_close;
  marked_text cell;
  size_t pos = 0;
  while (!open.empty() && !close.empty() && pos < text.size()) {
    size_t start = text.find(open, pos);
    size_t end = start == std::string_view::npos ? start : text.find(close, start + open.size());
    if (end == std::string_view::npos) break;
    cell.text.append(text, pos, start - pos);
    size_t begin = cell.text.size();
    cell.text.append(text, start + open.size(), end - start - open.size());
    if (cell.text.size() > begin) cell.marks.emplace_back(begin, cell.text.size());
    pos = end + close.size();
  }
  cell.text.append(text.substr(pos));
  cell.text = printable(cell.text);
  return cell;
}

// A row from the library's marks: the title marked when it was asked for,
// and the other marked member with the most marks (the first on a tie).
hit_row make_marked_row(yyjson_val *hit, size_t rank, const std::string &primary_key,
                        const hits_request &request) {
  hit_row row;
  row.rank = std::to_string(rank);
  row.id = printable(flatten(yyjson_obj_getn(hit, primary_key.data(), primary_key.size())));
  yyjson_val *marks = yyjson_obj_get(hit, kMarksMember);
  const char *title_key = title_key_of(hit);
  if (title_key) {
    yyjson_val *title = yyjson_obj_get(marks, title_key);
    row.title = yyjson_is_str(title)
                    ? library_marked({yyjson_get_str(title), yyjson_get_len(title)}, request)
                    : marked_text{printable(flatten(yyjson_obj_get(hit, title_key))), {}};
  }
  bool chosen = false;
  for (const std::string &name : request.highlighted) {
    yyjson_val *text = yyjson_obj_getn(marks, name.data(), name.size());
    if (!yyjson_is_str(text) || !may_show(name, primary_key, title_key)) continue;
    marked_text cell = library_marked({yyjson_get_str(text), yyjson_get_len(text)}, request);
    if (!chosen || cell.marks.size() > row.match.marks.size()) {
      row.match_key = printable(name) + ": ";
      row.match = std::move(cell);
      chosen = true;
    }
  }
  return row;
}

struct column_widths {
  size_t rank, id, title, match;
};

// The id column is never cut: a user copies ids from it into `get`. The
// title takes what it needs up to 40 columns and the snippet the rest, at
// least two fifths of the line; on a narrow terminal the title gives way
// first (to 16 columns), then the snippet (to 12), then the title again
// (to 6). Past that the line is left wider than the terminal.
column_widths layout(const std::vector<hit_row> &rows, const table_style &style) {
  column_widths w{1, 2, 5, 5};
  for (const hit_row &row : rows) {
    w.rank = std::max(w.rank, row.rank.size());
    w.id = std::max(w.id, utf8_width(row.id));
    w.title = std::max(w.title, marked_width(row.title, 0, style));
  }
  w.title = std::min<size_t>(w.title, 40);
  const size_t gaps = 3 * (sizeof(kColumnGap) - 1);
  const size_t fixed = w.rank + w.id + gaps;
  const size_t room = style.width > fixed ? style.width - fixed : 0;
  size_t min_match = std::max<size_t>(24, style.width * 2 / 5);
  auto give_way = [&](size_t *width, size_t floor, size_t other) {
    if (*width + other <= room) return;
    size_t fits = room > other ? room - other : 0;
    *width = std::max(std::min(*width, floor), fits);
  };
  give_way(&w.title, 16, min_match);
  give_way(&min_match, 12, w.title);
  give_way(&w.title, 6, min_match);
  w.match = std::max(min_match, room > w.title ? room - w.title : 0);
  return w;
}

// Milliseconds with one decimal from 10 on and three below, the same in
// every locale.
std::string format_ms(double ms) {
  const long long scale = ms >= 10 ? 10 : 1000;
  const long long units = static_cast<long long>(ms * static_cast<double>(scale) + 0.5);
  char text[64];
  snprintf(text, sizeof text, "%lld.%0*lld ms", units / scale, scale == 10 ? 1 : 3, units % scale);
  return text;
}

// "1-20 of 31 hits for "dune" (0.120 ms)"; a browse counts documents.
std::string hits_footer(size_t shown, int64_t offset, int64_t total, const std::string &query,
                        bool browsing, double ms) {
  const std::string what = browsing ? " document" : " hit";
  const std::string plural = what + "s";
  const std::string of_query = browsing ? "" : " for \"" + printable(query) + "\"";
  const std::string time = " (" + format_ms(ms) + ")\n";
  if (shown > 0) {
    return std::to_string(offset + 1) + "-" + std::to_string(offset + static_cast<int64_t>(shown)) +
           " of " + std::to_string(total) + (total == 1 ? what : plural) + of_query + time;
  }
  if (total == 0) return "no" + plural + of_query + time;
  return "no" + plural + " from offset " + std::to_string(offset) + ": " + std::to_string(total) +
         " in total" + of_query + time;
}

// A facet value as the table shows it: a string as it is (the empty one as
// ""), anything else as its JSON.
std::string facet_value(yyjson_val *value) {
  if (yyjson_is_str(value)) {
    std::string text = printable({yyjson_get_str(value), yyjson_get_len(value)});
    return text.empty() ? "\"\"" : text;
  }
  return printable(written_value(value));
}

}  // namespace

std::string render_hits(const std::string &response_json, const std::string &primary_key,
                        const table_style &style, const hits_request &request) {
  doc_ptr doc = parse_json(response_json);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  yyjson_val *hits = yyjson_obj_get(root, "hits");
  if (!yyjson_is_obj(root) || !yyjson_is_arr(hits)) return "";
  const char *query_text = yyjson_get_str(yyjson_obj_get(root, "query"));
  std::string query = query_text ? query_text : "";
  int64_t offset = yyjson_get_sint(yyjson_obj_get(root, "offset"));
  int64_t total = yyjson_get_sint(yyjson_obj_get(root, "totalHits"));
  double ms = yyjson_get_num(yyjson_obj_get(root, "processingTimeMs"));

  std::vector<std::string> query_words;
  if (request.highlighted.empty()) {
    for (word_span &word : split_words(query)) query_words.push_back(std::move(word.folded));
  }

  std::vector<hit_row> rows;
  size_t index, count;
  yyjson_val *hit;
  yyjson_arr_foreach(hits, index, count, hit) {
    size_t rank = static_cast<size_t>(offset) + index + 1;
    rows.push_back(request.highlighted.empty()
                       ? make_hit_row(hit, rank, primary_key, query_words, request.browsing)
                       : make_marked_row(hit, rank, primary_key, request));
  }

  std::string out;
  if (!rows.empty()) {
    column_widths w = layout(rows, style);
    out += bold(pad_left("#", w.rank) + kColumnGap + pad_right("ID", w.id) + kColumnGap +
                    pad_right("TITLE", w.title) + kColumnGap + "MATCH",
                style);
    out += '\n';
    for (const hit_row &row : rows) {
      out += pad_left(row.rank, w.rank) + kColumnGap;
      out += fit(marked_text{row.id, {}}, w.id, false, true, style) + kColumnGap;
      out += fit(row.title, w.title, false, true, style) + kColumnGap;
      size_t key_width = std::min(utf8_width(row.match_key), w.match / 2);
      out += fit(marked_text{row.match_key, {}}, key_width, false, false, style);
      out += fit(row.match, w.match - key_width, true, false, style);
      while (!out.empty() && out.back() == ' ') out.pop_back();
      out += '\n';
    }
  }
  out += hits_footer(rows.size(), offset, total, query, request.browsing, ms);
  return out;
}

std::string render_facets(const std::string &response_json, const table_style &style) {
  doc_ptr doc = parse_json(response_json);
  yyjson_val *facets = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "facets");
  std::string out;
  size_t index, count;
  yyjson_val *path, *entries;
  yyjson_obj_foreach(facets, index, count, path, entries) {
    std::vector<std::pair<std::string, std::string>> lines;
    size_t entry_index, entry_count;
    yyjson_val *entry;
    yyjson_arr_foreach(entries, entry_index, entry_count, entry) {
      lines.emplace_back(facet_value(yyjson_obj_get(entry, "value")),
                         written_value(yyjson_obj_get(entry, "count")));
    }
    std::string header = printable({yyjson_get_str(path), yyjson_get_len(path)});
    size_t count_width = 5;  // "COUNT"
    size_t value_width = utf8_width(header);
    for (const auto &line : lines) {
      value_width = std::max(value_width, utf8_width(line.first));
      count_width = std::max(count_width, line.second.size());
    }
    // A long value is cut rather than the counts pushed off the line.
    const size_t room = style.width > count_width + 2 ? style.width - count_width - 2 : 1;
    value_width = std::min(value_width, std::max<size_t>(room, 8));
    out += "\n" +
           bold(fit(marked_text{header, {}}, value_width, false, true, style) + kColumnGap +
                    pad_left("COUNT", count_width),
                style) +
           "\n";
    for (const auto &line : lines) {
      out += fit(marked_text{line.first, {}}, value_width, false, true, style) + kColumnGap +
             pad_left(line.second, count_width) + "\n";
    }
    if (lines.empty()) out += "no values\n";
  }
  return out;
}

std::string render_stats(const std::string &stats_json, const table_style &style) {
  static const std::pair<const char *, const char *> kLabels[] = {
      {"name", "index"},         {"primary_key", "primary key"}, {"document_count", "documents"},
      {"term_count", "terms"},   {"total_tokens", "tokens"},     {"avg_doc_len", "average length"},
      {"bm25", "ranking (BM25)"}};
  doc_ptr doc = parse_json(stats_json);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) return "";

  std::vector<std::pair<std::string, std::string>> lines;
  size_t index, count;
  yyjson_val *key, *value;
  yyjson_obj_foreach(root, index, count, key, value) {
    std::string label(yyjson_get_str(key), yyjson_get_len(key));
    for (const auto &known : kLabels) {
      if (label == known.first) label = known.second;
    }
    lines.emplace_back(label, printable(flatten(value)));
  }
  size_t label_width = 0;
  for (const auto &line : lines) label_width = std::max(label_width, utf8_width(line.first));
  std::string out;
  for (const auto &line : lines) {
    out += bold(pad_right(line.first, label_width), style) + kColumnGap + line.second + "\n";
  }
  return out;
}

std::string stats_document_count(const std::string &stats_json) {
  doc_ptr doc = parse_json(stats_json);
  yyjson_val *count = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "document_count");
  return yyjson_is_num(count) ? written_value(count) : "?";
}

bool parse_index_list(const std::string &list_json, std::vector<index_row> *rows) {
  doc_ptr doc = parse_json(list_json);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_arr(root)) return false;
  size_t index, count;
  yyjson_val *entry;
  yyjson_arr_foreach(root, index, count, entry) {
    const char *name = yyjson_get_str(yyjson_obj_get(entry, "name"));
    const char *key = yyjson_get_str(yyjson_obj_get(entry, "primary_key"));
    rows->push_back({name ? name : "", key ? key : "", "?"});
  }
  return true;
}

std::string render_index_list(const std::vector<index_row> &rows, const table_style &style) {
  if (rows.empty()) return "no indexes\n";
  size_t name_width = 4, key_width = 11;
  for (const index_row &row : rows) {
    name_width = std::max(name_width, utf8_width(printable(row.name)));
    key_width = std::max(key_width, utf8_width(printable(row.primary_key)));
  }
  std::string out = bold(pad_right("NAME", name_width) + kColumnGap +
                             pad_right("PRIMARY KEY", key_width) + kColumnGap + "DOCUMENTS",
                         style) +
                    "\n";
  for (const index_row &row : rows) {
    out += pad_right(printable(row.name), name_width) + kColumnGap +
           pad_right(printable(row.primary_key), key_width) + kColumnGap +
           pad_left(row.documents, 9) + "\n";
  }
  return out;
}

std::string render_document(const std::string &document_json) {
  doc_ptr doc = parse_json(document_json);
  if (!doc) return "";
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> text(
      yyjson_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, &len), free);
  return text ? std::string(text.get(), len) + "\n" : "";
}

}  // namespace cli
