'use strict';
// Earlier versions on the page: each local record's "Keep earlier versions"
// setting, the versions of one file of the copy with a restore of any one,
// and the copy shown (and restored) as it was at a chosen moment.
// Uses app.js's call, checkResult, text, tr, notify, showFormError and the
// browser panel's openFolder and restoreStarted; builds its nodes itself and
// puts every value from the server in as text. State kept on a card:
// item.asOf (the moment shown, a UTC stamp, or '') and item.versionsOf (the
// file whose versions are open).

const Versions = (() => {
  const T = {
    get keep() { return tr('Keep earlier versions'); },
    get staggered() {
      return tr('Staggered: every version of the last hour, one per hour for a day, one per day for 30 days, one per week after that');
    },
    get maxAge() { return tr('Up to this many days (0: for ever)'); },
    get last() { return tr('Only the newest ones'); },
    get howMany() { return tr('How many versions'); },
    get which() { return tr('Which versions to keep'); },
    get wholeNumber() { return tr('Give a whole number.'); },
    get saved() { return tr('Version settings saved.'); },
    get saving() { return tr('Saving the version settings'); },
    get save() { return tr('Save'); },
    get reading() { return tr('Reading the versions'); },
    get current() { return tr('Current copy'); },
    get version() { return tr('Version'); },
    get size() { return tr('Size'); },
    get modified() { return tr('Modified'); },
    get restore() { return tr('Restore'); },
    get restoreCurrent() { return tr('Restore the current copy'); },
    get back() { return tr('Back to the folder'); },
    get noVersions() { return tr('This file has no earlier versions.'); },
    get restoreTo() { return tr('Restore the chosen version'); },
    get keptNote() { return tr('A file that a restore replaces is kept as an earlier version.'); },
    get asOfLabel() { return tr('Show this backup as it was on'); },
    get show() { return tr('Show'); },
    get now() { return tr('Show it as it is now'); },
    get chooseMoment() { return tr('Choose a date and time.'); },
    get noAsOf() { return tr('The plug-in cannot show the backup as it was earlier.'); },
    get startingRestore() { return tr('Starting the restore'); },
    get namedFolder() { return tr('Name the folder to restore into.'); },
    get originalPlace() { return tr('to its original place'); },
    get thisFolder() { return tr('to this folder'); },
    get targetLabel() { return tr('Folder to restore into'); },
    get replace() { return tr('Replace files that exist there'); },
    summary: (how) => tr('Keep earlier versions: {how}', { how }),
    get off() { return tr('no'); },
    upTo: (days) => tr('staggered, up to {days}', { days: count(days, '1 day', '{n} days') }),
    get forEver() { return tr('staggered, for ever'); },
    // "the last 1 version" reads wrong in both languages.
    lastN: (n) => (n === 1 ? tr('the last version')
      : tr('the last {versions}', { versions: count(n, '1 version', '{n} versions') })),
    countOf: (n, name) => tr('{versions} of {name}', { versions: count(n, '1 version', '{n} versions'), name }),
    shortCount: (n) => count(n, '1 version', '{n} versions'),
    title: (name) => tr('Versions of {name}', { name }),
    restoreOne: (date) => tr('Restore the version of {date}', { date }),
    shownAsOf: (date) => tr('Shown as it was on {date}. A restore gives the files back as they were then.', { date }),
  };

  function el(tag, props = {}, children = []) {
    const node = document.createElement(tag);
    Object.assign(node, props);
    children.forEach((c) => node.append(c));
    return node;
  }

  let ids = 0;
  const nextId = (what) => `versions-${what}-${++ids}`;

  // ---- moments: stamps are UTC "YYYYMMDD-HHMMSS" (a "-K" after it tells
  // apart versions of the same second); the person sees local time ----

  const STAMP = /^(\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})(\d{2})(?:-\d+)?$/;
  const pad = (n, width = 2) => String(n).padStart(width, '0');

  function stampToDate(stamp) {
    const m = STAMP.exec(stamp);
    if (!m) return null;
    return new Date(Date.UTC(Number(m[1]), Number(m[2]) - 1, Number(m[3]), Number(m[4]), Number(m[5]), Number(m[6])));
  }

  function dateToStamp(date) {
    return `${pad(date.getUTCFullYear(), 4)}${pad(date.getUTCMonth() + 1)}${pad(date.getUTCDate())}-` +
      `${pad(date.getUTCHours())}${pad(date.getUTCMinutes())}${pad(date.getUTCSeconds())}`;
  }

  // The value of a datetime-local field is local time without a zone.
  function localInputToDate(value) {
    const m = /^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2})(?::(\d{2}))?/.exec(value);
    if (!m) return null;
    const date = new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3]), Number(m[4]), Number(m[5]), Number(m[6] || 0));
    return Number.isNaN(date.getTime()) ? null : date;
  }

  function dateToLocalInput(date) {
    return `${pad(date.getFullYear(), 4)}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}` +
      `T${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
  }

  // Versions can be seconds apart: their times show the seconds.
  let momentFormat = null;
  function formatMoment(date) {
    if (!momentFormat) momentFormat = new Intl.DateTimeFormat(i18n.lang, { dateStyle: 'medium', timeStyle: 'medium' });
    return momentFormat.format(date);
  }

  // ---- the record's setting ----

  function describe(settings) {
    if (!settings.on) return T.summary(T.off);
    if (settings.retention === 'last') return T.summary(T.lastN(settings.keepLast));
    return T.summary(settings.maxAgeDays > 0 ? T.upTo(settings.maxAgeDays) : T.forEver);
  }

  function settingsForm() {
    const form = el('form', { className: 'versions-form', noValidate: true, autocomplete: 'off' });
    const on = el('input', { type: 'checkbox', name: 'versions' });
    const staggered = el('input', { type: 'radio', name: 'retention', value: 'staggered' });
    const last = el('input', { type: 'radio', name: 'retention', value: 'last' });
    const maxAge = el('input', { type: 'number', name: 'maxagedays', min: '0', max: '36500', step: '1', inputMode: 'numeric' });
    const keepLast = el('input', { type: 'number', name: 'keeplast', min: '1', max: '1000', step: '1', inputMode: 'numeric' });
    const which = el('fieldset', {}, [
      el('legend', { textContent: T.which }),
      el('label', {}, [staggered, ' ', T.staggered]),
      el('label', { className: 'versions-number' }, [T.maxAge, maxAge]),
      el('label', {}, [last, ' ', T.last]),
      el('label', { className: 'versions-number' }, [T.howMany, keepLast]),
    ]);
    const errorBox = el('p', { className: 'form-error', tabIndex: -1, hidden: true });
    errorBox.setAttribute('role', 'alert');
    errorBox.id = nextId('error');
    form.append(el('label', { className: 'inline' }, [on, ' ', T.keep]), which, errorBox,
      el('button', { type: 'submit', className: 'primary', textContent: T.save }));
    // Only the fields that count can be changed.
    const sync = () => {
      which.disabled = !on.checked;
      maxAge.disabled = !on.checked || !staggered.checked;
      keepLast.disabled = !on.checked || !last.checked;
    };
    form.addEventListener('change', sync);
    const fill = (s) => {
      on.checked = s.on;
      staggered.checked = s.retention !== 'last';
      last.checked = s.retention === 'last';
      maxAge.value = String(s.maxAgeDays);
      keepLast.value = String(s.keepLast);
      sync();
    };
    // The fields to send, or null after a message next to the field at fault.
    const read = () => {
      const fields = { versions: on.checked ? 'on' : 'off' };
      if (!on.checked) return fields;
      fields.retention = last.checked ? 'last' : 'staggered';
      const field = last.checked ? keepLast : maxAge;
      if (!/^\s*\d+\s*$/.test(field.value)) {
        showFormError(errorBox, T.wholeNumber, field);
        return null;
      }
      fields[field.name] = field.value.trim();
      return fields;
    };
    return { form, errorBox, fill, read };
  }

  function readSettings(doc) {
    const root = checkResult(doc, T.keep).documentElement;
    if (root.nodeName !== 'getbackupsettings' || !root.getElementsByTagName('versions').length) return null;
    const number = (name, fallback) => {
      const n = parseInt(text(root, name), 10);
      return Number.isNaN(n) ? fallback : n;
    };
    return {
      on: text(root, 'versions') !== 'off',
      retention: text(root, 'retention') === 'last' ? 'last' : 'staggered',
      maxAgeDays: number('maxagedays', 365),
      keepLast: number('keeplast', 10),
    };
  }

  // A local record's card gets a folded section whose summary says what is
  // kept; it opens onto the form that changes it.
  function attachSettings(item, rec) {
    let section = item.querySelector('details.versions-section');
    if (section) {
      section.hidden = !rec.local || section.dataset.absent === '1';
      return;
    }
    if (!rec.local) return;
    const editor = settingsForm();
    const summary = el('summary', { textContent: T.keep });
    section = el('details', { className: 'versions-section' }, [summary, editor.form]);
    const show = (settings) => {
      if (!settings) {
        // A plug-in without versions: nothing to show.
        section.dataset.absent = '1';
        section.hidden = true;
        return;
      }
      summary.textContent = describe(settings);
      editor.fill(settings);
    };
    const load = async () => show(readSettings(await call('getbackupsettings', { recid: rec.id })));
    load().catch(() => { /* the summary keeps its plain words; opening tries again */ });
    section.addEventListener('toggle', () => {
      if (section.open) load().catch((e) => showFormError(editor.errorBox, e.message));
    });
    editor.form.addEventListener('submit', async (event) => {
      event.preventDefault();
      showFormError(editor.errorBox, '');
      const fields = editor.read();
      if (!fields) return;
      if (!await run(T.saving, 'setbackupsettings', { recid: rec.id, ...fields }, editor.errorBox)) return;
      try {
        await load();
      } catch { /* saved all the same */ }
      notify(T.saved, 'info');
      summary.focus();
    });
    const exclude = item.querySelector('details.exclude-section');
    (exclude || item.querySelector('.actions')).after(section);
  }

  // ---- the browser panel: the moment shown and a file's versions ----

  // Named apart from the folder's restore form that shares the panel.
  function restoreChoices() {
    const target = el('input', { name: 'version-target', className: 'version-target', disabled: true,
      placeholder: tr('/home/me/restored') });
    target.setAttribute('aria-label', T.targetLabel);
    const where = (value, label, checked) => {
      const radio = el('input', { type: 'radio', name: 'version-where', value, checked });
      radio.addEventListener('change', () => {
        target.disabled = value !== 'folder';
        if (!target.disabled) target.focus();
      });
      return el('label', { className: 'inline' }, [radio, ' ', label]);
    };
    const overwrite = el('select', { name: 'version-overwrite' });
    [['never', 'never'], ['changed', 'if changed'], ['always', 'always']]
      .forEach(([value, label]) => overwrite.add(new Option(tr(label), value)));
    // An earlier version is wanted over the file there; what it replaces is kept.
    overwrite.value = 'changed';
    return el('fieldset', {}, [
      el('legend', { textContent: T.restoreTo }),
      where('original', T.originalPlace, true), where('folder', T.thisFolder, false), target,
      el('label', {}, [T.replace, ' ', overwrite]),
      el('p', { className: 'hint muted', textContent: T.keptNote }),
    ]);
  }

  function setupBrowser(item) {
    const panel = item.querySelector('.browser');
    if (panel.querySelector('.versions-panel')) return;

    const asOfInput = el('input', { type: 'datetime-local', name: 'when', step: '1', id: nextId('as-of') });
    const asOfError = el('p', { className: 'form-error', tabIndex: -1, hidden: true, id: nextId('as-of-error') });
    asOfError.setAttribute('role', 'alert');
    const asOfForm = el('form', { className: 'as-of-form', noValidate: true, autocomplete: 'off' }, [
      el('label', { htmlFor: asOfInput.id, textContent: T.asOfLabel }), ' ', asOfInput, ' ',
      el('button', { type: 'submit', textContent: T.show }), ' ',
      el('button', { type: 'button', textContent: T.now, hidden: true, className: 'as-of-now' }),
      asOfError,
    ]);
    asOfForm.querySelector('.as-of-now').dataset.action = 'as-of-now';
    const note = el('p', { className: 'as-of-note', hidden: true });
    panel.querySelector('.browser-status').before(asOfForm, note);

    const titleId = nextId('title');
    const heading = el('h5', { className: 'versions-title', id: titleId, tabIndex: -1 });
    const close = el('button', { type: 'button', textContent: T.back });
    close.dataset.action = 'close-versions';
    const status = el('p', { className: 'versions-status muted' });
    status.setAttribute('role', 'status');
    const head = el('tr', {}, [T.version, T.size, T.modified].map((t) => el('th', { scope: 'col', textContent: t })));
    head.append(el('th', { scope: 'col' }, [el('span', { className: 'visually-hidden', textContent: T.restore })]));
    const table = el('table', { className: 'entries versions-list' }, [el('thead', {}, [head]), el('tbody')]);
    const errorBox = el('p', { className: 'form-error', tabIndex: -1, hidden: true });
    errorBox.setAttribute('role', 'alert');
    const form = el('form', { className: 'version-restore-form', noValidate: true, autocomplete: 'off' },
      [el('div', { className: 'entries-box' }, [table]), restoreChoices(), errorBox]);
    const section = el('section', { className: 'versions-panel', hidden: true }, [
      el('div', { className: 'browser-head' }, [heading, close]), status, form,
    ]);
    section.setAttribute('aria-labelledby', titleId);
    panel.append(section);
  }

  // The file rows of the browser get a button to their versions.
  function entryButton(node, name) {
    const k = parseInt(text(node, 'versions'), 10) || 0;
    if (k <= 0 || text(node, 'type') === 'folder') return null;
    const button = el('button', { type: 'button', className: 'versions-button', textContent: T.shortCount(k) });
    button.dataset.action = 'versions';
    button.dataset.name = name;
    button.setAttribute('aria-label', T.countOf(k, name));
    return button;
  }

  function versionRow(label, stamp, node) {
    const button = el('button', { type: 'button', textContent: T.restore });
    button.dataset.action = 'restore-version';
    button.dataset.version = stamp;
    button.setAttribute('aria-label', stamp ? T.restoreOne(label) : T.restoreCurrent);
    const modified = parsePluginTime(text(node, 'modified'));
    return el('tr', {}, [
      el('th', { scope: 'row', className: 'nowrap', textContent: label }),
      el('td', { className: 'nowrap', textContent: text(node, 'readablesize') }),
      el('td', { className: 'nowrap', textContent: modified ? fmt.date.format(modified.date) : text(node, 'modified') }),
      el('td', {}, [button]),
    ]);
  }

  async function loadVersions(item) {
    const section = item.querySelector('.versions-panel');
    const status = section.querySelector('.versions-status');
    const file = item.versionsOf;
    setText(status, tr('Loading…'));
    let doc;
    try {
      doc = await call('getfileversions', { recid: item.dataset.recid }, `path=${file.path}`);
      if (doc.documentElement.nodeName !== 'getfileversions') checkResult(doc, T.reading);
    } catch (e) {
      if (e instanceof RefusedError) return showRefused();
      setText(status, failureText(e, T.reading));
      section.querySelector('tbody').replaceChildren();
      return;
    }
    const rows = [];
    const root = doc.documentElement;
    const current = root.getElementsByTagName('current')[0];
    if (current) rows.push(versionRow(T.current, '', current));
    for (const node of root.getElementsByTagName('version')) {
      const stamp = text(node, 'stamp');
      const date = stampToDate(stamp);
      rows.push(versionRow(date ? formatMoment(date) : stamp, stamp, node));
    }
    // The rows are made anew: focus on one of their buttons would drop to <body>.
    const hadFocus = section.querySelector('tbody').contains(document.activeElement);
    section.querySelector('tbody').replaceChildren(...rows);
    setText(status, root.getElementsByTagName('version').length ? '' : T.noVersions);
    if (hadFocus) section.querySelector('.versions-title').focus();
  }

  async function openVersions(item, button) {
    const panel = item.querySelector('.browser');
    const section = panel.querySelector('.versions-panel');
    item.versionsOf = { path: button.closest('tr').dataset.path, name: button.dataset.name };
    setText(section.querySelector('.versions-title'), T.title(item.versionsOf.name));
    showFormError(section.querySelector('.version-restore-form .form-error'), '');
    section.querySelector('tbody').replaceChildren();
    panel.classList.add('versions-open');
    section.hidden = false;
    section.querySelector('.versions-title').focus();
    await loadVersions(item);
  }

  // Back to the folder, with the focus on the button that opened the list.
  function closeVersions(item) {
    const panel = item.querySelector('.browser');
    const section = panel.querySelector('.versions-panel');
    if (!section || section.hidden) return false;
    section.hidden = true;
    panel.classList.remove('versions-open');
    const file = item.versionsOf;
    item.versionsOf = null;
    const row = file && Array.from(panel.querySelectorAll('.entries:not(.versions-list) tbody tr'))
      .find((r) => r.dataset.path === file.path);
    const opener = row && row.querySelector('.versions-button');
    (opener || panel.querySelector('.browser-title')).focus();
    return true;
  }

  async function restoreVersion(item, button) {
    const form = item.querySelector('.version-restore-form');
    const errorBox = form.querySelector('.form-error');
    clearInfo();
    showFormError(errorBox, '');
    const field = (name) => form.elements[`version-${name}`];
    const fields = { recid: item.dataset.recid, overwrite: field('overwrite').value };
    if (button.dataset.version) fields.version = button.dataset.version;
    if (field('where').value === 'folder') {
      fields.target = field('target').value.trim();
      if (!fields.target) return showFormError(errorBox, T.namedFolder, field('target'));
    }
    try {
      checkResult(await call('restorefiles', fields, `path=${item.versionsOf.path}`), T.startingRestore);
    } catch (e) {
      if (e instanceof RefusedError) return showRefused();
      return showFormError(errorBox, failureText(e, T.startingRestore));
    }
    restoreStarted(item);
    setText(item.querySelector('.versions-status'), tr('Restoring…'));
  }

  // ---- the moment shown ----

  async function showAsOf(item, stamp) {
    const panel = item.querySelector('.browser');
    const error = panel.querySelector('.as-of-form .form-error');
    const before = item.asOf || '';
    item.asOf = stamp;
    const shown = await openFolder(item, item.browse ? item.browse.stack : [{ name: '', path: '' }], false);
    if (!shown) {
      item.asOf = before;
      return;
    }
    const date = stamp ? stampToDate(stamp) : null;
    const note = panel.querySelector('.as-of-note');
    note.hidden = !date;
    setText(note, date ? T.shownAsOf(formatMoment(date)) : '');
    panel.querySelector('.as-of-now').hidden = !date;
    if (!date) panel.querySelector('.as-of-form input').focus();
    showFormError(error, '');
  }

  // Checked after each listing: a plug-in that ignores the moment must not
  // let the page claim an earlier state (and restore the current one).
  function listed(item, doc) {
    if (!item.asOf || doc.documentElement.getElementsByTagName('at').length) return true;
    showFormError(item.querySelector('.as-of-form .form-error'), T.noAsOf);
    return false;
  }

  function onAsOfSubmit(item, form) {
    const input = form.elements.when;
    const date = localInputToDate(input.value);
    if (!date) return showFormError(form.querySelector('.form-error'), T.chooseMoment, input);
    showAsOf(item, dateToStamp(date));
  }

  // ---- hooks for app.js ----

  function attachCard(item, rec) {
    attachSettings(item, rec);
    setupBrowser(item);
  }

  // The browser opens on the copy as it is now, the moment field on now.
  function browserOpened(item) {
    item.asOf = '';
    const panel = item.querySelector('.browser');
    panel.querySelector('.as-of-note').hidden = true;
    panel.querySelector('.as-of-now').hidden = true;
    panel.querySelector('.as-of-form input').value = dateToLocalInput(new Date());
    closeVersions(item);
  }

  // Fields the listing and the restore of selected items carry.
  const asOfFields = (item) => (item.asOf ? { at: item.asOf } : {});

  function action(item, button) {
    switch (button.dataset.action) {
      case 'versions': openVersions(item, button); return true;
      case 'close-versions': closeVersions(item); return true;
      case 'restore-version': restoreVersion(item, button); return true;
      case 'as-of-now': showAsOf(item, ''); return true;
      default: return false;
    }
  }

  function submit(item, form) {
    if (form.classList.contains('as-of-form')) onAsOfSubmit(item, form);
    else if (!form.classList.contains('version-restore-form')) return false;
    return true;
  }

  // A restore's end: the open list shows the version it may have added.
  function restoreEnded(item, message) {
    if (!item.versionsOf) return;
    loadVersions(item).then(() => setText(item.querySelector('.versions-status'), message));
  }

  return {
    attachCard, entryButton, browserOpened, asOfFields, listed, action, submit, restoreEnded,
    close: closeVersions,
  };
})();
