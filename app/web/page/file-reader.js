// Linked into the core's script (emcc --post-js), before core-post.js,
// which starts a worker of its own from this function's text: the reader
// of the picked file, for the reads the core makes ahead.
// In: {id, file, start, end, run} asks for [start, end) of file, run where
// the read goes on from the last one asked for so; {given} hands back an
// array the core is done with; {done} ends a fix.
// Out: {id, bytes} with an ArrayBuffer of the bytes, or {id} where they
// cannot be read (the core then reads them itself, and says why).
//
// Runs come from one byte stream of the file, read into the arrays handed
// back: that costs an engine far less than a Blob and a new array for
// every block. Other reads (looks elsewhere) take a slice of their own,
// beside the stream.
function readerMain() {
  // The stream the runs come from ({file, at, reader}), and the promise of
  // the last run asked for: runs are read in turn.
  let stream = null, streamed = Promise.resolve();
  const spare = [], SpareArrays = 8;
  const slice = (file, start, end) => file.slice(start, end).arrayBuffer();
  const stop = () => {
    if (stream) stream.reader.cancel().catch(() => {});
    stream = null;
  };

  async function fromStream(file, start, end) {
    if (!stream || stream.file !== file || stream.at !== start) {
      stop();
      let reader;
      try {
        reader = file.slice(start).stream().getReader({ mode: 'byob' });
      } catch (e) {
        return slice(file, start, end);  // an engine whose Blob streams are not byte streams
      }
      stream = { file, at: start, reader };
    }
    const at = spare.findIndex((b) => b.byteLength === end - start);
    let bytes = at >= 0 ? spare.splice(at, 1)[0] : new ArrayBuffer(end - start);
    for (let filled = 0; filled < bytes.byteLength;) {
      const { done, value } = await stream.reader.read(new Uint8Array(bytes, filled));
      if (done) throw new Error('The file ended early');
      bytes = value.buffer;
      filled += value.length;
    }
    stream.at = end;
    return bytes;
  }

  onmessage = ({ data: { id, file, start, end, run, given, done } }) => {
    if (given) {
      if (spare.length < SpareArrays) spare.push(given);
    } else if (done) {
      streamed = streamed.then(() => {
        stop();
        spare.length = 0;
      });
    } else {
      const read = run ? streamed.then(() => fromStream(file, start, end)) : slice(file, start, end);
      if (run) streamed = read.catch(stop);
      read.then((bytes) => postMessage({ id, bytes }, [bytes]), () => postMessage({ id }));
    }
  };
}
