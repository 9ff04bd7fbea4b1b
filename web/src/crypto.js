// The page's cryptography, for the C++ in the worker: hostos/crypto_web.cpp
// calls the object `hostCrypto` (put on the worker's global scope as
// `glimCrypto` before the module starts) synchronously, in the middle of a
// check. Web Crypto has the same digests and signatures, but only as
// promises, which a synchronous call cannot wait for; these libraries answer
// at once: @noble/hashes for the digests, node-forge for DER headers, object
// identifiers and RSA, and @noble/curves for ECDSA.
//
// What this file decides itself is what libcrypto decides for the native
// tool (hostos/crypto_openssl.cpp), so that the page and the tool say the
// same of the same file: when a message is not a PKCS#7 SignedData at all,
// which certificate is the signer's, how its names are written
// ("CN=Test, O=Example, C=DE") and how the signing time is written
// ("2026-12-10T14:35:00Z").
import forge from 'node-forge/lib/forge.js';
import 'node-forge/lib/asn1.js';
import 'node-forge/lib/rsa.js';
import { md5, sha1 } from '@noble/hashes/legacy.js';
import { sha256, sha384, sha512 } from '@noble/hashes/sha2.js';
import { p256, p384, p521 } from '@noble/curves/nist.js';

const { asn1 } = forge;
const { UNIVERSAL, CONTEXT_SPECIFIC } = asn1.Class;
// forge's names for the universal tags, and the string types it has no
// name for.
const T = { ...asn1.Type, NUMERICSTRING: 18, T61STRING: 20, UNIVERSALSTRING: 28 };

const HASHES = {
  md5: { hash: md5, oid: '1.2.840.113549.2.5' },
  sha1: { hash: sha1, oid: '1.3.14.3.2.26' },
  sha256: { hash: sha256, oid: '2.16.840.1.101.3.4.2.1' },
  sha384: { hash: sha384, oid: '2.16.840.1.101.3.4.2.2' },
  sha512: { hash: sha512, oid: '2.16.840.1.101.3.4.2.3' },
};
const HASH_BY_OID = new Map(Object.values(HASHES).map((h) => [h.oid, h]));

const OID = {
  data: '1.2.840.113549.1.7.1',
  signedData: '1.2.840.113549.1.7.2',
  messageDigest: '1.2.840.113549.1.9.4',
  signingTime: '1.2.840.113549.1.9.5',
  counterSignature: '1.2.840.113549.1.9.6',
  // Microsoft's identifiers for signatures carried inside a signature.
  nestedSignature: '1.3.6.1.4.1.311.2.4.1',
  timeStamp: '1.3.6.1.4.1.311.3.3.1',
  rsa: '1.2.840.113549.1.1.1',
  ecPublicKey: '1.2.840.10045.2.1',
};
const CURVES = new Map([
  ['1.2.840.10045.3.1.7', p256],
  ['1.3.132.0.34', p384],
  ['1.3.132.0.35', p521],
]);
// Keys libcrypto checks signatures with and this page does not: DSA,
// RSASSA-PSS keys, and the named curves of libcrypto's besides the three
// above that signers use (secp224r1, secp256k1, brainpool). A signer with
// one of them is "cannot be checked here", never "does not verify"; any
// other key libcrypto cannot read either, and the signature does not
// verify.
const UNCHECKED_KEYS = new Set(['1.2.840.10040.4.1', '1.2.840.113549.1.1.10']);
const UNCHECKED_CURVES = new Set([
  '1.3.132.0.33', '1.3.132.0.10', '1.2.840.10045.3.1.1',
  '1.3.36.3.3.2.8.1.1.7', '1.3.36.3.3.2.8.1.1.11', '1.3.36.3.3.2.8.1.1.13',
]);
// libcrypto's limits on an RSA public key (a larger modulus would only take
// time).
const RSA_MAX_MODULUS_BITS = 16384;
const RSA_SMALL_MODULUS_BITS = 3072;
const RSA_MAX_EXPONENT_BITS = 64;

// --- DER, through node-forge ---------------------------------------------------------

// A structure that is not what it must be: libcrypto's decoder refuses the
// whole message then, and so does this one.
class Malformed extends Error {}
function need(condition) {
  if (!condition) throw new Malformed('malformed');
}

// Bytes as the binary string forge works on, in pieces (one call of
// String.fromCharCode over a large array overflows the stack).
function toBinary(bytes) {
  let text = '';
  for (let at = 0; at < bytes.length; at += 8192) text += String.fromCharCode.apply(null, bytes.subarray(at, at + 8192));
  return text;
}
const fromBinary = (text) => forge.util.binary.raw.decode(text);

// An element of a DER encoding: its tag, and its encoding exactly as it came
// (`raw`, what is hashed and compared: never a re-encoding). Elements are
// split from their header alone and looked into only where the structure
// says what they hold, so that a constructed value of type ANY (a
// signature's content, an algorithm's parameters, an attribute's values)
// is taken whole, unlooked into, as libcrypto's decoder takes it: a message
// is refused for a fault in what it is made of, never in what it merely
// carries. (forge's own decoder looks into everything, and would refuse
// more than libcrypto does.)
class Element {
  constructor(raw, header, first) {
    this.raw = raw;
    this.header = header;
    this.tagClass = first & 0xc0;
    this.type = first & 0x1f;
    this.constructed = (first & 0x20) !== 0;
  }

  // The contents octets.
  get contents() {
    return this.raw.slice(this.header);
  }
}

// The element at the start of `text` (a binary string), which must be all of
// it unless `whole` is false. Its header is read with forge's own reader;
// DER has neither indefinite lengths nor, in anything signed here, tags of
// more than one byte (which forge does not read either).
function element(text, { whole = true } = {}) {
  const buffer = forge.util.createBuffer(text);
  need(buffer.length() >= 2);
  const first = buffer.getByte();
  need((first & 0x1f) !== 0x1f);
  const lengthBytes = buffer.at(0) & 0x80 ? buffer.at(0) & 0x7f : 0;
  need(lengthBytes <= 4 && buffer.length() > lengthBytes);
  const length = asn1.getBerValueLength(buffer);
  need(length !== undefined && length >= 0 && length <= buffer.length());
  const header = text.length - buffer.length();
  need(!whole || header + length === text.length);
  return new Element(text.slice(0, header + length), header, first);
}

// The elements inside a constructed element, in order (inside any element
// with `anyForm`, as crypto_openssl.cpp's DecodeSequence reads one).
function inside(el, { anyForm = false } = {}) {
  need(el.constructed || anyForm);
  const contents = el.contents;
  const children = [];
  for (let at = 0; at < contents.length; ) {
    const child = element(contents.slice(at), { whole: false });
    children.push(child);
    at += child.raw.length;
  }
  return children;
}

const isA = (el, type, constructed = false, tagClass = UNIVERSAL) =>
  el !== undefined && el.tagClass === tagClass && el.type === type && el.constructed === constructed;
const isTagged = (el, number) => isA(el, number, true, CONTEXT_SPECIFIC);

function sequence(el, type = T.SEQUENCE) {
  need(isA(el, type, true));
  return inside(el);
}

// An OBJECT IDENTIFIER as dotted text, refused as libcrypto refuses one: no
// contents, a last byte that promises more, or a number padded with 0x80.
// One of 128 characters or more is "", as crypto_openssl.cpp gives it.
function oidOf(el) {
  need(isA(el, T.OID));
  return oidText(el.contents);
}

function oidText(v) {
  need(v.length > 0 && (v.charCodeAt(v.length - 1) & 0x80) === 0);
  for (let i = 0; i < v.length; i++) need(!(v.charCodeAt(i) === 0x80 && (i === 0 || (v.charCodeAt(i - 1) & 0x80) === 0)));
  const text = asn1.derToOid(v);
  return text.length < 128 ? text : '';
}

// An INTEGER's contents as libcrypto takes them: some, none of them padding.
function integerContents(v) {
  need(v.length > 0);
  if (v.length > 1) {
    const [a, b] = [v.charCodeAt(0), v.charCodeAt(1)];
    need(!((a === 0 && (b & 0x80) === 0) || (a === 0xff && (b & 0x80) !== 0)));
  }
  return v;
}

function integer(el) {
  need(isA(el, T.INTEGER));
  return integerContents(el.contents);
}

// The contents of a string in constructed form, its pieces put together:
// each piece any element, nested at most five deep, and no end-of-contents
// marker, which only an indefinite length may have.
function collected(el, depth = 0) {
  let out = '';
  for (const part of inside(el)) {
    need(part.raw !== '\x00\x00');
    if (part.constructed) {
      need(depth < 5);
      out += collected(part, depth + 1);
    } else {
      out += part.contents;
    }
  }
  return out;
}

// A value of type ANY, held to what libcrypto's decoder holds one to: a
// SEQUENCE or SET must be constructed and is taken whole, unlooked into, as
// is anything not of the universal class; the other universal types keep
// their own rules, in either form.
function anyValue(el) {
  if (el.tagClass !== UNIVERSAL) return;
  if (el.type === T.SEQUENCE || el.type === T.SET) {
    need(el.constructed);
    return;
  }
  const primitiveOnly = [T.NULL, T.BOOLEAN, T.OID, T.INTEGER, T.ENUMERATED];
  need(!el.constructed || !primitiveOnly.includes(el.type));
  const contents = el.constructed ? collected(el) : el.contents;
  switch (el.type) {
    case T.BOOLEAN:
      need(contents.length === 1);
      break;
    case T.NULL:
      need(contents.length === 0);
      break;
    case T.INTEGER:
    case T.ENUMERATED:
      integerContents(contents);
      break;
    case T.OID:
      oidText(contents);
      break;
    case T.BITSTRING:
      need(contents.length > 0 && contents.charCodeAt(0) < 8);
      break;
    case T.BMPSTRING: // two bytes a character
      need(contents.length % 2 === 0);
      break;
    case T.UNIVERSALSTRING: // four bytes a character
      need(contents.length % 4 === 0);
      break;
    default:
  }
}

function algorithmOf(el) {
  const parts = sequence(el);
  need(parts.length === 1 || parts.length === 2);
  if (parts[1]) anyValue(parts[1]);
  return oidOf(parts[0]);
}

// An OCTET STRING's contents, in either form.
function octets(el) {
  need(el !== undefined && el.tagClass === UNIVERSAL && el.type === T.OCTETSTRING);
  return el.constructed ? collected(el) : el.contents;
}

// A BIT STRING, or a field tagged implicitly as one (`tagged`): its
// contents, in either form, refused as libcrypto refuses them when empty or
// with more than 7 unused bits.
function bitString(el, tagged = false) {
  need(el !== undefined && (tagged || (el.tagClass === UNIVERSAL && el.type === T.BITSTRING)));
  const v = el.constructed ? collected(el) : el.contents;
  need(v.length > 0 && v.charCodeAt(0) < 8);
  return v;
}

function time(el) {
  need(isA(el, T.UTCTIME) || isA(el, T.GENERALIZEDTIME));
}

// Attribute ::= SEQUENCE { type OBJECT IDENTIFIER, values SET OF ANY }
function attributesOf(el) {
  return inside(el).map((attribute) => {
    const [type, values, ...rest] = sequence(attribute);
    need(values !== undefined && rest.length === 0);
    const all = sequence(values, T.SET);
    for (const value of all) anyValue(value);
    return { oid: oidOf(type), values: all };
  });
}

// --- Names --------------------------------------------------------------------------

// libcrypto's short names for the attributes of a name; any other is
// written as its dotted number.
const SHORT_NAMES = {
  '2.5.4.3': 'CN',
  '2.5.4.4': 'SN',
  '2.5.4.5': 'serialNumber',
  '2.5.4.6': 'C',
  '2.5.4.7': 'L',
  '2.5.4.8': 'ST',
  '2.5.4.9': 'street',
  '2.5.4.10': 'O',
  '2.5.4.11': 'OU',
  '2.5.4.12': 'title',
  '2.5.4.13': 'description',
  '2.5.4.15': 'businessCategory',
  '2.5.4.16': 'postalAddress',
  '2.5.4.17': 'postalCode',
  '2.5.4.18': 'postOfficeBox',
  '2.5.4.20': 'telephoneNumber',
  '2.5.4.41': 'name',
  '2.5.4.42': 'GN',
  '2.5.4.43': 'initials',
  '2.5.4.44': 'generationQualifier',
  '2.5.4.45': 'x500UniqueIdentifier',
  '2.5.4.46': 'dnQualifier',
  '2.5.4.65': 'pseudonym',
  '2.5.4.72': 'role',
  '2.5.4.97': 'organizationIdentifier',
  '1.2.840.113549.1.9.1': 'emailAddress',
  '1.2.840.113549.1.9.2': 'unstructuredName',
  '1.2.840.113549.1.9.8': 'unstructuredAddress',
  '0.9.2342.19200300.100.1.1': 'UID',
  '0.9.2342.19200300.100.1.3': 'mail',
  '0.9.2342.19200300.100.1.25': 'DC',
  '1.3.6.1.4.1.311.60.2.1.1': 'jurisdictionL',
  '1.3.6.1.4.1.311.60.2.1.2': 'jurisdictionST',
  '1.3.6.1.4.1.311.60.2.1.3': 'jurisdictionC',
};

// The types a name's value may have, and how many bytes make one of its
// characters: 0 for UTF-8 (its bytes are kept as they are), 1 for the
// single-byte strings (each byte a Latin-1 character), 2 for BMPString and 4
// for UniversalString. The other types allowed there are written as "#" and
// the hex of their encoding.
const NAME_TYPES = new Map([
  [T.UTF8, 0], [T.NUMERICSTRING, 1], [T.PRINTABLESTRING, 1], [T.T61STRING, 1], [T.IA5STRING, 1],
  [T.UNIVERSALSTRING, 4], [T.BMPSTRING, 2],
  [T.BITSTRING, -1], [T.SEQUENCE, -1], [7, -1], [8, -1], [9, -1], [11, -1], [13, -1], [14, -1], [15, -1], [29, -1],
]);

// The characters of a string value (code points; a UTF8String's bytes as
// they are), or null where libcrypto could not make UTF-8 of it, which
// refuses the whole name: it compares names in a UTF-8 form of its own.
function charactersOf(value) {
  const width = NAME_TYPES.get(value.type);
  const bytes = value.contents;
  if (width === 0) {
    try {
      utf8Decoder.decode(fromBinary(bytes));
    } catch {
      return null;
    }
    return Array.from(bytes, (c) => c.charCodeAt(0));
  }
  if (bytes.length % width !== 0) return null;
  const codes = [];
  for (let i = 0; i < bytes.length; i += width) {
    let code = 0;
    for (let k = 0; k < width; k++) code = code * 256 + bytes.charCodeAt(i + k);
    if ((code >= 0xd800 && code < 0xe000) || code > 0x10ffff) return null;
    codes.push(code);
  }
  return codes;
}
const utf8Decoder = new TextDecoder('utf-8', { fatal: true });

// Name ::= SEQUENCE OF SET OF SEQUENCE { type, value }: its entries in order,
// each with the number of the set it is in.
function nameEntries(el) {
  const entries = [];
  sequence(el).forEach((set, index) => {
    for (const pair of sequence(set, T.SET)) {
      const [type, value, ...rest] = sequence(pair);
      need(value !== undefined && rest.length === 0);
      need(value.tagClass === UNIVERSAL && NAME_TYPES.has(value.type));
      need(value.constructed === (value.type === T.SEQUENCE));
      const characters = NAME_TYPES.get(value.type) >= 0 ? charactersOf(value) : [];
      need(characters !== null);
      entries.push({ oid: oidOf(type), value, characters, set: index });
    }
  });
  return entries;
}

const HEX = '0123456789ABCDEF';
const pushText = (out, text) => {
  for (const c of text) out.push(c.charCodeAt(0));
};

function utf8(code) {
  if (code < 0x80) return [code];
  if (code < 0x800) return [0xc0 | (code >> 6), 0x80 | (code & 0x3f)];
  if (code < 0x10000) {
    if (code >= 0xd800 && code < 0xe000) return [];
    return [0xe0 | (code >> 12), 0x80 | ((code >> 6) & 0x3f), 0x80 | (code & 0x3f)];
  }
  if (code < 0x110000) return [0xf0 | (code >> 18), 0x80 | ((code >> 12) & 0x3f), 0x80 | ((code >> 6) & 0x3f), 0x80 | (code & 0x3f)];
  return [];
}

// One byte of a value, escaped as RFC 2253 asks (a backslash before
// , + " \ < > ; before a leading # and a leading or trailing blank) and with
// control characters as \XX: libcrypto's ESC_2253 and ESC_CTRL.
function pushEscaped(out, byte, first, last) {
  if (byte >= 0x80) {
    out.push(byte);
    return;
  }
  const special = ',+"\\<>;'.includes(String.fromCharCode(byte));
  if (special || (byte === 0x23 && first) || (byte === 0x20 && (first || last))) {
    out.push(0x5c, byte);
  } else if (byte < 0x20 || byte === 0x7f) {
    out.push(0x5c, HEX.charCodeAt(byte >> 4), HEX.charCodeAt(byte & 15));
  } else {
    out.push(byte);
  }
}

function pushValue(out, { value, characters }) {
  const width = NAME_TYPES.get(value.type);
  if (width < 0) {
    out.push(0x23);
    for (const c of value.raw) pushText(out, HEX[c.charCodeAt(0) >> 4] + HEX[c.charCodeAt(0) & 15]);
    return;
  }
  characters.forEach((code, i) => {
    // A one-character value counts as last, not first, as in libcrypto.
    const last = i === characters.length - 1;
    const first = i === 0 && !last;
    for (const byte of width === 0 ? [code] : utf8(code)) pushEscaped(out, byte, first, last);
  });
}

// A name as libcrypto's X509_NAME_print_ex writes it with the flags
// crypto_openssl.cpp gives: the most specific part first, short names,
// ", " between parts and " + " within one; UTF-8 bytes.
function nameText(entries) {
  const out = [];
  for (let i = entries.length - 1; i >= 0; i--) {
    const entry = entries[i];
    if (i < entries.length - 1) pushText(out, entries[i + 1].set === entry.set ? ' + ' : ', ');
    pushText(out, `${SHORT_NAMES[entry.oid] || entry.oid}=`);
    pushValue(out, entry);
  }
  return new Uint8Array(out);
}

// --- Times --------------------------------------------------------------------------

// A signing time as "YYYY-MM-DDTHH:MM:SSZ" in UTC, or "" where libcrypto
// would not read it: UTCTime YYMMDDHHMM[SS] or GeneralizedTime
// YYYYMMDDHHMM[SS][.fff], then Z or an offset of +-hhmm.
function timeText(el) {
  const utc = isA(el, T.UTCTIME);
  if (!utc && !isA(el, T.GENERALIZEDTIME)) return '';
  const pattern = utc
    ? /^(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)?(?:Z|([+-])(\d\d)(\d\d))$/
    : /^(\d\d\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(?:(\d\d)(?:\.\d+)?)?(?:Z|([+-])(\d\d)(\d\d))$/;
  const m = pattern.exec(el.contents);
  if (!m) return '';
  const n = m.map((part) => (part === undefined ? 0 : Number(part)));
  const year = utc ? (n[1] < 50 ? 2000 + n[1] : 1900 + n[1]) : n[1];
  const [month, day, hour, minute, second] = n.slice(2, 7);
  const leap = year % 4 === 0 && (year % 100 !== 0 || year % 400 === 0);
  const days = [31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31];
  if (month < 1 || month > 12 || day < 1 || day > days[month - 1] || hour > 23 || minute > 59 || second > 59) return '';
  if (m[7] && (n[8] > 12 || n[9] > 59)) return '';
  const date = new Date(0);
  date.setUTCFullYear(year, month - 1, day);
  date.setUTCHours(hour, minute, second);
  // Local time with an offset east of UTC is that much ahead of UTC.
  if (m[7]) date.setTime(date.getTime() + (m[7] === '-' ? 1 : -1) * (n[8] * 3600 + n[9] * 60) * 1000);
  const y = date.getUTCFullYear();
  if (y < 0 || y > 9999) return '';
  const two = (v) => String(v).padStart(2, '0');
  return `${String(y).padStart(4, '0')}-${two(date.getUTCMonth() + 1)}-${two(date.getUTCDate())}T${two(date.getUTCHours())}:${two(date.getUTCMinutes())}:${two(date.getUTCSeconds())}Z`;
}

// --- Certificates and signers ---------------------------------------------------------

function certificate(el) {
  const [tbs, algorithm, signature, ...rest] = sequence(el);
  need(rest.length === 0 && tbs !== undefined && signature !== undefined);
  algorithmOf(algorithm);
  bitString(signature);
  const fields = sequence(tbs);
  let at = 0;
  if (isTagged(fields[at], 0)) {
    const version = inside(fields[at++]);
    need(version.length === 1);
    integer(version[0]);
  }
  const serial = integer(fields[at++]);
  algorithmOf(fields[at++]);
  const issuer = fields[at++];
  const issuerEntries = nameEntries(issuer);
  const validity = sequence(fields[at++]);
  need(validity.length === 2);
  validity.forEach(time);
  const subjectEntries = nameEntries(fields[at++]);
  const spki = fields[at++];
  const [keyAlgorithm, key, ...more] = sequence(spki);
  need(key !== undefined && more.length === 0);
  algorithmOf(keyAlgorithm);
  bitString(key);
  // The issuer's and subject's unique identifiers, BIT STRINGs.
  for (const tag of [1, 2]) {
    if (fields[at] && fields[at].tagClass === CONTEXT_SPECIFIC && fields[at].type === tag) bitString(fields[at++], true);
  }
  if (isTagged(fields[at], 3)) {
    const [list, ...more] = inside(fields[at++]);
    need(list !== undefined && more.length === 0);
    extensions(list);
  }
  need(at === fields.length);
  return { issuerRaw: issuer.raw, serial, issuerEntries, subjectEntries, spki };
}

// Extensions ::= SEQUENCE OF SEQUENCE { OID, critical BOOLEAN OPTIONAL,
// OCTET STRING }
function extensions(el) {
  for (const extension of sequence(el)) {
    const parts = sequence(extension);
    need(parts.length === 2 || (parts.length === 3 && isA(parts[1], T.BOOLEAN)));
    oidOf(parts[0]);
    if (parts.length === 3) anyValue(parts[1]);
    octets(parts[parts.length - 1]);
  }
}

// A certificate revocation list, read as far as libcrypto's decoder reads
// one.
function revocationList(el) {
  const [tbs, algorithm, signature, ...rest] = sequence(el);
  need(rest.length === 0 && signature !== undefined);
  algorithmOf(algorithm);
  bitString(signature);
  const fields = sequence(tbs);
  let at = 0;
  if (isA(fields[at], T.INTEGER)) integer(fields[at++]);
  algorithmOf(fields[at++]);
  nameEntries(fields[at++]);
  time(fields[at++]);
  if (isA(fields[at], T.UTCTIME) || isA(fields[at], T.GENERALIZEDTIME)) at++;
  if (isA(fields[at], T.SEQUENCE, true)) {
    for (const entry of sequence(fields[at++])) {
      const [serial, when, entryExtensions, ...more] = sequence(entry);
      need(more.length === 0);
      integer(serial);
      time(when);
      if (entryExtensions !== undefined) extensions(entryExtensions);
    }
  }
  if (isTagged(fields[at], 0)) {
    const [list, ...more] = inside(fields[at++]);
    need(list !== undefined && more.length === 0);
    extensions(list);
  }
  need(at === fields.length);
}

function signerInfo(el) {
  const fields = sequence(el);
  let at = 0;
  integer(fields[at++]);
  const issuerAndSerial = sequence(fields[at++]);
  need(issuerAndSerial.length === 2);
  nameEntries(issuerAndSerial[0]);
  const signer = {
    issuerRaw: issuerAndSerial[0].raw,
    serial: integer(issuerAndSerial[1]),
    digestOid: algorithmOf(fields[at++]),
    signed: null,
    signedRaw: null,
    unsigned: [],
  };
  if (isTagged(fields[at], 0)) {
    signer.signedRaw = fields[at].raw;
    signer.signed = attributesOf(fields[at++]);
  }
  algorithmOf(fields[at++]);
  signer.signature = octets(fields[at++]);
  if (isTagged(fields[at], 1)) signer.unsigned = attributesOf(fields[at++]);
  need(at === fields.length);
  return signer;
}

// The first value of the first attribute of that type, as libcrypto's
// PKCS7_get_signed_attribute gives it.
function firstValue(attributes, oid) {
  const attribute = attributes.find((a) => a.oid === oid);
  return attribute ? attribute.values[0] : undefined;
}

// Whether `signature` (a binary string) is the signer's RSA PKCS#1 v1.5
// signature over `digest` with the hash `hash`. The whole DigestInfo
// expected is compared, algorithm included, as libcrypto does.
function verifyRsa(spkiRaw, hash, digest, signature) {
  const key = forge.pki.publicKeyFromAsn1(asn1.fromDer(spkiRaw));
  const bits = key.n.bitLength();
  if (bits > RSA_MAX_MODULUS_BITS || key.e.compareTo(key.n) >= 0) return false;
  if (bits > RSA_SMALL_MODULUS_BITS && key.e.bitLength() > RSA_MAX_EXPONENT_BITS) return false;
  const digestInfo = asn1.create(UNIVERSAL, T.SEQUENCE, true, [
    asn1.create(UNIVERSAL, T.SEQUENCE, true, [
      asn1.create(UNIVERSAL, T.OID, false, asn1.oidToDer(hash.oid).getBytes()),
      asn1.create(UNIVERSAL, T.NULL, false, ''),
    ]),
    asn1.create(UNIVERSAL, T.OCTETSTRING, false, toBinary(digest)),
  ]);
  return key.verify(asn1.toDer(digestInfo).getBytes(), signature, 'NONE');
}

// What the signer's signature over its authenticated attributes comes to:
// "verifies", "does-not-verify", "no-certificate", "not-checked" (no
// attributes), or "unavailable" (a key this page cannot check).
function signerSignature(signer, certificates) {
  if (!signer.signed || signer.signed.length === 0) return { signature: 'not-checked', certificate: null };
  const certificate = certificates.find((c) => c.issuerRaw === signer.issuerRaw && c.serial === signer.serial) || null;
  if (!certificate) return { signature: 'no-certificate', certificate };
  const hash = HASH_BY_OID.get(signer.digestOid);
  const [keyAlgorithm, key] = inside(certificate.spki);
  const [keyOid, parameters] = inside(keyAlgorithm);
  const keyType = oidOf(keyOid);
  const curve = keyType === OID.ecPublicKey && isA(parameters, T.OID) ? oidOf(parameters) : null;
  if (UNCHECKED_KEYS.has(keyType) || UNCHECKED_CURVES.has(curve)) return { signature: 'unavailable', certificate };
  if (!hash) return { signature: 'does-not-verify', certificate };
  // The signature is over the attributes encoded as the SET OF they are,
  // not as the [0] IMPLICIT field they are stored in.
  const signed = fromBinary(`\x31${signer.signedRaw.slice(1)}`);
  const digest = hash.hash(signed);
  let verifies = false;
  try {
    if (keyType === OID.rsa) {
      verifies = verifyRsa(certificate.spki.raw, hash, digest, signer.signature);
    } else if (CURVES.has(curve)) {
      const point = bitString(key);
      verifies = point.charCodeAt(0) === 0 && CURVES.get(curve).verify(fromBinary(signer.signature), digest, fromBinary(point.slice(1)), { prehash: false, lowS: false, format: 'der' });
    }
  } catch {
    verifies = false;
  }
  return { signature: verifies ? 'verifies' : 'does-not-verify', certificate };
}

// Reads a DER ContentInfo holding a PKCS#7 SignedData as ReadSignedData in
// hostos/crypto.h describes, for its first signer.
function readSignedData(text) {
  const malformed = { status: 'malformed' };
  const top = element(text, { whole: false });
  const [typeEl, explicit, ...extra] = sequence(top);
  need(extra.length === 0);
  if (oidOf(typeEl) !== OID.signedData || !isTagged(explicit, 0)) return malformed;
  const [signedData, ...after] = inside(explicit);
  need(after.length === 0);
  const fields = sequence(signedData);
  let at = 0;
  integer(fields[at++]);
  for (const algorithm of sequence(fields[at++], T.SET)) algorithmOf(algorithm);
  const [innerType, innerExplicit, ...innerExtra] = sequence(fields[at++]);
  need(innerExtra.length === 0);
  const contentType = oidOf(innerType);
  // The content's encoding, and its contents octets: a string's pieces put
  // together where it came in constructed form, as libcrypto stores it.
  let contentDer = '';
  let content = '';
  if (innerExplicit !== undefined) {
    need(isTagged(innerExplicit, 0));
    const [inner, ...more] = inside(innerExplicit);
    need(inner !== undefined && more.length === 0);
    if (contentType === OID.data) octets(inner);
    else anyValue(inner);
    contentDer = inner.raw;
    const whole = inner.tagClass !== UNIVERSAL || inner.type === T.SEQUENCE || inner.type === T.SET;
    content = inner.constructed && !whole ? collected(inner) : inner.contents;
  }
  let certificates = [];
  if (isTagged(fields[at], 0)) certificates = inside(fields[at++]).map(certificate);
  if (isTagged(fields[at], 1)) inside(fields[at++]).forEach(revocationList);
  const signers = sequence(fields[at++], T.SET).map(signerInfo);
  need(at === fields.length);

  const info = {
    status: 'read',
    contentTypeOid: contentType,
    content: fromBinary(content),
    contentDer: fromBinary(contentDer),
    signerCount: signers.length,
    certificateCount: certificates.length,
  };
  if (signers.length === 0) return info;
  const signer = signers[0];
  info.digestAlgorithmOid = signer.digestOid;
  const signed = signer.signed || [];
  const digest = firstValue(signed, OID.messageDigest);
  const isOctets = digest !== undefined && digest.tagClass === UNIVERSAL && digest.type === T.OCTETSTRING;
  info.messageDigest = isOctets ? fromBinary(octets(digest)) : null;
  const when = firstValue(signed, OID.signingTime);
  info.signingTime = when ? timeText(when) : '';
  const { signature, certificate: found } = signerSignature(signer, certificates);
  if (signature === 'unavailable') return { status: 'unavailable' };
  info.signature = signature;
  info.subject = found ? nameText(found.subjectEntries) : null;
  info.issuer = found ? nameText(found.issuerEntries) : null;
  const count = (...oids) => signer.unsigned.filter((a) => oids.includes(a.oid)).reduce((sum, a) => sum + a.values.length, 0);
  info.nestedSignatures = count(OID.nestedSignature);
  info.countersignatures = count(OID.timeStamp, OID.counterSignature);
  return info;
}

// --- What the C++ calls -----------------------------------------------------------------

// Runs a decoder over bytes the C++ hands in (a view of its memory, copied
// first: the view goes stale when that memory grows). A structure that does
// not decode answers `refused`: forge's decoder says so with a plain Error,
// and this file with Malformed; any other error is a fault of the code and
// goes on up.
function decoding(view, decode, refused) {
  try {
    return decode(toBinary(view));
  } catch (error) {
    if (error instanceof Malformed || error.constructor === Error) return refused;
    throw error;
  }
}

const digests = new Map();
let nextDigest = 1;

export const hostCrypto = {
  // A digest being computed: its handle, or 0 for an algorithm not known
  // here.
  digestStart(name) {
    const hash = HASHES[name];
    if (!hash) return 0;
    const handle = nextDigest++;
    digests.set(handle, hash.hash.create());
    return handle;
  },
  // The pieces are hashed as they come; none is kept.
  digestUpdate(handle, view) {
    digests.get(handle).update(view);
  },
  digestFinish(handle) {
    const digest = digests.get(handle).digest();
    digests.delete(handle);
    return digest;
  },
  digestDrop(handle) {
    digests.delete(handle);
  },

  // The elements of one DER SEQUENCE, each as its whole encoding.
  decodeSequence(view) {
    return decoding(view, (text) => {
      const el = element(text);
      need(el.tagClass === UNIVERSAL && el.type === T.SEQUENCE);
      return { elements: inside(el, { anyForm: true }).map((child) => fromBinary(child.raw)) };
    }, null);
  },
  // libcrypto's d2i_ASN1_OBJECT looks at the tag's number alone.
  decodeObjectId(view) {
    return decoding(view, (text) => {
      const el = element(text);
      need(el.type === T.OID);
      return { oid: oidText(el.contents) };
    }, null);
  },
  // DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }
  decodeDigestInfo(view) {
    return decoding(view, (text) => {
      const [algorithm, digest, ...rest] = sequence(element(text));
      need(digest !== undefined && rest.length === 0);
      return { algorithmOid: algorithmOf(algorithm), digest: fromBinary(octets(digest)) };
    }, null);
  },
  readSignedData(view) {
    return decoding(view, readSignedData, { status: 'malformed' });
  },
};

// The C++'s side of the conversation: a question over bytes leaves an
// answer, whose fields the C++ reads one at a time, numbers directly and
// bytes (text as UTF-8) by their size and then a copy.
export const glimCrypto = {
  ...hostCrypto,
  answer: null,
  held: null,
  ask(question, view) {
    this.answer = hostCrypto[question](view);
    return this.answer !== null;
  },
  number(field) {
    const value = this.answer[field];
    return Array.isArray(value) ? value.length : Number(value ?? -1);
  },
  // The size of the field (of its `index`th element, for a list), which
  // copy() then hands over; -1 when it has none.
  size(field, index) {
    let value = field === '' ? this.answer : this.answer[field];
    if (Array.isArray(value)) value = value[index];
    if (value === null || value === undefined) return -1;
    this.held = typeof value === 'string' ? new TextEncoder().encode(value) : value;
    return this.held.length;
  },
  copy(heap, at) {
    heap.set(this.held, at);
    this.held = null;
  },
  finish(handle) {
    this.answer = hostCrypto.digestFinish(handle);
    return this.size('', 0);
  },
};
