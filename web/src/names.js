// Names a browser saves a download under. A browser does not refuse a name
// it dislikes: it saves the file under another one ("A\B.EXE" becomes
// "A_B.EXE", ".SCR" becomes "SCR.txt"), and an installer saved under another
// name installs other files. So the page refuses such a name before it offers
// a download, with the reason.
//
// The rule is Chromium's for download names, the strictest of the browsers
// the page supports; other browsers change fewer names:
//   - anywhere: " ~ * / : < > ? \ | , control and format characters (the
//     zero-width ones among them), noncharacters and unpaired surrogates are
//     replaced with _;
//   - at either end: white space and dots are removed;
//   - the names Windows keeps for devices, with or without an extension,
//     and two names Windows' shell keeps, are changed on every system;
//   - a name longer than 255 bytes is shortened.

const REPLACED_ANYWHERE = new Set(['"', '~', '*', '/', ':', '<', '>', '?', '\\', '|']);
const INVISIBLE = /[\p{Cc}\p{Cf}\u{FDD0}-\u{FDEF}\u{FFFE}\u{FFFF}\u{1FFFE}\u{1FFFF}\u{2FFFE}\u{2FFFF}\u{3FFFE}\u{3FFFF}\u{4FFFE}\u{4FFFF}\u{5FFFE}\u{5FFFF}\u{6FFFE}\u{6FFFF}\u{7FFFE}\u{7FFFF}\u{8FFFE}\u{8FFFF}\u{9FFFE}\u{9FFFF}\u{AFFFE}\u{AFFFF}\u{BFFFE}\u{BFFFF}\u{CFFFE}\u{CFFFF}\u{DFFFE}\u{DFFFF}\u{EFFFE}\u{EFFFF}\u{FFFFE}\u{FFFFF}\u{10FFFE}\u{10FFFF}]/u;
const BLANK = /^\s$/u;
const DEVICE = /^(con|prn|aux|nul|clock\$|com[1-9]|lpt[1-9])$/i;
const SHELL_NAMES = new Set(['desktop.ini', 'thumbs.db']);
const MAX_BYTES = 255;

// How a character is named in a message: itself when it can be seen, its
// code point otherwise.
export function characterName(ch) {
  const code = ch.codePointAt(0);
  const hex = `U+${code.toString(16).toUpperCase().padStart(4, '0')}`;
  return INVISIBLE.test(ch) || BLANK.test(ch) || (code >= 0xd800 && code <= 0xdfff) ? hex : `${ch} (${hex})`;
}

// Why a browser would save a file named `name` under another name, as the
// end of a sentence ("it holds \, which browsers replace with _"), or null
// when it keeps the name.
export function savedNameProblem(name) {
  if (name === '') return 'it is empty';
  // Iterating a string walks code points; a lone surrogate comes as itself.
  for (const ch of name) {
    const code = ch.codePointAt(0);
    if (REPLACED_ANYWHERE.has(ch)) return `it holds ${ch}, which browsers replace with _ when they save a file`;
    if (INVISIBLE.test(ch) || (code >= 0xd800 && code <= 0xdfff)) {
      return `it holds the invisible character ${characterName(ch)}, which browsers replace with _ when they save a file`;
    }
  }
  const first = [...name][0];
  const last = [...name].at(-1);
  if (first === '.') return 'it starts with a dot, which browsers remove when they save a file';
  if (BLANK.test(first)) return `it starts with the blank ${characterName(first)}, which browsers remove when they save a file`;
  if (last === '.') return 'it ends with a dot, which browsers remove when they save a file';
  if (BLANK.test(last)) return `it ends with the blank ${characterName(last)}, which browsers remove when they save a file`;
  const stem = name.split('.')[0].trimEnd();
  if (DEVICE.test(stem)) return `${stem.toUpperCase()} names a device on Windows, and browsers rename such a file when they save it`;
  if (SHELL_NAMES.has(name.toLowerCase())) return 'Windows keeps that name for itself, and browsers rename such a file when they save it';
  const bytes = new TextEncoder().encode(name).length;
  if (bytes > MAX_BYTES) return `it is ${bytes} bytes long in UTF-8, and browsers shorten a name to ${MAX_BYTES}`;
  return null;
}

// The whole sentence for a download the page will not offer, "SUBJECT: …",
// ending with `advice` (what the user can change); null when it would be
// saved as named.
export function savedNameRefusal(subject, name, advice) {
  const problem = savedNameProblem(name);
  return problem && `${subject}: a browser would not save the file as "${name}": ${problem}. ${advice}`;
}
