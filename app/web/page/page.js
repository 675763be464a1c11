// The page: takes archives picked or dropped, hands each to the worker and
// shows its progress and outcome as the window does.
'use strict';
(function () {
  const list = document.getElementById('files');
  const status = document.getElementById('status');
  const announce = document.getElementById('announce');
  const rows = new Map();
  let nextId = 1, worker = null, broken = false;
  // The fixes since the list last had none running: "Fixing Show.zip (2 of 3)...".
  let batchTotal = 0, batchDone = 0;
  let handedOn = Promise.resolve();
  // The worker is given one fix at a time; one whose heap grew (a heap
  // never shrinks) is replaced once its fix ended.
  const queue = [];
  let fixing = null, workerReady = false, workerUrl = null;
  const MB = 1048576;
  // Test hooks: a lower memory limit, a shorter hold of a taken download.
  const hooks = new URLSearchParams(location.search);
  // What a tab can safely hold for a fix: a quarter of the memory the
  // browser says the machine has (Chromium says, rounded down), at most
  // 1.5 GB, which is also what engines that say nothing get.
  const safeBytes = hooks.has('memory-limit-mb') ? Number(hooks.get('memory-limit-mb')) * MB
    : Math.min(1536 * MB, (navigator.deviceMemory || 8) * 1024 * MB / 4);
  // A taken download is given back this long after its click: by then the
  // browser reads it from its own copy.
  const keepTakenMs = hooks.has('keep-download-ms') ? Number(hooks.get('keep-download-ms')) : 60000;
  // A worker whose core runs but that has not said it is ready this long
  // after is made anew, twice at most: Firefox now and then never ends
  // making a worker inside a worker (the one that reads files ahead).
  const readyWithinMs = hooks.has('ready-within-ms') ? Number(hooks.get('ready-within-ms')) : 10000;
  let starts = 0, stalled = null;
  // The page reads a file for the worker in pieces of a whole number of the
  // worker's own reads of a file (8 MB), which it gives back when the fix ends.
  const PieceBytes = 8 * MB;

  // The page's own explanations beside the window's texts, saying what to do;
  // where the page itself refuses, a headline that says the same.
  const notZip = (name) => '"' + name + '" is not a ZIP archive. Drop the Show.zip you were sent; on a Mac, ' +
    'select Show.app in the Finder and choose File > Compress to make one.';
  const empty = (name) => '"' + name + '" is empty (0 bytes): it did not arrive whole. Download it again, ' +
    'or ask the sender for a new copy.';
  // Chromium, Firefox and Safari keep a download under these names until it is whole.
  const unfinishedName = /\.(crdownload|part|download)$/i;
  const unfinished = (name) => '"' + name + '" is a download that has not finished. Wait until the browser has ' +
    'finished it, then drop ' + name.replace(unfinishedName, '') + '; if the download stopped, start it again.';
  const damaged = 'The archive is cut off or damaged. Download it again, or ask the sender for a new copy.';
  const noShow = 'This archive holds no NVX 8.0 show (a folder ending in .app with ' +
    'Contents/Resources/slideshow.dat in it). Drop the archive the show came in; if it is that one, ask the ' +
    'sender for a new export.';
  const cannotStart = 'The archive was fixed, but the show cannot start on a current Mac for the reason above. ' +
    'Ask the sender for a new export of the show made with NVX 8.0.22.';
  // The fixed archive is saved beside the picked one under a name of its
  // own: a browser would make the same name "Show (1).zip", and the steps
  // would name the broken one.
  const fixedName = (name) => name.replace(/\.zip$/i, '') + '-fixed.zip';

  function startWorker() {
    // The single-file page carries the worker's script; a page on a host
    // loads it beside itself.
    const inline = document.getElementById('worker-source');
    workerUrl = workerUrl || (inline ? URL.createObjectURL(new Blob([inline.textContent], { type: 'text/javascript' }))
      : 'nvxfix-worker.js');
    workerReady = false;
    try {
      worker = new Worker(workerUrl);
    } catch (e) {
      return workerFailed();
    }
    worker.onerror = workerFailed;
    if (++starts === 1 && hooks.has('stall-first-start')) worker.postMessage({ stall: true });
    worker.onmessage = (event) => {
      const m = event.data;
      if (m.type === 'started') {
        stalled = setTimeout(() => {
          worker.onmessage = worker.onerror = null;
          worker.terminate();
          starts < 3 ? startWorker() : workerFailed();
        }, readyWithinMs);
      } else if (m.type === 'ready') {
        clearTimeout(stalled);
        starts = 0;
        document.getElementById('placeholder-banner').hidden = !m.placeholder;
        document.body.dataset.ready = 'true';
        workerReady = true;
        showStatus();
        fixNext();
      } else if (m.type === 'progress') {
        const row = rows.get(m.id);
        if (row) showProgress(row, m.text, m.done, m.total);
      } else if (m.type === 'need-bytes') {
        // The engine lets the worker read no file (WebKit on a page opened
        // from the disk): the page reads it and hands the pieces over. The
        // worker then holds the whole file, not only the part the fix
        // changes. The worker has done nothing yet and stays.
        fixing = null;
        const row = rows.get(m.id);
        if (row) {
          row.readHere = true;
          handOn(m.id, row.file, true, true);
        }
        fixNext();
      } else if (m.type === 'end' && m.kind === 'large') {
        // The core measured the fix before it began: more than the tab can
        // safely hold, it waits for the user's word.
        fixing = null;
        const row = rows.get(m.id);
        if (row) whenSafe(row, m.needs, () => handOn(m.id, row.file, row.readHere, true));
        fixNext();
      } else if (m.type === 'end') {
        fixing = null;
        const row = rows.get(m.id);
        if (row) {
          if (m.held) row.li.dataset.held = m.held.copies + ' copies, ' + m.held.bytes + ' bytes';
          // For the tests: the bytes of the result that are not slices of the picked file.
          const made = (p) => (p instanceof Blob ? p.size : p.byteLength || 0);
          if (m.parts) row.li.dataset.made = m.parts.reduce((n, p) => n + made(p), 0);
          const began = performance.now();
          const blob = m.parts && new Blob(m.parts.map((p) => p instanceof Blob || ArrayBuffer.isView(p) ? p
            : row.file.slice(p.start, p.end)), { type: 'application/zip' });
          // Where the time went, for the benchmark: before the worker had
          // the file, in it (its stages, and reads of the file), the download.
          if (m.stages) row.li.dataset.phases = JSON.stringify({ waiting: Math.round(row.handed - row.started),
            worker: m.took, stages: m.stages, reading: m.reading, download: Math.round(performance.now() - began) });
          // Damage is shown as any failure, several shows as any refusal,
          // each with advice of its own.
          const shown = { damaged: 'error', several: 'refused' }[m.kind] || m.kind;
          showOutcome(row, shown, m.text, blob, adviceFor(m.kind), m.commands);
        }
        if (m.fatal) return workerFailed();
        if (!m.grown) return fixNext();
        // A host serves the worker's files again; the single file carries them.
        worker.onmessage = worker.onerror = null;
        worker.terminate();
        startWorker();
      }
    };
  }

  // readHere: the worker asked for the file's pieces; first: it goes before
  // those waiting, as it was its turn.
  function handOn(id, file, readHere = false, first = false) {
    queue[first ? 'unshift' : 'push']({ id, file, readHere });
    fixNext();
  }

  async function fixNext() {
    if (fixing || !workerReady || broken || !queue.length) return;
    const job = (fixing = queue.shift());
    const row = rows.get(job.id);
    const pieces = [];
    if (job.readHere) {
      try {
        for (let at = 0; at < job.file.size; at += PieceBytes)
          pieces.push(await job.file.slice(at, at + PieceBytes).arrayBuffer());
      } catch (e) {
        fixing = null;
        if (row) showOutcome(row, 'error', 'Cannot read "' + row.name + '": ' + e.message);
        return fixNext();
      }
    }
    if (row) row.handed = performance.now();
    // Unless the user said to go on, the worker fixes only what the tab can safely hold.
    const limit = row && row.confirmed ? undefined : safeBytes;
    worker.postMessage({ id: job.id, file: job.file, pieces: job.readHere ? pieces : undefined, limit }, pieces);
  }

  function workerFailed() {
    clearTimeout(stalled);
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

  // A row gives back the fixed archive it held; its link becomes note.
  function giveBack(row, note) {
    clearTimeout(row.taken);
    if (!row.url) return;
    URL.revokeObjectURL(row.url);
    row.url = null;
    row.li.querySelector('a[download]').replaceWith(note);
  }

  function dismissRow(row) {
    giveBack(row, '');
    if (row.id) rows.delete(row.id);
    row.li.remove();
    const left = [...list.children].filter((li) => li.rowSteps);
    steps.hidden = !left.length;
    steps.querySelector('.several').hidden = left.length < 2;
  }

  const taken = 'Downloaded. To download it once more, fix the file again.';

  // Before a fix that needs more memory than the tab can safely hold, the
  // row says so and offers the fix all the same.
  function whenSafe(row, needs, go) {
    if (needs <= safeBytes || row.confirmed) return go();
    if (row.li.dataset.state === 'large') return;
    if (row.li.dataset.state === 'working') batchDone++;
    row.li.dataset.state = 'large';
    row.bar.hidden = true;
    row.text.className = 'text large';
    row.text.textContent = 'Fixing this archive here needs about ' + describeSize(needs) + ' of memory, more than ' +
      'this browser can safely hold (about ' + describeSize(safeBytes) + '): the tab may stop. The programs fix ' +
      'it without that limit: NvxFix.exe on Windows, nvxfix-cli on macOS and Linux.';
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'proceed';
    button.textContent = 'Fix it here anyway';
    button.addEventListener('click', () => {
      button.remove();
      row.confirmed = true;
      row.bar.hidden = false;
      row.text.className = 'text';
      row.li.dataset.state = 'working';
      batchTotal++;
      showProgress(row, 'Waiting...', 0, 0);
      showStatus();
      go();
    });
    row.text.after(button);
    row.li.querySelector('.dismiss').hidden = false;
    showStatus();
  }

  function showProgress(row, text, done, total) {
    row.text.textContent = text;
    // Without a total the stage runs on and the bar waits.
    if (total > 0) row.bar.value = Math.min(done / total, 1);
    else row.bar.removeAttribute('value');
  }

  // What to do after the core's outcome, by the kind it gives.
  function adviceFor(kind) {
    if (kind === 'warning') return cannotStart;
    if (kind === 'refused') return noShow;
    if (kind === 'damaged') return damaged;
    return '';
  }

  function showOutcome(row, kind, text, blob, advice, commands) {
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
        if (older !== row && sameFile(older.file, row.file)) giveBack(older, '(fixed again below)');
      const link = document.createElement('a');
      row.url = link.href = URL.createObjectURL(blob);
      link.download = fixedName(row.name);
      link.textContent = 'Download ' + link.download;
      // Taken, the download is given back a while later or at the next fix;
      // the link then says how to get it once more rather than fail.
      link.addEventListener('click', () => {
        if (!row.taken) row.taken = setTimeout(() => giveBack(row, taken), keepTakenMs);
      });
      row.text.before(link);
    }
    // The Mac blocks the first start of what was downloaded, fixed here or not.
    if (blob || kind === 'already') showSteps(row, blob ? fixedName(row.name) : '', text, commands || []);
  }

  // The steps, once below the rows, name the files of the last row that
  // needs them.
  const steps = document.getElementById('steps');
  function showSteps(row, archive, text, commands) {
    row.li.rowSteps = true;
    const fixed = /\(fixed ([^;)]+)/.exec(text);
    const bundle = fixed ? fixed[1] : row.name.replace(/\.zip$/i, '') + '.app';
    const names = { archive, picked: row.name, bundle };
    for (const [cls, name] of Object.entries(names))
      for (const code of steps.querySelectorAll('code.' + cls)) code.textContent = name;
    for (const li of steps.querySelectorAll('.when-download')) li.hidden = !archive;
    for (const li of steps.querySelectorAll('.when-already')) li.hidden = !!archive;
    // A show the fix could not sign again is signed on the Mac first.
    steps.querySelector('.when-commands').hidden = !commands.length;
    steps.querySelector('.when-commands code').textContent = commands.join('\n');
    steps.querySelector('.several').hidden = [...list.children].filter((li) => li.rowSteps).length < 2;
    steps.hidden = false;
  }

  for (const command of steps.querySelectorAll('.command'))
    command.querySelector('.copy').addEventListener('click', async (e) => {
      const lines = command.querySelector('code');
      try {
        await navigator.clipboard.writeText(lines.textContent);
        e.target.textContent = 'Copied';
      } catch (err) {
        // No clipboard for this page: the lines are selected for the user's own copy.
        getSelection().selectAllChildren(lines);
        e.target.textContent = 'Selected: press Command-C';
      }
    });

  function fixFile(file) {
    // A file fixed again gives back its older result now, not only when the
    // new one is there: the tab holds one of them at a time.
    for (const older of rows.values()) {
      if (sameFile(older.file, file)) giveBack(older, '(fixed again below)');
      else if (older.taken) giveBack(older, taken);
    }
    const row = addRow(file.name, file.size);
    row.file = file;
    if (unfinishedName.test(file.name))
      return showOutcome(row, 'refused', 'Download not finished', null, unfinished(file.name));
    if (file.size === 0) return showOutcome(row, 'refused', 'Empty file', null, empty(file.name));
    if (!/\.zip$/i.test(file.name)) return showOutcome(row, 'refused', 'Not a ZIP archive', null, notZip(file.name));
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
    handedOn = handedOn.then(() => file.slice(0, 2).arrayBuffer()).then(async (head) => {
      const bytes = new Uint8Array(head);
      if (bytes[0] === 0x50 && bytes[1] === 0x4B) handOn(id, file);
      else showOutcome(row, 'refused', 'Not a ZIP archive', null, notZip(file.name));
    }, () => handOn(id, file));
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
