// The page's script: it presents what the worker's C++ answers and hands it
// the files the user chooses. Reading, checking, decoding and building all
// happen in the worker (worker.js), so the page stays responsive.
import { el, grouped, hexDump, looksLikeText, pictureType, saveBlob } from './views.js';

const $ = (id) => document.getElementById(id);

// Letters upper-cased as the installer upper-cases names: a-z only, so that
// the name suggested is one the installer would make itself.
const upperAscii = (text) => text.replace(/[a-z]/g, (c) => c.toUpperCase());

// A finding as the C++ gives it ({code, text, record}), in words.
const problemText = (problem) => problem?.text ?? '';

// Bytes read for a text or hex preview, and the most a picture may have to be
// shown at all.
const PREVIEW_BYTES = 64 << 10;
const HEX_BYTES = 4096;
const PICTURE_LIMIT = 64 << 20;

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
        if (waiting.onProgress) waiting.onProgress(progress.done, progress.total);
        return;
      }
      this.pending.delete(id);
      if (answer.fatal) this.restart(answer.error);
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
const client = location.protocol === 'file:' ? null : new WorkerClient();

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

function baseName(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
}

function fileNameOf(record) {
  if (!record.destination) return `record-${record.index}.bin`;
  const parts = record.destination.split('\\');
  return parts[parts.length - 1];
}

async function openPackage(file, name) {
  if (client.busy) client.restart('a newer package was opened');
  current = null;
  chosen = { file, name };
  fail('');
  $('package').hidden = true;
  $('open-progress').hidden = true;
  $('run-as').hidden = false;
  $('run-name').value = name;
  setState('open', 'busy');
  say(`Reading ${name} …`);
  const opened = await client.request({ op: 'open', file, name });
  if (!opened.ok) {
    say('');
    if (!opened.cancelled) {
      fail(opened.error);
      setState('open', 'failed');
    }
    return;
  }
  current = { file, name, listing: opened.listing, verdict: null };
  renderListing(opened.listing);
  await renderTexts();
  say(`Checking ${name} …`);
  const progress = showProgress($('open-progress'));
  const verdict = await client.request({ op: 'check' }, progress);
  $('open-progress').hidden = true;
  if (current === null || current.listing !== opened.listing) return;
  if (!verdict.ok) {
    say('');
    if (!verdict.cancelled) {
      fail(verdict.error);
      setState('open', 'failed');
    }
    return;
  }
  current.verdict = verdict;
  renderVerdict(verdict);
  say(`${name}: checked.`);
  setState('open', 'done');
}

function renderListing(listing) {
  $('package').hidden = false;
  $('package-name').textContent = listing.package;
  $('package-title').textContent = `“${listing.title}”`;
  $('package-first-number').textContent = String(listing.first_file_number);
  $('package-record-count').textContent = String(listing.records.length);
  $('package-total').textContent = `${grouped(listing.installed_total)} bytes`;
  $('verdict').replaceChildren(el('p', { text: 'Checking …' }));
  $('verdict').className = 'verdict';
  $('download-zip').disabled = true;
  $('preview').replaceChildren(el('p', { class: 'hint', text: 'Choose “View” on a record to see its file.' }));
  const rows = listing.records.map((record) => {
    const name = fileNameOf(record);
    const destination = record.destination
      ? el('td', { 'data-field': 'destination', text: record.destination })
      : el('td', { 'data-field': 'destination', class: 'problem', text: `not installed: ${problemText(record.problems[0])}` });
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
      el('td', { 'data-field': 'crc32', class: 'mono', text: '…' }),
      el('td', { 'data-field': 'status', text: '…' }),
      el(
        'td',
        { class: 'actions' },
        el('button', { type: 'button', 'data-action': 'view', 'aria-label': `View record ${record.index}, ${name}`, text: 'View', onclick: () => viewRecord(record) }),
        el('button', { type: 'button', 'data-action': 'download', 'aria-label': `Download record ${record.index}, ${name}`, text: 'Download', onclick: () => downloadRecord(record) }),
      ),
    );
  });
  $('records').tBodies[0].replaceChildren(...rows);
}

function renderVerdict(verdict) {
  const problems = [];
  for (const result of verdict.records) {
    const row = $('records').querySelector(`tr[data-index="${result.index}"]`);
    row.querySelector('[data-field="crc32"]').textContent = result.crc32 ?? '--------';
    const status = row.querySelector('[data-field="status"]');
    status.textContent = result.problems.length ? result.problems.map(problemText).join('; ') : 'OK';
    status.className = result.problems.length ? 'problem' : 'ok';
    for (const problem of result.problems) problems.push(`record ${result.index}: ${problemText(problem)}`);
  }
  const box = $('verdict');
  box.className = `verdict ${verdict.bad ? 'bad' : 'good'}`;
  box.replaceChildren(el('p', { 'data-field': 'summary', text: verdict.summary }));
  if (problems.length) box.append(el('ul', {}, ...problems.map((p) => el('li', { 'data-field': 'problem', text: p }))));
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

async function downloadRecord(record) {
  const name = fileNameOf(record);
  say(`Unpacking ${name} …`);
  const progress = showProgress($('open-progress'));
  const answer = await client.request({ op: 'read', index: record.index, limit: 0 }, progress);
  $('open-progress').hidden = true;
  if (!answer.ok) {
    say('');
    if (!answer.cancelled) fail(answer.error);
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
  say(`Packing ${name} …`);
  const progress = showProgress($('open-progress'));
  const answer = await client.request({ op: 'zip', records }, progress);
  $('open-progress').hidden = true;
  if (!answer.ok) {
    say('');
    if (!answer.cancelled) fail(answer.error);
    return;
  }
  saveBlob(answer.blob, name);
  say(`${name}: ${grouped(answer.blob.size)} bytes.`);
}

function setUpOpening() {
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
  const input = $('package-file');
  input.addEventListener('change', () => {
    if (input.files.length) openPackage(input.files[0], input.files[0].name);
  });
  const zone = $('drop-zone');
  zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('dragging');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('dragging'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('dragging');
    const file = event.dataTransfer.files[0];
    if (file) openPackage(file, file.name);
  });
  $('run-as').addEventListener('submit', (event) => {
    event.preventDefault();
    if (!chosen) return;
    const name = $('run-name').value;
    if (!current || name !== current.name) {
      openPackage(chosen.file, name);
      return;
    }
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
    const answer = await client.request({ op: 'build', request }, progress);
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

setUpTabs();
if (client) {
  setUpOpening();
  setUpBuilding();
} else {
  fail(SERVE_HINT);
  $('build-error').textContent = SERVE_HINT;
}
