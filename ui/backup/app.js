'use strict';
// The backup page: talks to the plug-in only through its web operations.
// Every value from the server goes into the page as text, never as markup.

// The token is read once and then taken out of the address bar (and so out
// of the history); the tab's session storage keeps it for reloads.
const TOKEN = (() => {
  const params = new URLSearchParams(location.search);
  const given = params.get('token');
  if (!given) {
    try { return sessionStorage.getItem('backup-token') || ''; } catch { return ''; }
  }
  try { sessionStorage.setItem('backup-token', given); } catch { /* private mode: no reloads */ }
  params.delete('token');
  const rest = params.toString();
  history.replaceState(history.state, '', location.pathname + (rest ? `?${rest}` : '') + location.hash);
  return given;
})();
const DAYS = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday'];
const FAST_POLL_MS = 1000;
const SLOW_POLL_MS = 15000;
const MAX_BACKOFF_MS = 60000;
// After a start request the pass may sit in "Queued" before it shows as active.
const START_GRACE_MS = 15000;

const state = {
  records: [],
  previous: new Map(),  // recid -> signature of the last listing, to see movement
  cards: new Map(),     // recid -> its card, kept across polls
  startedAt: 0,
  timer: 0,
  failures: 0,          // failed polls in a row, for the back-off
  polling: false,       // a poll is under way
  pollAgain: false,     // someone asked for a poll meanwhile
  paused: false,        // the tab was hidden when the next poll was due
  storeLocation: '',
  activitySig: '',
};

// The notice: a dismissed message stays away until a different one comes.
const notice = { shown: '', dismissed: '', fromPoll: false };

const $ = (id) => document.getElementById(id);

class ApiError extends Error {}

// rawQuery is appended as it stands: the copy's paths arrive already
// percent-encoded, and decoding them would lose bytes that are not UTF-8.
async function call(operation, fields = {}, rawQuery = '') {
  const query = [new URLSearchParams(fields).toString(), rawQuery].filter(Boolean).join('&');
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

function notify(message, kind = 'error', fromPoll = false) {
  if (fromPoll && message === notice.dismissed) return;
  notice.shown = message;
  notice.fromPoll = fromPoll;
  $('notice-text').textContent = message;
  $('notice').className = 'notice' + (kind === 'info' ? ' info' : '');
  $('notice').hidden = false;
}

function dismissNotice() {
  notice.dismissed = notice.shown;
  $('notice').hidden = true;
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

// A new card; its contents are filled by updateCard.
function createCard(recid) {
  const item = $('record-template').content.firstElementChild.cloneNode(true);
  item.dataset.recid = recid;
  return item;
}

// Writes a value only when it changed, so that polls leave the page alone.
function setText(node, value) {
  if (node.textContent !== value) node.textContent = value;
}

function setAttr(node, name, value) {
  if (node.getAttribute(name) !== value) node.setAttribute(name, value);
}

// Updates a card in place: nodes are never replaced, so focus, open forms
// and typed text survive every poll.
function updateCard(item, rec) {
  const q = (selector) => item.querySelector(selector);
  setText(q('.kind'), rec.isFile ? 'File' : 'Folder');
  setText(q('.path'), rec.path);
  setText(q('.enabled-badge'), rec.enabled ? 'Enabled' : 'Disabled');
  q('.enabled-badge').classList.toggle('on', rec.enabled);
  q('.enabled-badge').classList.toggle('off', !rec.enabled);
  setText(q('.record-target'), rec.local
    ? `to ${rec.remotePath}`
    : `to ${rec.peerName || rec.peer} (${rec.group})`);
  setText(q('.schedule-text'), describeSchedule(rec.frequency, rec.hour, rec.day));
  setText(q('.last-attempt'), rec.attempt);
  const busy = isBusy(rec);
  // While a pass runs its own attempt is newer than the last success.
  const ok = rec.lastOk || busy;
  q('.last-success').classList.toggle('ok', ok);
  q('.last-success').classList.toggle('failed', !ok);
  setText(q('.last-success'), ok ? rec.success : `${rec.success} (last attempt failed)`);
  setText(q('.size'), rec.size);

  const box = q('.progress-box');
  box.hidden = !busy && !rec.action;
  setText(q('.state'), rec.action);
  setText(q('.percent'), rec.active ? `${rec.progress}%` : '');
  const bar = q('.progress');
  bar.hidden = !rec.active;
  setAttr(bar, 'aria-valuenow', String(rec.progress));
  setAttr(bar, 'aria-label', `Progress of ${rec.path}`);
  q('.progress-fill').style.width = `${rec.progress}%`;
  setText(q('.current-file'), busy ? rec.file : '');
  const counts = [];
  if (busy || rec.checked) counts.push(`${rec.checked} files checked`);
  if (rec.active) counts.push(`${rec.toSend} files, ${rec.remaining} of ${rec.total} remaining`);
  setText(q('.counts'), counts.join(' · '));

  // A queued pass shows no movement, so Stop stays available once the record
  // has a state at all; stopping an idle record does no harm.
  q('[data-action=stop]').disabled = !busy && !rec.action;
  setText(q('[data-action=toggle]'), rec.enabled ? 'Disable' : 'Enable');
  // Only a copy on this device can be browsed.
  q('[data-action=browse]').hidden = !rec.local;
  // The same buttons repeat on every card: the path tells them apart.
  item.querySelectorAll('.actions button').forEach((button) => {
    setAttr(button, 'aria-label', `${button.textContent} ${rec.path}`);
  });
  setText(q('.browser-title'), `Backup of ${rec.path}`);
  Excludes.attachCard(item, rec);
}

function signature(rec) {
  return [rec.active, rec.action, rec.checked, rec.toSend, rec.file].join('|');
}

// A record counts as busy while its worker reports it active or its
// progress values still move between two listings.
function isBusy(rec) {
  return rec.active || (state.previous.has(rec.id) && state.previous.get(rec.id) !== signature(rec));
}

// Puts the cards into the listing's order, moving only those out of place
// (moving a node takes the focus from it).
function placeCards(records) {
  const list = $('records');
  const seen = new Set();
  records.forEach((rec, i) => {
    seen.add(rec.id);
    let item = state.cards.get(rec.id);
    if (!item) {
      item = createCard(rec.id);
      state.cards.set(rec.id, item);
    }
    updateCard(item, rec);
    if (list.children[i] !== item) list.insertBefore(item, list.children[i] || null);
  });
  for (const [recid, item] of state.cards) {
    if (seen.has(recid)) continue;
    item.remove();
    state.cards.delete(recid);
  }
}

async function refresh() {
  // One poll at a time; a request for another meanwhile runs right after.
  if (state.polling) {
    state.pollAgain = true;
    return;
  }
  state.polling = true;
  clearTimeout(state.timer);
  let busy = false;
  let failed = false;
  try {
    const records = readRecords(await call('getallbackuprecs'));
    busy = records.some(isBusy);
    placeCards(records);
    state.previous = new Map(records.map((rec) => [rec.id, signature(rec)]));
    $('records-empty').hidden = records.length > 0;
    state.records = records;
    await refreshActivity();
    // Recovered: a poll error on screen is stale, and the next one is new.
    if (notice.fromPoll && !$('notice').hidden) $('notice').hidden = true;
    notice.dismissed = '';
    state.failures = 0;
  } catch (e) {
    failed = true;
    state.failures++;
    notify(e.message, 'error', true);
  }
  state.polling = false;
  if (state.pollAgain) {
    state.pollAgain = false;
    refresh();
    return;
  }
  let delay = busy || Date.now() - state.startedAt < START_GRACE_MS ? FAST_POLL_MS : SLOW_POLL_MS;
  // After failures wait longer each time, never shorter than usual.
  if (failed) delay = Math.max(delay, Math.min(MAX_BACKOFF_MS, FAST_POLL_MS * 2 ** state.failures));
  schedulePoll(delay);
}

// A hidden tab does not poll; it polls at once when it is shown again.
function schedulePoll(delay) {
  clearTimeout(state.timer);
  if (document.hidden) {
    state.paused = true;
    return;
  }
  state.timer = setTimeout(() => {
    if (document.hidden) state.paused = true;
    else refresh();
  }, delay);
}

const SEVERITY = [['info', 'Info'], ['ok', 'Done'], ['warn', 'Warning'], ['error', 'Error']];

async function refreshActivity() {
  const doc = checkResult(await call('getactivity'), 'Reading the activity');
  const nodes = Array.from(doc.getElementsByTagName('activity'));
  const sig = nodes.map((node) => `${text(node, 'severity')}|${text(node, 'text')}`).join('\n');
  // Unchanged entries keep their nodes, and the list keeps its scroll place.
  if (sig === state.activitySig) return;
  state.activitySig = sig;
  const entries = nodes.map((node) => {
    const severity = parseInt(text(node, 'severity'), 10) || 0;
    const [kind, label] = SEVERITY[Math.min(Math.max(severity, 0), SEVERITY.length - 1)];
    const li = document.createElement('li');
    li.className = `sev-${kind}`;
    // The severity is told in words, not by colour alone.
    const tag = document.createElement('span');
    tag.className = 'sev-label';
    tag.textContent = label;
    li.append(tag, ' ', text(node, 'text'));
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

// ---- browsing a backup and restoring from it ----

const STATE_WORDS = { same: 'unchanged', changed: 'changed', missing: 'missing' };

// item.browse holds the open folder: a stack of { name, path } from the
// copy's root, path being the percent-encoded form the plug-in sent.
async function openFolder(item, stack) {
  const recid = item.dataset.recid;
  const panel = item.querySelector('.browser');
  const at = stack[stack.length - 1];
  setText(panel.querySelector('.browser-status'), 'Loading…');
  panel.hidden = false;
  let doc;
  try {
    doc = await call('getbackupfiles', { recid }, `path=${at.path}`);
    if (doc.documentElement.nodeName !== 'getbackupfiles') checkResult(doc, 'Reading the backup');
  } catch (e) {
    setText(panel.querySelector('.browser-status'), '');
    notify(e instanceof ApiError ? e.message : `Reading the backup failed: ${e.message}`);
    if (!item.browse) panel.hidden = true;
    return;
  }
  item.browse = { stack };
  renderCrumbs(panel, stack);
  const rows = Array.from(doc.getElementsByTagName('entry')).map((node) => entryRow(node));
  panel.querySelector('tbody').replaceChildren(...rows);
  panel.querySelector('.select-all').checked = false;
  setText(panel.querySelector('.browser-status'), rows.length ? '' : 'This folder is empty.');
  const more = text(doc.documentElement, 'more');
  panel.querySelector('.more').hidden = !more;
  setText(panel.querySelector('.more'), more ? `${more} more items are not shown.` : '');
}

function renderCrumbs(panel, stack) {
  const items = stack.map((step, i) => {
    const li = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'crumb';
    button.dataset.action = 'crumb';
    button.dataset.index = String(i);
    button.textContent = step.name;
    if (i === stack.length - 1) button.setAttribute('aria-current', 'location');
    li.append(button);
    return li;
  });
  panel.querySelector('.crumbs ol').replaceChildren(...items);
}

function entryRow(node) {
  const name = text(node, 'name');
  const path = text(node, 'path');
  const folder = text(node, 'type') === 'folder';
  const state = text(node, 'state');
  const row = document.createElement('tr');
  row.dataset.path = path;

  const pick = document.createElement('input');
  pick.type = 'checkbox';
  pick.className = 'pick';
  pick.setAttribute('aria-label', `Select ${name}`);
  const nameCell = document.createElement('td');
  if (folder) {
    const open = document.createElement('button');
    open.type = 'button';
    open.className = 'folder-link';
    open.dataset.action = 'open-folder';
    open.dataset.name = name;
    open.textContent = `${name}/`;
    open.setAttribute('aria-label', `Open folder ${name}`);
    nameCell.append(open);
  } else {
    nameCell.textContent = name;
  }
  const badge = document.createElement('span');
  badge.className = `badge file-state state-${state}`;
  badge.textContent = STATE_WORDS[state] || state;
  const cells = [pick, nameCell, folder ? '' : text(node, 'readablesize'), text(node, 'modified'), badge];
  cells.forEach((content, i) => {
    const cell = content instanceof HTMLTableCellElement ? content : document.createElement('td');
    if (cell !== content) cell.append(content);
    if (i === 1) cell.className = 'entry-name';
    row.append(cell);
  });
  return row;
}

function browseAction(item, button) {
  const action = button.dataset.action;
  const rec = state.records.find((r) => r.id === item.dataset.recid) || {};
  if (action === 'browse') {
    const rootName = rec.path ? rec.path.replace(/\/+$/, '').split('/').pop() || rec.path : 'Backup';
    openFolder(item, [{ name: rootName, path: '' }]);
  } else if (action === 'close-browser') {
    item.querySelector('.browser').hidden = true;
    item.browse = null;
    item.querySelector('[data-action=browse]').focus();
  } else if (action === 'crumb' && item.browse) {
    openFolder(item, item.browse.stack.slice(0, Number(button.dataset.index) + 1));
  } else if (action === 'open-folder' && item.browse) {
    const path = button.closest('tr').dataset.path;
    openFolder(item, [...item.browse.stack, { name: button.dataset.name, path }]);
  } else {
    return false;
  }
  return true;
}

function onBrowserChange(event) {
  const item = event.target.closest('.record');
  if (!item) return;
  if (event.target.classList.contains('select-all')) {
    item.querySelectorAll('.browser tbody .pick').forEach((box) => { box.checked = event.target.checked; });
  } else if (event.target.name === 'where') {
    const target = item.querySelector('.restore-target');
    target.disabled = event.target.value !== 'folder';
    if (!target.disabled) target.focus();
  }
}

async function onRestoreSubmit(form) {
  const item = form.closest('.record');
  const recid = item.dataset.recid;
  const paths = Array.from(item.querySelectorAll('.browser tbody tr'))
    .filter((row) => row.querySelector('.pick').checked)
    .map((row) => row.dataset.path);
  if (!paths.length) return notify('Select the files or folders to restore.');
  const fields = { recid, overwrite: form.elements.overwrite.value };
  if (form.elements.where.value === 'folder') {
    fields.target = form.elements.target.value.trim();
    if (!fields.target) return notify('Name the folder to restore into.');
  }
  if (fields.overwrite === 'always'
      && !confirm('Files that already exist at the target will be replaced by the backed-up copies. Restore?')) return;
  // The paths are already percent-encoded and go into the query as they are.
  const raw = paths.map((p) => `path=${p}`).join('&');
  try {
    checkResult(await call('restorefiles', fields, raw), 'Starting the restore');
  } catch (e) {
    notify(e instanceof ApiError ? e.message : `Starting the restore failed: ${e.message}`);
    return;
  }
  notify('Restore started.', 'info');
  backupStarted();
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
  if (browseAction(item, button)) return;
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

async function onCardSubmit(event) {
  if (event.target.classList.contains('restore-form')) {
    event.preventDefault();
    onRestoreSubmit(event.target);
    return;
  }
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
  Excludes.setupAddForm(form);
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
      await Excludes.afterAdd(fields.localpath);
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
  $('notice-close').addEventListener('click', dismissNotice);
  $('records').addEventListener('click', onRecordAction);
  $('records').addEventListener('submit', onCardSubmit);
  $('records').addEventListener('change', onBrowserChange);
  document.addEventListener('visibilitychange', () => {
    if (document.hidden || !state.paused) return;
    state.paused = false;
    refresh();
  });
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
