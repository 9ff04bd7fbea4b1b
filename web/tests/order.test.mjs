// The open and build views in any order of clicks: a package of tens of
// thousands of records, an open while a build runs, the notes glimpack gives,
// names refused with a sentence while the view stays, several files dropped
// at once, and names a browser would save as others.
//
//   node --test order.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_CASES, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  foreignRequests,
  glimpack,
  launch,
  noise,
  openInPage,
  openPage,
  pageWording,
  serve,
  shownPackage,
  shownProblem,
  waitForState,
  writeInputs,
} from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_CASES, GLIM_WORK } = process.env;
const work = join(GLIM_WORK, 'order');

let server;
let browser;
let inputs;
let pkg;

function pack(out, args, options = {}) {
  const run = glimpack(GLIMPACK, ['pack', '-q', '-o', out, '--stub', GLIM_STUB, ...args], options);
  assert.equal(run.code, 0, run.stderr);
  return out;
}

function listJson(file) {
  return JSON.parse(glimpack(GLIMPACK, ['list', '--json', file]).stdout);
}

// Drops `files` ([name, bytes]) onto the open view's drop zone.
async function drop(page, files) {
  const dataTransfer = await page.evaluateHandle((list) => {
    const transfer = new DataTransfer();
    for (const [name, bytes] of list) transfer.items.add(new File([new Uint8Array(bytes)], name));
    return transfer;
  }, files.map(([name, bytes]) => [name, [...bytes]]));
  await page.evaluate(() => delete document.body.dataset.open);
  await page.dispatchEvent('#drop-zone', 'drop', { dataTransfer });
}

before(async () => {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  inputs = writeInputs(work);
  pkg = pack(join(work, 'STARS.EXE'), ['--title', 'Stars', '--scr', inputs.saver, '--dat', inputs.data, inputs.picture, inputs.text, inputs.binary]);
  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('a package of 30,000 records', () => {
  test('keeps one page of rows in the document, each page within reach of the keyboard', async () => {
    const dir = join(work, 'many');
    mkdirSync(dir, { recursive: true });
    const names = [];
    for (let i = 0; i < 29998; i++) {
      const name = `F${String(i).padStart(5, '0')}.BIN`;
      writeFileSync(join(dir, name), Buffer.from([i & 0xff]));
      names.push(name);
    }
    writeFileSync(join(dir, 'MANY.SCR'), 'MZ');
    writeFileSync(join(dir, 'MANY.DAT'), 'd');
    // Names relative to their folder keep the command line short enough.
    const many = pack(join(work, 'MANY.EXE'), ['--store', '--title', 'Many', '--scr', 'MANY.SCR', '--dat', 'MANY.DAT', ...names], { cwd: dir });
    const listing = listJson(many);
    assert.equal(listing.records.length, 30000);

    const page = await openPage(browser.context, server.origin);
    assert.equal(await openInPage(page, many), 'done');
    const shown = await shownPackage(page);
    assert.equal(shown.summary, 'MANY.EXE: OK (30000 records)');
    assert.equal(await page.textContent('#package-record-count'), '30,000');
    const destinations = (from, to) => listing.records.slice(from, to).map((r) => r.destination);
    assert.deepEqual(shown.rows.map((r) => r.destination), destinations(0, 100));
    assert.ok((await page.evaluate(() => document.getElementsByTagName('*').length)) < 3000);

    // The pages, moved through with the keyboard alone.
    await page.focus('#record-pages [data-page="next"]');
    await page.keyboard.press('Enter');
    assert.equal(await page.textContent('#record-pages [role="status"]'), 'Records 101–200 of 30,000');
    assert.deepEqual((await shownPackage(page)).rows.map((r) => r.destination), destinations(100, 200));
    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.dataset.page), 'last');
    await page.keyboard.press('Enter');
    let rows = (await shownPackage(page)).rows;
    assert.deepEqual(rows.map((r) => r.destination), destinations(29900, 30000));
    assert.deepEqual([...new Set(rows.map((r) => r.status))], ['OK']);
    // The button that became unusable handed the focus on.
    assert.equal(await page.evaluate(() => document.activeElement.dataset.page), 'previous');
    await page.keyboard.press('Enter');
    rows = (await shownPackage(page)).rows;
    assert.deepEqual(rows.map((r) => r.destination), destinations(29800, 29900));

    // Run as CON.EXE every record has a problem: the verdict's list is paged too.
    assert.equal(await openInPage(page, many, 'CON.EXE'), 'done');
    let shownCon = await shownPackage(page);
    assert.equal(shownCon.summary, 'CON.EXE: 30000 of 30000 records have problems');
    assert.equal(shownCon.problems.length, 100);
    assert.equal(await page.textContent('#verdict [role="status"]'), 'Problems 1–100 of 30,000');
    assert.equal(shownCon.problems[0], 'record 0: destination "CON.SCR": "CON.SCR" is a device name on Windows');
    await page.click('#verdict [data-page="last"]');
    shownCon = await shownPackage(page);
    assert.equal(shownCon.problems.at(-1), 'record 29999: destination "QUILLFEN\\GLIMLOOM\\CON\\FILE29997.BIN": "CON" is a device name on Windows');
    assert.ok((await page.evaluate(() => document.getElementsByTagName('*').length)) < 3000);
    await page.close();
  });
});

describe('an open while a build runs', () => {
  test('leaves the build to finish and be downloaded', async () => {
    const big = join(work, 'BIG.BIN');
    writeFileSync(big, noise(24 << 20, 5));
    const page = await openPage(browser.context, server.origin);
    await page.click('#tab-build');
    await page.setInputFiles('#build-saver', inputs.saver);
    await page.setInputFiles('#build-data', inputs.data);
    await page.setInputFiles('#build-files', big);
    await page.fill('#build-title', 'Big');
    await page.selectOption('#build-mode', 'best');
    await page.click('#build-button');
    assert.equal(await page.evaluate(() => document.body.dataset.build), 'busy');

    await page.click('#tab-open');
    assert.equal(await openInPage(page, pkg), 'done');
    // The open was read beside the build, not after it.
    assert.equal(await page.evaluate(() => document.body.dataset.build), 'busy');
    assert.match((await shownPackage(page)).summary, /^STARS\.EXE: OK \(5 records\)$/);

    assert.equal(await waitForState(page, 'build'), 'done', await page.textContent('#build-error'));
    await page.click('#tab-build');
    const [file] = await Promise.all([page.waitForEvent('download'), page.click('#build-download')]);
    const saved = join(work, 'built', file.suggestedFilename());
    await file.saveAs(saved);
    const run = glimpack(GLIMPACK, ['test', saved]);
    assert.equal(run.code, 0, run.stdout + run.stderr);
    assert.match(run.stdout, /OK \(3 records\)/);
    await page.close();
  });
});

describe('an open while a package is unpacked', () => {
  test('stops the unpacking and says so beside the new package', async () => {
    const big = join(work, 'BIGZIP.BIN');
    writeFileSync(big, noise(24 << 20, 7));
    const bigPackage = pack(join(work, 'BIGZIP.EXE'), ['--store', '--title', 'Big', '--scr', inputs.saver, '--dat', inputs.data, big]);
    const page = await openPage(browser.context, server.origin);
    let downloads = 0;
    page.on('download', () => downloads++);
    assert.equal(await openInPage(page, bigPackage), 'done');
    await page.click('#download-zip');
    assert.equal(await openInPage(page, pkg), 'done');
    assert.equal(await page.textContent('#open-note'), 'BIGZIP.zip was not saved: STARS.EXE was opened meanwhile.');
    assert.equal(await page.textContent('#open-status'), 'STARS.EXE: checked.');
    assert.equal(await page.textContent('#open-error'), '');
    assert.equal(downloads, 0);
    await page.close();
  });
});

describe("glimpack's notes and problems in the page's words", () => {
  test('every note glimpack list gives is shown', async () => {
    const dir = join(work, 'notes');
    mkdirSync(dir, { recursive: true });
    copyFileSync(join(GLIM_CASES, 'bomb-4gib__STARS.EXE'), join(dir, 'STARS.EXE'));
    const notes = listJson(join(dir, 'STARS.EXE')).notes.map(shownProblem);
    assert.ok(notes.some((n) => n.includes("wraps in the installer's 32-bit count")), notes.join('\n'));
    const page = await openPage(browser.context, server.origin);
    assert.equal(await openInPage(page, join(dir, 'STARS.EXE')), 'done');
    const shown = await page.$$eval('[data-field="note"]', (items) => items.map((li) => li.textContent));
    assert.deepEqual(shown, notes.map((n) => `Note: ${n}`));

    // The limit is the page's own: no option of the tool is named.
    const problems = (await shownPackage(page)).problems;
    assert.ok(problems.includes("record 2: unpacked size 4,294,967,295 is over the limit of 1,073,741,824 bytes (the page's limit)"), problems.join('\n'));
    assert.ok(!problems.some((p) => p.includes('--')), problems.join('\n'));
    await page.close();
  });

  test("the installer's confirmation showing a negative size is noted", async () => {
    // A compressed record that claims 0x7FFFFFF0 unpacked bytes: the
    // installer's 32-bit total, shown as a signed number, is negative.
    const dir = join(work, 'negative');
    mkdirSync(dir, { recursive: true });
    const file = join(dir, 'STARS.EXE');
    copyFileSync(pkg, file);
    const bytes = readFileSync(file);
    const record = listJson(file).records.find((r) => r.method === 'compressed');
    const entry = Buffer.alloc(12);
    entry.writeUInt32LE(record.offset, 0);
    entry.writeUInt32LE(record.stored_size, 4);
    entry.writeUInt32LE(record.unpacked_size, 8);
    const at = bytes.indexOf(entry);
    assert.ok(at > 0 && bytes.indexOf(entry, at + 1) < 0);
    bytes.writeUInt32LE(0x7ffffff0, at + 8);
    writeFileSync(file, bytes);

    const listing = listJson(file);
    const notes = listing.notes.map(shownProblem);
    const page = await openPage(browser.context, server.origin);
    assert.equal(await openInPage(page, file), 'done');
    const shown = await shownPackage(page);
    const negative = /will take (-[\d,]+) bytes/.exec(shown.confirmation);
    assert.ok(negative, shown.confirmation);
    assert.ok(notes.some((n) => n.includes(negative[1])), `${notes.join('\n')} should say ${negative[1]}`);
    const shownNotes = await page.$$eval('[data-field="note"]', (items) => items.map((li) => li.textContent));
    assert.deepEqual(shownNotes, notes.map((n) => `Note: ${n}`));
    await page.close();
  });

  test("a destination Windows spells otherwise shows the installer's spelling too", async () => {
    const dir = join(work, 'trail');
    mkdirSync(dir, { recursive: true });
    copyFileSync(pkg, join(dir, 'TRAIL .EXE'));
    const listing = listJson(join(dir, 'TRAIL .EXE'));
    const page = await openPage(browser.context, server.origin);
    assert.equal(await openInPage(page, pkg, 'TRAIL .EXE'), 'done');
    const rows = (await shownPackage(page)).rows;
    assert.deepEqual(rows.map((r) => r.destination), listing.records.map((r) => r.destination));
    assert.equal(rows[1].destination, 'QUILLFEN\\GLIMLOOM\\TRAIL\\TRAIL .DAT');
    assert.deepEqual(
      rows.map((r) => r.named_destination ?? null),
      listing.records.map((r) => (r.named_destination ? `the installer names it ${r.named_destination}` : null)),
    );
    await page.close();
  });

  test('names are shown as typed, not with their backslashes doubled', async () => {
    const page = await openPage(browser.context, server.origin);
    assert.equal(await openInPage(page, join(GLIM_CASES, 'ext-backslash-dotdot__STARS.EXE'), 'STARS.EXE'), 'done');
    const shown = await shownPackage(page);
    assert.equal(shown.rows[3].status, 'unsafe file-name extension "\\..\\" in the record');
    assert.deepEqual(shown.problems, ['record 3: unsafe file-name extension "\\..\\" in the record']);
    // A control character stays visible.
    assert.equal(await openInPage(page, join(GLIM_CASES, 'ext-control__STARS.EXE'), 'STARS.EXE'), 'done');
    assert.match((await shownPackage(page)).rows[3].status, /"\.\\x07\\x1B\["/);
    // The reader's own refusal of a name.
    await page.fill('#run-name', 'a\\"b/c.EXE');
    await page.click('#run-as button[type="submit"]');
    assert.equal(await waitForState(page, 'open'), 'failed');
    assert.equal(await page.textContent('#open-error'), 'a\\"b/c.EXE: "a\\"b/c.EXE" is not a file name');
    await page.close();
  });
});

describe('a refusal in the open view', () => {
  test('is a sentence, and the package shown before stays usable', async () => {
    const page = await openPage(browser.context, server.origin);
    assert.equal(await openInPage(page, pkg), 'done');

    // No name at all.
    await page.fill('#run-name', '');
    await page.click('#run-as button[type="submit"]');
    assert.equal(await waitForState(page, 'open'), 'failed');
    assert.equal(await page.textContent('#open-error'), 'Installer file name: type the name the package is run as, such as STARS.EXE.');
    assert.equal(await page.isVisible('#package'), true);
    assert.equal((await shownPackage(page)).rows.length, 5);

    // A name the reader refuses: its line, and the old view still reads.
    await page.fill('#run-name', 'a/b.EXE');
    await page.click('#run-as button[type="submit"]');
    assert.equal(await waitForState(page, 'open'), 'failed');
    assert.equal(await page.textContent('#open-error'), 'a/b.EXE: "a/b.EXE" is not a file name');
    assert.equal(await page.textContent('#open-status'), 'Still showing STARS.EXE.');
    assert.equal(await page.textContent('#package-name'), 'STARS.EXE');
    await page.click('tr[data-index="3"] [data-action="view"]');
    await page.waitForSelector('#preview [data-kind="text"]');
    assert.equal(await page.textContent('#preview [data-kind="text"]'), readFileSync(inputs.text, 'latin1'));

    // A bad Windows directory: the installer's texts say why, the rest stays.
    await page.fill('#run-name', 'STARS.EXE');
    await page.fill('#windows-dir', '');
    await page.click('#run-as button[type="submit"]');
    await waitForState(page, 'open');
    assert.match(await page.textContent('#texts'), /^Windows directory: give a path of 1 to \d+ characters$/);
    assert.equal((await shownPackage(page)).rows.length, 5);
    assert.deepEqual(browser.errors, []);
    await page.close();
  });
});

describe('several files dropped at once', () => {
  test('the first is opened and each other one is named as not opened', async () => {
    const page = await openPage(browser.context, server.origin);
    const bytes = readFileSync(pkg);
    await drop(page, [['ONE.EXE', bytes], ['TWO.EXE', bytes]]);
    assert.equal(await waitForState(page, 'open'), 'done');
    assert.equal(await page.textContent('#package-name'), 'ONE.EXE');
    assert.equal(await page.textContent('#open-note'), 'Opened only "ONE.EXE": the page shows one package at a time, so "TWO.EXE" was not opened.');

    await drop(page, [['A.EXE', bytes], ['B.EXE', bytes], ['C.EXE', bytes]]);
    assert.equal(await waitForState(page, 'open'), 'done');
    assert.equal(await page.textContent('#package-name'), 'A.EXE');
    assert.match(await page.textContent('#open-note'), /so "B\.EXE" and "C\.EXE" were not opened\.$/);

    // One file alone leaves no such line.
    await drop(page, [['STARS.EXE', bytes]]);
    assert.equal(await waitForState(page, 'open'), 'done');
    assert.equal(await page.textContent('#open-note'), '');
    await page.close();
  });
});

describe('names a browser would save as others', () => {
  test('are refused in the build form before anything is built', async () => {
    const page = await openPage(browser.context, server.origin);
    await page.click('#tab-build');
    await page.setInputFiles('#build-saver', inputs.saver);
    await page.setInputFiles('#build-data', inputs.data);
    await page.fill('#build-title', 'Stars');
    mkdirSync(join(work, 'native-names'), { recursive: true });
    const cases = [
      ['A\\B.EXE', 'it holds \\, which browsers replace with _'],
      ['STARS.EXE ', 'it ends with the blank U+0020, which browsers remove'],
      ['STARS.EXE\u00a0', 'it ends with the blank U+00A0, which browsers remove'],
      ['ZERO\u200bWIDTH.EXE', 'it holds the invisible character U+200B, which browsers replace with _'],
      ['RIGHT\u202eEXE.EXE', 'it holds the invisible character U+202E'],
      ['TAB\tNAME.EXE', 'it holds the invisible character U+0009'],
      ['.exe', 'it starts with a dot, which browsers remove'],
      ['STARS.EXE.', 'it ends with a dot'],
      ['A~1.EXE', 'it holds ~, which browsers replace with _'],
      ['WHAT?.EXE', 'it holds ?, which browsers replace with _'],
      ['A:B.EXE', 'it holds :'],
      ['DESKTOP.INI', null],
    ];
    for (const [name, reason] of cases) {
      await page.fill('#build-name', name);
      await page.evaluate(() => delete document.body.dataset.build);
      await page.click('#build-button');
      assert.equal(await waitForState(page, 'build'), 'failed', JSON.stringify(name));
      const error = await page.textContent('#build-error');
      assert.ok(!error.includes('\n'), error);
      assert.equal(await page.isVisible('#build-result'), false);
      // A name glimpack pack refuses as well is refused in its words.
      const native = glimpack(GLIMPACK, ['pack', '-q', '-o', name, '--title', 'Stars', '--stub', GLIM_STUB, '--scr', inputs.saver, '--dat', inputs.data], { cwd: join(work, 'native-names') });
      if (native.code !== 0) {
        const why = pageWording(native.stderr.trimEnd().replace(/^glimpack: /, '').split(': ').slice(1).join(': '));
        assert.ok(error.endsWith(why), `${error} should end with ${why}`);
      } else if (reason) {
        assert.ok(error.startsWith(`File name: a browser would not save the file as "${name}": ${reason}`), error);
        assert.ok(error.endsWith('. Choose another name.'), error);
      } else {
        assert.match(error, /^File name: a browser would not save the file as "DESKTOP\.INI": Windows keeps that name/);
      }
    }
    // The form still builds under a name kept as typed.
    await page.fill('#build-name', 'KEPT NAME.EXE');
    await page.evaluate(() => delete document.body.dataset.build);
    await page.click('#build-button');
    assert.equal(await waitForState(page, 'build'), 'done', await page.textContent('#build-error'));
    const [file] = await Promise.all([page.waitForEvent('download'), page.click('#build-download')]);
    assert.equal(file.suggestedFilename(), 'KEPT NAME.EXE');
    await page.close();
  });

  test("a record's file is not downloaded under another name", async () => {
    const page = await openPage(browser.context, server.origin);
    let downloads = 0;
    page.on('download', () => downloads++);
    // Run as ".exe", the saver would be ".SCR": a browser saves "SCR".
    assert.equal(await openInPage(page, pkg, '.exe'), 'done', await page.textContent('#open-error'));
    const [saver] = (await shownPackage(page)).rows;
    assert.equal(saver.destination, '.SCR');
    await page.click('tr[data-index="0"] [data-action="download"]');
    assert.equal(
      await page.textContent('#open-error'),
      '.exe: record 0: a browser would not save the file as ".SCR": it starts with a dot, which browsers remove when they save a file. ' +
        'Give the package another installer file name above.',
    );
    // The zip takes the package's name.
    assert.equal(await openInPage(page, pkg, 'A~B.EXE'), 'done', await page.textContent('#open-error'));
    await page.click('#download-zip');
    assert.equal(
      await page.textContent('#open-error'),
      'A~B.EXE: a browser would not save the file as "A~B.zip": it holds ~, which browsers replace with _ when they save a file. ' +
        'Give the package another installer file name above.',
    );
    assert.equal(downloads, 0);
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
    await page.close();
  });
});
