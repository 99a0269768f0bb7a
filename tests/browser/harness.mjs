// What the browser tests share: a real backup-host on a profile of its own,
// headless Chromium with one page that collects its script errors, axe-core's
// verdict, and a run that cleans up after itself and prints one TAP line.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const buildDir = path.resolve(process.argv[2] || process.env.BACKUP_BUILD_DIR || 'build');
const cleanups = [];  // run last to first at the end, whatever happened
export const step = (text) => console.log(`# ${text}`);

export function check(ok, message) {
  if (!ok) throw new Error(message);
}

// A fresh folder, removed at the end.
export function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  cleanups.push(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Starts backup-host; its process and the page's address from its first line.
export async function startHost(profile, lang = 'en', env = process.env) {
  const host = spawn(path.join(buildDir, 'backup-host'),
    ['--profile', profile, '--port', '0', '--lang', lang, '--log-level', 'warning'],
    { stdio: ['ignore', 'pipe', 'inherit'], env });
  cleanups.push(() => host.exitCode === null && host.kill('SIGKILL'));
  const lines = readline.createInterface({ input: host.stdout });
  const [first] = await Promise.race([
    once(lines, 'line'),
    once(host, 'exit').then(([code]) => { throw new Error(`backup-host exited with ${code} before it printed its address`); }),
  ]);
  const url = first.replace(/^.*open /, '');
  check(/^http:\/\/127\.0\.0\.1:\d+\/ui\/backup\/index\.html\?token=\w+$/.test(url), `unexpected start line: ${first}`);
  return { host, url };
}

// SIGTERM, and the exit code.
export async function stopHost(host) {
  if (host.exitCode !== null) return host.exitCode;
  const exit = once(host, 'exit');
  host.kill('SIGTERM');
  const [code] = await exit;
  return code;
}

// Headless Chromium's page (options go to the browser context, args to Chromium).
export async function openPage(options = {}, args = []) {
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch (e) {
    throw new Error('playwright-core is missing: run `make browser-deps` (npm install in tests/browser)');
  }
  const context = await chromium.launchPersistentContext(tempDir('backup-chromium-'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', ...args, '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    ...options,
  });
  cleanups.push(() => context.close());
  const page = context.pages()[0] || await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  return { page, pageErrors };
}

// axe-core over the whole page: nothing serious or critical.
export async function checkAxe(page, what) {
  // Evaluated, not added as a script: the page's policy allows no inline script.
  await page.evaluate(fs.readFileSync(path.join(here, 'node_modules/axe-core/axe.min.js'), 'utf8'));
  const violations = await page.evaluate(async () => {
    const result = await window.axe.run(document, { resultTypes: ['violations'] });
    return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .map((v) => `${v.id}: ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
  });
  check(!violations.length, `axe-core (${what}): ${violations.join('; ')}`);
}

// Runs main and then the clean-ups; prints the verdict and exits with it.
// onFailure may leave evidence (a picture) before the clean-ups.
export async function run(name, main, onFailure = async () => {}) {
  let failure = null;
  try {
    await main();
  } catch (e) {
    failure = e;
    try { await onFailure(); } catch { /* nothing to show */ }
  }
  for (const cleanup of cleanups.reverse()) {
    try { await cleanup(); } catch { /* already gone */ }
  }
  console.log(failure ? `not ok - ${name}: ${failure.stack || failure}` : `ok - ${name}`);
  process.exit(failure ? 1 : 0);
}
