// The search page of `searchdb serve`: pick an index, search as you type,
// page through the hits and open a hit's stored JSON. Text from documents
// is only ever set as text (textContent), never read as markup.
'use strict';

const PAGE_SIZE = 10;
const DEBOUNCE_MS = 40;

const ui = {};
for (const id of ['search', 'index', 'query', 'summary', 'hits', 'pages', 'previous', 'next',
                  'page-number', 'document', 'document-title', 'document-close',
                  'document-json']) {
  ui[id.replace(/-(\w)/g, (_, c) => c.toUpperCase())] = document.getElementById(id);
}

const state = {
  indexes: [],     // [{name, primary_key}] as the store lists them
  page: 0,
  total: 0,
  sequence: 0,     // the latest search asked for; older answers are dropped
  controller: null,
  timer: 0,
};

// ---- The API ----

class ApiError extends Error {}

// Calls a read route with URL parameters; resolves to the answer's text.
async function call(route, params, signal) {
  const url = 'api/' + route + '?' + new URLSearchParams(params);
  const response = await fetch(url, {signal, headers: {Accept: 'application/json'}});
  const text = await response.text();
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try {
      message = JSON.parse(text).error || message;
    } catch (ignored) {
      // Not an answer of this server: keep the status line.
    }
    throw new ApiError(message);
  }
  return text;
}

// Where a page of hits comes from. A source answers {hits, total, ms}: the
// stored text of each hit, the number of hits, the library's time. The
// request call, with highlighting, facets and sorting, becomes a second
// source answering the same shape plus what it adds.
const plainSearch = {
  async page({index, query, offset, limit}, signal) {
    const text = await call('search', {index, query, limit, offset}, signal);
    const answer = JSON.parse(text);
    return {hits: hitTexts(text), total: answer.totalHits, ms: answer.processingTimeMs};
  },
};

const source = plainSearch;

// ---- JSON as stored ----

// The text of each element of the answer's "hits" array, exactly as the
// library wrote it (its first member), so that a hit shows its stored
// numbers and member order, whatever JavaScript would make of them.
function hitTexts(text) {
  const start = text.indexOf('[', text.indexOf('"hits"'));
  const hits = [];
  let depth = 0;
  let from = start + 1;
  let inString = false;
  for (let i = start; i < text.length; i++) {
    const c = text[i];
    if (inString) {
      if (c === '\\') i++;
      else if (c === '"') inString = false;
      continue;
    }
    if (c === '"') {
      inString = true;
    } else if (c === '[' || c === '{') {
      depth++;
    } else if (c === ']' || c === '}') {
      depth--;
      if (depth === 0) {
        if (text.slice(from, i).trim()) hits.push(text.slice(from, i).trim());
        break;
      }
    } else if (c === ',' && depth === 1) {
      hits.push(text.slice(from, i).trim());
      from = i + 1;
    }
  }
  return hits;
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

// ---- Showing hits ----

function primaryKey() {
  const found = state.indexes.find((x) => x.name === ui.index.value);
  return found ? found.primary_key : 'id';
}

// What names a document: its title or name (the members the ranking weighs
// most), else its id.
function titleOf(doc) {
  for (const member of ['title', 'name']) {
    if (typeof doc[member] === 'string' && doc[member].trim()) return doc[member];
  }
  const id = doc[primaryKey()];
  return id === undefined ? '(untitled)' : String(id);
}

function valueText(value) {
  if (value === null || typeof value !== 'object') return String(value);
  if (Array.isArray(value) && value.every((v) => v === null || typeof v !== 'object')) {
    return value.join(', ');
  }
  return JSON.stringify(value);
}

const SUMMARY_CHARS = 240;

// The other members, "name value" one after the other, cut to a line or two.
function renderFields(doc, into) {
  let used = 0;
  for (const [key, value] of Object.entries(doc)) {
    if (key === 'title' || key === 'name' || used >= SUMMARY_CHARS) continue;
    let text = valueText(value);
    if (used + text.length > SUMMARY_CHARS) text = text.slice(0, SUMMARY_CHARS - used) + '…';
    used += key.length + text.length;
    const name = document.createElement('span');
    name.className = 'key';
    name.textContent = key;
    into.append(into.childNodes.length ? ' · ' : '', name, ' ' + text);
  }
}

function renderHit(raw) {
  const doc = JSON.parse(raw);
  const item = document.createElement('li');
  item.className = 'hit';
  const title = document.createElement('button');
  title.type = 'button';
  title.className = 'hit-title';
  title.setAttribute('aria-haspopup', 'dialog');
  title.textContent = titleOf(doc);
  title.addEventListener('click', () => showDocument(title.textContent, raw, title));
  const fields = document.createElement('p');
  fields.className = 'hit-fields';
  renderFields(doc, fields);
  item.append(title, fields);
  return item;
}

function plural(n, word) {
  return `${n.toLocaleString('en')} ${word}${n === 1 ? '' : 's'}`;
}

function say(text, isError = false) {
  ui.summary.textContent = text;
  ui.summary.classList.toggle('error', isError);
}

function render(result, query) {
  state.total = result.total;
  ui.hits.replaceChildren(...result.hits.map(renderHit));
  const ms = result.ms < 10 ? result.ms.toFixed(2) : Math.round(result.ms);
  if (result.total === 0) {
    say(`No hits for “${query}” (${ms} ms)`);
  } else {
    const first = state.page * PAGE_SIZE + 1;
    const last = state.page * PAGE_SIZE + result.hits.length;
    const shown = result.hits.length ? `, ${first}–${last} shown` : ', none on this page';
    say(`${plural(result.total, 'hit')} for “${query}”${shown} (${ms} ms)`);
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
  ui.pages.hidden = true;
  say(text);
}

// ---- The document panel ----

let opener = null;

function showDocument(title, raw, from) {
  opener = from;
  ui.documentTitle.textContent = title;
  ui.documentJson.textContent = indent(raw);
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

// Keeps the index, query and page in the address, so a search can be
// bookmarked or shared.
function remember() {
  const params = new URLSearchParams();
  if (ui.index.value) params.set('index', ui.index.value);
  if (ui.query.value) params.set('q', ui.query.value);
  if (state.page) params.set('page', String(state.page + 1));
  const search = params.toString();
  history.replaceState(null, '', search ? '?' + search : location.pathname);
}

async function search(page) {
  clearTimeout(state.timer);
  state.page = page;
  remember();
  if (state.controller) state.controller.abort();
  const mine = ++state.sequence;
  const index = ui.index.value;
  const query = ui.query.value;
  if (!index) return;
  if (!query.trim()) {
    clearHits(`Type to search ${index}.`);
    return;
  }
  state.controller = new AbortController();
  try {
    const result = await source.page(
        {index, query, offset: page * PAGE_SIZE, limit: PAGE_SIZE}, state.controller.signal);
    if (mine === state.sequence) render(result, query);
  } catch (error) {
    if (mine !== state.sequence || error.name === 'AbortError') return;
    clearHits(error.message);
    ui.summary.classList.add('error');
  }
}

ui.query.addEventListener('input', () => {
  clearTimeout(state.timer);
  state.timer = setTimeout(() => search(0), DEBOUNCE_MS);
});
ui.search.addEventListener('submit', (event) => {
  event.preventDefault();
  search(0);
});
ui.index.addEventListener('change', () => search(0));
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

async function start() {
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
  for (const {name} of state.indexes) {
    const option = document.createElement('option');
    option.value = name;
    option.textContent = name;
    ui.index.append(option);
  }
  const params = new URLSearchParams(location.search);
  if (state.indexes.some((x) => x.name === params.get('index'))) {
    ui.index.value = params.get('index');
  }
  ui.query.value = params.get('q') || '';
  const page = Math.max(0, (parseInt(params.get('page'), 10) || 1) - 1);
  await search(page);
}

start();
