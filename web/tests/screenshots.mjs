// Takes the README's pictures of the page: the open view with the sample
// saver's package (its picture shown) and the build view after a build.
//
//   node web/tests/screenshots.mjs WEB_DIR GLIMPACK WIN32_BUILD_DIR OUT_DIR
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { glimpack, launch, openInPage, openPage, serve, waitForState } from './harness.mjs';

const [webDir, tool, win32Dir, outDir] = process.argv.slice(2);
if (!outDir) {
  console.error('usage: screenshots.mjs WEB_DIR GLIMPACK WIN32_BUILD_DIR OUT_DIR');
  process.exit(1);
}
const samples = join(win32Dir, 'samples/stars');
const work = mkdtempSync(join(tmpdir(), 'glim-shots-'));
const pkg = join(work, 'STARS.EXE');
const run = glimpack(tool, [
  'pack', '-q', '-o', pkg, '--stub', join(win32Dir, 'glimsetup.exe'), '--title', 'Stars',
  '--scr', join(samples, 'STARS.SCR'), '--dat', join(samples, 'STARS.DAT'), '--first-number', '32',
  join(samples, 'FILE0032.BMP'),
]);
if (run.code !== 0) {
  console.error(run.stderr);
  process.exit(2);
}

mkdirSync(outDir, { recursive: true });
const server = await serve(webDir);
const browser = await launch({ viewport: { width: 1100, height: 800 } });
try {
  const page = await openPage(browser.context, server.origin);
  if ((await openInPage(page, pkg)) !== 'done') throw new Error(await page.textContent('#open-error'));
  await page.click('tr[data-index="2"] [data-action="view"]');
  await page.waitForFunction(() => document.querySelector('#preview img')?.complete);
  await page.screenshot({ path: join(outDir, 'web-open.png'), fullPage: true });

  await page.click('#tab-build');
  await page.fill('#build-title', 'Stars');
  await page.setInputFiles('#build-saver', join(samples, 'STARS.SCR'));
  await page.setInputFiles('#build-data', join(samples, 'STARS.DAT'));
  await page.setInputFiles('#build-files', [join(samples, 'FILE0032.BMP')]);
  await page.fill('#build-first-number', '32');
  await page.click('#build-button');
  if ((await waitForState(page, 'build')) !== 'done') throw new Error(await page.textContent('#build-error'));
  await page.screenshot({ path: join(outDir, 'web-build.png'), fullPage: true });
  console.log(`${join(outDir, 'web-open.png')}\n${join(outDir, 'web-build.png')}`);
} finally {
  await browser.close();
  await server.close();
  rmSync(work, { recursive: true, force: true });
}
