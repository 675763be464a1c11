// The page: takes archives picked or dropped, hands each to the worker and
// shows its progress and outcome as the window does.
'use strict';
(function () {
  const Refused = 'Slideshow damaged or made not in NVX 8.0';  // Deliberate spelling: the window's text
  const list = document.getElementById('files');
  const status = document.getElementById('status');
  const rows = new Map();
  let nextId = 1, worker = null, broken = false;

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
        status.textContent = 'Ready.';
        document.body.dataset.ready = 'true';
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
        if (row) showOutcome(row, m.kind, m.text, m.blob);
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

  function addRow(name) {
    const li = document.createElement('li');
    li.innerHTML = '<div class="name"></div><div class="text"></div><progress max="1" value="0"></progress>';
    li.querySelector('.name').textContent = name;
    list.appendChild(li);
    return { li, text: li.querySelector('.text'), bar: li.querySelector('progress') };
  }

  function showProgress(row, text, done, total) {
    row.text.textContent = text;
    // Without a total the stage runs on and the bar waits.
    if (total > 0) row.bar.value = Math.min(done / total, 1);
    else row.bar.removeAttribute('value');
  }

  function showOutcome(row, kind, text, blob) {
    row.bar.remove();
    row.li.dataset.state = kind;
    // How long the fix took, for the benchmark.
    if (row.started) row.li.dataset.ms = Math.round(performance.now() - row.started);
    row.text.className = 'text ' + kind;
    row.text.textContent = text;
    if (blob) {
      const link = document.createElement('a');
      link.href = URL.createObjectURL(blob);
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
    const row = addRow(file.name);
    row.name = file.name;
    row.file = file;
    if (!/\.zip$/i.test(file.name)) return showOutcome(row, 'refused', Refused);
    if (broken) return showOutcome(row, 'error', status.textContent);
    const id = nextId++;
    rows.set(id, row);
    row.li.dataset.state = 'working';
    row.started = performance.now();
    showProgress(row, 'Waiting...', 0, 0);
    worker.postMessage({ id, file });
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
