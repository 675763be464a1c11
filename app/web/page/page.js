// The page: takes archives picked or dropped, hands each to the worker and
// shows its progress and outcome as the window does.
'use strict';
(function () {
  const Refused = 'Slideshow damaged or made not in NVX 8.0';  // Deliberate spelling: the window's text
  const list = document.getElementById('files');
  const status = document.getElementById('status');
  const announce = document.getElementById('announce');
  const rows = new Map();
  let nextId = 1, worker = null, broken = false;
  // The fixes since the list last had none running: "Fixing Show.zip (2 of 3)...".
  let batchTotal = 0, batchDone = 0;
  let handedOn = Promise.resolve();

  // The page's own explanations beside the window's texts, saying what to do.
  const notZip = (name) => '"' + name + '" is not a ZIP archive. Drop the Show.zip you were sent; on a Mac, ' +
    'select Show.app in the Finder and choose File > Compress to make one.';
  const empty = (name) => '"' + name + '" is empty (0 bytes): it did not arrive whole. Download it again, ' +
    'or ask the sender for a new copy.';
  const damaged = 'The archive is cut off or damaged. Download it again, or ask the sender for a new copy ' +
    '(made in the Finder with File > Compress).';

  function startWorker() {
    // The single-file page carries the worker's script; a page on a host
    // loads it beside itself.
    const inline = document.getElementById('worker-source');
    const url = inline ? URL.createObjectURL(new Blob([inline.textContent], { type: 'text/javascript' }))
      : 'nvxfix-worker.js';
    try {
      worker = new Worker(url);
    } catch (e) {
      return workerFailed();
    }
    worker.onerror = workerFailed;
    worker.onmessage = (event) => {
      const m = event.data;
      if (m.type === 'ready') {
        document.getElementById('placeholder-banner').hidden = !m.placeholder;
        document.body.dataset.ready = 'true';
        showStatus();
      } else if (m.type === 'progress') {
        const row = rows.get(m.id);
        if (row) showProgress(row, m.text, m.done, m.total);
      } else if (m.type === 'need-bytes') {
        // The engine lets the worker read no file (WebKit on a page opened
        // from the disk): the page reads it whole and hands the bytes over.
        const row = rows.get(m.id);
        row.file.arrayBuffer().then(
          (bytes) => worker.postMessage({ id: m.id, file: row.file, bytes }, [bytes]),
          (e) => showOutcome(row, 'error', 'Cannot read "' + row.name + '": ' + e.message));
      } else if (m.type === 'end') {
        const row = rows.get(m.id);
        if (row) showOutcome(row, m.kind, m.text, m.blob, m.kind === 'error' &&
          /is damaged|is truncated|central directory is missing/.test(m.text) ? damaged : '');
        if (m.fatal) workerFailed();
      }
    };
  }

  function workerFailed() {
    broken = true;
    status.textContent = location.protocol === 'file:'
      ? 'The fixer cannot start from a page opened from the disk: open nvxfix.html (the single-file page) instead.'
      : 'The fixer could not start in this browser. Reload the page to try again.';
    status.className = 'error';
    for (const row of rows.values()) if (row.li.dataset.state === 'working') showOutcome(row, 'error', status.textContent);
  }

  function showStatus() {
    if (broken || !document.body.dataset.ready) return;
    const working = [...rows.values()].filter((row) => row.li.dataset.state === 'working');
    if (!working.length) batchTotal = batchDone = 0;
    status.textContent = working.length ? 'Fixing ' + working[0].name + ' (' + (batchDone + 1) + ' of ' +
      batchTotal + ')...' : 'Ready.';
  }

  function describeSize(bytes) {
    if (bytes < 1024) return bytes + ' bytes';
    const [amount, unit] = bytes < 1048576 ? [bytes / 1024, 'KB'] : [bytes / 1048576, 'MB'];
    return amount.toFixed(amount < 10 ? 1 : 0) + ' ' + unit;
  }

  // A row names the file, its size and when it was picked, so that rows of
  // one name are told apart; it comes into view as it is added.
  function addRow(name, size) {
    const li = document.createElement('li');
    li.innerHTML = '<button type="button" class="dismiss" hidden>\u00d7</button><div class="name"></div>' +
      '<div class="meta"></div><div class="text"></div><progress max="1" value="0"></progress>';
    li.querySelector('.name').textContent = name;
    li.querySelector('.meta').textContent = (size === undefined ? '' : describeSize(size) + ', ') + 'picked at ' +
      new Date().toLocaleTimeString();
    const row = { li, name, text: li.querySelector('.text'), bar: li.querySelector('progress') };
    const dismiss = li.querySelector('.dismiss');
    dismiss.setAttribute('aria-label', 'Dismiss ' + name);
    row.bar.setAttribute('aria-label', 'Progress of ' + name);
    dismiss.addEventListener('click', () => dismissRow(row));
    list.appendChild(li);
    li.scrollIntoView({ block: 'nearest' });
    return row;
  }

  const sameFile = (a, b) => a.name === b.name && a.size === b.size && a.lastModified === b.lastModified;

  // A dismissed row gives back the fixed archive it held.
  function dismissRow(row) {
    if (row.url) URL.revokeObjectURL(row.url);
    if (row.id) rows.delete(row.id);
    row.li.remove();
  }

  function showProgress(row, text, done, total) {
    row.text.textContent = text;
    // Without a total the stage runs on and the bar waits.
    if (total > 0) row.bar.value = Math.min(done / total, 1);
    else row.bar.removeAttribute('value');
  }

  function showOutcome(row, kind, text, blob, advice) {
    row.bar.remove();
    if (row.li.dataset.state === 'working') batchDone++;
    row.li.dataset.state = kind;
    // How long the fix took, for the benchmark.
    if (row.started) row.li.dataset.ms = Math.round(performance.now() - row.started);
    row.text.className = 'text ' + kind;
    row.text.textContent = text;
    row.li.querySelector('.dismiss').hidden = false;
    if (advice) {
      const p = document.createElement('p');
      p.className = 'advice';
      p.textContent = advice;
      row.li.appendChild(p);
    }
    announce.textContent = row.name + ': ' + text.split('\n')[0] + (advice ? ' ' + advice : '');
    showStatus();
    if (blob) {
      // A file fixed again: the older result is given back.
      for (const older of rows.values())
        if (older !== row && older.url && sameFile(older.file, row.file)) {
          URL.revokeObjectURL(older.url);
          older.url = null;
          older.li.querySelector('a').replaceWith('(fixed again below)');
        }
      const link = document.createElement('a');
      row.url = link.href = URL.createObjectURL(blob);
      link.download = row.name;
      link.textContent = 'Download ' + row.name;
      row.li.appendChild(link);
      // The Mac blocks the first start of what was downloaded: say how past it.
      const fixed = /\(fixed ([^;)]+)/.exec(text);
      const bundle = fixed ? fixed[1] : row.name.replace(/\.zip$/i, '.app');
      const steps = document.getElementById('mac-steps').content.cloneNode(true);
      for (const code of steps.querySelectorAll('code')) {
        if (code.textContent === 'Show.zip') code.textContent = row.name;
        else if (code.textContent === 'Show.app') code.textContent = bundle;
      }
      row.li.appendChild(steps);
    }
  }

  function fixFile(file) {
    const row = addRow(file.name, file.size);
    row.file = file;
    if (file.size === 0) return showOutcome(row, 'refused', Refused, null, empty(file.name));
    if (!/\.zip$/i.test(file.name)) return showOutcome(row, 'refused', Refused, null, notZip(file.name));
    if (broken) return showOutcome(row, 'error', status.textContent);
    const id = nextId++;
    row.id = id;
    rows.set(id, row);
    row.li.dataset.state = 'working';
    row.started = performance.now();
    batchTotal++;
    showProgress(row, 'Waiting...', 0, 0);
    showStatus();
    // A ZIP archive starts with "PK"; a file that does not is something
    // else. Handed on in the order picked, as the status line counts them.
    handedOn = handedOn.then(() => file.slice(0, 2).arrayBuffer()).then((head) => {
      const bytes = new Uint8Array(head);
      if (bytes[0] === 0x50 && bytes[1] === 0x4B) worker.postMessage({ id, file });
      else showOutcome(row, 'refused', Refused, null, notZip(file.name));
    }, () => worker.postMessage({ id, file }));
  }

  // Browsers give no file modes or links: a bundle read from a folder
  // would not start on a Mac.
  function refuseFolder(name) {
    const row = addRow(name);
    showOutcome(row, 'folder', '"' + name + '" is a folder. A folder cannot be fixed in the browser: ' +
      'compress it first (in the Finder: File > Compress), then drop the ZIP archive here.');
  }

  async function isFolder(item, file) {
    const entry = item && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
    if (entry) return entry.isDirectory;
    // Without entries, a folder is a file that cannot be read.
    try {
      await file.slice(0, 1).arrayBuffer();
      return false;
    } catch (e) {
      return true;
    }
  }

  const drop = document.getElementById('drop');
  drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  // Dropped beside the drop area, a file would open in the tab instead.
  window.addEventListener('dragover', (e) => e.preventDefault());
  window.addEventListener('drop', async (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    const items = e.dataTransfer.items ? Array.from(e.dataTransfer.items) : [];
    const files = Array.from(e.dataTransfer.files);
    const folders = await Promise.all(files.map((file, i) => isFolder(items[i], file)));
    files.forEach((file, i) => (folders[i] ? refuseFolder(file.name) : fixFile(file)));
  });
  const pick = document.getElementById('pick');
  pick.addEventListener('change', () => {
    Array.from(pick.files).forEach(fixFile);
    pick.value = '';
  });

  startWorker();
})();
