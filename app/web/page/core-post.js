// Linked into the core's script (emcc --post-js): the worker's side of the
// in-memory file system, kept to what a fix needs in memory.

// The core fixes the picked file without writing to it. It reads the file
// through a read-only view, writes what changes into a second file (the
// written part) at the offsets those bytes have in the fixed archive, and
// then says, stretch by stretch, where every byte of the fixed archive is:
// in the written part, in the picked file from an offset, or zeros (its
// layout). The download is made of those: slices of the page's own File for
// all the fix leaves as it was, or moves, and the written bytes.
//
// The view reads the picked file in blocks as they are needed. The written
// part is held in chunks; the core writes it front to back (the new viewer,
// then the directory), so chunks it has written past are sealed into
// Blobs, outside the worker's heap. Later writes into a sealed chunk (the
// new entry's header, completed after its data) are kept as patches. A
// sealed chunk cannot be read back: such a read fails with EIO rather than
// giving wrong bytes; a save never reads one.
(function () {
  const Chunk = 1024 * 1024;  // the core's own read and write size
  // What one read of the picked file takes: reads that go on from the last
  // one (the check's, front to back) take a Block at a time, since each
  // read costs an engine a fixed share besides its bytes (Chromium most);
  // a look elsewhere (the directory, the entries the judgement reads) takes
  // a Chunk, so that it costs no Block the check then reads again. The last
  // KeptReads are kept: an entry's header and its data may lie in two.
  // Reads stop at a Block's end, and the pieces the page hands over are a
  // whole number of Blocks, so a read lies in one of them.
  const Block = 8 * Chunk, KeptReads = 3;
  const failIO = () => {
    throw new FS.ErrnoError(29);  // EIO
  };

  // Arrays of sealed chunks, for the next chunks written: the tab's
  // collector frees arrays late, and each one left to it would count.
  const spare = [];
  // The views and written parts open now: none once a fix has ended.
  const open = new Set();

  // Calls visit(index, from, count, at) for the units of size unit that
  // hold [position, position + length), at being the offset into that range.
  function span(unit, position, length, visit) {
    for (let at = 0; at < length;) {
      const index = Math.floor((position + at) / unit), from = (position + at) % unit;
      const count = Math.min(unit - from, length - at);
      visit(index, from, count, at);
      at += count;
    }
  }

  // The read of the picked file that holds position, out of the last ones
  // used or made now.
  function readAt(view, position) {
    const at = view.cached.findIndex((c) => c.start <= position && position < c.end);
    if (at >= 0) {
      const [used] = view.cached.splice(at, 1);
      view.cached.unshift(used);
      return used;
    }
    const start = Math.floor(position / Chunk) * Chunk;
    const end = Math.min(start + (position === view.readEnd ? Block : Chunk), (Math.floor(start / Block) + 1) * Block,
      view.base.size);
    const began = performance.now();
    const read = { start, end, bytes: view.base.read(start, end) };
    view.reading.ms += performance.now() - began;
    view.reading.count++;
    view.cached.splice(KeptReads - 1).forEach((c) => view.base.release(c.bytes));
    view.cached.unshift(read);
    return read;
  }

  function readPicked(node, buffer, offset, length, position) {
    const view = node.nvxPicked;
    const size = Math.max(0, Math.min(view.base.size - position, length));
    for (let done = 0; done < size;) {
      const read = readAt(view, position + done), from = position + done - read.start;
      const count = Math.min(read.end - read.start - from, size - done);
      buffer.set(read.bytes.subarray(from, from + count), offset + done);
      done += count;
      view.readEnd = position + done;
    }
    return size;
  }

  function readWritten(node, buffer, offset, length, position) {
    const part = node.nvxWritten;
    const size = Math.max(0, Math.min(node.usedBytes - position, length));
    span(Chunk, position, size, (index, from, count, at) => {
      const chunk = part.chunks.get(index);
      if (chunk && chunk.blob) failIO();
      if (chunk) buffer.set(chunk.subarray(from, from + count), offset + at);
      else buffer.fill(0, offset + at, offset + at + count);
    });
    return size;
  }

  function write(node, buffer, offset, length, position) {
    const part = node.nvxWritten;
    span(Chunk, position, length, (index, from, count, at) => {
      const bytes = buffer.subarray(offset + at, offset + at + count);
      let chunk = part.chunks.get(index);
      if (chunk && chunk.blob) return part.patches.push({ at: position + at, bytes: bytes.slice() });
      if (!chunk) {
        chunk = spare.length ? spare.pop().fill(0) : new Uint8Array(Chunk);
        part.chunks.set(index, chunk);
      }
      chunk.set(bytes, from);
    });
    node.usedBytes = Math.max(node.usedBytes, position + length);
    node.timestamp = Date.now();
    // Chunks wholly in front of this write are done with; the Blob takes a
    // copy of the bytes as it is made.
    const before = Math.floor(position / Chunk);
    part.chunks.forEach((chunk, index) => {
      if (index >= before || chunk.blob) return;
      part.chunks.set(index, { blob: new Blob([chunk]) });
      if (spare.length < 4) spare.push(chunk);
    });
    return length;
  }

  function resize(node, size) {
    const part = node.nvxWritten;
    const last = Math.floor(size / Chunk), cut = size % Chunk;
    part.chunks.forEach((chunk, index) => {
      if (index > last || (index === last && cut === 0)) part.chunks.delete(index);
      else if (index !== last) return;
      else if (chunk.blob) failIO();
      else chunk.fill(0, cut);
    });
    part.patches = part.patches.filter((patch) => patch.at < size)
      .map((patch) => ({ at: patch.at, bytes: patch.bytes.subarray(0, size - patch.at) }));
    node.usedBytes = size;
  }

  // These calls stand in for the in-memory file system's own on the view
  // and the written part only; other files (the save's rollback store)
  // are ordinary.
  const own = (table, name, picked, written) => {
    const theirs = table[name];
    table[name] = function (stream) {
      const node = stream.node, mine = node.nvxPicked ? picked : node.nvxWritten ? written : null;
      if (!mine) return theirs.apply(this, arguments);
      return mine.apply(this, [node].concat(Array.prototype.slice.call(arguments, 1)));
    };
  };
  for (const table of new Set([MEMFS.stream_ops, MEMFS.ops_table && MEMFS.ops_table.file.stream])) {
    if (!table) continue;
    own(table, 'read', readPicked, readWritten);
    own(table, 'write', failIO, write);
    own(table, 'allocate', failIO, (node, offset, length) => {
      if (offset + length > node.usedBytes) resize(node, offset + length);
    });
    own(table, 'mmap', failIO, failIO);
  }
  const resizeFileStorage = MEMFS.resizeFileStorage;
  MEMFS.resizeFileStorage = function (node, size) {
    if (node.nvxPicked) failIO();
    return node.nvxWritten ? resize(node, size) : resizeFileStorage.apply(this, arguments);
  };

  const releasesReads = typeof ArrayBuffer.prototype.transfer === 'function' && !/Chrome\//.test(navigator.userAgent);
  const detach = (buffer) => typeof buffer.transfer === 'function' && buffer.transfer(0);

  // The page's copy of a file the worker cannot read (WebKit on a page
  // opened from the disk, where it cannot read a Blob of its own either),
  // in pieces of whole blocks, given back when the fix ends.
  function piecesBase(pieces) {
    let size = 0;
    for (const piece of pieces) size += piece.byteLength;
    const pieceBytes = pieces.length ? pieces[0].byteLength : Block;
    return {
      size,
      read: (start, end) => {
        const piece = pieces[Math.floor(start / pieceBytes)];
        if (!piece) failIO();
        return new Uint8Array(piece, start % pieceBytes, end - start);
      },
      release: () => {},
      close: () => pieces.forEach((piece, i) => piece && (pieces[i] = null, detach(piece))),
    };
  }

  function fileBase(file) {
    return {
      size: file.size,
      read: (start, end) => new Uint8Array(new FileReaderSync().readAsArrayBuffer(file.slice(start, end))),
      // Each read is a new array. WebKit's collector keeps every one of
      // them to the end of the fix, so there they are given up at once;
      // Chromium's frees them in time, and giving them up costs it more
      // than it saves (measured by bench/web_mode.mjs).
      release: (read) => releasesReads && read.buffer.transfer(0),
      close: () => {},
    };
  }

  // A read-only view at path of a File, or of the pieces the page read of it.
  function openPicked(path, file, pieces) {
    FS.writeFile(path, new Uint8Array(0));
    const node = FS.lookupPath(path).node;
    // reading: the time and number of reads of the picked file, for the benchmark.
    node.nvxPicked = { base: pieces ? piecesBase(pieces) : fileBase(file), cached: [], readEnd: -1,
                       reading: { ms: 0, count: 0 } };
    node.usedBytes = node.nvxPicked.base.size;
    open.add(node.nvxPicked);
    return node;
  }

  // An empty written part at path.
  function openWritten(path) {
    FS.writeFile(path, new Uint8Array(0));
    const node = FS.lookupPath(path).node;
    node.nvxWritten = { chunks: new Map(), patches: [] };
    open.add(node.nvxWritten);
    return node;
  }

  // Gives back all a view or a written part holds, and the spare arrays;
  // what the fix made stays only in the parts handed to the page.
  function close(node) {
    for (const stream of FS.streams) if (stream && stream.node === node) FS.close(stream);
    const view = node.nvxPicked, part = node.nvxWritten;
    if (view) {
      view.cached.forEach((c) => view.base.release(c.bytes));
      view.base.close();
      open.delete(view);
    }
    if (part) open.delete(part);
    node.nvxPicked = node.nvxWritten = null;
    node.usedBytes = 0;
    spare.length = 0;
  }

  // What the worker still holds of views and written parts, for the page's
  // tests: {copies, bytes}.
  MEMFS.nvxHeld = function () {
    let bytes = spare.length * Chunk;
    for (const held of open) {
      if (held.base) bytes += held.cached.reduce((n, c) => n + c.bytes.length, 0);
      else {
        held.chunks.forEach((chunk) => (bytes += chunk.blob ? chunk.blob.size : chunk.length));
        held.patches.forEach((patch) => (bytes += patch.bytes.length));
      }
    }
    return { copies: open.size, bytes };
  };

  // The fixed archive as the parts of a Blob the page makes, from the
  // core's layout (start, length, source, from for each stretch; source 0:
  // the written part, 1: the picked file from from, 2: zeros): slices of
  // the picked file as {start, end} (the page slices its own File, so that
  // no copy of it is made), the written part's arrays and Blobs, with its
  // patches on top.
  function parts(layout, written) {
    const part = written.nvxWritten, list = [];
    for (let i = 0; i < layout.length; i += 4) {
      const [start, length, source, from] = layout.subarray(i, i + 4);
      if (source === 1) {
        const last = list[list.length - 1];
        if (last && last.end === from) last.end = from + length;
        else list.push({ start: from, end: from + length });
      } else if (source === 2) {
        list.push(new Uint8Array(length));
      } else {
        span(Chunk, start, length, (index, first, count) => {
          const chunk = part.chunks.get(index);
          if (!chunk) list.push(new Uint8Array(count));
          else list.push(chunk.blob ? chunk.blob.slice(first, first + count) : chunk.subarray(first, first + count));
        });
      }
    }
    // Patched bytes as a second layer: the parts cut around each patch.
    let segments = [], at = 0;
    for (const p of list) {
      const length = p instanceof Blob ? p.size : p.length !== undefined ? p.length : p.end - p.start;
      segments.push({ start: at, end: at + length, part: p, offset: 0 });
      at += length;
    }
    const cut = (s, from, to) => ({ start: from, end: to, part: s.part, offset: s.offset + from - s.start });
    for (const patch of part.patches) {
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
    return segments.map((s) => {
      const from = s.offset, to = s.offset + s.end - s.start;
      if (s.part instanceof Blob) return s.part.slice(from, to);
      if (s.part instanceof Uint8Array) return s.part.slice(from, to);  // a copy of the range only, as it is posted
      return { start: s.part.start + from, end: s.part.start + to };
    });
  }

  // Fixes one File through a view of it, or of the pieces the page read of
  // it where the worker cannot read files. Gives {kind, text, parts,
  // commands, reading}, parts as above for a fixed archive, commands the
  // Terminal lines its notes call for, reading the reads of the picked file
  // ({ms, count}) and the time parts took ({parts}). With limit, an archive
  // whose fix needs more memory than that is not fixed: {kind: 'large',
  // needs}. Whatever the end, the view and the written part are given back.
  Module.fixFile = function (file, pieces, limit) {
    const folder = '/work', path = folder + '/' + file.name, fixedPath = path + '.fixed';
    FS.mkdirTree(folder);
    const picked = openPicked(path, file, pieces), written = openWritten(fixedPath);
    try {
      // The pieces the page handed over are held to the end too.
      const needs = Module.ccall('NvxWebNeeds', 'number', ['string'], [path]) + (pieces ? file.size : 0);
      if (limit !== undefined && needs > limit) return { kind: 'large', needs };
      const [kind, ...text] = Module.ccall('NvxWebFix', 'string', ['string', 'string'], [path, fixedPath]).split('\n');
      const commands = Module.ccall('NvxWebCommands', 'string', [], []).split('\n').filter(Boolean);
      const began = performance.now();
      const layout = HEAPF64.subarray(Module._NvxWebLayout() / 8, Module._NvxWebLayout() / 8 + Module._NvxWebLayoutLength());
      const fixed = kind === 'done' || kind === 'warning' ? parts(layout, written) : null;
      const reading = Object.assign({ parts: performance.now() - began }, picked.nvxPicked.reading);
      return { kind, text: text.join('\n'), commands, parts: fixed, reading };
    } finally {
      for (const node of [picked, written]) close(node);
      FS.unlink(path);
      FS.unlink(fixedPath);
    }
  };
})();

// The size of the core's heap: it grows for a large fix and never shrinks.
Module.heapSize = () => HEAPU8.length;

// Whether this worker can read a file the page handed over.
Module.canReadFile = function (file) {
  try {
    new FileReaderSync().readAsArrayBuffer(file.slice(0, 1));
    return true;
  } catch (e) {
    return false;
  }
};
