// What the browser tests, the screenshots and the benchmark share: a static
// server for the built page on 127.0.0.1, headless Chromium from the system
// with a fresh profile, a record of every request the page makes, and the
// native glimpack to compare with.
import { spawnSync } from 'node:child_process';
import {
  createReadStream,
  existsSync,
  mkdtempSync,
  readdirSync,
  readFileSync,
  rmSync,
  statSync,
  writeFileSync,
} from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, normalize, sep } from 'node:path';
import { chromium } from 'playwright-core';
import { pageWording } from '../src/wording.js';

// The tool's lines as the page words them (names as typed, the page's limit).
export { pageWording };

// A problem or note of glimpack's JSON as the page shows it.
export function shownProblem(problem) {
  return pageWording(typeof problem === 'string' ? problem : problem.text);
}

export const CHROMIUM = process.env.GLIM_CHROMIUM || '/usr/bin/chromium';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.exe': 'application/octet-stream',
};

// Serves `root` on a free port of 127.0.0.1 until close().
export async function serve(root) {
  if (!existsSync(join(root, 'index.html'))) {
    throw new Error(`${root}/index.html is missing: build the page first (make web)`);
  }
  const server = createServer((request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    const file = normalize(join(root, path === '/' ? 'index.html' : path));
    if (!file.startsWith(root + sep) || !existsSync(file) || !statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': TYPES[extname(file)] || 'application/octet-stream' });
    createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  return {
    origin: `http://127.0.0.1:${port}`,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// Headless Chromium with a profile of its own and nothing that talks to the
// network by itself. Every request of its pages and their workers is kept in
// `requests`, every uncaught page error in `errors`.
export async function launch(options = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'glim-chromium-'));
  // Playwright gives the profile folder as --user-data-dir itself.
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    acceptDownloads: true,
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
    ...options,
  });
  const requests = [];
  const errors = [];
  context.on('request', (request) => requests.push(request.url()));
  context.on('weberror', (error) => errors.push(String(error.error())));
  return {
    context,
    requests,
    errors,
    close: async () => {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// A new tab with the page loaded.
export async function openPage(context, origin) {
  const page = await context.newPage();
  await page.goto(`${origin}/`);
  return page;
}

// Requests to anything but the test's own server.
export function foreignRequests(requests, origin) {
  return requests.filter((url) => !(url.startsWith(`${origin}/`) || url.startsWith('blob:') || url.startsWith('data:')));
}

// Runs the native glimpack; answers its exit code and output.
export function glimpack(tool, args, options = {}) {
  const run = spawnSync(tool, args, { encoding: 'utf8', maxBuffer: 64 << 20, ...options });
  if (run.error) throw run.error;
  return { code: run.status, stdout: run.stdout, stderr: run.stderr };
}

// --- The page ------------------------------------------------------------------------

// Gives the page a package (under another name when `openAs` is given) and
// waits until it is checked or refused.
export async function openInPage(page, file, openAs) {
  await page.setInputFiles('#package-file', file);
  if (openAs !== undefined) {
    await waitForState(page, 'open');
    await page.fill('#run-name', openAs);
    await page.click('#run-as button[type="submit"]');
  }
  return waitForState(page, 'open');
}

// Waits for a view's state to settle (done or failed) and answers it.
export async function waitForState(page, view) {
  const handle = await page.waitForFunction(
    (name) => {
      const state = document.body.dataset[name];
      return state === 'done' || state === 'failed' ? state : false;
    },
    view,
    { timeout: 120000 },
  );
  return handle.jsonValue();
}

// What the open view shows, field by field.
export function shownPackage(page) {
  return page.evaluate(() => {
    const text = (id) => document.getElementById(id).textContent;
    const rows = [...document.querySelectorAll('#records tbody tr')].map((tr) =>
      Object.fromEntries([...tr.querySelectorAll('[data-field]')].map((td) => [td.dataset.field, td.textContent])),
    );
    const field = (name) => {
      const node = document.querySelector(`[data-field="${name}"]`);
      return node ? node.textContent : null;
    };
    return {
      error: text('open-error'),
      name: text('package-name'),
      title: text('package-title'),
      firstNumber: text('package-first-number'),
      total: text('package-total'),
      rows,
      summary: field('summary'),
      problems: [...document.querySelectorAll('[data-field="problem"]')].map((li) => li.textContent),
      caption: field('caption'),
      confirmation: field('confirmation'),
      completion: field('completion'),
    };
  });
}

// Starts a download by clicking `selector` and answers the file's bytes.
export async function download(page, selector) {
  const [file] = await Promise.all([page.waitForEvent('download', { timeout: 120000 }), page.click(selector)]);
  const path = await file.path();
  return { name: file.suggestedFilename(), bytes: readFileSync(path) };
}

// --- glimpack's outputs -------------------------------------------------------------

// `glimpack test` output: per record its CRC-32 and problems, and the summary.
export function parseTestOutput(stdout, listing) {
  const records = new Map();
  let summary = null;
  for (const line of stdout.split('\n')) {
    const match = /^ +(\d+) (?:compressed|stored) +([0-9a-f]{8}|-{8}) {2}(.*)$/.exec(line);
    if (!match) {
      if (line.trim() && !/: note: /.test(line)) summary = line;
      continue;
    }
    const index = Number(match[1]);
    const record = listing.records[index];
    const name = record.destination === null ? '(no destination)' : record.destination;
    const rest = match[3].slice(name.length + 2);
    const entry = records.get(index) || { crc32: match[2], problems: [] };
    // The page words names and limits its own way.
    if (rest !== 'OK') entry.problems.push(pageWording(rest));
    records.set(index, entry);
  }
  return { records, summary };
}

// Every file below `dir`, by its path relative to it with "/" separators.
export function filesBelow(dir) {
  const files = new Map();
  const walk = (sub) => {
    for (const entry of readdirSync(join(dir, sub), { withFileTypes: true })) {
      const rel = sub ? `${sub}/${entry.name}` : entry.name;
      if (entry.isDirectory()) walk(rel);
      else files.set(rel, readFileSync(join(dir, rel)));
    }
  };
  walk('');
  return files;
}

// --- Inputs -----------------------------------------------------------------------------

// Bytes that hardly compress, the same for the same seed.
export function noise(size, seed) {
  const bytes = Buffer.alloc(size);
  let x = (seed * 2654435761 + 1) >>> 0;
  for (let i = 0; i < size; i++) {
    x ^= x << 13;
    x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5;
    x >>>= 0;
    bytes[i] = x & 0xff;
  }
  return bytes;
}

export function prose(lines, seed = 0) {
  const words = ['stars', 'drift', 'over', 'the', 'quiet', 'sky', 'line', 'and', 'glimmer', 'loom'];
  const out = [];
  for (let i = 0; i < lines; i++) {
    const line = [];
    for (let w = 0; w < 9; w++) line.push(words[(i * 7 + w * 3 + seed) % words.length]);
    out.push(`${i + 1}. ${line.join(' ')}.`);
  }
  return Buffer.from(`${out.join('\r\n')}\r\n`, 'latin1');
}

// A 24-bit Windows bitmap of stripes, `width` by `height` pixels.
export function bitmap(width, height) {
  const row = Math.ceil((width * 3) / 4) * 4;
  const bytes = Buffer.alloc(54 + row * height);
  bytes.write('BM', 0, 'latin1');
  bytes.writeUInt32LE(bytes.length, 2);
  bytes.writeUInt32LE(54, 10);
  bytes.writeUInt32LE(40, 14);
  bytes.writeInt32LE(width, 18);
  bytes.writeInt32LE(height, 22);
  bytes.writeUInt16LE(1, 26);
  bytes.writeUInt16LE(24, 28);
  bytes.writeUInt32LE(row * height, 34);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const at = 54 + y * row + x * 3;
      bytes[at] = (x * 16) & 0xff;
      bytes[at + 1] = (y * 32) & 0xff;
      bytes[at + 2] = ((x + y) % 2) * 255;
    }
  }
  return bytes;
}

// A saver, a data file and further files of each kind the page shows
// differently (picture, text, other bytes), written into `dir`.
export function writeInputs(dir) {
  const saver = Buffer.concat([Buffer.from('MZ'), noise(6000, 1), prose(300, 2), Buffer.alloc(3000)]);
  const files = {
    saver: ['SAVER.SCR', saver],
    data: ['SAVER.DAT', prose(4, 5)],
    picture: ['STRIPES.BMP', bitmap(16, 8)],
    text: ['README.TXT', prose(40, 3)],
    binary: ['TABLE.BIN', Buffer.concat([Buffer.alloc(64), noise(5000, 9)])],
  };
  const paths = {};
  for (const [key, [name, bytes]] of Object.entries(files)) {
    paths[key] = join(dir, name);
    writeFileSync(paths[key], bytes);
  }
  return paths;
}
