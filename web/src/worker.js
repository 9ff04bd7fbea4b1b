// The page's worker: runs the project's C++ (glimpack.wasm) off the page's
// main thread. The chosen package is mounted with WORKERFS, so the C++ reads
// it by slices straight from the File; files leave the C++ in pieces and are
// gathered into Blobs, which the browser may keep on disk. Every answer is
// what the C++ said; this script only moves bytes and messages, and lends
// the C++ the page's cryptography (crypto.js).
import { Zip, ZipDeflate } from 'fflate';
import { foundPackage, inToolOrder, Scanner } from './scan.js';
import { glimCrypto } from './crypto.js';

// The C++ checks signatures and computes digests through this object
// (hostos/crypto_web.cpp), which must be in place before the module starts.
self.glimCrypto = glimCrypto;

/* global GlimpackModule, importScripts */
importScripts('glimpack.js');

const PACKAGE_DIR = '/pkg';
const BUILD_DIR = '/build';
const STUB_PATH = '/build/glimsetup.exe';
// Records larger than this are refused, as glimpack test and extract refuse them.
const MAX_SIZE = 2 ** 30;
// Pieces are folded into a Blob at this size, so that a large file does not
// stay in this worker's memory as many small arrays.
const FOLD_BYTES = 8 << 20;

let onChunk = null;
let onProgress = null;
let packageName = null;

// WORKERFS asks the browser for every read the C++ makes, and those are of
// 64 KiB or less; one read of a window this large serves many of them.
const READ_WINDOW = 4 << 20;

function readThroughWindows(WORKERFS) {
  const reader = new FileReaderSync();
  // Every WORKERFS file shares this object, so the files mounted later read
  // through windows as well; each keeps one window, dropped with the file.
  WORKERFS.stream_ops.read = (stream, buffer, offset, length, position) => {
    const { node } = stream;
    if (position >= node.size) return 0;
    const end = Math.min(position + length, node.size);
    let window = node.readWindow;
    if (!window || position < window.start || end > window.start + window.bytes.length) {
      const size = Math.max(READ_WINDOW, end - position);
      window = { start: position, bytes: new Uint8Array(reader.readAsArrayBuffer(node.contents.slice(position, position + size))) };
      node.readWindow = window;
    }
    const from = position - window.start;
    buffer.set(window.bytes.subarray(from, from + (end - position)), offset);
    return end - position;
  };
}

const ready = GlimpackModule({
  locateFile: (file) => file,
  onChunk: (bytes) => onChunk(bytes),
  onProgress: (done, total) => onProgress && onProgress(done, total),
  print: () => {},
  printErr: (line) => console.warn(line),
}).then((module) => {
  readThroughWindows(module.FS.filesystems.WORKERFS);
  module.FS.mkdir(PACKAGE_DIR);
  for (const dir of PACKAGE_DIRS) module.FS.mkdir(dir);
  module.FS.mkdir(BUILD_DIR);
  module.FS.mkdir(`${BUILD_DIR}/in`);
  return module;
});

// Calls a glue function and parses its JSON answer.
function call(module, name, types, args) {
  return JSON.parse(module.ccall(name, 'string', types, args));
}

// Gathers pieces of one file into a Blob without holding them all as arrays.
class BlobGatherer {
  constructor(type) {
    this.type = type;
    this.blob = new Blob([], { type });
    this.parts = [];
    this.pending = 0;
  }
  push(bytes) {
    this.parts.push(bytes);
    this.pending += bytes.length;
    if (this.pending >= FOLD_BYTES) this.fold();
  }
  fold() {
    this.blob = new Blob([this.blob, ...this.parts], { type: this.type });
    this.parts = [];
    this.pending = 0;
  }
  finish() {
    this.fold();
    return this.blob;
  }
}

function throttled(send) {
  let last = 0;
  return (done, total) => {
    const now = Date.now();
    if (done < total && now - last < 100) return;
    last = now;
    send(done, total);
  };
}

// The package open in the C++, and the folder it is mounted in. A package
// being opened is mounted in the other folder, so that the one open before
// stays readable until the new one is read: a name the C++ refuses leaves the
// page's view of the old package working.
let mounted = null;
const PACKAGE_DIRS = [`${PACKAGE_DIR}/a`, `${PACKAGE_DIR}/b`];

function openPackage(module, file, name) {
  const { FS } = module;
  const dir = mounted && mounted.dir === PACKAGE_DIRS[0] ? PACKAGE_DIRS[1] : PACKAGE_DIRS[0];
  FS.chdir('/');
  FS.mount(FS.filesystems.WORKERFS, { blobs: [{ name, data: file }] }, dir);
  FS.chdir(dir);
  const answer = call(module, 'glim_open', ['string'], [name]);
  FS.chdir('/');
  if (answer.ok) {
    if (mounted) FS.unmount(mounted.dir);
    mounted = { dir, name };
  } else {
    FS.unmount(dir);
  }
  if (mounted) FS.chdir(mounted.dir);
  packageName = mounted && mounted.name;
  return answer;
}

function readRecord(module, index, limit, type, progress) {
  const gather = new BlobGatherer(type);
  onChunk = (bytes) => gather.push(bytes);
  onProgress = progress;
  try {
    const answer = call(module, 'glim_read', ['number', 'number', 'number'], [index, limit, MAX_SIZE]);
    return { answer, blob: gather.finish() };
  } finally {
    onChunk = null;
    onProgress = null;
  }
}

// The installed files as a zip, each at its destination below the Windows
// directory, the way `glimpack extract` lays them out.
function zipAll(module, records, progress) {
  const out = new BlobGatherer('application/zip');
  let failure = null;
  const zip = new Zip((err, data) => {
    if (err) failure = err;
    else out.push(data);
  });
  const total = records.reduce((sum, r) => sum + r.size, 0);
  let before = 0;
  for (const record of records) {
    const entry = new ZipDeflate(record.destination.replaceAll('\\', '/'), { level: 6 });
    zip.add(entry);
    let last = null;
    onChunk = (bytes) => {
      if (last) entry.push(last);
      last = bytes;
    };
    onProgress = (done) => progress(before + done, total);
    let answer;
    try {
      answer = call(module, 'glim_read', ['number', 'number', 'number'], [record.index, 0, MAX_SIZE]);
    } finally {
      onChunk = null;
      onProgress = null;
    }
    entry.push(last || new Uint8Array(0), true);
    if (!answer.ok) return answer;
    if (answer.problems.length) {
      return { ok: false, error: `${packageName}: record ${record.index}: ${answer.problems[0].text}` };
    }
    before += record.size;
  }
  zip.end();
  if (failure) return { ok: false, error: `${packageName}: zip: ${failure.message}` };
  return { ok: true, blob: out.finish() };
}

function mountInputs(module, inputs) {
  const { FS } = module;
  return inputs.map((file, i) => {
    const dir = `${BUILD_DIR}/in/${i}`;
    if (!FS.analyzePath(dir).exists) FS.mkdir(dir);
    FS.mount(FS.filesystems.WORKERFS, { blobs: [{ name: file.name, data: file }] }, dir);
    return `${dir}/${file.name}`;
  });
}

function unmountInputs(module, count) {
  const { FS } = module;
  for (let i = 0; i < count; i++) FS.unmount(`${BUILD_DIR}/in/${i}`);
}

async function ensureStub(module) {
  const { FS } = module;
  if (FS.analyzePath(STUB_PATH).exists) return;
  const response = await fetch('glimsetup.exe');
  if (!response.ok) throw new Error(`glimsetup.exe: the page's installer stub is missing (${response.status})`);
  FS.writeFile(STUB_PATH, new Uint8Array(await response.arrayBuffer()));
}

async function build(module, request, progress) {
  // The names the installer cannot use are refused in the C++'s words before
  // a name the browser would save as another; both before any file is read.
  const names = call(module, 'glim_check_names', ['string', 'string', 'string'], [
    request.name, request.firstNumber, request.files.map((file) => file.name).join('\n'),
  ]);
  if (!names.ok) return names;
  if (request.refuseName) return { ok: false, nameRefused: true };
  await ensureStub(module);
  const inputs = [request.saver, request.data, ...request.files];
  const paths = mountInputs(module, inputs);
  const gather = new BlobGatherer('application/vnd.microsoft.portable-executable');
  onChunk = (bytes) => gather.push(bytes);
  onProgress = progress;
  try {
    const answer = call(
      module,
      'glim_build',
      ['string', 'string', 'string', 'string', 'string', 'string'],
      [request.name, request.title, request.firstNumber, request.mode, STUB_PATH, paths.join('\n')],
    );
    return answer.ok ? { ...answer, blob: gather.finish() } : answer;
  } finally {
    onChunk = null;
    onProgress = null;
    unmountInputs(module, inputs.length);
  }
}

async function handle(message) {
  const module = await ready;
  const progress = throttled((done, total) => postMessage({ id: message.id, progress: { done, total } }));
  switch (message.op) {
    case 'open':
      return openPackage(module, message.file, message.name);
    case 'texts':
      return call(module, 'glim_texts', ['string'], [message.windowsDir]);
    case 'check':
      onProgress = progress;
      try {
        return call(module, 'glim_check', ['number'], [MAX_SIZE]);
      } finally {
        onProgress = null;
      }
    case 'read': {
      const { answer, blob } = readRecord(module, message.index, message.limit || 0, message.type || '', progress);
      return answer.ok ? { ...answer, blob } : answer;
    }
    case 'zip':
      return zipAll(module, message.records, progress);
    case 'build':
      return build(module, message.request, progress);
    case 'scan':
      // The new lines ride on the progress messages, so that they show as found.
      return new Scanner(module, (news) => postMessage({ id: message.id, progress: news })).run(inToolOrder(message.entries));
    case 'found':
      // Read again to be opened: a file changed or gone since is said so.
      try {
        return { ok: true, file: foundPackage(message.file, message.found) };
      } catch (error) {
        return { ok: false, error: `${message.location}: cannot be read again (${error.message || error})` };
      }
    default:
      return { ok: false, error: `unknown request ${message.op}` };
  }
}

// One request at a time, in order: the C++ module is single-threaded.
let queue = Promise.resolve();
self.onmessage = (event) => {
  const message = event.data;
  queue = queue.then(async () => {
    let answer;
    try {
      answer = await handle(message);
    } catch (error) {
      // Only a fault of the module itself gets here (the C++ answers every
      // problem of a package); the page replaces this worker with a fresh one.
      const subject = (message.request && message.request.name) || message.name || packageName || 'glimpack';
      answer = { ok: false, fatal: true, error: `${subject}: the page's reader stopped (${error && error.message ? error.message : error})` };
    }
    postMessage({ id: message.id, answer });
  });
};
