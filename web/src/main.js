// The page's script: it presents what the worker's C++ answers and hands it
// the files the user chooses. Reading, checking, decoding and building all
// happen in the worker (worker.js), so the page stays responsive.
import { savedNameRefusal } from './names.js';
import { setUpScanning } from './scanview.js';
import { pageWording } from './wording.js';
import { dropZone, el, grouped, hexDump, looksLikeText, Pages, pictureType, saveBlob } from './views.js';

const $ = (id) => document.getElementById(id);

// Letters upper-cased as the installer upper-cases names: a-z only, so that
// the name suggested is one the installer would make itself.
const upperAscii = (text) => text.replace(/[a-z]/g, (c) => c.toUpperCase());

// A finding as the C++ gives it ({code, text, record}), in words.

// Bytes read for a text or hex preview, and the most a picture may have to be
// shown at all.
const PREVIEW_BYTES = 64 << 10;
const HEX_BYTES = 4096;
const PICTURE_LIMIT = 64 << 20;
// Rows of the records table, and problems of the verdict, shown at a time.
const PAGE_ROWS = 100;

// --- The worker -----------------------------------------------------------------

class WorkerClient {
  constructor() {
    this.start();
  }

  start() {
    this.worker = new Worker('worker.js');
    this.pending = new Map();
    this.nextId = 1;
    this.worker.onmessage = (event) => {
      const { id, progress, answer } = event.data;
      const waiting = this.pending.get(id);
      if (!waiting) return;
      if (progress) {
        if (waiting.onProgress) waiting.onProgress(progress.done, progress.total, progress);
        return;
      }
      this.pending.delete(id);
      if (answer.fatal) this.restart(answer.error);
      // What the C++ refuses is shown in the page's words.
      if (answer.error) answer.error = pageWording(answer.error);
      waiting.resolve(answer);
    };
    // A worker that dies (out of memory, say) takes its requests with it; a
    // fresh one serves the next request.
    this.worker.onerror = (event) => {
      event.preventDefault();
      this.restart(`the page's worker stopped (${event.message || 'unknown error'})`);
    };
  }

  get busy() {
    return this.pending.size > 0;
  }

  restart(reason) {
    this.worker.terminate();
    const pending = this.pending;
    this.start();
    if (this.onRestart) this.onRestart();
    for (const waiting of pending.values()) waiting.resolve({ ok: false, error: reason, cancelled: true });
  }

  request(message, onProgress) {
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.pending.set(id, { resolve, onProgress });
      this.worker.postMessage({ ...message, id });
    });
  }
}

// Browsers start no worker for a page opened from a file; say how to serve it.
const SERVE_HINT =
  'This page needs to be served over HTTP (browsers run no worker for a page opened as a file): ' +
  'for instance run "python3 -m http.server -d build/web 8000" and open http://127.0.0.1:8000/.';
const served = location.protocol !== 'file:';
// Opening and building each have a worker of their own: a package opened
// while another is being built is read beside the build and never stops it,
// and a package replaced by a newer one can be stopped without touching a
// build. The builder starts with the first build.
const client = served ? new WorkerClient() : null;
let builder = null;

function showProgress(bar) {
  bar.hidden = false;
  bar.value = 0;
  return (done, total) => {
    bar.max = total || 1;
    bar.value = done;
  };
}

// --- Views ------------------------------------------------------------------------

function selectTab(tab) {
  for (const other of document.querySelectorAll('[role="tab"]')) {
    const selected = other === tab;
    other.setAttribute('aria-selected', String(selected));
    other.tabIndex = selected ? 0 : -1;
    $(other.getAttribute('aria-controls')).hidden = !selected;
  }
}

function setUpTabs() {
  const tabs = [...document.querySelectorAll('[role="tab"]')];
  for (const tab of tabs) {
    tab.addEventListener('click', () => selectTab(tab));
    tab.addEventListener('keydown', (event) => {
      const at = tabs.indexOf(tab);
      let next = null;
      if (event.key === 'ArrowRight') next = tabs[(at + 1) % tabs.length];
      else if (event.key === 'ArrowLeft') next = tabs[(at + tabs.length - 1) % tabs.length];
      else if (event.key === 'Home') next = tabs[0];
      else if (event.key === 'End') next = tabs[tabs.length - 1];
      if (!next) return;
      event.preventDefault();
      selectTab(next);
      next.focus();
    });
  }
}

// --- Opening a package --------------------------------------------------------------

let current = null; // { file, name, listing, verdict }
let chosen = null; // the file last chosen, opened or not

// Where the open view and the build view are, for anyone watching the page
// (the browser tests wait on these): busy, done or failed.
function setState(view, state) {
  document.body.dataset[view] = state;
}

function say(text) {
  $('open-status').textContent = text;
}

function fail(text) {
  $('open-error').textContent = text;
}

// A sentence beside the open view that stays until the next package is
// chosen (files dropped with it that were not opened, say).
function remark(text) {
  $('open-note').textContent = text;
}

// How the page shows one finding of the C++'s answers ({code, text, record}).
function problemText(problem) {
  return pageWording(problem?.text ?? '');
}

function baseName(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
}

function fileNameOf(record) {
  if (!record.destination) return `record-${record.index}.bin`;
  const parts = record.destination.split('\\');
  return parts[parts.length - 1];
}

// Opens `file` as `name` and shows it. The view of the package shown before
// stays when `keepView` is set and the new name is refused (the same file
// under another name, say), so that a refusal never takes away what the user
// had; the worker keeps that package open then. Answers whether it opened.
async function openPackage(file, name, { keepView = false } = {}) {
  const previous = current;
  // A package replaced by a newer one needs no more checking or unpacking:
  // its worker starts afresh. Builds have a worker of their own.
  if (client.busy) client.restart(`${name} was opened meanwhile`);
  chosen = { file, name };
  fail('');
  $('open-progress').hidden = true;
  $('run-as').hidden = false;
  $('run-name').value = name;
  setState('open', 'busy');
  say(`Reading ${name} …`);
  const opened = await client.request({ op: 'open', file, name });
  if (!opened.ok) {
    say('');
    if (opened.cancelled) return false;
    fail(opened.error);
    const kept = keepView && previous !== null && previous === current;
    if (kept) {
      chosen = { file: previous.file, name: previous.name };
      say(`Still showing ${previous.name}.`);
    } else {
      current = null;
      $('package').hidden = true;
    }
    setState('open', 'failed');
    return false;
  }
  current = { file, name, listing: opened.listing, verdict: null };
  const shown = current;
  renderListing(opened.listing);
  await renderTexts();
  say(`Checking ${name} …`);
  const progress = showProgress($('open-progress'));
  const verdict = await client.request({ op: 'check' }, progress);
  if (current !== shown) return false;
  $('open-progress').hidden = true;
  if (!verdict.ok) {
    say('');
    if (!verdict.cancelled) {
      fail(verdict.error);
      setState('open', 'failed');
    }
    return false;
  }
  current.verdict = verdict;
  renderVerdict(verdict);
  say(`${name}: checked.`);
  setState('open', 'done');
  return true;
}

let recordPages = null;

function recordRow(record, result) {
  const name = fileNameOf(record);
  const problems = result ? result.problems.map(problemText) : [];
  // Where Windows will store the file, and the installer's own spelling of
  // it where that differs (Windows drops trailing dots and blanks).
  const destination = record.destination
    ? el(
        'td',
        { class: 'destination' },
        el('span', { 'data-field': 'destination', text: record.destination }),
        record.named_destination && record.named_destination !== record.destination
          ? el('span', { class: 'hint named', 'data-field': 'named_destination', text: `the installer names it ${record.named_destination}` })
          : null,
      )
    : el('td', { class: 'destination' }, el('span', { 'data-field': 'destination', class: 'problem', text: `not installed: ${problemText(record.problems[0])}` }));
  return el(
    'tr',
    { 'data-index': record.index },
    el('td', { 'data-field': 'index', text: String(record.index) }),
    el('td', { 'data-field': 'role', text: record.role }),
    el('td', { 'data-field': 'method', text: record.method }),
    el('td', { 'data-field': 'stored_size', class: 'number', text: String(record.stored_size) }),
    el('td', { 'data-field': 'unpacked_size', class: 'number', text: record.method === 'compressed' ? String(record.unpacked_size) : '-' }),
    el('td', { 'data-field': 'offset', class: 'number', text: String(record.offset) }),
    destination,
    el('td', { 'data-field': 'crc32', class: 'mono', text: result ? result.crc32 ?? '--------' : '…' }),
    el('td', { 'data-field': 'sha256', class: 'mono hash', text: result ? result.sha256 ?? '--------' : '…' }),
    el('td', { 'data-field': 'status', class: result ? (problems.length ? 'problem' : 'ok') : null, text: result ? problems.join('; ') || 'OK' : '…' }),
    el(
      'td',
      { class: 'actions' },
      el('button', { type: 'button', 'data-action': 'view', 'aria-label': `View record ${record.index}, ${name}`, text: 'View', onclick: () => viewRecord(record) }),
      el('button', { type: 'button', 'data-action': 'download', 'aria-label': `Download record ${record.index}, ${name}`, text: 'Download', onclick: () => downloadRecord(record) }),
    ),
  );
}

// The records on the current page of the table, with what the verdict found
// once it is in.
function renderRecords(start, end) {
  const { listing, verdict } = current;
  const rows = [];
  for (let i = start; i < end; i++) rows.push(recordRow(listing.records[i], verdict && verdict.records[i]));
  $('records').tBodies[0].replaceChildren(...rows);
}

function renderListing(listing) {
  $('package').hidden = false;
  $('package-name').textContent = listing.package;
  $('package-title').textContent = `“${listing.title}”`;
  $('package-first-number').textContent = String(listing.first_file_number);
  $('package-record-count').textContent = grouped(listing.records.length);
  $('package-total').textContent = `${grouped(listing.installed_total)} bytes`;
  $('verdict').replaceChildren(el('p', { text: 'Checking …' }));
  $('verdict').className = 'verdict';
  $('notes').replaceChildren(...(listing.notes || []).map((note) => el('li', { 'data-field': 'note', text: `Note: ${problemText(note)}` })));
  $('notes').hidden = !(listing.notes || []).length;
  renderSignature(listing);
  $('download-zip').disabled = true;
  $('preview').replaceChildren(el('p', { class: 'hint', text: 'Choose “View” on a record to see its file.' }));
  recordPages.set(listing.records.length);
}

// The package's own problems that are its signature's, of all that
// `glimpack list --json` gives.
const SIGNATURE_PROBLEMS = new Set(['changed-after-signing', 'signature-invalid', 'signature-malformed', 'signature-does-not-cover']);

// What the signature says and whether it still holds, from the listing
// (`glimpack list --json`'s "integrity" and "signature"). The values the
// tool gives are kept in data-value for anyone comparing the two.
function renderSignature(listing) {
  const signature = listing.signature;
  const rows = [];
  const row = (term, field, text, value) => rows.push(el('dt', { text: term }), el('dd', { 'data-field': field, 'data-value': value, text }));
  let verdict;
  if (!signature) {
    verdict = 'not signed: nothing shows whether a byte was changed since the package was made, as the format has no checksum';
  } else if (signature.outcome === 'intact') {
    verdict = 'the file is as it was signed';
  } else {
    const found = [...listing.problems, ...(listing.notes || [])].find((p) => SIGNATURE_PROBLEMS.has(p.code) || p.code === 'signature-not-checked');
    verdict = found ? problemText(found) : signature.outcome;
  }
  row('Signed', 'signed', signature ? (signature.algorithm ? `yes, with ${signature.algorithm}` : 'yes') : 'no', signature ? signature.algorithm ?? '' : '');
  row('Integrity', 'integrity', verdict, listing.integrity);
  if (signature) {
    $('signature').dataset.outcome = signature.outcome;
    row('Signer', 'subject', signature.subject ?? 'not given', signature.subject ?? '');
    row('Issued by', 'issuer', signature.issuer ?? 'not given', signature.issuer ?? '');
    row('Signed at', 'signing_time', signature.signing_time ?? 'not given', signature.signing_time ?? '');
    row('Chain', 'chain', 'not checked: whether the certificate chains to a trusted root is for Windows to decide when the package is run', 'false');
  } else {
    $('signature').dataset.outcome = 'unsigned';
  }
  $('signature').replaceChildren(...rows);
}

function renderVerdict(verdict) {
  // The package's own problems first, then every record's, as
  // `glimpack list` gives them.
  const problems = (verdict.problems || []).map(problemText);
  for (const result of verdict.records) {
    for (const problem of result.problems) problems.push(`record ${result.index}: ${problemText(problem)}`);
  }
  const box = $('verdict');
  box.className = `verdict ${verdict.bad ? 'bad' : 'good'}`;
  box.replaceChildren(el('p', { 'data-field': 'summary', text: verdict.summary }));
  if (problems.length) {
    const list = el('ul', { 'aria-label': 'Problems found' });
    const nav = el('div', { class: 'pages', role: 'group', 'aria-label': 'Pages of problems' });
    box.append(list, nav);
    new Pages(nav, {
      noun: 'problems',
      size: PAGE_ROWS,
      render: (start, end) => list.replaceChildren(...problems.slice(start, end).map((p) => el('li', { 'data-field': 'problem', text: p }))),
    }).set(problems.length);
  }
  recordPages.show(recordPages.page);
  $('download-zip').disabled = verdict.bad !== 0;
}

async function renderTexts() {
  const box = $('texts');
  const texts = await client.request({ op: 'texts', windowsDir: $('windows-dir').value });
  if (!texts.ok) {
    box.replaceChildren(el('p', { class: 'problem', text: texts.error }));
    return;
  }
  if (texts.stops) {
    box.replaceChildren(el('p', { class: 'problem', text: `The installer would stop at once: ${texts.stops}.` }));
    return;
  }
  const message = (id, label, text) =>
    el(
      'figure',
      { class: 'message-box', 'aria-labelledby': `${id}-label` },
      el('figcaption', { id: `${id}-label` }, el('span', { class: 'visually-hidden', text: `${label}: ` }), el('span', { 'data-field': 'caption', text: texts.caption })),
      el('p', { id, 'data-field': id, text: text.replaceAll('\r\n', '\n') }),
    );
  box.replaceChildren(
    el('p', { class: 'hint', text: `Run as ${texts.module_path}, it installs ${texts.scr_file_name}.` }),
    message('confirmation', 'Before installing', texts.confirmation),
    message('completion', 'When done', texts.completion),
  );
}

async function viewRecord(record) {
  const name = fileNameOf(record);
  const preview = $('preview');
  const heading = $('preview-heading');
  heading.textContent = `File: ${name}`;
  preview.replaceChildren(el('p', { text: 'Reading …' }));
  const first = await client.request({ op: 'read', index: record.index, limit: PREVIEW_BYTES });
  if (!first.ok) {
    preview.replaceChildren(el('p', { class: 'problem', text: first.error }));
    heading.focus();
    return;
  }
  const bytes = new Uint8Array(await first.blob.arrayBuffer());
  const size = first.size;
  const picture = pictureType(bytes);
  let shown;
  if (picture && size <= PICTURE_LIMIT) {
    const whole = await client.request({ op: 'read', index: record.index, limit: 0, type: picture });
    if (!whole.ok) {
      shown = el('p', { class: 'problem', text: whole.error });
    } else {
      const image = el('img', { src: URL.createObjectURL(whole.blob), alt: `${name}, the picture in record ${record.index}`, 'data-kind': 'picture' });
      shown = el('div', { class: 'picture' }, image);
    }
  } else if (looksLikeText(bytes)) {
    shown = el('pre', { class: 'text-view', tabindex: '0', 'data-kind': 'text', 'aria-label': `Text of ${name}`, text: new TextDecoder('windows-1252').decode(bytes) });
  } else {
    const part = bytes.subarray(0, HEX_BYTES);
    shown = el('pre', { class: 'hex-view', tabindex: '0', 'data-kind': 'hex', 'aria-label': `Hex view of ${name}`, text: hexDump(part) });
  }
  const shownBytes = shown.dataset.kind === 'hex' ? Math.min(HEX_BYTES, bytes.length) : shown.dataset.kind === 'text' ? bytes.length : size;
  const note = shownBytes < size ? `the first ${grouped(shownBytes)} of ${grouped(size)} bytes` : `${grouped(size)} bytes`;
  preview.replaceChildren(el('p', { class: 'hint', text: note }), shown);
  heading.focus();
}

// A file the browser would save under another name is not offered: the
// sentence says why and what to change.
function refusedDownload(subject, name) {
  const refusal = savedNameRefusal(subject, name, 'Give the package another installer file name above.');
  if (refusal) fail(refusal);
  return refusal !== null;
}

async function downloadRecord(record) {
  const name = fileNameOf(record);
  fail('');
  if (refusedDownload(`${current.name}: record ${record.index}`, name)) return;
  say(`Unpacking ${name} …`);
  const progress = showProgress($('open-progress'));
  const answer = await client.request({ op: 'read', index: record.index, limit: 0 }, progress);
  // Stopped for a newer package, whose status and progress these are now:
  // said beside it, as no error of its own.
  if (answer.cancelled) {
    remark(`${name} was not saved: ${answer.error}.`);
    return;
  }
  $('open-progress').hidden = true;
  if (!answer.ok) {
    say('');
    fail(answer.error);
    return;
  }
  saveBlob(answer.blob, name);
  say(`${name}: ${grouped(answer.bytes)} bytes${answer.problems.length ? `, with problems: ${answer.problems.map(problemText).join('; ')}` : ''}.`);
}

async function downloadZip() {
  if (!current || !current.verdict || current.verdict.bad) return;
  const records = current.listing.records.map((r) => ({
    index: r.index,
    destination: r.destination,
    size: r.method === 'compressed' ? r.unpacked_size : r.stored_size,
  }));
  const name = `${baseName(current.name)}.zip`;
  fail('');
  if (refusedDownload(current.name, name)) return;
  say(`Packing ${name} …`);
  const progress = showProgress($('open-progress'));
  const answer = await client.request({ op: 'zip', records }, progress);
  // Stopped for a newer package, whose status and progress these are now:
  // said beside it, as no error of its own.
  if (answer.cancelled) {
    remark(`${name} was not saved: ${answer.error}.`);
    return;
  }
  $('open-progress').hidden = true;
  if (!answer.ok) {
    say('');
    fail(answer.error);
    return;
  }
  saveBlob(answer.blob, name);
  say(`${name}: ${grouped(answer.blob.size)} bytes.`);
}

// What the installer file name field refuses before anything is read.
function installerNameRefusal(name) {
  if (name.trim() === '') return 'Installer file name: type the name the package is run as, such as STARS.EXE.';
  return null;
}

function setUpOpening() {
  recordPages = new Pages($('record-pages'), { noun: 'records', size: PAGE_ROWS, render: renderRecords });
  // A fresh worker has no package open: what the page shows of the old one
  // can no longer be viewed or unpacked.
  client.onRestart = () => {
    if (!current) return;
    current = null;
    $('package').hidden = true;
    say('');
    fail('The page restarted its reader; choose the package again.');
    setState('open', 'failed');
  };
  // One package is shown at a time: the first of several files is opened,
  // and each of the others is named as left alone.
  const openFirst = (files) => {
    remark('');
    if (!files.length) return;
    const [first, ...others] = files;
    if (others.length) {
      const names = others.map((f) => `"${f.name}"`);
      const list = names.length === 1 ? names[0] : `${names.slice(0, -1).join(', ')} and ${names.at(-1)}`;
      remark(`Opened only "${first.name}": the page shows one package at a time, so ${list} ${others.length === 1 ? 'was' : 'were'} not opened.`);
    }
    openPackage(first, first.name);
  };
  const input = $('package-file');
  input.addEventListener('change', () => openFirst([...input.files]));
  dropZone($('drop-zone'), (dropped) => openFirst([...dropped.files]));
  $('run-as').addEventListener('submit', (event) => {
    event.preventDefault();
    if (!chosen) return;
    const name = $('run-name').value;
    const refusal = installerNameRefusal(name);
    if (refusal) {
      fail(refusal);
      setState('open', 'failed');
      return;
    }
    if (!current || name !== current.name) {
      openPackage(chosen.file, name, { keepView: current !== null && current.file === chosen.file });
      return;
    }
    fail('');
    setState('open', 'busy');
    renderTexts().then(() => setState('open', 'done'));
  });
  $('download-zip').addEventListener('click', downloadZip);
}

// --- Building a package -------------------------------------------------------------

function setUpBuilding() {
  const form = $('build-form');
  $('build-saver').addEventListener('change', () => {
    const saver = $('build-saver').files[0];
    if (saver) $('build-name').value = `${upperAscii(baseName(saver.name))}.EXE`;
  });
  let lastUrl = null;
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    $('build-error').textContent = '';
    $('build-result').hidden = true;
    const request = {
      title: $('build-title').value,
      saver: $('build-saver').files[0],
      data: $('build-data').files[0],
      files: [...$('build-files').files],
      firstNumber: $('build-first-number').value,
      name: $('build-name').value,
      mode: $('build-mode').value,
    };
    $('build-button').disabled = true;
    setState('build', 'busy');
    $('build-status').textContent = `Building ${request.name} …`;
    const progress = showProgress($('build-progress'));
    if (!builder) builder = new WorkerClient();
    // The names the installer cannot use are refused first, in the tool's
    // words; then a name the browser would save differently, before any
    // file is read.
    const nameRefusal = savedNameRefusal('File name', request.name, 'Choose another name.');
    request.refuseName = nameRefusal !== null;
    const answer = await builder.request({ op: 'build', request }, progress);
    if (answer.nameRefused) answer.error = nameRefusal;
    $('build-progress').hidden = true;
    $('build-button').disabled = false;
    if (!answer.ok) {
      $('build-status').textContent = '';
      $('build-error').textContent = answer.error;
      setState('build', 'failed');
      return;
    }
    if (lastUrl) URL.revokeObjectURL(lastUrl);
    lastUrl = URL.createObjectURL(answer.blob);
    const link = $('build-download');
    link.href = lastUrl;
    link.download = request.name;
    link.textContent = `Download ${request.name} (${grouped(answer.size)} bytes)`;
    $('build-result').hidden = false;
    $('build-status').textContent = `${request.name} is ready.`;
    setState('build', 'done');
    link.focus();
  });
}

// Opened as a file the page can do nothing: every control says so by being
// disabled, and one line says why and what to do.
function disableAll(reason) {
  const line = $('page-error');
  line.textContent = reason;
  line.hidden = false;
  for (const control of document.querySelectorAll('main input, main select, main button, main textarea')) control.disabled = true;
  for (const zone of document.querySelectorAll('.drop-zone')) zone.setAttribute('aria-disabled', 'true');
  // A file dropped onto the page would otherwise replace it.
  for (const type of ['dragover', 'drop']) document.addEventListener(type, (event) => event.preventDefault());
}

setUpTabs();
if (served) {
  setUpOpening();
  setUpBuilding();
  // Scanning has a worker of its own too, started with the first scan.
  setUpScanning(
    () => new WorkerClient(),
    (file, name) => {
      selectTab($('tab-open'));
      $('tab-open').focus();
      openPackage(file, name);
    },
  );
} else {
  disableAll(SERVE_HINT);
}
