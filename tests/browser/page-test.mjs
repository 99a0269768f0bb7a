// Drives the backup page in headless Chromium against a real backup-host:
// adds a local backup through the form, backs it up, watches the progress
// finish and the activity entry appear, and takes screenshots.
//   node page-test.mjs BUILD_DIR
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const buildDir = path.resolve(process.argv[2] || process.env.BACKUP_BUILD_DIR || 'build');
const results = { passed: 0, failed: 0 };
const cleanups = [];

function finish(error) {
  if (error) {
    results.failed++;
    console.log(`not ok - backup page: ${error.message || error}`);
  } else {
    results.passed++;
    console.log('ok - backup page: add, back up, progress, activity, browse, polls in place, stop, delete, narrow layout');
  }
  console.log(`${results.passed} passed, ${results.failed} failed`);
}

const step = (text) => console.log(`# ${text}`);

async function startHost(profile) {
  const host = spawn(path.join(buildDir, 'backup-host'),
    ['--profile', profile, '--port', '0', '--lang', 'en', '--log-level', 'warning'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: host.stdout });
  const [first] = await Promise.race([
    once(lines, 'line'),
    once(host, 'exit').then(([code]) => { throw new Error(`backup-host exited with ${code} before it printed its address`); }),
  ]);
  const url = first.replace(/^.*open /, '');
  if (!/^http:\/\/127\.0\.0\.1:\d+\/ui\/backup\/index\.html\?token=\w+$/.test(url)) {
    throw new Error(`unexpected start line: ${first}`);
  }
  return { host, url };
}

async function stopHost(host) {
  if (host.exitCode !== null) return host.exitCode;
  const exit = once(host, 'exit');
  host.kill('SIGTERM');
  const [code] = await exit;
  return code;
}

async function main() {
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch (e) {
    throw new Error('playwright-core is missing: run `make browser-deps` (npm install in tests/browser)');
  }
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'backup-page-'));
  cleanups.push(() => fs.rmSync(work, { recursive: true, force: true }));
  const source = path.join(work, 'Documents');
  fs.mkdirSync(path.join(source, 'letters'), { recursive: true });
  fs.writeFileSync(path.join(source, 'notes.txt'), 'remember the milk\n');
  fs.writeFileSync(path.join(source, 'letters', 'aunt.txt'), 'Dear aunt,\n');
  fs.writeFileSync(path.join(source, 'photo.bin'), Buffer.alloc(512 * 1024, 7));
  const destination = path.join(work, 'usb-stick');
  fs.mkdirSync(destination);

  const { host, url } = await startHost(path.join(work, 'profile'));
  cleanups.push(() => host.exitCode === null && host.kill('SIGKILL'));
  step(`host at ${url.replace(/token=.*/, 'token=…')}`);

  const profileDir = fs.mkdtempSync(path.join(os.tmpdir(), 'backup-chromium-'));
  cleanups.push(() => fs.rmSync(profileDir, { recursive: true, force: true }));
  const context = await chromium.launchPersistentContext(profileDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1100, height: 900 },
  });
  cleanups.push(() => context.close());
  const page = context.pages()[0] || await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  const dialogs = [];
  page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.accept(); });
  page.setDefaultTimeout(30000);

  await page.goto(url);
  // The store location is offered as the destination; replace it with ours.
  await page.waitForFunction(() => document.getElementById('add-dest').value !== '');
  step('page loaded, default store location offered');

  await page.fill('#add-source', 'relative/path');
  await page.fill('#add-dest', destination);
  await page.click('#add-form button[type=submit]');
  await page.locator('#notice-text', { hasText: 'Backup source must be an absolute path' }).waitFor();
  step('a refused request shows the plug-in\'s message');

  await page.fill('#add-source', source);
  await page.selectOption('#add-schedule select[name=frequency]', '2');
  await page.selectOption('#add-schedule select[name=dayoffset]', '3');
  await page.selectOption('#add-schedule select[name=timeoffset]', '21');
  await page.click('#add-form button[type=submit]');
  const record = page.locator('.record', { hasText: source });
  await record.waitFor();
  const schedule = await record.locator('.schedule-text').textContent();
  if (schedule !== 'Weekly on Wednesday at 21:00') throw new Error(`schedule shows "${schedule}"`);
  step('record added through the form');

  await record.locator('[data-action=backup]').click();
  await page.locator('#activity li', { hasText: `Backup of directory [${source}] completed.` }).waitFor();
  await record.locator('.state', { hasText: 'Idle' }).waitFor();
  for (const file of ['notes.txt', 'letters/aunt.txt', 'photo.bin']) {
    const a = fs.readFileSync(path.join(source, file));
    const b = fs.readFileSync(path.join(destination, 'Documents', file));
    if (!a.equals(b)) throw new Error(`${file} differs in the destination`);
  }
  const attempt = await record.locator('.last-attempt').textContent();
  if (!attempt || attempt.includes('N/A')) throw new Error(`last attempt shows "${attempt}"`);
  step('backup ran to Idle, activity entry shown, files copied');
  if (page.url().includes('token')) throw new Error(`the token stays in the address bar: ${page.url()}`);

  // The copy against a source that moved on: one file deleted, one changed.
  fs.rmSync(path.join(source, 'notes.txt'));
  fs.writeFileSync(path.join(source, 'letters', 'aunt.txt'), 'Dear aunt, thank you for the socks.\n');
  await record.locator('[data-action=browse]').click();
  const browser = record.locator('.browser');
  const row = (name) => browser.locator('tbody tr', { has: page.locator('.entry-name', { hasText: name }) });
  await row('notes.txt').locator('.file-state', { hasText: 'missing' }).waitFor();
  await row('photo.bin').locator('.file-state', { hasText: 'unchanged' }).waitFor();
  await row('letters').locator('[data-action=open-folder]').click();
  await row('aunt.txt').locator('.file-state', { hasText: 'changed' }).waitFor();
  const crumbs = await browser.locator('.crumb').allTextContents();
  if (crumbs.join('/') !== 'Documents/letters') throw new Error(`breadcrumb shows ${crumbs.join('/')}`);
  await browser.locator('.crumb').first().click();
  await row('notes.txt').waitFor();
  step('browse shows the missing and the changed file');
  await browser.screenshot({ path: path.join(buildDir, 'restore.png') });

  // Both back to where they were, "if changed": the deleted file returns, the
  // changed one is replaced by its copy, the unchanged one is left alone.
  const restored = page.locator('#activity li', { hasText: `Restore of [${source}] completed.` });
  const sameAsCopy = (file, where = source, copy = file) => {
    const a = fs.readFileSync(path.join(where, file));
    const b = fs.readFileSync(path.join(destination, 'Documents', copy));
    if (!a.equals(b)) throw new Error(`${file} differs from its copy after the restore`);
  };
  await row('notes.txt').locator('.pick').check();
  await row('letters').locator('.pick').check();
  await browser.locator('select[name=overwrite]').selectOption('changed');
  await browser.locator('.restore-form button[type=submit]').click();
  await restored.first().waitFor();
  sameAsCopy('notes.txt');
  sameAsCopy('letters/aunt.txt');
  await page.locator('#activity li', { hasText: '2 file(s) restored, 0 left as they were' }).waitFor();
  step('deleted and changed file restored to their place');

  // A folder into another folder.
  const elsewhere = path.join(work, 'elsewhere');
  fs.mkdirSync(elsewhere);
  await row('notes.txt').locator('.pick').uncheck();
  await row('letters').locator('.pick').check();
  await browser.locator('input[name=where][value=folder]').check();
  await browser.locator('.restore-target').fill(elsewhere);
  await browser.locator('select[name=overwrite]').selectOption('never');
  await browser.locator('.restore-form button[type=submit]').click();
  await restored.nth(1).waitFor();
  sameAsCopy('aunt.txt', path.join(elsewhere, 'letters'), 'letters/aunt.txt');
  step('a folder restored into another folder');
  await browser.locator('input[name=where][value=original]').check();
  await row('letters').locator('.pick').uncheck();

  await row('notes.txt').locator('.pick').check();
  await browser.locator('select[name=overwrite]').selectOption('always');
  await browser.locator('.restore-form button[type=submit]').click();
  await page.locator('#notice-text', { hasText: 'Restore started.' }).waitFor();
  if (!dialogs.some((m) => m.includes('will be replaced'))) throw new Error('"always" asked nothing');
  step('restore accepted after confirming "always"');

  // Polls must leave the cards alone: focus and a half-typed folder stay.
  await browser.locator('input[name=where][value=folder]').check();
  await browser.locator('.restore-target').fill('/half/typed');
  await record.locator('[data-action=backup]').click();
  const focused = record.locator('[data-action=schedule]');
  await focused.focus();
  await focused.evaluate((el) => { el.dataset.probe = 'kept'; });
  for (let i = 0; i < 2; i++) {
    await page.waitForResponse((r) => r.url().includes('/api/backup/getallbackuprecs'));
  }
  await page.waitForTimeout(100);  // let the page apply the last listing
  const kept = await page.evaluate(() => document.activeElement && document.activeElement.dataset.probe);
  if (kept !== 'kept') throw new Error('a poll took the focus away from the record\'s button');
  if (await browser.locator('.restore-target').inputValue() !== '/half/typed') throw new Error('a poll lost typed text');
  const label = await focused.getAttribute('aria-label');
  if (label !== `Change schedule ${source}`) throw new Error(`button named "${label}"`);
  step('focus and typed text survive polls; buttons are named after their record');

  await record.locator('[data-action=toggle]').click();
  await record.locator('.enabled-badge', { hasText: 'Disabled' }).waitFor();
  await record.locator('[data-action=toggle]').click();
  await record.locator('.enabled-badge', { hasText: 'Enabled' }).waitFor();

  await page.locator('#notice-close').click();
  const shot = path.join(buildDir, 'backup-page.png');
  await page.screenshot({ path: shot, fullPage: true });
  step(`screenshot ${shot}`);

  await page.setViewportSize({ width: 400, height: 800 });
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth);
  if (overflow > 400) throw new Error(`the page is ${overflow} px wide at a 400 px viewport`);
  await page.screenshot({ path: path.join(buildDir, 'backup-page-narrow.png'), fullPage: true });
  step('usable at 400 px');

  await page.reload();
  await record.waitFor();
  step('a reload keeps the session');

  // Failing polls: the error shows once, stays dismissed, and polls back off.
  const failedPolls = [];
  await page.route('**/api/backup/getallbackuprecs*', (route) => {
    failedPolls.push(Date.now());
    route.abort();
  });
  await page.locator('#backup-all').click();
  await page.locator('#notice-text', { hasText: 'The host cannot be reached.' }).waitFor();
  await page.locator('#notice-close').click();
  const seen = failedPolls.length;
  while (failedPolls.length < seen + 2) await page.waitForTimeout(100);
  await page.waitForTimeout(100);
  if (await page.locator('#notice').isVisible()) throw new Error('a dismissed error came back with the next poll');
  const gaps = failedPolls.slice(-3).map((t, i, a) => (i ? t - a[i - 1] : 0)).slice(1);
  if (!(gaps[1] > gaps[0] * 1.5)) throw new Error(`polls did not back off: ${gaps.join(', ')} ms apart`);
  await page.unroute('**/api/backup/getallbackuprecs*');
  step(`error dismissed for good, polls backed off (${gaps.join(', ')} ms)`);

  // A hidden tab stops polling and catches up as soon as it is shown.
  const setHidden = (hidden) => page.evaluate((h) => {
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => h });
    document.dispatchEvent(new Event('visibilitychange'));
  }, hidden);
  await record.locator('[data-action=backup]').click();
  await page.waitForResponse((r) => r.url().includes('/api/backup/getallbackuprecs'));
  await setHidden(true);
  let hiddenPolls = 0;
  const countPoll = (r) => { if (r.url().includes('/api/backup/getallbackuprecs')) hiddenPolls++; };
  page.on('request', countPoll);
  await page.waitForTimeout(3000);
  page.off('request', countPoll);
  if (hiddenPolls > 1) throw new Error(`${hiddenPolls} polls while the tab was hidden`);
  const caughtUp = page.waitForResponse((r) => r.url().includes('/api/backup/getallbackuprecs'), { timeout: 1000 });
  await setHidden(false);
  await caughtUp;
  step('no polling in a hidden tab, one poll on return');

  await record.locator('[data-action=stop]').click();
  await page.locator('#activity li', { hasText: 'Action stopped on user request' }).waitFor();
  step('stop answered and logged');

  await record.locator('[data-action=delete]').click();
  await record.waitFor({ state: 'detached' });
  await page.locator('#records-empty').waitFor();
  step('record deleted after confirmation');

  if (pageErrors.length) throw new Error(`script errors in the page: ${pageErrors.join('; ')}`);
  const code = await stopHost(host);
  if (code !== 0) throw new Error(`backup-host exited with ${code} after SIGTERM`);
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
finish(failure);
process.exit(failure ? 1 : 0);
