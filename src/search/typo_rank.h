// The typo-aware order ("rank": "typo_aware"): the word a user most likely
// meant ranks above rarer words a misspelling happens to reach.
//
// The query's tokens q_1 .. q_n (repeats included) each match the terms T_i
// the plain search matches. Per term t of T_i:
//   cost(t)  0 when t is q_i or a longer term beginning with it (a word not
//            finished is no slip), else its byte edits from q_i;
//   L(t)     df(t) / 64^cost(t): a reading one slip further must be 64
//            times as common to count as likely.
// T_i is sorted by L, highest first; the first term leads level 0, and
// each next one stays on the current level when the leader's L is at most
// 4 times its own, else it begins the next level and leads it. In
// integers, a is more than f times as likely as b when
// df_a * 64^max(cost_b - cost_a, 0) > f * df_b * 64^max(cost_a - cost_b, 0).
// A prefix reading thus comes before a near spelling unless the near
// spelling is 64 times as common: a strict "prefix first" would read
// "deban" as the one term "debani" rather than as "debian".
//
// Token i weighs w_i = the plain search's idf of the largest df in T_i, so
// a rare reading earns no rarity bonus over the common one it stands
// beside. In a document, token i's closest term is its lowest-level term
// there, and among those the one of the highest contribution
// c_i = bm25(tf, the document's length part, w_i, title mark) (bm25.h).
// Per document:
//   words      tokens with a term in it,
//   closeness  the sum of their closest terms' levels,
//   title      it holds every token, and its title member's token sequence
//              (each cut to SDB_TERM_MAX bytes; title_column.h) is
//              t_1 .. t_n, each t_i a term of T_i on the level of token i's
//              closest term in it: the query as the document reads it. As
//              each t_i is in the document, the levels of t_1 .. t_n sum
//              to its closeness exactly then,
//   score      the c_i in query order, each added as c + score from 0.0.
// Order: words descending, closeness ascending, titled first, score
// descending, slot ascending. The documents are the plain search's (every
// contribution is positive), so the hit count is too. For a query of terms
// found whole every level is 0 and every weight the term's own: the score
// is the plain search's, with the words and title tiers above it, and a
// title must be the query's own words. A misspelt query reads a title as
// its correctly spelt one does whenever the word meant is among its
// closest readings, so the package named the word comes first for both.
#pragma once

#include <cstdint>

#include "index/columns.h"
#include "search/query.h"
#include "search/rank.h"

// The keys of one search, where smaller comes first:
// (n - words) << SDB_TYPO_MISSED_SHIFT | closeness << 1 | not titled.
// Levels stay below 22 (each level's leader is over 4 times as likely as
// the next one's, df below 2^32 and costs at most 2), so closeness stays
// below 22 * SDB_QUERY_TOKEN_MAX < 2^15.
enum { SDB_TYPO_MISSED_SHIFT = 16 };

struct sdb_typo_order {
  uint32_t *keys;  // per touched slot of the scoring: the kept array, lent for one search
  // Slots that may be titled the query (a term of the last token is in the
  // title member; may repeat); the title tier holds those that
  // sdb_typo_settle_titles finds titled.
  uint32_t *titled;
  uint64_t titled_count, titled_cap;
  // What the settling reads: the index, the query's terms, each term's
  // level (beside terms->ids) and, per token, its terms' places in ids
  // ordered by term id.
  const sdb_index *ix;
  const sdb_query_terms *terms;
  uint8_t *levels;
  uint32_t *by_id;
};

// Scores the query by the typo-aware rule: t holds the terms of its tokens
// with their edits (sdb_match_tokens), and must outlive out. sc receives
// the plain search's touched slots, each with the rule's score; out the
// keys and the title candidates. False when memory ran out.
bool sdb_typo_score(sdb_scoring *sc, const sdb_query_terms *t, sdb_typo_order *out);

// Puts in the title tier the candidates that matched every token and whose
// value in the title column (title_column.h) reads as the query: word j a
// term of token j, at the level of token j's closest term in the document.
void sdb_typo_settle_titles(sdb_typo_order *o, const sdb_column *titles);

void sdb_typo_order_free(sdb_typo_order *o);

// Releases the per-slot arrays kept between searches (searchdb_cleanup).
void sdb_typo_release(void);
