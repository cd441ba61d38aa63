'use strict';
// The catalogue's page: decodes the data written before this script and shows it. Names are
// only ever put into the page as text nodes, never as markup.
(async () => {
  const byId = (id) => document.getElementById(id);
  const status = byId('status');
  // Times are kept from here on, where today's are small enough to be held without a box each.
  const timeBase = 1e9;
  let data;
  try {
    // The block is read once and taken out of the page, so that its text is not held twice.
    const block = byId('data');
    const text = block.textContent.trim();
    block.textContent = '';
    let bytes;
    if (Uint8Array.fromBase64) {
      bytes = Uint8Array.fromBase64(text);
    } else {
      const binary = atob(text);
      bytes = new Uint8Array(binary.length);
      for (let i = 0; i < binary.length; i += 1) bytes[i] = binary.charCodeAt(i);
    }
    // A folder a line: each is parsed as soon as it is inflated, so the whole text is never
    // held at once.
    const inflate = new DecompressionStream('deflate');
    const writer = inflate.writable.getWriter();
    writer.write(bytes).catch(() => {});
    writer.close().catch(() => {});
    bytes = null;
    const reader = inflate.readable.pipeThrough(new TextDecoderStream()).getReader();
    const found = [];
    let rest = '';
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      const lines = (rest + value).split('\n');
      rest = lines.pop();
      for (const line of lines) {
        if (!line.startsWith('[') && !line.startsWith(',[')) continue;
        const folder = JSON.parse(line.startsWith(',') ? line.slice(1) : line);
        const files = folder[3];
        for (let k = 2; k < files.length; k += 3) files[k] -= timeBase;
        found.push(folder);
      }
    }
    data = { f: found, r: JSON.parse(`{${rest.slice(rest.indexOf('"r"'))}`).r };
  } catch (error) {
    status.textContent = `No se pudo leer el catálogo: ${error}`;
    return;
  }
  const folders = data.f;
  const count = folders.length;
  const children = Array.from({ length: count }, () => []);
  const fileCount = new Float64Array(count);
  const totalSize = new Float64Array(count);
  for (let i = 0; i < count; i += 1) {
    const [parent, , , files] = folders[i];
    if (parent >= 0) children[parent].push(i);
    fileCount[i] = files.length / 3;
    let sum = 0;
    for (let k = 1; k < files.length; k += 3) if (files[k] > 0) sum += files[k];
    totalSize[i] = sum;
  }
  // A folder comes after the one above it, so one pass from the end adds each to its parent.
  for (let i = count - 1; i >= 0; i -= 1) {
    const parent = folders[i][0];
    if (parent >= 0) {
      fileCount[parent] += fileCount[i];
      totalSize[parent] += totalSize[i];
    }
  }
  const rootUrl = new Map(data.r);
  // When photos were taken, where the catalogue was made with their dates: by file, as the
  // camera's clock wrote it ("2023-03-04T10:11:12", with its offset where known).
  const taken = new Map();
  for (let i = 0; i < count; i += 1) {
    const pairs = folders[i][5];
    if (!pairs) continue;
    const own = new Map();
    for (let p = 0; p < pairs.length; p += 2) own.set(pairs[p], pairs[p + 1]);
    taken.set(i, own);
  }

  const segments = (item) => {
    if (typeof item === 'string') return [item];
    if (Array.isArray(item)) return item;
    return segments(item.s);
  };
  const mark = (c) => `[U+${c.toString(16).toUpperCase().padStart(4, '0')}]`;
  const shown = (item) => segments(item).map((s) => (typeof s === 'number' ? mark(s) : s)).join('');
  const appendName = (element, item) => {
    for (const s of segments(item)) {
      if (typeof s === 'number') {
        const kbd = document.createElement('kbd');
        kbd.textContent = mark(s);
        element.append(kbd);
      } else {
        element.append(document.createTextNode(s));
      }
    }
  };
  // A name's bytes in a URL: anything but the plainest characters percent-encoded, so that
  // no URL parser reads a "#", "?", "%" or blank of a name as something else.
  const plain = /^[A-Za-z0-9\-._~!$&'()*+,;=@]$/;
  const linkPart = (item) => {
    if (item && typeof item === 'object' && !Array.isArray(item)) return item.u;
    const text = segments(item).map((s) => (typeof s === 'number' ? String.fromCodePoint(s) : s))
      .join('');
    let out = '';
    for (const byte of new TextEncoder().encode(text)) {
      const c = String.fromCharCode(byte);
      out += byte < 0x80 && plain.test(c) ? c : `%${byte.toString(16).toUpperCase().padStart(2, '0')}`;
    }
    return out;
  };
  const urls = new Map();
  const folderUrl = (i) => {
    if (!urls.has(i)) {
      const parent = folders[i][0];
      urls.set(i, parent < 0 ? rootUrl.get(i) : `${folderUrl(parent)}${linkPart(folders[i][1])}/`);
    }
    return urls.get(i);
  };
  const paths = new Map();
  const folderPath = (i) => {
    if (!paths.has(i)) {
      const parent = folders[i][0];
      paths.set(i, parent < 0 ? shown(folders[i][1]) : `${folderPath(parent)}${shown(folders[i][1])}/`);
    }
    return paths.get(i);
  };

  const spanish = new Intl.NumberFormat('es-ES', { maximumFractionDigits: 1 });
  const readableSize = (size) => {
    if (size < 0) return '?';
    const units = ['bytes', 'KB', 'MB', 'GB', 'TB'];
    let unit = 0;
    while (size >= 1024 && unit < units.length - 1) {
      size /= 1024;
      unit += 1;
    }
    return `${spanish.format(size)} ${units[unit]}`;
  };
  const dates = new Intl.DateTimeFormat('es-ES', { dateStyle: 'short', timeStyle: 'short' });
  const readableDate = (seconds) => dates.format(new Date((seconds + timeBase) * 1000));
  // The camera's own clock, shown as it was, wherever the catalogue is opened.
  const cameraDates = new Intl.DateTimeFormat('es-ES',
    { dateStyle: 'short', timeStyle: 'short', timeZone: 'UTC' });
  const takenOf = (folder, k) => taken.get(folder)?.get(k);
  const readableTaken = (text) => {
    const [year, month, day, hour, minute, second] = text.match(/\d+/g).map(Number);
    return cameraDates.format(new Date(Date.UTC(year, month - 1, day, hour, minute, second)));
  };
  // Photos by when they were taken (a time with no offset read as the local time here), the
  // others by their file's time.
  const whenTaken = (folder, k) => {
    const text = takenOf(folder, k);
    const at = text === undefined ? NaN : Date.parse(text);
    return Number.isNaN(at) ? (folders[folder][3][k * 3 + 2] + timeBase) * 1000 : at;
  };
  const element = (tag, className, text) => {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  };

  // The tree, each folder's list of folders made when it is first opened.
  const rows = new Map();
  let chosen = -1;
  const expand = (i, open) => {
    const row = rows.get(i);
    if (!row || children[i].length === 0) return;
    let list = row.li.querySelector(':scope > ul');
    if (open && !list) {
      list = document.createElement('ul');
      for (const child of children[i]) list.append(makeRow(child));
      row.li.append(list);
    }
    if (list) list.hidden = !open;
    row.toggle.textContent = open ? '▾' : '▸';
    row.open = open;
  };
  const makeRow = (i) => {
    const li = document.createElement('li');
    li.dataset.folder = i;
    const line = element('div', 'row');
    const toggle = element('button', 'toggle', children[i].length ? '▸' : ' ');
    toggle.tabIndex = -1;
    const name = element('span', 'name');
    appendName(name, folders[i][1]);
    line.append(toggle, name);
    if (folders[i][2]) {
      const warning = element('span', 'unreadable', ' ⚠ no se pudo leer');
      warning.title = folders[i][2];
      line.append(warning);
    }
    line.append(element('span', 'sum',
      ` ${fileCount[i].toLocaleString('es-ES')} archivos, ${readableSize(totalSize[i])}`));
    line.dataset.files = fileCount[i];
    line.dataset.bytes = totalSize[i];
    toggle.addEventListener('click', (event) => {
      event.stopPropagation();
      expand(i, !rows.get(i).open);
    });
    line.addEventListener('click', () => choose(i));
    li.append(line);
    rows.set(i, { li, line, toggle, open: false });
    return li;
  };

  const list = byId('list');
  let sortKey = -1;
  let sortDown = false;
  const collator = new Intl.Collator('es', { numeric: true, sensitivity: 'base' });
  const headerRow = (columns) => {
    const tr = document.createElement('tr');
    columns.forEach(([title, className, key]) => {
      const th = element('th', className, title + (key === sortKey ? (sortDown ? ' ▼' : ' ▲') : ''));
      if (key !== undefined) {
        th.addEventListener('click', () => {
          sortDown = key === sortKey ? !sortDown : false;
          sortKey = key;
          showFolder(chosen);
        });
      }
      tr.append(th);
    });
    return tr;
  };
  const fileRow = (folder, k, where) => {
    const files = folders[folder][3];
    const tr = document.createElement('tr');
    const a = document.createElement('a');
    a.href = folderUrl(folder) + linkPart(files[k * 3]);
    appendName(a, files[k * 3]);
    const name = element('td', 'name');
    name.append(a);
    tr.append(name);
    if (where) {
      const td = element('td', 'where', folderPath(folder));
      td.addEventListener('click', () => choose(folder, k));
      tr.append(td);
    }
    tr.append(element('td', 'date', readableDate(files[k * 3 + 2])));
    if (taken.size) {
      const text = takenOf(folder, k);
      const cell = element('td', 'date', text === undefined ? '' : readableTaken(text));
      if (text !== undefined) cell.title = text;
      tr.append(cell);
    }
    tr.append(element('td', 'size', readableSize(files[k * 3 + 1])));
    return tr;
  };
  const takenColumn = (key) => (taken.size ? [['Tomada', 'date', key]] : []);
  const noTaken = () => (taken.size ? [element('td', 'date', '')] : []);
  const showFolder = (i, highlight = -1) => {
    const files = folders[i][3];
    const order = Array.from({ length: files.length / 3 }, (_, k) => k);
    if (sortKey === 0) order.sort((a, b) => collator.compare(shown(files[a * 3]), shown(files[b * 3])));
    if (sortKey === 1 || sortKey === 2) {
      order.sort((a, b) => files[a * 3 + sortKey] - files[b * 3 + sortKey]);
    }
    if (sortKey === 3) {
      const when = Float64Array.from(order, (k) => whenTaken(i, k));
      order.sort((a, b) => when[a] - when[b]);
    }
    if (sortDown) order.reverse();
    const table = document.createElement('table');
    table.id = 'files';
    table.append(headerRow([['Nombre', 'name', 0], ['Modificado', 'date', 2], ...takenColumn(3),
      ['Tamaño', 'size', 1]]));
    // Folders that were not entered (links to folders, folders past the depth) lead to
    // themselves, as on the pages.
    for (const item of folders[i][4] || []) {
      const a = document.createElement('a');
      a.href = `${folderUrl(i)}${linkPart(item)}/`;
      appendName(a, item);
      a.append('/');
      const name = element('td', 'name');
      name.append(a);
      const tr = document.createElement('tr');
      tr.className = 'notentered';
      tr.append(name, element('td', 'date', ''), ...noTaken(), element('td', 'size', ''));
      table.append(tr);
    }
    for (const k of order) {
      const tr = fileRow(i, k, false);
      if (k === highlight) tr.className = 'found';
      table.append(tr);
    }
    const heading = element('h2', '', folderPath(i));
    list.replaceChildren(heading, table);
    if (folders[i][2]) list.prepend(element('p', 'unreadable', folders[i][2]));
    list.querySelector('tr.found')?.scrollIntoView({ block: 'center' });
  };
  const choose = (i, highlight = -1) => {
    const path = [];
    for (let at = folders[i][0]; at >= 0; at = folders[at][0]) path.unshift(at);
    for (const at of path) expand(at, true);
    rows.get(chosen)?.line.classList.remove('chosen');
    chosen = i;
    rows.get(i)?.line.classList.add('chosen');
    rows.get(i)?.line.scrollIntoView({ block: 'nearest' });
    showFolder(i, highlight);
  };

  const top = document.createElement('ul');
  for (let i = 0; i < count; i += 1) if (folders[i][0] < 0) top.append(makeRow(i));
  byId('tree').replaceChildren(top);
  for (const i of rootUrl.keys()) expand(i, true);
  if (count > 0) choose(data.r[0][0]);

  // Search: every name folded to lower case without accents.
  const fold = (text) => {
    let folded = text.toLowerCase();
    if (!/[^\x00-\x7f]/.test(folded)) return folded;
    // What the marks are taken out of is kept with the result, four times its size; a copy of
    // it is only itself, in one byte a character where it can be.
    return JSON.parse(JSON.stringify(folded.normalize('NFD').replace(/\p{M}/gu, '')));
  };
  // Each folder's names folded together, a line each: one call for many names is much faster
  // than one per name, and a string per folder is searched without a copy of them all. Where a
  // name holds a line break itself, its folder's names are folded one by one.
  const firstEntry = new Int32Array(count + 1);
  for (let i = 0; i < count; i += 1) {
    firstEntry[i + 1] = firstEntry[i] + (folders[i][0] >= 0 ? 1 : 0) + folders[i][3].length / 3;
  }
  const entries = firstEntry[count];
  const starts = new Int32Array(entries); // where each entry's line begins in its folder's keys
  const keys = new Array(count);
  const text = (item) => (typeof item === 'string' ? item : shown(item));
  for (let i = 0; i < count; i += 1) {
    const names = [];
    if (folders[i][0] >= 0) names.push(text(folders[i][1]));
    const files = folders[i][3];
    for (let k = 0; k < files.length; k += 3) names.push(text(files[k]));
    const entry = firstEntry[i];
    let folded = fold(names.join('\n'));
    let lines = 1;
    for (let at = folded.indexOf('\n'); at >= 0; at = folded.indexOf('\n', at + 1)) {
      if (lines < names.length) starts[entry + lines] = at + 1;
      lines += 1;
    }
    if (lines !== names.length) {
      const own = names.map((name) => fold(name).replace(/\n/g, ' '));
      folded = own.join('\n');
      for (let n = 1; n < names.length; n += 1) {
        starts[entry + n] = starts[entry + n - 1] + own[n - 1].length + 1;
      }
    }
    keys[i] = folded;
  }
  // The entry of folder i whose line holds offset, and where the line after it begins.
  const entryAt = (i, offset) => {
    let low = firstEntry[i];
    let high = firstEntry[i + 1];
    while (high - low > 1) {
      const middle = (low + high) >> 1;
      if (starts[middle] <= offset) low = middle; else high = middle;
    }
    return low;
  };
  const nextLine = (i, entry) => (entry + 1 < firstEntry[i + 1] ? starts[entry + 1]
    : keys[i].length + 1);
  const search = (query) => {
    const found = [];
    const needle = fold(query).replace(/\n/g, ' ');
    if (!/[*?]/.test(needle)) {
      for (let i = 0; i < count; i += 1) {
        if (firstEntry[i] === firstEntry[i + 1]) continue;
        // A query of marks alone folds to nothing, which is in every name.
        for (let at = keys[i].indexOf(needle); at >= 0;) {
          const entry = entryAt(i, at);
          found.push(entry);
          const next = nextLine(i, entry);
          at = next > keys[i].length ? -1 : keys[i].indexOf(needle, next);
        }
      }
      return found;
    }
    const source = needle.replace(/[.+^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '[^\\n]*')
      .replace(/\?/g, '[^\\n]');
    const pattern = new RegExp(source, 'g');
    for (let i = 0; i < count; i += 1) {
      const haystack = keys[i];
      if (firstEntry[i] === firstEntry[i + 1]) continue;
      pattern.lastIndex = 0;
      for (let match = pattern.exec(haystack); match; match = pattern.exec(haystack)) {
        if (haystack[match.index] === '\n' && match[0].length === 0) {
          pattern.lastIndex = match.index + 1;
          continue;
        }
        const entry = entryAt(i, match.index);
        found.push(entry);
        pattern.lastIndex = nextLine(i, entry);
        if (pattern.lastIndex > haystack.length) break;
      }
    }
    return found;
  };
  const shownResults = 200;
  const input = byId('search');
  const showResults = () => {
    const query = input.value;
    if (query.trim() === '') {
      status.textContent = '';
      showFolder(chosen);
      return;
    }
    const found = search(query);
    status.textContent = found.length === 1 ? '1 resultado' : `${found.length} resultados`;
    const table = document.createElement('table');
    table.id = 'results';
    table.append(headerRow([['Nombre'], ['Carpeta'], ['Modificado'], ...takenColumn(undefined),
      ['Tamaño', 'size']]));
    for (const entry of found.slice(0, shownResults)) {
      let folder = 0;
      for (let high = count; high - folder > 1;) {
        const middle = (folder + high) >> 1;
        if (firstEntry[middle] <= entry) folder = middle; else high = middle;
      }
      // A folder's own name comes before its files.
      const file = entry - firstEntry[folder] - (folders[folder][0] >= 0 ? 1 : 0);
      if (file >= 0) {
        table.append(fileRow(folder, file, true));
      } else {
        const tr = document.createElement('tr');
        const name = element('td', 'name');
        const a = document.createElement('a');
        a.href = folderUrl(folder);
        appendName(a, folders[folder][1]);
        a.append('/');
        name.append(a);
        const where = element('td', 'where', folderPath(folder));
        where.addEventListener('click', () => choose(folder));
        tr.append(name, where, element('td'), ...noTaken(),
          element('td', 'size', readableSize(totalSize[folder])));
        table.append(tr);
      }
    }
    list.replaceChildren(table);
    if (found.length > shownResults) {
      list.append(element('p', '', `Se muestran los primeros ${shownResults}.`));
    }
  };
  input.addEventListener('input', showResults);
  input.disabled = false;
  status.textContent = '';
  document.body.dataset.ready = '1';
})();
