'use strict';
(() => {
  const data = JSON.parse(document.getElementById('data').textContent);
  const kMaxMatches = 200;

  function make(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }
  const plural = (n, one, many) => `${n.toLocaleString('en-US')} ${n === 1 ? one : many}`;

  // Sorting the tests table: numbers numerically (a cell's data-v, else its
  // text), the dash of a missing cell always last.
  const table = document.getElementById('tests');
  const collator = new Intl.Collator('en', {numeric: true});
  table.tHead.addEventListener('click', (event) => {
    const th = event.target.closest('th[data-c]');
    if (!th) return;
    const column = Number(th.dataset.c);
    const text = th.dataset.t === 's';
    const direction = th.getAttribute('aria-sort') === 'ascending' ? -1 : 1;
    for (const other of table.tHead.querySelectorAll('th[aria-sort]')) other.removeAttribute('aria-sort');
    th.setAttribute('aria-sort', direction === 1 ? 'ascending' : 'descending');
    const body = table.tBodies[0];
    const keyed = Array.from(body.rows, (row) => {
      const cell = row.cells[column];
      const value = cell.dataset.v ?? cell.textContent;
      return [text ? value : Number(value), row];
    });
    keyed.sort(([a], [b]) => {
      if (text) return direction * collator.compare(a, b);
      if (Number.isNaN(a) || Number.isNaN(b)) return Number.isNaN(a) - Number.isNaN(b);
      return direction * (a - b);
    });
    const sorted = document.createDocumentFragment();
    for (const [, row] of keyed) sorted.append(row);
    body.append(sorted);
  });

  // The heat strips: the method under the pointer and how many tests reach it.
  const tip = document.getElementById('tip');
  for (const svg of document.querySelectorAll('svg.heat')) {
    const app = data.apps[Number(svg.dataset.app)];
    const columns = Number(svg.dataset.cols);
    const rows = Math.ceil(app.methods.length / columns);
    svg.addEventListener('mousemove', (event) => {
      const box = svg.getBoundingClientRect();
      const column = Math.floor(((event.clientX - box.left) / box.width) * columns);
      const row = Math.floor(((event.clientY - box.top) / box.height) * rows);
      const i = row * columns + column;
      if (column < 0 || column >= columns || i < 0 || i >= app.methods.length) {
        tip.hidden = true;
        return;
      }
      tip.textContent = `${app.methods[i]}\n#${i}: ${plural(app.testsReaching[i], 'test', 'tests')}`;
      tip.style.left = `${Math.min(event.pageX + 14, document.documentElement.scrollWidth - 580)}px`;
      tip.style.top = `${event.pageY + 14}px`;
      tip.hidden = false;
    });
    svg.addEventListener('mouseleave', () => { tip.hidden = true; });
  }

  // The methods no test reaches: their lines are only in the data.
  for (const pre of document.querySelectorAll('pre[data-app]')) {
    const app = data.apps[Number(pre.dataset.app)];
    pre.textContent = app.methods.filter((_, i) => app.testsReaching[i] === 0).join('\n');
  }

  // What each test alone reaches.
  const only = document.createDocumentFragment();
  for (const [test, ...pairs] of data.onlyThisTest) {
    const details = make('details');
    const summary = make('summary', null, data.tests[test]);
    summary.append(make('span', 'count', plural(pairs.length / 2, 'method', 'methods')));
    const lines = [];
    for (let k = 0; k < pairs.length; k += 2) {
      const app = data.apps[pairs[k]];
      lines.push(`${app.name}: ${app.methods[pairs[k + 1]]}`);
    }
    details.append(summary, make('pre', null, lines.join('\n')));
    only.append(details);
  }
  document.getElementById('only-list').append(only);

  // Search: which tests reach the methods whose lines or qualified names
  // ("Scope::Method", as people write them) hold the text.
  const box = document.getElementById('search');
  const results = document.getElementById('results');
  let lowered = null;
  const qualified = (line) => {
    const [, method, scope] = line.split(';');
    if (scope === undefined) return '';
    return scope ? `${scope}::${method}` : method;
  };
  const shellWord = (s) => (/^[\w.,:+=@%^\/-]+$/.test(s) ? s : `'${s.replace(/'/g, `'\\''`)}'`);

  function renderMatch(app, i, pattern) {
    const match = make('div', 'match');
    const line = make('div', 'line');
    line.append(make('span', 'app', app.name), make('code', null, app.methods[i]),
                make('span', 'count', plural(app.testsReaching[i], 'test', 'tests')));
    match.append(line);
    const top = app.topTests[i];
    if (top.length === 0) {
      match.append(make('p', 'none', 'No test reaches it.'));
      return match;
    }
    const list = make('ul');
    for (let k = 0; k < top.length; k += 2) {
      const item = make('li', null, `${data.tests[top[k]]} `);
      item.append(make('span', 'calls', `(${plural(top[k + 1], 'call', 'calls')})`));
      list.append(item);
    }
    match.append(list);
    const more = app.testsReaching[i] - top.length / 2;
    if (more > 0) {
      const note = make('p', 'more', `and ${plural(more, 'more test', 'more tests')}: `);
      note.append(make('code', null, `ostrivel-report tests-for -i ${shellWord(app.name)} '${pattern.replace(/'/g, `'\\''`)}'`),
                  ' lists all');
      match.append(note);
    }
    return match;
  }

  function search(pattern) {
    const needle = pattern.toLowerCase();
    if (needle.trim() === '') {
      results.replaceChildren(make('p', 'hint', 'Type part of a method line or of a qualified name (Cart::Add) to see the tests that reach those methods.'));
      return;
    }
    lowered ??= data.apps.map((app) => app.methods.map((line) => [line.toLowerCase(), qualified(line).toLowerCase()]));
    const shown = make('div', 'matches');
    let found = 0;
    data.apps.forEach((app, a) => {
      lowered[a].forEach(([line, name], i) => {
        if ((line.includes(needle) || name.includes(needle)) && ++found <= kMaxMatches) shown.append(renderMatch(app, i, pattern));
      });
    });
    let summary = `${plural(found, 'method matches', 'methods match')}.`;
    if (found > kMaxMatches) {
      summary += ` The first ${kMaxMatches} are shown; ${plural(found - kMaxMatches, 'more match is', 'more matches are')} left out.`;
    }
    results.replaceChildren(make('p', 'summary', summary), shown);
  }

  function searchFromFragment() {
    if (!location.hash.startsWith('#search=')) return;
    let text = location.hash.slice('#search='.length);
    try {
      text = decodeURIComponent(text);
    } catch (e) {
      // Not percent-encoded: take it as it is.
    }
    box.value = text;
    search(text);
  }

  let timer = 0;
  box.addEventListener('input', () => {
    clearTimeout(timer);
    timer = setTimeout(() => {
      const text = box.value;
      try {
        history.replaceState(null, '', text ? `#search=${encodeURIComponent(text)}` : location.pathname + location.search);
      } catch (e) {
        // Some browsers refuse it for pages opened from disk; the search still works.
      }
      search(text);
    }, 150);
  });
  window.addEventListener('hashchange', searchFromFragment);
  search('');
  searchFromFragment();
})();
