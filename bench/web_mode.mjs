// Times the web page's fix in each browser engine against the native
// `nvxfix-cli --jobs 1` on the same generated presentation archives, and
// measures how much memory the browser's processes took on top of the idle
// page (peak resident size of the whole process tree, sampled every 50 ms).
// Processor times are given beside wall times: on a shared machine they
// move far less (the browser's are those of all its processes). Each fix's
// time is split into the phases the page reports (its row's
// data-phases), with the time the worker spent reading the picked file.
// The page is served from 127.0.0.1 as a static host would serve it.
// Run under a display for WebKitGTK (xvfb-run -a node bench/web_mode.mjs).
//
// With --memory MB it checks instead what the page gives back, on shows of
// that size: three fixes of one show in one tab against one fix (resident
// size of all the browser's processes 5 s after each fix ends, and the peak
// during it), the peak over the idle page of a show whose viewer is its
// first entry against the part of it from the viewer on (which the fix
// rewrites), and WebKitGTK's peak from the single file opened from the
// disk against the archive.
//
//   node bench/web_mode.mjs [--sizes 50,200] [--engines chromium,firefox,webkit] [--runs 3]
//                           [--cli build/linux-release/nvxfix-cli] [--web build/web]
//   node bench/web_mode.mjs --memory 600 [--engines ...] [--web build/web]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { Engines, open, serveFolder, treeUsage, unavailable, version } from '../tests/web/browsers.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const option = (name, fallback) => {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : fallback;
};
const sizes = option('--sizes', '50,200').split(',').map(Number);
const engines = option('--engines', Engines.join(',')).split(',');
const cli = path.resolve(option('--cli', path.join(root, 'build/linux-release/nvxfix-cli')));
const web = path.resolve(option('--web', path.join(root, 'build/web')));
const MB = 1024 * 1024;
const memoryMb = option('--memory', null);

// The sample zip_mode.py uses: 400 files, a 4 MB viewer, links kept.
function sample(folder, sizeMb) {
  execFileSync('python3', ['-c', `import sys; sys.path.insert(0, '${root}/bench'); import make_presentation as m
b = m.make_bundle('${folder}', 'Show', ${sizeMb}, 400, 4096, True, 5); m.zip_bundle(b)`]);
  return path.join(folder, 'Show.zip');
}

// The run of median time out of runs (a run of a fraction of a second
// moves with whatever else the machine does).
const median = (runs) => runs.sort((a, b) => a.seconds - b.seconds)[runs.length >> 1];
const runs = Number(option('--runs', '3'));

// Each run on a fresh copy, timed to the millisecond: time(1) rounds to
// 10 ms, a fifth of a small show's fix. What starting the shell and
// time(1) takes is measured on true(1) and taken off.
function timedNative(archive, work) {
  const started = median(Array.from({ length: 5 }, () => timedRun('true')));
  const fixes = median(Array.from({ length: Math.max(runs, 3) }, () => timedNativeOnce(archive, work)));
  return { ...fixes, seconds: fixes.seconds - started.seconds };
}

function timedRun(program, ...args) {
  const began = process.hrtime.bigint();
  const result = execFileSync('sh', ['-c', `/usr/bin/time -f '%U %S %M' "$@" 2>&1 >/dev/null | tail -1`, 'sh',
    program, ...args], { encoding: 'utf8' });
  const seconds = Number(process.hrtime.bigint() - began) / 1e9;
  const [user, system, kb] = result.trim().split(' ').map(Number);
  return { seconds, cpu: user + system, peak: kb * 1024 };
}

function timedNativeOnce(archive, work) {
  const copy = path.join(work, 'native', 'Show.zip');
  fs.mkdirSync(path.dirname(copy), { recursive: true });
  fs.copyFileSync(archive, copy);
  try {
    return timedRun(cli, '--jobs', '1', copy);
  } finally {
    fs.rmSync(path.dirname(copy), { recursive: true });
  }
}

async function inBrowser(engine, archive, host) {
  const page = await open(engine);
  try {
    await page.goto(host.url + 'index.html');
    await page.waitFor(() => document.body.dataset.ready, 60000);
    await new Promise((r) => setTimeout(r, 1000));
    const before = treeUsage(page.pid);
    let peak = before.rss;
    const sampler = setInterval(() => (peak = Math.max(peak, treeUsage(page.pid).rss)), 50);
    // A timer in the page: its longest gap is how long the page did not answer.
    await page.evaluate(() => {
      window.nvxTicks = [];
      setInterval(() => window.nvxTicks.push(performance.now()), 50);
    });
    try {
      await page.upload('#pick', archive);
      await page.waitFor(() => {
        const li = document.querySelector('#files li');
        return li && li.dataset.state && li.dataset.state !== 'working';
      }, 1800000);
    } finally {
      clearInterval(sampler);
    }
    const row = await page.evaluate(() => {
      const li = document.querySelector('#files li');
      return { state: li.dataset.state, ms: Number(li.dataset.ms), phases: JSON.parse(li.dataset.phases || 'null') };
    });
    if (row.state !== 'done') throw new Error(`${engine}: the fix ended ${row.state}`);
    const ticks = await page.evaluate(() => window.nvxTicks);
    const gap = Math.max(0, ...ticks.slice(1).map((t, i) => t - ticks[i]));
    return { seconds: row.ms / 1000, cpu: treeUsage(page.pid).cpu - before.cpu, baseline: before.rss, peak, gap,
             phases: row.phases };
  } finally {
    await page.close();
  }
}

// Where the page's time went: before the worker had the file, the worker's
// stages (the judgement until the check shows, the check, the save), the
// parts of the download it made, the download put together in the page;
// and of the worker's time, the reads of the picked file (where they are
// made ahead, the time the fix waited for them).
function describePhases(p) {
  if (!p) return 'phases not reported';
  const at = (name) => (p.stages.find(([stage]) => stage === name) || [name, null])[1];
  const checking = at('Checking'), writing = at('Writing');
  const parts = Math.round(p.reading.parts);
  const end = p.worker - parts;
  const judged = checking ?? writing ?? end;
  return `waiting ${p.waiting} ms, judging ${judged} ms, checking ${checking === null ? 0 : (writing ?? end) - checking} ms, ` +
    `writing ${writing === null ? 0 : end - writing} ms, parts ${parts} ms, download ${p.download} ms; ` +
    (p.reading.ahead ? `reads made ahead; the fix waited ${p.reading.count} times for them, ${Math.round(p.reading.ms)} ms`
      : `${p.reading.count} reads of the file took ${Math.round(p.reading.ms)} ms`);
}

// Where the viewer's entry starts in an archive.
function viewerOffset(archive) {
  return Number(execFileSync('python3', ['-c', `import zipfile, sys
print(min(i.header_offset for i in zipfile.ZipFile(sys.argv[1]).infolist() if i.filename.endswith('MacOS/ZuvOrudad5')))`,
  archive], { encoding: 'utf8' }));
}

// Fixes archive times times in one tab opened at url; gives per fix the
// peak and the resident size once it ended, and the idle page's.
async function fixesInOneTab(engine, url, archive, times) {
  const page = await open(engine);
  try {
    await page.goto(url);
    await page.waitFor(() => document.body.dataset.ready, 60000);
    await new Promise((r) => setTimeout(r, 2000));
    const idle = treeUsage(page.pid).rss;
    const fixes = [];
    for (let n = 0; n < times; n++) {
      let peak = 0;
      const sampler = setInterval(() => (peak = Math.max(peak, treeUsage(page.pid).rss)), 50);
      try {
        await page.upload('#pick', archive);
        await page.waitFor((n) => {
          const li = document.querySelectorAll('#files > li')[n];
          return li && li.dataset.state && li.dataset.state !== 'working';
        }, 1800000, n);
        const state = await page.evaluate((n) => document.querySelectorAll('#files > li')[n].dataset.state, n);
        if (state !== 'done') throw new Error(`${engine}: fix ${n + 1} ended ${state}`);
        await new Promise((r) => setTimeout(r, 5000));
      } finally {
        clearInterval(sampler);
      }
      fixes.push({ peak, after: treeUsage(page.pid).rss });
    }
    return { idle, fixes };
  } finally {
    await page.close();
  }
}

const mb = (bytes) => `${(bytes / MB).toFixed(0)} MB`;

async function memoryChecks(work, host) {
  const show = (name, viewerFirst) => {
    const folder = path.join(work, name);
    execFileSync('python3', [path.join(root, 'bench/make_presentation.py'), folder, '--size-mb', memoryMb, '--files', '400',
      '--viewer-kb', '4096', '--zip', ...(viewerFirst ? ['--viewer-first'] : [])], { stdio: 'ignore' });
    return path.join(folder, 'Show.zip');
  };
  const archive = show('usual', false), first = show('viewer-first', true);
  const bytes = fs.statSync(archive).size, firstBytes = fs.statSync(first).size;
  const rewritten = firstBytes - viewerOffset(first);
  console.log(`${memoryMb} MB show: archive ${mb(bytes)}, from the viewer on ${mb(bytes - viewerOffset(archive))}; ` +
    `viewer first: archive ${mb(firstBytes)}, from the viewer on ${mb(rewritten)}`);
  for (const engine of engines) {
    const why = unavailable(engine);
    if (why) {
      console.log(`  ${engine}: skipped (${why})`);
      continue;
    }
    console.log(`  ${engine} (${version(engine)}):`);
    const three = await fixesInOneTab(engine, host.url + 'index.html', archive, 3);
    const [one, , last] = three.fixes;
    const peaks = Math.max(...three.fixes.map((f) => f.peak));
    console.log(`    three fixes in one tab: idle ${mb(three.idle)}, after each ${three.fixes.map((f) => mb(f.after)).join(', ')} ` +
      `(${(last.after / one.after).toFixed(2)}x one fix; over the idle page ` +
      `${((last.after - three.idle) / (one.after - three.idle)).toFixed(2)}x); peak of one ${mb(one.peak)}, of three ` +
      `${mb(peaks)} (${(peaks / one.peak).toFixed(2)}x)`);
    const viewerFirst = await fixesInOneTab(engine, host.url + 'index.html', first, 1);
    const added = viewerFirst.fixes[0].peak - viewerFirst.idle;
    console.log(`    viewer first: peak +${mb(added)} over the idle page, ${(added / rewritten).toFixed(2)}x the part from the viewer on`);
    if (engine === 'webkit') {
      const disk = await fixesInOneTab(engine, 'file://' + path.join(web, 'nvxfix.html'), archive, 1);
      const diskAdded = disk.fixes[0].peak - disk.idle;
      console.log(`    single file from the disk: peak +${mb(diskAdded)} over the idle page, ${(diskAdded / bytes).toFixed(2)}x the archive`);
    }
  }
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'nvxfix-webbench-'));
const host = await serveFolder(web);
try {
  if (memoryMb) await memoryChecks(work, host);
  for (const size of memoryMb ? [] : sizes) {
    const archive = sample(path.join(work, `s${size}`), size);
    const bytes = fs.statSync(archive).size;
    const n = timedNative(archive, work);
    console.log(`${size} MB show, archive ${(bytes / MB).toFixed(1)} MB`);
    console.log(`  native --jobs 1 (median of ${Math.max(runs, 3)}): ${n.seconds.toFixed(3)} s (processor ${n.cpu.toFixed(2)} s), peak ${(n.peak / MB).toFixed(0)} MB`);
    for (const engine of engines) {
      const why = unavailable(engine);
      if (why) {
        console.log(`  ${engine}: skipped (${why})`);
        continue;
      }
      // Each run the first fix of a new tab, as a user's usually is.
      const tabs = [];
      for (let run = 0; run < runs; run++) tabs.push(await inBrowser(engine, archive, host));
      const b = median(tabs), added = b.peak - b.baseline;
      console.log(`  ${engine} (${version(engine)}, median of ${runs}): ${b.seconds.toFixed(3)} s (${(b.seconds / n.seconds).toFixed(2)}x native; ` +
        `processor ${b.cpu.toFixed(2)} s, ${(b.cpu / n.cpu).toFixed(2)}x), ` +
        `memory +${(added / MB).toFixed(0)} MB over the idle page (${(added / bytes).toFixed(2)}x the archive; ` +
        `all processes ${(b.peak / MB).toFixed(0)} MB), longest timer gap ${Math.round(b.gap)} ms (target under 1000 ms)`);
      console.log(`    ${describePhases(b.phases)}`);
    }
    fs.rmSync(path.join(work, `s${size}`), { recursive: true });
  }
} finally {
  host.close();
  fs.rmSync(work, { recursive: true, force: true });
}
