// Drives the page's Devices section in headless Chromium against two real
// backup-hosts on 127.0.0.1: this device's fingerprint is the one the host
// prints, pairing the other device (fingerprint and address typed in) makes
// it and a record to it reachable, and removing it makes them not reachable.
//   node devices-test.mjs BUILD_DIR
import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const buildDir = path.resolve(process.argv[2] || process.env.BACKUP_BUILD_DIR || 'build');
const program = path.join(buildDir, 'backup-host');
const cleanups = [];
const step = (text) => console.log(`# ${text}`);

const deviceId = (profile) =>
  execFileSync(program, ['--profile', profile, '--device-id'], { encoding: 'utf8' }).trim();

// A host in its own profile; its page address, from the first line it prints.
async function startHost(profile, extra) {
  const host = spawn(program,
    ['--profile', profile, '--port', '0', '--lang', 'en', '--log-level', 'warning',
      '--peer-bind', '127.0.0.1', '--peer-port', '0', ...extra],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  cleanups.push(() => host.exitCode === null && host.kill('SIGKILL'));
  const [first] = await once(readline.createInterface({ input: host.stdout }), 'line');
  return first.replace(/^.*open /, '');
}

async function api(url, pathAndQuery) {
  const page = new URL(url);
  const response = await fetch(`${page.origin}${pathAndQuery}`,
    { headers: { 'X-Backup-Token': page.searchParams.get('token') } });
  return response.text();
}

async function main() {
  const { chromium } = await import('playwright-core').catch(() => {
    throw new Error('playwright-core is missing: run `make browser-deps` (npm install in tests/browser)');
  });
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'backup-devices-'));
  cleanups.push(() => fs.rmSync(work, { recursive: true, force: true }));
  const one = path.join(work, 'one');
  const two = path.join(work, 'two');
  const idOne = deviceId(one);
  const idTwo = deviceId(two);
  const source = path.join(work, 'Notes');
  fs.mkdirSync(source);
  fs.writeFileSync(path.join(source, 'a.txt'), 'alpha');

  const urlTwo = await startHost(two, ['--peer', 'alice@two', '--trust', `alice@one=${idOne}`]);
  const portTwo = JSON.parse(await api(urlTwo, '/api/host/devices')).port;
  const url = await startHost(one, ['--peer', 'alice@one', '--group', 'home=alice@two']);
  const added = await api(url, `/api/backup/addbackuprecord?localpath=${encodeURIComponent(source)}` +
    '&remotepeer=alice@two&frequency=0');
  if (!added.includes('<success>true</success>')) throw new Error(`the record was not added: ${added}`);

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
  page.on('dialog', (dialog) => dialog.accept());
  page.setDefaultTimeout(30000);
  await page.goto(url);

  await page.locator('#device-fingerprint', { hasText: idOne }).waitFor();
  await page.locator('#devices-empty').waitFor();
  const record = page.locator('.record', { hasText: source });
  await record.locator('.device-state', { hasText: 'Not reachable' }).waitFor();
  step('this device\'s fingerprint is shown; nothing is paired; the record\'s device is not reachable');

  // A typo in the fingerprint is refused on the form and pairs nothing.
  await page.fill('#device-form [name=peer]', 'alice@two');
  await page.fill('#device-form [name=fingerprint]', 'not-a-fingerprint');
  await page.click('#device-form button[type=submit]');
  await page.locator('#device-error', { hasText: 'Not a fingerprint' }).waitFor();
  if (await page.locator('#devices li').count() !== 0) throw new Error('a wrong fingerprint paired a device');

  await page.fill('#device-form [name=fingerprint]', idTwo);
  await page.fill('#device-form [name=address]', `127.0.0.1:${portTwo}`);
  await page.click('#device-form button[type=submit]');
  await page.locator('#notice-text', { hasText: 'Device paired.' }).waitFor();
  const device = page.locator('#devices li', { hasText: 'alice@two' });
  await device.locator('.badge', { hasText: /^Reachable$/ }).waitFor();
  // The record list is polled slowly while nothing runs: a reload shows it now.
  await page.reload();
  await record.locator('.device-state', { hasText: /^Reachable$/ }).waitFor();
  step('pairing with the fingerprint and address makes the device and the record reachable');

  await device.locator('button', { hasText: 'Remove' }).click();
  await page.locator('#notice-text', { hasText: 'Device removed.' }).waitFor();
  await page.locator('#devices-empty').waitFor();
  await page.reload();
  await record.locator('.device-state', { hasText: 'Not reachable' }).waitFor();
  step('removing the device makes the record\'s device not reachable again');

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
console.log(failure ? `not ok - devices page: ${failure.message || failure}` : 'ok - devices page');
process.exit(failure ? 1 : 0);
