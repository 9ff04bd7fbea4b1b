// Opening and checking a package in the browser page against `glimpack test`
// on the same file: builds a package of about --mb megabytes with glimpack
// pack from generated data (text that compresses, and noise that is
// stored), then times
//   - glimpack test (the native-release build),
//   - the page in headless Chromium: loading it, and from giving it the file
//     to its verdict, each in a fresh tab,
// and reports the page's total size and the peak resident memory of the
// browser's processes. With --zip it also times the zip of all files.
// With --records N the package is N records of one byte each instead (the
// page's table and verdict at tens of thousands of records), and the
// elements the open page holds are counted.
//
//   node bench/web_check.mjs [--mb 20] [--runs 5] [--zip]    (make bench-web)
//   node bench/web_check.mjs --records 30000 --runs 3
import { spawnSync } from 'node:child_process';
import { mkdirSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { launch, noise, openPage, prose, serve, waitForState } from '../web/tests/harness.mjs';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const { values } = parseArgs({
  options: {
    mb: { type: 'string', default: '20' },
    runs: { type: 'string', default: '5' },
    zip: { type: 'boolean', default: false },
    records: { type: 'string', default: '0' },
    stub: { type: 'string', default: join(root, 'build/win32/glimsetup.exe') },
    glimpack: { type: 'string', default: join(root, 'build/native-release/tools/glimpack') },
    web: { type: 'string', default: join(root, 'build/web') },
  },
});
const megabytes = Number(values.mb);
const recordCount = Number(values.records);
const runs = Number(values.runs);
const work = join(tmpdir(), `glim-bench-web-${process.pid}`);

const median = (list) => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];
const seconds = (ms) => `${(ms / 1000).toFixed(3)} s`;

// Peak resident memory (VmHWM) of every process below `pid`, in MiB.
function peakMemory(pid) {
  const children = (p) => {
    try {
      return readFileSync(`/proc/${p}/task/${p}/children`, 'utf8').split(' ').filter(Boolean).map(Number);
    } catch {
      return [];
    }
  };
  const out = [];
  const walk = (p) => {
    try {
      const status = readFileSync(`/proc/${p}/status`, 'utf8');
      const name = /^Name:\s+(.*)$/m.exec(status)[1];
      const hwm = Number(/^VmHWM:\s+(\d+) kB$/m.exec(status)?.[1] ?? 0);
      const type = (readFileSync(`/proc/${p}/cmdline`, 'utf8').match(/--type=([a-z-]+)/) || [, 'browser'])[1];
      out.push({ pid: p, name, type, mib: hwm / 1024 });
    } catch {
      // gone meanwhile
    }
    for (const c of children(p)) walk(c);
  };
  walk(pid);
  return out;
}

// RECORDS.EXE: a saver, a data file and records - 2 further files, each
// of one byte, stored.
function makeManyRecords() {
  const names = [];
  for (let i = 0; i < recordCount - 2; i++) {
    const name = `F${String(i).padStart(6, '0')}.BIN`;
    writeFileSync(join(work, name), Buffer.from([i & 0xff]));
    names.push(name);
  }
  writeFileSync(join(work, 'MANY.SCR'), 'MZ');
  writeFileSync(join(work, 'MANY.DAT'), 'd');
  const pkg = join(work, 'MANY.EXE');
  // Names relative to the folder keep the command line short enough.
  const run = spawnSync(values.glimpack, [
    'pack', '-q', '--store', '-o', pkg, '--stub', values.stub, '--title', 'Many', '--scr', 'MANY.SCR', '--dat', 'MANY.DAT', ...names,
  ], { encoding: 'utf8', cwd: work });
  if (run.status !== 0) throw run.error || new Error(run.stderr);
  return pkg;
}

function makePackage() {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  if (recordCount) return makeManyRecords();
  // Eight parts and the saver: about 6.6 parts end up in the file.
  const part = Math.round((megabytes * 1e6) / 6.6);
  const files = [];
  for (let i = 0; i < 8; i++) {
    const name = join(work, `PART${i}.${i % 2 ? 'BIN' : 'TXT'}`);
    // Text compresses to almost nothing, noise is stored as it is.
    writeFileSync(name, i % 2 ? noise(part, i + 1) : Buffer.concat([prose(Math.round(part / 60), i), noise(part / 2, i)]));
    files.push(name);
  }
  writeFileSync(join(work, 'BIG.SCR'), Buffer.concat([Buffer.from('MZ'), noise(part / 2, 99), prose(Math.round(part / 120), 7)]));
  writeFileSync(join(work, 'BIG.DAT'), prose(1000, 3));
  const pkg = join(work, 'BIG.EXE');
  const run = spawnSync(values.glimpack, [
    'pack', '-q', '-o', pkg, '--stub', values.stub, '--title', 'Big',
    '--scr', join(work, 'BIG.SCR'), '--dat', join(work, 'BIG.DAT'), ...files,
  ], { encoding: 'utf8' });
  if (run.status !== 0) throw new Error(run.stderr);
  return pkg;
}

function timeNative(pkg) {
  const times = [];
  for (let i = 0; i < runs; i++) {
    const start = performance.now();
    const run = spawnSync(values.glimpack, ['test', '-q', pkg], { encoding: 'utf8' });
    times.push(performance.now() - start);
    if (run.status !== 0) throw new Error(run.stdout + run.stderr);
  }
  return times;
}

async function timePage(pkg) {
  const server = await serve(values.web);
  const browser = await launch();
  const load = [];
  const check = [];
  const zip = [];
  const nodes = [];
  try {
    for (let i = 0; i < runs; i++) {
      let start = performance.now();
      const page = await openPage(browser.context, server.origin);
      load.push(performance.now() - start);
      start = performance.now();
      await page.setInputFiles('#package-file', pkg);
      const state = await waitForState(page, 'open');
      check.push(performance.now() - start);
      if (state !== 'done') throw new Error(await page.textContent('#open-error'));
      nodes.push(await page.evaluate(() => document.getElementsByTagName('*').length));
      if (values.zip) {
        start = performance.now();
        const [download] = await Promise.all([page.waitForEvent('download', { timeout: 600000 }), page.click('#download-zip')]);
        await download.path();
        zip.push(performance.now() - start);
      }
      await page.close();
    }
    // Chromium runs as children of this process.
    return { load, check, zip, nodes, memory: peakMemory(process.pid).filter((p) => p.pid !== process.pid) };
  } finally {
    await browser.close();
    await server.close();
  }
}

function folderSize(dir) {
  return readdirSync(dir).reduce((sum, name) => sum + statSync(join(dir, name)).size, 0);
}

const pkg = makePackage();
const size = statSync(pkg).size;
const native = timeNative(pkg);
const page = await timePage(pkg);
console.log(`package: ${(size / 1e6).toFixed(1)} MB (${size} bytes)${recordCount ? `, ${recordCount} records` : ''}, ${runs} runs, medians`);
console.log(`page folder build/web: ${folderSize(values.web)} bytes`);
console.log(`glimpack test:                     ${seconds(median(native))}`);
console.log(`page load (fresh tab):             ${seconds(median(page.load))}`);
console.log(`page open and check (to verdict):  ${seconds(median(page.check))}`);
console.log(`elements in the open page:         ${median(page.nodes)}`);
if (values.zip) console.log(`page zip of all files:             ${seconds(median(page.zip))}`);
for (const p of page.memory) console.log(`peak RSS ${p.name.padEnd(16)} ${p.type.padEnd(10)} ${p.mib.toFixed(0).padStart(6)} MiB`);
rmSync(work, { recursive: true, force: true });
