// The scan view: a folder or files, chosen or dropped, are scanned by a
// worker of its own (scan.js) as `glimpack scan` scans them, and its lines
// are shown a page at a time as they come. Nothing leaves the browser.
import { dropZone, el, grouped, Pages } from './views.js';
import { pageWording } from './wording.js';

const $ = (id) => document.getElementById(id);

// Lines shown at a time, as the records table shows its rows.
const PAGE_ROWS = 100;

// Where the scan is, for anyone watching the page (the browser tests wait
// on it): busy, done, failed or cancelled.
function setState(state) {
  document.body.dataset.scan = state;
}

// The files of a folder dropped, each with its path below the folder's
// parent ("COL/SUB/F.EXE"), as the tool names them scanning "COL". A folder
// that cannot be listed, or a file that cannot be had, is kept with why.
async function walkEntry(entry, out) {
  const path = entry.fullPath.replace(/^\/+/, '');
  try {
    if (entry.isDirectory) {
      const reader = entry.createReader();
      // Each call gives some of the folder's entries, none once all are given.
      for (;;) {
        const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
        if (!batch.length) break;
        for (const child of batch) await walkEntry(child, out);
      }
    } else {
      out.push({ path, file: await new Promise((resolve, reject) => entry.file(resolve, reject)) });
    }
  } catch (error) {
    out.push({ path, error: error.message || String(error) });
  }
}

// What was dropped: folders through their entries where the browser gives
// them, plain files otherwise. Entries must be taken during the event.
function droppedEntries(dataTransfer) {
  const items = [...dataTransfer.items].filter((item) => item.kind === 'file');
  const taken = items.map((item) => ({ entry: item.webkitGetAsEntry ? item.webkitGetAsEntry() : null, file: item.getAsFile() }));
  return (async () => {
    const out = [];
    for (const { entry, file } of taken) {
      if (entry && entry.isDirectory) await walkEntry(entry, out);
      else if (file) out.push({ path: file.name, file });
    }
    return out;
  })();
}

// `openFound(file, name)` shows a package found in the page's open view.
export function setUpScanning(newWorker, openFound) {
  let worker = null;
  let generation = 0; // the scan under way; an answer of an older one is dropped
  let lines = [];
  let lastSummary = '';
  let scanning = false;
  let scanned = new Map(); // the files of the scan shown, by path

  // A package found is opened as the file it was found in would be run: the
  // bytes of a plain file are sliced from it, a zip's are read out again.
  async function open(row) {
    const { path, members, offset, size, name } = row.open;
    const file = scanned.get(path);
    $('scan-error').textContent = '';
    if (!members.length) {
      openFound(new File([file.slice(offset, offset + size)], name), name);
      return;
    }
    status(`Reading ${row.location} …`);
    const answer = await worker.request({ op: 'found', file, found: row.open, location: row.location });
    status('');
    if (answer.ok) openFound(answer.file, name);
    else if (!answer.cancelled) $('scan-error').textContent = answer.error;
  }
  const lineItem = (line) =>
    el(
      'li',
      { class: line.ok ? null : 'problem' },
      el('span', { 'data-field': 'scan-line', text: line.text }),
      line.open
        ? el('button', { type: 'button', class: 'scan-open', 'data-action': 'open', 'aria-label': `Open ${line.location}`, text: 'Open', onclick: () => open(line) })
        : null,
    );

  const list = $('scan-lines');
  const pages = new Pages($('scan-pages'), {
    noun: 'lines',
    size: PAGE_ROWS,
    render: (start, end) => list.replaceChildren(...lines.slice(start, end).map(lineItem)),
  });
  const status = (text) => {
    $('scan-status').textContent = text;
  };

  async function scan(entries, what) {
    // A new scan replaces one under way.
    if (worker && worker.busy) worker.restart(`${what} was chosen meanwhile`);
    if (!worker) worker = newWorker();
    lines = [];
    scanned = new Map(entries.filter((e) => e.file).map((e) => [e.path, e.file]));
    lastSummary = '';
    scanning = true;
    $('scan-error').textContent = '';
    $('scan-note').textContent = '';
    $('scan-summary').textContent = '';
    $('scan-found').hidden = false;
    pages.set(0);
    const bar = $('scan-progress');
    bar.hidden = false;
    bar.value = 0;
    $('scan-cancel').hidden = false;
    setState('busy');
    const count = entries.filter((e) => e.file).length;
    status(`Scanning ${what}: 0 of ${grouped(count)} files …`);
    const mine = ++generation;
    const answer = await worker.request({ op: 'scan', entries }, (done, total, news) => {
      if (generation !== mine) return;
      bar.max = total || 1;
      bar.value = done;
      if (news.rows.length) {
        for (const row of news.rows) lines.push({ text: pageWording(row.line), ok: row.ok, open: row.open, location: row.json.location });
        // The page being read stays; the count and the last page grow.
        pages.set(lines.length, pages.page);
      }
      lastSummary = news.summary;
      status(`Scanning ${what}: ${grouped(news.files)} of ${grouped(count)} files …`);
    });
    if (generation !== mine) return;
    scanning = false;
    bar.hidden = true;
    $('scan-cancel').hidden = true;
    if (!answer.ok) {
      status('');
      if (answer.cancelled) {
        $('scan-summary').textContent = lastSummary ? `Stopped: ${lastSummary}` : '';
        status(`${what}: the scan was stopped (${answer.error}).`);
        setState('cancelled');
        // The button that had the focus is gone: the lines found take it.
        $('scan-heading').focus();
        return;
      }
      $('scan-error').textContent = answer.error;
      setState('failed');
      return;
    }
    $('scan-note').textContent = answer.note ? pageWording(answer.note) : '';
    $('scan-summary').textContent = answer.summary;
    status(`${what}: scanned.`);
    setState('done');
  }

  // What the user gave, named for the status line.
  const named = (entries) => {
    const tops = [...new Set(entries.map((e) => e.path.split('/')[0]))];
    return tops.length === 1 ? tops[0] : `${grouped(tops.length)} items`;
  };
  const start = (entries) => {
    if (entries.length) scan(entries, named(entries));
  };

  const folder = $('scan-folder');
  folder.addEventListener('change', () => start([...folder.files].map((file) => ({ path: file.webkitRelativePath || file.name, file }))));
  const files = $('scan-files');
  files.addEventListener('change', () => start([...files.files].map((file) => ({ path: file.name, file }))));
  dropZone($('scan-drop'), (dropped) => droppedEntries(dropped).then(start));
  $('scan-cancel').addEventListener('click', () => {
    if (scanning && worker) worker.restart('cancelled');
  });
}
