// Drives the page's exclusions in headless Chromium against a real
// backup-host: a pattern given on the add form is stored with the record,
// the record's Exclude section shows it with a live preview of what it
// leaves out, and the backup leaves those files out.
//   node excludes-test.mjs BUILD_DIR
import fs from 'node:fs';
import path from 'node:path';
import { openPage, run, startHost, step, tempDir } from './harness.mjs';

async function main() {
  const work = tempDir('backup-excludes-');
  const source = path.join(work, 'Project');
  fs.mkdirSync(path.join(source, 'build'), { recursive: true });
  fs.writeFileSync(path.join(source, 'main.c'), 'int main() { return 0; }\n');
  fs.writeFileSync(path.join(source, 'build', 'main.o'), Buffer.alloc(3000, 1));
  fs.writeFileSync(path.join(source, 'scratch.tmp'), Buffer.alloc(2000, 2));
  const destination = path.join(work, 'usb-stick');
  fs.mkdirSync(destination);

  const { url } = await startHost(path.join(work, 'profile'));
  const { page, pageErrors } = await openPage();
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

await run('exclusions page', main);
