// The fix runs here, off the page's thread, so the page keeps answering.
// In: {id, file, limit} and, when asked for, {id, file, pieces, limit}
// (ArrayBuffers of the file, front to back); limit is the memory a fix may
// need at most, none when the user said to go on.
// {stall: true} (a test's) keeps it from saying it is ready.
// Out: {type: 'started'} once its core runs, then {type: 'ready',
// placeholder}; {type: 'progress', id, text, done,
// total}; {type: 'need-bytes', id} when the file cannot be read here;
// {type: 'end', id, kind: 'large', needs} for a fix that would need more
// than limit, not begun; {type: 'end', id, kind, text, commands, parts,
// held, grown, reading, stages, took} for a fix. stages: [stage, ms after
// the fix began] as each stage first showed; took: the fix's ms; reading
// as Module.fixFile gives it (for the benchmark); held: what the worker
// still holds of the fix ({copies, bytes}, none unless something leaked);
// grown: the heap grew, which only a new worker gives back.
'use strict';
const waiting = [];
const WarmUpMs = 3000;
let current = null, ready = false, startHeap = 0, stall = false;
let stages = [], began = 0, posted = 0;

var Module = {
  // A new stage is told at once, its percentages at most every 50 ms: each
  // message costs the fix and the page's drawing more than the bar gains.
  onFixProgress(text, done, total) {
    const stage = text.split('...')[0], now = performance.now();
    const fresh = !stages.some(([shown]) => shown === stage);
    if (fresh) stages.push([stage, Math.round(now - began)]);
    else if (now - posted < 50) return;
    posted = now;
    postMessage({ type: 'progress', id: current, text, done, total });
  },
  async onRuntimeInitialized() {
    postMessage({ type: 'started' });
    Module._NvxWebStart();
    // A warm-up that fails, or never ends, costs only speed: the page hears
    // that the worker is ready all the same.
    const warmed = Module.warmUp().catch(() => {});
    await Promise.race([warmed, new Promise((resolve) => setTimeout(resolve, WarmUpMs))]);
    if (stall) return;
    startHeap = Module.heapSize();
    postMessage({ type: 'ready', placeholder: Module._NvxWebIsPlaceholder() !== 0 });
    ready = true;
    fixWaiting();
  },
  // Out of memory, say: the core cannot go on, and the page says so.
  onAbort(what) {
    postMessage({ type: 'end', id: current, kind: 'error', text: 'The fixer stopped: ' + what, fatal: true });
  },
};

// One fix at a time: a fix may wait for reads of its file, and a fix
// handed over meanwhile waits its turn.
let fixing = false;
async function fixWaiting() {
  if (fixing) return;
  fixing = true;
  try {
    await fixEach();
  } finally {
    fixing = false;
  }
}

async function fixEach() {
  while (waiting.length) {
    const { id, file, pieces, limit } = waiting.shift();
    if (!pieces && !Module.canReadFile(file)) {
      postMessage({ type: 'need-bytes', id });
      continue;
    }
    current = id;
    stages = [];
    began = performance.now();
    let result;
    try {
      result = await Module.fixFile(file, pieces, limit);
    } catch (e) {
      result = { kind: 'error', text: String((e && e.message) || e) };
    }
    const took = Math.round(performance.now() - began);
    postMessage({ type: 'end', id, ...result, stages, took, held: MEMFS.nvxHeld(), grown: Module.heapSize() > startHeap });
  }
}

onmessage = (event) => {
  if (event.data.stall) return void (stall = true);
  waiting.push(event.data);
  if (ready) fixWaiting();
};
