// Drives the web page in each browser engine: fixes a generated show and
// checks the download, then a damaged archive, a non-presentation, an
// already fixed show and a dropped folder, and in Chromium the archive
// table the other front ends fix too; the page must keep answering
// during a fix and ask for nothing after it loaded, and give back what a
// fix and its result held. Keeps a screenshot per engine beside the page,
// light and dark. First, in node, the page's reader of the picked file.
//
//   node web_test.mjs WEB_DIR NVXZIP [ENGINE...]
// NVXFIX_WEB_PAYLOAD names the viewer the page carries, if not the repository's.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { Engines, open, serveFolder, unavailable, version } from './browsers.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const [webDir, nvxzip, ...chosen] = process.argv.slice(2).map((a, i) => (i < 2 ? path.resolve(a) : a));
const payload = process.env.NVXFIX_WEB_PAYLOAD ? path.resolve(process.env.NVXFIX_WEB_PAYLOAD)
  : path.join(root, 'app/payload/ZuvOrudad5');
// A Mac program starts with a Mach-O or universal magic number; anything
// else is a placeholder, which the page must point out.
const payloadIsPlaceholder = !['feedface', 'feedfacf', 'cefaedfe', 'cffaedfe', 'cafebabe']
  .includes(fs.readFileSync(payload).subarray(0, 4).toString('hex'));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'nvxfix-web-'));
const table = path.join(root, 'tests/e2e/archive_table.py');
const rowStates = { fixed: 'done', refused: 'refused', error: 'error' };
// A fixed show that cannot start on a current Mac is a warning, not a success.
const expectedState = (c) => (c.outcome === 'fixed' && !c.starts ? 'warning' : rowStates[c.outcome]);
const fixedName = (file) => path.basename(file).replace(/\.zip$/i, '') + '-fixed.zip';
const axeSource = fs.readFileSync(path.join(here, 'node_modules/axe-core/axe.min.js'), 'utf8');

// What the accessibility audit finds on the page as it stands: "rule: nodes".
async function audit(page) {
  return page.evaluate(async (source) => {
    if (!window.axe) (0, eval)(source);
    const result = await window.axe.run(document);
    return result.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  }, axeSource);
}

// The fixtures: a show large enough that the fix takes a while (and that
// the reads made ahead pass blocks back to the reader), the same
// with the viewer as its first entry (the fix moves all the rest), a
// damaged copy, and an archive that holds no presentation.
function makeFixtures() {
  const show = path.join(work, 'show'), first = path.join(work, 'first');
  for (const [folder, order] of [[show, []], [first, ['--viewer-first']]]) {
    execFileSync('python3', [path.join(root, 'bench/make_presentation.py'), folder, '--size-mb', '48', '--files', '120',
      '--viewer-kb', '256', '--zip', ...order]);
  }
  const broken = path.join(work, 'broken');
  fs.mkdirSync(broken);
  // Cut short: the central directory is gone.
  const bytes = fs.readFileSync(path.join(show, 'Show.zip'));
  fs.writeFileSync(path.join(broken, 'Show.zip'), bytes.subarray(0, bytes.length - 4000));
  const other = path.join(work, 'other');
  fs.mkdirSync(other);
  execFileSync('python3', ['-c', `import zipfile; z = zipfile.ZipFile('${other}/Notes.zip', 'w');
z.writestr('Notes/readme.txt', 'not a show'); z.close()`]);
  const cases = JSON.parse(execFileSync('python3', [table, 'make', path.join(work, 'table')], { encoding: 'utf8' }));
  // What users drop by mistake: a PDF, the same renamed, a file that did not arrive.
  const pdf = Buffer.from('%PDF-1.4\n% slides\n');
  fs.writeFileSync(path.join(other, 'Slides.pdf'), pdf);
  fs.writeFileSync(path.join(other, 'Renamed.zip'), pdf);
  fs.writeFileSync(path.join(other, 'Empty.zip'), '');
  fs.writeFileSync(path.join(other, 'Show.zip.crdownload'), 'PK\x03\x04 half');
  // A signed show, for the page around a signed viewer where there is one.
  let signed = null;
  if (fs.existsSync(path.join(`${webDir}-signed`, 'nvxfix.html'))) {
    const folder = path.join(work, 'signed');
    execFileSync('python3', ['-c', `import sys, subprocess; sys.path.insert(0, '${root}/tests/e2e')
import signed_show; signed_show.make_signed_show('${folder}')
subprocess.run(['zip', '-qry', 'Show.zip', 'Show.app'], cwd='${folder}', check=True)`]);
    signed = path.join(folder, 'Show.zip');
  }
  return { show: path.join(show, 'Show.zip'), first: path.join(first, 'Show.zip'), broken: path.join(broken, 'Show.zip'),
    signed,
    other: path.join(other, 'Notes.zip'),
    mistakes: ['Slides.pdf', 'Renamed.zip', 'Empty.zip', 'Show.zip.crdownload'].map((n) => path.join(other, n)),
    cases };
}

// Picks a file and waits for its row's outcome; gives {state, text, ...}.
async function fix(page, file, timeout = 300000) {
  const before = await page.evaluate(() => document.querySelectorAll('#files li').length);
  await page.upload('#pick', file);
  await page.waitFor((n) => {
    const li = document.querySelectorAll('#files li')[n];
    return li && li.dataset.state && li.dataset.state !== 'working';
  }, timeout, before);
  return page.evaluate((n) => {
    const li = document.querySelectorAll('#files li')[n];
    const link = li.querySelector('a');
    const steps = document.getElementById('steps');
    const advice = li.querySelector('.advice');
    // The steps shown once below the rows, as they read now; what they name.
    const shown = steps.hidden ? '' : [...steps.querySelectorAll('li, p')].filter((e) => !e.hidden)
      .map((e) => e.textContent).join(' ').replace(/\s+/g, ' ');
    return { state: li.dataset.state, text: li.querySelector('.text').textContent, download: link && link.download,
      steps: li.rowSteps ? shown : '', commands: steps.querySelector('.when-commands code').textContent,
      stepsArchive: steps.querySelector('code.archive').textContent,
      meta: li.querySelector('.meta').textContent,
      advice: advice ? advice.textContent : '', held: li.dataset.held, made: Number(li.dataset.made),
      readAhead: li.dataset.phases && JSON.parse(li.dataset.phases).reading.ahead };
  }, before);
}

// The offered download's bytes, as the browser holds them.
async function download(page) {
  const base64 = await page.evaluate(async () => {
    const links = document.querySelectorAll('#files a[download]');
    const blob = await (await fetch(links[links.length - 1].href)).blob();
    return new Promise((resolve) => {
      const reader = new FileReader();
      reader.onload = () => resolve(reader.result.split(',')[1]);
      reader.readAsDataURL(blob);
    });
  });
  return Buffer.from(base64, 'base64');
}

// Keeps the offered download as folder/Show.zip and checks it against the
// picked original.
async function checkDownload(page, original, folder, failures, what) {
  const fixed = path.join(work, folder, 'Show.zip');
  fs.mkdirSync(path.dirname(fixed));
  fs.writeFileSync(fixed, await download(page));
  try {
    execFileSync(nvxzip, ['t', fixed], { stdio: 'pipe' });
  } catch (e) {
    failures.push(`${what} fails nvxzip t: ${e.stdout}${e.stderr}`);
  }
  const wrong = tableCheck(original, fixed);
  expect(failures, `${what} kept every entry but the viewer`, !wrong, wrong);
  return fixed;
}

// What the archive table's checker finds wrong with a download, or ''.
function tableCheck(original, fixed) {
  try {
    execFileSync('python3', [table, 'check', original, fixed, payload], { stdio: 'pipe' });
    return '';
  } catch (e) {
    const found = String(e.stdout || e.stderr).trim().split('\n');
    return found[0] + (found.length > 1 ? ` (and ${found.length - 1} more)` : '');
  }
}

// The page around a signed viewer, where the build made one: a signed show's
// download checks by the signature checker, every seal consistent.
async function fixSigned(page, engine, signed, failures) {
  await page.goto('file://' + path.join(`${webDir}-signed`, 'nvxfix.html'));
  await page.waitFor(() => document.body.dataset.ready, 60000);
  const row = await fix(page, signed);
  expect(failures, 'signed show', row.state === 'done' && /signed again ad hoc/.test(row.text), JSON.stringify(row));
  const fixed = path.join(work, `signed-${engine}.zip`);
  fs.writeFileSync(fixed, await download(page));
  try {
    execFileSync('python3', [path.join(root, 'tests/e2e/codesign_check.py'), fixed], { stdio: 'pipe' });
  } catch (e) {
    failures.push(`signed show's download: ${e.stdout}${e.stderr}`);
  }
}

// Each archive of the table ends as the table says; fixed ones as the
// programs on the disk fix them.
async function fixTable(page, engine, cases, failures, notes) {
  const folder = path.join(work, 'table-fixed-' + engine);
  fs.mkdirSync(folder);
  await page.evaluate(() => document.querySelectorAll('#files .dismiss').forEach((b) => b.click()));
  for (const [i, c] of cases.entries()) {
    const row = await fix(page, c.path);
    // Rows of every kind, the steps once below them: short enough to read.
    if (i === 9) {
      const size = await page.evaluate(() => [document.documentElement.scrollHeight, innerHeight]);
      expect(failures, 'ten rows stay under two screens', size[0] <= 2 * size[1], `${size[0]} px of ${size[1]}`);
    }
    if (row.state !== expectedState(c)) {
      failures.push(`table ${c.key}: ${expectedState(c)} expected, the row says ${JSON.stringify(row)}`);
    } else if (row.state === 'refused') {
      // An archive of several shows holds shows: the advice for none is not its own.
      expect(failures, `table ${c.key}: advice`, /holds no NVX 8\.0 show/.test(row.advice) === !c.notes, row.advice);
    } else if (c.outcome === 'fixed') {
      const fixed = path.join(folder, c.key + '.zip');
      fs.writeFileSync(fixed, await download(page));
      const wrong = tableCheck(c.path, fixed);
      expect(failures, `table ${c.key}`, !wrong && row.download === fixedName(c.path), wrong || row.download);
      if (!c.starts) expect(failures, `table ${c.key}: what to ask`, /Ask the sender/.test(row.advice), row.advice);
      // Terminal lines stand in the steps, one to a line, not in the row.
      const lines = /paste these lines and press Return\. (.*) Copy/.exec(row.steps);
      expect(failures, `table ${c.key}: Terminal lines in the steps`, c.commands ?
        lines && row.commands.split('\n').length === c.commands && !/codesign/.test(row.text) : !lines, row.steps);
    }
  }
  notes.push(`archive table: ${cases.length} archives, ${fs.readdirSync(folder).length} downloads checked`);
}

// Timer ticks and the texts the rows showed, recorded in the page.
function watchPage() {
  window.nvxWatch = { ticks: [], texts: new Set(), status: new Set() };
  setInterval(() => window.nvxWatch.ticks.push(performance.now()), 50);
  new MutationObserver(() => {
    for (const t of document.querySelectorAll('#files .text')) window.nvxWatch.texts.add(t.textContent);
    window.nvxWatch.status.add(document.getElementById('status').textContent);
  }).observe(document.body, { subtree: true, childList: true, characterData: true });
}

// On a page opened with a memory limit of 1 MB and taken downloads kept
// 300 ms: the warning before a fix, then a result's data given back when
// its file is fixed again, when its download was taken and when its row is
// dismissed, and the worker holding no working copy after a fix that
// succeeded or failed.
async function memoryGivenBack(page, fixtures, failures) {
  const rowOf = (n) => page.evaluate((n) => {
    const li = document.querySelectorAll('#files > li')[n];
    const link = li.querySelector('a[download]');
    return { state: li.dataset.state, text: li.textContent.replace(/\s+/g, ' '), held: li.dataset.held, url: link && link.href };
  }, n);
  const ended = (n) => page.waitFor((n) => {
    const li = document.querySelectorAll('#files > li')[n];
    return li && li.dataset.state && li.dataset.state !== 'working';
  }, 300000, n);
  // Picks a file, keeps the warning it gets and goes past it.
  const fixPast = async (file, n) => {
    await page.upload('#pick', file);
    await ended(n);
    const warned = await rowOf(n);
    if (warned.state === 'large') {
      await page.evaluate((n) => document.querySelectorAll('#files > li')[n].querySelector('.proceed').click(), n);
      await ended(n);
    }
    return { warning: warned.state === 'large' ? warned.text : '', ...(await rowOf(n)) };
  };
  const revoked = (url) => page.evaluate(async (url) => {
    try {
      await (await fetch(url)).arrayBuffer();
      return false;
    } catch {
      return true;
    }
  }, url);
  const none = '0 copies, 0 bytes';

  const first = await fixPast(fixtures.show, 0);
  expect(failures, 'warning past the memory limit', /NvxFix\.exe on Windows, nvxfix-cli/.test(first.warning) &&
    first.state === 'done', JSON.stringify(first));
  expect(failures, 'working copy released after a fix', first.held === none, first.held);
  expect(failures, 'result kept until given back', first.url && !(await revoked(first.url)));
  const second = await fixPast(fixtures.show, 1);
  expect(failures, 'fixed again: the older result given back', await revoked(first.url), first.url);
  await page.evaluate(() => {
    const link = document.querySelectorAll('#files > li')[1].querySelector('a[download]');
    // The page's own handler still runs; the browser saves nothing.
    link.addEventListener('click', (e) => e.preventDefault());
    link.click();
  });
  await page.waitFor(() => !document.querySelectorAll('#files > li')[1].querySelector('a[download]'), 10000)
    .catch(() => {});
  const taken = await rowOf(1);
  expect(failures, 'download taken: given back, the link says so', second.url && (await revoked(second.url)) &&
    /Downloaded\. To download it once more, fix the file again/.test(taken.text), taken.text);
  const broken = await fixPast(fixtures.broken, 2);
  expect(failures, 'working copy released after a failed fix', broken.state === 'error' && broken.held === none,
    JSON.stringify(broken));
  const third = await fixPast(fixtures.show, 3);
  await page.evaluate(() => document.querySelectorAll('#files > li')[3].querySelector('.dismiss').click());
  expect(failures, 'dismissed: the result given back', third.url && (await revoked(third.url)), third.url);
}

function expect(failures, what, condition, detail = '') {
  if (!condition) failures.push(what + (detail ? `: ${detail}` : ''));
}

async function testEngine(engine, fixtures, host, notes) {
  const failures = [];
  const page = await open(engine);
  try {
    await page.goto(host.url + 'index.html');
    await page.waitFor(() => document.body.dataset.ready, 60000);
    // The repository's payload is a placeholder, and the page says so.
    const banner = await page.evaluate(() => !document.getElementById('placeholder-banner').hidden);
    expect(failures, 'placeholder banner', banner === payloadIsPlaceholder, `shown: ${banner}`);
    const asked = host.requests.length;
    await page.evaluate(watchPage);

    const started = await page.evaluate(() => performance.now());
    const done = await fix(page, fixtures.show);
    const ended = await page.evaluate(() => performance.now());
    expect(failures, 'generated show', done.state === 'done' && done.text === 'Done!', JSON.stringify(done));
    // Not "Show (1).zip" beside the broken Show.zip, and the steps name it.
    expect(failures, 'download name', done.download === 'Show-fixed.zip' && done.stepsArchive === done.download &&
      /double-click Show-fixed\.zip \(not Show\.zip/.test(done.steps), `${done.download}: ${done.steps}`);
    // After "Done!", how to get past the Mac's first-start block.
    expect(failures, 'steps to open it on a Mac', /Open Anyway/.test(done.steps) && /Control-click Show\.app/.test(done.steps) &&
      /xattr -dr com\.apple\.quarantine/.test(done.steps), done.steps);
    const watched = await page.evaluate(() => ({ ticks: window.nvxWatch.ticks, texts: [...window.nvxWatch.texts],
      status: [...window.nvxWatch.status] }));
    expect(failures, 'status line while fixing', watched.status.includes('Fixing Show.zip (1 of 1)...') &&
      watched.status.includes('Ready.'), watched.status.join(' | '));
    expect(failures, 'row names size and time', /^\d+ MB, picked at /.test(done.meta), done.meta);
    // That the page runs its timers while the worker fixes (a fix shorter
    // than two of their 50 ms may fall between them); how long it pauses
    // them is bench/web_mode.mjs's to measure.
    const during = watched.ticks.filter((t) => t > started && t < ended);
    expect(failures, 'page answers during the fix', ended - started < 100 || during.length > 0,
      `${during.length} ticks in ${Math.round(ended - started)} ms`);
    expect(failures, 'stage texts', watched.texts.some((t) => /^(Checking|Writing)\.\.\. \d+%$/.test(t)),
      watched.texts.join(' | '));

    // Where the engine can suspend the core, its reads of the file are made
    // ahead, not one after the other.
    const suspends = await page.evaluate(() => typeof WebAssembly.Suspending === 'function');
    expect(failures, 'reads made ahead', done.readAhead === suspends, `${done.readAhead} (engine suspends: ${suspends})`);
    notes.push(`fix ${Math.round(ended - started)} ms`);

    const fixed = await checkDownload(page, fixtures.show, engine, failures, 'download');

    // The entries moved down are held as the picked file's own slices: the
    // fix makes little more than the new viewer.
    const first = await fix(page, fixtures.first);
    await checkDownload(page, fixtures.first, engine + '-first', failures, 'viewer first');
    expect(failures, 'viewer first: moved entries not held', first.state === 'done' &&
      first.made < fs.statSync(payload).size + 3 * 1048576, JSON.stringify(first));
    notes.push(`viewer first: ${first.made} bytes made, the archive ${fs.statSync(fixtures.first).size}`);

    const again = await fix(page, fixed);
    // Downloaded, an "Already fixed" show is blocked on the Mac like any other.
    expect(failures, 'already fixed', again.state === 'already' && again.text === 'Already fixed' && !again.download &&
      /Double-click Show\.zip to unpack it/.test(again.steps) && /Open Anyway/.test(again.steps),
      JSON.stringify(again));
    const broken = await fix(page, fixtures.broken);
    expect(failures, 'damaged archive', broken.state === 'error' && /Show\.zip/.test(broken.text) &&
      !broken.text.includes('/input/') && /Download it again/.test(broken.advice), JSON.stringify(broken));
    // Mistakes are refused with a headline that agrees with what to do instead.
    const saidOf = [['Not a ZIP archive', /is not a ZIP archive/], ['Not a ZIP archive', /is not a ZIP archive/],
      ['Empty file', /is empty \(0 bytes\)/], ['Download not finished', /has not finished.*drop Show\.zip;/]];
    for (const [file, [headline, said]] of fixtures.mistakes.map((f, i) => [f, saidOf[i]])) {
      const row = await fix(page, file);
      expect(failures, `mistake ${path.basename(file)}`, row.state === 'refused' && row.text === headline &&
        said.test(row.advice), JSON.stringify(row));
    }
    // A dismissed row goes, with what it held.
    const dismissed = await page.evaluate(() => {
      const before = document.querySelectorAll('#files li').length;
      document.querySelector('#files li:last-child .dismiss').click();
      return before - document.querySelectorAll('#files li').length;
    });
    expect(failures, 'dismissing a row', dismissed === 1, `${dismissed} rows went`);
    notes.push(`damaged archive: "${broken.text}"`);
    const other = await fix(page, fixtures.other);
    expect(failures, 'not a presentation', other.state === 'refused' &&
      other.text === 'Slideshow damaged or made not in NVX 8.0' && /holds no NVX 8\.0 show/.test(other.advice),
      JSON.stringify(other));
    // A dropped folder, as the engines hand one over.
    const folder = await page.evaluate(async () => {
      const drop = new Event('drop', { bubbles: true, cancelable: true });
      drop.dataTransfer = {
        items: [{ webkitGetAsEntry: () => ({ isDirectory: true }) }],
        files: [new File([], 'Show.app')],
      };
      window.dispatchEvent(drop);
      await new Promise((r) => setTimeout(r, 200));
      const li = [...document.querySelectorAll('#files li')].pop();
      return { state: li.dataset.state, text: li.textContent };
    });
    expect(failures, 'dropped folder', folder.state === 'folder' && /compress it first/.test(folder.text),
      JSON.stringify(folder));
    await fixTable(page, engine, fixtures.cases, failures, notes);
    expect(failures, 'no request after the page loaded', host.requests.length === asked,
      host.requests.slice(asked).join(' '));
    expect(failures, 'no icon asked of the host', !host.requests.some((r) => /favicon/.test(r)), host.requests.join(' '));
    const violations = await audit(page);
    expect(failures, 'accessibility audit', violations.length === 0, violations.join('; '));
    await page.screenshot(path.join(webDir, `screenshot-${engine}.png`));
    if (page.darkMode) {
      await page.darkMode(true);
      const dark = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
      expect(failures, 'dark mode', dark === 'rgb(28, 28, 30)', dark);
      await page.screenshot(path.join(webDir, `screenshot-${engine}-dark.png`));
      await page.darkMode(false);
    } else {
      // Told at the start only: a session of its own.
      const dark = await open(engine, { dark: true });
      try {
        await dark.goto(host.url + 'index.html');
        await dark.waitFor(() => document.body.dataset.ready, 60000);
        const background = await dark.evaluate(() => getComputedStyle(document.body).backgroundColor);
        expect(failures, 'dark mode', background === 'rgb(28, 28, 30)', background);
        await dark.screenshot(path.join(webDir, `screenshot-${engine}-dark.png`));
      } finally {
        await dark.close();
      }
    }

    // A worker that never says it is ready is made anew.
    await page.goto(host.url + 'index.html?stall-first-start&ready-within-ms=2000');
    await page.waitFor(() => document.body.dataset.ready, 30000).catch(() => {});
    const restarted = await page.evaluate(() => document.getElementById('status').textContent);
    expect(failures, 'stalled worker made anew', restarted === 'Ready.', restarted);
    await page.goto(host.url + 'index.html?memory-limit-mb=1&keep-download-ms=300');
    await page.waitFor(() => document.body.dataset.ready, 60000);
    await memoryGivenBack(page, fixtures, failures);

    // The single file, opened from the disk.
    await page.goto('file://' + path.join(webDir, 'nvxfix.html'));
    await page.waitFor(() => document.body.dataset.ready, 60000);
    const single = await fix(page, fixtures.other);
    expect(failures, 'single-file page from the disk', single.state === 'refused', JSON.stringify(single));
    const singleShow = await fix(page, fixtures.show);
    expect(failures, 'single-file page fixes', singleShow.state === 'done' && singleShow.held === '0 copies, 0 bytes',
      JSON.stringify(singleShow));
    await checkDownload(page, fixtures.show, engine + '-single', failures, 'single-file download');
    expect(failures, 'no page errors', page.errors.length === 0, page.errors.join('; '));
    if (fixtures.signed) {
      await fixSigned(page, engine, fixtures.signed, failures);
      notes.push('signed show: its download checked by the signature checker');
    }
  } finally {
    await page.close();
  }
  return failures;
}

// The page's reader of the picked file (the core's reads made ahead), run
// here on a Blob: runs from its stream, with an array handed back between
// them, a look beside them, a run that jumps back and one past the end;
// each answer must be the bytes asked for, or none.
async function readerChecks() {
  const source = fs.readFileSync(path.join(root, 'app/web/page/file-reader.js'), 'utf8');
  const answers = new Map();
  const send = new Function('postMessage', `let onmessage;\n${source}\nreaderMain();\nreturn (data) => onmessage({ data });`)(
    ({ id, bytes }) => answers.get(id)(bytes));
  const MB = 1048576, bytes = Buffer.alloc(3 * MB);
  for (let i = 0; i < bytes.length; i += 4) bytes.writeUInt32LE(i, i);
  const file = new Blob([bytes]);
  let next = 0;
  const ask = (start, end, run) => new Promise((resolve) => {
    const id = next++;
    answers.set(id, resolve);
    send({ id, file, start, end, run });
  });
  const failures = [];
  const check = (what, got, start, end) => expect(failures, `reader: ${what}`,
    start === null ? !got : got && Buffer.from(got).equals(bytes.subarray(start, end)),
    got ? `${got.byteLength} bytes, from ${Buffer.from(got).readUInt32LE(0)}` : 'no bytes');
  check('first run', await ask(0, MB, true), 0, MB);
  send({ given: new Uint8Array(MB).fill(0xee).buffer });
  const [run, look] = await Promise.all([ask(MB, 2 * MB, true), ask(100, 200, false)]);
  check('run into an array handed back', run, MB, 2 * MB);
  check('look beside the runs', look, 100, 200);
  check('run that jumps back', await ask(MB / 2, MB / 2 + MB, true), MB / 2, MB / 2 + MB);
  check('run past the end', await ask(3 * MB - 8, 3 * MB + 8, true), null);
  check('run after a failed one', await ask(2 * MB, 3 * MB, true), 2 * MB, 3 * MB);
  return failures;
}

const fixtures = makeFixtures();
const host = await serveFolder(webDir);
let passed = 0, failed = 0, skipped = 0;
try {
  const readerFailures = await readerChecks();
  console.log(`web reader (node): ${readerFailures.length ? 'FAILED' : 'ok'}`);
  for (const f of readerFailures) console.log(`  ${f}`);
  readerFailures.length ? failed++ : passed++;
  for (const engine of chosen.length ? chosen : Engines) {
    const why = unavailable(engine);
    if (why) {
      console.log(`web ${engine}: skipped: ${why}`);
      skipped++;
      continue;
    }
    let failures;
    const notes = [];
    try {
      failures = await testEngine(engine, fixtures, host, notes);
    } catch (e) {
      failures = [`cannot run: ${e.stack || e}`];
    }
    console.log(`web ${engine} (${version(engine)}): ${failures.length ? 'FAILED' : 'ok'}`);
    for (const f of failures) console.log(`  ${f}`);
    for (const n of notes) console.log(`  (${n})`);
    failures.length ? failed++ : passed++;
  }
} finally {
  host.close();
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed, ${skipped} skipped`);
process.exit(failed ? 1 : 0);
