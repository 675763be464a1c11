// The fix runs here, off the page's thread, so the page keeps answering.
// In: {id, file}. Out: {type: 'ready', placeholder}, {type: 'progress', id,
// text, done, total}, {type: 'end', id, kind, text, blob}.
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
    const { id, file } = waiting.shift();
    current = id;
    let result;
    try {
      result = Module.fixFile(file);
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
