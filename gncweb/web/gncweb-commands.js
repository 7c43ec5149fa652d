// The command panel beside Open MCT: device, command and argument inputs
// built from gncweb's /api/commands, with each argument's range and unit.
// gncweb checks every argument and sends nothing when one is wrong; the
// result line shows its answer as it is (sent with the payload, or the
// error). A token given in the page's URL (?token=...) goes with each
// command.
(function () {
  'use strict';

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    Object.assign(e, props || {});
    for (const c of children) e.append(c);
    return e;
  }

  function range(arg) {
    const lo = arg.min === null || arg.min === undefined ? '' : arg.min;
    const hi = arg.max === null || arg.max === undefined ? '' : arg.max;
    if (lo === '' && hi === '') return '';
    return lo + ' … ' + hi;
  }

  function spaced(hex) {
    return (hex || '').replace(/(..)(?=.)/g, '$1 ').toUpperCase();
  }

  function mount(panel, { commands, status }) {
    const token = new URLSearchParams(window.location.search).get('token');
    const page = (window.gncweb = window.gncweb || {});
    page.commandLog = [];

    const review = status.mode === 'review';
    const deviceSelect = el('select', { id: 'gnc-cmd-device' });
    const commandSelect = el('select', { id: 'gnc-cmd-command' });
    const help = el('div', { className: 'gnc-help', id: 'gnc-cmd-help' });
    const argsBox = el('div', { className: 'gnc-args', id: 'gnc-cmd-args' });
    const send = el('button', { id: 'gnc-cmd-send', className: 'c-button c-button--major', textContent: 'Send' });
    const result = el('div', { id: 'gnc-cmd-result', className: 'gnc-result', textContent: '' });
    const log = el('ol', { className: 'gnc-log', id: 'gnc-cmd-log' });

    panel.append(
      el('h2', { textContent: 'Commands' }),
      el('label', { textContent: 'Device' }, deviceSelect),
      el('label', { textContent: 'Command' }, commandSelect),
      help,
      argsBox,
      send,
      result,
      el('h3', { textContent: 'Sent this session' }),
      log
    );

    if (review) {
      for (const c of [deviceSelect, commandSelect, send]) c.disabled = true;
      result.textContent = 'Reviewing a recorded run: commands are off.';
      result.className = 'gnc-result gnc-muted';
    }
    if (!commands.length) {
      deviceSelect.append(el('option', { textContent: 'no device takes commands' }));
      send.disabled = true;
      return;
    }

    for (const d of commands) deviceSelect.append(el('option', { value: d.device, textContent: d.device }));
    const device = () => commands.find((d) => d.device === deviceSelect.value);
    const command = () => device().commands.find((c) => c.name === commandSelect.value);

    let inputs = [];
    function showArgs() {
      const c = command();
      help.textContent = c.help || '';
      argsBox.replaceChildren();
      inputs = c.args.map((a) => {
        const input = el('input', {
          type: 'text',
          name: a.name,
          placeholder: a.optional ? 'default ' + (a.default === null ? 'none' : a.default) : 'required',
          spellcheck: false,
          disabled: review
        });
        input.dataset.arg = a.name;
        input.addEventListener('keydown', (e) => {
          if (e.key === 'Enter') submit();
        });
        const what = [a.type, range(a), a.unit].filter(Boolean).join(', ');
        argsBox.append(
          el(
            'label',
            { title: a.help || '' },
            el('span', { className: 'gnc-arg-name', textContent: a.name }),
            el('span', { className: 'gnc-arg-range', textContent: what }),
            input
          )
        );
        return { arg: a, input };
      });
      if (!inputs.length) argsBox.append(el('div', { className: 'gnc-muted', textContent: 'no arguments' }));
    }
    function showCommands() {
      commandSelect.replaceChildren();
      for (const c of device().commands) {
        const also = c.aliases && c.aliases.length ? ' (' + c.aliases.join(', ') + ')' : '';
        commandSelect.append(el('option', { value: c.name, textContent: c.name + also }));
      }
      showArgs();
    }
    deviceSelect.addEventListener('change', showCommands);
    commandSelect.addEventListener('change', showArgs);
    showCommands();

    function note(ok, text) {
      result.textContent = text;
      result.className = 'gnc-result ' + (ok ? 'gnc-ok' : 'gnc-error');
    }

    async function submit() {
      if (review || send.disabled) return;
      // Optional arguments left empty are left out: the server fills in
      // their defaults. An empty one before a given one stays, as written.
      const values = inputs.map((i) => i.input.value.trim());
      while (values.length && values[values.length - 1] === '' && inputs[values.length - 1].arg.optional) values.pop();
      const body = { device: deviceSelect.value, command: commandSelect.value, args: values };
      const line = body.device + ' ' + body.command + (values.length ? ' ' + values.join(' ') : '');
      send.disabled = true;
      note(true, 'sending ' + line + ' …');
      let entry;
      try {
        const headers = { 'Content-Type': 'application/json' };
        if (token) headers.Authorization = 'Bearer ' + token;
        const res = await fetch('api/command', { method: 'POST', headers, body: JSON.stringify(body) });
        let answer = {};
        try {
          answer = await res.json();
        } catch (e) {
          answer = { error: 'HTTP ' + res.status };
        }
        if (res.ok && answer.sent) {
          note(true, 'Sent ' + line + ' to ' + answer.service + ': ' + spaced(answer.payload));
        } else {
          note(false, 'Not sent (' + res.status + '): ' + (answer.error || 'no reason given'));
        }
        entry = { line, status: res.status, answer };
      } catch (e) {
        note(false, 'Not sent: gncweb did not answer (' + e.message + ')');
        entry = { line, status: 0, answer: { error: e.message } };
      } finally {
        send.disabled = false;
      }
      page.commandLog.push(entry);
      const time = new Date().toISOString().slice(11, 19);
      log.prepend(
        el('li', {
          className: entry.status === 200 ? 'gnc-ok' : 'gnc-error',
          textContent: time + '  ' + line + '  → ' + (entry.status === 200 ? 'sent' : entry.answer.error)
        })
      );
      while (log.children.length > 20) log.lastChild.remove();
    }
    send.addEventListener('click', submit);
  }

  window.GncCommands = { mount };
})();
