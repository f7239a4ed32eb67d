// The report page: every text from a module goes into the page as a text node, never as markup.
(function () {
  'use strict';
  const data = JSON.parse(document.getElementById('report-data').textContent);
  const modules = data.modules;
  const SVG = 'http://www.w3.org/2000/svg';

  function el(tag, attributes, ...children) {
    const element = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (name.startsWith('on')) element.addEventListener(name.slice(2), value);
      else if (name === 'class') element.className = value;
      else element.setAttribute(name, value);
    }
    for (const child of children) if (child !== null && child !== undefined) element.append(child instanceof Node ? child : String(child));
    return element;
  }
  function svg(tag, attributes, text) {
    const element = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes || {})) element.setAttribute(name, value);
    if (text !== undefined) element.textContent = text;
    return element;
  }
  function moduleLink(index) {
    return el('a', { href: '#module/' + index, title: modules[index].key }, modules[index].key);
  }
  function table(headers, rows) {
    return el('table', {}, el('thead', {}, el('tr', {}, ...headers.map((h) => el('th', {}, h)))),
      el('tbody', {}, ...rows.map((cells) => el('tr', {}, ...cells.map((c) => el('td', {}, c))))));
  }
  function signature(id, language) { return id + ':' + language; }
  function range(min, max) {
    if (!min && !max) return 'all versions';
    if (!min) return 'versions up to ' + max;
    if (!max) return 'versions from ' + min;
    return 'versions ' + min + ' to ' + max;
  }

  // ------------------------------------------------------------------ the graph's model
  const missingBase = modules.length;
  const nodeCount = modules.length + data.missing.length;
  const edges = [];  // {from, to, kind: dependency | old | missing | exclusion, label}
  modules.forEach((m, i) => m.requires.forEach((r) => {
    if (r.to === i) return;  // a module satisfies its own requirement
    const label = r.version ? '>= ' + r.version : '';
    if (r.to === null) edges.push({ from: i, to: missingBase + r.missing, kind: 'missing', label });
    else edges.push({ from: i, to: r.to, kind: r.too_old ? 'old' : 'dependency', label: label + (r.too_old ? ' (too old)' : '') });
  }));
  data.excluded.forEach((x) => edges.push({ from: x.by, to: x.target, kind: 'exclusion', label: 'excludes' }));
  const cyclicNodes = new Set(), cyclicEdges = new Set();
  data.cycles.forEach((cycle) => cycle.forEach((n, k) => {
    cyclicNodes.add(n);
    cyclicEdges.add(n + '>' + cycle[(k + 1) % cycle.length]);
  }));
  const oldNodes = new Set(edges.filter((e) => e.kind === 'old').map((e) => e.to));
  const excludedNodes = new Set(data.excluded.map((x) => x.target));
  const requiredBy = modules.map(() => []);
  edges.forEach((e) => { if (e.kind !== 'exclusion' && e.to < missingBase && !requiredBy[e.to].includes(e.from)) requiredBy[e.to].push(e.from); });

  const sameName = {};
  modules.forEach((m) => { sameName[m.name] = (sameName[m.name] || 0) + 1; });
  function nodeLabel(n) {
    if (n >= missingBase) {
      const m = data.missing[n - missingBase];
      return { name: m.id.replace(/\.[^.]*$/, ''), version: 'missing', key: signature(m.id, m.language) + ' (missing)' };
    }
    const m = modules[n];
    // Language variants share a name: their language tells them apart.
    return { name: m.name, version: m.version + (sameName[m.name] > 1 ? ' \u00b7 ' + m.language : ''), key: m.key };
  }

  // The nodes reachable from root along dependencies, or against them.
  function reachable(root, reverse) {
    const seen = new Set([root]), queue = [root];
    while (queue.length) {
      const n = queue.shift();
      for (const e of edges) {
        if (e.kind === 'exclusion') continue;
        const [a, b] = reverse ? [e.to, e.from] : [e.from, e.to];
        if (a === n && !seen.has(b)) { seen.add(b); queue.push(b); }
      }
    }
    return seen;
  }

  // ------------------------------------------------------------------ the graph's drawing
  const view = { x: 0, y: 0, scale: 1, width: 0, height: 0 };
  let viewport = null;
  function applyView() { if (viewport) viewport.setAttribute('transform', `translate(${view.x},${view.y}) scale(${view.scale})`); }
  function fit() {
    const frame = document.getElementById('graph-svg').getBoundingClientRect();
    if (!view.width || !frame.width) return;
    view.scale = Math.min(1.5, frame.width / (view.width + 40), frame.height / (view.height + 40));
    view.x = (frame.width - view.width * view.scale) / 2;
    view.y = 20 * view.scale;
    applyView();
  }
  function zoom(factor, cx, cy) {
    view.x = cx - (cx - view.x) * factor;
    view.y = cy - (cy - view.y) * factor;
    view.scale *= factor;
    applyView();
  }

  function drawNode(n, x, y, width, height) {
    const label = nodeLabel(n);
    const classes = ['node-box'];
    if (n >= missingBase) classes.push('missing');
    if (oldNodes.has(n)) classes.push('old');
    if (excludedNodes.has(n)) classes.push('excluded');
    if (cyclicNodes.has(n)) classes.push('cyclic');
    const kind = n >= missingBase ? 'missing' : 'module';
    const group = svg('g', { class: 'node ' + classes.slice(1).join(' '), 'data-kind': kind, 'data-index': String(n), transform: `translate(${x - width / 2},${y - height / 2})` });
    group.append(svg('title', {}, label.key), svg('rect', { class: classes.join(' '), width, height, rx: 4 }),
      svg('text', { x: 8, y: 15 }, label.name), svg('text', { x: 8, y: 29, class: 'version' }, label.version));
    if (kind === 'module') group.addEventListener('click', () => { location.hash = '#module/' + n; });
    return group;
  }

  function drawGraph() {
    const root = document.getElementById('graph-root').value;
    const mode = document.querySelector('input[name="graph-mode"]:checked').value;
    const started = performance.now();
    let shown;
    if (root === '') shown = new Set(Array.from({ length: nodeCount }, (_, i) => i));
    else shown = reachable(Number(root), mode === 'reverse');
    const visible = edges.filter((e) => shown.has(e.from) && shown.has(e.to));
    const linked = new Set();
    visible.forEach((e) => { linked.add(e.from); linked.add(e.to); });
    const size = (n) => ({ width: Math.max(nodeLabel(n).name.length, nodeLabel(n).version.length) * 7 + 18, height: 36 });

    const g = new dagre.graphlib.Graph({ multigraph: true });
    g.setGraph({ rankdir: 'LR', nodesep: 14, ranksep: 60, marginx: 10, marginy: 10 });
    g.setDefaultEdgeLabel(() => ({}));
    for (const n of shown) if (linked.has(n) || shown.size === 1) g.setNode(String(n), size(n));
    visible.forEach((e, k) => g.setEdge(String(e.from), String(e.to), { label: e.label, width: e.label.length * 5.5, height: 12, labelpos: 'c' }, 'e' + k));
    if (g.nodeCount()) dagre.layout(g);

    const svgRoot = document.getElementById('graph-svg');
    svgRoot.replaceChildren();
    const defs = svg('defs');
    for (const [kind, colour] of [['dependency', '#4a6fa5'], ['old', '#b00020'], ['missing', '#b00020'], ['exclusion', '#e07000'], ['cyclic', '#7b1fa2']]) {
      const marker = svg('marker', { id: 'arrow-' + kind, viewBox: '0 0 10 10', refX: 10, refY: 5, markerWidth: 9, markerHeight: 9, markerUnits: 'userSpaceOnUse', orient: 'auto-start-reverse' });
      marker.append(svg('path', { d: 'M0,0 L10,5 L0,10 z', fill: colour }));
      defs.append(marker);
    }
    svgRoot.append(defs);
    viewport = svg('g', { class: 'viewport' });
    svgRoot.append(viewport);
    const layout = g.graph();
    visible.forEach((e, k) => {
      const drawn = g.edge({ v: String(e.from), w: String(e.to), name: 'e' + k });
      const cyclic = e.kind !== 'exclusion' && cyclicEdges.has(e.from + '>' + e.to);
      const kinds = e.kind === 'exclusion' ? 'exclusion' : 'dependency ' + e.kind + (cyclic ? ' cyclic' : '');
      const d = drawn.points.map((p, i) => (i ? 'L' : 'M') + p.x.toFixed(1) + ',' + p.y.toFixed(1)).join(' ');
      const marker = cyclic ? 'cyclic' : e.kind;
      const group = svg('g', { class: 'edge-group', 'data-kind': e.kind === 'exclusion' ? 'exclusion' : 'dependency', 'data-from': String(e.from), 'data-to': String(e.to) });
      group.append(svg('title', {}, nodeLabel(e.from).key + ' ' + (e.kind === 'exclusion' ? 'excludes ' : 'requires ') + nodeLabel(e.to).key + (e.label && e.kind !== 'exclusion' ? ' ' + e.label : '')),
        svg('path', { class: 'edge ' + kinds, d, 'marker-end': `url(#arrow-${marker})` }));
      if (e.label) group.append(svg('text', { class: 'edge-label', x: drawn.x, y: drawn.y + 4, 'text-anchor': 'middle' }, e.label));
      viewport.append(group);
    });
    // An empty layout measures -Infinity.
    let width = g.nodeCount() ? layout.width : 0, height = g.nodeCount() ? layout.height : 0;
    for (const n of g.nodes()) {
      const node = g.node(n);
      viewport.append(drawNode(Number(n), node.x, node.y, node.width, node.height));
    }
    // Modules with no dependency either way would make one endless rank: a grid below instead.
    const alone = [...shown].filter((n) => !g.hasNode(String(n)));
    if (alone.length) {
      const cellWidth = Math.max(...alone.map((n) => size(n).width)) + 14, columns = Math.max(1, Math.ceil(Math.sqrt(alone.length * 3)));
      const top = height + (height ? 30 : 10);
      alone.forEach((n, k) => {
        const s = size(n);
        viewport.append(drawNode(n, 10 + (k % columns) * cellWidth + s.width / 2, top + Math.floor(k / columns) * 46 + 18, s.width, s.height));
      });
      width = Math.max(width, 10 + columns * cellWidth);
      height = top + Math.ceil(alone.length / columns) * 46;
    }
    view.width = width;
    view.height = height;
    fit();
    const dependencies = visible.filter((e) => e.kind !== 'exclusion').length;
    document.getElementById('graph-status').textContent =
      `${shown.size} nodes, ${dependencies} dependencies, laid out in ${Math.round(performance.now() - started)} ms`;
    document.getElementById('graph').dataset.drawn = String(Date.now());
  }

  function setUpGraph() {
    const select = document.getElementById('graph-root');
    modules.map((m, i) => [m.key, i]).sort((a, b) => a[0].localeCompare(b[0]))
      .forEach(([key, i]) => select.append(el('option', { value: String(i) }, key)));
    select.addEventListener('change', drawGraph);
    document.querySelectorAll('input[name="graph-mode"]').forEach((r) => r.addEventListener('change', drawGraph));
    document.getElementById('graph-fit').addEventListener('click', fit);
    const svgRoot = document.getElementById('graph-svg');
    const centre = () => { const r = svgRoot.getBoundingClientRect(); return [r.width / 2, r.height / 2]; };
    document.getElementById('graph-zoom-in').addEventListener('click', () => zoom(1.25, ...centre()));
    document.getElementById('graph-zoom-out').addEventListener('click', () => zoom(0.8, ...centre()));
    svgRoot.addEventListener('wheel', (event) => {
      event.preventDefault();
      const r = svgRoot.getBoundingClientRect();
      zoom(event.deltaY < 0 ? 1.15 : 1 / 1.15, event.clientX - r.left, event.clientY - r.top);
    }, { passive: false });
    let drag = null;
    svgRoot.addEventListener('pointerdown', (event) => {
      if (event.target.closest('g.node')) return;
      drag = { x: event.clientX - view.x, y: event.clientY - view.y };
      svgRoot.setPointerCapture(event.pointerId);
    });
    svgRoot.addEventListener('pointermove', (event) => {
      if (!drag) return;
      view.x = event.clientX - drag.x;
      view.y = event.clientY - drag.y;
      applyView();
    });
    svgRoot.addEventListener('pointerup', () => { drag = null; });
  }
  function showInGraph(index, mode) {
    document.getElementById('graph-root').value = String(index);
    document.querySelector(`input[name="graph-mode"][value="${mode}"]`).checked = true;
    graphDrawn = false;
    location.hash = '#graph';
  }

  // ------------------------------------------------------------------ summary, table, module pages, conflicts
  function renderSummary() {
    const languages = {};
    modules.forEach((m) => { languages[m.language] = (languages[m.language] || 0) + 1; });
    const count = (label, value, href, bad) => el('a', { href, class: 'count' + (bad && value ? ' bad' : '') }, el('b', {}, value), label);
    const section = document.getElementById('summary');
    section.append(el('h2', {}, 'Summary'),
      el('p', { class: 'note' }, data.scope.length ? 'The closures of ' + data.scope.join(', ') + ': the modules merged together.' : 'Every module of the catalog.'),
      el('div', { class: 'counts' },
        count('modules', modules.length, '#modules'),
        count('languages: ' + Object.entries(languages).map(([l, n]) => `${l} (${n})`).join(', '), Object.keys(languages).length, '#modules'),
        count('missing modules', data.missing.length, '#graph', true),
        count('too old dependencies', edges.filter((e) => e.kind === 'old').length, '#graph', true),
        count('exclusions in force', data.excluded.length, '#graph', true),
        count('dependency cycles', data.cycles.length, '#graph', true),
        count('file conflicts', data.conflicts.length, '#conflicts', true),
        count('duplicate files', data.duplicates.length, '#conflicts'),
        count('files with unresolved folders', data.unresolved.length, '#conflicts', true),
        count('unreadable module files', data.unreadable.length, '#modules', true)));
    const findings = [];
    data.missing.forEach((m) => findings.push(['missing', signature(m.id, m.language), 'required by ' + m.required_by.map((i) => modules[i].key).join(', ')]));
    modules.forEach((m, i) => m.requires.forEach((r) => {
      if (r.too_old) findings.push(['too old', modules[r.to].key + ' ' + modules[r.to].version, m.key + ' requires ' + r.version + ' or later']);
    }));
    data.excluded.forEach((x) => findings.push(['excluded', modules[x.target].key, 'by ' + modules[x.by].key + ' (' + range(x.min, x.max) + ')']));
    data.cycles.forEach((c) => findings.push(['cycle', c.map((i) => modules[i].key).join(' \u2192 ') + ' \u2192 ' + modules[c[0]].key, '']));
    data.unreadable.forEach((i) => findings.push(['unreadable', modules[i].path || modules[i].key, 'the file does not open as a merge module']));
    if (findings.length) section.append(el('h3', {}, 'Findings'), table(['', 'Module', ''], findings));
  }

  function renderTable() {
    const tbody = document.querySelector('#module-table tbody');
    const rows = modules.map((m, i) => {
      const row = el('tr', { 'data-index': String(i) }, el('td', {}, moduleLink(i)), el('td', {}, m.display), el('td', {}, m.version),
        el('td', { class: 'number' }, m.language), el('td', {}, m.source), el('td', { class: 'number' }, m.requires.length),
        el('td', { class: 'number' }, m.files.length));
      row.dataset.text = [m.key, m.display, m.version, m.language, m.source].join('\n').toLowerCase();
      return row;
    });
    tbody.append(...rows);
    const search = document.getElementById('module-search');
    const countLine = document.getElementById('module-count');
    const filter = () => {
      const words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
      let shown = 0;
      rows.forEach((row) => { row.hidden = !words.every((w) => row.dataset.text.includes(w)); shown += row.hidden ? 0 : 1; });
      countLine.textContent = `${shown} of ${modules.length} modules`;
    };
    search.addEventListener('input', filter);
    filter();
    const value = { key: (m) => m.key, display: (m) => m.display, version: (m) => m.version, language: (m) => m.language,
      source: (m) => m.source, deps: (m) => m.requires.length, files: (m) => m.files.length };
    document.querySelectorAll('#module-table th').forEach((th) => th.addEventListener('click', () => {
      const ascending = !th.classList.contains('asc');
      document.querySelectorAll('#module-table th').forEach((h) => h.classList.remove('asc', 'desc'));
      th.classList.add(ascending ? 'asc' : 'desc');
      const get = value[th.dataset.column];
      const compare = th.dataset.numeric ? (a, b) => get(a) - get(b) : (a, b) => String(get(a)).localeCompare(String(get(b)), undefined, { numeric: true });
      rows.sort((a, b) => (ascending ? 1 : -1) * compare(modules[a.dataset.index], modules[b.dataset.index]));
      tbody.append(...rows);
    }));
  }

  function renderModule(i) {
    const m = modules[i];
    const section = document.getElementById('module');
    const field = (name, value) => [el('dt', {}, name), el('dd', {}, value === '' ? '\u2014' : value)];
    const requirements = m.requires.map((r) => [signature(r.id, r.language), r.version ? r.version + ' or later' : 'any version',
      r.to === null ? el('span', { class: 'bad' }, 'missing') : r.to === i ? 'itself' : el('span', {}, moduleLink(r.to), r.too_old ? el('span', { class: 'bad' }, ' too old: ' + modules[r.to].version) : '')]);
    const exclusions = m.excludes.map((x) => [signature(x.id, x.language), range(x.min, x.max),
      el('span', {}, ...data.excluded.filter((v) => v.by === i).filter((v) => modules[v.target].id === x.id).map((v) => moduleLink(v.target)))]);
    const files = m.files.map((f) => [f[0], f[1] === null ? el('span', { class: 'bad' }, 'unresolved') : f[1], f[2], f[3], f[4]]);
    section.replaceChildren(el('h2', {}, m.key),
      el('p', {}, el('a', { href: '#graph', onclick: (e) => { e.preventDefault(); showInGraph(i, 'closure'); } }, 'Show what it pulls in'), ' \u00b7 ',
        el('a', { href: '#graph', onclick: (e) => { e.preventDefault(); showInGraph(i, 'reverse'); } }, 'Show what pulls it in')),
      el('dl', { class: 'identity' }, ...field('Display name', m.display), ...field('Module ID', m.id), ...field('Language', m.language),
        ...field('Version', m.version), ...field('Path', m.path), ...field('Source', m.source), ...field('Present', m.present ? 'yes' : 'no'),
        ...field('Package code', m.package), ...field('Subject', m.subject), ...field('Author', m.author), ...field('Comments', m.comments)),
      el('h3', {}, `Dependencies (${m.requires.length})`), table(['Requires', 'Version', 'Resolved to'], requirements),
      el('h3', {}, `Required by (${requiredBy[i].length})`), el('p', {}, ...requiredBy[i].flatMap((r, k) => (k ? [', ', moduleLink(r)] : [moduleLink(r)]))),
      el('h3', {}, `Exclusions (${m.excludes.length})`), table(['Excludes', 'Versions', 'In force against'], exclusions),
      el('h3', {}, `Files (${m.files.length})`), table(['Name', 'Target folder', 'Directory', 'Version', 'Size'], files));
  }

  function renderConflicts() {
    const section = document.getElementById('conflicts');
    const groups = (list) => table(['Target file', 'Module', 'Version', 'Size', 'Directory'],
      list.flatMap((g) => g.modules.map((d, k) => [k ? '' : g.target, moduleLink(d.module), d.version, d.size, d.directory])));
    section.append(el('h2', {}, 'File conflicts'),
      el('p', { class: 'note' }, 'Target files (resolved folder and long name, compared without regard to case) that two or more modules deliver. Modules where either excludes the other, and language variants of one ModuleID, are not merged together and not compared.'),
      el('h3', {}, `Different versions or sizes (${data.conflicts.length})`), groups(data.conflicts),
      el('h3', {}, `Same file, same version (${data.duplicates.length})`), groups(data.duplicates),
      el('h3', {}, `Folder does not resolve (${data.unresolved.length})`),
      table(['File', 'Module', 'Directory'], data.unresolved.map((u) => [u.name, moduleLink(u.module), u.directory])));
  }

  // ------------------------------------------------------------------ views
  let graphDrawn = false;
  function route() {
    const hash = location.hash || '#summary';
    const match = /^#module\/(\d+)$/.exec(hash);
    let id = match ? 'module' : hash.slice(1);
    if (!document.getElementById(id) || !document.getElementById(id).classList.contains('view')) id = 'summary';
    if (match && Number(match[1]) < modules.length) {
      renderModule(Number(match[1]));
      document.getElementById('module').dataset.shownAt = String(performance.now());
    }
    document.querySelectorAll('section.view').forEach((s) => { s.hidden = s.id !== id; });
    if (id === 'graph' && !graphDrawn) { graphDrawn = true; drawGraph(); }
    window.scrollTo(0, 0);
  }
  renderSummary();
  renderTable();
  renderConflicts();
  setUpGraph();
  window.addEventListener('hashchange', route);
  route();
  document.body.dataset.ready = '1';
})();
