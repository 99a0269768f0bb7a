'use strict';
// The backup page: talks to the plug-in only through its twelve operations.
// Every value from the server goes into the page as text, never as markup.

const TOKEN = new URLSearchParams(location.search).get('token') || '';
const DAYS = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday'];
const FAST_POLL_MS = 1000;
const SLOW_POLL_MS = 15000;
// After a start request the pass may sit in "Queued" before it shows as active.
const START_GRACE_MS = 15000;

const state = {
  records: [],
  previous: new Map(),  // recid -> signature of the last listing, to see movement
  startedAt: 0,
  timer: 0,
  storeLocation: '',
};

const $ = (id) => document.getElementById(id);

class ApiError extends Error {}

async function call(operation, fields = {}) {
  const query = new URLSearchParams(fields).toString();
  let response;
  try {
    response = await fetch(`/api/backup/${operation}${query ? '?' + query : ''}`, {
      headers: { 'X-Backup-Token': TOKEN },
      cache: 'no-store',
    });
  } catch (e) {
    throw new ApiError('The host cannot be reached.');
  }
  const body = await response.text();
  if (response.status === 403) throw new ApiError('Access refused: open the address the host printed, with its token.');
  if (!response.ok) throw new ApiError(body || `The host answered ${response.status}.`);
  const doc = new DOMParser().parseFromString(body, 'application/xml');
  if (doc.getElementsByTagName('parsererror').length) throw new ApiError('The reply could not be read.');
  return doc;
}

const text = (node, name) => {
  const child = node.getElementsByTagName(name)[0];
  return child ? child.textContent : '';
};

// A result document (<result>) signals success or carries the failure text.
function checkResult(doc, what) {
  const root = doc.documentElement;
  if (root.nodeName !== 'result') return doc;
  if (text(root, 'success') === 'true') return doc;
  throw new ApiError(text(root, 'text') || `${what} failed.`);
}

function notify(message, kind = 'error') {
  $('notice-text').textContent = message;
  $('notice').className = 'notice' + (kind === 'info' ? ' info' : '');
  $('notice').hidden = false;
}

async function run(what, operation, fields) {
  try {
    return checkResult(await call(operation, fields), what);
  } catch (e) {
    notify(e instanceof ApiError ? e.message : `${what} failed: ${e.message}`);
    return null;
  }
}

// ---- schedule controls, shared by the add form and each record ----

function scheduleControls(fieldset, frequency = 1, hour = 2, day = 0) {
  const mode = document.createElement('select');
  mode.name = 'frequency';
  mode.setAttribute('aria-label', 'How often');
  for (const [value, label] of [['1', 'Daily'], ['2', 'Weekly'], ['0', 'Manually only']]) {
    mode.add(new Option(label, value));
  }
  mode.value = frequency === 1 || frequency === 2 ? String(frequency) : '0';

  const dayBox = document.createElement('label');
  dayBox.append('on ');
  const daySelect = document.createElement('select');
  daySelect.name = 'dayoffset';
  DAYS.forEach((name, i) => daySelect.add(new Option(name, String(i))));
  daySelect.value = String(day >= 0 && day <= 6 ? day : 0);
  dayBox.append(daySelect);

  const hourBox = document.createElement('label');
  hourBox.append('at ');
  const hourSelect = document.createElement('select');
  hourSelect.name = 'timeoffset';
  for (let h = 0; h < 24; h++) hourSelect.add(new Option(`${String(h).padStart(2, '0')}:00`, String(h)));
  hourSelect.value = String(hour >= 0 && hour <= 23 ? hour : 2);
  hourBox.append(hourSelect);

  const modeBox = document.createElement('label');
  modeBox.append(mode);
  fieldset.append(modeBox, dayBox, hourBox);
  const sync = () => {
    dayBox.hidden = mode.value !== '2';
    hourBox.hidden = mode.value === '0';
  };
  mode.addEventListener('change', sync);
  sync();
  return () => {
    const fields = { frequency: mode.value };
    if (mode.value !== '0') fields.timeoffset = hourSelect.value;
    if (mode.value === '2') fields.dayoffset = daySelect.value;
    return fields;
  };
}

function describeSchedule(frequency, hour, day) {
  const at = hour >= 0 && hour <= 23 ? ` at ${String(hour).padStart(2, '0')}:00` : '';
  if (frequency === 1) return `Daily${at}`;
  if (frequency === 2) return `Weekly${day >= 0 && day <= 6 ? ' on ' + DAYS[day] : ''}${at}`;
  return 'Manually only';
}

// ---- the listing ----

function readRecords(doc) {
  if (doc.documentElement.nodeName !== 'getallbackuprecs') checkResult(doc, 'Reading the backups');
  return Array.from(doc.getElementsByTagName('backuprec')).map((node) => {
    const t = (name) => text(node, name);
    const n = (name) => parseInt(t(name), 10) || 0;
    return {
      id: t('recid'), active: t('active') === '1', size: t('foldersize'),
      toSend: n('tosendcount'), remaining: t('remainingsendsize'), total: t('totalsendsize'),
      checked: n('checkedfilecount'), progress: Math.max(0, Math.min(100, n('progress'))),
      action: t('currentaction'), file: t('currentfile'), peer: t('targetpeerid'),
      peerName: t('targetpeername'), local: t('localbackup') === '1', isFile: t('isfile') === '1',
      path: t('localpath'), remotePath: t('remotepath'), enabled: t('enabled') === '1',
      frequency: n('backupmode'), hour: parseInt(t('timeoffset'), 10), day: parseInt(t('dayoffset'), 10),
      group: t('groupname'),
      attempt: `${t('lastattemptdate')} ${t('lastattempttime')}`.trim(),
      success: `${t('lastsuccessdate')} ${t('lastsuccesstime')}`.trim(),
      lastOk: t('lastsyncsuccess') === '1',
    };
  });
}

function renderRecord(rec) {
  const item = $('record-template').content.firstElementChild.cloneNode(true);
  item.dataset.recid = rec.id;
  const q = (selector) => item.querySelector(selector);
  q('.kind').textContent = rec.isFile ? 'File' : 'Folder';
  q('.path').textContent = rec.path;
  q('.enabled-badge').textContent = rec.enabled ? 'Enabled' : 'Disabled';
  q('.enabled-badge').classList.add(rec.enabled ? 'on' : 'off');
  q('.record-target').textContent = rec.local
    ? `to ${rec.remotePath}`
    : `to ${rec.peerName || rec.peer} (${rec.group})`;
  q('.schedule-text').textContent = describeSchedule(rec.frequency, rec.hour, rec.day);
  q('.last-attempt').textContent = rec.attempt;
  q('.last-success').textContent = rec.success;
  const busy = isBusy(rec);
  // While a pass runs its own attempt is newer than the last success.
  q('.last-success').classList.add(rec.lastOk || busy ? 'ok' : 'failed');
  if (!rec.lastOk && !busy) q('.last-success').textContent += ' (last attempt failed)';
  q('.size').textContent = rec.size;

  q('.progress-box').hidden = !busy && !rec.action;
  q('.state').textContent = rec.action;
  q('.percent').textContent = rec.active ? `${rec.progress}%` : '';
  q('.progress').hidden = !rec.active;
  q('.progress').setAttribute('aria-valuenow', String(rec.progress));
  q('.progress-fill').style.width = `${rec.progress}%`;
  q('.current-file').textContent = busy ? rec.file : '';
  const counts = [];
  if (busy || rec.checked) counts.push(`${rec.checked} files checked`);
  if (rec.active) counts.push(`${rec.toSend} files, ${rec.remaining} of ${rec.total} remaining`);
  q('.counts').textContent = counts.join(' · ');

  // A queued pass shows no movement, so Stop stays available once the record
  // has a state at all; stopping an idle record does no harm.
  q('[data-action=stop]').disabled = !busy && !rec.action;
  q('[data-action=toggle]').textContent = rec.enabled ? 'Disable' : 'Enable';
  return item;
}

function signature(rec) {
  return [rec.active, rec.action, rec.checked, rec.toSend, rec.file].join('|');
}

// A record counts as busy while its worker reports it active or its
// progress values still move between two listings.
function isBusy(rec) {
  return rec.active || (state.previous.has(rec.id) && state.previous.get(rec.id) !== signature(rec));
}

async function refresh() {
  clearTimeout(state.timer);
  let busy = false;
  try {
    const records = readRecords(await call('getallbackuprecs'));
    const openForms = new Set(Array.from(document.querySelectorAll('.record .schedule-form:not([hidden])'))
      .map((form) => form.closest('.record').dataset.recid));
    const list = $('records');
    const items = records.map(renderRecord);
    busy = records.some(isBusy);
    state.previous = new Map(records.map((rec) => [rec.id, signature(rec)]));
    // Keep a schedule form that the user has open.
    items.forEach((item) => {
      if (!openForms.has(item.dataset.recid)) return;
      const old = list.querySelector(`.record[data-recid="${CSS.escape(item.dataset.recid)}"] .schedule-form`);
      if (old) item.querySelector('.schedule-form').replaceWith(old);
    });
    list.replaceChildren(...items);
    $('records-empty').hidden = records.length > 0;
    state.records = records;
    await refreshActivity();
  } catch (e) {
    notify(e.message);
  }
  const fast = busy || Date.now() - state.startedAt < START_GRACE_MS;
  state.timer = setTimeout(refresh, fast ? FAST_POLL_MS : SLOW_POLL_MS);
}

async function refreshActivity() {
  const doc = checkResult(await call('getactivity'), 'Reading the activity');
  const entries = Array.from(doc.getElementsByTagName('activity')).map((node) => {
    const li = document.createElement('li');
    li.className = `sev-${text(node, 'severity')}`;
    li.textContent = text(node, 'text');
    return li;
  });
  $('activity').replaceChildren(...entries);
  $('activity-empty').hidden = entries.length > 0;
}

async function loadStoreLocation() {
  try {
    const doc = await call('getdefaultstorelocation');
    checkResult(doc, 'Reading the store location');
    state.storeLocation = text(doc.documentElement, 'defaultstorelocation');
    $('store-path').value = state.storeLocation;
    if (!$('add-dest').value) $('add-dest').value = state.storeLocation;
  } catch (e) {
    notify(e.message);
  }
}

// ---- actions ----

function backupStarted() {
  state.startedAt = Date.now();
  refresh();
}

async function onRecordAction(event) {
  const button = event.target.closest('button[data-action]');
  if (!button) return;
  const item = button.closest('.record');
  const recid = item.dataset.recid;
  const rec = state.records.find((r) => r.id === recid) || {};
  const form = item.querySelector('.schedule-form');
  switch (button.dataset.action) {
    case 'backup':
      if (await run('Starting the backup', 'synconerecord', { recid })) backupStarted();
      break;
    case 'stop':
      if (await run('Stopping the backup', 'stopbackup', { recid })) refresh();
      break;
    case 'toggle':
      if (await run('Changing the backup', rec.enabled ? 'disablerecord' : 'enablerecord', { recid })) refresh();
      break;
    case 'delete':
      if (!confirm(`Delete the backup of ${rec.path}? Copies already made stay where they are.`)) return;
      if (await run('Deleting the backup', 'deletebackuprecord', { recid })) refresh();
      break;
    case 'schedule': {
      const fieldset = form.querySelector('fieldset');
      fieldset.querySelectorAll('label').forEach((label) => label.remove());
      form.readSchedule = scheduleControls(fieldset, rec.frequency, rec.hour, rec.day);
      form.hidden = false;
      break;
    }
    case 'cancel-schedule':
      form.hidden = true;
      break;
  }
}

async function onScheduleSubmit(event) {
  const form = event.target.closest('.schedule-form');
  if (!form) return;
  event.preventDefault();
  const recid = form.closest('.record').dataset.recid;
  if (await run('Changing the schedule', 'setmodevalue', { recid, ...form.readSchedule() })) {
    form.hidden = true;
    refresh();
  }
}

function setupAddForm() {
  const form = $('add-form');
  const readSchedule = scheduleControls($('add-schedule'));
  const syncTarget = () => {
    const peer = form.elements.target.value === 'peer';
    $('add-peer-label').hidden = !peer;
    $('add-dest-label').hidden = peer;
  };
  form.addEventListener('change', (e) => { if (e.target.name === 'target') syncTarget(); });
  syncTarget();
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const fields = { localpath: $('add-source').value.trim(), ...readSchedule() };
    if (form.elements.target.value === 'peer') {
      fields.remotepeer = $('add-peer').value.trim();
      if (!fields.remotepeer) return notify('Name the peer to back up to.');
    } else {
      fields.remotepath = $('add-dest').value.trim();
      if (!fields.remotepath) return notify('Choose a destination folder.');
    }
    if (!fields.localpath) return notify('Choose the file or folder to back up.');
    if (await run('Adding the backup', 'addbackuprecord', fields)) {
      $('add-source').value = '';
      notify('Backup added.', 'info');
      refresh();
    }
  });
}

function setupStoreForm() {
  $('store-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const storepath = $('store-path').value.trim();
    if (await run('Setting the store location', 'setdefaultstorelocation', { storepath })) {
      notify('Default store location saved.', 'info');
      loadStoreLocation();
    }
  });
}

function start() {
  $('notice-close').addEventListener('click', () => { $('notice').hidden = true; });
  $('records').addEventListener('click', onRecordAction);
  $('records').addEventListener('submit', onScheduleSubmit);
  $('backup-all').addEventListener('click', async () => {
    if (await run('Starting all backups', 'syncallrecords')) backupStarted();
  });
  setupAddForm();
  setupStoreForm();
  if (!TOKEN) {
    notify('This page needs the address the host printed when it started (it ends in ?token=…).');
    return;
  }
  loadStoreLocation();
  refresh();
}

start();
