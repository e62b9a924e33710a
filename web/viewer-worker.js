// The viewer's decoding worker: opens the array once, then answers each
// {id, reduce, selection} with the window's samples and what the read fetched.
import { openArray } from "./varnel.js";

let array = null;

self.onmessage = async ({ data: message }) => {
  try {
    if (message.type === "open") {
      array = await openArray(message.url);
      self.postMessage({ id: message.id, meta: {
        shape: array.shape, dtype: array.dtype, chunkShape: array.chunkShape, levels: array.levels,
        maxReduce: array.maxReduce, sharded: array.sharding !== null,
      } });
      return;
    }
    const { data, shape, stats } = await array.read(message.reduce, message.selection);
    self.postMessage({ id: message.id, data, shape, stats: { ...stats } }, [data.buffer]);
  } catch (e) {
    self.postMessage({ id: message.id, error: e.message });
  }
};
