// How the page words what the C++ says. The C++'s texts are written for a
// terminal: a quoted name has its backslashes and quotes doubled so that the
// line can be read back unambiguously, and a limit names the tool's option
// that changes it. On the page a name is shown as a user types it (a control
// character stays visible as \xNN), and a limit is the page's own, which no
// control of the page changes.

// The tool's hint for a limit, and the page's words instead.
const TOOL_LIMIT_HINT = ' (see --max-size)';
const PAGE_LIMIT_HINT = " (the page's limit)";

// Undoes the doubling inside each quoted name: \\ becomes \ and \" becomes ".
// A quoted name opens with a quote at the start of the text or after a blank
// or "(" (a name given unquoted, as the file a line is about, may hold a
// quote of its own); inside it, only the closing quote stands alone.
function unquoteNames(text) {
  let out = '';
  let inName = false;
  for (let i = 0; i < text.length; i++) {
    const ch = text[i];
    if (ch === '"' && (inName || i === 0 || text[i - 1] === ' ' || text[i - 1] === '(')) inName = !inName;
    if (inName && ch === '\\' && (text[i + 1] === '\\' || text[i + 1] === '"')) {
      out += text[i + 1];
      i++;
      continue;
    }
    out += ch;
  }
  return out;
}

// A message or problem of the C++ as the page shows it.
export function pageWording(text) {
  return unquoteNames(text).replaceAll(TOOL_LIMIT_HINT, PAGE_LIMIT_HINT);
}
