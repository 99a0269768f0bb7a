// Drives the page's versions in headless Chromium against a real backup-host,
// with the browser in a time zone far from UTC: a file changed twice with
// passes between lists its versions at their local times, the first one
// comes back byte for byte, the folder shown as it was between the first two
// passes restores what the source held then, and the record's setting is
// changed on its card. Leaves a picture of the list, versions.png, in the
// build folder.
//   node versions-test.mjs BUILD_DIR
import fs from 'node:fs';
import path from 'node:path';
import { buildDir, check, checkAxe, openPage, run, startHost, step, tempDir } from './harness.mjs';

// Thirteen hours from UTC in December: a stamp shown in UTC shows another day.
const ZONE = 'Pacific/Auckland';
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(what, test, ms = 20000) {
  const until = Date.now() + ms;
  while (!test()) {
    if (Date.now() > until) throw new Error(`gave up waiting for ${what}`);
    await sleep(100);
  }
}

const readOr = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : null);

// What the page must show for a UTC stamp, and what a person types into the
// datetime field for a moment, both in the browser's zone.
function shownStamp(stamp) {
  const m = /^(\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})(\d{2})/.exec(stamp);
  const date = new Date(Date.UTC(+m[1], m[2] - 1, +m[3], +m[4], +m[5], +m[6]));
  return new Intl.DateTimeFormat('en', { dateStyle: 'medium', timeStyle: 'medium', timeZone: ZONE }).format(date);
}

function typedMoment(date) {
  const parts = Object.fromEntries(new Intl.DateTimeFormat('en-GB', {
    timeZone: ZONE, hourCycle: 'h23', year: 'numeric', month: '2-digit', day: '2-digit',
    hour: '2-digit', minute: '2-digit', second: '2-digit',
  }).formatToParts(date).map((p) => [p.type, p.value]));
  return `${parts.year}-${parts.month}-${parts.day}T${parts.hour}:${parts.minute}:${parts.second}`;
}

async function main() {
  const work = tempDir('backup-versions-');
  const source = path.join(work, 'Notes');
  fs.mkdirSync(source);
  const notes = path.join(source, 'notes.txt');
  fs.writeFileSync(notes, 'first\n');
  fs.writeFileSync(path.join(source, 'other.txt'), 'other one\n');
  const destination = path.join(work, 'usb-stick');
  fs.mkdirSync(destination);
  const keptFolder = path.join(destination, '.backup-versions', 'Notes');
  const restored = path.join(work, 'restored');
  fs.mkdirSync(restored);

  const { url } = await startHost(path.join(work, 'profile'));
  const api = async (operation, query) => {
    const response = await fetch(`${new URL(url).origin}/api/backup/${operation}?${query}`,
      { headers: { 'X-Backup-Token': new URL(url).searchParams.get('token') } });
    return response.text();
  };

  const { page, pageErrors } = await openPage({ timezoneId: ZONE });
  page.setDefaultTimeout(20000);
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('add-dest').value !== '');

  await page.fill('#add-source', source);
  await page.fill('#add-dest', destination);
  await page.click('#add-form button[type=submit]');
  const record = page.locator('.record', { hasText: source });
  await record.waitFor();
  const recid = await record.getAttribute('data-recid');

  // Each pass through the card's button; a whole second between the passes
  // and the moment, as stamps count seconds.
  let passes = 0;
  const pass = async () => {
    passes++;
    await record.locator('[data-action=backup]').click();
    await page.waitForFunction(([text, n]) => Array.from(document.querySelectorAll('#activity li'))
      .filter((li) => li.textContent.includes(text)).length >= n,
    [`Backup of directory [${source}] completed.`, passes]);
  };
  await pass();
  await sleep(1100);
  const between = new Date();
  await sleep(1100);
  fs.writeFileSync(notes, 'second version\n');
  await pass();
  await sleep(1100);
  fs.writeFileSync(notes, 'third and last one\n');
  await pass();
  const stamps = fs.readdirSync(keptFolder).map((name) => /^notes~(\d{8}-\d{6}(?:-\d+)?)\.txt$/.exec(name))
    .filter(Boolean).map((m) => m[1]).sort();
  check(stamps.length === 2, `versions kept: ${fs.readdirSync(keptFolder).join(', ')}`);
  step('three passes over a file changed twice kept two versions');

  // The file's versions, newest first, at the person's local time.
  await record.locator('[data-action=browse]').click();
  const browser = record.locator('.browser');
  const notesRow = browser.locator('.entries:not(.versions-list) tbody tr', { hasText: 'notes.txt' });
  await notesRow.locator('.versions-button', { hasText: '2 versions' }).click();
  const versions = browser.locator('.versions-panel');
  const rows = versions.locator('tbody tr');
  await rows.nth(2).waitFor();
  check(await page.evaluate(() => document.activeElement.classList.contains('versions-title')),
    'the versions list opened without the focus');
  const labels = await rows.locator('th').allTextContents();
  check(labels.join(' | ') === ['Current copy', ...stamps.slice().reverse().map(shownStamp)].join(' | '),
    `the list reads "${labels.join(' | ')}" for the stamps ${stamps.join(', ')}`);
  await checkAxe(page, 'versions list');
  await page.emulateMedia({ colorScheme: 'dark' });
  await checkAxe(page, 'versions list, dark');
  await page.emulateMedia({ colorScheme: 'light' });
  await browser.screenshot({ path: path.join(buildDir, 'versions.png') });
  step(`versions listed newest first in ${ZONE} time: ${labels.slice(1).join(', ')}`);

  // The oldest back in its place; what it replaces becomes a version, and the list shows it.
  await rows.nth(2).locator('button', { hasText: 'Restore' }).click();
  await waitFor('the first version back in place', () => readOr(notes) === 'first\n');
  await versions.locator('.versions-status', { hasText: 'Restore completed: 1 file.' }).waitFor();
  check(await rows.count() === 4, `${await rows.count()} rows after the restore`);
  const keptNow = fs.readdirSync(keptFolder).map((name) => readOr(path.join(keptFolder, name)));
  check(keptNow.includes('third and last one\n'), `the replaced file was not kept: ${keptNow.join(', ')}`);
  await page.keyboard.press('Escape');
  check(await versions.isHidden(), 'Escape left the versions open');
  check(await page.evaluate(() => document.activeElement.classList.contains('versions-button')),
    'Escape did not give the focus back to the versions button');
  step('the first version restored byte for byte; the replaced content kept and listed; Escape back to the folder');

  // The folder as it was between the first two passes, restored into another folder.
  await browser.locator('.as-of-form input[name=when]').fill(typedMoment(between));
  await browser.locator('.as-of-form button[type=submit]').click();
  await browser.locator('.as-of-note').waitFor();
  await browser.locator('.select-all').check();
  await browser.locator('input[name=where][value=folder]').check();
  await browser.locator('.restore-target').fill(restored);
  await browser.locator('.restore-form button[type=submit]').click();
  await waitFor('the folder restored as it was', () => readOr(path.join(restored, 'notes.txt')) !== null
    && readOr(path.join(restored, 'other.txt')) !== null);
  check(readOr(path.join(restored, 'notes.txt')) === 'first\n', `notes.txt came back as "${readOr(path.join(restored, 'notes.txt'))}"`);
  check(readOr(path.join(restored, 'other.txt')) === 'other one\n', 'other.txt came back changed');
  await browser.locator('.as-of-now').click();
  await browser.locator('.as-of-note').waitFor({ state: 'hidden' });
  step(`the folder shown and restored as it was at ${typedMoment(between)}`);

  // The setting on the card, a refusal next to its form, and the stored value.
  const section = record.locator('.versions-section');
  await section.locator('summary', { hasText: 'Keep earlier versions: staggered, up to 365 days' }).click();
  await section.locator('input[value=last]').check();
  await section.locator('input[name=keeplast]').fill('0');
  await section.locator('button[type=submit]').click();
  await section.locator('.form-error').waitFor();
  await section.locator('input[name=keeplast]').fill('3');
  await section.locator('button[type=submit]').click();
  await section.locator('summary', { hasText: 'Keep earlier versions: the last 3 versions' }).waitFor();
  const stored = await api('getbackupsettings', `recid=${recid}`);
  check(/<retention>last<\/retention>/.test(stored) && /<keeplast>3<\/keeplast>/.test(stored), `stored: ${stored}`);
  await checkAxe(page, 'version settings');
  step('the setting shown on the card, a refusal shown next to it, the change stored');

  check(!pageErrors.length, `script errors in the page: ${pageErrors.join('; ')}`);
}

await run('versions page', main);
