// Every package of the hostile table (written by write_cases) opened in one
// page, one after the other, under the name it is meant to be run as: a
// package that cannot be read gives glimpack's own one line, one that can
// gives the records and problems `glimpack list` and `glimpack test` give,
// and the page goes on working for the next.
//
//   node --test hostile.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_CASES, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  foreignRequests,
  glimpack,
  launch,
  openInPage,
  openPage,
  pageWording,
  parseTestOutput,
  serve,
  shownPackage,
  shownProblem,
} from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_CASES, GLIM_WORK } = process.env;

// A finding as the hostile table names it: "code@record", or "code" alone.
const codeOf = (problem) => (problem.record === undefined ? problem.code : `${problem.code}@${problem.record}`);
const work = join(GLIM_WORK, 'hostile');

function readCases() {
  const [header, ...lines] = readFileSync(join(GLIM_CASES, 'cases.tsv'), 'utf8').split('\n').filter(Boolean);
  const columns = header.split('\t');
  return lines.map((line) => Object.fromEntries(line.split('\t').map((value, i) => [columns[i], value])));
}

let server;
let browser;
let page;
const cases = readCases();

before(async () => {
  rmSync(work, { recursive: true, force: true });
  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
  page = await openPage(browser.context, server.origin);
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('hostile packages in the page', () => {
  test('the table has its cases', () => {
    assert.ok(cases.length >= 40, `${cases.length} cases`);
  });

  for (const c of cases) {
    test(c.id, async () => {
      // glimpack sees the package under the name the page opens it as.
      const dir = join(work, c.id);
      mkdirSync(dir, { recursive: true });
      copyFileSync(join(GLIM_CASES, c.file), join(dir, c.open_as));
      const list = glimpack(GLIMPACK, ['list', '--json', c.open_as], { cwd: dir });

      // The page is given the file as written; its name is then set to the
      // one to run as, as a user would.
      const state = await openInPage(page, join(GLIM_CASES, c.file), c.open_as);
      const shown = await shownPackage(page);

      if (c.list_fails === 'yes') {
        assert.equal(list.code, 2, list.stdout);
        assert.equal(state, 'failed');
        // The same line, without the program's name before it.
        assert.equal(shown.error, pageWording(list.stderr.trim().replace(/^glimpack: /, '')));
        const refusal = JSON.parse(glimpack(GLIMPACK, ['list', '--json', c.open_as], { cwd: dir }).stdout);
        assert.deepEqual(refusal.problems.map(codeOf), [c.problem]);
        return;
      }
      // A package with problems is listed with them, and list says so.
      assert.equal(list.code, c.expect === 'accepted' ? 0 : 2, list.stderr);
      assert.equal(state, 'done', shown.error);
      const listing = JSON.parse(list.stdout);
      assert.equal(shown.title, `“${listing.title}”`);
      assert.deepEqual(
        shown.rows.map((r) => r.destination),
        listing.records.map((r) => r.destination ?? `not installed: ${shownProblem(r.problems[0])}`),
      );

      const run = glimpack(GLIMPACK, ['test', c.open_as], { cwd: dir });
      const expected = parseTestOutput(run.stdout, listing);
      assert.equal(shown.summary, expected.summary);
      assert.deepEqual(
        shown.rows.map((r) => r.crc32),
        listing.records.map((r) => expected.records.get(r.index).crc32),
      );
      // The package's own problems (a signature that does not hold) first.
      const problems = listing.problems.filter((p) => p.record === undefined).map(shownProblem);
      for (const [index, record] of expected.records) {
        for (const problem of record.problems) problems.push(`record ${index}: ${problem}`);
      }
      assert.deepEqual(shown.problems, problems);
      if (c.expect === 'accepted') {
        assert.equal(run.code, 0, run.stdout);
      } else {
        assert.equal(run.code, 2, run.stdout);
        assert.equal(codeOf(listing.problems[0]), c.problem);
      }
    });
  }

  test('leaves a page that still opens a good package, having asked no other host', async () => {
    const good = cases.find((c) => c.id === 'well-formed');
    assert.equal(await openInPage(page, join(GLIM_CASES, good.file), good.open_as), 'done');
    assert.match((await shownPackage(page)).summary, /: OK \(4 records\)$/);
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
  });
});
