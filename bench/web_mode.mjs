// Times the web page's fix in each browser engine against the native
// `nvxfix-cli --jobs 1` on the same generated presentation archives, and
// measures how much memory the browser's processes took on top of the idle
// page (peak resident size of the whole process tree, sampled every 50 ms).
// Processor times are given beside wall times: on a shared machine they
// move far less (the browser's are those of all its processes).
// The page is served from 127.0.0.1 as a static host would serve it.
// Run under a display for WebKitGTK (xvfb-run -a node bench/web_mode.mjs).
//
//   node bench/web_mode.mjs [--sizes 50,200] [--engines chromium,firefox,webkit]
//                           [--cli build/linux-release/nvxfix-cli] [--web build/web]
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

// The sample zip_mode.py uses: 400 files, a 4 MB viewer, links kept.
function sample(folder, sizeMb) {
  execFileSync('python3', ['-c', `import sys; sys.path.insert(0, '${root}/bench'); import make_presentation as m
b = m.make_bundle('${folder}', 'Show', ${sizeMb}, 400, 4096, True, 5); m.zip_bundle(b)`]);
  return path.join(folder, 'Show.zip');
}

function timedNative(archive, work) {
  const copy = path.join(work, 'native', 'Show.zip');
  fs.mkdirSync(path.dirname(copy), { recursive: true });
  fs.copyFileSync(archive, copy);
  try {
    const result = execFileSync('sh', ['-c', `/usr/bin/time -f '%e %U %S %M' "$0" --jobs 1 "$1" 2>&1 >/dev/null | tail -1`,
      cli, copy], { encoding: 'utf8' });
    const [seconds, user, system, kb] = result.trim().split(' ').map(Number);
    return { seconds, cpu: user + system, peak: kb * 1024 };
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
      return { state: li.dataset.state, ms: Number(li.dataset.ms) };
    });
    if (row.state !== 'done') throw new Error(`${engine}: the fix ended ${row.state}`);
    return { seconds: row.ms / 1000, cpu: treeUsage(page.pid).cpu - before.cpu, baseline: before.rss, peak };
  } finally {
    await page.close();
  }
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'nvxfix-webbench-'));
const host = await serveFolder(web);
try {
  for (const size of sizes) {
    const archive = sample(path.join(work, `s${size}`), size);
    const bytes = fs.statSync(archive).size;
    const n = timedNative(archive, work);
    console.log(`${size} MB show, archive ${(bytes / MB).toFixed(1)} MB`);
    console.log(`  native --jobs 1: ${n.seconds.toFixed(2)} s (processor ${n.cpu.toFixed(2)} s), peak ${(n.peak / MB).toFixed(0)} MB`);
    for (const engine of engines) {
      const why = unavailable(engine);
      if (why) {
        console.log(`  ${engine}: skipped (${why})`);
        continue;
      }
      const b = await inBrowser(engine, archive, host);
      const added = b.peak - b.baseline;
      console.log(`  ${engine} (${version(engine)}): ${b.seconds.toFixed(2)} s (${(b.seconds / n.seconds).toFixed(2)}x native; ` +
        `processor ${b.cpu.toFixed(2)} s, ${(b.cpu / n.cpu).toFixed(2)}x), ` +
        `memory +${(added / MB).toFixed(0)} MB over the idle page (${(added / bytes).toFixed(2)}x the archive; ` +
        `all processes ${(b.peak / MB).toFixed(0)} MB)`);
    }
    fs.rmSync(path.join(work, `s${size}`), { recursive: true });
  }
} finally {
  host.close();
  fs.rmSync(work, { recursive: true, force: true });
}
