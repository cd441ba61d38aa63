(() => {
  'use strict';
  const table = document.getElementById('t');
  const body = table.tBodies[0];
  const rows = Array.from(body.rows);
  const heads = Array.from(table.tHead.rows[0].cells);
  const count = document.getElementById('n');
  const total = rows.filter((row) => !row.classList.contains('d')).length;
  const collator = new Intl.Collator('es', { numeric: true, sensitivity: 'base' });
  const fold = (text) => text.normalize('NFD').replace(/[\u0300-\u036f]/g, '').toLowerCase();
  const nameOf = (row) => row.cells[0].textContent.trim();
  let nameRank = null;
  let folded = null;

  // The page comes in the order it was written; by name it need not be sorted again.
  const byName = () => {
    if (!nameRank) {
      nameRank = new Int32Array(rows.length);
      const order = rows.map((row, i) => i);
      if (table.dataset.sort === 'name-r') order.reverse();
      else if (table.dataset.sort !== 'name') {
        const names = rows.map(nameOf);
        order.sort((a, b) => collator.compare(names[a], names[b]));
      }
      order.forEach((row, rank) => { nameRank[row] = rank; });
    }
    return nameRank;
  };
  const keys = [
    () => byName(),
    () => rows.map((row) => row.cells[1].querySelector('time')?.dateTime ?? ''),
    () => rows.map((row) => Number(row.cells[2].title)),
  ];
  const columnKeys = [];

  const sortBy = (column, descending) => {
    const key = columnKeys[column] ??= keys[column]();
    const rank = byName();
    const sign = descending ? -1 : 1;
    // As the listing orders ties: by name, turned around only with the whole order.
    const tie = (column === 0) !== descending ? 1 : -1;
    const order = rows.map((row, i) => i);
    const folder = rows.map((row) => row.classList.contains('d'));
    order.sort((a, b) => (folder[b] - folder[a])
      || (key[a] < key[b] ? -sign : key[a] > key[b] ? sign : 0)
      || tie * (rank[a] - rank[b]));
    body.replaceChildren();
    const fragment = document.createDocumentFragment();
    for (const i of order) fragment.appendChild(rows[i]);
    body.appendChild(fragment);
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

  const filter = document.getElementById('q');
  const shownText = (shown) => `${shown} de ${total} archivo${total === 1 ? '' : 's'}`;
  filter.addEventListener('input', () => {
    folded ??= rows.map((row) => fold(nameOf(row)));
    const wanted = fold(filter.value.trim());
    let shown = 0;
    for (let i = 0; i < rows.length; i += 1) {
      const hide = wanted !== '' && !folded[i].includes(wanted);
      if (rows[i].hidden !== hide) rows[i].hidden = hide;
      if (!hide && !rows[i].classList.contains('d')) shown += 1;
    }
    count.textContent = wanted === '' ? count.dataset.all : shownText(shown);
  });

  const grid = document.getElementById('g');
  if (grid) {
    grid.addEventListener('click', () => {
      const on = table.classList.toggle('grid');
      grid.setAttribute('aria-pressed', String(on));
    });
  }
  document.getElementById('b').hidden = false;
})();
