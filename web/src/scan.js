// Scanning in the worker as `glimpack scan` scans: files in the tool's order,
// each file's bytes read a block at a time and handed to the C++ package
// finder (glim_scan_*), zip files opened with fflate's streaming unzip and
// their members searched the same way, zips within zips to the tool's
// default depth. The C++ counts, checks each package found over its own
// bytes and words every line; this script only walks and moves bytes.
import { Unzip, UnzipInflate } from 'fflate';

// glimpack scan's default --depth: archives within archives opened.
const DEPTH = 4;
// A file is read this much at a time; nothing larger is held but the
// finder's window in the C++.
const READ_BLOCK = 1 << 20;
// Bytes of a stream looked at before it is called a zip, another archive or
// plain bytes (an ISO 9660 image says what it is 32 KiB in).
const SNIFF_BYTES = 40 << 10;
// New lines go to the page at most this often.
const FLUSH_MS = 100;

const encoder = new TextEncoder();

// Names in the tool's order: bytewise, as their UTF-8 compares.
export function compareNames(a, b) {
  const x = encoder.encode(a);
  const y = encoder.encode(b);
  const n = Math.min(x.length, y.length);
  for (let i = 0; i < n; i++) if (x[i] !== y[i]) return x[i] - y[i];
  return x.length - y.length;
}

// [{path, file}] ("COL/SUB/F.EXE") in the order `glimpack scan` walks them:
// the names of each folder sorted, a folder's files where its name falls.
export function inToolOrder(entries) {
  const root = new Map();
  for (const entry of entries) {
    const parts = entry.path.split('/').filter((p) => p !== '');
    let folder = root;
    for (const part of parts.slice(0, -1)) {
      if (!folder.has(part)) folder.set(part, new Map());
      folder = folder.get(part);
      if (!(folder instanceof Map)) break;
    }
    if (folder instanceof Map) folder.set(parts.at(-1), entry);
  }
  const out = [];
  const walk = (folder) => {
    for (const name of [...folder.keys()].sort(compareNames)) {
      const item = folder.get(name);
      if (item instanceof Map) walk(item);
      else out.push(item);
    }
  };
  walk(root);
  return out;
}

const startsWith = (bytes, at, magic) => magic.every((b, i) => bytes[at + i] === b);
const ascii = (text) => [...text].map((c) => c.charCodeAt(0));

// What the tool opens as a zip (libarchive bids on these first bytes); an
// executable is never one, whatever it carries.
function isZip(head) {
  return startsWith(head, 0, [0x50, 0x4b, 3, 4]) || startsWith(head, 0, [0x50, 0x4b, 5, 6]);
}

// Archives, disc images and compressed files the tool opens and the page
// does not: their bytes are searched as they are.
const OTHER_ARCHIVES = [
  [32769, ascii('CD001')], // ISO 9660
  [0, [0x37, 0x7a, 0xbc, 0xaf, 0x27, 0x1c]], // 7z
  [0, ascii('MSCF')], // cab
  [0, ascii('Rar!')],
  [0, [0x1f, 0x8b]], // gzip
  [0, ascii('BZh')],
  [0, [0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00]], // xz
  [0, [0x28, 0xb5, 0x2f, 0xfd]], // zstd
  [257, ascii('ustar')], // tar
  [0, ascii('!<arch>\n')],
  [0, ascii('070707')], // cpio
  [0, ascii('070701')],
];
function isOtherArchive(head) {
  if (head.length > 6 && head[2] === 0x2d && head[3] === 0x6c && (head[4] === 0x68 || head[4] === 0x7a) && head[6] === 0x2d) return true; // lha
  return OTHER_ARCHIVES.some(([at, magic]) => startsWith(head, at, magic));
}

function concat(parts, length) {
  if (parts.length === 1) return parts[0];
  const out = new Uint8Array(length);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}

// A member's name without its folders.
const lastPart = (name) => name.slice(name.lastIndexOf('/') + 1);

// A read of what is being searched failed; said once, for what it belongs to.
class ReadFailed extends Error {}

export class Scanner {
  // `post({rows, summary, done, total, files})` hands the page what is new.
  constructor(module, post) {
    this.module = module;
    this.post = post;
    this.rows = [];
    this.noted = false;
    this.done = 0;
    this.total = 0;
    this.files = 0;
    this.lastFlush = 0;
  }

  call(name, types, args) {
    return JSON.parse(this.module.ccall(name, 'string', types, args));
  }

  // Lines of the C++'s answers, in the order they come. A package found in
  // `place` says where its bytes are, so that the page can open it.
  take(answer, place) {
    if (!answer.ok) throw new ReadFailed(answer.error);
    for (const row of answer.found) {
      const { offset, size } = row.json;
      if (place && offset !== undefined) row.open = { path: place.path, members: place.members, offset, size, name: place.name };
      this.rows.push(row);
    }
  }

  flush(force) {
    const now = Date.now();
    if (!force && now - this.lastFlush < FLUSH_MS) return;
    this.lastFlush = now;
    const { summary } = this.call('glim_scan_summary', [], []);
    this.post({ rows: this.rows, summary, done: this.done, total: this.total, files: this.files });
    this.rows = [];
  }

  unreadable(location, text) {
    this.take(this.call('glim_scan_unreadable', ['string', 'string'], [location, text]));
  }

  // Scans `entries` ([{path, file}], in the tool's order); answers the
  // summary line and the note on archives the page did not open.
  run(entries) {
    const begun = this.call('glim_scan_begin', [], []);
    this.total = entries.reduce((sum, e) => sum + (e.file ? e.file.size : 0), 0);
    for (const { path, file, error } of entries) {
      // A folder that could not be listed, or a file the browser would not give.
      if (error !== undefined) this.unreadable(path, error);
      else this.scanFile(path, file);
    }
    this.flush(true);
    return { ok: true, summary: this.call('glim_scan_summary', [], []).summary, note: this.noted ? `${this.noted}: ${begun.note}` : '' };
  }

  scanFile(path, file) {
    this.module.ccall('glim_scan_file', null, ['number'], [file.size]);
    this.files++;
    const place = { location: path, path, members: [], name: lastPart(path), file: true, size: file.size };
    const stream = new Stream(this, place, 0);
    if (this.readThrough(file, stream, true) && stream.target instanceof ZipReader && stream.target.damaged) {
      // A zip file that could not be read to its end: its raw bytes are
      // searched, as the tool searches them, for what its members did not give.
      this.readThrough(file, new Search(this, place, true), false);
    }
    this.module.ccall('glim_scan_collect', null, ['number'], [0]);
    this.flush(false);
  }

  // Hands the whole of `file` to `into` in pieces; false when a read failed,
  // which is said for the file.
  readThrough(file, into, counted) {
    const reader = new FileReaderSync();
    try {
      for (let at = 0; at < file.size; at += READ_BLOCK) {
        let bytes;
        try {
          bytes = new Uint8Array(reader.readAsArrayBuffer(file.slice(at, at + READ_BLOCK)));
        } catch (error) {
          throw new ReadFailed(error.message || String(error));
        }
        if (counted) this.done += bytes.length;
        into.push(bytes);
        this.flush(false);
      }
      into.end();
      return true;
    } catch (error) {
      if (!(error instanceof ReadFailed)) throw error;
      into.abandon();
      this.unreadable(into.place.location, error.message);
      return false;
    }
  }
}

// One file's or member's bytes: looked at first, then read as a zip or
// searched for packages.
class Stream {
  constructor(scanner, place, level) {
    this.scanner = scanner;
    this.place = place;
    this.level = level;
    this.head = [];
    this.headLength = 0;
    this.target = null;
  }

  push(bytes) {
    if (this.target) {
      this.target.push(bytes);
      return;
    }
    this.head.push(bytes);
    this.headLength += bytes.length;
    if (this.headLength >= SNIFF_BYTES) this.decide();
  }

  end() {
    if (!this.target) this.decide();
    this.target.end();
  }

  // A failed read stops what was being read, and what is in it.
  abandon() {
    if (this.target) this.target.abandon();
  }

  decide() {
    const head = concat(this.head, this.headLength);
    this.head = [];
    const { scanner, place, level } = this;
    if (level < DEPTH && isZip(head)) {
      this.target = new ZipReader(scanner, place, level);
    } else {
      if (level < DEPTH && !scanner.noted && isOtherArchive(head)) scanner.noted = place.location;
      this.target = new Search(scanner, place);
    }
    if (head.length) this.target.push(head);
  }
}

// Bytes handed to the C++ finder, which checks each package in them.
class Search {
  // `again`: the raw bytes of a zip file just read member by member.
  constructor(scanner, place, again = false) {
    this.scanner = scanner;
    this.place = place;
    scanner.take(
      scanner.call(
        'glim_scan_open',
        ['string', 'string', 'number', 'number', 'number'],
        [place.location, place.name, place.file ? 1 : 0, place.size ?? -1, again ? 1 : 0],
      ),
    );
  }

  push(bytes) {
    const { scanner } = this;
    const into = scanner.module.ccall('glim_scan_space', 'number', ['number'], [bytes.length]);
    if (!into) throw new ReadFailed('not enough memory in this browser tab');
    // Taken after the call: growing the C++'s memory replaces the view.
    scanner.module.HEAPU8.set(bytes, into);
    scanner.take(scanner.call('glim_scan_commit', ['number'], [bytes.length]), this.place);
  }

  end() {
    this.scanner.take(this.scanner.call('glim_scan_close', [], []), this.place);
  }

  abandon() {
    this.scanner.module.ccall('glim_scan_abandon', null, [], []);
  }
}

// A zip file, member by member, as it streams by.
class ZipReader {
  constructor(scanner, place, level) {
    this.scanner = scanner;
    this.place = place;
    this.member = null;
    this.damaged = false;
    this.tail = new Uint8Array(0);
    // A zip file of the folder itself can be read again from its start.
    this.again = place.file;
    scanner.module.ccall('glim_scan_archive', null, [], []);
    if (this.again) scanner.module.ccall('glim_scan_collect', null, ['number'], [1]);
    this.unzip = new Unzip((file) => this.start(file, level));
    this.unzip.register(UnzipInflate);
  }

  start(file, level) {
    this.finishMember();
    // Folders are no members to read; a file is named by its whole path.
    if (file.name.endsWith('/')) return;
    const place = {
      location: `${this.place.location}!${file.name}`,
      path: this.place.path,
      members: [...this.place.members, file.name],
      name: lastPart(file.name),
      file: false,
      size: file.originalSize,
    };
    const member = { stream: new Stream(this.scanner, place, level + 1), place, failed: false, ended: false };
    this.member = member;
    file.ondata = (error, bytes, final) => {
      if (member.failed || member.ended) return;
      if (error) {
        this.failMember(member, error.message);
        return;
      }
      try {
        if (bytes.length) member.stream.push(bytes);
        if (final) {
          member.ended = true;
          member.stream.end();
        }
      } catch (failure) {
        if (!(failure instanceof ReadFailed)) throw failure;
        this.failMember(member, failure.message);
      }
    };
    // A method fflate cannot expand is that member's problem alone; its
    // bytes are passed over.
    if (file.compression !== 0 && file.compression !== 8) {
      this.unzip.register(unsupported(file.compression));
    }
    file.start();
  }

  failMember(member, text) {
    member.failed = true;
    member.stream.abandon();
    this.scanner.unreadable(member.place.location, text);
  }

  // A member whose bytes stopped before their end: the zip is cut short.
  finishMember() {
    const { member } = this;
    this.member = null;
    if (member && !member.failed && !member.ended) {
      member.stream.abandon();
      throw new ZipFailed(`it ends inside ${member.place.location}`);
    }
  }

  push(bytes) {
    this.keepTail(bytes);
    this.guard(() => this.unzip.push(bytes, false));
  }

  end() {
    this.guard(() => {
      this.unzip.push(new Uint8Array(0), true);
      this.finishMember();
      // The streaming reader looks for each member's header and passes over
      // whatever it cannot use, so a zip cut short or damaged ends quietly
      // there: a whole one ends with its directory's last record.
      if (!hasEndOfDirectory(this.tail)) throw new ZipFailed('its central directory is missing or damaged');
    });
  }

  // The last bytes, where the end of the central directory must be.
  keepTail(bytes) {
    if (bytes.length >= ZIP_TAIL) {
      this.tail = bytes.slice(bytes.length - ZIP_TAIL);
    } else {
      const kept = this.tail.subarray(Math.max(0, this.tail.length + bytes.length - ZIP_TAIL));
      this.tail = concat([kept, bytes], kept.length + bytes.length);
    }
  }

  abandon() {
    if (this.member && !this.member.failed && !this.member.ended) this.member.stream.abandon();
    this.member = null;
  }

  // What is wrong with the zip itself (fflate's errors carry a code) is
  // said once, for the zip, and ends its reading; the file or zip it is in
  // goes on. Anything else is a fault of the page's and goes up.
  guard(work) {
    try {
      work();
    } catch (error) {
      if (!(error instanceof ZipFailed) && typeof error.code !== 'number') throw error;
      this.abandon();
      this.damaged = true;
      const { scanner } = this;
      scanner.take(scanner.call('glim_scan_damaged', ['string', 'string', 'number'], [this.place.location, error.message, this.again ? 1 : 0]));
      this.push = () => {};
      this.end = () => {};
    }
  }
}

class ZipFailed extends Error {}

// A zip's end of central directory record: 22 bytes and a comment of up to
// 65,535, so it begins in the last ZIP_TAIL bytes.
const ZIP_TAIL = 22 + 0xffff;

function hasEndOfDirectory(tail) {
  for (let at = tail.length - 22; at >= 0; at--) {
    if (tail[at] === 0x50 && tail[at + 1] === 0x4b && tail[at + 2] === 5 && tail[at + 3] === 6 && at + 22 + (tail[at + 20] | (tail[at + 21] << 8)) <= tail.length) return true;
  }
  return false;
}

// A decoder for a compression method fflate does not have: the member is
// said to be unreadable and its bytes are dropped as they come.
function unsupported(method) {
  return class {
    static compression = method;
    constructor() {
      this.told = false;
    }
    push() {
      if (this.told) return;
      this.told = true;
      this.ondata(new Error(`compression method ${method} is not supported by the page`), null, true);
    }
  };
}

// The bytes of a package a scan found in member `members` (the zips around
// it, outermost first) of `file`: `size` bytes from `offset`, read again as
// they stream by, with only those bytes kept.
export function foundPackage(file, { members, offset, size, name }) {
  const parts = [];
  let at = 0;
  let sink = {
    push(bytes) {
      const from = Math.max(offset - at, 0);
      const to = Math.min(offset + size - at, bytes.length);
      if (to > from) parts.push(bytes.slice(from, to));
      at += bytes.length;
    },
    end() {},
  };
  for (let i = members.length - 1; i >= 0; i--) sink = memberOf(members[i], sink);
  const reader = new FileReaderSync();
  for (let start = 0; start < file.size; start += READ_BLOCK) {
    sink.push(new Uint8Array(reader.readAsArrayBuffer(file.slice(start, start + READ_BLOCK))));
  }
  sink.end();
  return new File(parts, name);
}

// A zip whose member `name` goes on to `inner`; the others are read past.
function memberOf(name, inner) {
  let taken = false;
  const unzip = new Unzip((file) => {
    const wanted = !taken && file.name === name;
    taken ||= wanted;
    file.ondata = (error, bytes, final) => {
      if (!wanted) return;
      if (error) throw error;
      inner.push(bytes);
      if (final) inner.end();
    };
    if (file.compression !== 0 && file.compression !== 8) unzip.register(unsupported(file.compression));
    file.start();
  });
  unzip.register(UnzipInflate);
  return { push: (bytes) => unzip.push(bytes, false), end: () => unzip.push(new Uint8Array(0), true) };
}
