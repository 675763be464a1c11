// The fix runs here, off the page's thread, so the page keeps answering.
// In: {id, file} and, when asked for, {id, file, bytes}. Out: {type: 'ready',
// placeholder}, {type: 'progress', id, text, done, total}, {type: 'end', id,
// kind, text, blob}, {type: 'need-bytes', id} when the file cannot be read
// here.
'use strict';
const waiting = [];
let current = null, ready = false;

var Module = {
  onFixProgress(text, done, total) {
    postMessage({ type: 'progress', id: current, text, done, total });
  },
  onRuntimeInitialized() {
    Module._NvxWebStart();
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
    const { id, file, bytes } = waiting.shift();
    if (!bytes && !Module.canReadFile(file)) {
      postMessage({ type: 'need-bytes', id });
      continue;
    }
    current = id;
    let result;
    try {
      result = Module.fixFile(file, bytes);
    } catch (e) {
      result = { kind: 'error', text: String((e && e.message) || e) };
    }
    postMessage({ type: 'end', id, ...result });
  }
}

onmessage = (event) => {
  waiting.push(event.data);
  if (ready) fixWaiting();
};
