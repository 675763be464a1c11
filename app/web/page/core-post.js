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
  // KeptReads are kept, an entry's header and its data may lie in two, and
  // apart from them the last KeptLooks: the save looks again at headers
  // the judgement looked at.
  // Reads stop at a Block's end, and the pieces the page hands over are a
  // whole number of Blocks, so a read lies in one of them. Reads made
  // ahead (below) take Blocks too, several at a time.
  const Block = 8 * Chunk, KeptReads = 3, KeptLooks = 2;
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

  // Whether a read (kept, made ahead or on its way) holds position.
  const holds = (read, position) => read.start <= position && position < read.end;

  // The read of the picked file that holds position, out of the last ones
  // used or made now.
  function readAt(view, position) {
    const at = view.cached.findIndex((c) => holds(c, position));
    if (at >= 0) {
      const [used] = view.cached.splice(at, 1);
      view.cached.unshift(used);
      return used;
    }
    let read = takeAhead(view, position);
    if (!read) {
      const goesOn = position === view.readEnd, { start, end } = readRange(view, position, goesOn);
      const began = performance.now();
      read = { start, end, bytes: view.base.read(start, end), look: !goesOn };
      view.reading.ms += performance.now() - began;
      view.reading.count++;
    }
    const same = view.cached.filter((c) => c.look === read.look);
    for (const c of same.slice((read.look ? KeptLooks : KeptReads) - 1)) {
      view.cached.splice(view.cached.indexOf(c), 1);
      doneWith(view, c);
    }
    view.cached.unshift(read);
    return read;
  }

  // The read that takes position: a Block where reads go on from the last
  // one, a Chunk elsewhere, never past a Block's end.
  function readRange(view, position, goesOn) {
    const start = Math.floor(position / Chunk) * Chunk;
    const end = Math.min(start + (goesOn ? Block : Chunk), (Math.floor(start / Block) + 1) * Block, view.base.size);
    return { start, end };
  }

  // ---- Reads made ahead ----
  // Where the engine can suspend the core inside a call (JavaScript promise
  // integration), the core does not wait for each read of the picked file
  // in turn: a reader worker reads the file asynchronously, a read of the
  // core waits only for bytes not there yet, and while the core works on
  // one block the reader reads the next ones. Elsewhere, and where the
  // reader cannot run, the view reads as above.
  //
  // Blocks asked for ahead of the core's reads. The core takes the bytes
  // that arrived for a block only when it waits (its worker is busy
  // otherwise), so each block costs it a wait, however early the bytes
  // came: larger blocks are fewer waits.
  const BlocksAhead = 4;
  // Set while a call that may suspend runs: only then may a read wait.
  let suspending = false;
  let reader = null, nextRequest = 0;
  const requested = new Map();

  // The reader (readerMain, file-reader.js), a worker of its own: an
  // engine reads a Blob for a worker only while that worker is free, and
  // the core keeps its worker busy. Null where none can be made.
  function readerWorker() {
    if (reader !== null) return reader || null;
    try {
      const source = '(' + readerMain + ')();';
      reader = new Worker(URL.createObjectURL(new Blob([source], { type: 'text/javascript' })));
      reader.onmessage = ({ data: { id, bytes } }) => {
        const arrived = requested.get(id);
        requested.delete(id);
        if (arrived) arrived(bytes ? new Uint8Array(bytes) : null);
      };
      // A reader that cannot run (a page whose rules forbid it, say)
      // answers nothing: what waits reads for itself, and so does all after.
      reader.onerror = () => {
        reader = false;
        requested.forEach((arrived) => arrived(null));
        requested.clear();
      };
    } catch (e) {
      reader = false;
    }
    return reader || null;
  }

  // Asks the reader for [start, end) of the view's file, run where it goes
  // on from the last read; the entry gets its bytes when they arrive. One
  // that failed is dropped: the view's own read then says why. Only while
  // the reader runs.
  function requestAhead(view, start, end, run) {
    const entry = { start, end, bytes: null, fromReader: true, look: !run };
    const id = nextRequest++;
    entry.arrived = new Promise((resolve) => requested.set(id, (bytes) => {
      entry.bytes = bytes;
      if (!bytes) view.ahead = view.ahead.filter((a) => a !== entry);
      resolve();
    }));
    view.ahead.push(entry);
    reader.postMessage({ id, file: view.file, start, end, run });
    return entry;
  }

  // Gives back a read the core is done with; one the reader made goes back
  // to it, to be read into again.
  function doneWith(view, read) {
    const whole = read.end - read.start === Block;
    if (read.fromReader && whole && reader) reader.postMessage({ given: read.bytes.buffer }, [read.bytes.buffer]);
    else view.base.release(read.bytes);
  }

  // The read kept or made ahead (or on its way) that holds position.
  function holding(view, position) {
    return view.cached.find((c) => holds(c, position)) || view.ahead.find((a) => holds(a, position));
  }

  // Asks for the BlocksAhead blocks from position (a block's start) on
  // that are not asked for yet, or for the rest of a block a read made
  // ahead holds the start of.
  function readAheadFrom(view, position) {
    for (let next = position, n = 0; reader && n < BlocksAhead && next < view.base.size; n++) {
      const held = holding(view, next);
      next = held ? held.end : requestAhead(view, next, readRange(view, next, true).end, true).end;
    }
  }

  // The read made ahead that holds position, taken out of those made ahead.
  function takeAhead(view, position) {
    const at = view.ahead ? view.ahead.findIndex((a) => a.bytes && holds(a, position)) : -1;
    return at < 0 ? null : view.ahead.splice(at, 1)[0];
  }

  // What the core's read of length bytes at position waits for: null when
  // its bytes are there, else a promise of them. The reads are those
  // readPicked would make; where reads go on front to back, the next blocks
  // are asked for as well. Null once the reader has stopped.
  function waitFor(view, position, length) {
    if (!reader) return null;
    const end = Math.min(view.base.size, position + length), waits = [];
    let last = null;
    for (let at = position, readEnd = view.readEnd; at < end; readEnd = at) {
      last = holding(view, at);
      if (!last) {
        const range = readRange(view, at, at === readEnd);
        last = requestAhead(view, range.start, range.end, at === readEnd);
      }
      if (last.arrived && !last.bytes) waits.push(last.arrived);
      at = Math.min(last.end, end);
    }
    if (last && position === view.readEnd && last.end % Block === 0) {
      // Reads made ahead that lie behind are done with.
      view.ahead = view.ahead.filter((a) => !a.bytes || a.end > position || (doneWith(view, a), false));
      readAheadFrom(view, last.end);
    }
    if (!waits.length) return null;
    const began = performance.now();
    return Promise.all(waits).then(() => {
      view.reading.ms += performance.now() - began;
      view.reading.count++;
    });
  }

  // The core's reads (fd_read) pass through a hook: a read of the picked
  // file may wait for its bytes, suspending the core, where the call that
  // made it can be suspended. The hook goes in before the core is made
  // (its imports are read then); the reader is started once the core is
  // there (warmUp), as a worker starts only while its parent is free.
  const readsAhead = (function () {
    if (typeof WebAssembly.Suspending !== 'function' || typeof WebAssembly.promising !== 'function' || Module.asm)
      return false;
    const read = _fd_read;
    const key = Object.keys(asmLibraryArg).find((k) => asmLibraryArg[k] === read);
    if (!key) return false;
    asmLibraryArg[key] = new WebAssembly.Suspending(function (fd, iov, count, done) {
      const stream = suspending && FS.getStream(fd), view = stream && stream.node.nvxPicked;
      let length = 0;
      for (let i = 0; view && view.ahead && i < count; i++) length += HEAPU32[(iov + 8 * i + 4) >> 2];
      const wait = view && view.ahead && waitFor(view, stream.position, length);
      return wait ? wait.then(() => read(fd, iov, count, done)) : read(fd, iov, count, done);
    });
    return true;
  })();

  // Calls the core's exported function name with text arguments and gives
  // its answer, letting its reads wait where the engine can (then as a
  // promise). The texts lie on the core's stack until the call has ended.
  // Where the hook is in, every call into the core that may read a file
  // comes through here: the engine refuses a read through the hook in a
  // call that cannot be suspended, even one that need not wait.
  function callCore(name, texts) {
    // Before its first call the script's function for an export stands in
    // for the core's own, which promising takes.
    const exported = Module['_' + name], key = /\["asm"\]\["([^"]+)"\]/.exec(String(exported));
    const suspendable = readsAhead ? WebAssembly.promising(key ? Module.asm[key[1]] : exported) : null;
    const top = stackSave();
    const pointers = texts.map((text) => {
      const size = lengthBytesUTF8(text) + 1, at = stackAlloc(size);
      stringToUTF8(text, at, size);
      return at;
    });
    if (!suspendable) {
      try {
        return exported(...pointers);
      } finally {
        stackRestore(top);
      }
    }
    suspending = true;
    return suspendable(...pointers).finally(() => {
      suspending = false;
      stackRestore(top);
    });
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
    const ahead = readsAhead && !pieces && readerWorker();
    node.nvxPicked = { base: pieces ? piecesBase(pieces) : fileBase(file), cached: [], readEnd: -1,
                       reading: { ms: 0, count: 0 }, file, ahead: ahead ? [] : null };
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
      view.cached.concat(view.ahead || []).forEach((c) => c.bytes && view.base.release(c.bytes));
      if (view.ahead) {
        view.ahead = [];
        if (reader) reader.postMessage({ done: true });
      }
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
      if (held.base) bytes += held.cached.concat(held.ahead || []).reduce((n, c) => n + (c.bytes ? c.bytes.length : 0), 0);
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
  // ({ms, count}: the time the core waited for them, and how often; ahead:
  // whether they were made ahead) and the time parts took ({parts}). With
  // limit, an archive whose fix needs more memory than that is not fixed:
  // {kind: 'large', needs}. Whatever the end, the view and the written part
  // are given back. A promise of that, as the core may wait for reads.
  Module.fixFile = async function (file, pieces, limit) {
    const folder = '/work', path = folder + '/' + file.name, fixedPath = path + '.fixed';
    FS.mkdirTree(folder);
    const picked = openPicked(path, file, pieces), written = openWritten(fixedPath);
    try {
      // The judgement looks first at the show's own files, which a sender
      // packs at the front: that look is asked for at once, beside the
      // directory's.
      if (picked.nvxPicked.ahead) requestAhead(picked.nvxPicked, 0, Math.min(Chunk, file.size), false);
      // The pieces the page handed over are held to the end too.
      const needs = (await callCore('NvxWebNeeds', [path])) + (pieces ? file.size : 0);
      if (limit !== undefined && needs > limit) return { kind: 'large', needs };
      // The check reads the archive front to back: its first blocks come
      // while the judgement reads the directory and the show's own files.
      if (picked.nvxPicked.ahead) readAheadFrom(picked.nvxPicked, 0);
      const [kind, ...text] = UTF8ToString(await callCore('NvxWebFix', [path, fixedPath])).split('\n');
      const commands = Module.ccall('NvxWebCommands', 'string', [], []).split('\n').filter(Boolean);
      const began = performance.now();
      const layout = HEAPF64.subarray(Module._NvxWebLayout() / 8, Module._NvxWebLayout() / 8 + Module._NvxWebLayoutLength());
      const fixed = kind === 'done' || kind === 'warning' ? parts(layout, written) : null;
      const reading = Object.assign({ parts: performance.now() - began, ahead: Boolean(picked.nvxPicked.ahead) },
        picked.nvxPicked.reading);
      return { kind, text: text.join('\n'), commands, parts: fixed, reading };
    } finally {
      for (const node of [picked, written]) close(node);
      FS.unlink(path);
      FS.unlink(fixedPath);
    }
  };

  // Runs a fix once before the page takes files (NvxWebWarmUp), and starts
  // the reader.
  Module.warmUp = async () => {
    if (readsAhead) readerWorker();
    return callCore('NvxWebWarmUp', []);
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
