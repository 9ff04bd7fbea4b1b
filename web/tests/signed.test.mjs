// Signed packages in the page against the native glimpack: packed by
// glimpack, signed by osslsigncode with throwaway certificates made here,
// then altered the ways that matter. For each, what the page shows of the
// signature (integrity, outcome, algorithm, signer, issuer, signing time),
// every file's SHA-256 and CRC-32, the package's problems and notes are what
// `glimpack list --json` gives for the same file under the same name.
//
//   node --test signed.test.mjs   (GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK from CTest)
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
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
  parseTestOutput,
  serve,
  shownPackage,
  shownProblem,
} from './harness.mjs';

const { GLIM_WEB_DIR, GLIMPACK, GLIM_STUB, GLIM_WORK } = process.env;
const work = join(GLIM_WORK, 'signed');

let server;
let browser;
let page;
let bodyOffset;

function run(command, args) {
  const done = spawnSync(command, args, { cwd: work, encoding: 'utf8' });
  if (done.error) throw done.error;
  assert.equal(done.status, 0, `${command} ${args.join(' ')}: ${done.stdout}${done.stderr}`);
  return done.stdout;
}

// A self-signed certificate with its key: RSA, or ECDSA on the named curve.
function certificate(name, subject, curve) {
  const key = curve ? ['-newkey', 'ec', '-pkeyopt', `ec_paramgen_curve:${curve}`] : ['-newkey', 'rsa:2048'];
  run('openssl', ['req', '-x509', ...key, '-nodes', '-keyout', `${name}.key`, '-out', `${name}.pem`, '-days', '2', '-utf8', '-multivalue-rdn', '-subj', subject]);
  return name;
}

function sign(input, output, cert, algorithm = 'sha256', ...extra) {
  run('osslsigncode', ['sign', '-certs', `${cert}.pem`, '-key', `${cert}.key`, '-h', algorithm, ...extra, '-in', input, '-out', output]);
  return output;
}

function altered(input, output, change) {
  const bytes = readFileSync(join(work, input));
  change(bytes);
  writeFileSync(join(work, output), bytes);
  return output;
}

function listJson(name) {
  const done = glimpack(GLIMPACK, ['list', '--json', name], { cwd: work });
  assert.ok(done.code === 0 || done.code === 2, done.stderr);
  return JSON.parse(done.stdout);
}

// What the page shows of the signature, field by field.
function shownSignature() {
  return page.evaluate(() => {
    const value = (field) => document.querySelector(`#signature [data-field="${field}"]`)?.dataset.value ?? null;
    const text = (field) => document.querySelector(`#signature [data-field="${field}"]`)?.textContent ?? null;
    return {
      outcome: document.getElementById('signature').dataset.outcome,
      integrity: value('integrity'),
      integrityText: text('integrity'),
      algorithm: value('signed'),
      subject: text('subject'),
      issuer: text('issuer'),
      signingTime: text('signing_time'),
      notes: [...document.querySelectorAll('[data-field="note"]')].map((li) => li.textContent),
    };
  });
}

// Opens `name` in the page and holds everything it shows against glimpack.
async function sameAsGlimpack(name) {
  const listing = listJson(name);
  assert.equal(await openInPage(page, join(work, name)), 'done');
  const shown = await shownPackage(page);
  const signature = await shownSignature();
  const expected = listing.signature;

  assert.equal(signature.integrity, listing.integrity);
  assert.equal(signature.outcome, expected ? expected.outcome : 'unsigned');
  assert.equal(signature.algorithm, expected ? expected.algorithm ?? '' : '');
  if (expected) {
    assert.equal(signature.subject, expected.subject ?? 'not given');
    assert.equal(signature.issuer, expected.issuer ?? 'not given');
    assert.equal(signature.signingTime, expected.signing_time ?? 'not given');
  }
  assert.deepEqual(
    shown.rows.map((r) => [r.crc32, r.sha256]),
    listing.records.map((r) => [r.crc32 ?? '--------', r.sha256 ?? '--------']),
  );
  assert.deepEqual(signature.notes, listing.notes.map((n) => `Note: ${shownProblem(n)}`));
  // The package's own problems first, then the records'.
  const own = listing.problems.filter((p) => p.record === undefined).map(shownProblem);
  const records = listing.problems.filter((p) => p.record !== undefined).map((p) => `record ${p.record}: ${shownProblem(p)}`);
  assert.deepEqual(shown.problems, [...own, ...records]);
  const tested = glimpack(GLIMPACK, ['test', name], { cwd: work });
  assert.equal(shown.summary, parseTestOutput(tested.stdout, listing).summary);
  return { listing, signature };
}

before(async () => {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  // A saver whose length is not a multiple of 8, so that the signer pads
  // the package.
  writeFileSync(join(work, 'SAVER.SCR'), Buffer.concat([Buffer.from('MZ'), noise(9001, 4)]));
  writeFileSync(join(work, 'SAVER.DAT'), 'speed=3\r\n');
  writeFileSync(join(work, 'README.TXT'), 'stars\r\n'.repeat(500));
  run(GLIMPACK, ['pack', '-q', '--stub', GLIM_STUB, '-o', 'PKG.EXE', '--title', 'Signed', '--scr', 'SAVER.SCR', '--dat', 'SAVER.DAT', 'README.TXT']);
  bodyOffset = listJson('PKG.EXE').records[0].offset;
  // Names that need each of libcrypto's ways of writing them: escapes, a
  // leading # and blanks, a set of several values, UTF-8 and an address.
  certificate('rsa', '/C=DE/O=Glimmerloom\\, Tests+OU=Signing #1/CN=#Zoë "Signer" <test>; \\+ /emailAddress=signer@example.org');
  certificate('ec', '/CN=Glim EC Signer/O=Glimmerloom Tests', 'prime256v1');
  server = await serve(GLIM_WEB_DIR);
  browser = await launch();
  page = await openPage(browser.context, server.origin);
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.close();
});

describe('signatures in the page', () => {
  test('an unsigned package has no signature and every file its SHA-256', async () => {
    const { listing, signature } = await sameAsGlimpack('PKG.EXE');
    assert.equal(listing.integrity, 'none');
    assert.match(signature.integrityText, /^not signed: /);
    assert.ok(listing.records.every((r) => /^[0-9a-f]{64}$/.test(r.sha256)));
  });

  test('a signed package is as it was signed, by the signer glimpack names', async () => {
    const name = sign('PKG.EXE', 'SIGNED.EXE', 'rsa');
    const { listing, signature } = await sameAsGlimpack(name);
    assert.equal(listing.integrity, 'signature');
    assert.equal(signature.integrityText, 'the file is as it was signed');
    assert.match(listing.signature.subject, /^emailAddress=signer@example\.org, CN=\\#Zoë \\"Signer\\" \\<test\\>\\; \\\+\\ , /);
  });

  test('a body byte flipped after signing breaks it, and signing anew mends it', async () => {
    const flipped = altered('SIGNED.EXE', 'FLIPPED.EXE', (bytes) => {
      bytes[bodyOffset + 100] ^= 0x01;
    });
    const { listing } = await sameAsGlimpack(flipped);
    assert.equal(listing.signature.outcome, 'changed-after-signing');
    assert.equal(listing.integrity, 'broken-signature');
    const resigned = await sameAsGlimpack(sign(flipped, 'RESIGNED.EXE', 'rsa'));
    assert.equal(resigned.listing.signature.outcome, 'intact');
  });

  test('bytes appended after signing leave the file uncovered by its signature', async () => {
    const signed = readFileSync(join(work, 'SIGNED.EXE'));
    writeFileSync(join(work, 'APPENDED.EXE'), Buffer.concat([signed, noise(4096, 5)]));
    const { listing } = await sameAsGlimpack('APPENDED.EXE');
    assert.equal(listing.signature.outcome, 'not-at-end');
  });

  test('a signed stub with a payload appended is refused in glimpack\'s words', async () => {
    // The payload's record table is in the stub's part, which the signed
    // stub does not have: no package to show.
    sign(GLIM_STUB, 'SIGNED-STUB.EXE', 'rsa');
    const stub = readFileSync(GLIM_STUB);
    const pkg = readFileSync(join(work, 'PKG.EXE'));
    writeFileSync(join(work, 'STUB-FIRST.EXE'), Buffer.concat([readFileSync(join(work, 'SIGNED-STUB.EXE')), pkg.subarray(stub.length)]));
    const refused = glimpack(GLIMPACK, ['list', 'STUB-FIRST.EXE'], { cwd: work });
    assert.equal(refused.code, 2);
    assert.equal(await openInPage(page, join(work, 'STUB-FIRST.EXE')), 'failed');
    assert.equal((await shownPackage(page)).error, pageWording(refused.stderr.trim().replace(/^glimpack: /, '')));
  });

  test('a signed attribute altered: the signer’s signature no longer verifies', async () => {
    const listing = listJson('SIGNED.EXE');
    const when = listing.signature.signing_time;
    const utc = Buffer.from(`${when.slice(2, 4)}${when.slice(5, 7)}${when.slice(8, 10)}${when.slice(11, 13)}${when.slice(14, 16)}${when.slice(17, 19)}Z`);
    const name = altered('SIGNED.EXE', 'ATTRIBUTE.EXE', (bytes) => {
      // The last one: the certificate, made in the same second, may carry
      // the same time before it.
      const at = bytes.lastIndexOf(utc);
      assert.ok(at > listing.signature.certificate_table.offset);
      bytes[at + 11] = bytes[at + 11] === 0x30 ? 0x31 : 0x30;
    });
    const altering = await sameAsGlimpack(name);
    assert.equal(altering.listing.signature.outcome, 'signature-invalid');
  });

  test('an ECDSA signer, other digests and a nested signature read as in glimpack', async () => {
    for (const [name, cert, algorithm] of [['EC.EXE', 'ec', 'sha384'], ['SHA1.EXE', 'rsa', 'sha1'], ['SHA512.EXE', 'ec', 'sha512']]) {
      const { listing } = await sameAsGlimpack(sign('PKG.EXE', name, cert, algorithm));
      assert.deepEqual([listing.signature.outcome, listing.signature.algorithm], ['intact', algorithm], name);
    }
    const { listing } = await sameAsGlimpack(sign('SHA1.EXE', 'NESTED.EXE', 'ec', 'sha256', '-nest'));
    assert.ok(listing.notes.some((n) => n.code === 'more-signatures'));
  });

  test('a certificate table that holds no signature is malformed, as in glimpack', async () => {
    const signed = readFileSync(join(work, 'SIGNED.EXE'));
    const table = listJson('SIGNED.EXE').signature.certificate_table;
    // The entry's header kept, its SignedData replaced by bytes that are not
    // one, then by a SignedData cut short.
    const garbage = Buffer.from(signed);
    noise(table.size - 8, 7).copy(garbage, table.offset + 8);
    writeFileSync(join(work, 'GARBAGE.EXE'), garbage);
    assert.equal((await sameAsGlimpack('GARBAGE.EXE')).listing.signature.outcome, 'malformed');
    const cut = Buffer.from(signed);
    cut.fill(0, table.offset + 200, table.offset + table.size);
    writeFileSync(join(work, 'CUT.EXE'), cut);
    assert.equal((await sameAsGlimpack('CUT.EXE')).listing.signature.outcome, 'malformed');
  });

  test('bytes of the certificate table flipped one at a time read as in glimpack', async () => {
    // A sample across the whole table: the SignedData's outline, the
    // signed content, the certificate and its names, the attributes and the
    // signature. Whether a change makes the message unreadable, or only
    // breaks what it says, is libcrypto's call, and the page's must be the
    // same.
    const signed = readFileSync(join(work, 'NESTED.EXE'));
    const table = listJson('NESTED.EXE').signature.certificate_table;
    const outcomes = new Set();
    for (let at = table.offset; at < table.offset + table.size; at += 13) {
      const bytes = Buffer.from(signed);
      bytes[at] ^= at % 2 ? 0xff : 0x01;
      // A name of its own: the page is told of a file chosen anew only when
      // the choice changes.
      const name = `FLIP${at - table.offset}.EXE`;
      writeFileSync(join(work, name), bytes);
      outcomes.add((await sameAsGlimpack(name)).signature.outcome);
    }
    assert.ok(outcomes.has('malformed') && outcomes.has('signature-invalid') && outcomes.has('intact'), [...outcomes].join());
  });

  test('asks nothing of any other host and raises no error', () => {
    assert.deepEqual(foreignRequests(browser.requests, server.origin), []);
    assert.deepEqual(browser.errors, []);
  });
});

describe('the page with its cryptography', () => {
  // A guard against a library bundled whole, not a budget: the page with the
  // scan and the cryptography is some 700 KB.
  test('stays small: the folder without the stub is under 1 MiB', () => {
    const sizes = Object.fromEntries(
      readdirSync(GLIM_WEB_DIR).filter((f) => f !== 'glimsetup.exe').map((f) => [f, statSync(join(GLIM_WEB_DIR, f)).size]),
    );
    const total = Object.values(sizes).reduce((a, b) => a + b, 0);
    assert.ok(total < 1024 * 1024, JSON.stringify(sizes));
  });
});
