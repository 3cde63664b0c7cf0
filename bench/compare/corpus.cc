#include "corpus.h"

#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <unordered_set>

namespace {

// Lines of a plain or gzip-compressed file.
bool ForEachLine(const std::string &path, const std::function<void(const std::string &)> &each) {
  const bool gz = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
  FILE *in = gz ? popen(("gzip -dc '" + path + "'").c_str(), "r") : fopen(path.c_str(), "rb");
  if (!in) return false;
  std::string line;
  char buf[1 << 16];
  bool any = false;
  while (fgets(buf, sizeof buf, in)) {
    line += buf;
    if (line.back() != '\n') continue;
    line.pop_back();
    if (!line.empty()) each(line), any = true;
    line.clear();
  }
  if (!line.empty()) each(line), any = true;
  if (gz)
    pclose(in);
  else
    fclose(in);
  return any;
}

// Pseudo-words of 3 to 11 letters, most of them short.
std::vector<std::string> SyntheticVocabulary(std::mt19937_64 &rng, size_t n) {
  static const char kConsonants[] = "bcdfghklmnprstvz", kVowels[] = "aeiou";
  std::vector<std::string> words;
  std::unordered_set<std::string> seen;
  while (words.size() < n) {
    std::string w;
    const size_t len = 3 + rng() % 5 + rng() % 4;
    for (size_t i = 0; i < len; i++) w += i % 2 ? kVowels[rng() % 5] : kConsonants[rng() % 16];
    if (seen.insert(w).second) words.push_back(w);
  }
  return words;
}

// Synthetic documents: words drawn with Zipf frequencies (exponent 1).
void ForEachSynthetic(const CorpusSource &src,
                      const std::function<void(const std::string &)> &each) {
  std::mt19937_64 rng(src.seed);
  const std::vector<std::string> vocab = SyntheticVocabulary(rng, 50000);
  std::vector<double> cdf(vocab.size());
  double sum = 0;
  for (size_t i = 0; i < vocab.size(); i++) cdf[i] = sum += 1.0 / (double)(i + 1);
  auto word = [&] {
    const double x = std::uniform_real_distribution<double>(0, sum)(rng);
    return vocab[std::min(vocab.size() - 1,
                          (size_t)(std::lower_bound(cdf.begin(), cdf.end(), x) - cdf.begin()))];
  };
  auto words = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) {
      if (i) s += ' ';
      s += word();
    }
    return s;
  };
  // Sections and sizes skewed as a package archive's are: a few large
  // sections, sizes spread over five orders of magnitude.
  auto section = [&] { return "section" + std::to_string(std::min(rng() % 40, rng() % 40)); };
  auto size = [&] {
    return std::to_string((uint64_t)std::exp(std::uniform_real_distribution<double>(0, 12)(rng)));
  };
  for (uint64_t i = 0; i < src.synthetic_docs; i++) {
    each("{\"id\":\"doc" + std::to_string(i) + "\",\"name\":\"" + words(1 + rng() % 2) +
         "\",\"summary\":\"" + words(4 + rng() % 8) + "\",\"description\":\"" +
         words(20 + rng() % 100) + "\",\"" + kSectionField + "\":\"" + section() + "\",\"" +
         kSizeField + "\":" + size() + ",\"" + kTagsField + "\":[\"" + word() + "\",\"" + word() +
         "\"]}");
  }
}

// The document with "~k" appended to its id.
std::string WithIdSuffix(const std::string &json, uint64_t k) {
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_mut_doc *mut = yyjson_doc_mut_copy(doc, nullptr);
  yyjson_doc_free(doc);
  if (!mut) return json;
  yyjson_mut_val *root = yyjson_mut_doc_get_root(mut);
  yyjson_mut_val *id = yyjson_mut_obj_get(root, "id");
  std::string text;
  if (yyjson_mut_is_str(id))
    text = yyjson_mut_get_str(id);
  else if (yyjson_mut_is_num(id)) {
    char num[64];
    snprintf(num, sizeof num, "%.0f", yyjson_mut_get_num(id));
    text = num;
  }
  text += "~" + std::to_string(k);
  yyjson_mut_obj_put(root, yyjson_mut_str(mut, "id"), yyjson_mut_strcpy(mut, text.c_str()));
  char *out = yyjson_mut_write(mut, 0, nullptr);
  std::string result = out ? out : json;
  free(out);
  yyjson_mut_doc_free(mut);
  return result;
}

void AppendValueText(yyjson_val *v, std::string *out) {
  char num[64];
  auto add = [&](const char *s) {
    if (!out->empty()) *out += ' ';
    *out += s;
  };
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_STR:
      add(yyjson_get_str(v));
      break;
    case YYJSON_TYPE_NUM:
      snprintf(num, sizeof num, "%.10g", yyjson_get_num(v));
      add(num);
      break;
    case YYJSON_TYPE_BOOL:
      add(yyjson_get_bool(v) ? "true" : "false");
      break;
    case YYJSON_TYPE_ARR: {
      size_t i, n;
      yyjson_val *e;
      yyjson_arr_foreach(v, i, n, e) if (yyjson_is_str(e) || yyjson_is_num(e))
          AppendValueText(e, out);
      break;
    }
    default:
      break;
  }
}

bool AllLetters(const std::string &w) {
  return std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string Misspell(std::mt19937_64 &rng, std::string w, int edits) {
  for (int e = 0; e < edits; e++) {
    const size_t at = rng() % w.size();
    const char letter = (char)('a' + rng() % 26);
    switch (rng() % 3) {
      case 0:
        w[at] = letter;
        break;
      case 1:
        w.erase(at, 1);
        break;
      default:
        w.insert(at, 1, letter);
        break;
    }
  }
  return w;
}

}  // namespace

std::vector<std::string> Words(const std::string &text) {
  std::vector<std::string> out;
  std::string w;
  for (unsigned char c : text + " ") {
    if (isalnum(c) || c == '_' || c >= 0x80)
      w += (char)tolower(c);
    else if (!w.empty())
      out.push_back(w), w.clear();
  }
  return out;
}

bool ForEachDocument(const CorpusSource &src,
                     const std::function<void(const std::string &)> &each) {
  for (uint64_t k = 0; k < src.repeat; k++) {
    uint64_t taken = 0;
    auto one = [&](const std::string &json) {
      if (src.limit && taken >= src.limit) return;
      taken++;
      each(k == 0 ? json : WithIdSuffix(json, k));
    };
    if (src.path.empty())
      ForEachSynthetic(src, one);
    else if (!ForEachLine(src.path, one))
      return false;
  }
  return true;
}

bool Flatten(const std::string &json, FlatDocument *out) {
  *out = FlatDocument{};
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root)) {
    yyjson_doc_free(doc);
    return false;
  }
  bool have_name = false;
  size_t i, n;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, i, n, key, val) {
    if (yyjson_equals_str(key, "id")) AppendValueText(val, &out->id);
    const bool is_name =
        !have_name && (yyjson_equals_str(key, "name") || yyjson_equals_str(key, "title"));
    have_name |= is_name;
    AppendValueText(val, is_name ? &out->name : &out->body);
  }
  yyjson_doc_free(doc);
  return true;
}

bool FlattenColumns(const std::string &json, FlatColumns *out) {
  *out = FlatColumns{};
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root)) {
    yyjson_doc_free(doc);
    return false;
  }
  bool have_name = false;
  size_t i, n;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, i, n, key, val) {
    if (yyjson_equals_str(key, "id")) AppendValueText(val, &out->id);
    const bool is_name =
        !have_name && (yyjson_equals_str(key, "name") || yyjson_equals_str(key, "title"));
    have_name |= is_name;
    std::string *to = is_name                                   ? &out->name
                      : yyjson_equals_str(key, "summary")       ? &out->summary
                      : yyjson_equals_str(key, kHighlightField) ? &out->description
                                                                : &out->rest;
    AppendValueText(val, to);
  }
  yyjson_doc_free(doc);
  return true;
}

bool ReadFilteredMembers(const std::string &json, FilteredMembers *out) {
  *out = FilteredMembers{};
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root)) {
    yyjson_doc_free(doc);
    return false;
  }
  yyjson_val *section = yyjson_obj_get(root, kSectionField),
             *size = yyjson_obj_get(root, kSizeField);
  if ((out->has_section = yyjson_is_str(section))) out->section = yyjson_get_str(section);
  if ((out->has_size = yyjson_is_num(size))) out->size = yyjson_get_num(size);
  size_t i, n;
  yyjson_val *t;
  yyjson_arr_foreach(yyjson_obj_get(root, kTagsField), i, n, t) if (yyjson_is_str(t))
      out->tags.push_back(yyjson_get_str(t));
  // Each value once per document, as facets count them.
  std::sort(out->tags.begin(), out->tags.end());
  out->tags.erase(std::unique(out->tags.begin(), out->tags.end()), out->tags.end());
  yyjson_doc_free(doc);
  return true;
}

const char *QueryClassName(QueryClass c) {
  static const char *const kNames[] = {"1-3 words", "prefix", "misspelt"};
  return kNames[c];
}

std::vector<Query> MakeQueries(const CorpusSource &src, size_t per_class, uint64_t seed) {
  std::unordered_set<std::string> vocab;
  std::vector<std::vector<std::string>> docs;  // letter-only words of the first documents
  CorpusSource base = src;
  base.repeat = 1;
  ForEachDocument(base, [&](const std::string &json) {
    FlatDocument d;
    if (!Flatten(json, &d)) return;
    std::vector<std::string> words = Words(d.name + " " + d.body);
    vocab.insert(words.begin(), words.end());
    if (docs.size() >= 10000) return;
    std::erase_if(words, [](const std::string &w) { return w.size() < 3 || !AllLetters(w); });
    if (!words.empty()) docs.push_back(std::move(words));
  });
  std::vector<Query> out;
  if (docs.empty()) return out;
  std::mt19937_64 rng(seed);
  auto word_of = [&](size_t min_len) {
    for (;;) {
      const std::vector<std::string> &d = docs[rng() % docs.size()];
      const std::string &w = d[rng() % d.size()];
      if (w.size() >= min_len) return w;
    }
  };
  for (size_t i = 0; i < per_class; i++) {
    const std::vector<std::string> &d = docs[rng() % docs.size()];
    std::string q;
    for (size_t n = 1 + rng() % 3, k = 0; k < n; k++) q += (k ? " " : "") + d[rng() % d.size()];
    out.push_back({kWords, q, ""});
  }
  for (size_t i = 0; i < per_class;) {
    const std::string w = word_of(6);
    const std::string p = w.substr(0, 3 + rng() % 3);
    if (!vocab.count(p)) out.push_back({kPrefix, p, w}), i++;
  }
  for (size_t i = 0; i < per_class;) {
    const std::string w = word_of(5);
    const int edits = w.size() >= 9 ? 2 : 1;
    const std::string m = Misspell(rng, w, edits);
    if (m.size() >= (edits == 2 ? 8u : 4u) && !vocab.count(m))
      out.push_back({kMisspelt, m, w}), i++;
  }
  return out;
}

bool WriteQueries(const std::string &path, const std::vector<Query> &queries) {
  std::ofstream out(path);
  for (const Query &q : queries) out << q.cls << '\t' << q.text << '\t' << q.original << '\n';
  return (bool)out;
}

std::vector<std::array<std::string, 3>> ReadTabLines(const std::string &path) {
  std::vector<std::array<std::string, 3>> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t a = line.find('\t'), b = line.find('\t', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    out.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return out;
}

std::vector<Query> ReadQueries(const std::string &path) {
  std::vector<Query> out;
  for (const auto &f : ReadTabLines(path)) out.push_back({(QueryClass)std::stoi(f[0]), f[1], f[2]});
  return out;
}
