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
const FAST_POLL_MS = 1000;
const SLOW_POLL_MS = 15000;
const MAX_BACKOFF_MS = 60000;
// After a start request the pass may sit in "Queued" before it shows as active.
const START_GRACE_MS = 15000;
const INFO_NOTICE_MS = 6000;
// A plug-in without the status operation never answers it: ask again only
// now and then, and never let it hold the listing up.
const STATUS_TIMEOUT_MS = 4000;
const STATUS_RETRY_MS = 60000;

// ---- translations ----

// Every text the script shows; the page's static texts are read from the
// document. Both are sent to the host once, which answers them in its
// language from the same catalogue the plug-in uses.
const SCRIPT_TEXTS = [
  'The host cannot be reached.', 'The reply could not be read.', 'The host answered {status}.',
  '{what} failed.', '{what} failed: {reason}',
  'Daily', 'Weekly', 'Manually only', 'How often', 'on', 'at', 'Day of the week', 'Hour',
  'Daily at {hour}', 'Weekly on {day} at {hour}', 'Manual',
  'File', 'Folder', 'Enabled', 'Disabled', 'to', 'Enable', 'Disable',
  'Back up now', 'Stop', 'Change schedule', 'Browse backup', 'Delete',
  'Backup of {path}', 'Progress of {path}', '(last attempt failed)', 'Not yet',
  'Not backed up yet', 'Completed {when}', 'Completed with errors {when}:', 'Failed {when}:',
  'Stopped by you {when}', 'nothing had changed',
  '{files}, {bytes} in {duration}', '1 file', '{n} files',
  '{done} of {total} files', '{done} of {total}', '{rate}/s', 'about {time} left',
  '{n} files checked', 'Waiting to start',
  'All backups OK', 'No backups yet', '1 failing', '{n} failing', '1 overdue', '{n} overdue',
  '1 running', '{n} running', 'Overdue', 'Next run', 'Schedule',
  'Last success', 'Size', 'Last attempt', 'disabled', 'today {time}', 'tomorrow {time}',
  '{relative}, {date}',
  'Recent runs', 'No runs yet.', 'Backup', 'Restore of files', 'Loading…',
  'Backup of {path} started.', 'Backup of {path} finished: {result}', 'Backup of {path} failed: {reason}',
  'Restore of {path} started.', 'Restore of {path} finished: {result}', 'Restore of {path} failed: {reason}',
  'Backup of {path} stopped.', 'Restore of {path} stopped.',
  'Restore completed: {files}.', 'Restore completed with errors: {reason}', 'Restore failed: {reason}',
  'Restore stopped.', 'Restore finished.', 'Restoring…',
  'Info', 'Done', 'Warning', 'Error',
  'unchanged', 'changed', 'missing',
  'Select {name}', 'Open folder {name}', 'This folder is empty.', '{n} more items are not shown.',
  'Select the files or folders to restore.', 'Name the folder to restore into.',
  'Files that already exist at the target will be replaced by the backed-up copies. Restore?',
  'Restore started.', 'Starting the restore', 'Reading the backup',
  'Starting the backup', 'Stopping the backup', 'Changing the backup', 'Deleting the backup',
  'Delete the backup of {path}? Copies already made stay where they are.',
  'The backup of {path} was deleted.', 'Changing the schedule', 'Schedule saved.',
  'Name the peer to back up to.', 'Choose a destination folder.', 'Choose the file or folder to back up.',
  'Adding the backup', 'Backup added.', 'Setting the store location', 'Default store location saved.',
  'Starting all backups', 'Backups started.', 'There is nothing to back up: no enabled backup to a folder on this device.',
  'Reading the backups', 'Reading the activity', 'Reading the store location',
  'The host cannot be reached. The page tries again by itself.',
  // excludes.js
  'Exclude',
  'Patterns, one per line (e.g. *.tmp, /build, cache/, **/logs/*.log, !keep.log)',
  'Skip folders marked with CACHEDIR.TAG',
  'Ignore case',
  'Save',
  'Exclusions saved.',
  'Nothing is left out.',
  'e.g.',
  '(only part of the source was looked at)',
  'The preview shows once the backup is added.',
  'The exclusions could not be saved.',
  '{files} files, {size} left out',
  // versions.js
  'Keep earlier versions',
  'Staggered: every version of the last hour, one per hour for a day, one per day for 30 days, one per week after that',
  'Up to this many days (0: for ever)', 'Only the newest ones', 'How many versions', 'Which versions to keep',
  'Give a whole number.', 'Version settings saved.', 'Saving the version settings', 'Reading the versions',
  'Current copy', 'Version', 'Restore the current copy', 'Back to the folder',
  'This file has no earlier versions.', 'Restore the chosen version',
  'A file that a restore replaces is kept as an earlier version.',
  'Show this backup as it was on', 'Show', 'Show it as it is now', 'Choose a date and time.',
  'The plug-in cannot show the backup as it was earlier.',
  'Keep earlier versions: {how}', 'no', 'staggered, up to {days}', '1 day', '{n} days', 'staggered, for ever',
  'the last {versions}', 'the last version', '1 version', '{n} versions', '{versions} of {name}', 'Versions of {name}',
  'Restore the version of {date}',
  'Shown as it was on {date}. A restore gives the files back as they were then.',
  ...Devices.TEXTS,
];

const i18n = { lang: 'en', texts: new Map() };

// tr('Failed {when}:', { when }) -> the translation with the values put in.
function tr(text, values = {}) {
  const translated = i18n.texts.get(text) || text;
  return translated.replace(/\{(\w+)\}/g, (whole, name) => (name in values ? String(values[name]) : whole));
}

// The page's own static texts: text nodes and the attributes a person hears
// or sees. Values the server sends are marked translate="no" and left alone.
const TRANSLATED_ATTRIBUTES = ['aria-label', 'placeholder', 'title'];

function staticTexts(root, visit) {
  const walker = document.createTreeWalker(root, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT);
  for (let node = walker.currentNode; node; node = walker.nextNode()) {
    if (node.nodeType === Node.TEXT_NODE) {
      if (!node.parentElement || node.parentElement && node.parentElement.closest('[translate=no], script, style')) continue;
      if (node.nodeValue.trim()) visit(node, null);
    } else if (node.nodeType === Node.ELEMENT_NODE) {
      if (node.closest('[translate=no]')) continue;
      for (const name of TRANSLATED_ATTRIBUTES) if (node.hasAttribute(name)) visit(node, name);
      if (node.tagName === 'TEMPLATE') staticTexts(node.content, visit);
    }
  }
}

function translateStatic(root) {
  staticTexts(root, (node, attribute) => {
    if (attribute) {
      node.setAttribute(attribute, tr(node.getAttribute(attribute)));
    } else {
      const raw = node.nodeValue;
      const trimmed = raw.trim();
      node.nodeValue = raw.replace(trimmed, tr(trimmed));
    }
  });
}

async function loadTexts() {
  const wanted = new Set(SCRIPT_TEXTS);
  staticTexts(document.documentElement, (node, attribute) => {
    wanted.add(attribute ? node.getAttribute(attribute) : node.nodeValue.trim());
  });
  try {
    const response = await fetch('/texts', {
      method: 'POST', cache: 'no-store', body: JSON.stringify([...wanted]),
      headers: { 'Content-Type': 'application/json' },
    });
    if (!response.ok) return;
    const answer = await response.json();
    i18n.lang = answer.lang || 'en';
    i18n.texts = new Map(Object.entries(answer.texts || {}));
  } catch {
    return;  // untranslated is still usable
  }
  document.documentElement.lang = i18n.lang;
  document.title = tr(document.title);
  translateStatic(document.body);
}

// ---- dates, numbers and sizes in the page's language ----

const fmt = {};
function setupFormats() {
  const lang = i18n.lang;
  fmt.date = new Intl.DateTimeFormat(lang, { dateStyle: 'medium', timeStyle: 'short' });
  fmt.time = new Intl.DateTimeFormat(lang, { timeStyle: 'short' });
  fmt.relative = new Intl.RelativeTimeFormat(lang, { numeric: 'auto', style: 'long' });
  fmt.plural = new Intl.PluralRules(lang);
  fmt.number = new Intl.NumberFormat(lang);
  fmt.hour = (h) => fmt.time.format(new Date(2000, 0, 1, h, 0));
  // Sunday first, as the plug-in counts.
  const weekday = new Intl.DateTimeFormat(lang, { weekday: 'long' });
  fmt.days = [...Array(7)].map((_, i) => weekday.format(new Date(2023, 0, 1 + i)));
}

const count = (n, one, other) => (fmt.plural.select(n) === 'one' ? tr(one, { n: fmt.number.format(n) })
  : tr(other, { n: fmt.number.format(n) }));

const BYTE_UNITS = ['byte', 'kilobyte', 'megabyte', 'gigabyte', 'terabyte'];

function formatBytes(bytes, perSecond = false) {
  let value = Math.max(0, Number(bytes) || 0);
  let unit = 0;
  while (value >= 1000 && unit < BYTE_UNITS.length - 1) { value /= 1000; unit++; }
  // Bytes in full: the short form writes "26 byte" where a person says "26 bytes".
  return new Intl.NumberFormat(i18n.lang, {
    style: 'unit', unit: BYTE_UNITS[unit] + (perSecond ? '-per-second' : ''),
    unitDisplay: unit === 0 ? 'long' : 'short', maximumFractionDigits: value < 10 && unit > 0 ? 1 : 0,
  }).format(value);
}

function formatDuration(seconds) {
  const s = Math.max(0, Math.round(seconds));
  const unit = (value, name) => new Intl.NumberFormat(i18n.lang,
    { style: 'unit', unit: name, unitDisplay: 'short' }).format(value);
  if (s < 60) return unit(s, 'second');
  if (s < 3600) return [unit(Math.floor(s / 60), 'minute'), s % 60 ? unit(s % 60, 'second') : ''].filter(Boolean).join(' ');
  return [unit(Math.floor(s / 3600), 'hour'), unit(Math.floor((s % 3600) / 60), 'minute')].join(' ');
}

function relative(date) {
  const seconds = (date.getTime() - Date.now()) / 1000;
  const abs = Math.abs(seconds);
  if (abs < 45) return fmt.relative.format(0, 'second');
  if (abs < 3600) return fmt.relative.format(Math.round(seconds / 60), 'minute');
  // Hours up to two days: a day's "tomorrow" or "yesterday" would stand
  // beside the date's own "tomorrow 9:00 PM", or contradict it.
  if (abs < 2 * 86400) return fmt.relative.format(Math.round(seconds / 3600), 'hour');
  return fmt.relative.format(Math.round(seconds / 86400), 'day');
}

const sameDay = (a, b) => a.toDateString() === b.toDateString();

// One style everywhere: "in 5 hours, today 22:00", "2 days ago, 5 Dec 2026, 03:51".
function when(date) {
  if (!date) return '';
  const now = new Date();
  const tomorrow = new Date(now.getFullYear(), now.getMonth(), now.getDate() + 1);
  let absolute = fmt.date.format(date);
  if (sameDay(date, now)) absolute = tr('today {time}', { time: fmt.time.format(date) });
  else if (sameDay(date, tomorrow)) absolute = tr('tomorrow {time}', { time: fmt.time.format(date) });
  return tr('{relative}, {date}', { relative: relative(date), date: absolute });
}

const parseIso = (value) => {
  if (!value) return null;
  const date = new Date(value);
  return Number.isNaN(date.getTime()) ? null : date;
};

// The plug-in writes local times as "7-Dec-26 03:58:16 AM" (activity
// entries and the copy's file times); shown here in the page's own style.
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
function parsePluginTime(value) {
  const m = /^\s*(\d{1,2})-([A-Z][a-z]{2})-(\d{2}) (\d{1,2}):(\d{2}):(\d{2}) ([AP]M)/.exec(value);
  if (!m || MONTHS.indexOf(m[2]) < 0) return null;
  const hour = (Number(m[4]) % 12) + (m[7] === 'PM' ? 12 : 0);
  return { date: new Date(2000 + Number(m[3]), MONTHS.indexOf(m[2]), Number(m[1]), hour, Number(m[5]), Number(m[6])),
    length: m[0].length };
}

// ---- talking to the host ----

const state = {
  records: [],
  status: null,         // recid -> status, or null while the plug-in gives none
  statusRetryAt: 0,
  previous: new Map(),  // recid -> signature of the last listing, to see movement
  cards: new Map(),     // recid -> its card, kept across polls
  startedAt: 0,
  timer: 0,
  failures: 0,          // failed polls in a row, for the back-off
  polling: false,       // a poll is under way
  pollAgain: false,     // someone asked for a poll meanwhile
  paused: false,        // the tab was hidden when the next poll was due
  offline: false,
  storeLocation: '',
  activitySig: null,    // null: nothing shown yet, so an empty log shows its note
};

// The notice: a dismissed message stays away until a different one comes.
const notice = { shown: '', dismissed: '', fromPoll: false, timer: 0 };

const $ = (id) => document.getElementById(id);

class ApiError extends Error {}
class RefusedError extends ApiError {}
class OfflineError extends ApiError {}

// rawQuery is appended as it stands: the copy's paths arrive already
// percent-encoded, and decoding them would lose bytes that are not UTF-8.
async function call(operation, fields = {}, rawQuery = '', timeoutMs = 0) {
  const query = [new URLSearchParams(fields).toString(), rawQuery].filter(Boolean).join('&');
  let response;
  const abort = timeoutMs ? new AbortController() : null;
  const timer = abort ? setTimeout(() => abort.abort(), timeoutMs) : 0;
  try {
    response = await fetch(`/api/backup/${operation}${query ? '?' + query : ''}`, {
      headers: { 'X-Backup-Token': TOKEN },
      cache: 'no-store',
      signal: abort ? abort.signal : undefined,
    });
  } catch (e) {
    if (abort && abort.signal.aborted) throw new ApiError(tr('{what} failed.', { what: operation }));
    throw new OfflineError(tr('The host cannot be reached.'));
  } finally {
    clearTimeout(timer);
  }
  const body = await response.text();
  if (response.status === 403) throw new RefusedError('refused');
  if (!response.ok) throw new ApiError(body || tr('The host answered {status}.', { status: response.status }));
  const doc = new DOMParser().parseFromString(body, 'application/xml');
  if (doc.getElementsByTagName('parsererror').length) throw new ApiError(tr('The reply could not be read.'));
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
  throw new ApiError(text(root, 'text') || tr('{what} failed.', { what }));
}

// The notice is a toast that stays in view; info clears by itself and with
// the person's next action, errors stay until dismissed or replaced.
function notify(message, kind = 'error', fromPoll = false) {
  if (fromPoll && message === notice.dismissed) return;
  clearTimeout(notice.timer);
  notice.shown = message;
  notice.fromPoll = fromPoll;
  notice.kind = kind;
  $('notice-text').textContent = message;
  $('notice').className = 'notice' + (kind === 'info' ? ' info' : '');
  $('notice').setAttribute('role', kind === 'info' ? 'status' : 'alert');
  $('notice').hidden = false;
  if (kind === 'info') notice.timer = setTimeout(() => { $('notice').hidden = true; }, INFO_NOTICE_MS);
}

function dismissNotice() {
  notice.dismissed = notice.shown;
  $('notice').hidden = true;
}

function clearInfo() {
  if (notice.kind === 'info') $('notice').hidden = true;
}

// One polite voice for start, end and failure of a pass.
function announce(message) {
  const live = $('live');
  live.textContent = '';
  // A new node each time, so the same sentence twice is read twice.
  setTimeout(() => { live.textContent = message; }, 50);
}

function failureText(e, what) {
  return e instanceof ApiError ? e.message : tr('{what} failed: {reason}', { what, reason: e.message });
}

// Runs an operation; its failure goes next to the form given, else to the notice.
async function run(what, operation, fields, errorBox = null) {
  clearInfo();
  if (errorBox) showFormError(errorBox, '');
  try {
    return checkResult(await call(operation, fields), what);
  } catch (e) {
    if (e instanceof RefusedError) return showRefused(), null;
    if (errorBox) showFormError(errorBox, failureText(e, what));
    else notify(failureText(e, what));
    return null;
  }
}

// Errors of a form sit next to it; focus goes to the field at fault, or to
// the message so a screen reader reads it.
function showFormError(box, message, field = null) {
  box.textContent = message;
  box.hidden = !message;
  const form = box.closest('form');
  form.querySelectorAll('[aria-invalid]').forEach((el) => el.removeAttribute('aria-invalid'));
  if (!message) return;
  if (field) {
    field.setAttribute('aria-invalid', 'true');
    if (box.id) field.setAttribute('aria-describedby', box.id);
    field.focus();
  } else {
    box.focus();
  }
}

// A refused token: one clear screen instead of an empty list.
function showRefused() {
  clearTimeout(state.timer);
  state.refused = true;
  $('refused').hidden = false;
  document.querySelector('main').hidden = true;
  $('backup-all').hidden = true;
  $('summary').hidden = true;
  $('notice').hidden = true;
  $('refused-title').focus();
}

// While the host cannot be reached nothing on the page can work: every
// control is disabled, and given back as it was when the host answers.
function setOffline(offline) {
  if (state.offline === offline) return;
  state.offline = offline;
  document.body.classList.toggle('offline', offline);
  const controls = document.querySelectorAll('main button, main input, main select, #backup-all');
  for (const control of controls) {
    if (offline && !control.disabled) {
      control.disabled = true;
      control.dataset.offline = '1';
    } else if (!offline && control.dataset.offline) {
      control.disabled = false;
      delete control.dataset.offline;
    }
  }
  $('offline').hidden = !offline;
}

// ---- schedule controls, shared by the add form and each record ----

let controlIds = 0;

function scheduleControls(fieldset, frequency = 1, hour = 2, day = 0) {
  const mode = document.createElement('select');
  mode.name = 'frequency';
  mode.setAttribute('aria-label', tr('How often'));
  for (const [value, label] of [['1', 'Daily'], ['2', 'Weekly'], ['0', 'Manually only']]) {
    mode.add(new Option(tr(label), value));
  }
  mode.value = frequency === 1 || frequency === 2 ? String(frequency) : '0';

  // The visible word stays outside the select's name: a label around the
  // select would read every option as part of it.
  const labelled = (word, name, select) => {
    const box = document.createElement('span');
    box.className = 'schedule-part';
    const id = `schedule-control-${++controlIds}`;
    select.id = id;
    select.setAttribute('aria-label', tr(name));
    const label = document.createElement('label');
    label.htmlFor = id;
    label.textContent = tr(word);
    box.append(label, ' ', select);
    return box;
  };
  const daySelect = document.createElement('select');
  daySelect.name = 'dayoffset';
  fmt.days.forEach((name, i) => daySelect.add(new Option(name, String(i))));
  daySelect.value = String(day >= 0 && day <= 6 ? day : 0);
  const dayBox = labelled('on', 'Day of the week', daySelect);

  const hourSelect = document.createElement('select');
  hourSelect.name = 'timeoffset';
  for (let h = 0; h < 24; h++) hourSelect.add(new Option(fmt.hour(h), String(h)));
  hourSelect.value = String(hour >= 0 && hour <= 23 ? hour : 2);
  const hourBox = labelled('at', 'Hour', hourSelect);

  const modeBox = document.createElement('span');
  modeBox.className = 'schedule-part';
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
  const at = hour >= 0 && hour <= 23 ? fmt.hour(hour) : '';
  if (frequency === 1) return tr('Daily at {hour}', { hour: at });
  if (frequency === 2) return tr('Weekly on {day} at {hour}', { day: fmt.days[day] || '', hour: at });
  return tr('Manually only');
}

// ---- the listing and the status ----

function readRecords(doc) {
  if (doc.documentElement.nodeName !== 'getallbackuprecs') checkResult(doc, tr('Reading the backups'));
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

function readRun(node) {
  const t = (name) => text(node, name);
  const n = (name) => Number(t(name)) || 0;
  return {
    id: t('id'), kind: t('kind'), start: parseIso(t('start')), end: parseIso(t('end')),
    result: t('result'), reason: t('reason'), checked: n('fileschecked'), copied: n('filescopied'),
    bytes: n('bytescopied'), failed: n('filesfailed'),
  };
}

function readStatus(doc) {
  if (doc.documentElement.nodeName !== 'getbackupstatus') checkResult(doc, 'getbackupstatus');
  const status = new Map();
  for (const node of doc.documentElement.children) {
    if (node.nodeName !== 'record') continue;
    const t = (name) => text(node, name);
    const n = (name) => Number(t(name)) || 0;
    status.set(t('recid'), {
      running: t('running') === '1', runKind: t('runkind'), queued: t('queued') === '1',
      result: t('lastresult'), reason: t('lastreason'),
      start: parseIso(t('laststart')), end: parseIso(t('lastend')), duration: n('lastduration'),
      filesCopied: n('lastfilescopied'), bytesCopied: n('lastbytescopied'),
      success: parseIso(t('lastsuccess')),
      filesDone: n('filesdone'), filesToGo: n('filestogo'), bytesDone: n('bytesdone'), bytesToGo: n('bytestogo'),
      rate: n('rate'), timeLeft: t('timeleft') === '' ? null : n('timeleft'),
      nextRun: parseIso(t('nextrun')), overdue: t('overdue') === '1',
      // Only records to another device have it.
      reachable: t('reachable') === '' ? null : t('reachable') === '1',
    });
  }
  const runs = Array.from(doc.getElementsByTagName('run')).map(readRun);
  return { status, runs };
}

// The status is extra: without it the page works from the listing alone.
async function fetchStatus() {
  if (state.status === null && Date.now() < state.statusRetryAt) return null;
  try {
    return readStatus(await call('getbackupstatus', {}, '', STATUS_TIMEOUT_MS)).status;
  } catch (e) {
    if (e instanceof RefusedError || e instanceof OfflineError) throw e;
    state.statusRetryAt = Date.now() + STATUS_RETRY_MS;
    return null;
  }
}

// A new card; its contents are filled by updateCard.
function createCard(recid) {
  const item = $('record-template').content.firstElementChild.cloneNode(true);
  item.dataset.recid = recid;
  const title = item.querySelector('.record-title');
  title.id = `record-title-${recid}`;
  item.setAttribute('aria-labelledby', title.id);
  return item;
}

// Writes a value only when it changed, so that polls leave the page alone.
function setText(node, value) {
  if (node.textContent !== value) node.textContent = value;
}

function setAttr(node, name, value) {
  if (node.getAttribute(name) !== value) node.setAttribute(name, value);
}

// A path that may break after each "/" and nowhere inside a name.
function setPath(node, path) {
  if (node.dataset.path === path) return;
  node.dataset.path = path;
  const parts = path.split(/(?<=\/)/);
  const nodes = [];
  parts.forEach((part, i) => {
    nodes.push(part);
    if (i < parts.length - 1) nodes.push(document.createElement('wbr'));
  });
  node.replaceChildren(...nodes);
}

const busyStatus = (rs) => rs && (rs.running || rs.queued);

// "345 files, 3.5 GB in 41 s"
function runSummary(files, bytes, seconds) {
  return tr('{files}, {bytes} in {duration}', {
    files: count(files, '1 file', '{n} files'), bytes: formatBytes(bytes), duration: formatDuration(seconds),
  });
}

// The last result, its reason and a class for its colour.
function lastResult(rs) {
  const at = when(rs.end || rs.start);
  switch (rs.result) {
    case 'completed':
      return { kind: 'ok', head: tr('Completed {when}', { when: at }),
        detail: rs.filesCopied ? runSummary(rs.filesCopied, rs.bytesCopied, rs.duration) : tr('nothing had changed') };
    case 'completed with errors':
      return { kind: 'warn', head: tr('Completed with errors {when}:', { when: at }), detail: rs.reason };
    case 'failed':
      return { kind: 'failed', head: tr('Failed {when}:', { when: at }), detail: rs.reason };
    case 'stopped':
      return { kind: 'muted', head: tr('Stopped by you {when}', { when: at }), detail: '' };
    default:
      return { kind: 'muted', head: tr('Not backed up yet'), detail: '' };
  }
}

function updateCard(item, rec, rs) {
  const q = (selector) => item.querySelector(selector);
  setText(q('.kind'), rec.isFile ? tr('File') : tr('Folder'));
  setPath(q('.path'), rec.path);
  item.classList.toggle('disabled', !rec.enabled);
  setText(q('.enabled-badge'), rec.enabled ? tr('Enabled') : tr('Disabled'));
  q('.enabled-badge').classList.toggle('on', rec.enabled);
  q('.enabled-badge').classList.toggle('off', !rec.enabled);
  q('.overdue-badge').hidden = !(rs && rs.overdue);
  setText(q('.target-label'), tr('to'));
  if (rec.local) setPath(q('.target-path'), rec.remotePath);
  else setText(q('.target-path'), `${rec.peerName || rec.peer} (${rec.group})`);
  updateDeviceState(item, rec, rs);
  setText(q('.schedule-text'), describeSchedule(rec.frequency, rec.hour, rec.day));
  setText(q('.size'), rec.size);

  const busy = rs ? busyStatus(rs) : isBusy(rec);
  const result = q('.last-result');
  if (rs) {
    const r = lastResult(rs);
    result.className = `last-result ${r.kind}`;
    setText(q('.result-head'), r.head);
    setText(q('.result-detail'), r.detail);
    setText(q('.last-success'), rs.success ? when(rs.success) : tr('Not yet'));
    let next = tr('Manual');
    if (!rec.enabled) next = tr('disabled');
    else if (rs.nextRun) next = when(rs.nextRun);
    setText(q('.next-run'), next);
  } else {
    // Without the status only the listing's words are there.
    const ok = rec.lastOk || busy;
    result.className = `last-result ${ok ? 'ok' : 'failed'}`;
    setText(q('.result-head'), `${tr('Last attempt')}: ${rec.attempt}`);
    setText(q('.result-detail'), ok ? '' : tr('(last attempt failed)'));
    setText(q('.last-success'), rec.success);
    setText(q('.next-run'), '');
  }
  // The next run and the history come with the status only.
  item.classList.toggle('no-status', !rs);

  updateProgress(item, rec, rs, busy);

  q('[data-action=backup]').disabled = Boolean(busy) || state.offline;
  q('[data-action=stop]').disabled = (rs ? !busy : !busy && !rec.action) || state.offline;
  setText(q('[data-action=toggle]'), rec.enabled ? tr('Disable') : tr('Enable'));
  // A copy on another device is browsed and restored through that device.
  q('[data-action=browse]').hidden = false;
  // The same buttons repeat on every card: the path tells them apart.
  item.querySelectorAll('.actions button').forEach((button) => {
    setAttr(button, 'aria-label', `${button.textContent} ${rec.path}`);
  });
  setText(q('.browser-title'), tr('Backup of {path}', { path: rec.path }));
  Excludes.attachCard(item, rec);
  Versions.attachCard(item, rec);
  trackPass(item, rec, rs);
}

// A record to another device shows whether that device answers now; the
// badge is made on first use, as most records never need it.
function updateDeviceState(item, rec, rs) {
  let badge = item.querySelector('.device-state');
  const known = !rec.local && rs && rs.reachable !== null;
  if (!known) {
    if (badge) badge.hidden = true;
    return;
  }
  if (!badge) {
    badge = document.createElement('span');
    item.querySelector('.record-target').append(' ', badge);
  }
  badge.hidden = false;
  setAttr(badge, 'class', `badge device-state ${rs.reachable ? 'reachable' : 'unreachable'}`);
  setText(badge, rs.reachable ? tr('Reachable') : tr('Not reachable'));
}

function updateProgress(item, rec, rs, busy) {
  const q = (selector) => item.querySelector(selector);
  const box = q('.progress-box');
  box.hidden = !busy;
  if (!busy) return;
  const bar = q('.progress');
  let percent = rec.progress;
  let counts = [];
  let speed = '';
  let word = rec.action;
  if (rs) {
    const files = rs.filesDone + rs.filesToGo;
    const bytes = rs.bytesDone + rs.bytesToGo;
    if (bytes > 0) percent = Math.floor((rs.bytesDone * 100) / bytes);
    else if (files > 0) percent = Math.floor((rs.filesDone * 100) / files);
    if (rs.queued && !rs.running) word = tr('Waiting to start');
    if (files > 0) {
      counts = [tr('{done} of {total} files', { done: fmt.number.format(rs.filesDone), total: fmt.number.format(files) }),
        tr('{done} of {total}', { done: formatBytes(rs.bytesDone), total: formatBytes(bytes) })];
    } else if (rec.checked) {
      counts = [tr('{n} files checked', { n: fmt.number.format(rec.checked) })];
    }
    const parts = [];
    if (rs.rate > 0) parts.push(tr('{rate}/s', { rate: formatBytes(rs.rate) }));
    if (rs.timeLeft !== null && rs.running) parts.push(tr('about {time} left', { time: formatDuration(rs.timeLeft) }));
    speed = parts.join(' · ');
  } else {
    if (rec.checked) counts.push(tr('{n} files checked', { n: fmt.number.format(rec.checked) }));
    if (rec.active) counts.push(`${rec.toSend} · ${rec.remaining} / ${rec.total}`);
  }
  const moving = rs ? rs.running && (rs.filesDone + rs.filesToGo > 0) : rec.active;
  setText(q('.state'), word);
  setText(q('.percent'), moving ? `${percent}%` : '');
  bar.hidden = !moving;
  setAttr(bar, 'aria-valuenow', String(percent));
  setAttr(bar, 'aria-label', tr('Progress of {path}', { path: rec.path }));
  q('.progress-fill').style.width = `${percent}%`;
  setText(q('.current-file'), rs && !rs.running ? '' : rec.file);
  setText(q('.counts'), counts.join(' · '));
  setText(q('.speed'), speed);
}

// Start, end and failure of a pass are told once, through the live region;
// a restore's end is shown in its browser panel too.
function trackPass(item, rec, rs) {
  if (!rs) {
    if (item.restoring && !isBusy(rec) && Date.now() - item.restoring > 3000) {
      item.restoring = 0;
      restoreEnded(item, tr('Restore finished.'));
    }
    return;
  }
  const was = item.pass;
  // A pass may also start and end between two polls: a new end time tells.
  const end = rs.end ? rs.end.getTime() : 0;
  const newEnd = item.lastEnd !== undefined && end !== item.lastEnd;
  item.lastEnd = end;
  if (!rs.running && !was && newEnd && !item.restoring) {
    item.pass = { kind: 'backup' };
    trackPass(item, rec, rs);
    return;
  }
  // A short restore may start and end between two polls.
  if (item.restoring && !was && !busyStatus(rs) && Date.now() - item.restoring > 2000) {
    restoreResult(item, rec);
    return;
  }
  if (rs.running && (!was || was.kind !== rs.runKind)) {
    item.pass = { kind: rs.runKind };
    announce(tr(rs.runKind === 'restore' ? 'Restore of {path} started.' : 'Backup of {path} started.', { path: rec.path }));
  } else if (!rs.running && was) {
    item.pass = null;
    if (rs.queued) return;
    const history = item.querySelector('.history');
    if (history.open) loadHistory(item);
    // The status's last result is the last backup's; a restore's is in its run.
    if (was.kind === 'restore') {
      restoreResult(item, rec);
      return;
    }
    let message;
    if (rs.result === 'failed') message = tr('Backup of {path} failed: {reason}', { path: rec.path, reason: rs.reason });
    else if (rs.result === 'stopped') message = tr('Backup of {path} stopped.', { path: rec.path });
    else {
      const summary = runSummary(rs.filesCopied, rs.bytesCopied, rs.duration);
      message = tr('Backup of {path} finished: {result}',
        { path: rec.path, result: rs.result === 'completed' ? summary : `${summary}. ${rs.reason}` });
    }
    announce(message);
  }
}

// The restore's own run tells how it ended: announced, and shown in the
// browser panel when that is open.
async function restoreResult(item, rec) {
  let panel = tr('Restore finished.');
  let spoken = tr('Restore of {path} finished: {result}', { path: rec.path, result: '' });
  try {
    const { runs } = readStatus(await call('getbackupstatus', { recid: rec.id, history: '1' }, '', STATUS_TIMEOUT_MS));
    const run = runs.find((r) => r.kind === 'restore');
    const files = run ? count(run.copied, '1 file', '{n} files') : '';
    if (run && run.result === 'completed') {
      panel = tr('Restore completed: {files}.', { files });
      spoken = tr('Restore of {path} finished: {result}', { path: rec.path, result: files });
    } else if (run && run.result === 'completed with errors') {
      panel = tr('Restore completed with errors: {reason}', { reason: run.reason });
      spoken = tr('Restore of {path} finished: {result}', { path: rec.path, result: `${files}. ${run.reason}` });
    } else if (run && run.result === 'failed') {
      panel = tr('Restore failed: {reason}', { reason: run.reason });
      spoken = tr('Restore of {path} failed: {reason}', { path: rec.path, reason: run.reason });
    } else if (run && run.result === 'stopped') {
      panel = tr('Restore stopped.');
      spoken = tr('Restore of {path} stopped.', { path: rec.path });
    }
  } catch { /* the plain words do */ }
  announce(spoken);
  if (item.restoring) {
    item.restoring = 0;
    restoreEnded(item, panel);
  }
}

// The panel shows the result and the copy's states again, with nothing ticked.
function restoreEnded(item, message) {
  if (!item.browse) return;
  Versions.restoreEnded(item, message);
  openFolder(item, item.browse.stack, false).then(() => {
    setText(item.querySelector('.browser-status'), message);
  });
}

function signature(rec) {
  return [rec.active, rec.action, rec.checked, rec.toSend, rec.file].join('|');
}

// Without the status a record counts as busy while its worker reports it
// active or its progress values still move between two listings.
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
    updateCard(item, rec, state.status ? state.status.get(rec.id) : null);
    if (list.children[i] !== item) list.insertBefore(item, list.children[i] || null);
  });
  for (const [recid, item] of state.cards) {
    if (seen.has(recid)) continue;
    item.remove();
    state.cards.delete(recid);
  }
}

// "All backups OK", or what needs a look: failing, overdue, running.
function updateSummary(records) {
  const summary = $('summary');
  let failing = 0;
  let overdue = 0;
  let running = 0;
  for (const rec of records) {
    const rs = state.status && state.status.get(rec.id);
    if (rs) {
      if (rs.running) running++;
      else if (rs.result === 'failed' || rs.result === 'completed with errors') failing++;
      if (rs.overdue) overdue++;
    } else if (isBusy(rec)) {
      running++;
    } else if (!rec.lastOk && rec.attempt && !/N\/A/.test(rec.attempt)) {
      failing++;
    }
  }
  const parts = [];
  if (failing) parts.push(count(failing, '1 failing', '{n} failing'));
  if (overdue) parts.push(count(overdue, '1 overdue', '{n} overdue'));
  let head = parts.join(' · ');
  if (!records.length) head = tr('No backups yet');
  else if (!head) head = tr('All backups OK');
  if (running) head += ` · ${count(running, '1 running', '{n} running')}`;
  setText($('summary-text'), head);
  summary.className = `summary ${failing ? 'failed' : overdue ? 'warn' : 'ok'}`;
  summary.hidden = false;
}

async function refresh() {
  if (state.refused) return;
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
    const [listing, status] = await Promise.all([call('getallbackuprecs'), fetchStatus()]);
    const records = readRecords(listing);
    setOffline(false);
    state.status = status;
    busy = records.some((rec) => (status && status.get(rec.id) ? busyStatus(status.get(rec.id)) : isBusy(rec)));
    placeCards(records);
    updateSummary(records);
    state.previous = new Map(records.map((rec) => [rec.id, signature(rec)]));
    $('records-empty').hidden = records.length > 0;
    state.records = records;
    await refreshActivity();
    // Recovered: a poll error on screen is stale, and the next one is new.
    if (notice.fromPoll && !$('notice').hidden) $('notice').hidden = true;
    notice.dismissed = '';
    state.failures = 0;
  } catch (e) {
    if (e instanceof RefusedError) {
      state.polling = false;
      showRefused();
      return;
    }
    failed = true;
    state.failures++;
    if (e instanceof OfflineError) setOffline(true);
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
  const doc = checkResult(await call('getactivity'), tr('Reading the activity'));
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
    tag.textContent = tr(label);
    let entry = text(node, 'text');
    const time = document.createElement('span');
    time.className = 'when';
    const parsed = parsePluginTime(entry);
    if (parsed) {
      time.textContent = fmt.date.format(parsed.date);
      entry = entry.slice(parsed.length).replace(/^\s*:\s*/, '');
    }
    const body = document.createElement('span');
    body.className = 'entry-text';
    body.translate = false;  // the plug-in's own words, already in its language
    body.textContent = entry;
    li.append(tag, ' ', time, ' ', body);
    return li;
  });
  $('activity').replaceChildren(...entries);
  $('activity-empty').hidden = entries.length > 0;
}

async function loadStoreLocation() {
  try {
    const doc = await call('getdefaultstorelocation');
    checkResult(doc, tr('Reading the store location'));
    state.storeLocation = text(doc.documentElement, 'defaultstorelocation');
    $('store-path').value = state.storeLocation;
    if (!$('add-dest').value) $('add-dest').value = state.storeLocation;
  } catch (e) {
    if (e instanceof RefusedError) showRefused();
    else notify(e.message);
  }
}

// ---- the run history ----

async function loadHistory(item) {
  const list = item.querySelector('.runs');
  setText(item.querySelector('.runs-status'), tr('Loading…'));
  let runs = [];
  try {
    ({ runs } = readStatus(await call('getbackupstatus', { recid: item.dataset.recid, history: '1' }, '', STATUS_TIMEOUT_MS)));
  } catch (e) {
    setText(item.querySelector('.runs-status'), e instanceof ApiError ? e.message : '');
    return;
  }
  const rows = runs.map((run) => {
    const li = document.createElement('li');
    const r = lastResult({ result: run.result, reason: run.reason, start: run.start, end: run.end,
      filesCopied: run.copied, bytesCopied: run.bytes,
      duration: run.start && run.end ? (run.end - run.start) / 1000 : 0 });
    li.className = r.kind;
    const kind = document.createElement('span');
    kind.className = 'run-kind';
    kind.textContent = run.kind === 'restore' ? tr('Restore of files') : tr('Backup');
    li.append(kind, ' ', r.head, r.detail ? ` ${r.detail}` : '');
    return li;
  });
  list.replaceChildren(...rows);
  setText(item.querySelector('.runs-status'), rows.length ? '' : tr('No runs yet.'));
}

// ---- browsing a backup and restoring from it ----

const STATE_WORDS = { same: 'unchanged', changed: 'changed', missing: 'missing' };

// item.browse holds the open folder: a stack of { name, path } from the
// copy's root, path being the percent-encoded form the plug-in sent.
async function openFolder(item, stack, moveFocus = true) {
  const recid = item.dataset.recid;
  const panel = item.querySelector('.browser');
  const at = stack[stack.length - 1];
  // A browser opened anew must not show the folder of its last opening as if
  // it were this one's while the answer is on its way.
  if (!item.browse) {
    panel.querySelector('.crumbs ol').replaceChildren();
    panel.querySelector('tbody').replaceChildren();
  }
  setText(panel.querySelector('.browser-status'), tr('Loading…'));
  panel.hidden = false;
  let doc;
  try {
    doc = await call('getbackupfiles', { recid, ...Versions.asOfFields(item) }, `path=${at.path}`);
    if (doc.documentElement.nodeName !== 'getbackupfiles') checkResult(doc, tr('Reading the backup'));
  } catch (e) {
    setText(panel.querySelector('.browser-status'), '');
    notify(failureText(e, tr('Reading the backup')));
    if (!item.browse) {
      panel.hidden = true;
      if (moveFocus) item.querySelector('[data-action=browse]').focus();
    }
    return false;
  }
  if (!Versions.listed(item, doc)) {
    setText(panel.querySelector('.browser-status'), '');
    return false;
  }
  item.browse = { stack };
  // Rows and crumbs are made anew: focus in them would drop to <body>.
  const hadFocus = panel.querySelector('.crumbs, tbody').contains(document.activeElement)
    || panel.querySelector('tbody').contains(document.activeElement);
  renderCrumbs(panel, stack);
  const rows = Array.from(doc.getElementsByTagName('entry')).map((node) => entryRow(node));
  panel.querySelector('tbody').replaceChildren(...rows);
  panel.querySelector('.select-all').checked = false;
  setText(panel.querySelector('.browser-status'), rows.length ? '' : tr('This folder is empty.'));
  const more = text(doc.documentElement, 'more');
  panel.querySelector('.more').hidden = !more;
  setText(panel.querySelector('.more'), more ? tr('{n} more items are not shown.', { n: more }) : '');
  // The folder's own name in the breadcrumb takes the focus the clicked
  // button had, so the keyboard stays in the panel.
  if (moveFocus || hadFocus) panel.querySelector('.crumb[aria-current]').focus();
  return true;
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
    button.translate = false;
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
  const fileState = text(node, 'state');
  const row = document.createElement('tr');
  row.dataset.path = path;

  const pick = document.createElement('input');
  pick.type = 'checkbox';
  pick.className = 'pick';
  pick.setAttribute('aria-label', tr('Select {name}', { name }));
  const nameCell = document.createElement('td');
  const nameText = document.createElement('span');
  nameText.className = 'name-text';
  nameText.translate = false;
  nameText.title = name;
  if (folder) {
    const open = document.createElement('button');
    open.type = 'button';
    open.className = 'folder-link';
    open.dataset.action = 'open-folder';
    open.dataset.name = name;
    nameText.textContent = `${name}/`;
    open.append(nameText);
    open.setAttribute('aria-label', tr('Open folder {name}', { name }));
    nameCell.append(open);
  } else {
    nameText.textContent = name;
    nameCell.append(nameText);
  }
  // A folder's own state says nothing about what it holds: it gets a badge
  // only when it is gone from the source as a whole.
  let badge = '';
  if (!folder || fileState === 'missing') {
    badge = document.createElement('span');
    badge.className = `badge file-state state-${fileState}`;
    badge.textContent = STATE_WORDS[fileState] ? tr(STATE_WORDS[fileState]) : fileState;
  }
  const versions = Versions.entryButton(node, name);
  const modified = parsePluginTime(text(node, 'modified'));
  const cells = [pick, nameCell, folder ? '' : text(node, 'readablesize'),
    modified ? fmt.date.format(modified.date) : text(node, 'modified'), badge];
  cells.forEach((content, i) => {
    const cell = content instanceof HTMLTableCellElement ? content : document.createElement('td');
    if (cell !== content) cell.append(content);
    if (i === 4 && versions) cell.append(' ', versions);
    if (i === 1) cell.className = 'entry-name';
    if (i === 2 || i === 3) cell.className = 'nowrap';
    row.append(cell);
  });
  return row;
}

function closeBrowser(item) {
  Versions.close(item);
  item.querySelector('.browser').hidden = true;
  item.browse = null;
  item.querySelector('[data-action=browse]').focus();
}

function closeSchedule(item) {
  item.querySelector('.schedule-form').hidden = true;
  item.querySelector('[data-action=schedule]').focus();
}

function browseAction(item, button) {
  const action = button.dataset.action;
  const rec = state.records.find((r) => r.id === item.dataset.recid) || {};
  if (action === 'browse') {
    const rootName = rec.path ? rec.path.replace(/\/+$/, '').split('/').pop() || rec.path : 'Backup';
    Versions.browserOpened(item);
    openFolder(item, [{ name: rootName, path: '' }]);
  } else if (action === 'close-browser') {
    closeBrowser(item);
  } else if (action === 'crumb' && item.browse) {
    openFolder(item, item.browse.stack.slice(0, Number(button.dataset.index) + 1));
  } else if (action === 'open-folder' && item.browse) {
    const path = button.closest('tr').dataset.path;
    openFolder(item, [...item.browse.stack, { name: button.dataset.name, path }]);
  } else {
    return Versions.action(item, button);
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
  const errorBox = form.querySelector('.form-error');
  clearInfo();
  showFormError(errorBox, '');
  const paths = Array.from(item.querySelectorAll('.browser tbody .pick'))
    .filter((box) => box.checked)
    .map((box) => box.closest('tr').dataset.path);
  if (!paths.length) return showFormError(errorBox, tr('Select the files or folders to restore.'));
  const fields = { recid, overwrite: form.elements.overwrite.value, ...Versions.asOfFields(item) };
  if (form.elements.where.value === 'folder') {
    fields.target = form.elements.target.value.trim();
    if (!fields.target) return showFormError(errorBox, tr('Name the folder to restore into.'), form.elements.target);
  }
  if (fields.overwrite === 'always'
      && !confirm(tr('Files that already exist at the target will be replaced by the backed-up copies. Restore?'))) return;
  // The paths are already percent-encoded and go into the query as they are.
  const raw = paths.map((p) => `path=${p}`).join('&');
  try {
    checkResult(await call('restorefiles', fields, raw), tr('Starting the restore'));
  } catch (e) {
    if (e instanceof RefusedError) return showRefused();
    showFormError(errorBox, failureText(e, tr('Starting the restore')));
    return;
  }
  restoreStarted(item);
}

// A restore was queued: its end is watched for and shown in the panel.
function restoreStarted(item) {
  item.restoring = Date.now();
  setText(item.querySelector('.browser-status'), tr('Restoring…'));
  notify(tr('Restore started.'), 'info');
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
      if (await run(tr('Starting the backup'), 'synconerecord', { recid })) backupStarted();
      break;
    case 'stop':
      if (await run(tr('Stopping the backup'), 'stopbackup', { recid })) refresh();
      break;
    case 'toggle':
      if (await run(tr('Changing the backup'), rec.enabled ? 'disablerecord' : 'enablerecord', { recid })) refresh();
      break;
    case 'delete':
      if (!confirm(tr('Delete the backup of {path}? Copies already made stay where they are.', { path: rec.path }))) return;
      if (await run(tr('Deleting the backup'), 'deletebackuprecord', { recid })) {
        notify(tr('The backup of {path} was deleted.', { path: rec.path }), 'info');
        // The card goes: focus moves to the list's heading instead of <body>.
        $('records-title').focus();
        refresh();
      }
      break;
    case 'schedule': {
      const fieldset = form.querySelector('fieldset');
      fieldset.querySelectorAll('.schedule-part').forEach((part) => part.remove());
      form.readSchedule = scheduleControls(fieldset, rec.frequency, rec.hour, rec.day);
      showFormError(form.querySelector('.form-error'), '');
      form.hidden = false;
      fieldset.querySelector('select').focus();
      break;
    }
    case 'cancel-schedule':
      closeSchedule(item);
      break;
  }
}

async function onCardSubmit(event) {
  const card = event.target.closest('.record');
  if (card && Versions.submit(card, event.target)) {
    event.preventDefault();
    return;
  }
  if (event.target.classList.contains('restore-form')) {
    event.preventDefault();
    onRestoreSubmit(event.target);
    return;
  }
  const form = event.target.closest('.schedule-form');
  if (!form) return;
  event.preventDefault();
  const item = form.closest('.record');
  const recid = item.dataset.recid;
  if (await run(tr('Changing the schedule'), 'setmodevalue', { recid, ...form.readSchedule() }, form.querySelector('.form-error'))) {
    closeSchedule(item);
    announce(tr('Schedule saved.'));
    refresh();
  }
}

// Escape closes the dialog the focus is in and gives the focus back to the
// button that opened it; in the add form it clears the form's message.
function onKeyDown(event) {
  if (event.key !== 'Escape') return;
  const at = document.activeElement;
  const item = at && at.closest && at.closest('.record');
  if (item && at.closest('.schedule-form') && !item.querySelector('.schedule-form').hidden) {
    closeSchedule(item);
  } else if (item && at.closest('.versions-panel') && Versions.close(item)) {
    // back to the folder
  } else if (item && at.closest('.browser') && !item.querySelector('.browser').hidden) {
    closeBrowser(item);
  } else if (at && at.closest && at.closest('#add-form')) {
    showFormError($('add-error'), '');
  } else if (!$('notice').hidden) {
    dismissNotice();
  } else {
    return;
  }
  event.preventDefault();
}

function setupAddForm() {
  const form = $('add-form');
  const errorBox = $('add-error');
  const readSchedule = scheduleControls($('add-schedule'));
  const syncTarget = () => {
    const peer = form.elements.target.value === 'peer';
    $('add-peer-label').hidden = !peer;
    $('add-dest-label').hidden = peer;
    $('add-dest-note').hidden = peer;
  };
  form.addEventListener('change', (e) => { if (e.target.name === 'target') syncTarget(); });
  syncTarget();
  Excludes.setupAddForm(form);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    clearInfo();
    const fields = { localpath: $('add-source').value.trim(), ...readSchedule() };
    if (!fields.localpath) return showFormError(errorBox, tr('Choose the file or folder to back up.'), $('add-source'));
    if (form.elements.target.value === 'peer') {
      fields.remotepeer = $('add-peer').value.trim();
      if (!fields.remotepeer) return showFormError(errorBox, tr('Name the peer to back up to.'), $('add-peer'));
    } else {
      fields.remotepath = $('add-dest').value.trim();
      if (!fields.remotepath) return showFormError(errorBox, tr('Choose a destination folder.'), $('add-dest'));
    }
    const doc = await run(tr('Adding the backup'), 'addbackuprecord', fields, errorBox);
    if (doc) {
      await Excludes.afterAdd(fields.localpath);
      $('add-source').value = '';
      // The plug-in may add a note to its yes, such as a folder it will make.
      const note = text(doc.documentElement, 'text');
      notify(note ? `${tr('Backup added.')} ${note}` : tr('Backup added.'), 'info');
      refresh();
    }
  });
}

function setupStoreForm() {
  $('store-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const storepath = $('store-path').value.trim();
    if (await run(tr('Setting the store location'), 'setdefaultstorelocation', { storepath }, $('store-error'))) {
      notify(tr('Default store location saved.'), 'info');
      loadStoreLocation();
    }
  });
}

async function backupAll() {
  const todo = state.records.filter((rec) => rec.enabled && rec.local);
  if (!todo.length) {
    notify(tr('There is nothing to back up: no enabled backup to a folder on this device.'), 'info');
    return;
  }
  if (await run(tr('Starting all backups'), 'syncallrecords')) {
    notify(tr('Backups started.'), 'info');
    backupStarted();
  }
}

async function start() {
  await loadTexts();
  setupFormats();
  $('notice-close').addEventListener('click', dismissNotice);
  $('records').addEventListener('click', onRecordAction);
  $('records').addEventListener('submit', onCardSubmit);
  $('records').addEventListener('change', onBrowserChange);
  $('records').addEventListener('toggle', (event) => {
    if (event.target.classList.contains('history') && event.target.open) loadHistory(event.target.closest('.record'));
  }, true);
  document.addEventListener('keydown', onKeyDown);
  document.addEventListener('visibilitychange', () => {
    if (document.hidden || !state.paused) return;
    state.paused = false;
    refresh();
  });
  $('backup-all').addEventListener('click', backupAll);
  setupAddForm();
  setupStoreForm();
  if (!TOKEN) {
    showRefused();
    return;
  }
  loadStoreLocation();
  refresh();
  Devices.start();
}

start();
