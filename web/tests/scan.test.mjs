// The scan view against `glimpack scan` on the same collection: a folder
// chosen with the directory picker gives the tool's lines, in its order, and
// its summary (packages under other names, at an odd offset, cut short,
// damaged, inside a zip inside a zip, plain files between them), and on the
// hostile packages, some of which cannot be read at all; a zip
// dropped alone gives the tool's lines for that zip; a compressed file the
// page does not open is searched as bytes with one note saying so; the
// lines page a hundred at a time; a package found opens in the open view;
// and the view holds at 320 CSS pixels.
//
//   node --test scan.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_CASES, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { basename, dirname, join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { gzipSync } from 'node:zlib';
import { foreignRequests, glimpack, launch, noise, openPage, pageWording, prose, serve, writeInputs } from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_CASES, GLIM_WORK } = process.env;
const work = join(GLIM_WORK, 'scan');
const col = join(work, 'col');

let server;
let browser;
let page;
const packages = {};

function pack(name, title, inputs, ...more) {
  const out = join(work, name);
  const run = glimpack(GLIMPACK, ['pack', '-q', '-o', out, '--stub', GLIM_STUB, '--title', title, '--scr', inputs.saver, '--dat', inputs.data, ...more]);
  assert.equal(run.code, 0, run.stderr);
  return readFileSync(out);
}

function write(path, bytes) {
  mkdirSync(join(path, '..'), { recursive: true });
  writeFileSync(path, bytes);
}

function zip(dir, name, ...members) {
  const run = spawnSync('zip', ['-q', '-r', name, ...members], { cwd: dir, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
}

// What `glimpack scan` says, run from `dir`: its lines in the order written
// (standard error's without the program's name in front, as the page has
// none), the summary last, each as the page words it.
function toolLines(dir, ...paths) {
  const run = spawnSync('sh', ['-c', '"$0" scan -j 1 "$@" 2>&1', GLIMPACK, ...paths], { cwd: dir, encoding: 'utf8' });
  return run.stdout
    .split('\n')
    .filter((line) => line)
    .map((line) => pageWording(line.replace(/^glimpack: /, '')));
}

// What the page shows: every line of every page of results, then the summary.
async function pageLines() {
  await page.waitForFunction(() => ['done', 'failed', 'cancelled'].includes(document.body.dataset.scan), null, { timeout: 120000 });
  assert.equal(await page.evaluate(() => document.body.dataset.scan), 'done', await page.textContent('#scan-error'));
  const lines = [];
  for (;;) {
    lines.push(...(await page.$$eval('#scan-lines [data-field="scan-line"]', (items) => items.map((li) => li.textContent))));
    const next = page.locator('#scan-pages [data-page="next"]');
    if (!(await next.isVisible()) || (await next.isDisabled())) break;
    await next.click();
  }
  lines.push(await page.textContent('#scan-summary'));
  return lines;
}

// Drops files onto the scan view's box, as a browser's drag of plain files
// (no folder entries) gives them.
async function drop(files) {
  const transfer = await page.evaluateHandle((given) => {
    const data = new DataTransfer();
    for (const { name, bytes } of given) data.items.add(new File([new Uint8Array(bytes)], name));
    return data;
  }, files.map(([name, bytes]) => ({ name, bytes: [...bytes] })));
  await page.dispatchEvent('#scan-drop', 'drop', { dataTransfer: transfer });
}

before(async () => {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  const inputs = writeInputs(work);
  packages.stars = pack('STARS.EXE', 'Stars', inputs, inputs.picture);
  packages.comet = pack('COMET.EXE', 'Comet über', inputs, inputs.text, inputs.binary);
  packages.moon = pack('MOON.EXE', 'Moon', inputs);

  // Names whose bytewise order is not their order by letter: "B" < "Z" < "a".
  write(join(col, 'README.TXT'), packages.stars);
  write(join(col, 'Zeta', 'COMET.EXE'), packages.comet);
  write(join(col, 'alpha.txt'), prose(30, 1));
  write(join(col, 'BIG.IMG'), Buffer.concat([noise(5001, 3), packages.comet, noise(777, 4)]));
  write(join(col, 'CUT.BIN'), packages.moon.subarray(0, packages.moon.length - 100));
  const damaged = Buffer.from(packages.stars);
  damaged[damaged.length - 10] ^= 0xff;
  write(join(col, 'DAMAGED.EXE'), damaged);
  // A zip inside a zip, a folder entry in the inner one.
  const zipping = join(work, 'zipping');
  write(join(zipping, 'SUB', 'MOON.EXE'), packages.moon);
  write(join(zipping, 'SUB', 'NOTES.TXT'), prose(10, 2));
  zip(zipping, 'INNER.ZIP', 'SUB');
  zip(zipping, join(col, 'B.ZIP'), 'INNER.ZIP');

  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
  page = await openPage(browser.context, server.origin);
  await page.click('#tab-scan');
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('scanning on the page', () => {
  test('a zip file that cannot be read on has its raw bytes searched, as glimpack scan does', async () => {
    // Its second member's header claims a name longer than the file, and its
    // central directory is gone: the package stored behind the damage is
    // found in the bytes, and the one before it is not reported twice.
    const dir = join(work, 'damaged-zip');
    write(join(dir, 'A.EXE'), packages.moon);
    write(join(dir, 'B.TXT'), prose(3, 5));
    write(join(dir, 'C.EXE'), packages.stars);
    const run = spawnSync('zip', ['-q', '-0', 'BAD.ZIP', 'A.EXE', 'B.TXT', 'C.EXE'], { cwd: dir, encoding: 'utf8' });
    assert.equal(run.status, 0, run.stderr);
    const bytes = readFileSync(join(dir, 'BAD.ZIP'));
    const second = bytes.indexOf('PK\x03\x04', 4, 'latin1');
    bytes.writeUInt16LE(0x7fff, second + 26);
    const damaged = bytes.subarray(0, bytes.indexOf('PK\x01\x02', 0, 'latin1'));
    write(join(dir, 'only', 'BAD.ZIP'), damaged);
    await drop([['BAD.ZIP', damaged]]);
    const shown = await pageLines();
    const expected = toolLines(join(dir, 'only'), 'BAD.ZIP');
    // The reason is each reader's own (libarchive's, fflate's); the rest is the tool's.
    const unreadable = (line) => /^BAD\.ZIP: cannot be read as .*; its bytes are searched as they are$/.test(line);
    assert.deepEqual(shown.filter((line) => !unreadable(line)), expected.filter((line) => !unreadable(line)));
    assert.equal(shown.filter(unreadable).length, 1, shown.join('\n'));
    assert.equal(expected.filter(unreadable).length, 1, expected.join('\n'));
    assert.ok(shown.some((line) => line.startsWith(`BAD.ZIP@${damaged.indexOf(packages.stars)}: "Stars"`)), shown.join('\n'));
  });

  test('a folder chosen gives the lines and summary of glimpack scan, in its order', async () => {
    const expected = toolLines(work, 'col');
    // The collection holds what it should: a package in each kind of place.
    assert.deepEqual(
      expected.map((line) => line.split(': ')[0]),
      ['col/B.ZIP!INNER.ZIP!SUB/MOON.EXE', 'col/BIG.IMG@5001', 'col/CUT.BIN', 'col/DAMAGED.EXE', 'col/README.TXT', 'col/Zeta/COMET.EXE', expected.at(-1).split(': ')[0]],
    );
    assert.match(expected[1], /followed by 777 more$/);
    assert.match(expected[2], /cut short by the end of the file$/);
    assert.match(expected[3], /1 of \d records has problems/);
    assert.match(expected.at(-1), /^7 files, .* 2 archives opened: 6 packages found, 4 OK, 2 with problems; 0 inputs could not be read$/);

    await page.setInputFiles('#scan-folder', col);
    assert.deepEqual(await pageLines(), expected);
    assert.equal(await page.textContent('#scan-note'), '');
  });

  test('opens a package found, in a zip, at an offset or damaged, in the open view as its file would open', async () => {
    // The verdict the open view gives is the one the scan's line gives.
    const lines = await page.$$eval('#scan-lines li', (items) => items.map((li) => li.textContent));
    for (const [location, name] of [['col/B.ZIP!INNER.ZIP!SUB/MOON.EXE', 'MOON.EXE'], ['col/BIG.IMG@5001', 'BIG.IMG'], ['col/DAMAGED.EXE', 'DAMAGED.EXE']]) {
      const line = lines.find((l) => l.startsWith(`${location}: `));
      const verdict = /records?, ([^:;]*)/.exec(line)[1];
      await page.click(`#tab-scan`);
      await page.click(`#scan-lines [aria-label="Open ${location}"]`);
      await page.waitForFunction(() => ['done', 'failed'].includes(document.body.dataset.open) && document.querySelector('[data-field="summary"]'), null, { timeout: 120000 });
      assert.equal(await page.textContent('#package-name'), name);
      assert.equal(await page.textContent('[data-field="summary"]'), `${name}: ${verdict}`);
      await page.evaluate(() => delete document.body.dataset.open);
    }
    await page.click('#tab-scan');
  });

  test('the hostile packages give the lines of glimpack scan, those it cannot read too', async () => {
    const expected = toolLines(dirname(GLIM_CASES), basename(GLIM_CASES));
    // Packages found that cannot be read as one are lines of their own.
    assert.ok(expected.some((line) => line.endsWith(': record table runs past the end of the file (no terminating record)')));
    await page.setInputFiles('#scan-folder', GLIM_CASES);
    assert.deepEqual(await pageLines(), expected);
  });

  test('a zip dropped alone gives the lines of glimpack scan for that zip', async () => {
    await drop([['B.ZIP', readFileSync(join(col, 'B.ZIP'))]]);
    const expected = toolLines(col, 'B.ZIP');
    assert.equal(expected.length, 2);
    assert.deepEqual(await pageLines(), expected);
  });

  test('a compressed file the page does not open is searched as bytes, and said so once', async () => {
    // The tool opens it; the page finds nothing in its compressed bytes.
    await drop([['MOON.EXE.gz', gzipSync(packages.moon)], ['STARS.EXE', packages.stars]]);
    const lines = await pageLines();
    assert.deepEqual(lines.slice(0, -1), [pageWording(toolLines(work, 'STARS.EXE')[0])]);
    assert.match(lines.at(-1), /^2 files, .* 0 archives opened: 1 packages found, 1 OK, 0 with problems; 0 inputs could not be read$/);
    assert.equal(
      await page.textContent('#scan-note'),
      'MOON.EXE.gz: this page looks inside zip files only, not other archives or disc images; their bytes are searched as they are',
    );
  });

  test('shows its lines a hundred at a time', async () => {
    const many = join(work, 'many');
    write(join(many, 'ALL.BIN'), Buffer.concat(Array.from({ length: 105 }, () => packages.moon)));
    const expected = toolLines(work, 'many');
    assert.equal(expected.length, 106);
    await page.setInputFiles('#scan-folder', many);
    const shown = await pageLines();
    assert.deepEqual(shown, expected);
    assert.equal(await page.textContent('#scan-pages .pages-label'), 'Lines 101–105 of 105');
    await page.click('#scan-pages [data-page="first"]');
    assert.equal(await page.locator('#scan-lines li').count(), 100);
  });

  test('needs no sideways scrolling at 320 CSS pixels, and asks no other host', async () => {
    await page.setViewportSize({ width: 320, height: 640 });
    await page.setInputFiles('#scan-folder', col);
    await pageLines();
    const sticking = await page.evaluate(() => {
      const width = document.documentElement.clientWidth;
      const wide = [...document.querySelectorAll('label, input, button, h3, p, li, .pages')]
        .filter((node) => node.getClientRects().length && node.getBoundingClientRect().right > width + 1)
        .map((node) => node.outerHTML.slice(0, 60));
      return { scroll: document.documentElement.scrollWidth - width, wide };
    });
    assert.deepEqual(sticking, { scroll: 0, wide: [] });
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
  });
});
