'use strict';
// Devices on the page: this device's fingerprint, the paired devices with
// whether they can be reached, and pairing and forgetting one. Talks to the
// host's /api/host/devices (not the plug-in); uses app.js's TOKEN, tr and
// notify, and puts every value from the host in as text.

const Devices = (() => {
  // Texts the script shows; app.js asks the host for them with its own.
  const TEXTS = [
    'Reachable', 'Not reachable', 'Remove', 'Remove the device {peer}? Its backups stay where they are.',
    'Other devices connect on port {port}.', 'This device accepts no other devices.',
    'No device is paired yet.', 'Device paired.', 'Device removed.', 'Reading the devices',
    'Name the device (user@host).', 'Enter the fingerprint shown on the other device.',
    'Not a device (user@host)', 'Not a fingerprint (64 hex digits)', 'Not an address (host:port)',
    'This fingerprint belongs to another paired device', 'This device is not paired',
    'This device has no identity for pairing', 'No address',
  ];
  const REFRESH_MS = 30000;
  const $ = (id) => document.getElementById(id);

  function el(tag, props = {}, children = []) {
    const node = document.createElement(tag);
    Object.assign(node, props);
    children.forEach((c) => node.append(c));
    return node;
  }

  // The host's JSON, or an Error with its message in the page's language.
  async function request(method, fields = {}) {
    const query = new URLSearchParams(fields).toString();
    let response;
    try {
      response = await fetch(`/api/host/devices${query ? '?' + query : ''}`, {
        method, cache: 'no-store', headers: { 'X-Backup-Token': TOKEN },
      });
    } catch {
      throw new Error(tr('The host cannot be reached.'));
    }
    let answer = {};
    try {
      answer = await response.json();
    } catch {
      throw new Error(tr('The host answered {status}.', { status: response.status }));
    }
    if (!response.ok) throw new Error(tr(answer.error || 'The host answered {status}.', { status: response.status }));
    return answer;
  }

  function show(doc) {
    const own = $('device-fingerprint');
    own.textContent = doc.fingerprint || '—';
    $('device-peer').textContent = doc.peer || '';
    $('device-port').textContent = doc.port
      ? tr('Other devices connect on port {port}.', { port: doc.port })
      : tr('This device accepts no other devices.');
    const list = $('devices');
    list.replaceChildren();
    (doc.devices || []).forEach((d) => {
      const state = el('span', { className: `badge ${d.reachable ? 'reachable' : 'unreachable'}` },
        [d.reachable ? tr('Reachable') : tr('Not reachable')]);
      const name = el('strong', { translate: false }, [d.peer]);
      const address = el('span', { className: 'muted', translate: false }, [d.address || tr('No address')]);
      const fingerprint = el('code', { className: 'fingerprint', translate: false }, [d.fingerprint]);
      const remove = el('button', { type: 'button' }, [tr('Remove')]);
      remove.addEventListener('click', () => removeDevice(d.peer, remove));
      list.append(el('li', { className: 'device' }, [
        el('div', { className: 'record-head' }, [el('span', {}, [name, ' ', address]), state]),
        fingerprint, el('div', {}, [remove]),
      ]));
    });
    $('devices-empty').hidden = (doc.devices || []).length > 0;
  }

  async function load() {
    try {
      show(await request('GET'));
    } catch (e) {
      notify(tr('{what} failed: {reason}', { what: tr('Reading the devices'), reason: e.message }), 'error', true);
    }
  }

  function formError(message, field) {
    const error = $('device-error');
    error.textContent = message;
    error.hidden = !message;
    if (field) field.focus();
  }

  async function addDevice(event) {
    event.preventDefault();
    const form = event.target;
    const peer = form.elements.peer.value.trim();
    const fingerprint = form.elements.fingerprint.value.trim();
    if (!peer) return formError(tr('Name the device (user@host).'), form.elements.peer);
    if (!fingerprint) return formError(tr('Enter the fingerprint shown on the other device.'), form.elements.fingerprint);
    const fields = { action: 'add', peer, fingerprint };
    const address = form.elements.address.value.trim();
    if (address) fields.address = address;
    try {
      show(await request('POST', fields));
    } catch (e) {
      return formError(e.message, form.elements.peer);
    }
    formError('');
    form.reset();
    notify(tr('Device paired.'), 'info');
  }

  async function removeDevice(peer, button) {
    if (!window.confirm(tr('Remove the device {peer}? Its backups stay where they are.', { peer }))) return;
    button.disabled = true;
    try {
      show(await request('POST', { action: 'remove', peer }));
      notify(tr('Device removed.'), 'info');
    } catch (e) {
      button.disabled = false;
      notify(e.message);
    }
  }

  function start() {
    $('device-form').addEventListener('submit', addDevice);
    load();
    setInterval(() => { if (!document.hidden) load(); }, REFRESH_MS);
  }

  return { TEXTS, start };
})();
