// Drives the page's exclusions in headless Chromium against a real
// backup-host: a pattern given on the add form is stored with the record,
// the record's Exclude section shows it with a live preview of what it
// leaves out, and the backup leaves those files out.
//   node excludes-test.mjs BUILD_DIR
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const buildDir = path.resolve(process.argv[2] || process.env.BACKUP_BUILD_DIR || 'build');
const cleanups = [];
const step = (text) => console.log(`# ${text}`);

async function main() {
  const { chromium } = await import('playwright-core').catch(() => {
    throw new Error('playwright-core is missing: run `make browser-deps` (npm install in tests/browser)');
  });
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'backup-excludes-'));
  cleanups.push(() => fs.rmSync(work, { recursive: true, force: true }));
  const source = path.join(work, 'Project');
  fs.mkdirSync(path.join(source, 'build'), { recursive: true });
  fs.writeFileSync(path.join(source, 'main.c'), 'int main() { return 0; }\n');
  fs.writeFileSync(path.join(source, 'build', 'main.o'), Buffer.alloc(3000, 1));
  fs.writeFileSync(path.join(source, 'scratch.tmp'), Buffer.alloc(2000, 2));
  const destination = path.join(work, 'usb-stick');
  fs.mkdirSync(destination);

  const host = spawn(path.join(buildDir, 'backup-host'),
    ['--profile', path.join(work, 'profile'), '--port', '0', '--lang', 'en', '--log-level', 'warning'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  cleanups.push(() => host.exitCode === null && host.kill('SIGKILL'));
  const [first] = await once(readline.createInterface({ input: host.stdout }), 'line');
  const url = first.replace(/^.*open /, '');

  const profileDir = fs.mkdtempSync(path.join(os.tmpdir(), 'backup-chromium-'));
  cleanups.push(() => fs.rmSync(profileDir, { recursive: true, force: true }));
  const context = await chromium.launchPersistentContext(profileDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  cleanups.push(() => context.close());
  const page = context.pages()[0] || await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.setDefaultTimeout(30000);
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('add-dest').value !== '');

  await page.fill('#add-source', source);
  await page.fill('#add-dest', destination);
  await page.fill('#add-form .exclude-patterns', '/build');
  await page.click('#add-form button[type=submit]');
  const record = page.locator('.record', { hasText: source });
  await record.waitFor();
  await record.locator('.exclude-section summary').click();
  await page.waitForFunction(() => document.querySelector('.record .exclude-patterns').value === '/build');
  await record.locator('.exclude-preview', { hasText: '1 files' }).waitFor();
  step('the add form stored the pattern; the card shows it with its preview');

  await record.locator('.exclude-patterns').fill('/build\n*.tmp');
  await record.locator('.exclude-preview', { hasText: '2 files' }).waitFor();
  const preview = await record.locator('.exclude-preview').textContent();
  if (!preview.includes('build/') || !preview.includes('scratch.tmp')) throw new Error(`preview shows "${preview}"`);
  await record.locator('.exclude-patterns').fill('[oops');
  await record.locator('.exclude-preview', { hasText: 'has a [ without its closing ]' }).waitFor();
  await record.locator('.exclude-patterns').fill('/build\n*.tmp');
  await record.locator('.exclude-preview', { hasText: '2 files' }).waitFor();
  await record.locator('.exclude-section button', { hasText: 'Save' }).click();
  await page.locator('#notice-text', { hasText: 'Exclusions saved.' }).waitFor();
  step('the preview follows the edits and names a bad pattern; saved');

  await record.locator('[data-action=backup]').click();
  await page.locator('#activity li', { hasText: `Backup of directory [${source}] completed.` }).waitFor();
  const copy = path.join(destination, 'Project');
  if (!fs.existsSync(path.join(copy, 'main.c'))) throw new Error('main.c was not copied');
  for (const left of ['build', 'scratch.tmp']) {
    if (fs.existsSync(path.join(copy, left))) throw new Error(`${left} was copied`);
  }
  step('the backup left the excluded entries out');

  if (pageErrors.length) throw new Error(`script errors in the page: ${pageErrors.join('; ')}`);
}

let failure = null;
try {
  await main();
} catch (e) {
  failure = e;
}
for (const cleanup of cleanups.reverse()) {
  try { await cleanup(); } catch { /* already gone */ }
}
console.log(failure ? `not ok - exclusions page: ${failure.message || failure}` : 'ok - exclusions page');
process.exit(failure ? 1 : 0);
