// The page with the keyboard alone, its controls' names, and its layout at
// 200 % zoom (a window of 1280 CSS pixels shows 640 of them then).
//
//   node --test access.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_CASES, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { mkdirSync, readdirSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { foreignRequests, glimpack, launch, openInPage, openPage, serve, waitForState, writeInputs } from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_CASES, GLIM_WORK } = process.env;
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
    assert.equal(await focused(page), 'tab-scan');
    await page.keyboard.press('ArrowLeft');
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
      const controls = document.querySelectorAll(
        'input, select, button, a[href], progress, [tabindex="0"], [role="tab"], [role="tabpanel"], table, form, [role="group"]',
      );
      return [...controls].filter((node) => !nameOf(node).trim()).map((node) => node.outerHTML.slice(0, 80));
    });
    assert.deepEqual(unnamed, []);
    await page.close();
  });
});

describe('the page opened as a file', () => {
  test('says how to serve it in one line, with every control disabled', async () => {
    const local = await launch();
    try {
      const page = await local.context.newPage();
      await page.goto(`file://${GLIM_WEB_DIR}/index.html`);
      assert.match(await page.textContent('#page-error'), /served over HTTP.*python3 -m http\.server/);
      for (const tab of ['#tab-open', '#tab-build', '#tab-scan']) {
        await page.click(tab);
        const seen = await page.evaluate(() => ({
          usable: [...document.querySelectorAll('main input, main select, main button')].filter((c) => !c.disabled).map((c) => c.id || c.outerHTML.slice(0, 60)),
          lines: [...document.querySelectorAll('.error')].filter((e) => e.getClientRects().length && e.textContent).length,
          times: document.body.innerText.split('served over HTTP').length - 1,
        }));
        assert.deepEqual(seen, { usable: [], lines: 1, times: 1 }, tab);
      }
      assert.deepEqual(local.errors, []);
    } finally {
      await local.close();
    }
  });
});

// What sticks out sideways beyond the window, outside the records table's
// own scrolling box.
const overflow = (page) =>
  page.evaluate(() => {
    const width = document.documentElement.clientWidth;
    const sticking = [...document.querySelectorAll('label, input, select, button, h1, h2, h3, p, li, dd, figure, pre, .pages')]
      .filter((node) => node.getClientRects().length && !node.closest('.table-box'))
      .filter((node) => node.getBoundingClientRect().right > width + 1)
      .map((node) => node.outerHTML.slice(0, 60));
    return { scroll: document.documentElement.scrollWidth - width, sticking };
  });

describe('the page 320 CSS pixels wide', () => {
  test('needs no sideways scrolling, whatever the package says', async () => {
    const page = await openPage(browser.context, server.origin);
    await page.setViewportSize({ width: 320, height: 640 });
    // Long quoted names and destinations in the verdict and the texts.
    for (const id of ['ext-backslash-dotdot', 'ext-control', 'name-250-characters', 'bomb-4gib', 'title-32-characters']) {
      const file = readdirSync(GLIM_CASES).find((name) => name.startsWith(`${id}__`));
      const openAs = file.slice(id.length + 2);
      assert.equal(await openInPage(page, join(GLIM_CASES, file), openAs), 'done', id);
      assert.deepEqual(await overflow(page), { scroll: 0, sticking: [] }, id);
    }
    // A refusal's line with a long name in it.
    await page.fill('#run-name', `${'N'.repeat(120)}/X.EXE`);
    await page.click('#run-as button[type="submit"]');
    assert.equal(await waitForState(page, 'open'), 'failed');
    assert.deepEqual(await overflow(page), { scroll: 0, sticking: [] });
    await page.click('#tab-build');
    assert.deepEqual(await overflow(page), { scroll: 0, sticking: [] });
    assert.deepEqual(browser.errors, []);
    await page.close();
  });
});

describe('the page at 200 % zoom', () => {
  test('needs no sideways scrolling in either view', async () => {
    const page = await openPage(browser.context, server.origin);
    await page.setViewportSize({ width: 640, height: 900 });
    await openInPage(page, pkg);
    await page.click('tr[data-index="4"] [data-action="view"]');
    await page.waitForSelector('#preview [data-kind="hex"]');
    assert.deepEqual(await overflow(page), { scroll: 0, sticking: [] });
    await page.click('#tab-build');
    assert.deepEqual(await overflow(page), { scroll: 0, sticking: [] });
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
    await page.close();
  });
});
