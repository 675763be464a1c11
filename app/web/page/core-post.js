// Linked into the core's script (emcc --post-js): the worker's side of the
// in-memory file system, kept to what the fix needs in memory.

// A file that grew keeps spare room (up to twice its size while small);
// the unpacked tree holds many, so each is cut to its bytes when closed.
(function () {
  const close = FS.close;
  FS.close = function (stream) {
    const node = stream.node;
    const result = close.apply(this, arguments);
    const contents = node && node.contents;
    if (contents instanceof Uint8Array && contents.length > node.usedBytes) {
      node.contents = contents.slice(0, node.usedBytes);
    }
    return result;
  };

  // The fixed archive is one large file: growing it step by step would
  // hold the old and the new copy at once. Files in a folder that names a
  // size get that room at their first growth.
  const expand = MEMFS.expandFileStorage;
  MEMFS.expandFileStorage = function (node, capacity) {
    const reserve = node.parent && node.parent.nvxReserve;
    return expand.call(this, node, reserve && capacity < reserve ? reserve : capacity);
  };
})();

// Fixes one File: mounted read-only where the core reads it as it goes
// (no copy), or, where the worker cannot read files (WebKit on a page
// opened from the disk), from bytes the page read for it. Writes the
// result to /output. Gives {kind, text, blob}.
Module.fixFile = function (file, bytes) {
  const input = '/input', output = '/output';
  FS.mkdirTree(input);
  FS.mkdirTree(output);
  if (bytes) FS.writeFile(input + '/' + file.name, new Uint8Array(bytes), { canOwn: true });
  else FS.mount(WORKERFS, { files: [file] }, input);
  // Room for the fixed archive: the picked one's size and the new viewer.
  FS.lookupPath(output).node.nvxReserve = file.size + 8 * 1024 * 1024;
  try {
    const [kind, ...text] = Module.ccall('NvxWebFix', 'string', ['string', 'string'],
      [input + '/' + file.name, output + '/' + file.name]).split('\n');
    let blob = null;
    if (kind === 'done') {
      const node = FS.lookupPath(output + '/' + file.name).node;
      blob = new Blob([node.contents.subarray(0, node.usedBytes)], { type: 'application/zip' });
    }
    return { kind, text: text.join('\n'), blob };
  } finally {
    if (bytes) FS.unlink(input + '/' + file.name);
    else FS.unmount(input);
    for (const name of FS.readdir(output)) if (name !== '.' && name !== '..') FS.unlink(output + '/' + name);
  }
};

// Whether this worker can read a file the page handed over.
Module.canReadFile = function (file) {
  try {
    new FileReaderSync().readAsArrayBuffer(file.slice(0, 1));
    return true;
  } catch (e) {
    return false;
  }
};
