// Linked into the core's script (emcc --post-js): the worker's side of the
// in-memory file system, kept to what the fix needs in memory.

// Files of the in-memory file system are kept as lists of pieces instead
// of one array that is copied into a larger one as the file grows: the
// unpacked tree and the fixed archive are most of the tab's memory, and
// each copy left the old array for the collector, several times the
// file's size in all. A new piece is at least what the write needs and an
// eighth of the file so far (at most 8 MB), so little room is left over;
// what is left in the last piece is cut off when the file is closed.
//
// The fixed archive goes out as a Blob. Its pieces are sealed into Blobs as
// soon as the packer has written past them, so that the archive is never
// held twice (arrays and Blob) at the end; the packer's later rewrites of
// local headers inside them are kept as patches. A sealed piece cannot be
// read back here (the packer never does): such a read fails.
(function () {
  const MaxPiece = 8 * 1024 * 1024;
  const pieces = (node) => node.nvxPieces || (node.nvxPieces = []);
  const capacity = (node) => pieces(node).reduce((sum, piece) => sum + piece.length, 0);
  const failIO = () => {
    throw new FS.ErrnoError(29);  // EIO
  };

  // Files in a folder marked nvxSeals get their written pieces sealed.
  function seal(node, before) {
    if (!node.parent || !node.parent.nvxSeals) return;
    const list = pieces(node);
    let start = 0;
    for (let i = 0; i < list.length; i++) {
      const piece = list[i];
      if (start + piece.length > before) break;
      if (!piece.sealed) list[i] = { sealed: new Blob([piece]), length: piece.length };
      start += piece.length;
    }
  }

  function grow(node, size) {
    const room = capacity(node);
    if (size > room) pieces(node).push(new Uint8Array(Math.max(size - room, Math.min(room >> 3, MaxPiece))));
  }

  // Calls visit(piece, from, count, at) for the parts of the pieces that
  // hold [position, position + length), at being the offset into that range.
  function span(node, position, length, visit) {
    let start = 0, at = 0;
    for (const piece of pieces(node)) {
      const end = start + piece.length;
      if (end > position && at < length) {
        const from = position + at - start, count = Math.min(piece.length - from, length - at);
        visit(piece, from, count, at);
        at += count;
      }
      start = end;
    }
  }

  // Later nodes take their calls from the table made when the first node
  // was; both get these.
  const ops = {};
  ops.read = function (stream, buffer, offset, length, position) {
    const node = stream.node;
    const size = Math.max(0, Math.min(node.usedBytes - position, length));
    span(node, position, size, (piece, from, count, at) =>
      piece.sealed ? failIO() : buffer.set(piece.subarray(from, from + count), offset + at));
    return size;
  };
  ops.write = function (stream, buffer, offset, length, position, canOwn) {
    if (!length) return 0;
    const node = stream.node;
    node.timestamp = Date.now();
    if (node.usedBytes === 0 && position === 0 && !capacity(node)) {
      // The first write: taken over where allowed, copied to size otherwise.
      const own = canOwn && buffer.buffer !== HEAP8.buffer;
      node.nvxPieces = [own ? buffer.subarray(offset, offset + length) : buffer.slice(offset, offset + length)];
    } else {
      grow(node, position + length);
      span(node, position, length, (piece, from, count, at) => {
        const bytes = buffer.subarray(offset + at, offset + at + count);
        if (!piece.sealed) piece.set(bytes, from);
        else (node.nvxPatches || (node.nvxPatches = [])).push({ at: position + at, bytes: bytes.slice() });
      });
    }
    node.usedBytes = Math.max(node.usedBytes, position + length);
    seal(node, position);
    return length;
  };
  ops.allocate = function (stream, offset, length) {
    grow(stream.node, offset + length);
    stream.node.usedBytes = Math.max(stream.node.usedBytes, offset + length);
  };
  // The core maps no files.
  ops.mmap = function () {
    throw new FS.ErrnoError(43);  // ENODEV
  };

  MEMFS.resizeFileStorage = function (node, size) {
    if (size === 0) {
      node.nvxPieces = [];
      node.nvxPatches = [];
    } else if (size < node.usedBytes) {
      // Bytes past the new end read as zeros should the file grow again.
      let start = 0;
      node.nvxPieces = pieces(node).filter((piece) => {
        const keep = start < size;
        if (keep && start + piece.length > size) piece.sealed ? failIO() : piece.fill(0, size - start);
        start += piece.length;
        return keep;
      });
    } else {
      grow(node, size);
    }
    node.usedBytes = size;
  };
  MEMFS.getFileDataAsTypedArray = function (node) {
    const data = new Uint8Array(node.usedBytes);
    span(node, 0, node.usedBytes, (piece, from, count, at) =>
      piece.sealed ? failIO() : data.set(piece.subarray(from, from + count), at));
    return data;
  };

  // The unpacked tree is read once, by the packer, file after file: a
  // file of it read to its end is let go at once, so that the tree and the
  // fixed archive are not both whole in memory. Its size stays; should
  // anything read it again, the read fails (no wrong bytes are packed).
  const ReadOnce = '/tmp/';
  const read = ops.read;
  ops.read = function (stream) {
    if (stream.node.nvxLetGo) throw new FS.ErrnoError(29);  // EIO
    return read.apply(this, arguments);
  };

  for (const table of [MEMFS.stream_ops, MEMFS.ops_table && MEMFS.ops_table.file.stream]) {
    if (table) Object.assign(table, ops);
  }

  const close = FS.close;
  FS.close = function (stream) {
    const node = stream.node;
    const readToEnd = (stream.flags & 3) === 0 && stream.position >= node.usedBytes && node.nvxPieces;
    const result = close.apply(this, arguments);
    if (readToEnd && FS.getPath(node).startsWith(ReadOnce)) {
      node.nvxPieces = [];
      node.nvxLetGo = true;
      return result;
    }
    const list = node && node.nvxPieces;
    const spare = list && list.length ? capacity(node) - node.usedBytes : 0;
    const last = spare > 0 && list[list.length - 1];
    if (last instanceof Uint8Array) {
      list[list.length - 1] = last.slice(0, last.length - Math.min(spare, last.length));
    }
    return result;
  };

  // The file's bytes as a list of parts for a Blob, patches in place:
  // segments [start, end) of the file, each a part and where in it they begin.
  MEMFS.nvxParts = function (node) {
    let segments = [];
    span(node, 0, node.usedBytes, (piece, from, count, at) =>
      segments.push({ start: at, end: at + count, part: piece.sealed || piece, offset: from }));
    const cut = (s, from, to) => ({ start: from, end: to, part: s.part, offset: s.offset + from - s.start });
    for (const patch of node.nvxPatches || []) {
      const end = patch.at + patch.bytes.length, next = [];
      for (const s of segments) {
        if (s.end <= patch.at || s.start >= end) {
          next.push(s);
          continue;
        }
        if (s.start < patch.at) next.push(cut(s, s.start, patch.at));
        if (s.start <= patch.at) next.push({ start: patch.at, end, part: patch.bytes, offset: 0 });
        if (s.end > end) next.push(cut(s, end, s.end));
      }
      segments = next;
    }
    return segments.map((s) => s.part instanceof Blob ? s.part.slice(s.offset, s.offset + s.end - s.start)
      : s.part.subarray(s.offset, s.offset + s.end - s.start));
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
  FS.lookupPath(output).node.nvxSeals = true;
  if (bytes) FS.writeFile(input + '/' + file.name, new Uint8Array(bytes), { canOwn: true });
  else FS.mount(WORKERFS, { files: [file] }, input);
  try {
    const [kind, ...text] = Module.ccall('NvxWebFix', 'string', ['string', 'string'],
      [input + '/' + file.name, output + '/' + file.name]).split('\n');
    let blob = null;
    if (kind === 'done') {
      const node = FS.lookupPath(output + '/' + file.name).node;
      blob = new Blob(MEMFS.nvxParts(node), { type: 'application/zip' });
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
