// Drives the backup page in headless Chromium against a real backup-host,
// first in English, then in German on the same profile: adds backups through
// the form, backs up, browses and restores, watches a large file's progress,
// a failure's reason, keyboard use, axe-core's verdict, and takes screenshots.
//   node page-test.mjs BUILD_DIR
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {
  buildDir, check, checkAxe, here, openPage, run, startHost, step, stopHost, tempDir,
} from './harness.mjs';

let shownPage = null;  // photographed when a check fails

// msgid -> msgstr of a catalogue: what the German page must show.
function readPo(file) {
  const catalogue = new Map();
  const unquote = (line) => JSON.parse(line.slice(line.indexOf('"')));
  let id = null;
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    if (line.startsWith('msgid ')) id = unquote(line);
    else if (line.startsWith('msgstr ') && id) catalogue.set(id, unquote(line));
  }
  return catalogue;
}
const german = readPo(path.join(here, '../../po/de.po'));
const texts = { en: (t) => t, de: (t) => german.get(t) || t };

// The copy of large files is slowed down, so a backup can be watched in mid-file.
function buildSlowCopy(work) {
  const library = path.join(work, 'slow-copy.so');
  execFileSync('cc', ['-shared', '-fPIC', '-o', library, path.join(here, 'slow-copy.c'), '-ldl']);
  return library;
}

// ---- checks shared by both languages ----

async function screenshots(page, suffix) {
  await page.setViewportSize({ width: 1280, height: 900 });
  await page.evaluate(() => window.scrollTo(0, 0));  // the sticky bar stays on top of the picture
  await page.screenshot({ path: path.join(buildDir, `backup-page${suffix}.png`), fullPage: true });
  await page.setViewportSize({ width: 400, height: 800 });
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  check(width <= 400, `the page is ${width} px wide at a 400 px viewport`);
  // Dates stay on one line at this width.
  const wrapped = await page.evaluate(() => Array.from(document.querySelectorAll('.activity .when'))
    .filter((el) => el.getClientRects().length > 1).length);
  check(!wrapped, `${wrapped} activity dates wrap at 400 px`);
  await page.screenshot({ path: path.join(buildDir, `backup-page${suffix}-narrow.png`), fullPage: true });
  await page.setViewportSize({ width: 1280, height: 900 });
}

// A large file's backup shows bytes moving while the same file is copied,
// with a rate; a stop then reads "stopped", not "failed".
async function checkLargeFile(page, record, file, T) {
  const counts = record.locator('.counts');
  // A new time makes it changed, whatever an earlier pass copied.
  const later = new Date(Date.now() + 60000);
  fs.utimesSync(file, later, later);
  await record.locator('[data-action=backup]').click();
  await record.locator('.current-file', { hasText: 'big.bin' }).waitFor();
  check(await record.locator('[data-action=backup]').isDisabled(), '"Back up now" stays enabled while the backup runs');
  const seen = new Set();
  for (let i = 0; i < 40 && seen.size < 3; i++) {
    const value = await counts.textContent();
    if (value) seen.add(value);
    await page.waitForTimeout(250);
  }
  // "0 of 1 files · 120 MB of 671 MB": the file count stays, the bytes move.
  const files = new Set([...seen].map((v) => v.split(' · ')[0]));
  check(seen.size >= 3 && files.size === 1, `the bytes did not move inside the large file: ${[...seen].join(' | ')}`);
  check((await record.locator('.current-file').textContent()).endsWith('big.bin'), 'another file was copied meanwhile');
  await record.locator('.speed', { hasText: '/s' }).waitFor();
  await record.locator('[data-action=stop]').click();
  await record.locator('.last-result', { hasText: T('Stopped by you {when}').replace(' {when}', '') }).waitFor();
  check(!(await record.locator('.last-result').getAttribute('class')).includes('failed'), 'a stop is shown as a failure');
  await record.locator('.progress-box').waitFor({ state: 'hidden' });
  check(!(await record.locator('[data-action=stop]').isEnabled()), '"Stop" is enabled with nothing running');
}

// A source that vanished: the card and the summary line say so, with the reason.
async function checkFailure(page, record, source, T) {
  fs.renameSync(source, `${source}-away`);
  await record.locator('[data-action=backup]').click();
  await record.locator('.last-result.failed').waitFor();
  const reason = await record.locator('.result-detail').textContent();
  check(reason.trim().length > 0, 'the failed card gives no reason');
  check(reason.includes(source), `the reason does not name the source: ${reason}`);
  await page.locator('#summary.failed', { hasText: T('1 failing') }).waitFor();
  fs.renameSync(`${source}-away`, source);
  return reason;
}

// Escape and focus through the schedule form and the browser; the add form's
// order of Tab stops and its errors next to it.
async function checkKeyboard(page, record, T) {
  const focused = () => page.evaluate(() => {
    const el = document.activeElement;
    return el ? (el.name || el.id || el.dataset.action || el.className || el.tagName) : '';
  });
  await record.locator('[data-action=schedule]').click();
  check(await focused() === 'frequency', `the schedule form opened with focus on ${await focused()}`);
  await page.keyboard.press('Escape');
  check(await record.locator('.schedule-form').isHidden(), 'Escape left the schedule form open');
  check(await focused() === 'schedule', `Escape gave the focus to ${await focused()}`);
  await record.locator('[data-action=schedule]').click();
  await record.locator('.schedule-form button[type=submit]').click();
  await record.locator('.schedule-form').waitFor({ state: 'hidden' });
  check(await focused() === 'schedule', `after "Save" the focus is on ${await focused()}`);
  const hourName = await page.locator('#add-schedule select[name=timeoffset]').evaluate((el) => el.getAttribute('aria-label'));
  check(hourName === T('Hour'), `the hour menu is named "${hourName}"`);

  await record.locator('[data-action=browse]').click();
  await record.locator('.browser .crumb').first().waitFor();
  check(await page.evaluate(() => document.activeElement.closest('.browser') !== null), 'the browser opened without the focus');
  await record.locator('[data-action=open-folder]').first().click();
  await record.locator('.crumb').nth(1).waitFor();
  check(await focused() === 'crumb', `after opening a folder the focus is on ${await focused()}`);
  await page.keyboard.press('Escape');
  check(await record.locator('.browser').isHidden(), 'Escape left the browser open');
  check(await focused() === 'browse', `Escape gave the focus to ${await focused()}`);

  await page.selectOption('#add-schedule select[name=frequency]', '2');
  await page.fill('#add-source', '');
  await page.click('#add-form button[type=submit]');
  await page.locator('#add-error', { hasText: T('Choose the file or folder to back up.') }).waitFor();
  check(await focused() === 'localpath', 'an empty source did not take the focus');
  const order = [];
  for (let i = 0; i < 9; i++) {
    await page.keyboard.press('Tab');
    order.push(await focused());
  }
  check(order.join(',') === 'target,remotepath,frequency,dayoffset,timeoffset,'
    + 'exclude-patterns,exclude-cachedir,exclude-ignorecase,primary',
    `Tab goes ${order.join(' > ')} through the add form`);
  await page.focus('#add-source');
  await page.keyboard.press('Escape');
  check(await page.locator('#add-error').isHidden(), 'Escape kept the add form\'s error');
}

// Every text of the page is German: no word of an English text of the
// catalogue that is not German too appears outside the data (paths, names).
async function checkAllGerman(page) {
  const english = new Set();
  const germanWords = new Set();
  const words = (t) => t.replace(/\{\w+\}/g, ' ').toLowerCase().match(/\p{L}{3,}/gu) || [];
  for (const [id, translated] of german) {
    words(id).forEach((w) => english.add(w));
    words(translated).forEach((w) => germanWords.add(w));
  }
  for (const w of germanWords) english.delete(w);
  const shown = await page.evaluate(() => {
    const out = [];
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT);
    for (let node = walker.currentNode; node; node = walker.nextNode()) {
      const el = node.nodeType === Node.TEXT_NODE ? node.parentElement : node;
      if (!el || el.closest('[translate=no], template, script')) continue;
      if (node.nodeType === Node.TEXT_NODE) out.push(node.nodeValue);
      else ['aria-label', 'title', 'placeholder'].forEach((a) => node.hasAttribute(a) && out.push(node.getAttribute(a)));
    }
    return out.concat(document.title);
  });
  const left = new Set();
  for (const t of shown) for (const w of words(t)) if (english.has(w)) left.add(`${w} (in "${t.trim()}")`);
  check(!left.size, `English words in the German page: ${[...left].slice(0, 8).join('; ')}`);
}

// ---- the run ----

async function main() {
  const work = tempDir('bk-');
  const source = path.join(work, 'Dokumente');
  fs.mkdirSync(path.join(source, 'briefe'), { recursive: true });
  fs.writeFileSync(path.join(source, 'notiz.txt'), 'Milch kaufen\n');
  fs.writeFileSync(path.join(source, 'briefe', 'tante.txt'), 'Liebe Tante,\n');
  fs.writeFileSync(path.join(source, 'bild.bin'), Buffer.alloc(512 * 1024, 7));
  const destination = path.join(work, 'usb');
  fs.mkdirSync(destination);
  // One large file, sparse, so making it costs nothing.
  const bigSource = path.join(work, 'Gross');
  fs.mkdirSync(bigSource);
  fs.closeSync(fs.openSync(path.join(bigSource, 'big.bin'), 'w'));
  fs.truncateSync(path.join(bigSource, 'big.bin'), 320 * 1024 * 1024);
  const failing = path.join(work, 'Fotos');
  fs.mkdirSync(failing);
  fs.writeFileSync(path.join(failing, 'urlaub.jpg'), 'jpeg');
  const preload = buildSlowCopy(work);
  const profile = path.join(work, 'profile');

  let { host, url } = await startHost(profile, 'en', { ...process.env, LD_PRELOAD: preload });
  step(`host at ${url.replace(/token=.*/, 'token=…')}`);

  const { page, pageErrors } = await openPage({ viewport: { width: 1280, height: 900 } },
    ['--disable-quic']);
  shownPage = page;
  const missing = [];
  page.on('response', (r) => { if (r.status() === 404) missing.push(r.url()); });
  const dialogs = [];
  page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.accept(); });
  page.setDefaultTimeout(30000);
  const T = texts.en;

  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('add-dest').value !== '');
  await page.locator('#activity-empty').waitFor();
  await page.locator('#backup-all').click();
  await page.locator('#notice.info', { hasText: 'There is nothing to back up' }).waitFor();
  step('page loaded, default store location offered, empty activity log says so, "Back up all" with nothing to do says so');

  await page.fill('#add-source', 'relative/path');
  await page.fill('#add-dest', destination);
  await page.click('#add-form button[type=submit]');
  await page.locator('#add-error', { hasText: 'Backup source must be an absolute path' }).waitFor();
  step('a refused request shows the plug-in\'s message next to the form');

  const add = async (from, frequency = '0') => {
    await page.fill('#add-source', from);
    await page.fill('#add-dest', destination);
    await page.selectOption('#add-schedule select[name=frequency]', frequency);
    await page.click('#add-form button[type=submit]');
    const card = page.locator('.record', { has: page.locator('.path', { hasText: new RegExp(`^${from}$`) }) });
    await card.waitFor();
    return card;
  };
  await page.fill('#add-source', source);
  await page.selectOption('#add-schedule select[name=frequency]', '2');
  await page.selectOption('#add-schedule select[name=dayoffset]', '3');
  await page.selectOption('#add-schedule select[name=timeoffset]', '21');
  await page.click('#add-form button[type=submit]');
  const record = page.locator('.record', { has: page.locator('.path', { hasText: new RegExp(`^${source}$`) }) });
  await record.waitFor();
  const schedule = await record.locator('.schedule-text').textContent();
  check(/^Weekly on Wednesday at 9:00\sPM$/.test(schedule), `schedule shows "${schedule}"`);
  await record.locator('.last-result', { hasText: 'Not backed up yet' }).waitFor();
  await record.locator('.next-run', { hasText: /^in \d+ (days?|hours?)/ }).waitFor();
  step('record added through the form; next run and "not backed up yet" shown');

  await record.locator('[data-action=backup]').click();
  await record.locator('.last-result.ok', { hasText: 'Completed' }).waitFor();
  const summaryText = await record.locator('.result-detail').textContent();
  check(/^3 files, 524 kB in \d+ sec/.test(summaryText), `the run's summary reads "${summaryText}"`);
  await page.locator('#summary.ok', { hasText: 'All backups OK' }).waitFor();
  await page.locator('#live', { hasText: `Backup of ${source} finished: 3 files` }).waitFor({ state: 'attached' });
  await page.locator('#activity li', { hasText: `Backup of directory [${source}] completed.` }).waitFor();
  for (const file of ['notiz.txt', 'briefe/tante.txt', 'bild.bin']) {
    const a = fs.readFileSync(path.join(source, file));
    const b = fs.readFileSync(path.join(destination, 'Dokumente', file));
    check(a.equals(b), `${file} differs in the destination`);
  }
  check(!page.url().includes('token'), `the token stays in the address bar: ${page.url()}`);
  await record.locator('.history summary').click();
  await record.locator('.runs li', { hasText: 'Completed' }).waitFor();
  step('backup completed with its summary; history lists the run; files copied');

  // The copy against a source that moved on: one file deleted, one changed.
  fs.rmSync(path.join(source, 'notiz.txt'));
  fs.writeFileSync(path.join(source, 'briefe', 'tante.txt'), 'Liebe Tante, danke für die Socken.\n');
  await record.locator('[data-action=browse]').click();
  const browser = record.locator('.browser');
  const row = (name) => browser.locator('tbody tr', { has: page.locator('.entry-name', { hasText: name }) });
  await row('notiz.txt').locator('.file-state', { hasText: 'missing' }).waitFor();
  await row('bild.bin').locator('.file-state', { hasText: 'unchanged' }).waitFor();
  check(await row('briefe').locator('.file-state').count() === 0, 'a folder whose contents changed claims a state');
  await row('briefe').locator('[data-action=open-folder]').click();
  await row('tante.txt').locator('.file-state', { hasText: 'changed' }).waitFor();
  const crumbs = await browser.locator('.crumb').allTextContents();
  check(crumbs.join('/') === 'Dokumente/briefe', `breadcrumb shows ${crumbs.join('/')}`);
  await browser.locator('.crumb').first().click();
  await row('notiz.txt').waitFor();
  step('browse shows the missing and the changed file, no state on a folder');
  await browser.screenshot({ path: path.join(buildDir, 'restore.png') });

  // Both back to where they were, "if changed"; the panel tells the result
  // and shows the states afresh, nothing ticked.
  await row('notiz.txt').locator('.pick').check();
  await row('briefe').locator('.pick').check();
  await browser.locator('select[name=overwrite]').selectOption('changed');
  await browser.locator('.restore-form button[type=submit]').click();
  await browser.locator('.browser-status', { hasText: /^Restore (completed: 2 files|finished)\.$/ }).waitFor();
  await row('notiz.txt').locator('.file-state', { hasText: 'unchanged' }).waitFor();
  check(!(await row('notiz.txt').locator('.pick').isChecked()), 'a restored item stays ticked');
  for (const file of ['notiz.txt', 'briefe/tante.txt']) {
    check(fs.readFileSync(path.join(source, file)).equals(fs.readFileSync(path.join(destination, 'Dokumente', file))),
      `${file} differs from its copy after the restore`);
  }
  step('restore result shown in the panel, states refreshed');

  await row('notiz.txt').locator('.pick').check();
  await browser.locator('select[name=overwrite]').selectOption('always');
  await browser.locator('.restore-form button[type=submit]').click();
  await page.locator('#notice-text', { hasText: 'Restore started.' }).waitFor();
  check(dialogs.some((m) => m.includes('will be replaced')), '"always" asked nothing');
  await page.locator('#notice').waitFor({ state: 'hidden' });
  step('restore accepted after confirming "always"; the info clears by itself');

  // Polls must leave the cards alone: focus and a half-typed folder stay.
  await browser.locator('input[name=where][value=folder]').check();
  await browser.locator('.restore-target').fill('/half/typed');
  const focused = record.locator('[data-action=schedule]');
  await focused.focus();
  await focused.evaluate((el) => { el.dataset.probe = 'kept'; });
  for (let i = 0; i < 2; i++) await page.waitForResponse((r) => r.url().includes('/api/backup/getallbackuprecs'));
  await page.waitForTimeout(100);
  check(await page.evaluate(() => document.activeElement && document.activeElement.dataset.probe) === 'kept',
    'a poll took the focus away from the record\'s button');
  check(await browser.locator('.restore-target').inputValue() === '/half/typed', 'a poll lost typed text');
  check(await focused.getAttribute('aria-label') === `Change schedule ${source}`, 'buttons are not named after their record');
  await record.locator('[data-action=close-browser]').click();
  step('focus and typed text survive polls');

  await checkKeyboard(page, record, T);
  step('keyboard: Escape, focus after opening, saving and closing, Tab order, errors by the form');

  const big = await add(bigSource);
  await checkLargeFile(page, big, path.join(bigSource, 'big.bin'), T);
  step('a large file shows its bytes moving, a rate, and a stop as "stopped"');

  const photos = await add(failing);
  await photos.locator('[data-action=backup]').click();
  await photos.locator('.last-result.ok').waitFor();
  const reason = await checkFailure(page, photos, failing, T);
  step(`a failure shows on the card and in the summary: "${reason}"`);

  await record.locator('[data-action=toggle]').click();
  await page.locator('.record.disabled', { has: page.locator('.path', { hasText: new RegExp(`^${source}$`) }) }).waitFor();
  await record.locator('.enabled-badge', { hasText: 'Disabled' }).waitFor();
  await checkAxe(page, 'English');
  await screenshots(page, '');
  await record.locator('[data-action=toggle]').click();
  await record.locator('.enabled-badge', { hasText: 'Enabled' }).waitFor();
  step('a disabled record looks different; axe-core clean; screenshots at 1280 and 400 px');

  await page.reload();
  await record.waitFor();
  step('a reload keeps the session');

  // Failing polls: the error shows once, stays dismissed, polls back off,
  // and every control waits for the host to answer again.
  const failedPolls = [];
  await page.route('**/api/backup/getallbackuprecs*', (route) => {
    failedPolls.push(Date.now());
    route.abort();
  });
  await page.locator('#backup-all').click();
  await page.locator('#notice-text', { hasText: 'The host cannot be reached.' }).waitFor();
  await page.locator('#offline').waitFor();
  check(await page.locator('#backup-all').isDisabled() && await record.locator('[data-action=delete]').isDisabled(),
    'controls stay usable while the host cannot be reached');
  await page.locator('#notice-close').click();
  const seen = failedPolls.length;
  while (failedPolls.length < seen + 2) await page.waitForTimeout(100);
  await page.waitForTimeout(100);
  check(!(await page.locator('#notice').isVisible()), 'a dismissed error came back with the next poll');
  const gaps = failedPolls.slice(-3).map((t, i, a) => (i ? t - a[i - 1] : 0)).slice(1);
  check(gaps[1] > gaps[0] * 1.5, `polls did not back off: ${gaps.join(', ')} ms apart`);
  await page.unroute('**/api/backup/getallbackuprecs*');
  await page.locator('#offline').waitFor({ state: 'hidden', timeout: 60000 });
  check(await record.locator('[data-action=delete]').isEnabled(), 'controls stay disabled after the host is back');
  step(`offline: controls disabled, error dismissed for good, polls backed off (${gaps.join(', ')} ms)`);

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
  check(hiddenPolls <= 1, `${hiddenPolls} polls while the tab was hidden`);
  const caughtUp = page.waitForResponse((r) => r.url().includes('/api/backup/getallbackuprecs'), { timeout: 1000 });
  await setHidden(false);
  await caughtUp;
  step('no polling in a hidden tab, one poll on return');

  // A wrong token: one screen telling how to get the address.
  const wrong = await page.context().newPage();
  await wrong.goto(url.replace(/token=\w+/, 'token=wrong'));
  await wrong.locator('#refused', { hasText: 'backup-host --url' }).waitFor();
  check(await wrong.locator('main').isHidden(), 'the refused page still shows the list and the form');
  await wrong.close();
  step('a refused token shows how to get the address');

  check(!pageErrors.length, `script errors in the page: ${pageErrors.join('; ')}`);
  check(await stopHost(host) === 0, 'backup-host did not exit with 0 after SIGTERM');

  // ---- German, same profile ----
  ({ host, url } = await startHost(profile, 'de', { ...process.env, LD_PRELOAD: preload }));
  const D = texts.de;
  await page.goto(url);
  await page.locator('html[lang=de]').waitFor({ state: 'attached' });
  const photosDe = page.locator('.record', { has: page.locator('.path', { hasText: new RegExp(`^${failing}$`) }) });
  await checkFailure(page, photosDe, failing, D);
  await photosDe.locator('.result-head', { hasText: D('Failed {when}:').replace(' {when}:', '') }).waitFor();
  const bigDe = page.locator('.record', { has: page.locator('.path', { hasText: new RegExp(`^${bigSource}$`) }) });
  const recordDe = page.locator('.record', { has: page.locator('.path', { hasText: new RegExp(`^${source}$`) }) });
  await recordDe.locator('.schedule-text', { hasText: 'Wöchentlich am Mittwoch um 21:00' }).waitFor();
  step('German: the failure and the summary line, schedule in German words and 24-hour time');
  await checkLargeFile(page, bigDe, path.join(bigSource, 'big.bin'), D);
  step('German: the large file\'s progress');
  await checkKeyboard(page, recordDe, D);
  step('German: keyboard');
  await recordDe.locator('.history summary').click();
  await recordDe.locator('.runs li').first().waitFor();
  await checkAllGerman(page);
  await checkAxe(page, 'German');
  await page.emulateMedia({ colorScheme: 'dark' });
  await checkAxe(page, 'German, dark');
  await page.screenshot({ path: path.join(buildDir, 'backup-page-de-dark.png') });
  await page.emulateMedia({ colorScheme: 'light' });
  await screenshots(page, '-de');
  step('German: no English words left, axe-core clean, screenshots');

  await recordDe.locator('[data-action=delete]').click();
  await recordDe.waitFor({ state: 'detached' });
  await page.locator('#notice-text', { hasText: 'wurde gelöscht' }).waitFor();
  step('German: record deleted with feedback');

  check(!pageErrors.length, `script errors in the page: ${pageErrors.join('; ')}`);
  check(!missing.length, `not found: ${missing.join(', ')}`);
  check(await stopHost(host) === 0, 'backup-host did not exit with 0 after SIGTERM');
}

await run('backup page in English and German', main, () => shownPage.screenshot(
  { path: path.join(buildDir, 'backup-page-failure.png'), fullPage: true }));
