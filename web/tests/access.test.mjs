// The page with the keyboard alone, its controls' names, and its layout at
// 200 % zoom (a window of 1280 CSS pixels shows 640 of them then).
//
//   node --test access.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { mkdirSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { foreignRequests, glimpack, launch, openInPage, openPage, serve, waitForState, writeInputs } from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK } = process.env;
const work = join(GLIM_WORK, 'access');

let server;
let browser;
let inputs;
let pkg;

const focused = (page) => page.evaluate(() => document.activeElement && (document.activeElement.id || document.activeElement.getAttribute('aria-label') || document.activeElement.tagName));

// Presses Tab until `target` has the focus; fails after `limit` presses.
async function tabTo(page, target, limit = 80) {
  for (let i = 0; i < limit; i++) {
    await page.keyboard.press('Tab');
    if (await page.evaluate((selector) => document.activeElement === document.querySelector(selector), target)) return;
  }
  assert.fail(`Tab never reached ${target}`);
}

// Opens the file chooser of the focused file input with the space bar.
async function chooseWithKeyboard(page, files) {
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.keyboard.press('Space')]);
  await chooser.setFiles(files);
}

before(async () => {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  inputs = writeInputs(work);
  pkg = join(work, 'STARS.EXE');
  const run = glimpack(GLIMPACK, [
    'pack', '-q', '-o', pkg, '--stub', GLIM_STUB, '--title', 'Stars', '--scr', inputs.saver, '--dat', inputs.data,
    inputs.picture, inputs.text, inputs.binary,
  ]);
  assert.equal(run.code, 0, run.stderr);
  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('the page with the keyboard alone', () => {
  test('opens a package, views a file and unpacks all', async () => {
    const page = await openPage(browser.context, server.origin);
    await page.keyboard.press('Tab');
    assert.equal(await focused(page), 'tab-open');
    await page.keyboard.press('ArrowRight');
    assert.equal(await focused(page), 'tab-build');
    assert.equal(await page.isVisible('#view-build'), true);
    assert.equal(await page.isVisible('#view-open'), false);
    await page.keyboard.press('ArrowLeft');
    assert.equal(await focused(page), 'tab-open');
    assert.equal(await page.isVisible('#view-open'), true);

    await tabTo(page, '#package-file');
    await chooseWithKeyboard(page, pkg);
    assert.equal(await waitForState(page, 'open'), 'done');

    await tabTo(page, 'tr[data-index="3"] [data-action="view"]');
    await page.keyboard.press('Enter');
    await page.waitForSelector('#preview [data-kind="text"]');
    assert.equal(await focused(page), 'preview-heading');

    await tabTo(page, '#download-zip');
    const [zip] = await Promise.all([page.waitForEvent('download'), page.keyboard.press('Enter')]);
    assert.equal(zip.suggestedFilename(), 'STARS.zip');
    await page.close();
  });

  test('builds a package', async () => {
    const page = await openPage(browser.context, server.origin);
    await page.keyboard.press('Tab');
    await page.keyboard.press('End');
    assert.equal(await focused(page), 'tab-build');
    await tabTo(page, '#build-title');
    await page.keyboard.type('Stars');
    await tabTo(page, '#build-saver');
    await chooseWithKeyboard(page, inputs.saver);
    await tabTo(page, '#build-data');
    await chooseWithKeyboard(page, inputs.data);
    await tabTo(page, '#build-button');
    await page.keyboard.press('Enter');
    assert.equal(await waitForState(page, 'build'), 'done');
    // The finished package's link takes the focus.
    assert.equal(await focused(page), 'build-download');
    const [file] = await Promise.all([page.waitForEvent('download'), page.keyboard.press('Enter')]);
    assert.equal(file.suggestedFilename(), 'SAVER.EXE');
    await page.close();
  });
});

describe("the page's controls", () => {
  test('every control has a name', async () => {
    const page = await openPage(browser.context, server.origin);
    await openInPage(page, pkg);
    const unnamed = await page.evaluate(() => {
      const nameOf = (node) => {
        if (node.getAttribute('aria-label')) return node.getAttribute('aria-label');
        const by = node.getAttribute('aria-labelledby');
        if (by) return by.split(' ').map((id) => document.getElementById(id)?.textContent ?? '').join(' ');
        if (node.labels && node.labels.length) return node.labels[0].textContent;
        return node.matches('button, a') ? node.textContent : '';
      };
      const controls = document.querySelectorAll('input, select, button, a[href], progress, [tabindex="0"], [role="tab"], [role="tabpanel"]');
      return [...controls].filter((node) => !nameOf(node).trim()).map((node) => node.outerHTML.slice(0, 80));
    });
    assert.deepEqual(unnamed, []);
    await page.close();
  });
});

describe('the page opened as a file', () => {
  test('says how to serve it instead of failing silently', async () => {
    const local = await launch();
    try {
      const page = await local.context.newPage();
      await page.goto(`file://${GLIM_WEB_DIR}/index.html`);
      assert.match(await page.textContent('#open-error'), /served over HTTP.*python3 -m http\.server/);
      assert.deepEqual(local.errors, []);
    } finally {
      await local.close();
    }
  });
});

describe('the page at 200 % zoom', () => {
  test('needs no sideways scrolling in either view', async () => {
    const page = await openPage(browser.context, server.origin);
    await page.setViewportSize({ width: 640, height: 900 });
    await openInPage(page, pkg);
    await page.click('tr[data-index="4"] [data-action="view"]');
    await page.waitForSelector('#preview [data-kind="hex"]');
    const overflow = () =>
      page.evaluate(() => {
        const width = document.documentElement.clientWidth;
        const sticking = [...document.querySelectorAll('label, input, select, button, h1, h2, h3, p, dd, figure, pre')]
          .filter((node) => node.getClientRects().length && !node.closest('.table-box'))
          .filter((node) => node.getBoundingClientRect().right > width + 1)
          .map((node) => node.outerHTML.slice(0, 60));
        return { scroll: document.documentElement.scrollWidth - width, sticking };
      });
    assert.deepEqual(await overflow(), { scroll: 0, sticking: [] });
    await page.click('#tab-build');
    assert.deepEqual(await overflow(), { scroll: 0, sticking: [] });
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
    await page.close();
  });
});
