// The search page of `searchdb serve`: pick an index, search as you type
// with the matched words marked, narrow the hits by a facet's values, sort,
// page, and open a hit's stored JSON. Every search is one search_request.
// Text from documents is only ever set as text (text nodes), never read as
// markup: the library marks matches with tags of the page's choosing, which
// the page turns into <mark> elements of its own.
'use strict';

const PAGE_SIZE = 10;
const DEBOUNCE_MS = 40;
// Private-use code points, which documents are most unlikely to hold, as the
// highlight's tags.
const OPEN = '\ue000';
const CLOSE = '\ue001';
const SNIPPET_WORDS = 24;
// What the page learns of an index's members comes from its first documents.
const SAMPLE_SIZE = 50;
const MAX_FACETS = 4;
const FACET_SIZE = 8;
const MAX_SORT_FIELDS = 5;
const MAX_HIGHLIGHT = 32;  // the request call's limit on highlighted members
const SHORT_TEXT = 48;     // longer text is for reading, not for sorting
const FACET_TEXT = 80;     // nor, past this, for counting
const FACET_REPEATS = 0.65;  // at most so many distinct values per value seen

const ui = {};
for (const id of ['search', 'index', 'query', 'sort', 'summary', 'hits', 'pages', 'previous',
                  'next', 'page-number', 'filters-box', 'clear-filters', 'facets', 'document',
                  'document-title', 'document-close', 'document-json']) {
  ui[id.replace(/-(\w)/g, (_, c) => c.toUpperCase())] = document.getElementById(id);
}

const state = {
  indexes: [],     // [{name, primary_key}] as the store lists them
  profiles: new Map(),  // index name -> what its members are good for
  rank: null,      // the ranking for typed queries, once known
  probing: null,   // the question of the ranking, while it is out
  highlighted: false,  // the last request asked for "_highlight"
  page: 0,
  total: 0,
  filters: [],     // [{field, value}]: facet values picked, all required
  sequence: 0,     // the latest search asked for; older answers are dropped
  controller: null,
  timer: 0,
};

// ---- The API ----

class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

async function answerText(response) {
  const text = await response.text();
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try {
      message = JSON.parse(text).error || message;
    } catch (ignored) {
      // Not an answer of this server: keep the status line.
    }
    throw new ApiError(message, response.status);
  }
  return text;
}

// Calls a read route with URL parameters; resolves to the answer's text.
async function call(route, params, signal) {
  const url = 'api/' + route + '?' + new URLSearchParams(params);
  return answerText(await fetch(url, {signal, headers: {Accept: 'application/json'}}));
}

// Asks the request call; resolves to the answer's text.
async function searchRequest(index, request, signal) {
  const url = 'api/search_request?' + new URLSearchParams({index});
  return answerText(await fetch(url, {
    method: 'POST',
    signal,
    headers: {'Content-Type': 'application/json', Accept: 'application/json'},
    body: JSON.stringify(request),
  }));
}

// Typo-aware ranking where the library offers it, BM25 where it refuses it:
// asked once, with a request that matches nothing. Resolves once the
// ranking is known, or the question could not be put (it is put again at
// the next search then).
function rankKnown(index) {
  if (state.rank) return Promise.resolve();
  if (!state.probing) {
    state.probing = searchRequest(index, {q: '', limit: 1, rank: 'typo_aware'})
        .then(() => {
          state.rank = 'typo_aware';
        }, (error) => {
          if (error.status === 400) state.rank = 'bm25';
        })
        .finally(() => {
          state.probing = null;
          document.body.dataset.rank = state.rank || 'bm25';
        });
  }
  return state.probing;
}

// ---- JSON as stored ----

// The members of a compact JSON object's text, each as [start, end] of
// "key":value, at its top level.
function memberSpans(text) {
  const spans = [];
  let depth = 0;
  let from = 1;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c === '"') {
      for (i++; i < text.length && text[i] !== '"'; i++) {
        if (text[i] === '\\') i++;
      }
    } else if (c === '{' || c === '[') {
      depth++;
    } else if (c === '}' || c === ']') {
      depth--;
      if (depth === 0 && text.slice(from, i).trim()) spans.push([from, i]);
    } else if (c === ',' && depth === 1) {
      spans.push([from, i]);
      from = i + 1;
    }
  }
  return spans;
}

// The text of each element of the answer's "hits" array, exactly as the
// library wrote it (its first member), so that a hit shows its stored
// numbers and member order, whatever JavaScript would make of them.
function hitTexts(text) {
  const start = text.indexOf('[', text.indexOf('"hits"'));
  let depth = 0;
  for (let i = start; i < text.length; i++) {
    const c = text[i];
    if (c === '"') {
      for (i++; i < text.length && text[i] !== '"'; i++) {
        if (text[i] === '\\') i++;
      }
    } else if (c === '[' || c === '{') {
      depth++;
    } else if (c === ']' || c === '}') {
      depth--;
      if (depth === 0) {
        // The array's text read as an object's: its elements are "members".
        const inner = '{' + text.slice(start + 1, i) + '}';
        return memberSpans(inner).map(([a, b]) => inner.slice(a, b).trim());
      }
    }
  }
  return [];
}

// A hit as stored: the library adds "_highlight" last, after the document's
// own members, when asked for it.
function storedText(raw) {
  if (!state.highlighted) return raw;
  const spans = memberSpans(raw);
  const last = spans[spans.length - 1];
  if (!last || !raw.slice(last[0], last[1]).trimStart().startsWith('"_highlight":')) return raw;
  const end = spans.length > 1 ? spans[spans.length - 2][1] : 1;
  return raw.slice(0, end) + '}';
}

// Compact JSON text laid out two spaces a level, its tokens untouched.
function indent(text) {
  let out = '';
  let level = 0;
  const newline = () => '\n' + '  '.repeat(level);
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c === '"') {
      let end = i + 1;
      while (end < text.length && text[end] !== '"') end += text[end] === '\\' ? 2 : 1;
      out += text.slice(i, end + 1);
      i = end;
    } else if (c === '{' || c === '[') {
      const close = c === '{' ? '}' : ']';
      if (text[i + 1] === close) {
        out += c + close;
        i++;
      } else {
        level++;
        out += c + newline();
      }
    } else if (c === '}' || c === ']') {
      level--;
      out += newline() + c;
    } else if (c === ',') {
      out += ',' + newline();
    } else if (c === ':') {
      out += ': ';
    } else if (!/\s/.test(c)) {
      out += c;
    }
  }
  return out;
}

// ---- What an index's members are good for ----

function isShortScalar(v, length = SHORT_TEXT) {
  return typeof v === 'number' || typeof v === 'boolean' ||
      (typeof v === 'string' && v.length <= length && !v.includes('\n'));
}

// From the index's first documents: the members worth counting (short
// values that repeat), sorting by (numbers, or short text, in most
// documents) and marking (text). A guess from a few documents, but one
// that costs a single small request.
function profileOf(docs, primaryKey) {
  const members = new Map();
  for (const doc of docs) {
    for (const [key, value] of Object.entries(doc)) {
      if (key === primaryKey || key === '_highlight') continue;
      if (!members.has(key)) {
        members.set(key, {present: 0, numbers: 0, shortText: 0, text: 0, facetable: true,
                          values: [], distinct: new Set()});
      }
      const m = members.get(key);
      m.present++;
      if (typeof value === 'number') m.numbers++;
      if (typeof value === 'string') {
        m.text++;
        if (isShortScalar(value)) m.shortText++;
      }
      const list = Array.isArray(value) ? value : [value];
      if (Array.isArray(value) && value.some((v) => typeof v === 'string')) m.text++;
      for (const v of list) {
        if (v === null) continue;
        if (!isShortScalar(v, FACET_TEXT)) {
          m.facetable = false;
          continue;
        }
        m.values.push(v);
        m.distinct.add(typeof v + ':' + v);
      }
    }
  }
  const common = [...members].filter(([, m]) => m.present * 2 >= docs.length);
  return {
    facets: common.filter(([, m]) => m.facetable && m.values.length > 1 &&
                                      m.distinct.size <= FACET_REPEATS * m.values.length)
                  .slice(0, MAX_FACETS).map(([key]) => key),
    sorts: common.filter(([, m]) => m.numbers === m.present || m.shortText === m.present)
                 .slice(0, MAX_SORT_FIELDS)
                 .map(([key, m]) => ({field: key, numeric: m.numbers === m.present})),
    highlight: [...members].filter(([, m]) => m.text > 0).slice(0, MAX_HIGHLIGHT)
                           .map(([key]) => key),
  };
}

// Text members the first documents did not have, from the hits of an
// answer; true when there were any, which the next request marks too.
function learnMembers(profile, hits, primary) {
  const known = profile.highlight.length;
  for (const hit of hits) {
    for (const [key, value] of Object.entries(hit)) {
      const text = typeof value === 'string' ||
          (Array.isArray(value) && value.some((v) => typeof v === 'string'));
      if (text && key !== primary && key !== '_highlight' && !profile.highlight.includes(key) &&
          profile.highlight.length < MAX_HIGHLIGHT) {
        profile.highlight.push(key);
      }
    }
  }
  return profile.highlight.length > known;
}

async function loadProfile(index) {
  if (state.profiles.has(index)) return state.profiles.get(index);
  const answer = JSON.parse(await searchRequest(index, {limit: SAMPLE_SIZE}));
  const profile = profileOf(answer.hits, primaryKey(index));
  state.profiles.set(index, profile);
  return profile;
}

function fillSortChoice(profile, wanted) {
  const options = [new Option('Relevance', '')];
  for (const {field, numeric} of profile.sorts) {
    const [up, down] = numeric ? ['lowest first', 'highest first'] : ['A to Z', 'Z to A'];
    options.push(new Option(`${field}, ${up}`, JSON.stringify([field, 'asc'])));
    options.push(new Option(`${field}, ${down}`, JSON.stringify([field, 'desc'])));
  }
  ui.sort.replaceChildren(...options);
  ui.sort.value = options.some((o) => o.value === wanted) ? wanted : '';
}

// ---- Showing hits ----

function primaryKey(index = ui.index.value) {
  const found = state.indexes.find((x) => x.name === index);
  return found ? found.primary_key : 'id';
}

// Text with the library's tags around matches, as nodes: the text as text,
// each match in a <mark>. A stray tag ends or starts nothing.
function marked(text) {
  const fragment = document.createDocumentFragment();
  let mark = null;
  for (const part of text.split(/([\ue000\ue001])/)) {
    if (part === OPEN) {
      if (!mark) mark = document.createElement('mark');
    } else if (part === CLOSE) {
      if (mark) fragment.append(mark);
      mark = null;
    } else if (part) {
      (mark || fragment).append(part);
    }
  }
  if (mark) fragment.append(mark);
  return fragment;
}

// A member's highlighted text with the ends the library trimmed put back:
// a snippet begins and ends at a word, leaving out what stands before its
// first word and after its last one even where nothing was cut ("…" marks
// where something was).
function restored(text, value) {
  // An array is marked as it is indexed: its strings joined by spaces.
  const original = Array.isArray(value) && value.every((v) => typeof v === 'string')
      ? value.join(' ') : value;
  if (typeof original !== 'string') return text;
  const head = text.startsWith('…') ? '…' : '';
  const tail = text.length > head.length && text.endsWith('…') ? '…' : '';
  const body = text.slice(head.length, text.length - tail.length);
  const plain = body.replace(/[\ue000\ue001]/g, '');
  const at = plain ? original.indexOf(plain) : -1;
  if (at < 0) return text;
  return (head || original.slice(0, at)) + body + (tail || original.slice(at + plain.length));
}

function hasMark(text) {
  return typeof text === 'string' && text.includes(OPEN);
}

// What names a document: its title or name (the members the ranking weighs
// most), else its id.
function titleMember(doc) {
  return ['title', 'name'].find((m) => typeof doc[m] === 'string' && doc[m].trim());
}

function valueText(value) {
  if (value === null || typeof value !== 'object') return String(value);
  if (Array.isArray(value) && value.every((v) => v === null || typeof v !== 'object')) {
    return value.join(', ');
  }
  return JSON.stringify(value);
}

const SUMMARY_CHARS = 240;
const MAX_SNIPPETS = 2;

function keyLabel(key) {
  const name = document.createElement('span');
  name.className = 'key';
  name.textContent = key;
  return name;
}

// Below the title: the members where the query matched, as marked snippets,
// or else the first long text cut to one; then the other members, "name
// value" one after the other, cut to a line or two.
function renderMembers(doc, highlight, skip, into) {
  const snippets = [];
  const matched = Object.keys(doc).filter((k) => k !== skip && hasMark(highlight[k]));
  const long = Object.keys(doc).filter((k) => k !== skip && typeof doc[k] === 'string' &&
                                              !isShortScalar(doc[k]) &&
                                              typeof highlight[k] === 'string');
  for (const key of (matched.length ? matched : long.slice(0, 1)).slice(0, MAX_SNIPPETS)) {
    const p = document.createElement('p');
    p.className = 'hit-snippet';
    p.append(keyLabel(key), ' ', marked(restored(highlight[key], doc[key])));
    snippets.push(p);
  }
  const fields = document.createElement('p');
  fields.className = 'hit-fields';
  let used = 0;
  for (const [key, value] of Object.entries(doc)) {
    if (key === skip || matched.includes(key) || long.includes(key) || used >= SUMMARY_CHARS) {
      continue;
    }
    let text = valueText(value);
    if (text === '') continue;
    if (used + text.length > SUMMARY_CHARS) text = text.slice(0, SUMMARY_CHARS - used) + '…';
    used += key.length + text.length;
    fields.append(fields.childNodes.length ? ' · ' : '', keyLabel(key), ' ' + text);
  }
  into.append(...snippets, fields);
}

function renderHit(raw) {
  const stored = storedText(raw);
  const doc = JSON.parse(stored);
  const highlight = (state.highlighted && JSON.parse(raw)._highlight) || {};
  const item = document.createElement('li');
  item.className = 'hit';
  const title = document.createElement('button');
  title.type = 'button';
  title.className = 'hit-title';
  title.setAttribute('aria-haspopup', 'dialog');
  const member = titleMember(doc);
  if (member && typeof highlight[member] === 'string') {
    title.append(marked(restored(highlight[member], doc[member])));
  } else {
    const id = doc[primaryKey()];
    title.textContent = member ? doc[member] : id === undefined ? '(untitled)' : String(id);
  }
  title.addEventListener('click', () => showDocument(title.textContent, stored, title));
  item.append(title);
  renderMembers(doc, highlight, member, item);
  return item;
}

// ---- Facets ----

const sameValue = (a, b) => a.field === b.field && Object.is(a.value, b.value);

function isPicked(field, value) {
  return state.filters.some((f) => sameValue(f, {field, value}));
}

function toggleFilter(field, value) {
  if (isPicked(field, value)) {
    state.filters = state.filters.filter((f) => !sameValue(f, {field, value}));
  } else {
    state.filters.push({field, value});
  }
  search(0);
}

function filterOf(filters) {
  const leaves = filters.map(({field, value}) => ({field, op: 'eq', value}));
  return leaves.length === 1 ? leaves[0] : {and: leaves};
}

// A facet value's key, to find its button again once the facets are redrawn.
const facetKey = (field, value) => JSON.stringify([field, value]);

function renderFacets(facets) {
  const focused = document.activeElement && document.activeElement.dataset.facet;
  const groups = [];
  let n = 0;
  for (const [field, entries] of Object.entries(facets || {})) {
    // Picked values stay, to be let go of, whatever the counts now are.
    const shown = entries.slice();
    for (const f of state.filters) {
      if (f.field === field && !shown.some((e) => Object.is(e.value, f.value))) {
        shown.push({value: f.value, count: state.total});
      }
    }
    if (shown.length === 0) continue;
    const group = document.createElement('section');
    group.className = 'facet';
    const heading = document.createElement('h2');
    heading.className = 'facet-name';
    heading.id = `facet-${n++}`;
    heading.textContent = field;
    group.setAttribute('aria-labelledby', heading.id);
    const list = document.createElement('ul');
    list.className = 'facet-values';
    for (const {value, count} of shown) {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'facet-value';
      button.dataset.facet = facetKey(field, value);
      button.setAttribute('aria-pressed', String(isPicked(field, value)));
      const name = document.createElement('span');
      name.className = 'facet-text';
      name.textContent = value === null ? 'null' : String(value);
      const number = document.createElement('span');
      number.className = 'facet-count';
      number.textContent = count.toLocaleString('en');
      button.append(name, ' ', number);
      button.addEventListener('click', () => toggleFilter(field, value));
      const item = document.createElement('li');
      item.append(button);
      list.append(item);
    }
    group.append(heading, list);
    groups.push(group);
  }
  ui.facets.replaceChildren(...groups);
  ui.clearFilters.hidden = state.filters.length === 0;
  const count = state.filters.length;
  ui.filtersBox.querySelector('summary').textContent =
      count ? `Filters (${count} picked)` : 'Filters';
  if (focused) {
    const again = [...ui.facets.querySelectorAll('.facet-value')].find(
        (b) => b.dataset.facet === focused);
    (again || (ui.clearFilters.hidden ? ui.query : ui.clearFilters)).focus();
  }
}

ui.clearFilters.addEventListener('click', () => {
  state.filters = [];
  ui.query.focus();
  search(0);
});

// ---- Rendering an answer ----

function plural(n, word) {
  return `${n.toLocaleString('en')} ${word}${n === 1 ? '' : 's'}`;
}

function say(text, isError = false) {
  ui.summary.textContent = text;
  ui.summary.classList.toggle('error', isError);
}

function render(text, answer, query) {
  const hits = hitTexts(text);
  state.total = answer.totalHits;
  ui.hits.replaceChildren(...hits.map(renderHit));
  renderFacets(answer.facets);
  const ms = answer.processingTimeMs;
  const took = `(${ms < 10 ? ms.toFixed(2) : Math.round(ms)} ms)`;
  const what = query === null ? plural(state.total, 'document')
                              : `${plural(state.total, 'hit')} for “${query}”`;
  const filtered = state.filters.length
      ? ` with ${plural(state.filters.length, 'filter')}` : '';
  if (state.total === 0) {
    say(query === null ? `No documents${filtered} ${took}`
                       : `No hits for “${query}”${filtered} ${took}`);
  } else {
    const first = state.page * PAGE_SIZE + 1;
    const last = state.page * PAGE_SIZE + hits.length;
    const shown = hits.length ? `, ${first}–${last} shown` : ', none on this page';
    say(`${what}${filtered}${shown} ${took}`);
  }
  renderPages();
}

function pageCount() {
  return Math.max(1, Math.ceil(state.total / PAGE_SIZE));
}

function renderPages() {
  ui.pages.hidden = state.total <= PAGE_SIZE;
  ui.pageNumber.textContent = `Page ${state.page + 1} of ${pageCount()}`;
  ui.previous.disabled = state.page === 0;
  ui.next.disabled = state.page + 1 >= pageCount();
}

function clearHits(text) {
  state.total = 0;
  ui.hits.replaceChildren();
  ui.facets.replaceChildren();
  ui.pages.hidden = true;
  say(text);
}

// ---- The document panel ----

let opener = null;

function showDocument(title, stored, from) {
  opener = from;
  ui.documentTitle.textContent = title;
  ui.documentJson.textContent = indent(stored);
  ui.document.showModal();
  ui.documentClose.focus();
}

ui.documentClose.addEventListener('click', () => ui.document.close());
ui.document.addEventListener('close', () => {
  if (opener && opener.isConnected) opener.focus();
  opener = null;
});
// A click on the backdrop closes the panel too.
ui.document.addEventListener('click', (event) => {
  if (event.target === ui.document) ui.document.close();
});

// ---- Searching ----

// Keeps the index, query, sort, filters and page in the address, so a search
// can be bookmarked or shared.
function remember() {
  const params = new URLSearchParams();
  if (ui.index.value) params.set('index', ui.index.value);
  if (ui.query.value) params.set('q', ui.query.value);
  if (ui.sort.value) params.set('sort', ui.sort.value);
  if (state.filters.length) {
    params.set('filter', JSON.stringify(state.filters.map((f) => [f.field, f.value])));
  }
  if (state.page) params.set('page', String(state.page + 1));
  const search = params.toString();
  history.replaceState(null, '', search ? '?' + search : location.pathname);
}

// The request for a page: the query (none browses), its ranking, the picked
// values, the sort, the facets, and the text members marked.
function requestFor(profile, query, page) {
  const request = {limit: PAGE_SIZE, offset: page * PAGE_SIZE};
  if (query !== null) {
    request.q = query;
    if (state.rank && state.rank !== 'bm25') request.rank = state.rank;
  }
  if (state.filters.length) request.filter = filterOf(state.filters);
  if (ui.sort.value) {
    const [field, order] = JSON.parse(ui.sort.value);
    request.sort = [{field, order}, 'relevance'];
  }
  if (profile.facets.length) {
    request.facets = profile.facets;
    request.facet_size = FACET_SIZE;
  }
  state.highlighted = profile.highlight.length > 0;
  if (state.highlighted) {
    request.highlight = profile.highlight;
    request.highlight_tags = [OPEN, CLOSE];
    request.snippet_words = SNIPPET_WORDS;
  }
  return request;
}

async function search(page) {
  clearTimeout(state.timer);
  state.page = page;
  remember();
  if (state.controller) state.controller.abort();
  const mine = ++state.sequence;
  const index = ui.index.value;
  const typed = ui.query.value;
  if (!index) return;
  const query = typed.trim() ? typed : null;
  state.controller = new AbortController();
  try {
    if (query !== null) await rankKnown(index);
    const profile = await loadProfile(index);
    if (mine !== state.sequence) return;
    const text = await searchRequest(index, requestFor(profile, query, page),
                                     state.controller.signal);
    if (mine !== state.sequence) return;
    const answer = JSON.parse(text);
    render(text, answer, query);
    // A hit with text the page did not know of is asked for again, marked.
    if (learnMembers(profile, answer.hits, primaryKey(index))) search(page);
  } catch (error) {
    if (mine !== state.sequence || error.name === 'AbortError') return;
    clearHits(error.message);
    ui.summary.classList.add('error');
  }
}

async function changeIndex() {
  state.filters = [];
  try {
    fillSortChoice(await loadProfile(ui.index.value), '');
  } catch (error) {
    // The search says why.
  }
  search(0);
}

ui.query.addEventListener('input', () => {
  clearTimeout(state.timer);
  state.timer = setTimeout(() => search(0), DEBOUNCE_MS);
});
ui.search.addEventListener('submit', (event) => {
  event.preventDefault();
  search(0);
});
ui.index.addEventListener('change', changeIndex);
ui.sort.addEventListener('change', () => search(0));
ui.previous.addEventListener('click', () => search(state.page - 1));
ui.next.addEventListener('click', () => search(state.page + 1));

// "/" from anywhere but a text field goes to the search box.
document.addEventListener('keydown', (event) => {
  const typing = event.target.closest && event.target.closest('input, select, textarea');
  if (event.key === '/' && !typing && !ui.document.open) {
    event.preventDefault();
    ui.query.focus();
  }
});

function filtersFrom(text) {
  try {
    const pairs = JSON.parse(text);
    return pairs.filter((p) => Array.isArray(p) && typeof p[0] === 'string' && p.length === 2)
                .map(([field, value]) => ({field, value}));
  } catch (ignored) {
    return [];
  }
}

async function start() {
  // The filters show beside the hits on a wide screen; on a narrow one they
  // are a tap away, above them.
  ui.filtersBox.open = matchMedia('(min-width: 48rem)').matches;
  try {
    state.indexes = JSON.parse(await call('indexes_list', {}));
  } catch (error) {
    say(error.message, true);
    return;
  }
  if (state.indexes.length === 0) {
    say('This store has no indexes yet.');
    return;
  }
  for (const {name} of state.indexes) ui.index.append(new Option(name, name));
  rankKnown(state.indexes[0].name);
  const params = new URLSearchParams(location.search);
  if (state.indexes.some((x) => x.name === params.get('index'))) {
    ui.index.value = params.get('index');
  }
  ui.query.value = params.get('q') || '';
  state.filters = filtersFrom(params.get('filter') || '[]');
  try {
    fillSortChoice(await loadProfile(ui.index.value), params.get('sort') || '');
  } catch (error) {
    // The search says why.
  }
  const page = Math.max(0, (parseInt(params.get('page'), 10) || 1) - 1);
  await search(page);
}

start();
