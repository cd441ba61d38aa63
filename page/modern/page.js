(() => {
  'use strict';
  const table = document.getElementById('t');
  // The page brings each date once, as "2024-08-15T11:22:33"; people read "15/8/24 11:22".
  const two = (number) => String(number).padStart(2, '0');
  for (const time of table.getElementsByTagName('time')) {
    if (time.textContent) continue; // a photo's date comes written
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
  const nameOf = (row) => row.cells[0].firstElementChild.textContent.trim();
  // The row at each place, in the order shown.
  let shown = Int32Array.from(rows, (row, i) => i);
  const hidden = new Uint8Array(count);
  let filtered = false;
  // Keys are read from the rows once, at load; sorting then only touches numbers.
  const names = rows.map(nameOf);
  const folded = names.map(fold);
  // The filter finds the tags too.
  if (heads.length > 3) {
    rows.forEach((row, i) => {
      folded[i] += `\n${fold(Array.from(row.cells).slice(3).map((cell) => cell.textContent).join('\n'))}`;
    });
  }
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
  // Columns of tags: numbers ("3", "1999", "3:07") where the header says so, else text in the
  // collator's order; rows without the tag come after the others.
  for (let column = keys.length; column < heads.length; column += 1) {
    keys.push(() => {
      const texts = rows.map((row) => row.cells[column]?.textContent ?? '');
      if (heads[column].dataset.k === 'n') {
        return Float64Array.from(texts, (text) => (text === '' ? Infinity
          : text.split(':').reduce((sum, part) => sum * 60 + Number(part), 0)));
      }
      const order = texts.map((text, i) => i).sort((a, b) => (texts[a] === '') - (texts[b] === '')
        || collator.compare(texts[a], texts[b]));
      const rank = new Float64Array(count);
      order.forEach((row, place) => {
        rank[row] = place > 0 && collator.compare(texts[row], texts[order[place - 1]]) === 0
          ? rank[order[place - 1]] : place;
      });
      return rank;
    });
  }
  // Names, dates and sizes keep their columns; tags first go up, as names do.
  const rising = (column) => column === 0 || column > 2;
  const ascending = [];
  // As the listing orders ties: by name, turned around only with the whole order; so each
  // column's descending order is its ascending one backwards, folders still first.
  const orderOf = (column, descending) => {
    let order = ascending[column];
    if (!order) {
      const key = keys[column]();
      const rank = byName();
      const tie = rising(column) ? 1 : -1;
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
      const first = rising(column) ? 'ascending' : 'descending';
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

  // One track plays at a time; when it ends, the next one in the table's order and filter does.
  const players = table.getElementsByTagName('audio');
  if (players.length) {
    table.addEventListener('play', (event) => {
      for (const player of players) if (player !== event.target) player.pause();
    }, true);
    table.addEventListener('ended', (event) => {
      const from = shown.indexOf(rows.indexOf(event.target.closest('tr')));
      for (let p = from + 1; p < count; p += 1) {
        const player = hidden[shown[p]] ? null : rows[shown[p]].querySelector('audio');
        if (player) {
          player.currentTime = 0;
          player.play().catch(() => {});
          return;
        }
      }
    }, true);
  }

  // The viewer: one picture over the page, going through the pictures in the table's order and
  // filter. Each has an address (#ver=FILE) to link to, and Back closes it.
  const linkOf = (i) => rows[i].cells[0].firstElementChild;
  const showable = /\.(?:jpe?g|png|gif|webp|avif|bmp|svg|ico)$/i;
  let pictures = null;
  const isPicture = (i) => {
    if (!pictures) {
      pictures = Uint8Array.from(rows, (row, r) => {
        const link = linkOf(r);
        return !folder[r] && (link.firstElementChild?.localName === 'img'
          || link.classList.contains('vd') || showable.test(link.getAttribute('href'))) ? 1 : 0;
      });
    }
    return pictures[i] === 1;
  };
  // The sharpest thumbnail there is, to show at once, or '' where the row shows the image itself.
  const quickOf = (i) => {
    const img = linkOf(i).firstElementChild;
    if (img?.localName !== 'img') return '';
    const sharper = (img.getAttribute('srcset') ?? '').split(', ').pop().split(' ')[0];
    const quick = new URL(sharper || img.getAttribute('src'), document.baseURI).href;
    return quick === linkOf(i).href ? '' : quick;
  };
  const addressOf = (i) => new URL(`#ver=${linkOf(i).getAttribute('href')}`, window.location.href).hash;
  const fromAddress = () => {
    const address = window.location.hash;
    if (!address.startsWith('#ver=')) return -1;
    for (let i = 0; i < count; i += 1) {
      if (isPicture(i) && `#ver=${linkOf(i).getAttribute('href')}` === address) return i;
    }
    for (let i = 0; i < count; i += 1) if (isPicture(i) && addressOf(i) === address) return i;
    return -1;
  };
  // Pictures fetched ahead: the neighbours of the one shown, kept while they may be wanted.
  const ahead = new Map();
  const fetchAhead = (url) => {
    let image = ahead.get(url);
    if (!image) {
      image = new Image();
      image.src = url;
      ahead.set(url, image);
      if (ahead.size > 12) ahead.delete(ahead.keys().next().value);
    }
    return image;
  };
  const make = (tag, properties, ...children) => {
    const element = Object.assign(document.createElement(tag), properties);
    element.append(...children);
    return element;
  };
  const isVideo = (i) => linkOf(i).classList.contains('vd');
  let viewer = null;
  let picture;
  let movie;
  let title;
  let when;
  let place;
  let back;
  let forth;
  let shut;
  let list = [];
  let at = 0;
  let opener = null;
  let leaving = false;
  let addressing = 0;
  const showAt = (wanted) => {
    at = Math.max(0, Math.min(list.length - 1, wanted));
    const i = list[at];
    const full = linkOf(i).href;
    const quick = quickOf(i);
    const video = isVideo(i);
    picture.hidden = video;
    movie.hidden = !video;
    if (video) {
      picture.removeAttribute('src');
      if (movie.getAttribute('src') !== full) {
        movie.poster = quick;
        movie.src = full;
      }
    } else if (movie.hasAttribute('src')) {
      movie.pause();
      movie.removeAttribute('src');
      movie.removeAttribute('poster');
      movie.load();
    }
    // A video shows its poster while it loads.
    const image = video ? null : fetchAhead(full);
    if (image && (!quick || (image.complete && image.naturalWidth > 0))) picture.src = full;
    else if (image) {
      picture.src = quick;
      image.addEventListener('load', () => {
        if (viewer.open && list[at] === i) picture.src = full;
      }, { once: true });
    }
    for (const near of [at + 1, at - 1]) {
      if (near >= 0 && near < list.length) {
        const nearQuick = quickOf(list[near]);
        if (nearQuick) fetchAhead(nearQuick);
        if (!isVideo(list[near])) fetchAhead(linkOf(list[near]).href);
      }
    }
    picture.alt = names[i];
    movie.setAttribute('aria-label', names[i]);
    title.textContent = names[i];
    when.textContent = rows[i].cells[0].querySelector('.tk')?.textContent ?? rows[i].cells[1].textContent;
    place.textContent = `${at + 1} / ${list.length}`;
    back.disabled = at === 0;
    forth.disabled = at === list.length - 1;
    if (!viewer.contains(document.activeElement) || document.activeElement.disabled) shut.focus();
    // Browsers throttle history calls: a held arrow key names only the picture it stops at.
    clearTimeout(addressing);
    addressing = setTimeout(() => {
      if (viewer.open && window.history.state?.viewer) window.history.replaceState(window.history.state, '', addressOf(i));
    }, 200);
  };
  const close = () => {
    if (!viewer.open || leaving) return;
    if (window.history.state?.viewer) {
      leaving = true;
      window.history.back();
    } else {
      window.history.replaceState(null, '', window.location.href.split('#')[0]);
      viewer.close();
    }
  };
  // A click on the picture as drawn keeps it; around it, the picture is scaled to fit.
  const onPicture = (event) => {
    const box = picture.getBoundingClientRect();
    const scale = Math.min(box.width / picture.naturalWidth, box.height / picture.naturalHeight);
    return Math.abs(event.clientX - box.left - box.width / 2) <= (picture.naturalWidth * scale) / 2
      && Math.abs(event.clientY - box.top - box.height / 2) <= (picture.naturalHeight * scale) / 2;
  };
  const build = () => {
    picture = make('img', { alt: '' });
    movie = make('video', { controls: true, preload: 'metadata', playsInline: true, hidden: true });
    title = make('h2', { id: 'vn' });
    when = make('span');
    place = make('span');
    back = make('button', { type: 'button', textContent: 'Anterior' });
    forth = make('button', { type: 'button', textContent: 'Siguiente' });
    shut = make('button', { type: 'button', textContent: 'Cerrar' });
    back.setAttribute('aria-keyshortcuts', 'ArrowLeft');
    forth.setAttribute('aria-keyshortcuts', 'ArrowRight');
    shut.setAttribute('aria-keyshortcuts', 'Escape');
    const caption = make('div', { className: 'vc' }, title, make('p', {}, when, ' · ', place));
    caption.setAttribute('aria-live', 'polite');
    const bar = make('div', { className: 'vb' }, caption, make('div', { className: 'vk' }, back, forth, shut));
    viewer = make('dialog', { className: 'v' }, make('div', { className: 'vf' }, picture, movie), bar);
    viewer.setAttribute('aria-modal', 'true');
    viewer.setAttribute('aria-labelledby', 'vn');
    document.body.append(viewer);
    back.addEventListener('click', () => showAt(at - 1));
    forth.addEventListener('click', () => showAt(at + 1));
    shut.addEventListener('click', close);
    viewer.addEventListener('click', (event) => {
      if (!bar.contains(event.target) && event.target !== movie
        && !(event.target === picture && onPicture(event))) close();
    });
    viewer.addEventListener('keydown', (event) => {
      if (event.altKey || event.ctrlKey || event.metaKey) return;
      const step = { ArrowLeft: at - 1, ArrowRight: at + 1, Home: 0, End: list.length - 1 }[event.key];
      if (step !== undefined) {
        event.preventDefault();
        showAt(step);
      } else if (event.key === 'Escape') {
        event.preventDefault();
        close();
      } else if (event.key === 'Tab') {
        // Focus goes round the dialog's buttons, never out to the page under it.
        const stops = [back, forth, shut].filter((button) => !button.disabled);
        const now = stops.indexOf(document.activeElement);
        if (now < 0 || now === (event.shiftKey ? 0 : stops.length - 1)) {
          event.preventDefault();
          stops.at(event.shiftKey ? -1 : 0).focus();
        }
      }
    });
    viewer.addEventListener('cancel', (event) => {
      event.preventDefault();
      close();
    });
    // However it was closed, the address and the focus go back to where they were.
    viewer.addEventListener('close', () => {
      // The event comes a task late: a viewer opened again since (Back, then Forward at once)
      // is not the one that closed.
      if (viewer.open) return;
      clearTimeout(addressing);
      picture.removeAttribute('src');
      movie.pause();
      movie.removeAttribute('src');
      movie.load();
      if (window.history.state?.viewer && !leaving) {
        leaving = true;
        window.history.back();
      }
      opener?.focus();
    });
    let touch = null;
    viewer.addEventListener('touchstart', (event) => {
      touch = event.touches.length === 1 ? [event.touches[0].clientX, event.touches[0].clientY] : null;
    }, { passive: true });
    viewer.addEventListener('touchend', (event) => {
      if (!touch) return;
      const dx = event.changedTouches[0].clientX - touch[0];
      const dy = event.changedTouches[0].clientY - touch[1];
      touch = null;
      if (Math.abs(dx) > 40 && Math.abs(dx) > 2 * Math.abs(dy)) showAt(at + (dx < 0 ? 1 : -1));
    }, { passive: true });
  };
  const open = (i, from) => {
    if (!viewer) build();
    list = [];
    for (let p = 0; p < count; p += 1) if (!hidden[shown[p]] && isPicture(shown[p])) list.push(shown[p]);
    // A linked picture the filter leaves out is shown among all of them.
    if (!list.includes(i)) list = Array.from(shown).filter((r) => isPicture(r));
    opener = from;
    leaving = false;
    if (!viewer.open) viewer.showModal();
    showAt(list.indexOf(i));
  };
  table.addEventListener('click', (event) => {
    const link = event.target.closest('a');
    if (!link || event.button !== 0 || event.ctrlKey || event.metaKey || event.shiftKey || event.altKey) return;
    const i = rows.indexOf(link.closest('tr'));
    if (i < 0 || !isPicture(i)) return;
    event.preventDefault();
    window.history.pushState({ viewer: true }, '', addressOf(i));
    open(i, link);
  });
  window.addEventListener('popstate', () => {
    leaving = false;
    const i = fromAddress();
    if (i >= 0) open(i, viewer?.open ? opener : linkOf(i));
    else if (viewer?.open) viewer.close();
  });
  // A linked viewer opens over the page, with the page itself one step back.
  const linked = fromAddress();
  if (linked >= 0) {
    const address = window.location.hash;
    window.history.replaceState(null, '', window.location.href.split('#')[0]);
    window.history.pushState({ viewer: true }, '', address);
    open(linked, linkOf(linked));
  }
})();
