// Writes the page's static folder: the html and css, the page script and the
// worker bundled by esbuild (with fflate and the worker's cryptography,
// node-forge and @noble, from node_modules), the C++ module
// (glimpack.js and glimpack.wasm from the wasm build), the installer stub and
// a README.txt that says how to serve the folder.
//
//   node build.mjs --wasm-dir DIR --stub glimsetup.exe --out build/web
import { build } from 'esbuild';
import { copyFileSync, mkdirSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

const here = dirname(fileURLToPath(import.meta.url));
const { values } = parseArgs({
  options: { 'wasm-dir': { type: 'string' }, stub: { type: 'string' }, out: { type: 'string' } },
});
for (const option of ['wasm-dir', 'stub', 'out']) {
  if (!values[option]) {
    console.error(`build.mjs: --${option} is missing`);
    process.exit(1);
  }
}
const out = values.out;

// The folder holds exactly what this build puts there.
mkdirSync(out, { recursive: true });
for (const entry of readdirSync(out)) rmSync(join(out, entry), { recursive: true, force: true });

await build({
  entryPoints: { main: join(here, 'src/main.js'), worker: join(here, 'src/worker.js') },
  outdir: out,
  bundle: true,
  format: 'iife',
  target: ['chrome109', 'firefox115', 'safari16'],
  minify: true,
  legalComments: 'none',
  logLevel: 'warning',
});
for (const file of ['index.html', 'style.css']) copyFileSync(join(here, file), join(out, file));
for (const file of ['glimpack.js', 'glimpack.wasm']) copyFileSync(join(values['wasm-dir'], file), join(out, file));
copyFileSync(values.stub, join(out, 'glimsetup.exe'));
writeFileSync(
  join(out, 'README.txt'),
  `Glimmerloom packages in the browser: a static folder that any static web
server can serve; the page asks for nothing beyond the files in it.

Serve it locally, for instance from this folder with

    python3 -m http.server 8000

and open http://127.0.0.1:8000/ in a browser. Opened as a file, the page
cannot start its worker and says so.
`,
);
