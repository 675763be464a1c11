// The fix runs here, off the page's thread, so the page keeps answering.
// In: {id, file} and, when asked for, {id, file, pieces} (ArrayBuffers of
// the file, front to back). Out: {type: 'ready', placeholder},
// {type: 'progress', id, text, done, total}, {type: 'end', id, kind, text,
// commands, parts, held, grown}, {type: 'need-bytes', id} when the file cannot be read
// here. held is what the worker still holds of working copies after the
// fix ({copies, bytes}, none unless something leaked); grown says the heap
// grew, which only a new worker gives back.
'use strict';
const waiting = [];
let current = null, ready = false, startHeap = 0;

var Module = {
  onFixProgress(text, done, total) {
    postMessage({ type: 'progress', id: current, text, done, total });
  },
  onRuntimeInitialized() {
    Module._NvxWebStart();
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

function fixWaiting() {
  while (waiting.length) {
    const { id, file, pieces } = waiting.shift();
    if (!pieces && !Module.canReadFile(file)) {
      postMessage({ type: 'need-bytes', id });
      continue;
    }
    current = id;
    let result;
    try {
      result = Module.fixFile(file, pieces);
    } catch (e) {
      result = { kind: 'error', text: String((e && e.message) || e) };
    }
    postMessage({ type: 'end', id, ...result, held: MEMFS.nvxHeld(), grown: Module.heapSize() > startHeap });
  }
}

onmessage = (event) => {
  waiting.push(event.data);
  if (ready) fixWaiting();
};
