// The recorder's pages: one script, the page named by <body data-page>.
'use strict';

(function () {
  const page = document.body.dataset.page;
  const $ = (id) => document.getElementById(id);

  // The events of the recorder; EventSource reconnects by itself (the server asks for 2 s).
  function subscribe(handlers) {
    const state = $('link-state');
    const source = new EventSource('/api/events');
    source.onopen = () => { if (state) state.textContent = ''; };
    source.onerror = () => { if (state) state.textContent = 'Нет связи с регистратором, переподключение…'; };
    for (const [name, handle] of Object.entries(handlers))
      source.addEventListener(name, (e) => {
        try { handle(e.data); } catch (err) { console.error(err); }
      });
    return source;
  }

  async function getJson(url) {
    const r = await fetch(url, { cache: 'no-store' });
    if (!r.ok) throw new Error(r.status + ' ' + url);
    return r.json();
  }

  const levels = ['off', 'good', 'normal', 'amber', 'red'];
  const levelOf = (l) => (levels.includes(l) ? l : 'normal');

  // ---- the live page
  function livePage() {
    const lamp = $('lamp'), cells = $('cells'), stored = $('frames-stored');
    function showHealth(h) {
      lamp.textContent = h.lamp;
      lamp.className = levelOf(h.lamp_level);
      while (cells.children.length > h.cells.length) cells.lastChild.remove();
      h.cells.forEach((c, i) => {
        let cell = cells.children[i];
        if (!cell) {
          cell = document.createElement('div');
          const label = document.createElement('span');
          label.className = 'label';
          const value = document.createElement('span');
          value.className = 'value';
          cell.append(label, value);
          cells.append(cell);
        }
        cell.className = 'cell ' + levelOf(c.level);
        cell.title = c.tip || '';
        cell.querySelector('.label').textContent = c.label;
        cell.querySelector('.value').textContent = c.value;
      });
      stored.textContent = String(h.frames_stored);
    }
    getJson('/api/health').then(showHealth).catch(() => {});

    // The picture: a new one is asked for when the recorder announces it (at most four a
    // second), and every 2 s besides (which also tells the recorder that a page is watching).
    // While one loads, the last one stays on screen.
    const img = $('live'), note = $('live-note');
    let loading = false, wanted = false, fallback = null, asked = 0;
    function load() {
      if (loading) { wanted = true; return; }
      loading = true;
      wanted = false;
      clearTimeout(fallback);
      img.src = '/live.jpg?n=' + (++asked);
    }
    function loaded(ok) {
      loading = false;
      if (ok) {
        img.classList.add('ready');
        note.textContent = 'Обновлено ' + new Date().toLocaleTimeString('ru-RU');
      } else if (!img.classList.contains('ready')) {
        note.textContent = 'Живого кадра нет (камера не запущена?)';
      }
      if (wanted) load();
      // The first ask only wakes the recorder's encoder: the picture follows shortly.
      else fallback = setTimeout(load, img.classList.contains('ready') ? 2000 : 500);
    }
    img.addEventListener('load', () => loaded(true));
    img.addEventListener('error', () => loaded(false));
    subscribe({
      health: (data) => showHealth(JSON.parse(data)),
      live: () => { if (!document.hidden) load(); },
    });
    load();
  }

  // ---- the list page
  const noCount = 4294967295;
  function odometer(n) { return n === noCount ? '-' : String(n); }
  // As the window's list writes sizes: 1024-based, one decimal with a comma.
  function sizeText(bytes) {
    if (!bytes) return '—';
    if (bytes < 1024) return bytes + ' Б';
    const units = ['КБ', 'МБ', 'ГБ', 'ТБ'];
    let v = bytes / 1024, u = 0;
    while (v >= 1024 && u + 1 < units.length) { v /= 1024; ++u; }
    return v.toFixed(1).replace('.', ',') + ' ' + units[u];
  }
  const recordingUrl = (folder) => '/recordings/' + encodeURIComponent(folder);

  function recordingsPage() {
    const body = document.querySelector('#recordings tbody'), empty = $('empty');
    function show(list) {
      const rows = list.map((r) => {
        const tr = document.createElement('tr');
        tr.dataset.folder = r.folder;
        const link = document.createElement('a');
        link.href = recordingUrl(r.folder);
        link.className = 'folder';
        link.title = r.folder;
        link.textContent = r.session || r.folder;
        const first = document.createElement('td');
        first.append(link);
        tr.append(first);
        const texts = [r.side, r.start, r.end, odometer(r.first_count), odometer(r.last_count), sizeText(r.size), String(r.frames)];
        texts.forEach((t, i) => {
          const td = document.createElement('td');
          td.textContent = t;
          if (i >= 3) td.className = 'number';
          tr.append(td);
        });
        return tr;
      });
      body.replaceChildren(...rows);
      empty.hidden = list.length > 0;
    }
    getJson('/api/recordings').then(show).catch(() => {});
    subscribe({ recordings: (data) => show(JSON.parse(data)) });
  }

  // ---- a recording's page
  // The viewer's ruler (viewer/ruler_geometry.cpp): k = scale * zoom screen pixels per mm; a
  // 100 mm scale up from the point, ticks every 1 mm (above zoom 2), 5 and 10 mm, labels
  // thinned so they never overlap, and a 75 mm bar to the left below the point.
  function drawRuler(ctx, scale, zoom, x, y, labelHeight) {
    const k = scale * zoom, t = (v) => Math.trunc(v);
    const line = (x1, y1, x2, y2) => { ctx.moveTo(x1 + 0.5, y1 + 0.5); ctx.lineTo(x2 + 0.5, y2 + 0.5); };
    ctx.beginPath();
    line(x, y, x, t(y - 100 * k));
    let every = 0;
    for (const step of [10, 20, 50, 100]) if (step * k >= labelHeight + 1) { every = step; break; }
    let top = y - 10;
    const labels = [];
    for (let i = 0; i <= 100; ++i) {
      const yi = t(y - i * k);
      if (i % 10 === 0) {
        line(x - 30, yi, x, yi);
        if (i === 0 || (every && i % every === 0)) {
          top = t(y - i * k - 10);
          labels.push([String(i), x + 5, top]);
        }
      } else if (i % 5 === 0) {
        line(x - 10, yi, x, yi);
      } else if (zoom > 2) {
        line(x - 5, yi, x, yi);
      }
    }
    labels.push(['мм', x + 5, Math.min(t(y - 110 * k - 10), top - labelHeight)]);
    const left = t(x - 75 * k);
    line(x, y + 20, x, y + 40);
    line(left, y + 20, left, y + 40);
    line(x, y + 40, left, y + 40);
    labels.push(['75 мм', t(x - 55 * k), y + 20]);
    ctx.stroke();
    for (const [text, lx, ly] of labels) ctx.fillText(text, lx, ly);
  }

  function recordingPage() {
    const segment = location.pathname.split('/')[2] || '';
    let folder = segment;
    try { folder = decodeURIComponent(segment); } catch (err) { /* shown as given */ }
    $('title').textContent = folder;
    document.title = folder + ' — Подвагонные камеры';
    const img = $('frame'), caption = $('caption'), jump = $('jump'), download = $('download');
    const stage = $('stage'), ruler = $('ruler'), fit = $('fit'), actual = $('actual');
    let counts = [], index = 0, scale = 0, showScale = false, pointer = null;

    const frameUrl = (count) => '/recordings/' + segment + '/frames/' + count + '.jpg';
    function show(i) {
      if (!counts.length) return;
      index = Math.max(0, Math.min(counts.length - 1, i));
      const count = counts[index];
      img.dataset.count = String(count);
      img.src = frameUrl(count);
      caption.textContent = 'кадр ' + (index + 1) + ' из ' + counts.length;
      download.href = frameUrl(count);
      download.setAttribute('download', folder + '_' + count + '.jpg');
      history.replaceState(null, '', '#' + count);
      // The neighbours load while this one is looked at.
      for (const n of [index + 1, index - 1]) if (n >= 0 && n < counts.length) new Image().src = frameUrl(counts[n]);
    }
    // The stored count nearest to the one asked for.
    function nearest(wanted) {
      let lo = 0, hi = counts.length - 1;
      while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (counts[mid] < wanted) lo = mid + 1; else hi = mid;
      }
      if (lo > 0 && Math.abs(counts[lo - 1] - wanted) <= Math.abs(counts[lo] - wanted)) return lo - 1;
      return lo;
    }
    function paintRuler() {
      const w = img.clientWidth, h = img.clientHeight;
      ruler.width = w;
      ruler.height = h;
      const ctx = ruler.getContext('2d');
      ctx.clearRect(0, 0, w, h);
      if (!showScale || !(scale > 0) || !img.naturalWidth || !w) return;
      const zoom = w / img.naturalWidth;
      ctx.strokeStyle = 'red';
      ctx.fillStyle = 'red';
      ctx.lineWidth = 1;
      ctx.font = '12px sans-serif';
      ctx.textBaseline = 'top';
      // Away from the pointer: bottom left, with room for the 75 mm bar.
      const at = pointer || { x: Math.max(40, Math.min(w - 40, 75 * scale * zoom + 20)), y: Math.max(0, h - 60) };
      drawRuler(ctx, scale, zoom, Math.trunc(at.x), Math.trunc(at.y), 14);
    }
    // Fit: the whole frame in the window, enlarged or reduced; 1:1: one image pixel per
    // screen pixel, scrolled.
    let fitted = true;
    function layout() {
      if (!img.naturalWidth) return;
      let zoom = 1;
      if (fitted) {
        const top = stage.getBoundingClientRect().top;
        const width = document.documentElement.clientWidth - 32;
        const height = window.innerHeight - top - 64;
        zoom = Math.max(0.05, Math.min(width / img.naturalWidth, height / img.naturalHeight));
      }
      img.style.width = Math.round(img.naturalWidth * zoom) + 'px';
      img.style.height = Math.round(img.naturalHeight * zoom) + 'px';
      paintRuler();
    }
    function setFit(on) {
      fitted = on;
      stage.classList.toggle('fit', on);
      fit.classList.toggle('on', on);
      actual.classList.toggle('on', !on);
      layout();
    }
    img.addEventListener('load', layout);
    window.addEventListener('resize', layout);
    $('holder').addEventListener('mousemove', (e) => {
      const r = img.getBoundingClientRect();
      pointer = { x: e.clientX - r.left, y: e.clientY - r.top };
      paintRuler();
    });
    fit.addEventListener('click', () => setFit(true));
    actual.addEventListener('click', () => setFit(false));
    jump.addEventListener('keydown', (e) => {
      if (e.key !== 'Enter') return;
      e.preventDefault();
      const wanted = Number.parseInt(jump.value.trim(), 10);
      if (Number.isFinite(wanted) && counts.length) show(nearest(wanted));
    });
    document.addEventListener('keydown', (e) => {
      if (e.target === jump || !counts.length) return;
      const step = e.shiftKey ? 10 : 1;
      let next = null;
      if (e.key === 'ArrowRight') next = index + step;
      else if (e.key === 'ArrowLeft') next = index - step;
      else if (e.key === 'Home') next = 0;
      else if (e.key === 'End') next = counts.length - 1;
      if (next === null) return;
      e.preventDefault();
      show(next);
    });
    getJson('/api/recordings/' + segment + '/frames').then((r) => {
      counts = r.counts;
      scale = r.scale;
      showScale = r.show_scale;
      if (!counts.length) {
        caption.textContent = 'кадр 0 из 0';
        return;
      }
      const fromHash = Number.parseInt(location.hash.slice(1), 10);
      show(Number.isFinite(fromHash) ? nearest(fromHash) : 0);
    }).catch(() => { caption.textContent = 'Запись не читается'; });
  }

  if (page === 'live') livePage();
  else if (page === 'recordings') recordingsPage();
  else if (page === 'recording') recordingPage();
})();
