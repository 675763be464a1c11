// Linked into the core's script (emcc --post-js): the worker's side of the
// in-memory file system, kept to what the fix needs in memory.

// The core fixes a working copy of the picked file in place. The copy is a
// view of that file: what the fix has not written is read from the picked
// file itself as it is needed, and only the chunks the fix writes are held.
// The fix writes front to back from the old viewer entry on (the entries
// after it move down, the new viewer and the directory go at the end), so
// chunks it has written past are sealed into Blobs: the changed part is
// held once, outside the worker's heap, and the download is the picked
// file's unchanged front and those Blobs. Bytes the fix moves (written as
// they were read from elsewhere in the picked file, and found equal to it
// there) are not held at all: their chunk keeps runs of the picked file
// instead, which the download slices from the page's own File. Later
// writes into a sealed chunk (the new entry's header, completed after its
// data) are kept as patches. A sealed chunk cannot be read back: such a
// read fails with EIO rather than giving wrong bytes. A save never reads
// one; only the rollback of a failed save would, and then the page reports
// that EIO. Either way the picked file is only read and no download is
// offered.
//
// A chunk of the copy is absent (the picked file's bytes, as far as it
// still holds the copy's), a Uint8Array of written bytes, {runs} (runs
// {at, length, src} over the whole chunk: src an offset into the picked
// file, or -1 for zeros), or sealed: {sealed, blob} or {sealed, runs}.
(function () {
  const Chunk = 1024 * 1024;  // the core's own read and write size
  // What one read of the picked file takes: each read costs an engine a
  // fixed share besides its bytes (Chromium and WebKit most), and every
  // pass of the fix goes through the whole file. Pieces the page hands
  // over are as large, so a block lies in one of them.
  const Block = 8 * Chunk;
  const failIO = () => {
    throw new FS.ErrnoError(29);  // EIO
  };

  // Arrays of sealed chunks, for the next chunks written: the tab's
  // collector frees arrays late, and each one left to it would count.
  const spare = [];
  const newChunk = () => spare.pop() || new Uint8Array(Chunk);
  // The working copies open now: none once a fix has ended.
  const views = new Set();

  // A chunk of the picked file, whole (shorter at its end), out of the
  // block read that holds it.
  function fileChunk(view, index) {
    const start = index * Chunk, length = Math.max(0, Math.min(Chunk, view.base.size - start));
    if (!length) return new Uint8Array(0);
    const block = Math.floor(start / Block), blockStart = block * Block;
    const blockLength = Math.min(Block, view.base.size - blockStart);
    let cached = view.cached.find((c) => c.index === block);
    // A cached array of a piece given back since is empty.
    if (!cached || cached.bytes.length !== blockLength) {
      const began = performance.now();
      cached = { index: block, bytes: view.base.read(blockStart, blockStart + blockLength) };
      view.reading.ms += performance.now() - began;
      view.reading.count++;
      // Two: a move reads one chunk while it writes into another.
      view.cached.filter((c) => c.index !== block).slice(1).forEach((c) => view.base.release(c.bytes));
      view.cached = [cached].concat(view.cached.filter((c) => c.index !== block).slice(0, 1));
    }
    return cached.bytes.subarray(start - blockStart, start - blockStart + length);
  }

  // A chunk as the picked file holds it, as far as it still holds the
  // copy's bytes: less once the copy was cut shorter, and what grows again
  // after that reads as zeros. Shorter than Chunk at the end.
  function baseChunk(view, index) {
    const length = Math.min(Chunk, view.baseEnd - index * Chunk);
    return length > 0 ? fileChunk(view, index).subarray(0, length) : new Uint8Array(0);
  }

  // The same as runs: the picked file's bytes, then zeros.
  function baseRuns(view, index) {
    const length = Math.max(0, Math.min(Chunk, view.baseEnd - index * Chunk));
    const runs = length ? [{ at: 0, length, src: index * Chunk }] : [];
    return length < Chunk ? runs.concat({ at: length, length: Chunk - length, src: -1 }) : runs;
  }

  // Bytes [from, from + count) of a chunk into target at at; past a short
  // chunk's end they are zeros.
  function copyOut(chunk, from, count, target, at) {
    const part = chunk.subarray(from, from + count);
    target.set(part, at);
    if (part.length < count) target.fill(0, at + part.length, at + count);
  }

  // Calls visit(index, from, count, at) for the chunks that hold
  // [position, position + length), at being the offset into that range.
  function span(position, length, visit) {
    for (let at = 0; at < length;) {
      const index = Math.floor((position + at) / Chunk), from = (position + at) % Chunk;
      const count = Math.min(Chunk - from, length - at);
      visit(index, from, count, at);
      at += count;
    }
  }

  // Bytes [from, from + count) of a chunk of runs into target at at.
  function runsOut(view, runs, from, count, target, at) {
    for (const run of runs) {
      const low = Math.max(from, run.at), high = Math.min(from + count, run.at + run.length);
      if (low >= high) continue;
      if (run.src < 0) target.fill(0, at + low - from, at + high - from);
      else span(run.src + low - run.at, high - low, (index, first, n, into) =>
        copyOut(fileChunk(view, index), first, n, target, at + low - from + into));
    }
  }

  // runs with run laid over them, neighbours that continue each other joined.
  function layRun(runs, run) {
    const end = run.at + run.length, laid = [];
    for (const r of runs) {
      const rEnd = r.at + r.length;
      if (r.at < run.at) laid.push({ at: r.at, length: Math.min(rEnd, run.at) - r.at, src: r.src });
      if (r.at <= run.at && rEnd > run.at) laid.push(run);
      if (rEnd > end) {
        const skip = Math.max(0, end - r.at);
        laid.push({ at: r.at + skip, length: r.length - skip, src: r.src < 0 ? -1 : r.src + skip });
      }
    }
    return laid.reduce((joined, r) => {
      const last = joined[joined.length - 1];
      const continues = last && (last.src < 0 ? r.src < 0 : last.src + last.length === r.src);
      if (continues) last.length += r.length;
      else joined.push({ at: r.at, length: r.length, src: r.src });
      return joined;
    }, []);
  }

  // Whether two arrays of one length hold the same bytes; word by word
  // where they line up.
  function sameBytes(a, b) {
    let i = 0;
    const n = a.length;
    if ((a.byteOffset - b.byteOffset) % 4 === 0) {
      for (; i < n && (a.byteOffset + i) % 4; i++) if (a[i] !== b[i]) return false;
      const words = (n - i) >> 2;
      const wa = new Uint32Array(a.buffer, a.byteOffset + i, words);
      const wb = new Uint32Array(b.buffer, b.byteOffset + i, words);
      for (let w = 0; w < words; w++) if (wa[w] !== wb[w]) return false;
      i += words * 4;
    }
    for (; i < n; i++) if (a[i] !== b[i]) return false;
    return true;
  }

  // Where in the picked file bytes written from the heap came from, or -1:
  // a write from where a recent read put its bytes is a move, if the bytes
  // are the picked file's at the place read.
  function movedFrom(view, bytes) {
    for (const read of view.reads) {
      const at = bytes.byteOffset - read.byteOffset;
      if (bytes.buffer !== read.buffer || at < 0 || at + bytes.length > read.length) continue;
      const src = read.position + at;
      if (src + bytes.length > view.base.size) continue;
      try {
        let same = true;
        span(src, bytes.length, (index, from, count, into) => {
          const file = fileChunk(view, index).subarray(from, from + count);
          same = same && sameBytes(file, bytes.subarray(into, into + count));
        });
        if (same) return src;
      } catch (e) {
        // A piece already given back: the bytes are held as written.
      }
    }
    return -1;
  }

  function read(node, buffer, offset, length, position) {
    const view = node.nvxView;
    const size = Math.max(0, Math.min(node.usedBytes - position, length));
    span(position, size, (index, from, count, at) => {
      const chunk = view.chunks.get(index) || baseChunk(view, index);
      if (chunk.sealed) failIO();
      if (chunk.runs) runsOut(view, chunk.runs, from, count, buffer, offset + at);
      else copyOut(chunk, from, count, buffer, offset + at);
    });
    // The last two reads, for a move's writes to be found by.
    const into = { buffer: buffer.buffer, byteOffset: buffer.byteOffset + offset, length: size, position };
    view.reads = [into].concat(view.reads.slice(0, 1));
    return size;
  }

  function write(node, buffer, offset, length, position) {
    const view = node.nvxView;
    span(position, length, (index, from, count, at) => {
      const bytes = buffer.subarray(offset + at, offset + at + count);
      let chunk = view.chunks.get(index);
      if (chunk && chunk.sealed) {
        view.patches.push({ at: position + at, bytes: bytes.slice() });
        return;
      }
      if (!(chunk instanceof Uint8Array)) {
        const src = movedFrom(view, new Uint8Array(bytes.buffer, bytes.byteOffset, count));
        if (src >= 0) {
          const runs = chunk ? chunk.runs : baseRuns(view, index);
          view.chunks.set(index, { runs: layRun(runs, { at: from, length: count, src }) });
          return;
        }
        const written = newChunk();
        if (count !== Chunk) {
          if (chunk) runsOut(view, chunk.runs, 0, Chunk, written, 0);
          else copyOut(baseChunk(view, index), 0, Chunk, written, 0);
        }
        view.chunks.set(index, (chunk = written));
      }
      chunk.set(bytes, from);
    });
    node.usedBytes = Math.max(node.usedBytes, position + length);
    node.timestamp = Date.now();
    // Chunks wholly in front of this write are done with.
    const before = Math.floor(position / Chunk);
    view.chunks.forEach((chunk, index) => {
      if (index >= before || chunk.sealed) return;
      if (chunk.runs) return view.chunks.set(index, { sealed: true, runs: chunk.runs });
      // The Blob takes a copy of the bytes as it is made.
      view.chunks.set(index, { sealed: true, blob: new Blob([chunk]) });
      if (spare.length < 4) spare.push(chunk);
    });
    view.base.dropWritten(view);
    return length;
  }

  function resize(node, size) {
    const view = node.nvxView;
    view.baseEnd = Math.min(view.baseEnd, size);
    const last = Math.floor(size / Chunk), cut = size % Chunk;
    view.chunks.forEach((chunk, index) => {
      if (index > last || (index === last && cut === 0)) view.chunks.delete(index);
      else if (index !== last) return;
      else if (chunk.sealed) failIO();
      else if (chunk.runs) chunk.runs = layRun(chunk.runs, { at: cut, length: Chunk - cut, src: -1 });
      else chunk.fill(0, cut);
    });
    view.patches = view.patches.filter((patch) => patch.at < size)
      .map((patch) => ({ at: patch.at, bytes: patch.bytes.subarray(0, size - patch.at) }));
    node.usedBytes = size;
    view.base.dropWritten(view);
  }

  // The view's calls stand in for the in-memory file system's own on the
  // working copy only; other files (the save's rollback store) are ordinary.
  const own = (table, name, mine) => {
    const theirs = table[name];
    table[name] = function (stream) {
      if (!stream.node.nvxView) return theirs.apply(this, arguments);
      const rest = Array.prototype.slice.call(arguments, 1);
      return mine.apply(this, [stream.node].concat(rest));
    };
  };
  for (const table of new Set([MEMFS.stream_ops, MEMFS.ops_table && MEMFS.ops_table.file.stream])) {
    if (!table) continue;
    own(table, 'read', read);
    own(table, 'write', write);
    own(table, 'allocate', (node, offset, length) => {
      if (offset + length > node.usedBytes) resize(node, offset + length);
    });
    own(table, 'mmap', failIO);
  }
  const resizeFileStorage = MEMFS.resizeFileStorage;
  MEMFS.resizeFileStorage = function (node, size) {
    return node.nvxView ? resize(node, size) : resizeFileStorage.apply(this, arguments);
  };

  const releasesReads = typeof ArrayBuffer.prototype.transfer === 'function' && !/Chrome\//.test(navigator.userAgent);

  const detach = (buffer) => typeof buffer.transfer === 'function' && buffer.transfer(0);

  // The page's copy of a file the worker cannot read (WebKit on a page
  // opened from the disk, where it cannot read a Blob of its own either),
  // in pieces of whole chunks: a piece is given back during the fix once no
  // chunk of the copy still reads from it (unwritten ones inside the copy,
  // unsealed ones that refer to it), so that the file and the changed part
  // are not held both at once. Sealed chunks that refer to it need it no
  // more: the page slices its own File for them.
  function piecesBase(pieces) {
    const starts = [];
    let size = 0;
    for (const piece of pieces) {
      starts.push(size);
      size += piece.byteLength;
    }
    const at = (start) => {
      let i = starts.length - 1;
      while (starts[i] > start) i--;
      return i;
    };
    return {
      size,
      read: (start, end) => {
        const i = at(start);
        if (!pieces[i]) failIO();
        return new Uint8Array(pieces[i], start - starts[i], end - start);
      },
      release: () => {},
      dropWritten: (view) => {
        const referred = [];
        view.chunks.forEach((chunk) => chunk.runs && !chunk.sealed &&
          chunk.runs.forEach((run) => run.src >= 0 && referred.push(run)));
        pieces.forEach((piece, i) => {
          if (!piece) return;
          const start = starts[i], end = start + piece.byteLength;
          let needed = referred.some((run) => run.src < end && run.src + run.length > start);
          for (let index = start / Chunk; !needed && index * Chunk < Math.min(end, view.baseEnd); index++) {
            needed = !view.chunks.has(index);
          }
          if (needed) return;
          pieces[i] = null;
          detach(piece);
        });
      },
      close: () => pieces.forEach((piece, i) => piece && (pieces[i] = null, detach(piece))),
    };
  }

  // A working copy at path of a File, or of the pieces the page read of it.
  MEMFS.nvxOpenView = function (path, file, pieces) {
    const base = pieces ? piecesBase(pieces) : {
      size: file.size,
      read: (start, end) => new Uint8Array(new FileReaderSync().readAsArrayBuffer(file.slice(start, end))),
      // Each read is a new array. WebKit's collector keeps every one of
      // them to the end of the fix, so there they are given up at once;
      // Chromium's frees them in time, and giving them up costs it more
      // than it saves (measured by bench/web_mode.mjs).
      release: (read) => releasesReads && read.buffer.transfer(0),
      dropWritten: () => {},
      close: () => {},
    };
    FS.writeFile(path, new Uint8Array(0));
    const node = FS.lookupPath(path).node;
    // reading: the time and number of reads of the picked file, for the benchmark.
    node.nvxView = { base, baseEnd: base.size, chunks: new Map(), patches: [], cached: [], reads: [],
                     reading: { ms: 0, count: 0 } };
    views.add(node.nvxView);
    node.usedBytes = base.size;
    return node;
  };

  // Gives back all a working copy holds, and the spare arrays; what the
  // fix made stays only in the parts handed to the page.
  MEMFS.nvxCloseView = function (node) {
    const view = node.nvxView;
    if (!view) return;
    for (const stream of FS.streams) if (stream && stream.node === node) FS.close(stream);
    view.cached.forEach((c) => view.base.release(c.bytes));
    view.base.close();
    view.chunks.clear();
    view.cached = view.patches = view.reads = [];
    view.base = null;
    node.nvxView = null;
    node.usedBytes = 0;
    views.delete(view);
    spare.length = 0;
  };

  // What the worker still holds of working copies, for the page's tests:
  // {copies, bytes}.
  MEMFS.nvxHeld = function () {
    let bytes = spare.length * Chunk;
    for (const view of views) {
      view.chunks.forEach((chunk) => (bytes += chunk.blob ? chunk.blob.size : chunk.runs ? 0 : chunk.length));
      view.patches.forEach((patch) => (bytes += patch.bytes.length));
      bytes += view.base ? view.base.size : 0;
    }
    return { copies: views.size, bytes };
  };

  // The copy as the parts of a Blob the page makes: unwritten chunks and
  // runs of chunks that refer to the picked file are {start, end} of it
  // (the page slices its own File, so that no copy of it is made), written
  // ones their arrays or Blobs, with the patches on top.
  MEMFS.nvxParts = function (node) {
    const view = node.nvxView;
    const parts = [];
    const slice = (start, end) => {
      const last = parts[parts.length - 1];
      if (last && last.end === start) last.end = end;
      else parts.push({ start, end });
    };
    for (let start = 0; start < node.usedBytes;) {
      const index = Math.floor(start / Chunk);
      const chunk = view.chunks.get(index);
      let end = Math.min((index + 1) * Chunk, node.usedBytes);
      if (chunk && chunk.runs) {
        for (const run of chunk.runs) {
          const length = Math.min(run.length, end - start - run.at);
          if (length <= 0) continue;
          if (run.src < 0) parts.push(new Uint8Array(length));
          else slice(run.src, run.src + length);
        }
      } else if (chunk) {
        parts.push(chunk.blob ? chunk.blob.slice(0, end - start) : chunk.subarray(0, end - start));
      } else {
        while (end < node.usedBytes && !view.chunks.has(Math.floor(end / Chunk))) {
          end = Math.min(end + Chunk, node.usedBytes);
        }
        const baseTo = Math.min(end, view.baseEnd);
        if (baseTo > start) slice(start, baseTo);
        if (end > Math.max(start, baseTo)) parts.push(new Uint8Array(end - Math.max(start, baseTo)));
      }
      start = end;
    }
    // Patched bytes as a second layer: the parts cut around each patch.
    let segments = [], at = 0;
    for (const part of parts) {
      const length = part instanceof Blob ? part.size : part.length !== undefined ? part.length : part.end - part.start;
      segments.push({ start: at, end: at + length, part, offset: 0 });
      at += length;
    }
    const cut = (s, from, to) => ({ start: from, end: to, part: s.part, offset: s.offset + from - s.start });
    for (const patch of view.patches) {
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
  };
})();

// Fixes one File through a working copy of it, or of the pieces the page
// read of it where the worker cannot read files. Gives {kind, text, parts,
// commands, reading}, parts as MEMFS.nvxParts gives them for a fixed
// archive, commands the Terminal lines its notes call for, reading the
// reads of the picked file ({ms, count}) and the time parts took ({parts}).
// Whatever the end, the working copy is given back.
Module.fixFile = function (file, pieces) {
  const folder = '/work', path = folder + '/' + file.name;
  FS.mkdirTree(folder);
  const node = MEMFS.nvxOpenView(path, file, pieces);
  try {
    const [kind, ...text] = Module.ccall('NvxWebFix', 'string', ['string'], [path]).split('\n');
    const commands = Module.ccall('NvxWebCommands', 'string', [], []).split('\n').filter(Boolean);
    const began = performance.now();
    const parts = kind === 'done' || kind === 'warning' ? MEMFS.nvxParts(node) : null;
    const reading = Object.assign({ parts: performance.now() - began }, node.nvxView.reading);
    return { kind, text: text.join('\n'), commands, parts, reading };
  } finally {
    MEMFS.nvxCloseView(node);
    FS.unlink(path);
  }
};

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
