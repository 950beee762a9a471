// The search page: reads the form, asks /api/search, and builds the results from DOM nodes.
// Text from records only ever goes into textContent or text nodes, never into markup.
'use strict';
(() => {
  const LIMIT = 20;
  const FIELDS = ['q', 'path', 'min_size', 'max_size', 'after', 'before'];
  const $ = (id) => document.getElementById(id);
  const state = { digest: '', offset: 0 };

  const el = (tag, className, text) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  };

  const humanSize = (n) => {
    if (n < 10240) return n + ' B';
    const units = ['KiB', 'MiB', 'GiB', 'TiB'];
    let v = n / 1024;
    let i = 0;
    while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
    return v.toFixed(v < 100 ? 1 : 0) + ' ' + units[i];
  };

  // The snippet arrives with hits between U+0002 and U+0003; each hit becomes a <mark>.
  const snippet = (text) => {
    const p = el('p', 'snippet');
    let hit = false;
    for (const part of text.split(/([\u0002\u0003])/)) {
      if (part === '\u0002') { hit = true; continue; }
      if (part === '\u0003') { hit = false; continue; }
      if (part) p.append(hit ? el('mark', '', part) : document.createTextNode(part));
    }
    return p;
  };

  const query = () => {
    const params = new URLSearchParams();
    for (const f of FIELDS) { const v = $(f).value.trim(); if (v) params.set(f, v); }
    if (state.digest) params.set('digest', state.digest);
    return params;
  };

  const showError = (message) => {
    $('error').textContent = message;
    $('error').hidden = !message;
  };

  const render = (data) => {
    const list = $('results');
    list.replaceChildren();
    for (const r of data.results) {
      const li = el('li', 'result');
      li.append(el('div', 'name', r.name), el('div', 'path', r.path));
      const facts = el('div', 'facts', humanSize(r.size) + ' \u00b7 modified ' + r.mtime.replace('T', ' '));
      if (r.md5) {
        const a = el('a', 'same-digest', 'files with the same content');
        a.href = '?' + new URLSearchParams({ digest: r.md5 });
        a.addEventListener('click', (e) => { e.preventDefault(); showDigest(r.md5); });
        facts.append(a);
      }
      li.append(facts);
      if (r.snippet) li.append(snippet(r.snippet));
      list.append(li);
    }
    const first = data.results.length ? state.offset + 1 : 0;
    const last = state.offset + data.results.length;
    $('summary').textContent = data.total === 0 ? 'Nothing found.'
      : `${first}\u2013${last} of ${data.total} file${data.total === 1 ? '' : 's'}`;
    $('page').textContent = data.total > LIMIT ? `page ${Math.floor(state.offset / LIMIT) + 1} of ${Math.ceil(data.total / LIMIT)}` : '';
    $('prev').disabled = state.offset === 0;
    $('next').disabled = last >= data.total;
    $('digest-note').hidden = !state.digest;
    $('digest').textContent = state.digest;
  };

  const run = async () => {
    const params = query();
    history.replaceState(null, '', params.toString() ? '?' + params : location.pathname);
    params.set('limit', LIMIT);
    params.set('offset', state.offset);
    try {
      const res = await fetch('/api/search?' + params);
      const data = await res.json();
      if (!res.ok) { showError(data.error || res.statusText); return; }
      showError('');
      render(data);
      document.body.dataset.loaded = String(Date.now());
    } catch (e) {
      showError('The server cannot be reached: ' + e.message);
    }
  };

  const showDigest = (md5) => {
    for (const f of FIELDS) $(f).value = '';
    state.digest = md5;
    state.offset = 0;
    run();
  };

  const stats = async () => {
    try {
      const s = await (await fetch('/api/stats')).json();
      $('status').textContent = `${s.records} records stored \u00b7 last received ${s.last_received ? s.last_received.replace('T', ' ') : 'never'} \u00b7 ${s.rejected} rejected`;
    } catch (e) {
      $('status').textContent = '';
    }
  };

  $('search').addEventListener('submit', (e) => {
    e.preventDefault();
    state.offset = 0;
    state.digest = '';
    run();
  });
  $('prev').addEventListener('click', () => { state.offset = Math.max(0, state.offset - LIMIT); run(); });
  $('next').addEventListener('click', () => { state.offset += LIMIT; run(); });
  $('clear-digest').addEventListener('click', (e) => { e.preventDefault(); state.digest = ''; state.offset = 0; run(); });

  // Start from the address (a reload or a shared link shows the same search).
  const start = new URLSearchParams(location.search);
  for (const f of FIELDS) if (start.has(f)) $(f).value = start.get(f);
  if (/^[0-9a-f]{32}$/.test(start.get('digest') || '')) state.digest = start.get('digest');
  stats();
  run();
})();
