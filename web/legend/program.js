/* The swatch program, for the command line: one process serves every
 * swatch of a legend as a FastCGI worker (as a web server would keep it),
 * on a Unix socket in a folder of this run's own, so a legend of a hundred
 * swatches costs one program start, not a hundred.
 *
 *   const program = await startProgram(path);
 *   const body = await program.draw("/20/20/255/0/0?Format=svg");
 *   await program.stop();
 */
import {spawn} from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import {LegendError} from "./error.js";
import {SCRIPT} from "../swatch-url.js";

const VERSION = 1, BEGIN_REQUEST = 1, END_REQUEST = 3, PARAMS = 4, STDIN = 5, STDOUT = 6, RESPONDER = 1;
/* Swatches asked for at once: well below the connections a worker holds. */
const IN_FLIGHT = 16;
/* How long a swatch may go without a byte of its reply. */
const IDLE_MS = 30000;

function record(type, body = Buffer.alloc(0)) {
  const header = Buffer.from([VERSION, type, 0, 1, body.length >> 8, body.length & 255, 0, 0]);
  return Buffer.concat([header, body]);
}

/* FastCGI's name-value pairs: a length under 128 in one byte, else four. */
function pairs(params) {
  const length = n => (n < 128 ? Buffer.from([n]) : Buffer.from([(n >>> 24) | 0x80, (n >> 16) & 255, (n >> 8) & 255, n & 255]));
  return Buffer.concat(Object.entries(params).flatMap(([k, v]) => {
    const [name, value] = [Buffer.from(k), Buffer.from(v)];
    return [length(name.length), length(value.length), name, value];
  }));
}

/* The request of one swatch path, as a web server sends it. */
function requestOf(swatchPath) {
  const queryAt = swatchPath.indexOf("?");
  const params = pairs({GATEWAY_INTERFACE: "CGI/1.1", REQUEST_METHOD: "GET", SERVER_PROTOCOL: "HTTP/1.1",
                        SCRIPT_NAME: SCRIPT, PATH_INFO: queryAt < 0 ? swatchPath : swatchPath.slice(0, queryAt),
                        QUERY_STRING: queryAt < 0 ? "" : swatchPath.slice(queryAt + 1)});
  const begin = Buffer.from([0, RESPONDER, 0, 0, 0, 0, 0, 0]);
  // Parameters in records of at most 65535 bytes.
  const chunks = [];
  for (let at = 0; at < params.length; at += 65535) chunks.push(record(PARAMS, params.subarray(at, at + 65535)));
  return Buffer.concat([record(BEGIN_REQUEST, begin), ...chunks, record(PARAMS), record(STDIN)]);
}

/* The body of a CGI reply, after its header and the blank line; null when
 * the reply is no swatch (another status than 200). */
function bodyOf(reply) {
  const crlf = reply.indexOf("\r\n\r\n");
  const end = crlf >= 0 ? crlf + 4 : reply.indexOf("\n\n") + 2;
  if (end < 2) return null;
  const status = /^Status:\s*(\d+)/mi.exec(reply.subarray(0, end).toString());
  return status && status[1] !== "200" ? null : reply.subarray(end);
}

/* One swatch over a connection of its own: the reply's body. */
function drawOne(socketPath, swatchPath) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    const refused = () => reject(new LegendError(`the swatch program refused ${swatchPath}`));
    const socket = net.connect(socketPath, () => socket.end(requestOf(swatchPath)));
    // A worker that stops answering (or a program that is no worker) fails
    // the legend instead of holding it.
    socket.setTimeout(IDLE_MS, () => socket.destroy());
    socket.on("data", c => chunks.push(c));
    socket.on("error", refused);
    socket.on("close", () => {
      // The records: STDOUT's bodies make the reply, END_REQUEST ends it.
      const all = Buffer.concat(chunks), out = [];
      let ended = false;
      for (let at = 0; at + 8 <= all.length;) {
        const [type, length, padding] = [all[at + 1], all.readUInt16BE(at + 4), all[at + 6]];
        if (type === STDOUT) out.push(all.subarray(at + 8, at + 8 + length));
        if (type === END_REQUEST) ended = true;
        at += 8 + length + padding;
      }
      const body = ended ? bodyOf(Buffer.concat(out)) : null;
      if (body) resolve(body);
      else refused();
    });
  });
}

/* The program started as a FastCGI worker on a listening socket of its
 * own: {draw(swatchPath), drawAll(swatchPaths), stop()}. */
export async function startProgram(program) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "swatch-legend-"));
  const listening = path.join(dir, "listening"), worker = path.join(dir, "worker");
  const server = net.createServer();
  try {
    await new Promise((resolve, reject) => server.once("error", reject).listen(listening, resolve));
    const fd = server._handle?.fd;
    if (!(fd >= 0)) throw new Error("no socket to hand over");
    const child = spawn(program, [], {stdio: [fd, "ignore", "inherit"]});
    child.on("error", () => {});
    // The worker accepts on the socket; this process must not. Closing the
    // server removes its name, so the worker's socket gets a second one first.
    fs.linkSync(listening, worker);
    await new Promise(resolve => server.close(resolve));
    const stop = () => {
      child.kill();
      fs.rmSync(dir, {recursive: true, force: true});
    };
    process.once("exit", stop);
    const draw = swatchPath => drawOne(worker, swatchPath);
    const drawAll = async swatchPaths => {
      const out = new Array(swatchPaths.length);
      let next = 0;
      const lane = async () => {
        while (next < swatchPaths.length) {
          const i = next++;
          out[i] = await draw(swatchPaths[i]);
        }
      };
      await Promise.all(Array.from({length: Math.min(IN_FLIGHT, swatchPaths.length)}, lane));
      return out;
    };
    return {draw, drawAll, stop};
  } catch (err) {
    server.close();
    fs.rmSync(dir, {recursive: true, force: true});
    throw new LegendError(`the swatch program could not be started: ${err.message}`);
  }
}
