// The open view against the native glimpack on the same package: what it
// lists, its verdict and CRC-32s, the installer's texts for another file name
// and Windows directory, the three kinds of file view, and the downloads (one
// file, and the zip laid out as `glimpack extract` lays it out).
//
//   node --test open.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { unzipSync } from 'fflate';
import {
  download,
  filesBelow,
  foreignRequests,
  glimpack,
  launch,
  openInPage,
  openPage,
  parseTestOutput,
  serve,
  shownPackage,
  waitForState,
  writeInputs,
} from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK } = process.env;
const work = join(GLIM_WORK, 'open');

let server;
let browser;
let page;
let inputs;
let pkg;

function listJson(dir, name) {
  const run = glimpack(GLIMPACK, ['list', '--json', name], { cwd: dir });
  assert.equal(run.code, 0, run.stderr);
  return JSON.parse(run.stdout);
}

// "1,234,567", as the installer groups the total.
const grouped = (n) => n.toLocaleString('en-US');

before(async () => {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  inputs = writeInputs(work);
  pkg = join(work, 'STARS.EXE');
  const run = glimpack(GLIMPACK, [
    'pack', '-q', '-o', pkg, '--stub', GLIM_STUB, '--title', 'Stars über Zürich', '--scr', inputs.saver,
    '--dat', inputs.data, '--first-number', '32', inputs.picture, inputs.text, inputs.binary,
  ]);
  assert.equal(run.code, 0, run.stderr);
  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
  page = await openPage(browser.context, server.origin);
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('a package opened in the page', () => {
  test('shows what glimpack list --json shows', async () => {
    assert.equal(await openInPage(page, pkg), 'done');
    const listing = listJson(work, 'STARS.EXE');
    const shown = await shownPackage(page);
    assert.equal(shown.error, '');
    assert.equal(shown.name, listing.package);
    assert.equal(shown.title, `“${listing.title}”`);
    assert.equal(shown.firstNumber, String(listing.first_file_number));
    assert.equal(shown.total, `${grouped(listing.installed_total)} bytes`);
    assert.deepEqual(
      shown.rows.map((r) => [r.index, r.role, r.method, r.stored_size, r.unpacked_size, r.offset, r.destination]),
      listing.records.map((r) => [
        String(r.index), r.role, r.method, String(r.stored_size), r.unpacked_size ? String(r.unpacked_size) : '-',
        String(r.offset), r.destination,
      ]),
    );
  });

  test('gives the verdict and CRC-32s of glimpack test', async () => {
    const listing = listJson(work, 'STARS.EXE');
    const run = glimpack(GLIMPACK, ['test', 'STARS.EXE'], { cwd: work });
    assert.equal(run.code, 0, run.stdout);
    const expected = parseTestOutput(run.stdout, listing);
    const shown = await shownPackage(page);
    assert.equal(shown.summary, expected.summary);
    assert.deepEqual(shown.problems, []);
    assert.deepEqual(
      shown.rows.map((r) => [r.crc32, r.status]),
      listing.records.map((r) => [expected.records.get(r.index).crc32, 'OK']),
    );
  });

  test("shows the installer's texts for the chosen Windows directory and file name", async () => {
    const total = grouped(listJson(work, 'STARS.EXE').installed_total);
    let shown = await shownPackage(page);
    assert.equal(shown.caption, 'Stars über Zürich Screen Saver Installation');
    assert.equal(
      shown.confirmation,
      'This program will install STARS.SCR (Stars über Zürich Screen Saver) to C:\\WINDOWS and will make it ' +
        `your default Screen Saver.  This installation will take ${total} bytes.`,
    );
    assert.equal(
      shown.completion,
      'Installation Complete!\n\nData files have also been installed in your C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS directory.',
    );

    // Another name changes what is installed where: the saver takes the name
    // up to its first dot, the data directory up to its last.
    await page.fill('#windows-dir', 'd:\\Games');
    assert.equal(await openInPage(page, pkg, 'my.saver.exe'), 'done');
    const renamed = join(work, 'renamed');
    mkdirSync(renamed, { recursive: true });
    copyFileSync(pkg, join(renamed, 'my.saver.exe'));
    const listing = listJson(renamed, 'my.saver.exe');
    shown = await shownPackage(page);
    assert.equal(shown.name, 'my.saver.exe');
    assert.deepEqual(shown.rows.map((r) => r.destination), listing.records.map((r) => r.destination));
    assert.equal(shown.rows[0].destination, 'MY.SCR');
    assert.match(shown.confirmation, /^This program will install MY\.SCR \(Stars über Zürich Screen Saver\) to D:\\GAMES and /);
    assert.match(shown.completion, /installed in your D:\\GAMES\\QUILLFEN\\GLIMLOOM\\MY\.SAVER directory\.$/);

    await page.fill('#windows-dir', 'C:\\WINDOWS');
    assert.equal(await openInPage(page, pkg, 'STARS.EXE'), 'done');
  });
});

describe('a package dropped onto the page', () => {
  test('opens as a chosen one does', async () => {
    const dropped = join(work, 'dropped');
    mkdirSync(dropped, { recursive: true });
    copyFileSync(pkg, join(dropped, 'DROPPED.EXE'));
    const listing = listJson(dropped, 'DROPPED.EXE');
    const dataTransfer = await page.evaluateHandle((bytes) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], 'DROPPED.EXE'));
      return transfer;
    }, [...readFileSync(pkg)]);
    await page.dispatchEvent('#drop-zone', 'drop', { dataTransfer });
    assert.equal(await waitForState(page, 'open'), 'done');
    const shown = await shownPackage(page);
    assert.equal(shown.name, 'DROPPED.EXE');
    assert.deepEqual(shown.rows.map((r) => r.destination), listing.records.map((r) => r.destination));
    assert.match(shown.summary, /^DROPPED\.EXE: OK \(5 records\)$/);
    assert.equal(await openInPage(page, pkg, 'STARS.EXE'), 'done');
  });
});

describe("a package's files in the page", () => {
  const view = async (index) => {
    await page.click(`tr[data-index="${index}"] [data-action="view"]`);
    await page.waitForSelector('#preview [data-kind]');
    return page.evaluate(() => {
      const node = document.querySelector('#preview [data-kind]');
      return { kind: node.dataset.kind, text: node.textContent, width: node.querySelector('img')?.naturalWidth };
    });
  };

  test('shows a picture as a picture, text as text and anything else in hex', async () => {
    let shown = await view(2);
    assert.equal(shown.kind, 'picture');
    await page.waitForFunction(() => document.querySelector('#preview img').complete);
    const width = await page.evaluate(() => document.querySelector('#preview img').naturalWidth);
    assert.equal(width, 16);

    shown = await view(3);
    assert.equal(shown.kind, 'text');
    assert.equal(shown.text, readFileSync(inputs.text, 'latin1'));

    shown = await view(4);
    assert.equal(shown.kind, 'hex');
    const bytes = readFileSync(inputs.binary);
    const lines = shown.text.split('\n');
    assert.equal(lines.length, 4096 / 16);
    assert.equal(lines[0], `00000000  ${'00 '.repeat(16).trim()}  ${'.'.repeat(16)}`);
    const row = [...bytes.subarray(4080, 4096)].map((b) => b.toString(16).padStart(2, '0')).join(' ');
    assert.ok(lines[255].startsWith(`00000ff0  ${row}  `), lines[255]);
  });

  test('downloads each file and all of them as the zip glimpack extract lays out', async () => {
    const out = join(work, 'extracted');
    rmSync(out, { recursive: true, force: true });
    const run = glimpack(GLIMPACK, ['extract', '-q', '-d', out, 'STARS.EXE'], { cwd: work });
    assert.equal(run.code, 0, run.stderr);
    const extracted = filesBelow(out);

    const saver = await download(page, 'tr[data-index="0"] [data-action="download"]');
    assert.equal(saver.name, 'STARS.SCR');
    assert.ok(saver.bytes.equals(extracted.get('STARS.SCR')));
    const picture = await download(page, 'tr[data-index="2"] [data-action="download"]');
    assert.equal(picture.name, 'FILE0032.BMP');
    assert.ok(picture.bytes.equals(readFileSync(inputs.picture)));

    const zip = await download(page, '#download-zip');
    assert.equal(zip.name, 'STARS.zip');
    const zipped = unzipSync(new Uint8Array(zip.bytes));
    assert.deepEqual(Object.keys(zipped).sort(), [...extracted.keys()].sort());
    for (const [path, bytes] of extracted) assert.ok(Buffer.from(zipped[path]).equals(bytes), path);
  });
});

describe('the page as a whole', () => {
  test('asks nothing of any other host and raises no error', async () => {
    // The worker's requests count as well: the module and the stub.
    await page.click('#tab-build');
    await page.setInputFiles('#build-saver', inputs.saver);
    await page.setInputFiles('#build-data', inputs.data);
    await page.fill('#build-title', 'Stars');
    await page.click('#build-button');
    assert.equal(await waitForState(page, 'build'), 'done', await page.textContent('#build-error'));
    assert.ok(browser.requests.some((url) => url.endsWith('/glimpack.wasm')), browser.requests.join('\n'));
    assert.ok(browser.requests.some((url) => url.endsWith('/glimsetup.exe')), browser.requests.join('\n'));
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
  });
});
