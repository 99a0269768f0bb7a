'use strict';
// Exclusions on the page: a pattern field with a live preview of what it
// leaves out, on the add form and on each local record. Uses app.js's call,
// checkResult, text and notify; builds its nodes itself and puts every value
// from the server in as text.

const Excludes = (() => {
  // Texts in the page's language through app.js's tr; app.js asks the host
  // for them (SCRIPT_TEXTS).
  const T = {
    get exclude() { return tr('Exclude'); },
    get patterns() { return tr('Patterns, one per line (e.g. *.tmp, /build, cache/, **/logs/*.log, !keep.log)'); },
    get cachedir() { return tr('Skip folders marked with CACHEDIR.TAG'); },
    get ignorecase() { return tr('Ignore case'); },
    get save() { return tr('Save'); },
    get saved() { return tr('Exclusions saved.'); },
    get none() { return tr('Nothing is left out.'); },
    get eg() { return tr('e.g.'); },
    get partial() { return tr('(only part of the source was looked at)'); },
    get previewLater() { return tr('The preview shows once the backup is added.'); },
    get failed() { return tr('The exclusions could not be saved.'); },
    leftOut: (files, size) => tr('{files} files, {size} left out', { files, size }),
  };
  const PREVIEW_DELAY_MS = 400;
  const SHOWN_EXAMPLES = 5;

  function el(tag, props = {}, children = []) {
    const node = document.createElement(tag);
    Object.assign(node, props);
    children.forEach((c) => node.append(c));
    return node;
  }

  // The editor: a text area, the two switches and a preview line.
  function editor() {
    const area = el('textarea', { rows: 3, className: 'exclude-patterns', spellcheck: false });
    area.setAttribute('aria-label', T.patterns);
    area.placeholder = T.patterns;
    const cachedir = el('input', { type: 'checkbox', checked: true, className: 'exclude-cachedir' });
    const ignorecase = el('input', { type: 'checkbox', className: 'exclude-ignorecase' });
    const preview = el('p', { className: 'exclude-preview muted' });
    preview.setAttribute('role', 'status');
    const box = el('div', { className: 'excludes' }, [
      el('label', {}, [T.exclude, area]),
      el('label', { className: 'inline' }, [cachedir, ' ', T.cachedir]),
      el('label', { className: 'inline' }, [ignorecase, ' ', T.ignorecase]),
      preview,
    ]);
    const fields = (recid) => {
      const lines = area.value.split('\n').map((l) => l.replace(/\r$/, '')).filter((l) => l.trim() !== '');
      const pairs = recid ? [['recid', recid]] : [];
      // One empty field clears the list.
      (lines.length ? lines : ['']).forEach((l) => pairs.push(['exclude', l]));
      pairs.push(['cachedirtag', cachedir.checked ? '1' : '0']);
      pairs.push(['ignorecase', ignorecase.checked ? '1' : '0']);
      return pairs;
    };
    const isDefault = () => area.value.trim() === '' && cachedir.checked && !ignorecase.checked;
    return { box, area, cachedir, ignorecase, preview, fields, isDefault };
  }

  function showPreview(ed, doc) {
    const root = doc.documentElement;
    if (root.nodeName !== 'previewexcludes') {
      ed.preview.textContent = text(root, 'text');
      ed.preview.classList.add('failed');
      return;
    }
    ed.preview.classList.remove('failed');
    const files = parseInt(text(root, 'files'), 10) || 0;
    if (!files) {
      ed.preview.textContent = T.none;
      return;
    }
    const examples = Array.from(root.getElementsByTagName('example'))
      .slice(0, SHOWN_EXAMPLES).map((n) => n.textContent);
    ed.preview.textContent = `${T.leftOut(files, text(root, 'readablesize'))}, ${T.eg} ${examples.join(', ')}` +
      (text(root, 'complete') === '1' ? '' : ` ${T.partial}`);
  }

  function livePreview(ed, recid) {
    let timer = 0;
    let asked = 0;
    const update = () => {
      clearTimeout(timer);
      timer = setTimeout(async () => {
        const mine = ++asked;
        try {
          const doc = await call('previewexcludes', ed.fields(recid));
          if (mine === asked) showPreview(ed, doc);
        } catch (e) {
          if (mine === asked) ed.preview.textContent = e.message;
        }
      }, PREVIEW_DELAY_MS);
    };
    ed.box.addEventListener('input', update);
    ed.box.addEventListener('change', update);
    return update;
  }

  async function load(ed, recid) {
    const doc = checkResult(await call('getbackupsettings', { recid }), T.exclude);
    const root = doc.documentElement;
    ed.area.value = Array.from(root.getElementsByTagName('exclude')).map((n) => n.textContent).join('\n');
    ed.cachedir.checked = text(root, 'cachedirtag') !== '0';
    ed.ignorecase.checked = text(root, 'ignorecase') === '1';
  }

  async function save(ed, recid) {
    try {
      checkResult(await call('setbackupsettings', ed.fields(recid)), T.exclude);
      return true;
    } catch (e) {
      notify(e.message || T.failed);
      return false;
    }
  }

  // A local record's card gets a folded "Exclude" section, loaded when opened.
  function attachCard(item, rec) {
    let section = item.querySelector('details.exclude-section');
    if (!rec.local) {
      if (section) section.hidden = true;
      return;
    }
    if (section) {
      section.hidden = false;
      return;
    }
    const ed = editor();
    const saveButton = el('button', { type: 'button', className: 'primary', textContent: T.save });
    section = el('details', { className: 'exclude-section' }, [
      el('summary', { textContent: T.exclude }), ed.box, saveButton,
    ]);
    const update = livePreview(ed, rec.id);
    let loaded = false;
    section.addEventListener('toggle', async () => {
      if (!section.open || loaded) return;
      try {
        await load(ed, rec.id);
        loaded = true;
        update();
      } catch (e) {
        notify(e.message);
      }
    });
    saveButton.addEventListener('click', async () => {
      if (await save(ed, rec.id)) notify(T.saved, 'info');
    });
    item.querySelector('.actions').after(section);
  }

  // The add form's field; its settings are stored once the record exists.
  let addEditor = null;
  function setupAddForm(form) {
    addEditor = editor();
    addEditor.preview.textContent = T.previewLater;
    form.querySelector('button[type=submit]').before(addEditor.box);
  }

  async function afterAdd(localpath) {
    if (!addEditor || addEditor.isDefault()) return;
    // The add reply carries no id: the newest record of that source is it.
    const doc = await call('getallbackuprecs');
    const ids = readRecords(doc).filter((r) => r.path === localpath).map((r) => parseInt(r.id, 10));
    if (!ids.length) return;
    if (await save(addEditor, String(Math.max(...ids)))) {
      addEditor.area.value = '';
      addEditor.ignorecase.checked = false;
      addEditor.cachedir.checked = true;
    }
  }

  return { attachCard, setupAddForm, afterAdd };
})();
