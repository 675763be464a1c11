// The three browser engines behind one small interface, driven without
// downloading anything: Chromium and Firefox through puppeteer-core (CDP and
// WebDriver BiDi), WebKitGTK through its WebDriver. Each page offers
// goto, evaluate(fn, ...args), waitFor(fn, timeoutMs, ...args),
// upload(selector, path), screenshot(path), close(), and pid (the
// browser's first process, for memory figures); Chromium's pages also
// darkMode(on). open(engine, { dark: true }) starts an engine in the
// system's dark mode where it can only be told at its start (Firefox by a
// preference, WebKitGTK by the GTK theme it is started with).
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

export const Engines = ['chromium', 'firefox', 'webkit'];

const binaries = {
  // The program itself: Debian's launcher script adds nothing the tests
  // need and prints a shell error on this machine.
  chromium: '/usr/lib/chromium/chromium',
  firefox: '/usr/bin/firefox-esr',
  webkit: '/usr/bin/WebKitWebDriver',
};

// Why an engine cannot run here, or null.
export function unavailable(engine) {
  if (!fs.existsSync(binaries[engine])) return `${binaries[engine]} is not installed`;
  if (engine === 'webkit' && !process.env.DISPLAY) return 'WebKitGTK needs a display (run under Xvfb)';
  return null;
}

export async function open(engine, { dark = false } = {}) {
  return engine === 'webkit' ? openWebDriver(dark) : openPuppeteer(engine, dark);
}

async function openPuppeteer(engine, dark) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), `nvxfix-${engine}-`));
  const browser = await puppeteer.launch({
    browser: engine === 'firefox' ? 'firefox' : 'chrome',
    executablePath: binaries[engine],
    headless: true,
    userDataDir: profile,
    // Tests run as root in containers, where Chromium's sandbox cannot start.
    args: engine === 'chromium' ? ['--no-sandbox', '--disable-dev-shm-usage'] : [],
    protocolTimeout: 600000,
    // 0: pages see a dark scheme, whatever the (headless) system says.
    extraPrefsFirefox: dark ? { 'layout.css.prefers-color-scheme.content-override': 0 } : {},
  });
  const page = (await browser.pages())[0] || (await browser.newPage());
  await page.setViewport({ width: 900, height: 700 });
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e.message || e)));
  return {
    engine,
    pid: browser.process().pid,
    errors,
    goto: (url) => page.goto(url, { waitUntil: 'load' }),
    evaluate: (fn, ...args) => page.evaluate(fn, ...args),
    waitFor: (fn, timeout, ...args) => page.waitForFunction(fn, { timeout, polling: 100 }, ...args),
    upload: async (selector, file) => (await page.$(selector)).uploadFile(file),
    screenshot: (file) => page.screenshot({ path: file, fullPage: true }),
    // The system's dark mode, where the engine can be told of one (through
    // CDP: Chromium only).
    darkMode: engine === 'chromium'
      ? (on) => page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: on ? 'dark' : 'light' }])
      : undefined,
    close: async () => {
      await browser.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// The W3C WebDriver protocol over HTTP on 127.0.0.1, as much as the tests use.
async function openWebDriver(dark) {
  const port = await freePort();
  // WebKitGTK takes a GTK theme named ":dark" for the system's dark mode.
  const env = dark ? { ...process.env, GTK_THEME: 'Adwaita:dark' } : process.env;
  const driver = spawn(binaries.webkit, [`--port=${port}`, '--host=127.0.0.1'], { stdio: 'ignore', env });
  const base = `http://127.0.0.1:${port}`;
  const call = async (method, url, body) => {
    const response = await fetch(base + url, {
      method,
      headers: { 'Content-Type': 'application/json' },
      body: body === undefined ? undefined : JSON.stringify(body),
    });
    const answer = await response.json();
    if (!response.ok) throw new Error(`WebDriver ${method} ${url}: ${answer.value && answer.value.message}`);
    return answer.value;
  };
  for (let tries = 0; ; tries++) {
    try {
      await call('GET', '/status');
      break;
    } catch (e) {
      if (tries > 100) throw e;
      await new Promise((r) => setTimeout(r, 100));
    }
  }
  const session = await call('POST', '/session', {
    capabilities: {
      alwaysMatch: {
        'webkitgtk:browserOptions': {
          binary: '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser',
          args: ['--automation'],
        },
      },
    },
  });
  const s = `/session/${session.sessionId}`;
  const evaluate = (fn, ...args) =>
    call('POST', `${s}/execute/sync`, { script: `return (${fn.toString()}).apply(null, arguments);`, args });
  await call('POST', `${s}/window/rect`, { width: 900, height: 700 }).catch(() => {});
  return {
    engine: 'webkit',
    pid: driver.pid,
    errors: [],
    goto: (url) => call('POST', `${s}/url`, { url }),
    evaluate,
    waitFor: async (fn, timeout, ...args) => {
      const end = Date.now() + timeout;
      while (!(await evaluate(fn, ...args))) {
        if (Date.now() > end) throw new Error(`Waited ${timeout} ms for ${fn}`);
        await new Promise((r) => setTimeout(r, 100));
      }
    },
    upload: async (selector, file) => {
      const element = await call('POST', `${s}/element`, { using: 'css selector', value: selector });
      const id = element[Object.keys(element)[0]];
      await call('POST', `${s}/element/${id}/value`, { text: file });
    },
    screenshot: async (file) => fs.writeFileSync(file, Buffer.from(await call('GET', `${s}/screenshot`), 'base64')),
    close: async () => {
      await call('DELETE', s).catch(() => {});
      driver.kill();
    },
  };
}

// Resident memory (bytes) and processor time used so far (seconds) of a
// process and all below it.
export function treeUsage(pid) {
  const children = new Map(), stats = new Map();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      const ppid = Number(fields[1]);
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(Number(entry));
      // utime and stime, in clock ticks of 1/100 s; resident pages of 4 KiB.
      stats.set(Number(entry), { cpu: (Number(fields[11]) + Number(fields[12])) / 100, rss: Number(fields[21]) * 4096 });
    } catch {
      // gone meanwhile
    }
  }
  const usage = { rss: 0, cpu: 0 };
  const pending = [pid];
  while (pending.length) {
    const p = pending.pop();
    const stat = stats.get(p);
    if (!stat) continue;
    usage.rss += stat.rss;
    usage.cpu += stat.cpu;
    pending.push(...(children.get(p) || []));
  }
  return usage;
}

export function version(engine) {
  try {
    if (engine === 'webkit')
      return 'WebKitGTK ' + execFileSync('dpkg-query', ['-W', '-f=${Version}', 'libwebkit2gtk-4.1-0'], { encoding: 'utf8' });
    return execFileSync(binaries[engine], ['--version'], { encoding: 'utf8' }).trim().split('\n')[0];
  } catch {
    return '?';
  }
}

// Serves a folder on 127.0.0.1 as any static host would (no special
// headers) and keeps the path of every request, so a test can see that a
// page asked for nothing more.
export async function serveFolder(folder) {
  const http = await import('node:http');
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm', '.png': 'image/png' };
  const requests = [];
  const server = http.createServer((request, response) => {
    requests.push(request.url);
    const file = path.join(folder, path.normalize(decodeURIComponent(request.url.split('?')[0])));
    if (!file.startsWith(folder) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/`, requests, close: () => server.close() };
}
