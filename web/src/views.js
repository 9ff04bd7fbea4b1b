// Presentation helpers: elements, numbers, and how a file's first bytes are
// shown (picture, text or hex). Nothing here knows the package format.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value === true ? '' : value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

// Pages of a long list shown `size` items at a time, with buttons to move
// between them in `nav`: a package may hold tens of thousands of records, and
// the page keeps only what one page of them needs in the document.
// `render(start, end)` puts items start..end-1 on the page.
export class Pages {
  constructor(nav, { noun, size, render }) {
    this.nav = nav;
    this.noun = noun;
    this.size = size;
    this.render = render;
    this.count = 0;
    this.page = 0;
    const button = (text, label, to) =>
      el('button', { type: 'button', 'data-page': text.toLowerCase(), 'aria-label': label, text, onclick: (event) => this.move(to(), event.currentTarget) });
    this.first = button('First', `First ${size} ${noun}`, () => 0);
    this.previous = button('Previous', `Previous ${size} ${noun}`, () => this.page - 1);
    this.next = button('Next', `Next ${size} ${noun}`, () => this.page + 1);
    this.last = button('Last', `Last ${noun}`, () => this.pages - 1);
    this.label = el('span', { class: 'pages-label', role: 'status' });
    nav.replaceChildren(this.first, this.previous, this.label, this.next, this.last);
    nav.hidden = true;
  }

  get pages() {
    return Math.max(1, Math.ceil(this.count / this.size));
  }

  // Shows page `page` of `count` items.
  set(count, page = 0) {
    this.count = count;
    this.show(page);
  }

  show(page) {
    this.page = Math.min(Math.max(page, 0), this.pages - 1);
    const start = this.page * this.size;
    const end = Math.min(this.count, start + this.size);
    this.render(start, end);
    this.nav.hidden = this.pages <= 1;
    const noun = this.noun[0].toUpperCase() + this.noun.slice(1);
    this.label.textContent = `${noun} ${grouped(start + 1)}–${grouped(end)} of ${grouped(this.count)}`;
    this.first.disabled = this.previous.disabled = this.page === 0;
    this.next.disabled = this.last.disabled = this.page === this.pages - 1;
  }

  // A button that turns disabled as it is used hands the focus on, so that
  // the keyboard does not lose its place.
  move(page, from) {
    this.show(page);
    if (from.disabled) (from === this.first || from === this.previous ? this.next : this.previous).focus();
  }
}

export function grouped(value) {
  return Number(value).toLocaleString('en-US');
}

// The picture formats a browser shows by itself, by their first bytes.
const PICTURES = [
  { type: 'image/bmp', magic: [0x42, 0x4d] },
  { type: 'image/png', magic: [0x89, 0x50, 0x4e, 0x47] },
  { type: 'image/gif', magic: [0x47, 0x49, 0x46, 0x38] },
  { type: 'image/jpeg', magic: [0xff, 0xd8, 0xff] },
];

export function pictureType(bytes) {
  const found = PICTURES.find((p) => p.magic.every((b, i) => bytes[i] === b));
  return found ? found.type : null;
}

// Text: no NUL bytes and hardly any other control characters besides line
// breaks and tabs.
export function looksLikeText(bytes) {
  if (bytes.length === 0) return false;
  let odd = 0;
  for (const b of bytes) {
    if (b === 0) return false;
    if (b < 0x20 && b !== 0x09 && b !== 0x0a && b !== 0x0d && b !== 0x0c && b !== 0x1a) odd++;
  }
  return odd * 100 <= bytes.length;
}

// Lines of 16 bytes: offset, hex pairs, and the printable ASCII characters.
export function hexDump(bytes) {
  const lines = [];
  for (let at = 0; at < bytes.length; at += 16) {
    const row = bytes.subarray(at, at + 16);
    const hex = Array.from(row, (b) => b.toString(16).padStart(2, '0')).join(' ');
    const ascii = Array.from(row, (b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(`${at.toString(16).padStart(8, '0')}  ${hex.padEnd(47)}  ${ascii}`);
  }
  return lines.join('\n');
}

export function saveBlob(blob, name) {
  const url = URL.createObjectURL(blob);
  const link = el('a', { href: url, download: name });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// A box that takes what is dropped onto it, shown as such while something
// is dragged over it; `take` gets the drop's DataTransfer.
export function dropZone(zone, take) {
  zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('dragging');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('dragging'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('dragging');
    take(event.dataTransfer);
  });
}
