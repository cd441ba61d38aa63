(() => {
  'use strict';
  const table = document.getElementById('t');
  // The page brings each date once, as "2024-08-15T11:22:33"; people read "15/8/24 11:22".
  const two = (number) => String(number).padStart(2, '0');
  for (const time of table.getElementsByTagName('time')) {
    const stamp = time.dateTime;
    const end = stamp.length;
    const year = Number(stamp.slice(0, end - 15));
    time.textContent = `${Number(stamp.slice(end - 11, end - 9))}/${Number(stamp.slice(end - 14, end - 12))}/`
      + `${two(((year % 100) + 100) % 100)} ${Number(stamp.slice(end - 8, end - 6))}:${stamp.slice(end - 5, end - 3)}`;
  }
  // Rows come in bodies that the browser skips while off screen; they keep their sizes.
  const bodies = Array.from(table.tBodies);
  const sizes = bodies.map((body) => body.rows.length);
  const rows = bodies.flatMap((body) => Array.from(body.rows));
  const count = rows.length;
  const heads = Array.from(table.tHead.rows[0].cells);
  const output = document.getElementById('n');
  const folder = Uint8Array.from(rows, (row) => (row.classList.contains('d') ? 1 : 0));
  const folders = folder.reduce((sum, one) => sum + one, 0);
  const total = count - folders;
  const collator = new Intl.Collator('es', { numeric: true, sensitivity: 'base' });
  const fold = (text) => text.normalize('NFD').replace(/[\u0300-\u036f]/g, '').toLowerCase();
  const nameOf = (row) => row.cells[0].textContent.trim();
  // The row at each place, in the order shown.
  let shown = Int32Array.from(rows, (row, i) => i);
  const hidden = new Uint8Array(count);
  let filtered = false;
  // Keys are read from the rows once, at load; sorting then only touches numbers.
  const names = rows.map(nameOf);
  const folded = names.map(fold);
  let nameRank = null;
  // The page comes in the order it was written; by name it need not be sorted again.
  const byName = () => {
    if (!nameRank) {
      nameRank = new Int32Array(count);
      const order = Array.from(shown);
      if (table.dataset.sort === 'name-r') order.reverse();
      else if (table.dataset.sort !== 'name') {
        order.sort((a, b) => collator.compare(names[a], names[b]));
      }
      order.forEach((row, rank) => { nameRank[row] = rank; });
    }
    return nameRank;
  };
  const keys = [
    () => byName(),
    // "2024-08-15T11:22:33" as the number 20240815112233.
    () => Float64Array.from(rows, (row) =>
      Number((row.cells[1].firstElementChild?.dateTime ?? '').replace(/\D/g, '')) || 0),
    () => Float64Array.from(rows, (row) => Number(row.cells[2].title)),
  ];
  const ascending = [];
  // As the listing orders ties: by name, turned around only with the whole order; so each
  // column's descending order is its ascending one backwards, folders still first.
  const orderOf = (column, descending) => {
    let order = ascending[column];
    if (!order) {
      const key = keys[column]();
      const rank = byName();
      const tie = column === 0 ? 1 : -1;
      order = Int32Array.from(rows, (row, i) => i).sort((a, b) => (folder[b] - folder[a])
        || key[a] - key[b] || tie * (rank[a] - rank[b]));
      ascending[column] = order;
    }
    if (!descending) return order;
    const turned = order.slice();
    turned.subarray(0, folders).reverse();
    turned.subarray(folders).reverse();
    return turned;
  };

  // Off-screen bodies take the height of the rows they show, as measured before any was hidden.
  let rowHeight = 0;
  const measure = () => {
    if (rowHeight) return;
    const first = bodies[0].getBoundingClientRect().height;
    rowHeight = first > 0 && sizes[0] > 0 ? first / sizes[0] : 30;
  };
  const fitBodies = () => {
    let place = 0;
    bodies.forEach((body, b) => {
      let visible = 0;
      for (const end = place + sizes[b]; place < end; place += 1) visible += 1 - hidden[shown[place]];
      body.style.containIntrinsicBlockSize = `${Math.round(visible * rowHeight)}px`;
    });
  };

  const starts = sizes.map((size, b) => b * sizes[0]);
  const fill = (b) => {
    const part = Array.from(shown.subarray(starts[b], starts[b] + sizes[b]), (i) => rows[i]);
    bodies[b].replaceChildren(...part);
  };
  // Moving 100,000 rows takes longer than a frame: the bodies on screen get their rows at once,
  // the others a few at a time after it, while the table says it is busy.
  let settling = 0;
  const settle = (pending, turn) => {
    if (turn !== settling) return;
    for (const b of pending.splice(0, 8)) fill(b);
    if (pending.length) setTimeout(settle, 0, pending, turn);
    else table.removeAttribute('aria-busy');
  };
  const sortBy = (column, descending) => {
    shown = orderOf(column, descending);
    settling += 1;
    const high = window.innerHeight;
    const pending = [];
    bodies.forEach((body, b) => {
      const box = body.getBoundingClientRect();
      const near = box.bottom > -high && box.top < 2 * high;
      if (near || table.classList.contains('grid')) fill(b);
      else pending.push(b);
    });
    if (pending.length) {
      table.setAttribute('aria-busy', 'true');
      setTimeout(settle, 0, pending, settling);
    } else table.removeAttribute('aria-busy');
    if (filtered) fitBodies();
    heads.forEach((head, i) => {
      if (i === column) head.setAttribute('aria-sort', descending ? 'descending' : 'ascending');
      else head.removeAttribute('aria-sort');
    });
  };
  heads.forEach((head, column) => {
    head.querySelector('button').addEventListener('click', () => {
      const now = head.getAttribute('aria-sort');
      // Names first go up, dates and sizes first go down: newest and largest on top.
      const first = column === 0 ? 'ascending' : 'descending';
      sortBy(column, now ? now === 'ascending' : first === 'descending');
    });
  });

  // One pass over names folded once; only rows whose state changes are touched.
  const filter = document.getElementById('q');
  const shownText = (n) => `${n} de ${total} archivo${total === 1 ? '' : 's'}`;
  filter.addEventListener('input', () => {
    measure();
    const wanted = fold(filter.value.trim());
    let files = 0;
    for (let i = 0; i < count; i += 1) {
      const hide = wanted !== '' && !folded[i].includes(wanted) ? 1 : 0;
      if (hidden[i] !== hide) {
        hidden[i] = hide;
        rows[i].hidden = hide === 1;
      }
      if (!hide && !folder[i]) files += 1;
    }
    filtered = true;
    fitBodies();
    output.textContent = wanted === '' ? '' : shownText(files);
  });

  for (const column of [1, 2, 0]) orderOf(column);

  const grid = document.getElementById('g');
  if (grid) {
    grid.addEventListener('click', () => {
      const on = table.classList.toggle('grid');
      grid.setAttribute('aria-pressed', String(on));
    });
  }
  document.getElementById('b').hidden = false;
})();
