// The build view against `glimpack pack`: the same inputs give the same
// bytes in each compression mode, and bad inputs give one line naming the
// field or file and the problem, after which the view still builds.
//
//   node --test build.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { download, foreignRequests, glimpack, launch, openPage, pageWording, serve, waitForState, writeInputs } from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK } = process.env;
const work = join(GLIM_WORK, 'build');

let server;
let browser;
let page;
let inputs;

// Fills the build form; fields left out keep what the form holds.
async function buildInPage(fields) {
  if (fields.saver) await page.setInputFiles('#build-saver', fields.saver);
  if (fields.data) await page.setInputFiles('#build-data', fields.data);
  if (fields.files) await page.setInputFiles('#build-files', fields.files);
  if (fields.title !== undefined) await page.fill('#build-title', fields.title);
  if (fields.firstNumber !== undefined) await page.fill('#build-first-number', fields.firstNumber);
  if (fields.name !== undefined) await page.fill('#build-name', fields.name);
  if (fields.mode) await page.selectOption('#build-mode', fields.mode);
  await page.evaluate(() => delete document.body.dataset.build);
  await page.click('#build-button');
  const state = await waitForState(page, 'build');
  return { state, error: await page.textContent('#build-error') };
}

function packNatively(name, args) {
  const out = join(work, 'native', name);
  mkdirSync(join(work, 'native'), { recursive: true });
  const run = glimpack(GLIMPACK, ['pack', '-q', '-o', out, '--stub', GLIM_STUB, ...args]);
  assert.equal(run.code, 0, run.stderr);
  return readFileSync(out);
}

before(async () => {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  inputs = writeInputs(work);
  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
  page = await openPage(browser.context, server.origin);
  await page.click('#tab-build');
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('a package built in the page', () => {
  const further = () => [inputs.picture, inputs.text, inputs.binary];

  test('is the package glimpack pack builds from the same inputs', async () => {
    const built = await buildInPage({
      saver: inputs.saver, data: inputs.data, files: further(), title: 'Stars über Zürich', firstNumber: '7',
    });
    assert.equal(built.state, 'done', built.error);
    const file = await download(page, '#build-download');
    // The name follows the saver's unless one is typed.
    assert.equal(file.name, 'SAVER.EXE');
    const expected = packNatively('SAVER.EXE', [
      '--title', 'Stars über Zürich', '--scr', inputs.saver, '--dat', inputs.data, '--first-number', '7', ...further(),
    ]);
    assert.ok(file.bytes.equals(expected), `page: ${file.bytes.length} bytes, glimpack: ${expected.length} bytes`);
  });

  for (const [mode, option] of [['store', '--store'], ['best', '--best']]) {
    test(`is the same bytes as glimpack pack ${option}`, async () => {
      const built = await buildInPage({ files: [inputs.text], name: `${mode.toUpperCase()}.EXE`, firstNumber: '65535', mode });
      assert.equal(built.state, 'done', built.error);
      const file = await download(page, '#build-download');
      assert.equal(file.name, `${mode.toUpperCase()}.EXE`);
      const expected = packNatively(file.name, [
        option, '--title', 'Stars über Zürich', '--scr', inputs.saver, '--dat', inputs.data, '--first-number', '65535', inputs.text,
      ]);
      assert.ok(file.bytes.equals(expected), `page: ${file.bytes.length} bytes, glimpack: ${expected.length} bytes`);
    });
  }
});

describe('a build the page refuses', () => {
  test('names the field or file and the problem, and the next build works', async () => {
    const longExtension = join(work, 'PHOTO.JPEG');
    writeFileSync(longExtension, 'not really a photo');
    const empty = join(work, 'EMPTY.DAT');
    writeFileSync(empty, '');
    const refusals = [
      [{ mode: 'default', title: 'T'.repeat(33) }, 'Title: the title is 33 bytes in Windows-1252; at most 32 fit'],
      [{ title: 'Stars ☃' }, 'Title: the title holds'],
      [{ title: 'Stars', files: [longExtension] }, 'PHOTO.JPEG: extension ".JPEG" has 4 characters after the dot; at most 3 fit'],
      [{ files: [], data: empty }, 'EMPTY.DAT: empty file'],
      [{ data: inputs.data, name: 'a/b.EXE' }, 'File name: "a/b.EXE" is not a file name'],
    ];
    for (const [fields, message] of refusals) {
      const built = await buildInPage(fields);
      assert.equal(built.state, 'failed', JSON.stringify(fields));
      assert.ok(built.error.startsWith(message), `${built.error} should start with ${message}`);
      assert.ok(!built.error.includes('\n'), built.error);
    }
    // Names the installer cannot use are refused before anything is read,
    // in the words `glimpack pack` uses for the same name.
    for (const name of ['CON.EXE', '..EXE', 'com1.exe', 'CONIN$.EXE', 'COM¹.EXE', 'lpt0.exe']) {
      const native = glimpack(GLIMPACK, ['pack', '-q', '-o', name, '--title', 'Stars', '--stub', GLIM_STUB,
        '--scr', inputs.saver, '--dat', inputs.data], { cwd: work });
      assert.equal(native.code, 2, native.stderr);
      const refusal = pageWording(native.stderr.trimEnd().replace(/^glimpack: /, ''));
      assert.ok(refusal.startsWith(`${name}: record `), native.stderr);
      const built = await buildInPage({ title: 'Stars', files: [], data: inputs.data, name });
      assert.equal(built.state, 'failed', name);
      assert.equal(built.error, refusal);
    }
    const built = await buildInPage({ name: 'LAST.EXE', firstNumber: '0' });
    assert.equal(built.state, 'done', built.error);
    const file = await download(page, '#build-download');
    assert.ok(file.bytes.equals(packNatively('LAST.EXE', ['--title', 'Stars', '--scr', inputs.saver, '--dat', inputs.data])));
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
  });
});
